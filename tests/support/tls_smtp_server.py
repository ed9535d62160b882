#!/usr/bin/python3
"""An SMTP server on 127.0.0.1 for the TLS tests: aiosmtpd with STARTTLS
required before MAIL (unless --no-starttls), AUTH only over TLS (required
when --user is given). Each message taken adds a line to --record:
"tls=<version or none> auth=<login or none> cert=<client certificate's CN
or none> from=<sender>". Client certificates from the CA in --client-ca are
asked for (not required).
--smuggle answers STARTTLS with "220 Ready to start TLS" and, in the same
write, more clear-text lines a client must never read after the handshake.
The port it listens on is written to --port-file once it serves. Runs until
SIGTERM."""
import argparse
import logging
import os
import signal
import socket
import ssl
import threading
import warnings

from aiosmtpd.controller import Controller
from aiosmtpd.smtp import SMTP, AuthResult, LoginPassword


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Recorder:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()

    async def handle_DATA(self, server, session, envelope):
        tls = None
        cert = None
        if session.ssl:
            tls = session.ssl.get("ssl_object").version()
            peer = session.ssl.get("peercert") or {}
            for rdn in peer.get("subject", ()):
                for key, value in rdn:
                    if key == "commonName":
                        cert = value
        login = session.auth_data.decode() if session.authenticated else None
        line = "tls=%s auth=%s cert=%s from=%s\n" % (
            tls or "none", login or "none", cert or "none", envelope.mail_from)
        with self.lock, open(self.path, "a") as f:
            f.write(line)
        return "250 2.0.0 queued"


class SmugglingSMTP(SMTP):
    async def push(self, status):
        if status == "220 Ready to start TLS":
            status += "\r\n250 smuggled\r\n250-smuggled\r\n250 PIPELINING"
        return await super().push(status)


class TestController(Controller):
    def __init__(self, handler, smuggle, **kwargs):
        self.smuggle = smuggle
        super().__init__(handler, **kwargs)

    def factory(self):
        if self.smuggle:
            return SmugglingSMTP(self.handler, **self.SMTP_kwargs)
        return SMTP(self.handler, **self.SMTP_kwargs)


def main():
    warnings.simplefilter("ignore")
    # Handshakes the tests make fail on purpose are no news.
    logging.getLogger("mail.log").setLevel(logging.CRITICAL)
    ap = argparse.ArgumentParser()
    ap.add_argument("--port-file", required=True)
    ap.add_argument("--record", required=True)
    ap.add_argument("--cert")
    ap.add_argument("--key")
    ap.add_argument("--client-ca")
    ap.add_argument("--no-starttls", action="store_true")
    ap.add_argument("--smuggle", action="store_true")
    ap.add_argument("--user")
    ap.add_argument("--password")
    a = ap.parse_args()

    tls = None
    if not a.no_starttls:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(a.cert, a.key)
        if a.client_ca:
            tls.load_verify_locations(a.client_ca)
            tls.verify_mode = ssl.CERT_OPTIONAL

    def authenticate(server, session, envelope, mechanism, data):
        ok = isinstance(data, LoginPassword) and a.user is not None and \
            data.login == a.user.encode() and data.password == a.password.encode()
        return AuthResult(success=ok, handled=False, auth_data=data.login if ok else None)

    port = free_port()
    kwargs = dict(hostname="127.0.0.1", port=port, tls_context=tls,
                  require_starttls=tls is not None, auth_require_tls=True,
                  auth_required=a.user is not None,
                  authenticator=authenticate if a.user else None)
    if a.user:
        kwargs["auth_exclude_mechanism"] = []
    server = TestController(Recorder(a.record), a.smuggle, **kwargs)
    server.start()
    with open(a.port_file + ".tmp", "w") as f:
        f.write(str(port))
    os.rename(a.port_file + ".tmp", a.port_file)
    stop = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: stop.set())
    signal.signal(signal.SIGINT, lambda *_: stop.set())
    stop.wait()
    server.stop()


if __name__ == "__main__":
    main()
