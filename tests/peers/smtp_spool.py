#!/usr/bin/python3
"""SMTP server for the mail and backup cycle tests (aiosmtpd, AUTH LOGIN; TLS on request).

Listens on 127.0.0.1 at a free port and prints "PORT <n>". Each message it
accepts is parsed with the email package and written to the spool folder as
  <n>.from  <n>.rcpt (one address a line)  <n>.subject (decoded, UTF-8)
  <n>.header-from (the From field, decoded, UTF-8)
  <n>.body (the text part's bytes, transfer encoding undone, charset kept)  <n>.attachment (the bytes)
  <n>.filename  <n>.eml (as received)
then "MESSAGE <n>" is printed. Logins print "AUTH <user> ok|refused".

Options: --spool DIR (required), --user U --password P (the one login
accepted), --refuse-login, --refuse-rcpt ADDRESS (550 for that recipient),
--tls starttls|implicit with --cert FILE --key FILE (STARTTLS required before
anything else, or TLS from the first byte; AUTH only over TLS),
--mechanism NAME (the only login method offered), --size-limit N (SIZE N).

Every command line is printed as "CMD <VERB> tls=<0|1>" (MAIL with its
arguments after it, AUTH with its mechanism), and "CLOSED" when a connection ends.
"""
import argparse
import asyncio
import email
import email.header
import email.policy
import os
import sys
import logging
import ssl

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

# aiosmtpd itself sets the deprecated login_data on every login; only errors matter here.
logging.getLogger("mail.log").setLevel(logging.ERROR)


def say(line):
    print(line, flush=True)


class Handler:
    def __init__(self, args):
        self.args = args
        self.count = 0

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address in self.args.refuse_rcpt:
            return "550 5.1.1 <%s>: Recipient address rejected" % address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if self.args.refuse_data_after and self.count >= self.args.refuse_data_after:
            return "552 5.3.4 Message refused by test rule"
        self.count += 1
        n = self.count
        raw = envelope.original_content or envelope.content
        message = email.message_from_bytes(raw)
        base = os.path.join(self.args.spool, str(n))

        def put(suffix, data):
            with open(base + "." + suffix, "wb") as f:
                f.write(data if isinstance(data, bytes) else data.encode("utf-8"))

        subject = str(email.header.make_header(email.header.decode_header(message.get("Subject", ""))))
        body, attachment, filename = None, b"", ""
        for part in message.walk():
            if part.is_multipart():
                continue
            if part.get_content_disposition() == "attachment" or part.get_filename():
                attachment = part.get_payload(decode=True) or b""
                filename = part.get_filename() or ""
            elif body is None:
                body = part.get_payload(decode=True) or b""
        put("eml", raw)
        put("attachment", attachment)
        put("filename", filename)
        put("body", body or b"")
        put("subject", subject)
        put("rcpt", "".join(a + "\n" for a in envelope.rcpt_tos))
        put("header-from", str(email.header.make_header(email.header.decode_header(message.get("From", "")))))
        put("from", envelope.mail_from)
        say("MESSAGE %d" % n)
        return "250 Message accepted for delivery"


class RecordingSMTP(SMTP):
    """Prints each command line the client sends, with whether TLS carried it."""

    def connection_made(self, transport):
        super().connection_made(transport)
        if getattr(self, "_recording", False):
            return  # STARTTLS makes the connection anew on the same reader
        self._recording = True
        self._in_data = False
        original = self._reader.readuntil

        async def readuntil(*a, **kw):
            line = await original(*a, **kw)
            self._record(line)
            return line

        self._reader.readuntil = readuntil

    def _record(self, line):
        if self._in_data:
            if line in (b".\r\n", b".\n"):
                self._in_data = False
            return
        verb, _, rest = line.strip().partition(b" ")
        verb = verb.decode("ascii", "replace").upper()
        tls = 1 if self.transport is not None and self.transport.get_extra_info("ssl_object") else 0
        extra = ""
        if verb == "MAIL":
            extra = " " + rest.decode("ascii", "replace")
        elif verb == "AUTH":  # the mechanism only, never an initial response
            extra = " " + rest.split(b" ")[0].decode("ascii", "replace").upper()
        say("CMD %s tls=%d%s" % (verb, tls, extra))
        if verb == "DATA":
            self._in_data = True

    def connection_lost(self, error):
        say("CLOSED")
        super().connection_lost(error)


def authenticator(args):
    def check(server, session, envelope, mechanism, auth_data):
        if not isinstance(auth_data, LoginPassword):
            return AuthResult(success=False, handled=False, message="504 5.5.4 Unrecognized authentication type")
        user = auth_data.login.decode("utf-8", "replace")
        ok = (not args.refuse_login and auth_data.login == args.user.encode()
              and auth_data.password == args.password.encode())
        say("AUTH %s %s" % (user, "ok" if ok else "refused"))
        if ok:
            return AuthResult(success=True)
        return AuthResult(success=False, handled=False, message="535 5.7.8 Authentication credentials invalid")
    return check


async def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--spool", required=True)
    parser.add_argument("--user", default="backup")
    parser.add_argument("--password", default="secret")
    parser.add_argument("--refuse-login", action="store_true")
    parser.add_argument("--refuse-rcpt", action="append", default=[])
    parser.add_argument("--tls", choices=["none", "starttls", "implicit"], default="none")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--mechanism", default="LOGIN")
    parser.add_argument("--size-limit", type=int, default=33554432)
    parser.add_argument("--refuse-data-after", type=int, default=0)  # refuse every message after the Nth
    args = parser.parse_args()
    handler = Handler(args)
    loop = asyncio.get_running_loop()
    context = None
    if args.tls != "none":
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.cert, args.key)
    excluded = [m for m in ("LOGIN", "PLAIN") if m != args.mechanism.upper()]
    options = dict(hostname="spool.test", auth_exclude_mechanism=excluded, authenticator=authenticator(args),
                   timeout=60, data_size_limit=args.size_limit)
    if args.tls == "starttls":
        options.update(tls_context=context, require_starttls=True, auth_require_tls=True)
    else:
        # With implicit TLS the whole session is protected; aiosmtpd only knows STARTTLS.
        options.update(auth_require_tls=False)
    server = await loop.create_server(lambda: RecordingSMTP(handler, **options), "127.0.0.1", 0,
                                      ssl=context if args.tls == "implicit" else None)
    say("PORT %d" % server.sockets[0].getsockname()[1])
    async with server:
        await server.serve_forever()


if __name__ == "__main__":
    try:
        asyncio.run(main())
    except KeyboardInterrupt:
        sys.exit(0)
