#!/usr/bin/python3
"""A real SMTP server for tests: keeps every message it accepts as one file in a folder.

Usage: smtp_sink.py FOLDER [options] (see --help). With --user it requires a login before MAIL and
appends "NAME MECHANISM ok|refused" to FOLDER/auth.log for every attempt. With --oauth it requires an
XOAUTH2 or OAUTHBEARER login whose token the authorization server at that address calls active.

It listens on 127.0.0.1 (port 0 lets the system choose), prints the bound port as one line on
stdout, and stops when its stdin closes or on SIGTERM, so a test that dies leaves no server behind.

Each accepted message becomes FOLDER/NNNNNN.msg, numbered in arrival order from 000001:
    mail-from: <envelope sender>
    rcpt-to: <recipient>                (one line per recipient, in order)
    content-length: N
    wire-length: M
    (empty line)
    N bytes of content, then M bytes of wire data
The content is the message as a recipient gets it (leading dots un-stuffed, RFC 5321 4.5.2); the
wire data is the DATA section exactly as the client sent it (dots still stuffed). Both exclude the
final ".\\r\\n" and keep the CR LF of every line. A file appears whole (written, then renamed) before
the server answers the final dot, so a client that saw 250 can read it at once. With --keep N only the
first N messages keep their content and wire data; later ones are stored with both lengths 0. With
--hold-after N it takes N messages and then answers no further final dot, as a server that hangs; --hold
ADDRESS does so for the messages to that address alone. --reply-delay MS answers each final dot of a kept
message after a random pause (seeded by --seed), so that a client killed meanwhile never heard of it.
"""
import argparse
import asyncio
import collections
import os
import random
import signal
import base64
import json
import ssl
import sys
import urllib.parse
import urllib.request
import warnings

from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword

# aiosmtpd fills its deprecated login_data itself after every successful custom login.
warnings.filterwarnings("ignore", message="Session.login_data is deprecated")


class RecordingSMTP(SMTP):
    """aiosmtpd's protocol, keeping the raw bytes received so the DATA section can be stored as sent."""

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.raw = bytearray()
        self.data_start = 0

    def data_received(self, data):
        self.raw += data
        super().data_received(data)

    async def smtp_DATA(self, arg):
        # What the reader holds unread lies after the DATA line: the message starts there.
        self.data_start = len(self.raw) - len(self._reader._buffer)
        await super().smtp_DATA(arg)

    def take_wire_data(self):
        """Cuts the DATA section out of the raw bytes and returns it (without the final dot line)."""
        start = self.data_start
        if self.raw.startswith(b".\r\n", start):
            end, after = start, start + 3
        else:
            at = self.raw.find(b"\r\n.\r\n", start)
            if at < 0:
                return b""
            end, after = at + 2, at + 5
        wire = bytes(self.raw[start:end])
        del self.raw[:after]
        self.data_start = 0
        return wire


class SinkHandler:
    def __init__(self, arguments):
        def lower(addresses):
            return [address.lower() for address in addresses]
        self.folder = arguments.folder
        self.refused, self.dropped, self.closing, self.unknown = (
            set(lower(addresses)) for addresses in (arguments.refuse, arguments.drop_after_dot, arguments.close_421,
                                                    arguments.no_such_user))
        self.deferred = collections.Counter(lower(arguments.defer))
        self.count = 0
        self.close_after_message = arguments.close_after_message
        self.keep = arguments.keep
        self.hold = arguments.hold_after
        self.held = set(lower(arguments.hold))
        self.delay = arguments.reply_delay / 1000.0
        self.random = random.Random(arguments.seed)

    async def handle_RCPT(self, server, session, envelope, address, rcpt_options):
        if address.lower() in self.refused:
            return "550 Mailbox unavailable: " + address
        if address.lower() in self.unknown:
            return "550 5.1.1 <%s>: Recipient address rejected: User unknown in local recipient table" % address
        if address.lower() in self.closing:
            self.closing.discard(address.lower())
            # The reply goes out first; the close follows once this handler has returned.
            asyncio.get_running_loop().call_soon(server.transport.close)
            return "421 4.3.2 Service shutting down"
        if self.deferred[address.lower()] > 0:
            self.deferred[address.lower()] -= 1
            return "451 4.7.1 Try again later: " + address
        envelope.rcpt_tos.append(address)
        return "250 OK"

    async def handle_DATA(self, server, session, envelope):
        if (self.hold is not None and self.count >= self.hold) or any(
                rcpt.lower() in self.held for rcpt in envelope.rcpt_tos):
            await asyncio.Event().wait()  # neither kept nor answered, until the connection goes
        self.count += 1
        content = envelope.original_content or b""
        wire = server.take_wire_data()
        if self.keep is not None and self.count > self.keep:
            content, wire = b"", b""  # counted, its envelope kept, its bytes not
        head = ["mail-from: " + (envelope.mail_from or "")]
        head += ["rcpt-to: " + rcpt for rcpt in envelope.rcpt_tos]
        head += ["content-length: %d" % len(content), "wire-length: %d" % len(wire), ""]
        name = os.path.join(self.folder, "%06d.msg" % self.count)
        with open(name + ".part", "wb") as out:
            out.write(("\n".join(head) + "\n").encode("utf-8", "surrogateescape"))
            out.write(content)
            out.write(wire)
        os.replace(name + ".part", name)
        if self.delay > 0:
            await asyncio.sleep(self.random.uniform(0, self.delay))  # kept, its answer still on the way
        if any(rcpt.lower() in self.dropped for rcpt in envelope.rcpt_tos):
            server.transport.abort()  # kept, but the client never hears so
        if self.close_after_message:
            asyncio.get_running_loop().call_soon(server.transport.close)  # every message needs a new login
        return "250 Message accepted for delivery"


class OAuthHandler(SinkHandler):
    """Logins with an access token, checked by the authorization server's introspection (RFC 7662)."""

    def __init__(self, arguments):
        super().__init__(arguments)
        self.introspection = arguments.oauth

    def active(self, token):
        body = urllib.parse.urlencode({"token": token}).encode()
        with urllib.request.urlopen(self.introspection, body, timeout=10) as answer:
            return json.load(answer).get("active") is True

    async def login(self, server, args, fields, error_answer):
        if len(args) < 2:
            return AuthResult(success=False, handled=False)
        text = base64.b64decode(args[1]).decode()
        parts = dict(part.split("=", 1) for part in fields(text) if "=" in part)
        user, token = parts.get("user", ""), parts.get("auth", "")[len("Bearer "):]
        ok = bool(token) and await asyncio.get_running_loop().run_in_executor(None, self.active, token)
        with open(os.path.join(self.folder, "auth.log"), "a") as out:
            out.write("%s %s %s\n" % (user, args[0], "ok" if ok else "refused"))
        if ok:
            return AuthResult(success=True, auth_data=user)
        # The reason as a challenge; the client's answer to it brings the final 535 (RFC 7628 3.2.2).
        error = {"status": "invalid_token", "schemes": "bearer", "scope": "smtp"}
        if await server.challenge_auth(json.dumps(error)) != error_answer:
            return AuthResult(success=False, handled=False, message="501 5.5.2 Wrong answer to the error")
        return AuthResult(success=False, handled=False)

    async def auth_XOAUTH2(self, server, args):
        return await self.login(server, args, lambda text: text.split("\x01"), b"")

    async def auth_OAUTHBEARER(self, server, args):
        def fields(text):
            head, _, rest = text.partition("\x01")
            user = head.split(",")[1][2:].replace("=2C", ",").replace("=3D", "=")
            return ["user=" + user] + rest.split("\x01")
        return await self.login(server, args, fields, b"\x01")


def authenticator(folder, user, password):
    """Accepts one user name and password; notes every attempt in FOLDER/auth.log."""
    def check(server, session, envelope, mechanism, auth_data):
        login = isinstance(auth_data, LoginPassword)
        ok = login and (auth_data.login, auth_data.password) == (user.encode(), password.encode())
        with open(os.path.join(folder, "auth.log"), "a") as out:
            name = auth_data.login.decode("utf-8", "replace") if login else "?"
            out.write("%s %s %s\n" % (name, mechanism, "ok" if ok else "refused"))
        return AuthResult(success=ok, handled=False)
    return check


async def serve(arguments):
    loop = asyncio.get_running_loop()
    handler = OAuthHandler(arguments) if arguments.oauth else SinkHandler(arguments)
    context = None
    if arguments.security != "none":
        context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        context.load_cert_chain(arguments.cert, arguments.key)
    options = {}
    if arguments.security == "starttls":
        options.update(tls_context=context, require_starttls=True)
    if arguments.user is not None:
        options.update(authenticator=authenticator(arguments.folder, arguments.user, arguments.password),
                       auth_required=True,
                       # Under implicit TLS the protocol object cannot see the encryption of its transport.
                       auth_require_tls=not arguments.auth_clear and arguments.security != "tls",
                       auth_exclude_mechanism=arguments.exclude_auth)
    if arguments.oauth:
        options.update(auth_required=True, auth_require_tls=not arguments.auth_clear,
                       auth_exclude_mechanism=["PLAIN", "LOGIN"] + arguments.exclude_auth)

    if arguments.size is not None:
        options.update(data_size_limit=arguments.size)

    if arguments.pipelining:
        async def handle_EHLO(server, session, envelope, hostname, responses):
            session.host_name = hostname
            return responses[:-1] + ["250-PIPELINING", responses[-1]]
        handler.handle_EHLO = handle_EHLO

    def factory():
        return RecordingSMTP(handler, hostname="sink.localhost", decode_data=False, loop=loop, **options)

    server = await loop.create_server(factory, host=arguments.host, port=arguments.port,
                                      ssl=context if arguments.security == "tls" else None)
    print(server.sockets[0].getsockname()[1], flush=True)

    stopped = asyncio.Event()
    loop.add_signal_handler(signal.SIGTERM, stopped.set)
    loop.add_signal_handler(signal.SIGINT, stopped.set)

    def stdin_readable():
        if not os.read(sys.stdin.fileno(), 4096):
            loop.remove_reader(sys.stdin.fileno())
            stopped.set()

    loop.add_reader(sys.stdin.fileno(), stdin_readable)
    await stopped.wait()
    server.close()


def main():
    parser = argparse.ArgumentParser(description="SMTP sink for tests")
    parser.add_argument("folder", help="folder that receives one file per message")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (0: any free port)")
    parser.add_argument("--host", default="127.0.0.1", help="the address listened on (::1 for IPv6 alone)")
    parser.add_argument("--refuse", action="append", default=[], metavar="ADDRESS",
                        help="answer RCPT for this address with 550 (repeatable)")
    parser.add_argument("--no-such-user", action="append", default=[], metavar="ADDRESS",
                        help="answer RCPT for this address with 550 5.1.1, as for a mailbox that does not exist")
    parser.add_argument("--defer", action="append", default=[], metavar="ADDRESS",
                        help="answer the first RCPT for this address with 451 (listed n times: the first n)")
    parser.add_argument("--drop-after-dot", action="append", default=[], metavar="ADDRESS",
                        help="keep a message for this address, then close without a reply (repeatable)")
    parser.add_argument("--close-421", action="append", default=[], metavar="ADDRESS",
                        help="answer the first RCPT for this address with 421 and close (repeatable)")
    parser.add_argument("--security", choices=["none", "starttls", "tls"], default="none",
                        help="starttls: offer STARTTLS and require it before mail; tls: TLS from the first byte")
    parser.add_argument("--cert", help="server certificate (PEM) for starttls and tls")
    parser.add_argument("--key", help="its private key (PEM)")
    parser.add_argument("--user", help="offer AUTH and accept this user name")
    parser.add_argument("--password", default="", help="the password of --user")
    parser.add_argument("--exclude-auth", action="append", default=[], metavar="MECHANISM",
                        help="do not offer this login mechanism (repeatable)")
    parser.add_argument("--oauth", metavar="URL",
                        help="offer XOAUTH2 and OAUTHBEARER only, asking this introspection endpoint about tokens")
    parser.add_argument("--close-after-message", action="store_true",
                        help="close the connection after each accepted message")
    parser.add_argument("--size", type=int, help="the largest message taken, announced as SIZE over EHLO")
    parser.add_argument("--auth-clear", action="store_true", help="offer AUTH without TLS as well")
    parser.add_argument("--hold", action="append", default=[], metavar="ADDRESS",
                        help="never answer the final dot of a message to this address (repeatable)")
    parser.add_argument("--hold-after", type=int, metavar="N",
                        help="after N messages, keep no further one and never answer its final dot")
    parser.add_argument("--keep", type=int, metavar="N",
                        help="store the content of the first N messages only (large mailings)")
    parser.add_argument("--reply-delay", type=int, default=0, metavar="MS",
                        help="answer each final dot after a random pause of up to MS milliseconds, the message kept")
    parser.add_argument("--seed", type=int, default=0, help="seed of those pauses")
    parser.add_argument("--pipelining", action="store_true", help="offer PIPELINING (RFC 2920) over EHLO")
    arguments = parser.parse_args()
    os.makedirs(arguments.folder, exist_ok=True)
    asyncio.run(serve(arguments))


if __name__ == "__main__":
    main()
