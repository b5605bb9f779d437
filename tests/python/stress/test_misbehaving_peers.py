"""Clients and upstreams that reset, stop reading or half-close, many at once."""

import asyncio
import collections
import json
import socket
import struct
import threading
import time

import pytest

from netutil import WAIT, document, tcp_proxy
from stressutil import pattern_buffer, rss_bytes, started, tcp_address

pytestmark = pytest.mark.stress

LINGER_ZERO = struct.pack("ii", 1, 0)  # close() then sends a reset instead of a FIN


class Sink:
    """An upstream that reads everything and never answers; notes when each connection ends."""

    def __init__(self):
        self.received = 0
        self.ended = 0
        self.server = None
        self.address = None

    async def __aenter__(self):
        self.server = await asyncio.start_server(self._serve, "127.0.0.1", 0)
        self.address = "127.0.0.1:%d" % self.server.sockets[0].getsockname()[1]
        return self

    async def __aexit__(self, *exc):
        self.server.close()

    async def _serve(self, reader, writer):
        try:
            while data := await reader.read(65536):
                self.received += len(data)
        except ConnectionError:
            pass
        finally:
            self.ended += 1
            writer.close()


async def wait_until(predicate, timeout=WAIT):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "condition not reached in time"
        await asyncio.sleep(0.02)


async def test_clients_that_reset_mid_transfer(figures):
    count = 50
    async with Sink() as upstream:
        engine, endpoints = await started(document([tcp_proxy(upstream.address)]))
        address = tcp_address(endpoints)
        try:

            def reset_client(i):
                with socket.create_connection(address, timeout=WAIT) as client:
                    client.sendall(b"r" * (50_000 + i))
                    client.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, LINGER_ZERO)
                return 50_000 + i

            sent = await asyncio.gather(
                *(asyncio.to_thread(reset_client, i) for i in range(count))
            )
            got = [json.loads(await asyncio.wait_for(engine.next_record(), WAIT)) for _ in sent]
            # The proxy ended every upstream connection when its client went away.
            await wait_until(lambda: upstream.ended == count)
            status = json.loads(await engine.status())
        finally:
            await engine.shutdown()

    streams = [r["stream"] for r in got]
    figures.update(clients=count, upstream_bytes=upstream.received)
    assert status["tcp"]["active"] == 0 and status["tcp"]["failed"] == count
    assert collections.Counter(s["outcome"] for s in streams) == {"transfer-failed": count}
    for s in streams:
        assert s["failure"]["stage"] == "transfer"
        assert s["failure"]["category"] == "connection-reset"
        assert s["failure"]["message"].startswith(f"transfer {upstream.address}: ")
    assert upstream.received <= sum(s["bytes_to_upstream"] for s in streams) <= sum(sent)


async def test_upstream_that_resets_mid_transfer(figures):
    count = 20
    cut_after = 64 * 1024

    async def serve(reader, writer):
        try:
            await reader.readexactly(cut_after)
            writer.write(b"partial answer")
            await writer.drain()
        except (ConnectionError, asyncio.IncompleteReadError):
            pass
        sock = writer.get_extra_info("socket")
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, LINGER_ZERO)
        writer.transport.abort()

    server = await asyncio.start_server(serve, "127.0.0.1", 0)
    upstream = "127.0.0.1:%d" % server.sockets[0].getsockname()[1]
    engine, endpoints = await started(document([tcp_proxy(upstream)]))
    address = tcp_address(endpoints)

    def pushing_client():
        """Sends until the connection ends; returns how it ended for the client."""
        with socket.create_connection(address, timeout=WAIT) as client:
            ended = None
            try:
                for _ in range(400):  # far more than the upstream takes before it resets
                    client.sendall(b"u" * 65536)
            except (ConnectionResetError, BrokenPipeError) as error:
                ended = type(error).__name__
            received = b""
            try:
                while chunk := client.recv(65536):
                    received += chunk
                ended = ended or "eof"
            except ConnectionResetError:
                ended = ended or "reset"
            return ended, received

    try:
        began = time.monotonic()
        ends = await asyncio.wait_for(
            asyncio.gather(*(asyncio.to_thread(pushing_client) for _ in range(count))), 30
        )
        ended_s = time.monotonic() - began
        got = [json.loads(await asyncio.wait_for(engine.next_record(), WAIT)) for _ in ends]
    finally:
        await engine.shutdown()
        server.close()

    streams = [r["stream"] for r in got]
    figures.update(clients=count, all_ended_s=ended_s)
    assert collections.Counter(s["outcome"] for s in streams) == {"transfer-failed": count}
    for s in streams:
        assert s["failure"]["stage"] == "transfer"
        assert s["failure"]["category"] in {"connection-reset", "broken-pipe"}
        assert s["failure"]["message"].startswith(f"transfer {upstream}: ")
        assert s["bytes_to_upstream"] >= cut_after
    # Whatever reached the client before the end is the upstream's own bytes.
    for _, received in ends:
        assert b"partial answer".startswith(received)


async def test_client_that_never_reads_is_held_back(figures):
    total = 200 * 1024 * 1024
    pattern, period = pattern_buffer(span=1 << 20)
    listener = socket.create_server(("127.0.0.1", 0))
    listener.settimeout(WAIT)
    pushed = [0]
    push_error = []

    def push():
        try:
            conn, _ = listener.accept()
            with conn:
                offset = 0
                while offset < total:
                    n = min(1 << 20, total - offset)
                    start = offset % period
                    conn.sendall(pattern[start : start + n])
                    offset += n
                    pushed[0] = offset
        except OSError as error:
            push_error.append(error)

    pusher = threading.Thread(target=push, daemon=True)
    pusher.start()
    upstream = "127.0.0.1:%d" % listener.getsockname()[1]
    engine, endpoints = await started(document([tcp_proxy(upstream)]))
    client = socket.create_connection(tcp_address(endpoints), timeout=60)
    try:
        rss_before = rss_bytes()
        rss_peak = rss_before
        samples = []
        for _ in range(30):  # three seconds of not reading
            await asyncio.sleep(0.1)
            rss_peak = max(rss_peak, rss_bytes())
            samples.append(pushed[0])
        stalled_at = pushed[0]
        progress_last_second = samples[-1] - samples[-11]

        def read_all():
            buffer = bytearray(1 << 20)
            view = memoryview(buffer)
            offset = 0
            while n := client.recv_into(buffer):
                start = offset % period
                if view[:n] != pattern[start : start + n]:
                    raise AssertionError(f"stream corrupt near byte {offset}")
                offset += n
            return offset

        began = time.monotonic()
        received = await asyncio.wait_for(asyncio.to_thread(read_all), 120)
        read_s = time.monotonic() - began
        client.shutdown(socket.SHUT_WR)
        record = json.loads(await asyncio.wait_for(engine.next_record(), WAIT))
    finally:
        client.close()
        await engine.shutdown()
        listener.close()
        pusher.join(WAIT)

    figures.update(
        pushed_while_stalled_mb=stalled_at / 1e6,
        rss_growth_mb=(rss_peak - rss_before) / 1e6,
        relay_mb_per_s=total / 1e6 / read_s,
    )
    assert push_error == []
    # The upstream is held back by what the kernel buffers on the way, not by the proxy's heap.
    assert stalled_at < 64 * 1024 * 1024
    assert progress_last_second < 1024 * 1024
    assert rss_peak - rss_before < 48 * 1024 * 1024
    assert received == total
    stream = record["stream"]
    assert stream["outcome"] == "completed" and stream["bytes_to_client"] == total


async def test_half_open_clients_still_get_their_answer(figures):
    count = 50
    answer_size = 256 * 1024

    async def serve(reader, writer):
        # The answer starts only once the client's end of stream has come through the proxy.
        request = await reader.read()
        writer.write(b"%10d" % len(request))
        writer.write(bytes([len(request) & 0xFF]) * answer_size)
        await writer.drain()
        writer.close()

    server = await asyncio.start_server(serve, "127.0.0.1", 0)
    upstream = "127.0.0.1:%d" % server.sockets[0].getsockname()[1]
    engine, endpoints = await started(document([tcp_proxy(upstream)]))
    address = tcp_address(endpoints)

    async def half_open_client(i):
        reader, writer = await asyncio.wait_for(asyncio.open_connection(*address), WAIT)
        try:
            request = b"h" * (100_000 + i)
            writer.write(request)
            writer.write_eof()
            header = await asyncio.wait_for(reader.readexactly(10), WAIT)
            body = await asyncio.wait_for(reader.read(), WAIT)
            assert int(header) == len(request)
            assert body == bytes([len(request) & 0xFF]) * answer_size
            return len(request)
        finally:
            writer.close()

    try:
        began = time.monotonic()
        sizes = await asyncio.wait_for(
            asyncio.gather(*(half_open_client(i) for i in range(count))), 60
        )
        took = time.monotonic() - began
        got = [json.loads(await asyncio.wait_for(engine.next_record(), WAIT)) for _ in sizes]
    finally:
        await engine.shutdown()
        server.close()

    figures.update(clients=count, seconds=took)
    streams = sorted((r["stream"] for r in got), key=lambda s: s["bytes_to_upstream"])
    assert [s["outcome"] for s in streams] == ["completed"] * count
    assert [s["bytes_to_upstream"] for s in streams] == sorted(sizes)
    assert {s["bytes_to_client"] for s in streams} == {10 + answer_size}
