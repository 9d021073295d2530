#!/usr/bin/python3
"""SMTP receiver of the tests (Debian's aiosmtpd), on loopback.

    smtp_sink.py DIR [--port N] [--tls CERT KEY] [--auth USER PASSWORD]

Listens on 127.0.0.1, port N or a free one, and writes the port into
DIR/ready once it accepts connections. Every mail received becomes
DIR/mail-NNNN.txt, numbered in arrival order: "key: value" lines (mail_from,
rcpt_to, tls, auth, from, to, subject), an empty line, then the decoded body.
--tls offers STARTTLS with that certificate; --auth accepts LOGIN and PLAIN
for that one account only. Stops on SIGTERM.
"""

import argparse
import asyncio
import email
import email.policy
import os
import signal
import ssl

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


class Sink:
    def __init__(self, directory):
        self.directory = directory
        self.count = 0

    async def handle_DATA(self, server, session, envelope):
        msg = email.message_from_bytes(envelope.content, policy=email.policy.default)
        body = msg.get_body(preferencelist=("plain",))
        auth = session.auth_data.login.decode() if isinstance(session.auth_data, LoginPassword) else ""
        lines = [
            "mail_from: %s" % envelope.mail_from,
            "rcpt_to: %s" % ",".join(envelope.rcpt_tos),
            "tls: %d" % (1 if session.ssl else 0),
            "auth: %s" % auth,
            "from: %s" % msg.get("From", ""),
            "to: %s" % msg.get("To", ""),
            "subject: %s" % msg.get("Subject", ""),
            "",
            body.get_content().replace("\r\n", "\n") if body is not None else "",
        ]
        self.count += 1
        path = os.path.join(self.directory, "mail-%04d.txt" % self.count)
        with open(path + ".part", "w", encoding="utf-8") as f:
            f.write("\n".join(lines))
        os.rename(path + ".part", path)
        return "250 OK"


def main():
    p = argparse.ArgumentParser()
    p.add_argument("dir")
    p.add_argument("--port", type=int, default=0)
    p.add_argument("--tls", nargs=2, metavar=("CERT", "KEY"))
    p.add_argument("--auth", nargs=2, metavar=("USER", "PASSWORD"))
    a = p.parse_args()

    kw = {}
    if a.tls:
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ctx.load_cert_chain(*a.tls)
        kw["tls_context"] = ctx
    if a.auth:
        user, password = a.auth[0].encode(), a.auth[1].encode()

        def check(server, session, envelope, mechanism, data):
            ok = isinstance(data, LoginPassword) and data.login == user and data.password == password
            return AuthResult(success=ok, handled=False, auth_data=data)

        kw["authenticator"] = check
        kw["auth_require_tls"] = False

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    sink = Sink(a.dir)
    server = loop.run_until_complete(
        loop.create_server(lambda: SMTP(sink, hostname="sink.test", loop=loop, **kw), "127.0.0.1", a.port))
    port = server.sockets[0].getsockname()[1]
    with open(os.path.join(a.dir, "ready.part"), "w") as f:
        f.write("%d\n" % port)
    os.rename(os.path.join(a.dir, "ready.part"), os.path.join(a.dir, "ready"))
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    loop.run_forever()
    server.close()


if __name__ == "__main__":
    main()
