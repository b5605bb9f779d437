"""A pytest test that puts ostrel between a client and the service it talks to.

    pytest examples/test_slow_echo.py

The service here is a small echo server started by the test itself; in a real suite it is the
database, cache or API that the system under test uses, and the client is that system.
"""

import asyncio

import pytest

import ostrel

WAIT = 10.0  # seconds any single step may take


async def echo(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
    while data := await reader.read(65536):
        writer.write(data)
        await writer.drain()
    writer.close()


def slow_document(upstream: str) -> ostrel.JsonObject:
    latency = {
        "type": "latency",
        "flow": "to-client",
        "distribution": {"type": "uniform", "min_ms": 150, "max_ms": 150},
    }
    return {
        "schema_version": 1,
        "name": "slow-echo",
        "proxies": [
            {"name": "echo", "protocol": "tcp", "listen": "127.0.0.1:0", "upstream": upstream}
        ],
        "phases": [{"name": "slow", "proxies": [{"proxy": "echo", "faults": [latency]}]}],
    }


@pytest.mark.asyncio
async def test_every_answer_is_late_and_the_engine_says_why() -> None:
    server = await asyncio.start_server(echo, "127.0.0.1", 0)
    port = server.sockets[0].getsockname()[1]
    try:
        async with ostrel.Engine(slow_document(f"127.0.0.1:{port}")) as engine:
            host, proxy_port = engine.endpoints()["tcp"][0].rsplit(":", 1)
            reader, writer = await asyncio.wait_for(
                asyncio.open_connection(host, int(proxy_port)), WAIT
            )
            loop = asyncio.get_running_loop()
            began = loop.time()
            writer.write(b"ping")
            assert await asyncio.wait_for(reader.readexactly(4), WAIT) == b"ping"
            assert loop.time() - began >= 0.14
            writer.close()

            status = await engine.status()
            assert status["effects"]["latency_applications"] >= 1
        # After the block the engine is shut down; its records can still be read.
        records = [record async for record in engine.records()]
        assert records[0]["stream"]["faults"]["latency"]["applications"] >= 1
    finally:
        server.close()
