"""A proxy that runs out of file descriptors keeps serving once clients give them back."""

import asyncio
import json
import subprocess
import sys
import time

import pytest

from netutil import WAIT, EchoServer, document, endpoint, tcp_proxy

pytestmark = pytest.mark.stress

# Connections the engine process has descriptors for (two each: client and upstream).
ROOM = 8
HELD = 40
AFTERWARDS = 20

ENGINE_PROGRAM = r"""
import asyncio, json, os, resource, sys
import _ostrel

async def main():
    engine = _ostrel.Engine(sys.argv[1])
    endpoints = await engine.start()
    # Lowered once the runtime and the proxy hold their own descriptors.
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    limit = len(os.listdir("/proc/self/fd")) + 2 * int(sys.argv[2])
    resource.setrlimit(resource.RLIMIT_NOFILE, (limit, hard))
    print(endpoints, flush=True)
    await asyncio.get_running_loop().run_in_executor(None, sys.stdin.readline)
    status = json.loads(await engine.status())
    try:
        summary = json.loads(await engine.shutdown())
        print(json.dumps({"summary": summary}), flush=True)
    except RuntimeError as error:
        print(json.dumps({"error": str(error), "status": status}), flush=True)

asyncio.run(main())
"""


async def echo_once(address, payload, timeout):
    reader, writer = await asyncio.wait_for(asyncio.open_connection(*address), timeout)
    try:
        writer.write(payload)
        return await asyncio.wait_for(reader.readexactly(len(payload)), timeout)
    finally:
        writer.close()


async def test_proxy_serves_again_after_running_out_of_descriptors(figures):
    async with EchoServer() as upstream:
        child = await asyncio.create_subprocess_exec(
            sys.executable,
            "-c",
            ENGINE_PROGRAM,
            document([tcp_proxy(upstream.address)]),
            str(ROOM),
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
        )
        try:
            line = await asyncio.wait_for(child.stdout.readline(), WAIT)
            address = endpoint(line.decode())

            # Far more clients than the engine has descriptors for, all held open at once.
            held = []
            for i in range(HELD):
                try:
                    held.append(
                        await asyncio.wait_for(asyncio.open_connection(*address), WAIT)
                    )
                except OSError:
                    break
            echoed = 0

            async def probe(reader, writer):
                writer.write(b"held")
                try:
                    return await asyncio.wait_for(reader.readexactly(4), 1.0) == b"held"
                except (asyncio.TimeoutError, asyncio.IncompleteReadError, ConnectionError):
                    return False

            echoed = sum(await asyncio.gather(*(probe(r, w) for r, w in held)))
            for _, writer in held:
                writer.close()

            # Once the descriptors are back, every new client is served.
            began = time.monotonic()
            served_after = 0
            failures = []
            for i in range(AFTERWARDS):
                payload = b"after %d" % i
                try:
                    if await echo_once(address, payload, WAIT) == payload:
                        served_after += 1
                except (OSError, asyncio.TimeoutError, asyncio.IncompleteReadError) as error:
                    failures.append(repr(error))
            recovery_s = time.monotonic() - began

            child.stdin.close()
            out = await asyncio.wait_for(child.stdout.read(), WAIT)
            err = await asyncio.wait_for(child.stderr.read(), WAIT)
            returncode = await asyncio.wait_for(child.wait(), WAIT)
        finally:
            if child.returncode is None:
                child.kill()
                await child.wait()

    result = json.loads(out.decode().strip().splitlines()[-1]) if out.strip() else {}
    figures.update(
        room=ROOM,
        held=len(held),
        echoed_while_held=echoed,
        served_after=served_after,
        recovery_s=recovery_s,
    )
    assert returncode == 0, err.decode()
    assert 0 < echoed < len(held)  # the limit was really reached, and really served some
    assert failures == [], failures[:3]
    assert served_after == AFTERWARDS
    assert "error" not in result, result.get("error")
    assert result["summary"]["status"]["tcp"]["completed"] >= echoed + AFTERWARDS
