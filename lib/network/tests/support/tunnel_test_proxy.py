#!/usr/bin/python3
"""A tunnelling HTTP proxy for the socket and connection tests, on 127.0.0.1 with a free port.

    tunnel_test_proxy.py LOG [--challenge VALUE]... [--user USER --password PASSWORD]
                             [--prefix TEXT]

Every CONNECT is answered 407 with one "Proxy-Authenticate" header per
--challenge (in the order given; "Digest" challenges get a fresh nonce for
"{nonce}") until its "Proxy-Authorization" answers one of them: Basic with
USER and PASSWORD, or Digest (qop "auth"; MD5, MD5-sess, SHA-256 or
SHA-256-sess, as the challenge answered names it) for the nonce of that
challenge. Without --challenge every CONNECT is let through. A CONNECT let
through is answered "200 Connection established" followed, in the same write,
by TEXT (escapes such as \\r\\n read as in Python), and the connection is then
relayed to 127.0.0.1 at the CONNECT's port. Each CONNECT is appended to LOG
as one JSON line {"authorization": value or null, "answer": status}. Once it
listens, the proxy prints {"port": <port>} and serves until it is terminated
or its parent ends.
"""

import argparse
import base64
import hashlib
import json
import re
import secrets
import socket
import threading

import peer_listener
from peer_listener import read_head

lock = threading.Lock()


def params_of(text):
    return {name.lower(): quoted if quoted else plain
            for name, quoted, plain in re.findall(r'([\w-]+)\s*=\s*(?:"([^"]*)"|([^\s,]+))', text)}


def digest_valid(authorization, challenges, args):
    params = params_of(authorization)
    for challenge in challenges:
        offered = params_of(challenge)
        if offered.get("nonce") != params.get("nonce"):
            continue
        algorithm = offered.get("algorithm", "MD5")
        if params.get("algorithm", "MD5").lower() != algorithm.lower():
            return False
        digest = hashlib.sha256 if algorithm.lower().startswith("sha-256") else hashlib.md5
        h = lambda text: digest(text.encode("utf-8")).hexdigest()
        ha1 = h(f"{args.user}:{offered.get('realm', '')}:{args.password}")
        if algorithm.lower().endswith("-sess"):
            ha1 = h(f"{ha1}:{params.get('nonce')}:{params.get('cnonce', '')}")
        ha2 = h(f"CONNECT:{params.get('uri', '')}")
        expected = h(f"{ha1}:{params.get('nonce')}:{params.get('nc', '')}:"
                     f"{params.get('cnonce', '')}:auth:{ha2}")
        return params.get("qop") == "auth" and params.get("response") == expected
    return False


def authorized(authorization, challenges, args):
    if not args.challenge:
        return True
    if authorization is None:
        return False
    scheme, _, rest = authorization.partition(" ")
    if scheme.lower() == "basic":
        pair = f"{args.user}:{args.password}".encode("utf-8")
        return rest.strip() == base64.b64encode(pair).decode("ascii")
    if scheme.lower() == "digest":
        return digest_valid(rest, challenges, args)
    return False


def relay(source, target):
    try:
        while True:
            data = source.recv(65536)
            if not data:
                break
            target.sendall(data)
    except OSError:
        pass
    finally:
        for end in (source, target):
            try:
                end.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass


def serve(connection, args):
    pending = b""
    challenges = []
    try:
        while True:
            head, pending = read_head(connection, pending)
            if head is None:
                return
            lines = head.decode("latin-1").split("\r\n")
            authorization = None
            for line in lines[1:]:
                name, _, value = line.partition(":")
                if name.strip().lower() == "proxy-authorization":
                    authorization = value.strip()
            let_through = authorized(authorization, challenges, args)
            with lock, open(args.log, "a", encoding="utf-8") as log:
                log.write(json.dumps({"authorization": authorization,
                                      "answer": 200 if let_through else 407}) + "\n")
            if not let_through:
                challenges = [c.replace("{nonce}", secrets.token_hex(8)) for c in args.challenge]
                answer = "HTTP/1.1 407 Proxy Authentication Required\r\n"
                for challenge in challenges:
                    answer += "Proxy-Authenticate: " + challenge + "\r\n"
                connection.sendall((answer + "Content-Length: 0\r\n\r\n").encode("latin-1"))
                continue
            port = int(lines[0].split(" ")[1].rsplit(":", 1)[1])
            target = socket.create_connection(("127.0.0.1", port))
            prefix = args.prefix.encode("latin-1").decode("unicode_escape").encode("latin-1")
            connection.sendall(b"HTTP/1.1 200 Connection established\r\n\r\n" + prefix)
            if pending:
                target.sendall(pending)
            threading.Thread(target=relay, args=(target, connection), daemon=True).start()
            relay(connection, target)
            return
    except OSError:
        pass
    finally:
        connection.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("log")
    parser.add_argument("--challenge", action="append", default=[])
    parser.add_argument("--user", default="")
    parser.add_argument("--password", default="")
    parser.add_argument("--prefix", default="")
    args = parser.parse_args()

    def handle(connection, _):
        connection.settimeout(30)
        serve(connection, args)

    peer_listener.serve(peer_listener.listen(), handle)


if __name__ == "__main__":
    main()
