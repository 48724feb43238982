#!/usr/bin/python3
"""A scripted HTTP peer for the HTTP client's tests, on 127.0.0.1 with a free port.

    http_test_peer.py SCRIPT LOG

SCRIPT is a JSON file: {"connections": [[step, ...], ...]}. The n-th accepted
connection plays the n-th list; a connection beyond the list is closed at
once. For each step the peer reads one request (head and Content-Length
body) and then:
  "response": text sent back (characters are bytes, latin-1); "{port}"
              stands for the peer's port
  "drip": true sends the response one byte at a time
  "close": true closes the connection afterwards
  "hang": true sends nothing and keeps the connection open
  "later": text sent 50 ms after the response, before any close; once it
           is sent (and the close made), {"connection": n, "later": true}
           is appended to LOG
After its last step a connection waits for the client to close it.

Every request read is appended to LOG as one JSON line:
{"connection": n, "request": "<latin-1 text>"}. Once it listens, the peer
prints {"port": <port>} and serves until it is terminated or its parent ends.
"""

import json
import socket
import sys
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
            response = step.get("response", "").replace("{port}", str(PORT)).encode("latin-1")
            if step.get("drip"):
                for i in range(len(response)):
                    connection.sendall(response[i:i + 1])
                    time.sleep(0.0005)
            else:
                connection.sendall(response)
            if step.get("later"):
                time.sleep(0.05)
                connection.sendall(step["later"].replace("{port}", str(PORT)).encode("latin-1"))
                if step.get("close"):
                    connection.close()
                with lock, open(log_path, "a", encoding="utf-8") as log:
                    log.write(json.dumps({"connection": index, "later": True}) + "\n")
            if step.get("close"):
                return
        while connection.recv(65536):
            pass
    except OSError:
        pass
    finally:
        connection.close()


def main():
    with open(sys.argv[1], encoding="utf-8") as script_file:
        connections = json.load(script_file)["connections"]
    listener = peer_listener.listen()
    global PORT
    PORT = listener.getsockname()[1]

    def handle(connection, index):
        if index >= len(connections):
            connection.close()
        else:
            serve(connection, index, connections[index], sys.argv[2])

    peer_listener.serve(listener, handle)


if __name__ == "__main__":
    main()
