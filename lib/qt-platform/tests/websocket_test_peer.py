#!/usr/bin/python3
"""A web-socket echo server and a tunnelling web proxy for tests, on 127.0.0.1 with free ports.

    websocket_test_peer.py --journal FILE [--cert PEM --key PEM]
                           [--proxy-user NAME --proxy-password SECRET [--map HOST=ADDRESS]...]

The echo server sends every message back as it came and answers pings; with
--cert it also listens with TLS. With proxy credentials a proxy takes CONNECT
requests: without the right Basic Proxy-Authorization it answers 407 and
closes; with it, it tunnels to the target, whose host is replaced by its --map
address (only loopback is reached). The journal gets one JSON object a line:
{"open": path, "headers": [[name, value]...]}, {"close": code} and
{"connect": target, "auth": "missing" | "wrong" | "ok"}. Prints
{"ws": port, "wss": port, "proxy": port} once it serves, then serves until it
is terminated or its parent ends.
"""

import argparse
import asyncio
import base64
import json
import os
import ssl

import websockets

CLOSING = b"Content-Length: 0\r\nConnection: close\r\n\r\n"


async def pipe(reader, writer):
    try:
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
    except OSError:
        pass
    finally:
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

    async def tunnel(reader, writer):
        try:
            head = await asyncio.wait_for(reader.readuntil(b"\r\n\r\n"), 30)
        except (asyncio.IncompleteReadError, asyncio.LimitOverrunError, asyncio.TimeoutError):
            writer.close()
            return
        lines = head.decode("latin-1").split("\r\n")
        method, target = (lines[0].split(" ") + ["", ""])[:2]
        given = None
        for line in lines[1:]:
            name, _, value = line.partition(":")
            if name.strip().lower() == "proxy-authorization":
                given = value.strip()
        auth = "missing" if given is None else "ok" if given == expected else "wrong"
        write({"connect": target, "auth": auth})
        host, _, port = target.rpartition(":")
        address = hosts.get(host, host)
        if auth != "ok":
            writer.write(b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                         b"Proxy-Authenticate: Basic realm=\"quorvane-test\"\r\n" + CLOSING)
        elif method != "CONNECT" or address not in ("127.0.0.1", "localhost"):
            writer.write(b"HTTP/1.1 403 Forbidden\r\n" + CLOSING)
        else:
            try:
                upstream_reader, upstream_writer = await asyncio.open_connection(address, int(port))
            except (OSError, ValueError):
                writer.write(b"HTTP/1.1 502 Bad Gateway\r\n" + CLOSING)
            else:
                writer.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
                await asyncio.gather(pipe(reader, upstream_writer), pipe(upstream_reader, writer))
                return
        await writer.drain()
        writer.close()

    ports = {}
    plain = await websockets.serve(echo, "127.0.0.1", 0)
    ports["ws"] = plain.sockets[0].getsockname()[1]
    if options.cert:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(options.cert, options.key)
        secure = await websockets.serve(echo, "127.0.0.1", 0, ssl=context)
        ports["wss"] = secure.sockets[0].getsockname()[1]
    if options.proxy_user:
        credentials = "%s:%s" % (options.proxy_user, options.proxy_password)
        expected = "Basic " + base64.b64encode(credentials.encode()).decode()
        hosts = dict(item.split("=", 1) for item in options.map)
        proxy = await asyncio.start_server(tunnel, "127.0.0.1", 0)
        ports["proxy"] = proxy.sockets[0].getsockname()[1]
    print(json.dumps(ports), flush=True)

    parent = os.getppid()
    while os.getppid() == parent:  # a test that ends abruptly leaves nothing behind
        await asyncio.sleep(0.5)
    os._exit(0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--journal", required=True)
    parser.add_argument("--cert")
    parser.add_argument("--key")
    parser.add_argument("--proxy-user")
    parser.add_argument("--proxy-password", default="")
    parser.add_argument("--map", action="append", default=[])
    asyncio.run(serve(parser.parse_args()))


if __name__ == "__main__":
    main()
