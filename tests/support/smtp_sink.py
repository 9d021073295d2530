#!/usr/bin/python3
"""SMTP receiver of the tests (Debian's aiosmtpd) on 127.0.0.1.

    smtp_sink.py DIR PORT [CERT KEY USER PASSWORD]

PORT 0 takes a free port; DIR/ready holds the port once it listens. Each mail
becomes DIR/mail-NNNN.txt in arrival order: "key: value" lines (rcpt_to,
from, subject, tls, auth), an empty line, the decoded body. With CERT and KEY
it offers STARTTLS and takes the one login USER PASSWORD. Ends on SIGTERM.
"""
import asyncio, email, email.policy, os, signal, ssl, sys

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


def write_whole(path, text):
    with open(path + ".part", "w", encoding="utf-8") as f:
        f.write(text)
    os.rename(path + ".part", path)


def main(directory, port, cert=None, key=None, user="", password=""):
    count = 0

    class Sink:
        async def handle_DATA(self, server, session, envelope):
            nonlocal count
            msg = email.message_from_bytes(envelope.content, policy=email.policy.default)
            login = session.auth_data.login.decode() if isinstance(session.auth_data, LoginPassword) else ""
            head = [("rcpt_to", ",".join(envelope.rcpt_tos)), ("from", msg["From"]), ("subject", msg["Subject"]),
                    ("tls", 1 if session.ssl else 0), ("auth", login)]
            body = msg.get_body(("plain",)).get_content().replace("\r\n", "\n")
            count += 1
            write_whole(os.path.join(directory, "mail-%04d.txt" % count),
                        "".join("%s: %s\n" % kv for kv in head) + "\n" + body)
            return "250 OK"

    kw = {}
    if cert:
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        ctx.load_cert_chain(cert, key)

        def check(server, session, envelope, mechanism, data):
            ok = isinstance(data, LoginPassword) and (data.login, data.password) == (user.encode(), password.encode())
            return AuthResult(success=ok, handled=False, auth_data=data)

        kw = {"tls_context": ctx, "authenticator": check, "auth_require_tls": False}
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    server = loop.run_until_complete(
        loop.create_server(lambda: SMTP(Sink(), loop=loop, **kw), "127.0.0.1", int(port)))
    write_whole(os.path.join(directory, "ready"), "%d\n" % server.sockets[0].getsockname()[1])
    loop.add_signal_handler(signal.SIGTERM, loop.stop)
    loop.run_forever()


if __name__ == "__main__":
    main(*sys.argv[1:])
