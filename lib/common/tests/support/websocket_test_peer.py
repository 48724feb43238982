#!/usr/bin/python3
"""The peers of the web-socket tests on 127.0.0.1: echo servers "ws" and "wss"
(--cert, --key), a "silent" server that never answers, a "proxy" that
tunnels CONNECT to "target.test" (the echo servers' host) for anna /
open-sesame and answers others 407, and a "raw" server that plays scripted
frames. Journals one JSON object a line (--journal), prints its ports as
JSON once it serves, ends with its parent.

The echo servers act on the path first: "/greet" sends "welcome", "/ping"
pings ("are you there"), journals {"pong": true} once answered and sends
"after pong", "/close/CODE" closes with CODE; then they echo every message
("/echo-sizes" journals the size of each, {"echoed": size}, once echoed).
The proxy leads "target.test:443" to "wss" and "target.test:80" to "ws".

The raw server answers the upgrade by path: "/status/CODE" with that status
and no upgrade ("/status/CODE/coded": with a body labelled gzip that is not,
"/status/CODE/page": with a body of 10,000 bytes), "/not-http" with a line that is no HTTP, a wrong or missing
accept value, a 101 bent as "/answer/VARIANT" names (RAW_ANSWERS), or a
correct one followed at once, in the same write, by the script's frames
(RAW_SCRIPTS; "/bytes/HEX" sends the bytes HEX; "/late" sends "late" after a
second of silence). It then journals every frame the client sends as
{"frame": opcode, "payload": hex} ("/masks" adds "mask": hex) until the
client hangs up or closes: a Close is echoed, then the connection closed ("/no-close-answer"
never answers, "/hang-up-on-close" hangs up without answering).
"""

import argparse
import asyncio
import base64
import hashlib
import json
import os
import ssl
import struct

import websockets



def frame(opcode, payload, final=True, length=None):
    """An unmasked server frame; `length` overrides the announced length."""
    length = len(payload) if length is None else length
    head = bytes([(0x80 if final else 0) | opcode])
    if length < 126:
        head += bytes([length])
    elif length < 65536:
        head += bytes([126]) + struct.pack("!H", length)
    else:
        head += bytes([127]) + struct.pack("!Q", length)
    return head + payload


# The frames the raw server sends right behind its 101, by path.
RAW_SCRIPTS = {
    "/greeting": frame(1, b"first") + frame(2, b"second"),
    "/fragments": frame(1, b"frag", final=False) + frame(9, b"p") + frame(0, b"men", final=False) +
                  frame(10, b"") + frame(0, b"ted") + frame(2, bytes(i % 251 for i in range(70000))),
    "/huge-length": frame(2, b"", length=2**63),
    "/over-limit": frame(2, b"", length=2**62),
    "/fragments-over-limit": frame(2, b"x" * 600, final=False) + frame(0, b"y" * 600),
    "/reserved-opcode": frame(3, b"what"),
    "/masked": bytes([0x82, 0x84]) + b"\x01\x02\x03\x04" + bytes(a ^ b for a, b in zip(b"mask", b"\x01\x02\x03\x04")),
    "/no-close-answer": b"",
    # A burst of empty messages in one write, then a Close.
    "/burst": frame(1, b"") * 200000 + frame(8, b"\x03\xe8"),
    # 4 MiB in one frame, in one write.
    "/large": frame(2, (bytes(range(251)) * ((4 << 20) // 251 + 1))[:4 << 20]),
}

# The headers of a 101 answer, bent by "/answer/VARIANT": None drops one.
RAW_ANSWERS = {
    "no-upgrade": {"Upgrade": None},
    "upgrade-h2c": {"Upgrade": "h2c"},
    "upgrade-mixed-case": {"Upgrade": "WebSocket"},
    "no-connection": {"Connection": None},
    "connection-keep-alive": {"Connection": "keep-alive"},
    "connection-list": {"Connection": "keep-alive, Upgrade"},
    "deflate": {"Sec-WebSocket-Extensions": "permessage-deflate; server_no_context_takeover"},
    "chat": {"Sec-WebSocket-Protocol": "chat"},
}

EXPECTED = "Basic " + base64.b64encode(b"anna:open-sesame").decode()
CLOSING = b"Content-Length: 0\r\nConnection: close\r\n\r\n"
# The rest of a "/status/CODE/BODY" answer: no body, one labelled gzip that
# is not, or a page of 10,000 bytes.
STATUS_BODIES = {
    "": CLOSING,
    "coded": b"Content-Encoding: gzip\r\nContent-Length: 8\r\nConnection: close\r\n\r\nnot gzip",
    "page": b"Content-Length: 10000\r\nConnection: close\r\n\r\n" + b"p" * 10000,
}


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
        sizes = socket.path == "/echo-sizes"
        try:
            if socket.path == "/greet":
                await socket.send("welcome")
            elif socket.path == "/ping":
                await asyncio.wait_for(await socket.ping(b"are you there"), 10)
                write({"pong": True})
                await socket.send("after pong")
            elif socket.path.startswith("/close/"):
                await socket.close(int(socket.path[7:]), "bye")
            async for message in socket:
                await socket.send(message)
                if sizes:
                    write({"echoed": len(message)})
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
            ports = {443: servers["wss"], 80: servers["ws"]}
            port = ports[int(port)].sockets[0].getsockname()[1] if int(port) in ports else int(port)
            upstream_reader, upstream_writer = await asyncio.open_connection("127.0.0.1", port)
            writer.write(b"HTTP/1.1 200 Connection established\r\n\r\n")
            await asyncio.gather(drain(reader, upstream_writer), drain(upstream_reader, writer))
            return
        writer.write(b"HTTP/1.1 403 Forbidden\r\n" + CLOSING if auth == "ok" else
                     b"HTTP/1.1 407 Proxy Authentication Required\r\n"
                     b"Proxy-Authenticate: Basic realm=\"quorvane-test\"\r\n" + CLOSING)
        await writer.drain()
        writer.close()

    async def raw(reader, writer):
        head = (await reader.readuntil(b"\r\n\r\n")).decode("latin-1").split("\r\n")
        path = (head[0].split(" ") + [""])[1]
        key = [line.partition(":")[2].strip() for line in head[1:]
               if line.lower().startswith("sec-websocket-key:")]
        accept = base64.b64encode(hashlib.sha1(
            (key[0] if key else "").encode() + b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11").digest()).decode()
        if path == "/wrong-accept":
            accept = accept.swapcase()
        headers = {"Upgrade": "websocket", "Connection": "Upgrade", "Sec-WebSocket-Accept": accept}
        if path == "/missing-accept":
            del headers["Sec-WebSocket-Accept"]
        for name, value in RAW_ANSWERS.get(path[len("/answer/"):] if path.startswith("/answer/") else "", {}).items():
            headers.pop(name, None)
            if value is not None:
                headers[name] = value
        if path.startswith("/status/") or path == "/not-http":
            code, _, body = path[len("/status/"):].partition("/")
            writer.write(b"SSH-2.0-OpenSSH\r\n\r\n" if path == "/not-http" else
                         f"HTTP/1.1 {code} Other\r\n".encode() + STATUS_BODIES[body])
            await writer.drain()
            writer.close()
            return
        answer = "HTTP/1.1 101 Switching Protocols\r\n" + "".join(f"{k}: {v}\r\n" for k, v in headers.items())
        script = bytes.fromhex(path[len("/bytes/"):]) if path.startswith("/bytes/") else RAW_SCRIPTS.get(path, b"")
        writer.write(answer.encode() + b"\r\n" + script)
        write({"raw": path})
        try:
            if path == "/late":
                await asyncio.sleep(1)
                writer.write(frame(1, b"late"))
            while True:
                first, second = await reader.readexactly(2)
                length = second & 0x7F
                if length >= 126:
                    length = int.from_bytes(await reader.readexactly(2 if length == 126 else 8), "big")
                mask = await reader.readexactly(4) if second & 0x80 else b"\0\0\0\0"
                payload = bytes(b ^ mask[i % 4] for i, b in enumerate(await reader.readexactly(length)))
                entry = {"frame": first & 0x0F, "payload": payload.hex()}
                if path == "/masks":
                    entry["mask"] = mask.hex()
                write(entry)
                if first & 0x0F == 8 and path not in ("/no-close-answer", "/hang-up-on-close"):
                    writer.write(frame(8, payload))
                    await writer.drain()
                    break
                if first & 0x0F == 8 and path == "/hang-up-on-close":
                    break
        except (OSError, asyncio.IncompleteReadError):
            pass
        writer.close()

    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    context.load_cert_chain(options.cert, options.key)
    servers = {"ws": await websockets.serve(echo, "127.0.0.1", 0, max_size=None),
               "wss": await websockets.serve(echo, "127.0.0.1", 0, ssl=context, max_size=None),
               "raw": await asyncio.start_server(raw, "127.0.0.1", 0),
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
