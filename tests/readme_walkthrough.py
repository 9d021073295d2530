"""Runs the README's walkthrough as written and checks what each command prints.

    readme_walkthrough.py SOURCE_DIR BUILD_DIR

The walkthrough is every ```console block of README.md: a line "$ CMD" is a
command (a trailing "\\" joins the next line), the lines under it until the
next command are what it prints, each found somewhere in its output, "..."
standing for any text. The commands run in order with bash in SOURCE_DIR on
a fresh directory in place of /tmp/demo, with free loopback ports in place of
the README's 1161, 1162, 1883 and 2525 and BUILD_DIR in place of build/. A
command ending in "&" is started in the background and ended with the test.
Every other command must exit 0 and print what the README shows; until it
does it is run again, up to a deadline (states follow at the next whole
minute, alerts after ten seconds of samples). Exit status 0 when every
command did, 1 at the first that did not.
"""

import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import time

DEADLINE_S = 100 * int(os.environ.get("KVT_TEST_TIME_SCALE", "1") or 1)
PORTS = {"1161": socket.SOCK_DGRAM, "1162": socket.SOCK_DGRAM, "1883": socket.SOCK_STREAM, "2525": socket.SOCK_STREAM}


def free_port(kind):
    with socket.socket(socket.AF_INET, kind) as s:
        s.bind(("127.0.0.1", 0))
        return str(s.getsockname()[1])


def walkthrough(readme):
    """[(command, [expected lines])] of the console blocks, in order."""
    steps, block = [], False
    lines = iter(readme.splitlines())
    for line in lines:
        if line.startswith("```"):
            block = line.strip() == "```console"
            continue
        if not block:
            continue
        if line.startswith("$ "):
            cmd = line[2:]
            while cmd.endswith("\\"):
                cmd = cmd[:-1] + next(lines).strip()
            steps.append((cmd, []))
        elif line.strip() and steps:
            steps[-1][1].append(line)
    return steps


def pattern(line):
    return re.compile(".*".join(re.escape(part) for part in line.split("...")))


def remove_queue(root):
    """The service's message queue outlives it: ftok(root/msgq.key, 'X')."""
    try:
        st = os.stat(os.path.join(root, "msgq.key"))
    except OSError:
        return
    key = (ord("X") << 24) | ((st.st_dev & 0xFF) << 16) | (st.st_ino & 0xFFFF)
    subprocess.run(["ipcrm", "-Q", str(key)], stderr=subprocess.DEVNULL)


def main():
    source, build = sys.argv[1], os.path.abspath(sys.argv[2])
    with open(os.path.join(source, "README.md"), encoding="utf-8") as f:
        steps = walkthrough(f.read())
    if len(steps) < 20:
        print("README: the walkthrough has only %d commands" % len(steps))
        return 1
    work = tempfile.mkdtemp(prefix="kvt-readme-")
    subst = {p: free_port(k) for p, k in PORTS.items()}
    subst.update({"/tmp/demo": work + "/demo", "build/": build + "/"})
    # One pass, so that no replacement is replaced again.
    words = re.compile(r"\b(?:%s)\b|/tmp/demo|(?<![\w./-])build/" % "|".join(PORTS))

    def localise(text):
        return words.sub(lambda m: subst[m.group(0)], text)

    env = dict(os.environ, KVT_MQTT_PORT=localise("1883"), KVT_SMTP_PORT=localise("2525"))
    background = []
    try:
        for n, (cmd, expected) in enumerate(steps, 1):
            cmd = localise(cmd)
            wanted = [pattern(localise(e)) for e in expected]
            if cmd.rstrip().endswith("&"):
                background.append(subprocess.Popen(["bash", "-c", cmd.rstrip()[:-1]], cwd=source, env=env,
                                                   stdin=subprocess.DEVNULL, start_new_session=True))
                continue
            give_up = time.monotonic() + DEADLINE_S
            while True:
                r = subprocess.run(["bash", "-c", cmd], cwd=source, env=env, stdin=subprocess.DEVNULL,
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=DEADLINE_S)
                out = r.stdout.decode("utf-8", "replace")
                missing = [e for e, p in zip(expected, wanted) if not p.search(out)]
                if r.returncode == 0 and not missing:
                    break
                if time.monotonic() > give_up:
                    print("README walkthrough command %d failed: %s\nexit status %d; not printed:\n  %s\n"
                          "it printed:\n%s" % (n, cmd, r.returncode, "\n  ".join(missing), out[-3000:]))
                    return 1
                time.sleep(0.5)  # poll again until the deadline
        print("README walkthrough: %d commands as written" % len(steps))
        return 0
    finally:
        for p in background:
            try:
                os.killpg(p.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
        for p in background:
            give_up = time.monotonic() + 20
            while True:  # the whole group gone (a service writes its files on the way out)
                try:
                    os.killpg(p.pid, signal.SIGKILL if time.monotonic() > give_up else 0)
                except ProcessLookupError:
                    break
                p.poll()
                time.sleep(0.05)
        remove_queue(work + "/demo")
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    sys.exit(main())
