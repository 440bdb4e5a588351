#!/usr/bin/env python3
"""A TCP relay on loopback that holds every chunk it passes on for DELAY_MS, in each direction:
the round trip of a distant link where the kernel has no netem. Order is kept and a chunk's delay
does not hold up the next one, as on a wire. Prints "ready PORT" once it listens (LISTEN_PORT 0: a free one); runs until killed.

The relay must cost the measured program nothing it would not pay on a wire: each direction has a
thread that only receives and one that only sends (the blocking calls let go of the interpreter),
large buffers, and with no delay the bytes go through a pipe by splice(2), never into Python.

usage: delay_relay.py LISTEN_PORT TARGET_PORT DELAY_MS"""
import collections
import os
import socket
import sys
import threading
import time

CHUNK = 1 << 20
# Bytes one direction may hold for its delay before it stops receiving: far more than a 1 Gbit/s
# link carries in the delays the bench uses, so that only a runaway sender meets the limit.
HELD_LIMIT = 64 << 20


def splice_pump(source, sink):
    """Moves bytes from source to sink through a pipe, never copying them into the process."""
    read_end, write_end = os.pipe()
    try:
        while True:
            n = os.splice(source.fileno(), write_end, CHUNK)
            if n == 0:
                break
            while n > 0:
                n -= os.splice(read_end, sink.fileno(), n)
    except OSError:
        pass
    finally:
        os.close(read_end)
        os.close(write_end)
        finish(sink)


def delay_pump(source, sink, delay):
    held = collections.deque()  # (due, bytes); None marks the end
    state = {"bytes": 0}
    cond = threading.Condition()

    def give():
        try:
            while True:
                with cond:
                    while not held:
                        cond.wait()
                    item = held.popleft()
                    if item is not None:
                        state["bytes"] -= len(item[1])
                    cond.notify_all()
                if item is None:
                    break
                wait = item[0] - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                sink.sendall(item[1])
        except OSError:
            pass
        finally:
            finish(sink)

    giver = threading.Thread(target=give, daemon=True)
    giver.start()
    buffer = bytearray(CHUNK)
    view = memoryview(buffer)
    try:
        while True:
            n = source.recv_into(view)
            if n == 0:
                break
            with cond:
                while state["bytes"] >= HELD_LIMIT:
                    cond.wait()
                held.append((time.monotonic() + delay, bytes(view[:n])))
                state["bytes"] += n
                cond.notify_all()
    except OSError:
        pass
    finally:
        with cond:
            held.append(None)
            cond.notify_all()
    giver.join()


def finish(sink):
    try:
        sink.shutdown(socket.SHUT_WR)
    except OSError:
        pass


def serve(client, target_port, delay):
    try:
        server = socket.create_connection(("127.0.0.1", target_port))
    except OSError:
        client.close()
        return
    for s in (client, server):
        s.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    pump = (lambda a, b: splice_pump(a, b)) if delay == 0 else (lambda a, b: delay_pump(a, b, delay))
    ways = [threading.Thread(target=pump, args=pair, daemon=True) for pair in ((client, server), (server, client))]
    for w in ways:
        w.start()
    for w in ways:
        w.join()
    client.close()
    server.close()


def main(listen_port, target_port, delay):
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", listen_port))
    listener.listen(16)
    print("ready", listener.getsockname()[1], flush=True)
    while True:
        client, _ = listener.accept()
        threading.Thread(target=serve, args=(client, target_port, delay), daemon=True).start()


if __name__ == "__main__":
    main(int(sys.argv[1]), int(sys.argv[2]), float(sys.argv[3]) / 1000)
