"""What the raw-socket test peers of this folder share: a listener on
127.0.0.1 with a free port, served until the peer is terminated or its parent
ends, and the reading of a message head.
"""

import json
import os
import signal
import socket
import sys
import threading


def listen():
    """A listener on 127.0.0.1 with a free port; prints {"port": <port>}."""
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(16)
    print(json.dumps({"port": listener.getsockname()[1]}), flush=True)
    return listener


def serve(listener, handle):
    """Runs handle(connection, index) on a thread of its own for every
    connection accepted, index counting them from 0, until the peer is
    terminated or its parent ends (a test that ends abruptly leaves nothing
    behind)."""
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(0))
    listener.settimeout(0.5)
    parent = os.getppid()
    index = 0
    while os.getppid() == parent:
        try:
            connection, _ = listener.accept()
        except socket.timeout:
            continue
        threading.Thread(target=handle, args=(connection, index), daemon=True).start()
        index += 1


def read_head(connection, pending):
    """Reads from `connection`, behind the bytes `pending`, up to the blank
    line that ends a message head: (head, the bytes after the blank line), or
    (None, b"") when the peer closes first."""
    while b"\r\n\r\n" not in pending:
        data = connection.recv(65536)
        if not data:
            return None, b""
        pending += data
    head, _, rest = pending.partition(b"\r\n\r\n")
    return head, rest
