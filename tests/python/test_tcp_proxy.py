"""The engine's lifecycle and its TCP proxy, driven from asyncio as users drive it."""

import asyncio
import json
import socket
import time

import pytest

import _ostrel
from netutil import (
    WAIT,
    EchoServer,
    document,
    endpoint,
    exchange,
    free_port,
    one_phase,
    open_client,
    records,
    tcp_proxy,
)


async def started(doc, **kwargs):
    engine = _ostrel.Engine(doc, **kwargs)
    endpoints = await asyncio.wait_for(engine.start(), WAIT)
    return engine, endpoints


async def test_relays_records_and_summarises_a_connection():
    async with EchoServer() as upstream:
        engine, endpoints = await started(document([tcp_proxy(upstream.address)]))
        assert engine.alive()
        assert engine.endpoints() == endpoints
        tcp = json.loads(endpoints)
        assert tcp["udp"] == [] and tcp["tcp"][0].startswith("127.0.0.1:")
        assert not tcp["tcp"][0].endswith(":0")

        reply = await exchange(endpoint(endpoints), b"hello through the proxy")
        assert reply == b"hello through the proxy"

        [record] = await records(engine, 1)
        assert record["type"] == "tcp-stream"
        stream = record["stream"]
        assert stream["proxy"] == "db" and stream["upstream"] == upstream.address
        assert stream["outcome"] == "completed" and stream["failure"] is None
        assert stream["bytes_to_upstream"] == 23 and stream["bytes_to_client"] == 23
        assert stream["peer"].startswith("127.0.0.1:") and stream["closed_at"].endswith("Z")

        status = json.loads(await engine.status())
        assert status["tcp"]["opened"] == 1 and status["tcp"]["completed"] == 1
        assert status["tcp"]["active"] == 0 and status["tcp"]["average_bytes_to_client"] == 23

        snapshot = json.loads(await engine.snapshot())
        assert snapshot["tcp_streams"] == [] and snapshot["status"]["tcp"]["completed"] == 1

        summary = await asyncio.wait_for(engine.shutdown(), WAIT)
        assert json.loads(summary)["status"]["tcp"]["completed"] == 1
        assert engine.summary() == summary
        assert not engine.alive()
        assert await engine.next_record() is None


async def test_first_phase_faults_apply_from_the_start():
    latency = {
        "type": "latency",
        "flow": "to-client",
        "distribution": {"type": "uniform", "min_ms": 300, "max_ms": 300},
    }
    async with EchoServer() as upstream:
        doc = document([tcp_proxy(upstream.address)], one_phase("db", latency))
        engine, endpoints = await started(doc)
        try:
            began = time.monotonic()
            assert await exchange(endpoint(endpoints), b"x") == b"x"
            assert time.monotonic() - began >= 0.29
            [record] = await records(engine, 1)
            latency_record = record["stream"]["faults"]["latency"]
            assert latency_record == {"applications": 1, "total_delay_ms": 300.0}
        finally:
            await engine.shutdown()


async def test_half_close_carries_the_reply_back():
    async with EchoServer() as upstream:
        engine, endpoints = await started(document([tcp_proxy(upstream.address)]))
        try:
            reader, writer = await open_client(endpoint(endpoints))
            writer.write_eof()  # nothing sent, sending side closed at once
            assert await asyncio.wait_for(reader.read(), WAIT) == b""
            writer.close()
            [record] = await records(engine, 1)
            assert record["stream"]["outcome"] == "completed"
            assert record["stream"]["bytes_to_upstream"] == 0
        finally:
            await engine.shutdown()


async def test_refused_upstream_is_recorded_as_connect_failure():
    upstream = f"127.0.0.1:{free_port()}"
    engine, endpoints = await started(document([tcp_proxy(upstream)]))
    try:
        reader, writer = await open_client(endpoint(endpoints))
        assert await asyncio.wait_for(reader.read(), WAIT) == b""
        writer.close()
        [record] = await records(engine, 1)
        stream = record["stream"]
        assert stream["outcome"] == "upstream-connect-failed"
        assert stream["failure"]["stage"] == "connect"
        assert stream["failure"]["category"] == "connection-refused"
        assert stream["failure"]["message"].startswith(f"connect {upstream}: ")
        status = json.loads(await engine.status())
        assert status["tcp"]["failed"] == 1 and status["last_failure"] == stream["failure"]
    finally:
        await engine.shutdown()


async def test_shutdown_cancels_open_connections_and_keeps_their_records():
    async with EchoServer() as upstream:
        engine, endpoints = await started(document([tcp_proxy(upstream.address)]))
        reader, writer = await open_client(endpoint(endpoints))
        writer.write(b"ping")
        assert await asyncio.wait_for(reader.readexactly(4), WAIT) == b"ping"
        snapshot = json.loads(await engine.snapshot())
        [open_stream] = snapshot["tcp_streams"]
        assert open_stream["outcome"] == "active" and open_stream["closed_at"] is None

        began = time.monotonic()
        summary = json.loads(await asyncio.wait_for(engine.shutdown(), WAIT))
        assert time.monotonic() - began < 2
        assert summary["status"]["tcp"]["completed"] == 1
        [record] = await records(engine, 1)
        assert record["stream"]["outcome"] == "cancelled"
        assert await engine.next_record() is None
        assert await asyncio.wait_for(reader.read(), WAIT) == b""
        writer.close()


async def test_connection_reset_fault_resets_the_client():
    reset = {"type": "connection-reset", "flow": "to-upstream", "probability": 1}
    async with EchoServer() as upstream:
        doc = document([tcp_proxy(upstream.address)], one_phase("db", reset))
        engine, endpoints = await started(doc)
        try:
            # The reset fires at the proxy's first read, which may come before the client has
            # finished sending; whichever call of the client meets it sees a reset, never EOF.
            def talk():
                with socket.create_connection(endpoint(endpoints), timeout=WAIT) as client:
                    client.sendall(b"doomed")
                    return client.recv(100)

            with pytest.raises((ConnectionResetError, BrokenPipeError)):
                await asyncio.to_thread(talk)
            [record] = await records(engine, 1)
            assert record["stream"]["outcome"] == "fault-reset"
            assert record["stream"]["failure"] is None
            assert record["stream"]["faults"]["connection_resets"] == 1
        finally:
            await engine.shutdown()


@pytest.mark.parametrize(
    "call, message",
    [
        ("shutdown", "the engine has not been started"),
        ("status", "the engine has not been started"),
        ("snapshot", "the engine has not been started"),
        ("next_record", "start the engine before reading transport records"),
        ("next_event", "start the engine before reading transport records"),
    ],
)
async def test_operations_before_start(call, message):
    engine = _ostrel.Engine(document([tcp_proxy("127.0.0.1:1")]))
    with pytest.raises(RuntimeError) as raised:
        await getattr(engine, call)()
    assert str(raised.value) == message and type(raised.value) is RuntimeError


async def test_lifecycle_errors_after_start_and_stop():
    async with EchoServer() as upstream:
        engine, _ = await started(document([tcp_proxy(upstream.address)]))
        with pytest.raises(RuntimeError, match="^the engine is already running$"):
            await engine.start()
        await engine.shutdown()
        for call, message in [
            ("start", "the engine has been stopped"),
            ("status", "the engine has been stopped"),
            ("snapshot", "the engine has been stopped"),
            ("shutdown", "the engine is already stopped"),
        ]:
            with pytest.raises(RuntimeError) as raised:
                await getattr(engine, call)()
            assert str(raised.value) == message
        with pytest.raises(RuntimeError, match="^the engine has been stopped$"):
            engine.endpoints()


async def test_concurrent_starts_refuse_the_second():
    async with EchoServer() as upstream:
        engine = _ostrel.Engine(document([tcp_proxy(upstream.address)]))
        first = engine.start()
        second = engine.start()
        results = await asyncio.gather(first, second, return_exceptions=True)
        errors = [r for r in results if isinstance(r, BaseException)]
        assert len(errors) == 1 and str(errors[0]) in {
            "the engine is already starting",
            "the engine is already running",
        }
        await engine.shutdown()


async def test_failed_bind_stops_everything_and_frees_the_ports():
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        busy = taken.getsockname()[1]
        first_port = free_port()
        doc = document(
            [
                tcp_proxy("127.0.0.1:1", name="a", listen=f"127.0.0.1:{first_port}"),
                tcp_proxy("127.0.0.1:1", name="b", listen=f"127.0.0.1:{busy}"),
            ]
        )
        engine = _ostrel.Engine(doc)
        with pytest.raises(RuntimeError) as raised:
            await engine.start()
        assert str(raised.value).startswith("I/O error: Address already in use")
        assert not engine.alive()
        with pytest.raises(RuntimeError, match="^the engine has been stopped$"):
            await engine.status()
        # The proxy bound before the failure has released its port.
        with socket.socket() as again:
            again.bind(("127.0.0.1", first_port))


@pytest.mark.parametrize(
    "proxy, message",
    [
        (
            tcp_proxy("127.0.0.1:1", listen="localhost:0"),
            "invalid listen address 'localhost:0': invalid socket address syntax",
        ),
        (
            tcp_proxy("127.0.0.1", listen="127.0.0.1:0"),
            "could not resolve upstream '127.0.0.1': invalid socket address. "
            "Use a host and port, such as database:5432",
        ),
        (
            {"name": "dns", "protocol": "udp", "listen": "127.0.0.1:0", "upstream": "127.0.0.1:53"},
            "invalid fault configuration: fault Bandwidth { bytes_per_second: 1000, flow: Both } "
            "is not supported by udp proxies",
        ),
    ],
)
async def test_start_refusals(proxy, message):
    faults = []
    if proxy["protocol"] == "udp":
        faults = [{"type": "bandwidth", "flow": "both", "bytes_per_second": 1000}]
    engine = _ostrel.Engine(document([proxy], one_phase(proxy["name"], *faults)))
    with pytest.raises(RuntimeError) as raised:
        await engine.start()
    assert str(raised.value) == message
    assert not engine.alive()


def test_awaitable_methods_need_a_running_loop():
    engine = _ostrel.Engine(document([tcp_proxy("127.0.0.1:1")]))
    with pytest.raises(RuntimeError, match="no running event loop"):
        engine.start()
    assert not engine.alive()


async def test_next_event_arguments():
    engine = _ostrel.Engine(document([tcp_proxy("127.0.0.1:1")]))
    with pytest.raises(TypeError):
        engine.next_event("1")
    with pytest.raises(TypeError):
        engine.next_event(status_interval=1, other=2)
    for bad in (0, -1, float("nan"), float("inf"), 1e-12):
        future = engine.next_event(bad)
        with pytest.raises(ValueError) as raised:
            await future
        assert str(raised.value) == (
            "status_interval must be a finite number of seconds greater than zero"
        )


async def test_next_event_reports_status_when_idle_and_records_when_they_come():
    async with EchoServer() as upstream:
        engine, endpoints = await started(document([tcp_proxy(upstream.address)]))
        try:
            event = json.loads(await asyncio.wait_for(engine.next_event(0.05), WAIT))
            assert event["type"] == "status" and event["status"]["tcp"]["opened"] == 0

            await exchange(endpoint(endpoints), b"abc")
            deadline = time.monotonic() + WAIT
            while time.monotonic() < deadline:
                event = json.loads(await engine.next_event(0.05))
                if event["type"] != "status":
                    break
            assert event["type"] == "tcp-stream" and event["stream"]["outcome"] == "completed"
        finally:
            await engine.shutdown()
        assert await engine.next_event(0.05) is None


async def test_cancelled_next_event_loses_no_record():
    async with EchoServer() as upstream:
        engine, endpoints = await started(document([tcp_proxy(upstream.address)]))
        try:
            waiting = asyncio.ensure_future(engine.next_event(60))
            await asyncio.sleep(0.1)
            waiting.cancel()
            with pytest.raises(asyncio.CancelledError):
                await waiting
            await exchange(endpoint(endpoints), b"kept")
            record = json.loads(await asyncio.wait_for(engine.next_record(), WAIT))
            assert record["stream"]["bytes_to_upstream"] == 4
        finally:
            await engine.shutdown()


async def test_many_clients_at_once():
    async with EchoServer() as upstream:
        engine, endpoints = await started(document([tcp_proxy(upstream.address)]))
        try:
            payloads = [bytes([i]) * (1000 + i) for i in range(50)]
            replies = await asyncio.gather(*(exchange(endpoint(endpoints), p) for p in payloads))
            assert replies == payloads
            got = await records(engine, 50)
            assert sorted(r["stream"]["bytes_to_client"] for r in got) == [len(p) for p in payloads]
        finally:
            summary = json.loads(await engine.shutdown())
        assert summary["status"]["tcp"]["completed"] == 50
