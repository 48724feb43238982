#!/usr/bin/python3
"""A scripted HTTP peer for the HTTP client's tests, on 127.0.0.1 with a free port.

    http_test_peer.py SCRIPT LOG [--cert PEM --key PEM]

SCRIPT is a JSON file: {"connections": [[step, ...], ...]}. The n-th accepted
connection plays the n-th list; a connection beyond the list is closed at
once. For each step the peer reads one request (head and Content-Length
body) and then:
  "response": text sent back (characters are bytes, latin-1); "{port}"
              stands for the peer's port, "{connection}" for n
  "drip": true sends the response one byte at a time
  "close": true closes the connection afterwards
  "hang": true sends nothing and keeps the connection open
  "then": text sent right behind the response in a write of its own, the
          two leaving in one TCP segment (over TLS: two records that
          arrive together)
  "later": text sent 50 ms after the response, before any close; once it
           is sent (and the close made), {"connection": n, "later": true}
           is appended to LOG
  "after": a path (its characters bytes, as in "response"): "later" waits
           for that file to exist instead, at most 20 s; when it does not
           come, the connection is closed without it
  "shutdown": true shuts the sending side down after the response (plain
              connections only); the peer goes on reading, and then logs
              {"connection": n, "shutdown": true}
  "stall": true neither reads nor closes after the response (a TLS close
           goes unanswered) until the peer ends
After its last step a connection waits for the client to close it. With
--cert and --key the peer speaks TLS.

Every request read is appended to LOG as one JSON line:
{"connection": n, "request": "<latin-1 text>"}. Once it listens, the peer
prints {"port": <port>} and serves until it is terminated or its parent ends.
"""

import argparse
import json
import os
import socket
import ssl
import threading
import time

import peer_listener
from peer_listener import read_head

lock = threading.Lock()
PORT = 0


def read_request(connection, pending):
    head, rest = read_head(connection, pending)
    if head is None:
        return None, b""
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value.strip())
    while len(rest) < length:
        data = connection.recv(65536)
        if not data:
            break
        rest += data
    return head + b"\r\n\r\n" + rest[:length], rest[length:]


def wait_for(path):
    """Waits 50 ms, or with `path` until that file exists (at most 20 s);
    whether it came."""
    if not path:
        time.sleep(0.05)
        return True
    deadline = time.monotonic() + 20
    path = path.encode("latin-1")
    while not os.path.exists(path):
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def serve(connection, index, steps, log_path):
    pending = b""
    try:
        connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        for step in steps:
            request, pending = read_request(connection, pending)
            if request is None:
                return
            with lock, open(log_path, "a", encoding="utf-8") as log:
                log.write(json.dumps({"connection": index,
                                      "request": request.decode("latin-1")}) + "\n")
            if step.get("hang"):
                time.sleep(60)
                return
            response = step.get("response", "").replace("{port}", str(PORT)).replace(
                "{connection}", str(index)).encode("latin-1")
            if step.get("drip"):
                for i in range(len(response)):
                    connection.sendall(response[i:i + 1])
                    time.sleep(0.0005)
            elif step.get("then"):
                connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_CORK, 1)
                connection.sendall(response)
                connection.sendall(step["then"].encode("latin-1"))
                connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_CORK, 0)
            else:
                connection.sendall(response)
            if step.get("later"):
                if not wait_for(step.get("after")):
                    return
                connection.sendall(step["later"].replace("{port}", str(PORT)).encode("latin-1"))
                if step.get("close"):
                    connection.close()
                with lock, open(log_path, "a", encoding="utf-8") as log:
                    log.write(json.dumps({"connection": index, "later": True}) + "\n")
            if step.get("shutdown"):
                connection.shutdown(socket.SHUT_WR)
                with lock, open(log_path, "a", encoding="utf-8") as log:
                    log.write(json.dumps({"connection": index, "shutdown": True}) + "\n")
            if step.get("stall"):
                time.sleep(60)
                return
            if step.get("close"):
                return
        while connection.recv(65536):
            pass
    except OSError:  # ssl.SSLError too
        pass
    finally:
        connection.close()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("script")
    parser.add_argument("log")
    parser.add_argument("--cert")
    parser.add_argument("--key")
    args = parser.parse_args()
    with open(args.script, encoding="utf-8") as script_file:
        connections = json.load(script_file)["connections"]
    tls = None
    if args.cert:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(args.cert, args.key)
    listener = peer_listener.listen()
    global PORT
    PORT = listener.getsockname()[1]

    def handle(connection, index):
        if index >= len(connections):
            connection.close()
            return
        if tls:
            try:
                connection = tls.wrap_socket(connection, server_side=True)
            except OSError:
                connection.close()
                return
        serve(connection, index, connections[index], args.log)

    peer_listener.serve(listener, handle)


if __name__ == "__main__":
    main()
