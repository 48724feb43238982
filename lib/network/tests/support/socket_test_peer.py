#!/usr/bin/python3
"""A TCP peer for the socket tests, on 127.0.0.1 with a free port.

    socket_test_peer.py MODE [--cert PEM --key PEM] [--out FILE]

Modes:
  echo      sends back every byte it receives
  silent    reads and never answers
  stall     never reads
  record    reads slowly and appends what it receives to --out

With --cert and --key the peer speaks TLS. Once it listens it prints one line, {"port": <port>}, and serves until it is
terminated or its parent ends.
"""

import argparse
import ssl
import time

import peer_listener


def serve_connection(connection, args):
    try:
        if args.mode == "echo":
            while True:
                data = connection.recv(65536)
                if not data:
                    break
                connection.sendall(data)
        elif args.mode == "silent":
            while connection.recv(65536):
                pass
        elif args.mode == "stall":
            time.sleep(60)
        elif args.mode == "record":
            with open(args.out, "ab") as out:
                while True:
                    data = connection.recv(4096)
                    if not data:
                        break
                    out.write(data)
                    out.flush()
                    time.sleep(0.002)
    except (OSError, ssl.SSLError):
        pass
    finally:
        try:
            connection.close()
        except OSError:
            pass


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("mode", choices=["echo", "silent", "stall", "record"])
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--out")
    args = parser.parse_args()
    tls = None
    if args.cert:
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(args.cert, args.key)


    def handle(connection, _):
        connection.settimeout(None)
        if tls:
            try:
                connection = tls.wrap_socket(connection, server_side=True)
            except (OSError, ssl.SSLError):
                connection.close()
                return
        serve_connection(connection, args)

    peer_listener.serve(peer_listener.listen(), handle)


if __name__ == "__main__":
    main()
