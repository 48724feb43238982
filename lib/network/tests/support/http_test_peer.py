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
  "later": text sent 50 ms after the response, before any close
After its last step a connection waits for the client to close it.

Every request read is appended to LOG as one JSON line:
{"connection": n, "request": "<latin-1 text>"}. Once it listens, the peer
prints {"port": <port>} and serves until it is terminated.
"""

import json
import socket
import sys
import threading
import time

lock = threading.Lock()
PORT = 0


def read_request(connection, pending):
    while b"\r\n\r\n" not in pending:
        data = connection.recv(65536)
        if not data:
            return None, b""
        pending += data
    head, _, rest = pending.partition(b"\r\n\r\n")
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
                return
        while connection.recv(65536):
            pass
    except OSError:
        pass
    finally:
        connection.close()


def main():
    with open(sys.argv[1], encoding="utf-8") as script_file:
        script = json.load(script_file)
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    global PORT
    PORT = listener.getsockname()[1]
    print(json.dumps({"port": PORT}), flush=True)
    index = 0
    while True:
        connection, _ = listener.accept()
        connections = script["connections"]
        if index >= len(connections):
            connection.close()
        else:
            threading.Thread(target=serve, daemon=True,
                             args=(connection, index, connections[index], sys.argv[2])).start()
        index += 1


if __name__ == "__main__":
    main()
