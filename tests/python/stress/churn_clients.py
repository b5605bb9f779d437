"""The client side of the churn test, in a process of its own so that the test's event loop
stays free to change faults.

    python churn_clients.py STEADY_PORT LOSSY_PORT STEADY_CLIENTS LOSSY_CLIENTS

Steady clients send pattern bytes in rounds, check every echoed byte, half-close and wait for
the end of stream, then start over on a new connection. Lossy clients send, read what comes
within a short while and abort. Prints "ready" once every client has connected at least once.
The line "stop" on stdin means the engine is about to shut down: from then on no client sends
or half-closes any more; each waits for its connection to end. Then one JSON line describes
every connection made, and the process exits.
"""

import asyncio
import json
import random
import socket
import sys
import time

WAIT = 10.0
PERIOD = 65521
_ONE = bytes((i * 7 + (i >> 8)) & 0xFF for i in range(PERIOD))
PATTERN = memoryview(_ONE * 2)


class State:
    def __init__(self):
        self.stopping = False
        self.conns = []
        self.errors = []
        self.first = {}


def peer_of(writer):
    host, port = writer.get_extra_info("sockname")[:2]
    return f"{host}:{port}"


def new_conn(state, proxy, peer):
    conn = {
        "proxy": proxy,
        "peer": peer,
        "sent": 0,
        "received": 0,
        "confirmed": False,
        "half_closed": False,
        "finished": False,
        "ended_at": None,
        # Connected after the stop: it never half-closes either.
        "open_at_stop": state.stopping,
    }
    state.conns.append(conn)
    return conn


async def wait_for_end(reader, conn):
    """After the stop: only the engine's shutdown ends the connection."""
    while data := await asyncio.wait_for(reader.read(65536), WAIT):
        conn["received"] += len(data)


async def steady(seed, address, state, ready):
    rng = random.Random(seed)
    while not state.stopping:
        try:
            reader, writer = await asyncio.wait_for(asyncio.open_connection(*address), WAIT)
        except OSError:
            if state.stopping:
                return
            raise
        conn = new_conn(state, "steady", peer_of(writer))
        ready.set()
        try:
            for _ in range(rng.randint(1, 6)):
                if state.stopping:
                    break
                size = rng.randint(1, 6000)
                offset = conn["sent"] % PERIOD
                writer.write(PATTERN[offset : offset + size])
                conn["sent"] += size
                got = await asyncio.wait_for(reader.readexactly(size), WAIT)
                # Bytes lost, duplicated or reordered anywhere show up as a mismatch here.
                if got != PATTERN[offset : offset + size]:
                    raise AssertionError(f"corrupt echo on {conn['peer']} at {conn['received']}")
                conn["received"] += size
                conn["confirmed"] = True
            if state.stopping:
                await wait_for_end(reader, conn)
                continue
            writer.write_eof()
            conn["half_closed"] = True
            rest = await asyncio.wait_for(reader.read(), WAIT)
            if rest != b"":
                raise AssertionError(f"bytes after the echo on {conn['peer']}")
            conn["finished"] = conn["confirmed"] = True
        except (ConnectionError, asyncio.IncompleteReadError):
            if not state.stopping:
                raise
        finally:
            conn["ended_at"] = time.monotonic()
            writer.close()


async def lossy(seed, address, state, ready):
    rng = random.Random(seed)
    loop = asyncio.get_running_loop()
    while not state.stopping:
        # Bound first, so that the connection is known even if a reset fault reaches it
        # before the connect call has returned.
        sock = socket.socket()
        sock.setblocking(False)
        sock.bind(("127.0.0.1", 0))
        conn = new_conn(state, "lossy", "127.0.0.1:%d" % sock.getsockname()[1])
        try:
            await asyncio.wait_for(loop.sock_connect(sock, address), WAIT)
            reader, writer = await asyncio.open_connection(sock=sock)
        except (OSError, asyncio.TimeoutError):
            conn["ended_at"] = time.monotonic()
            sock.close()
            continue
        ready.set()
        try:
            for _ in range(rng.randint(1, 4)):
                if state.stopping:
                    await wait_for_end(reader, conn)
                    break
                size = rng.randint(1, 3000)
                writer.write(b"l" * size)
                conn["sent"] += size
                got = await asyncio.wait_for(reader.read(size), 0.3)
                conn["received"] += len(got)
                if not got:
                    break
                conn["confirmed"] = True
        except (ConnectionError, asyncio.TimeoutError):
            pass
        finally:
            conn["ended_at"] = time.monotonic()
            writer.transport.abort()


async def guarded(state, coroutine):
    try:
        await coroutine
    except Exception as error:  # reported to the test, which fails on it
        state.errors.append(repr(error))


async def main():
    steady_port, lossy_port, n_steady, n_lossy = (int(a) for a in sys.argv[1:5])
    state = State()
    readies = []
    tasks = []
    for i in range(n_steady + n_lossy):
        ready = asyncio.Event()
        readies.append(ready)
        if i < n_steady:
            body = steady(i, ("127.0.0.1", steady_port), state, ready)
        else:
            body = lossy(i, ("127.0.0.1", lossy_port), state, ready)
        tasks.append(asyncio.ensure_future(guarded(state, body)))
    await asyncio.wait_for(asyncio.gather(*(r.wait() for r in readies)), WAIT)
    print("ready", flush=True)
    loop = asyncio.get_running_loop()
    line = await loop.run_in_executor(None, sys.stdin.readline)
    state.stopping = True
    stopped_at = time.monotonic()
    # Connections that had not half-closed by now never will.
    for conn in state.conns:
        conn["open_at_stop"] = conn["ended_at"] is None and not conn["half_closed"]
    print("stopping", flush=True)
    done, pending = await asyncio.wait(tasks, timeout=WAIT)
    for task in pending:
        task.cancel()
    print(
        json.dumps(
            {
                "command": line.strip(),
                "stopped_at": stopped_at,
                "hung": len(pending),
                "errors": state.errors,
                "conns": state.conns,
            }
        ),
        flush=True,
    )


if __name__ == "__main__":
    asyncio.run(main())
