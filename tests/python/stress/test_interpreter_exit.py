"""Programs that leave while engines still run, operations are still pending or engines are
collected under traffic: the interpreter must exit cleanly every time."""

import asyncio
import subprocess
import sys
import time

import pytest

pytestmark = pytest.mark.stress

RUNS = 20
AT_ONCE = 4
RUN_LIMIT = 20.0
CRASH_SIGNS = (
    "Fatal",
    "Segmentation",
    "Abort",
    "terminate called",
    "core dumped",
    "Sanitizer",
    "Traceback",
    "exception not rethrown",
)

# Shared by every program: an echo upstream, an engine in front of it and clients that keep
# relaying through it until the program leaves.
PRELUDE = r"""
import asyncio, gc, json, sys, threading, time
import _ostrel

async def echo(reader, writer):
    try:
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
    except (ConnectionError, OSError, asyncio.CancelledError):
        pass  # a handler cancelled at loop close would otherwise be reported by asyncio
    finally:
        writer.close()

async def engine_with_traffic(clients=10):
    server = await asyncio.start_server(echo, "127.0.0.1", 0)
    upstream = "127.0.0.1:%d" % server.sockets[0].getsockname()[1]
    doc = json.dumps({"schema_version": 1, "name": "exit", "phases": [{"name": "p", "proxies": []}],
                      "proxies": [{"name": "db", "protocol": "tcp", "listen": "127.0.0.1:0",
                                   "upstream": upstream}]})
    engine = _ostrel.Engine(doc)
    host, port = json.loads(await engine.start())["tcp"][0].rsplit(":", 1)

    async def client():
        try:
            reader, writer = await asyncio.open_connection(host, int(port))
            while True:
                writer.write(b"x" * 1000)
                await reader.readexactly(1000)
        except (ConnectionError, OSError, asyncio.IncompleteReadError):
            pass

    tasks = [asyncio.ensure_future(client()) for _ in range(clients)]
    await asyncio.sleep(0.05)
    return engine, server, tasks
"""

PROGRAMS = {
    # asyncio.run cancels the clients and closes the loop; the engine is never shut down.
    "running-engine": r"""
async def main():
    global kept
    kept = await engine_with_traffic()
    await asyncio.sleep(0.05)

asyncio.run(main())
""",
    # Leaves with operations of every kind in flight and their futures never awaited.
    "pending-futures": r"""
async def main():
    engine, server, tasks = await engine_with_traffic()
    pending = [engine.next_record() for _ in range(3)]
    pending += [engine.next_event(60), engine.next_event(0.001), engine.status(),
                engine.snapshot(), engine.start(), engine.active_faults(),
                engine.set_faults("db", "[]"), engine.next_progress()]
    await asyncio.sleep(0.01)
    sys.exit(0)

asyncio.run(main())
""",
    # The last reference goes while connections relay; a second engine is dropped unstarted
    # and a third mid-start.
    "collected-while-running": r"""
async def main():
    engine, server, tasks = await engine_with_traffic()
    del engine
    gc.collect()
    await asyncio.sleep(0.1)
    for task in tasks:
        task.cancel()
    other, _, more = await engine_with_traffic(2)
    other.status()
    del other
    gc.collect()
    await asyncio.sleep(0.02)

asyncio.run(main())
""",
    # Results keep arriving while the interpreter finalises: the loop is left open, and a second
    # loop in a daemon thread keeps asking until the very end.
    "exit-while-delivering": r"""
def background(engine):
    async def ask():
        while True:
            engine.status()
            engine.next_event(0.001)
            await asyncio.sleep(0)
    asyncio.new_event_loop().run_until_complete(ask())

async def main():
    engine, server, tasks = await engine_with_traffic()
    threading.Thread(target=background, args=(engine,), daemon=True).start()
    end = time.monotonic() + 0.1
    while time.monotonic() < end:
        for _ in range(50):
            engine.next_event(0.001)
            engine.status()
        await asyncio.sleep(0)

loop = asyncio.new_event_loop()
loop.run_until_complete(main())
sys.exit(0)
""",
}


async def run_program(source):
    child = await asyncio.create_subprocess_exec(
        sys.executable,
        "-c",
        PRELUDE + source,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
    )
    try:
        out, err = await asyncio.wait_for(child.communicate(), RUN_LIMIT)
    except asyncio.TimeoutError:
        child.kill()
        await child.wait()
        return "hang", ""
    return child.returncode, err.decode(errors="replace")


@pytest.mark.parametrize("program", sorted(PROGRAMS))
async def test_interpreter_exits_cleanly(program, figures):
    gate = asyncio.Semaphore(AT_ONCE)

    async def one():
        async with gate:
            return await run_program(PROGRAMS[program])

    began = time.monotonic()
    results = await asyncio.gather(*(one() for _ in range(RUNS)))
    figures.update(runs=RUNS, seconds=time.monotonic() - began)
    bad = [
        (code, err[-2000:])
        for code, err in results
        if code != 0 or any(sign in err for sign in CRASH_SIGNS)
    ]
    figures["bad_exits"] = len(bad)
    assert bad == [], f"{len(bad)} of {RUNS} runs ended badly; first: {bad[0]}"
