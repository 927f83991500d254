#!/usr/bin/env python3
"""A TCP relay that delays traffic like a long link: every piece of data reaches the other side
DELAY_MS after it was received, in order, and a new connection costs one round trip (2 x DELAY_MS)
before its first byte passes, as a TCP handshake over such a link would.

    delay_relay.py LISTEN_PORT TARGET_PORT DELAY_MS

Listens on 127.0.0.1:LISTEN_PORT, connects each client to 127.0.0.1:TARGET_PORT. Prints the
number of connections accepted to stderr when it receives SIGTERM. For the benchmark's network
namespace, where the kernel has no netem queueing discipline to do this.
"""
import asyncio
import signal
import sys

connections = 0


async def pump(reader, writer, delay):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def deliver():
        while True:
            due, data = await queue.get()
            wait = due - loop.time()
            if wait > 0:
                await asyncio.sleep(wait)
            if data is None:
                try:
                    writer.write_eof()
                except OSError:
                    pass
                return
            writer.write(data)
            await writer.drain()

    sender = asyncio.ensure_future(deliver())
    try:
        while True:
            data = await reader.read(65536)
            queue.put_nowait((loop.time() + delay, data if data else None))
            if not data:
                break
        await sender
    except (ConnectionError, OSError):
        sender.cancel()


async def handle(client_reader, client_writer, target, delay):
    global connections
    connections += 1
    await asyncio.sleep(2 * delay)  # the handshake's round trip
    try:
        server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target)
    except OSError:
        client_writer.close()
        return
    await asyncio.gather(pump(client_reader, server_writer, delay),
                         pump(server_reader, client_writer, delay))
    for w in (client_writer, server_writer):
        try:
            w.close()
        except OSError:
            pass


async def main():
    listen, target, delay_ms = int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3])
    delay = delay_ms / 1000.0
    server = await asyncio.start_server(lambda r, w: handle(r, w, target, delay), "127.0.0.1",
                                        listen)
    stop = asyncio.Event()
    asyncio.get_running_loop().add_signal_handler(signal.SIGTERM, stop.set)
    print("ready", flush=True)
    async with server:
        await stop.wait()
    print(f"connections {connections}", file=sys.stderr, flush=True)


asyncio.run(main())
