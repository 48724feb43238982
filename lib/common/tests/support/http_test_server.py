#!/usr/bin/python3
"""A web server for tests and benchmarks, on 127.0.0.1 with free ports.

    http_test_server.py --journal FILE [--root DIR] [--cert PEM --key PEM]

Serves plain HTTP and, with a certificate, HTTPS on a second port. Once it
serves it prints one line, {"http": <port>, "https": <port or null>}, and then
serves until it is terminated or its parent ends. Every request is appended to
the journal (one JSON object a line: method, path, headers, body size, SHA-256
and, up to 64 KiB, the body in hex; "tls" tells the port) before it is
answered.

Paths:
  /echo...                  200, the request as JSON
  /status/<code>            that status, body "status <code>"
  /redirect/<code>?to=URL   that redirect status to URL
  /loop                     302 to itself
  /files/<name>             the file <name> of --root, with its length
  /chunked/<name>           the same in chunks, without a length
  /close/<name>             the same without a length, ended by closing the
                            connection
  /pieces                   a UTF-8 text in chunks split inside characters,
                            with pauses between them
  /nul                      "abc", a NUL byte, "def"
  /slow                     announces 100 MB, sends 16 KiB every 50 ms until
                            the client goes; then journals "disconnected"
  /wait/<ms>                200 after that many milliseconds, with the header
                            X-Connection: the number of the connection, 1 for
                            the first one the server accepted
  /drop                     closes the connection without an answer
  anything else             404
"""

import argparse
import hashlib
import http.server
import json
import os
import shutil
import signal
import socket
import ssl
import sys
import threading
import time
import urllib.parse

JOURNAL_BODY_LIMIT = 64 * 1024
PIECES = [b"Gr\xc3", b"\xbc\xc3\x9fe \xe4\xb8", b"\x96\xe7\x95\x8c \xe2\x82", b"\xac!"]


class Journal:
    def __init__(self, path):
        self._lock = threading.Lock()
        self._file = open(path, "a", encoding="utf-8")

    def write(self, entry):
        with self._lock:
            self._file.write(json.dumps(entry) + "\n")
            self._file.flush()


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    allow_reuse_address = True

    def __init__(self, journal, root, tls_context):
        super().__init__(("127.0.0.1", 0), Handler)
        self.accepted = 0
        self.numbers = {}
        self.journal = journal
        self.root = root
        self.tls_context = tls_context

    def process_request(self, request, client_address):
        # Called in the accepting thread, so the numbers follow accept order.
        self.accepted += 1
        self.numbers[id(request)] = self.accepted
        super().process_request(request, client_address)

    def handle_error(self, request, client_address):
        pass  # clients that reject the certificate or go away are expected


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 60

    def setup(self):
        self.number = self.server.numbers.pop(id(self.request), 0)
        if self.server.tls_context is not None:
            self.request.settimeout(10)
            self.request = self.server.tls_context.wrap_socket(self.request, server_side=True)
        super().setup()

    def log_message(self, format, *args):
        pass

    def read_body(self):
        if self.headers.get("Transfer-Encoding", "").lower() == "chunked":
            body = bytearray()
            while True:
                size = int(self.rfile.readline().split(b";")[0].strip(), 16)
                if size == 0:
                    while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                        pass
                    return bytes(body)
                body += self.rfile.read(size)
                self.rfile.readline()
        length = int(self.headers.get("Content-Length", "0") or "0")
        return self.rfile.read(length) if length > 0 else b""

    def record(self, body):
        entry = {
            "method": self.command,
            "path": self.path,
            "headers": [[name, value] for name, value in self.headers.items()],
            "size": len(body),
            "sha256": hashlib.sha256(body).hexdigest(),
            "tls": self.server.tls_context is not None,
        }
        if len(body) <= JOURNAL_BODY_LIMIT:
            entry["body"] = body.hex()
        self.server.journal.write(entry)
        return entry

    def reply(self, status, body=b"", content_type="text/plain", headers=()):
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        for name, value in headers:
            self.send_header(name, value)
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def handle_any(self):
        body = self.read_body()
        entry = self.record(body)
        url = urllib.parse.urlsplit(self.path)
        parts = url.path.strip("/").split("/")
        head = parts[0]
        if head == "echo":
            self.reply(200, json.dumps(entry).encode(), "application/json",
                       [("X-Echo", "yes"), ("x-lower-case", "small")])
        elif head == "status" and len(parts) == 2 and parts[1].isdigit():
            self.reply(int(parts[1]), ("status " + parts[1]).encode(),
                       headers=[("X-Status", parts[1])])
        elif head == "redirect" and len(parts) == 2 and parts[1].isdigit():
            target = urllib.parse.parse_qs(url.query).get("to", ["/echo"])[0]
            self.reply(int(parts[1]), b"moved", headers=[("Location", target)])
        elif head == "loop":
            self.reply(302, b"again", headers=[("Location", "/loop")])
        elif head in ("files", "chunked", "close") and len(parts) == 2:
            self.send_file(parts[1], framing=head)
        elif head == "pieces":
            self.send_pieces()
        elif head == "nul":
            self.reply(200, b"abc\x00def")
        elif head == "slow":
            self.send_slowly()
        elif head == "wait" and len(parts) == 2 and parts[1].isdigit():
            time.sleep(int(parts[1]) / 1000)
            self.reply(200, b"waited", headers=[("X-Connection", str(self.number))])
        elif head == "drop":
            self.close_connection = True
        else:
            self.reply(404, b"not found")

    def send_file(self, name, framing):
        path = os.path.join(self.server.root or "", name)
        if not self.server.root or "/" in name or not os.path.isfile(path):
            self.reply(404, b"no such file")
            return
        with open(path, "rb") as source:
            self.send_response(200)
            self.send_header("Content-Type", "application/octet-stream")
            if framing == "close":
                self.send_header("Connection", "close")
                self.end_headers()
                self.close_connection = True
                shutil.copyfileobj(source, self.wfile, 1 << 20)
            elif framing == "chunked":
                self.send_header("Transfer-Encoding", "chunked")
                self.end_headers()
                while True:
                    block = source.read(64 * 1024)
                    if not block:
                        break
                    self.wfile.write(b"%x\r\n%s\r\n" % (len(block), block))
                self.wfile.write(b"0\r\n\r\n")
            else:
                self.send_header("Content-Length", str(os.path.getsize(path)))
                self.end_headers()
                if self.server.tls_context is None:
                    self.connection.sendfile(source)
                else:
                    shutil.copyfileobj(source, self.wfile, 1 << 20)

    def send_pieces(self):
        self.send_response(200)
        self.send_header("Content-Type", "text/plain; charset=utf-8")
        self.send_header("Transfer-Encoding", "chunked")
        self.end_headers()
        for piece in PIECES:
            self.wfile.write(b"%x\r\n%s\r\n" % (len(piece), piece))
            self.wfile.flush()
            time.sleep(0.2)
        self.wfile.write(b"0\r\n\r\n")

    def send_slowly(self):
        self.send_response(200)
        self.send_header("Content-Type", "application/octet-stream")
        self.send_header("Content-Length", str(100 * 1024 * 1024))
        self.end_headers()
        block = b"s" * 16384
        deadline = time.monotonic() + 60
        try:
            while time.monotonic() < deadline:
                self.wfile.write(block)
                self.wfile.flush()
                time.sleep(0.05)
        except OSError:
            self.server.journal.write({"event": "disconnected", "path": self.path})
        self.close_connection = True

    do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = do_HEAD = handle_any


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--journal", required=True)
    parser.add_argument("--root")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    options = parser.parse_args()

    journal = Journal(options.journal)
    servers = [Server(journal, options.root, None)]
    if options.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(options.cert, options.key)
        servers.append(Server(journal, options.root, context))
    for server in servers:
        threading.Thread(target=server.serve_forever, daemon=True).start()

    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    ports = {"http": servers[0].server_address[1],
             "https": servers[1].server_address[1] if len(servers) > 1 else None}
    print(json.dumps(ports), flush=True)

    parent = os.getppid()
    while os.getppid() == parent:  # a test that ends abruptly leaves nothing behind
        time.sleep(0.5)
    os._exit(0)


if __name__ == "__main__":
    main()
