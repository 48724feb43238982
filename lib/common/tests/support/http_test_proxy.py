#!/usr/bin/python3
"""A web proxy with Basic authentication for tests, on 127.0.0.1 with a free port.

    http_test_proxy.py --journal FILE --user NAME --password SECRET [--map HOST=ADDRESS]...

Takes requests for absolute http URLs. A request without the right
Proxy-Authorization gets 407 with a Basic challenge; one with it is forwarded,
the host being replaced by its --map address when it has one (so that made-up
names reach local servers), and the answer is relayed; only loopback servers
are reached. Every request is
journalled (one JSON object a line: method, url, "auth" as "missing", "wrong"
or "ok", and the status relayed). Prints {"port": <port>} once it serves, then
serves until it is terminated or its parent ends.
"""

import argparse
import base64
import http.client
import http.server
import json
import os
import signal
import threading
import time
import urllib.parse

HOP_BY_HOP = {"connection", "keep-alive", "proxy-authenticate", "proxy-authorization",
              "proxy-connection", "te", "trailer", "transfer-encoding", "upgrade",
              "content-length"}


class Proxy(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self, options):
        super().__init__(("127.0.0.1", 0), Handler)
        credentials = "%s:%s" % (options.user, options.password)
        self.expected = "Basic " + base64.b64encode(credentials.encode()).decode()
        self.hosts = dict(item.split("=", 1) for item in options.map)
        self.lock = threading.Lock()
        self.journal = open(options.journal, "a", encoding="utf-8")

    def write(self, entry):
        with self.lock:
            self.journal.write(json.dumps(entry) + "\n")
            self.journal.flush()

    def handle_error(self, request, client_address):
        pass


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    timeout = 60

    def log_message(self, format, *args):
        pass

    def reply(self, status, body, headers=()):
        self.send_response(status)
        for name, value in headers:
            self.send_header(name, value)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def handle_any(self):
        length = int(self.headers.get("Content-Length", "0") or "0")
        body = self.rfile.read(length) if length > 0 else b""
        entry = {"method": self.command, "url": self.path}
        given = self.headers.get("Proxy-Authorization")
        if given != self.server.expected:
            entry["auth"] = "missing" if given is None else "wrong"
            entry["status"] = 407
            self.server.write(entry)
            self.reply(407, b"proxy credentials required",
                       [("Proxy-Authenticate", 'Basic realm="quorvane-test"'),
                        ("Content-Type", "text/plain")])
            return
        entry["auth"] = "ok"
        target = urllib.parse.urlsplit(self.path)
        if target.scheme != "http" or not target.hostname:
            entry["status"] = 400
            self.server.write(entry)
            self.reply(400, b"only absolute http URLs")
            return
        address = self.server.hosts.get(target.hostname, target.hostname)
        if address not in ("127.0.0.1", "localhost"):
            entry["status"] = 403
            self.server.write(entry)
            self.reply(403, b"only local servers")
            return
        headers = {name: value for name, value in self.headers.items()
                   if name.lower() not in HOP_BY_HOP}
        path = target.path or "/"
        if target.query:
            path += "?" + target.query
        try:
            upstream = http.client.HTTPConnection(address, target.port or 80, timeout=30)
            upstream.request(self.command, path, body=body, headers=headers)
            answer = upstream.getresponse()
            content = answer.read()
            relayed = [(name, value) for name, value in answer.getheaders()
                       if name.lower() not in HOP_BY_HOP]
            upstream.close()
        except OSError as error:
            entry["status"] = 502
            self.server.write(entry)
            self.reply(502, str(error).encode())
            return
        entry["status"] = answer.status
        self.server.write(entry)
        self.reply(answer.status, content, relayed)

    do_GET = do_POST = do_PUT = do_PATCH = do_DELETE = do_HEAD = handle_any


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--journal", required=True)
    parser.add_argument("--user", required=True)
    parser.add_argument("--password", required=True)
    parser.add_argument("--map", action="append", default=[])
    proxy = Proxy(parser.parse_args())
    threading.Thread(target=proxy.serve_forever, daemon=True).start()
    signal.signal(signal.SIGTERM, lambda *_: os._exit(0))
    print(json.dumps({"port": proxy.server_address[1]}), flush=True)

    parent = os.getppid()
    while os.getppid() == parent:  # a test that ends abruptly leaves nothing behind
        time.sleep(0.5)
    os._exit(0)


if __name__ == "__main__":
    main()
