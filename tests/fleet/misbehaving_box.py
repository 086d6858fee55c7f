"""Boxes that misbehave on the wire, for the fleet test and benchmark: each
listens on an address of its own, port 8888, and passes requests to a real
service on another address, but answers the way a bad network, a broken
proxy or a hostile box does.

  misbehaving_box.py MODE LISTEN TARGET [MODE LISTEN TARGET ...]

MODE, for every request or, with "-update", for /update alone (the others
pass through unharmed):
  flood[-update]    the service's reply, then 50 MiB more
  trickle[-update]  the service's reply at one byte a second
  late-update       the service's reply, LATE_SECONDS (15) late
  silent-update     /update reaches the service; from then on nothing is
                    answered at all
  html-update       /update never reaches the service: an HTML page, 200
Runs until killed."""

import asyncio
import os
import sys

PORT = 8888
FLOOD = 50 * 1024 * 1024
PAGE = b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<html><head><title>Welcome</title></head></html>\n"


async def _forward(target, request):
    reader, writer = await asyncio.open_connection(target, PORT)
    writer.write(request)
    await writer.drain()
    reply = await reader.read()
    writer.close()
    return reply


async def _send(writer, data, mode):
    if mode.startswith("flood"):
        writer.write(data)
        chunk = b"x" * 65536
        for _ in range(FLOOD // len(chunk)):
            writer.write(chunk)
            await writer.drain()
    elif mode.startswith("trickle"):
        for index in range(len(data)):
            writer.write(data[index:index + 1])
            await writer.drain()
            await asyncio.sleep(1)
    else:
        if mode == "late-update":
            await asyncio.sleep(float(os.environ.get("LATE_SECONDS", "15")))
        writer.write(data)
        await writer.drain()


def serve(mode, target, silent):
    async def handle(reader, writer):
        try:
            request = await reader.readuntil(b"\r\n\r\n")
            is_update = request.startswith(b"GET /update")
            if silent[0]:
                await reader.read()  # holds the connection until the client gives up
                return
            if is_update and mode == "html-update":
                writer.write(PAGE)
                await writer.drain()
                return
            reply = await _forward(target, request)
            if is_update and mode == "silent-update":
                silent[0] = True
                await reader.read()
                return
            await _send(writer, reply, mode if is_update or not mode.endswith("-update") else "pass")
        except (OSError, asyncio.IncompleteReadError, asyncio.LimitOverrunError):
            pass
        finally:
            writer.close()
    return handle


async def main(arguments):
    servers = []
    for index in range(0, len(arguments), 3):
        mode, listen, target = arguments[index:index + 3]
        servers.append(await asyncio.start_server(serve(mode, target, [False]), listen, PORT))
    print("listening", flush=True)
    await asyncio.gather(*(server.serve_forever() for server in servers))


if __name__ == "__main__":
    asyncio.run(main(sys.argv[1:]))
