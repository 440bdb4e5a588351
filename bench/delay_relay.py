#!/usr/bin/env python3
"""A TCP relay on loopback that holds every chunk it passes on for DELAY_MS, in each direction:
the round trip of a distant link where the kernel has no netem. Order is kept and a chunk's delay
does not hold up the next one, as on a wire. Prints "ready PORT" once it listens (LISTEN_PORT 0: a free one); runs until killed.

usage: delay_relay.py LISTEN_PORT TARGET_PORT DELAY_MS"""
import asyncio
import sys


async def pump(reader, writer, delay):
    loop = asyncio.get_running_loop()
    queue = asyncio.Queue()

    async def take():
        while data := await reader.read(1 << 18):
            queue.put_nowait((loop.time() + delay, data))
        queue.put_nowait((None, b""))

    async def give():
        while True:
            due, data = await queue.get()
            if due is None:
                break
            if due > loop.time():
                await asyncio.sleep(due - loop.time())
            writer.write(data)
            await writer.drain()
        if writer.can_write_eof():
            writer.write_eof()

    try:
        await asyncio.gather(take(), give())
    except (ConnectionError, OSError):
        pass
    finally:
        writer.close()


async def main(listen_port, target_port, delay):
    async def connection(client_reader, client_writer):
        try:
            server_reader, server_writer = await asyncio.open_connection("127.0.0.1", target_port)
        except OSError:
            client_writer.close()
            return
        await asyncio.gather(pump(client_reader, server_writer, delay), pump(server_reader, client_writer, delay))

    relay = await asyncio.start_server(connection, "127.0.0.1", listen_port)
    print("ready", relay.sockets[0].getsockname()[1], flush=True)
    async with relay:
        await relay.serve_forever()


if __name__ == "__main__":
    asyncio.run(main(int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]) / 1000))
