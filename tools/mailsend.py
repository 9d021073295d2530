#!/usr/bin/env python3
"""Stand-in for the appliance's mail script: sends the body file as one mail.

    mailsend.py SMTP PORT ACCOUNT PASSWORD FROM SENDER ENCODE TO SUBJECT AUTH
    mailsend.py SMTP PORT             (connection test: greeting and EHLO only)

ENCODE 1 asks for an encrypted dialogue: implicit TLS on port 465, STARTTLS
on any other port. With ENCODE 0 a plain dialogue is used, except that port
465 always speaks TLS and STARTTLS is taken up when the server offers it on
port 587. AUTH 1 logs in with ACCOUNT and PASSWORD. The body is the UTF-8
text of /tmp/mail_message.txt.

Run by the simulated board (KVT_ROOT set), paths lie below the sandbox root
and mail goes to a loopback server only, never to a real network.
KVT_MAIL_CAFILE names extra certificates to trust (a test server's own).

Exit status: 0 sent (or the connection test passed), 1 wrong command line,
2 body file unreadable, 3 server unreachable or TLS failed, 4 login refused,
5 sender, recipient or message refused. Any failure prints one line on
standard error.
"""

import email.message
import email.utils
import ipaddress
import os
import smtplib
import socket
import ssl
import sys

TIMEOUT_S = 20
BODY_FILE = "/tmp/mail_message.txt"


class Failure(Exception):
    def __init__(self, status, text):
        super().__init__(text)
        self.status = status


def sandbox_root():
    return os.environ.get("KVT_ROOT", "")


def check_host(host):
    if not host:
        raise Failure(1, "no SMTP server given")
    if not sandbox_root():
        return
    try:
        loopback = ipaddress.ip_address(host).is_loopback
    except ValueError:
        loopback = host == "localhost"
    if not loopback:
        raise Failure(3, "%s: the simulated board sends mail to a loopback server only" % host)


def tls_context():
    ctx = ssl.create_default_context()
    cafile = os.environ.get("KVT_MAIL_CAFILE")
    if cafile:
        ctx.load_verify_locations(cafile=cafile)
    return ctx


def port_number(text):
    try:
        port = int(text)
    except ValueError:
        port = 0
    if not 0 < port < 65536:
        raise Failure(1, "port %r is not a port number" % text)
    return port


def connect(host, port, encode):
    """An SMTP session after EHLO, encrypted as ENCODE and the port ask."""
    try:
        if port == 465:
            smtp = smtplib.SMTP_SSL(host, port, timeout=TIMEOUT_S, context=tls_context())
            smtp.ehlo()
            return smtp
        smtp = smtplib.SMTP(host, port, timeout=TIMEOUT_S)
        smtp.ehlo()
        offered = smtp.has_extn("starttls")
        if encode or (port == 587 and offered):
            if not offered:
                smtp.close()
                raise Failure(3, "%s:%d does not offer STARTTLS" % (host, port))
            smtp.starttls(context=tls_context())
            smtp.ehlo()
        return smtp
    except Failure:
        raise
    except ssl.SSLError as e:
        raise Failure(3, "TLS with %s:%d failed: %s" % (host, port, e.reason or e))
    except (OSError, smtplib.SMTPException) as e:
        raise Failure(3, "cannot reach %s:%d: %s" % (host, port, describe(e)))


def describe(e):
    if isinstance(e, smtplib.SMTPResponseException):
        text = e.smtp_error.decode("utf-8", "replace") if isinstance(e.smtp_error, bytes) else str(e.smtp_error)
        return "%d %s" % (e.smtp_code, text)
    if isinstance(e, socket.timeout):
        return "no answer within %d s" % TIMEOUT_S
    return str(e) or e.__class__.__name__


def read_body():
    path = sandbox_root() + BODY_FILE
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")
    except OSError as e:
        raise Failure(2, "cannot read %s: %s" % (path, e.strerror))


def send(args):
    host, port_text, account, password, sender_addr, sender_name, encode, to, subject, auth = args
    check_host(host)
    port = port_number(port_text)
    if not to:
        raise Failure(1, "no recipient address")
    if not sender_addr:
        raise Failure(1, "no sender address")
    msg = email.message.EmailMessage()
    msg["From"] = email.utils.formataddr((sender_name, sender_addr)) if sender_name else sender_addr
    msg["To"] = to
    msg["Subject"] = subject
    msg["Date"] = email.utils.formatdate(localtime=True)
    msg["Message-ID"] = email.utils.make_msgid()
    msg.set_content(read_body())
    smtp = connect(host, port, encode == "1")
    try:
        if auth == "1":
            try:
                smtp.login(account, password)
            except smtplib.SMTPException as e:
                raise Failure(4, "login as %r on %s:%d refused: %s" % (account, host, port, describe(e)))
        try:
            smtp.send_message(msg, from_addr=sender_addr, to_addrs=[to])
        except smtplib.SMTPRecipientsRefused as e:
            reason = e.recipients.get(to, (0, b""))
            raise Failure(5, "recipient %s refused: %d %s" % (to, reason[0], reason[1].decode("utf-8", "replace")))
        except (smtplib.SMTPException, OSError) as e:
            raise Failure(5, "mail to %s refused: %s" % (to, describe(e)))
    finally:
        try:
            smtp.quit()
        except (smtplib.SMTPException, OSError):
            smtp.close()
    print("mailsend: sent to %s" % to)


def connection_test(host, port_text):
    check_host(host)
    smtp = connect(host, port_number(port_text), False)
    try:
        smtp.quit()
    except (smtplib.SMTPException, OSError):
        smtp.close()
    print("mailsend: %s:%s answers" % (host, port_text))


def main(argv):
    try:
        if len(argv) == 2:
            connection_test(*argv)
        elif len(argv) == 10:
            send(argv)
        else:
            raise Failure(1, "expected 10 arguments (or 2 for a connection test), got %d" % len(argv))
    except Failure as e:
        print("mailsend: %s" % e, file=sys.stderr)
        return e.status
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
