#!/usr/bin/env python3
"""SMTP clients for quillpost-smtpd's end-to-end tests, on Python's smtplib.

Each prints what the listener answered, one reply per line ("250 2.0.0 ...").

  pipelined PORT FILE        EHLO, then MAIL, three RCPT and DATA in one write,
                             FILE's message dot-stuffed; then a second message
                             through sendmail() on the same connection
  send PORT [KILL-PID]       one message; KILL-PID is killed (SIGKILL) the moment
                             the 250 for its data has come, before QUIT
  tls PORT CA USER PASSWORD  STARTTLS, AUTH LOGIN, one message from USER
"""

import os
import re
import signal
import smtplib
import ssl
import sys


def show(code, text):
    print(code, text.decode(errors="replace") if isinstance(text, bytes) else text, flush=True)


def pipelined(port, path):
    with open(path, "rb") as given:
        message = given.read()
    with smtplib.SMTP("127.0.0.1", port) as client:
        client.ehlo("client.example")
        print("features", " ".join(sorted(client.esmtp_features)), flush=True)
        print("size", client.esmtp_features.get("size"), flush=True)
        client.send(b"MAIL FROM:<ann@example.org> BODY=8BITMIME SIZE=%d\r\n"
                    b"RCPT TO:<bob@example.org>\r\nRCPT TO:<cy@example.net>\r\n"
                    b"RCPT TO:<dee@example.com>\r\nDATA\r\n" % len(message))
        for _ in range(5):
            show(*client.getreply())
        client.send(re.sub(rb"(?m)^\.", b"..", message) + b".\r\n")
        show(*client.getreply())
        client.sendmail("ann@example.org", ["bob@example.org"],
                        b"Subject: second\r\n\r\nThe second message.\r\n")
        show(250, "second")


def send(port, kill_pid):
    client = smtplib.SMTP("127.0.0.1", port)
    try:
        client.ehlo("client.example")
        for code, text in (client.mail("ann@example.org"), client.rcpt("bob@example.org")):
            if code != 250:
                show(code, text)
                return
        code, text = client.data(b"Subject: durable\r\n\r\nOn the disk before 250.\r\n")
        if kill_pid:
            os.kill(kill_pid, signal.SIGKILL)
        show(code, text)
    except smtplib.SMTPResponseException as error:
        show(error.smtp_code, error.smtp_error)


def tls(port, ca, user, password):
    with smtplib.SMTP("127.0.0.1", port) as client:
        client.starttls(context=ssl.create_default_context(cafile=ca))
        client.login(user, password)
        client.sendmail(user, ["bob@example.org"], b"Subject: signed in\r\n\r\nHello.\r\n")
        show(250, "sent")


def main():
    mode, port = sys.argv[1], int(sys.argv[2])
    if mode == "pipelined":
        pipelined(port, sys.argv[3])
    elif mode == "send":
        send(port, int(sys.argv[3]) if len(sys.argv) > 3 else 0)
    elif mode == "tls":
        tls(port, *sys.argv[3:6])


if __name__ == "__main__":
    main()
