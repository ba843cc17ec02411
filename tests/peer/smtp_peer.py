#!/usr/bin/python3
"""A small SMTP server for tests, built on aiosmtpd.

It listens on a loopback port (printed as "PORT <n>" once ready) and keeps
everything it sees in the folder given with --dir:
  events.log      one line per event: "<connection> CONNECT", "<connection> >> <command>",
                  "<connection> CLOSE"
  NNNN.eml        each accepted message as received
  NNNN.summary    the message as Python's email package parses it, one
                  "key<TAB>value" line each (values escaped: \\\\ \\t \\r \\n \\xHH)
  NNNN.part-K     the decoded bytes of attachment K
Refusals, stalls, TLS and AUTH are chosen with the options (see --help).
"""

import argparse
import asyncio
import base64
import email
import email.policy
import logging
import os
import ssl
import subprocess
import sys

from aiosmtpd.smtp import MISSING, SMTP, AuthResult, LoginPassword

STAGES = ["greeting", "ehlo", "helo", "starttls", "mail", "rcpt", "data", "content", "quit"]
STALLS = ["greeting", "ehlo", "mail", "rcpt", "data", "receiving", "content", "quit"]
FOREVER = 3600


def escape(value):
    if isinstance(value, str):
        value = value.encode("utf-8", "surrogateescape")
    out = []
    for byte in value:
        if byte == 0x5C:
            out.append("\\\\")
        elif byte == 0x09:
            out.append("\\t")
        elif byte == 0x0D:
            out.append("\\r")
        elif byte == 0x0A:
            out.append("\\n")
        elif byte < 0x20 or byte == 0x7F:
            out.append("\\x%02x" % byte)
        else:
            out.append(chr(byte))
    return "".join(out).encode("latin-1").decode("utf-8", "surrogateescape")


class Peer:
    def __init__(self, options):
        self.options = options
        self.folder = options.dir
        self.refuse = dict(options.refuse)
        self.refuse_recipient = dict(options.refuse_recipient)
        self.connections = 0
        self.open = 0
        self.most_open = 0
        self.messages = 0
        self.peers = {}
        self.log = open(os.path.join(self.folder, "events.log"), "a", buffering=1, encoding="utf-8",
                        errors="surrogateescape")

    def event(self, connection, text):
        self.log.write("%d %s\n" % (connection, text))

    def summary(self, raw, envelope, connection):
        message = email.message_from_bytes(raw, policy=email.policy.default)
        lines = [("conn", str(connection)), ("from", envelope.mail_from)]
        lines += [("rcpt", r) for r in envelope.rcpt_tos]
        for name, value in message.items():
            lines.append(("header", "%s\t%s" % (name, escape(str(value)))))
        body = message.get_body(preferencelist=("plain",))
        if body is not None:
            lines.append(("body", body.get_content().replace("\r\n", "\n")))
        for index, part in enumerate(message.iter_attachments()):
            stored = "%04d.part-%d" % (self.messages, index)
            with open(os.path.join(self.folder, stored), "wb") as out:
                out.write(part.get_payload(decode=True) or b"")
            lines.append(("attachment", "%s\t%s\t%s" % (escape(part.get_filename() or ""),
                                                        part.get_content_type(), stored)))
        for part in message.walk():
            for defect in part.defects:
                lines.append(("defect", type(defect).__name__))
        longest = max((len(line) for line in raw.split(b"\r\n")), default=0)
        lines.append(("longest-line", str(longest)))
        return "".join("%s\t%s\n" % (key, value if key == "header" or key == "attachment"
                                     else escape(value)) for key, value in lines)

    # aiosmtpd handler hooks -------------------------------------------------

    async def stall_or_refuse(self, stage):
        if self.options.stall == stage:
            await asyncio.sleep(FOREVER)
        if self.options.delay and stage in ("mail", "rcpt", "content"):
            await asyncio.sleep(self.options.delay)
        if stage in self.refuse:
            return "%d %s refused by the test peer" % (self.refuse[stage], stage)
        return None

    async def handle_EHLO(self, server, session, envelope, hostname, responses):
        answer = await self.stall_or_refuse("ehlo")
        if answer:
            return [answer]
        session.host_name = hostname
        return responses

    async def handle_HELO(self, server, session, envelope, hostname):
        answer = await self.stall_or_refuse("helo")
        if answer:
            return answer
        session.host_name = hostname
        return "250 %s" % server.hostname

    async def handle_MAIL(self, server, session, envelope, address, options):
        if self.options.refuse_on_reuse and server.mails > 0:
            asyncio.get_running_loop().call_later(0.05, server.transport.close)
            return "421 closing this session"
        answer = await self.stall_or_refuse("mail")
        if answer:
            return answer
        envelope.mail_from = address
        envelope.mail_options.extend(options)
        return "250 OK"

    async def handle_RCPT(self, server, session, envelope, address, options):
        answer = await self.stall_or_refuse("rcpt")
        if answer:
            return answer
        if address in self.refuse_recipient:
            return "%d %s refused by the test peer" % (self.refuse_recipient[address], address)
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        answer = await self.stall_or_refuse("content")
        if answer:
            return answer
        self.messages += 1
        server.mails += 1
        name = os.path.join(self.folder, "%04d" % self.messages)
        raw = envelope.original_content
        with open(name + ".eml", "wb") as out:
            out.write(raw)
        text = self.summary(raw, envelope, server.connection)
        with open(name + ".summary.tmp", "w", encoding="utf-8", errors="surrogateescape") as out:
            out.write(text)
        os.rename(name + ".summary.tmp", name + ".summary")
        if self.options.close_after_mail:
            asyncio.get_running_loop().call_later(0.05, server.transport.close)
        return "250 OK queued as %d" % self.messages

    async def handle_QUIT(self, server, session, envelope):
        answer = await self.stall_or_refuse("quit")
        return answer or "221 Bye"


def make_protocol(peer, tls_context):
    class PeerSMTP(SMTP):
        too_many = False  # refused at its greeting: more connections than allowed

        def __init__(self):
            auth = peer.options.auth or peer.options.xoauth2
            exclude = ["PLAIN", "LOGIN"] if peer.options.xoauth2 else ["XOAUTH2"]
            super().__init__(
                peer,
                hostname="peer.test",
                tls_context=tls_context if peer.options.tls else None,
                require_starttls=peer.options.require_starttls,
                auth_required=auth is not None,
                auth_require_tls=not peer.options.auth_plain_ok,
                authenticator=self.check_login if auth else None,
                auth_exclude_mechanism=exclude,
                data_size_limit=None,
                timeout=FOREVER)
            self.connection = 0
            self.mails = 0

        @staticmethod
        def check_login(server, session, envelope, mechanism, data):
            user, password = peer.options.auth.split(":", 1)
            good = (isinstance(data, LoginPassword) and data.login == user.encode()
                    and data.password == password.encode())
            return AuthResult(success=good, handled=False)

        async def auth_XOAUTH2(self, _, args):
            if len(args) == 1:
                response = await self.challenge_auth("")
                if response is MISSING:
                    return AuthResult(success=False)
            else:
                try:
                    response = base64.b64decode(args[1].encode(), validate=True)
                except ValueError:
                    return AuthResult(success=False)
            user, _, token = peer.options.xoauth2.partition(":")
            expected = ("user=%s\x01auth=Bearer %s\x01\x01" % (user, token)).encode()
            return AuthResult(success=response == expected, handled=False)

        def connection_made(self, transport):
            if self._original_transport is None and self.transport is None:
                peer.connections += 1
                self.connection = peer.connections
                peer.peers[transport.get_extra_info("peername")] = self.connection
                peer.open += 1
                # Judged as the connection comes, as a server counts them:
                # of several made at once, the first few are taken.
                self.too_many = (peer.options.max_connections
                                 and peer.open > peer.options.max_connections)
                peer.most_open = max(peer.most_open, peer.open)
                peer.event(self.connection, "CONNECT")
            super().connection_made(transport)

        def connection_lost(self, error):
            peer.open -= 1
            peer.event(self.connection, "CLOSE")
            super().connection_lost(error)

        async def _handle_client(self):
            if peer.options.stall == "greeting":
                await asyncio.sleep(FOREVER)
            if self.too_many:
                peer.event(self.connection, "TOO-MANY")
                await self.push("421 too many connections from you")
                self.transport.close()
                return
            if "greeting" in peer.refuse:
                await self.push("%d greeting refused by the test peer" % peer.refuse["greeting"])
                self.transport.close()
                return
            await super()._handle_client()

        async def smtp_STARTTLS(self, arg):
            if "starttls" in peer.refuse:
                return await self.push("%d STARTTLS refused by the test peer"
                                       % peer.refuse["starttls"])
            return await super().smtp_STARTTLS(arg)

        async def smtp_DATA(self, arg):
            if self.envelope.rcpt_tos:
                if peer.options.delay:
                    await asyncio.sleep(peer.options.delay)
                if peer.options.stall == "data":
                    await asyncio.sleep(FOREVER)
                if "data" in peer.refuse:
                    return await self.push("%d DATA refused by the test peer" % peer.refuse["data"])
                if peer.options.stall == "receiving":
                    await self.push("354 go ahead")
                    await asyncio.sleep(FOREVER)
            return await super().smtp_DATA(arg)

    return PeerSMTP


class CommandLog(logging.Handler):
    """Writes the command lines aiosmtpd reports to the events log."""

    def __init__(self, peer):
        super().__init__(logging.INFO)
        self.peer = peer

    def emit(self, record):
        if record.msg == "%r >> %r" and len(record.args) == 2:
            connection = self.peer.peers.get(record.args[0], 0)
            line = record.args[1]
            if isinstance(line, bytes):
                line = line.decode("utf-8", "surrogateescape")
            self.peer.event(connection, ">> " + escape(line))


def make_certificate(folder):
    cert = os.path.join(folder, "cert.pem")
    key = os.path.join(folder, "key.pem")
    if not os.path.exists(cert):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out", cert,
                        "-days", "2", "-subj", "/CN=localhost", "-addext",
                        "subjectAltName=DNS:localhost,IP:127.0.0.1"],
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
    context.load_cert_chain(cert, key)
    return context


def stage_code(text):
    stage, _, code = text.partition("=")
    if stage not in STAGES or not code.isdigit():
        raise argparse.ArgumentTypeError("expected STAGE=CODE with STAGE one of " + ", ".join(STAGES))
    return stage, int(code)


def address_code(text):
    address, _, code = text.rpartition("=")
    if not address or not code.isdigit():
        raise argparse.ArgumentTypeError("expected ADDRESS=CODE")
    return address, int(code)


def parse_options(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--dir", required=True, help="folder for messages and the events log")
    parser.add_argument("--port", type=int, default=0, help="port to listen on (0: any free one)")
    parser.add_argument("--refuse", type=stage_code, action="append", default=[],
                        metavar="STAGE=CODE", help="answer CODE at STAGE: " + ", ".join(STAGES))
    parser.add_argument("--refuse-recipient", type=address_code, action="append", default=[],
                        metavar="ADDRESS=CODE", help="answer CODE to RCPT TO for ADDRESS")
    parser.add_argument("--stall", choices=STALLS,
                        help="stop answering at this stage (receiving: after 354, stop reading)")
    parser.add_argument("--tls", action="store_true",
                        help="offer STARTTLS with a self-signed certificate (DIR/cert.pem)")
    parser.add_argument("--implicit-tls", action="store_true",
                        help="speak TLS from the first byte, same certificate")
    parser.add_argument("--require-starttls", action="store_true",
                        help="refuse commands until STARTTLS")
    parser.add_argument("--auth", metavar="USER:PASSWORD", help="require AUTH with these credentials")
    parser.add_argument("--xoauth2", metavar="USER:TOKEN",
                        help="require AUTH XOAUTH2 with this user and bearer token")
    parser.add_argument("--auth-plain-ok", action="store_true", help="allow AUTH without TLS")
    parser.add_argument("--close-after-mail", action="store_true",
                        help="close the connection right after accepting a message")
    parser.add_argument("--refuse-on-reuse", action="store_true",
                        help="answer 421 and close when a second mail comes on one connection")
    parser.add_argument("--delay", type=float, default=0.0, metavar="SECONDS",
                        help="wait this long before answering MAIL, RCPT, DATA and the data's end"
                             " (a relay host far away)")
    parser.add_argument("--max-connections", type=int, default=0, metavar="N",
                        help="answer 421 to the greeting of any connection beyond N open ones")
    return parser.parse_args(argv)


async def serve(options):
    peer = Peer(options)
    tls_context = make_certificate(options.dir) if options.tls or options.implicit_tls else None
    logging.getLogger("mail.log").setLevel(logging.INFO)
    logging.getLogger("mail.log").addHandler(CommandLog(peer))
    logging.getLogger("mail.log").propagate = False
    protocol = make_protocol(peer, tls_context)
    loop = asyncio.get_running_loop()
    server = await loop.create_server(protocol, host="127.0.0.1", port=options.port,
                                      ssl=tls_context if options.implicit_tls else None)
    print("PORT %d" % server.sockets[0].getsockname()[1], flush=True)
    async with server:
        await server.serve_forever()


def main(argv):
    options = parse_options(argv)
    os.makedirs(options.dir, exist_ok=True)
    try:
        asyncio.run(serve(options))
    except KeyboardInterrupt:
        pass


if __name__ == "__main__":
    main(sys.argv[1:])
