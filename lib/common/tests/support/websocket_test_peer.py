#!/usr/bin/python3
"""The peers of the web-socket tests on 127.0.0.1: echo servers "ws" and "wss"
(--cert, --key), a "silent" server that never answers, and a "proxy" that
tunnels CONNECT to "target.test" (the echo servers' host) for anna /
open-sesame and answers others 407. Journals one JSON object a line
(--journal), prints its ports as JSON once it serves, ends with its parent.
"""

import argparse
import asyncio
import base64
import json
import os
import ssl

import websockets

EXPECTED = "Basic " + base64.b64encode(b"anna:open-sesame").decode()
CLOSING = b"Content-Length: 0\r\nConnection: close\r\n\r\n"


async def drain(reader, writer=None):
    """Copies `reader` to `writer` (or nowhere) until either end goes."""
    try:
        while data := await reader.read(65536):
            if writer:
                writer.write(data)
                await writer.drain()
    except OSError:  # a reset is a hang-up too
        pass
    finally:
        if writer:
            writer.close()


async def serve(options):
    journal = open(options.journal, "a", encoding="utf-8")

    def write(entry):
        journal.write(json.dumps(entry) + "\n")
        journal.flush()

    async def echo(socket, path=None):
        write({"open": socket.path, "headers": list(socket.request_headers.raw_items())})
        try:
            async for message in socket:
                await socket.send(message)
        except websockets.ConnectionClosed:
            pass
        write({"close": socket.close_code})

    async def silent(reader, writer):
        write({"silent": "accepted"})
        await drain(reader)
        write({"silent": "closed"})

    async def tunnel(reader, writer):
        head = (await reader.readuntil(b"\r\n\r\n")).decode("latin-1").split("\r\n")
        target = (head[0].split(" ") + [""])[1]
        given = [line.partition(":")[2].strip() for line in head[1:]
                 if line.lower().startswith("proxy-authorization:")]
        auth = "missing" if not given else "ok" if given[0] == EXPECTED else "wrong"
        write({"connect": target, "auth": auth})
        host, _, port = target.rpartition(":")
        if auth == "wrong":
            await asyncio.sleep(0.5)  # time for a test to act while the refusal is on its way
        if auth == "ok" and host == "target.test" and head[0].startswith("CONNECT "):
            upstream_reader, upstream_writer = await asyncio.open_connection("127.0.0.1", int(port))
            writer.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
            await asyncio.gather(drain(reader, upstream_writer), drain(upstream_reader, writer))
            return
        writer.write(b"HTTP/1.1 403 Forbidden\r\n" + CLOSING if auth == "ok" else
                     b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                     b"Proxy-Authenticate: Basic realm=\"quorvane-test\"\r\n" + CLOSING)
        await writer.drain()
        writer.close()

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(options.cert, options.key)
    servers = {"ws": await websockets.serve(echo, "127.0.0.1", 0),
               "wss": await websockets.serve(echo, "127.0.0.1", 0, ssl=context),
               "silent": await asyncio.start_server(silent, "127.0.0.1", 0),
               "proxy": await asyncio.start_server(tunnel, "127.0.0.1", 0)}
    print(json.dumps({name: server.sockets[0].getsockname()[1]
                      for name, server in servers.items()}), flush=True)
    parent = os.getppid()
    while os.getppid() == parent:  # a test that ends abruptly leaves nothing behind
        await asyncio.sleep(0.5)
    os._exit(0)


def main():
    parser = argparse.ArgumentParser()
    for option in ("--journal", "--cert", "--key"):
        parser.add_argument(option, required=True)
    asyncio.run(serve(parser.parse_args()))


if __name__ == "__main__":
    main()
