#!/usr/bin/env python3
"""Test service registry of the gateway emulator.

An HTTPS server that insists on a client certificate issued by the test CA,
records every request as one JSON line and answers with a status taken from
a control file, so tests can make it accept, refuse or hang.

  registry.py --state DIR --cert PEM --key PEM --ca PEM [--address A] [--port P]

Files in DIR:
  requests.jsonl  one JSON object per request: time, method, path,
                  content_type, client_subject, client_issuer, body
  status          the answer: an HTTP status number (default 200), or
                  "hang" to read the request, record it and never answer
  ready           written once the server listens
  registry.log    the server's own messages
"""

import argparse
import http.server
import json
import os
import socketserver
import ssl
import sys
import threading
import time


def name_text(name):
    """Renders a certificate name tuple of the ssl module as "CN=a,O=b"."""
    parts = []
    for rdn in name or ():
        for key, value in rdn:
            short = {
                "commonName": "CN",
                "organizationName": "O",
                "organizationalUnitName": "OU",
                "countryName": "C",
                "localityName": "L",
                "stateOrProvinceName": "ST",
            }.get(key, key)
            parts.append("%s=%s" % (short, value))
    return ",".join(parts)


class Registry(socketserver.ThreadingMixIn, http.server.HTTPServer):
    """Accepts plain connections and makes the TLS handshake on each
    connection's own thread, so one stalled client never blocks the others."""

    daemon_threads = True
    allow_reuse_address = True
    tls_context = None

    def finish_request(self, request, client_address):
        request.settimeout(15)
        try:
            tls = self.tls_context.wrap_socket(request, server_side=True)
        except (ssl.SSLError, OSError) as error:
            Handler.note("TLS handshake with %s refused: %s" % (client_address[0], error))
            request.close()
            return
        tls.settimeout(None)
        try:
            self.RequestHandlerClass(tls, client_address, self)
        finally:
            tls.close()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    server_version = "EmulatedRegistry/1.0"
    state_dir = "."
    lock = threading.Lock()

    @classmethod
    def note(cls, text):
        with cls.lock:
            with open(os.path.join(cls.state_dir, "registry.log"), "a") as log:
                log.write("%s %s\n" % (time.strftime("%H:%M:%S"), text))

    def log_message(self, fmt, *args):
        self.note(fmt % args)

    def answer_mode(self):
        try:
            with open(os.path.join(self.state_dir, "status")) as f:
                text = f.read().strip()
        except OSError:
            return 200
        if text == "hang":
            return "hang"
        try:
            return int(text)
        except ValueError:
            return 200

    def record(self, body):
        cert = self.connection.getpeercert()
        entry = {
            "time": time.time(),
            "method": self.command,
            "path": self.path,
            "content_type": self.headers.get("Content-Type", ""),
            "client_subject": name_text(cert.get("subject")) if cert else "",
            "client_issuer": name_text(cert.get("issuer")) if cert else "",
            "body": body.decode("utf-8", errors="replace"),
        }
        with self.lock:
            with open(os.path.join(self.state_dir, "requests.jsonl"), "a") as out:
                out.write(json.dumps(entry) + "\n")

    def handle_any(self):
        length = int(self.headers.get("Content-Length", "0") or "0")
        body = self.rfile.read(length) if length > 0 else b""
        self.record(body)
        mode = self.answer_mode()
        if mode == "hang":
            # Keep the connection open and silent until the client gives up.
            while True:
                try:
                    chunk = self.connection.recv(1)
                except OSError:
                    break
                if not chunk:
                    break
            self.close_connection = True
            return
        payload = b"" if mode == 204 else ("status %d\n" % mode).encode()
        self.send_response(mode)
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(payload)))
        self.end_headers()
        self.wfile.write(payload)

    do_POST = handle_any
    do_PUT = handle_any
    do_GET = handle_any
    do_DELETE = handle_any


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--state", required=True)
    parser.add_argument("--cert", required=True)
    parser.add_argument("--key", required=True)
    parser.add_argument("--ca", required=True)
    parser.add_argument("--address", default="127.0.0.1")
    parser.add_argument("--port", type=int, default=443)
    args = parser.parse_args()

    Handler.state_dir = args.state
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(args.cert, args.key)
    context.load_verify_locations(args.ca)
    context.verify_mode = ssl.CERT_REQUIRED

    server = Registry((args.address, args.port), Handler)
    server.tls_context = context
    with open(os.path.join(args.state, "ready"), "w") as ready:
        ready.write("%s:%d\n" % (args.address, args.port))
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
