"""The UDP proxy and the DNS answers of dns faults, driven from asyncio as users drive them."""

import asyncio
import json
import socket
import struct
import time

import pytest

import _ostrel
from netutil import WAIT, document, endpoint, one_phase, records, tcp_proxy


def udp_proxy(upstream, name="dns", listen="127.0.0.1:0"):
    return {"name": name, "protocol": "udp", "listen": listen, "upstream": upstream}


def free_udp_port():
    """A UDP port nothing is bound to (bound and released at once)."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class _Collect(asyncio.DatagramProtocol):
    def __init__(self, on_datagram):
        self.on_datagram = on_datagram

    def datagram_received(self, data, addr):
        self.on_datagram(data, addr)


class UdpUpstream:
    """An upstream on 127.0.0.1 that keeps every datagram and answers each one `answers` times
    with its own bytes after `delay` seconds; with no answers it only listens."""

    def __init__(self, answers=1, delay=0.0, port=0):
        self.answers, self.delay, self.port = answers, delay, port
        self.received = []
        self.transport = None

    async def __aenter__(self):
        loop = asyncio.get_running_loop()
        self.transport, _ = await loop.create_datagram_endpoint(
            lambda: _Collect(self._on_datagram), local_addr=("127.0.0.1", self.port)
        )
        return self

    async def __aexit__(self, *exc):
        self.transport.close()

    @property
    def address(self):
        host, port = self.transport.get_extra_info("sockname")[:2]
        return f"{host}:{port}"

    def _on_datagram(self, data, addr):
        self.received.append(data)
        loop = asyncio.get_running_loop()
        for _ in range(self.answers):
            loop.call_later(self.delay, self._answer, data, addr)

    def _answer(self, data, addr):
        if not self.transport.is_closing():
            self.transport.sendto(data, addr)


class UdpClient:
    """A client socket on 127.0.0.1 whose datagrams are read with a bound wait."""

    def __init__(self):
        self.queue = asyncio.Queue()
        self.transport = None

    async def __aenter__(self):
        loop = asyncio.get_running_loop()
        self.transport, _ = await loop.create_datagram_endpoint(
            lambda: _Collect(lambda data, addr: self.queue.put_nowait((data, addr))),
            local_addr=("127.0.0.1", 0),
        )
        return self

    async def __aexit__(self, *exc):
        self.transport.close()

    @property
    def peer(self):
        host, port = self.transport.get_extra_info("sockname")[:2]
        return f"{host}:{port}"

    def send(self, address, payload):
        self.transport.sendto(payload, address)

    async def receive(self, timeout=WAIT):
        return await asyncio.wait_for(self.queue.get(), timeout)

    async def nothing_within(self, seconds):
        try:
            await asyncio.wait_for(self.queue.get(), seconds)
        except asyncio.TimeoutError:
            return True
        return False


async def started(doc, **kwargs):
    engine = _ostrel.Engine(doc, **kwargs)
    endpoints = await asyncio.wait_for(engine.start(), WAIT)
    return engine, endpoint(endpoints, "udp")


def query(qtype=1, flags=0x0100, ident=0x1234, extra=b""):
    """A DNS query for example.com with one question; `extra` follows the question."""
    name = b"\x07example\x03com\x00"
    header = struct.pack(">HHHHHH", ident, flags, 1, 0, 0, 1 if extra else 0)
    return header + name + struct.pack(">HH", qtype, 1) + extra


async def test_relays_records_and_reports_an_exchange():
    async with UdpUpstream() as upstream, UdpClient() as client:
        doc = document([tcp_proxy("127.0.0.1:1", name="web"), udp_proxy(upstream.address)])
        engine = _ostrel.Engine(doc)
        endpoints = json.loads(await asyncio.wait_for(engine.start(), WAIT))
        try:
            assert len(endpoints["tcp"]) == 1 and len(endpoints["udp"]) == 1
            assert endpoints["udp"][0].startswith("127.0.0.1:")
            assert not endpoints["udp"][0].endswith(":0")
            address = endpoint(json.dumps(endpoints), "udp")

            client.send(address, b"hello over udp")
            data, sender = await client.receive()
            assert data == b"hello over udp" and sender == address
            assert upstream.received == [b"hello over udp"]

            [record] = await records(engine, 1)
            assert record["type"] == "udp-exchange"
            exchange = record["exchange"]
            assert list(exchange) == [
                "exchange_id",
                "proxy",
                "peer",
                "upstream",
                "started_at",
                "completed_at",
                "request_bytes",
                "response_bytes",
                "faults",
                "outcome",
                "failure",
            ]
            assert exchange["proxy"] == "dns" and exchange["peer"] == client.peer
            assert exchange["upstream"] == upstream.address
            assert exchange["request_bytes"] == 14 and exchange["response_bytes"] == 14
            assert exchange["outcome"] == "completed" and exchange["failure"] is None
            assert exchange["completed_at"].endswith("Z")

            status = json.loads(await engine.status())
            assert status["udp"]["started"] == 1 and status["udp"]["completed"] == 1
            assert status["udp"]["active"] == 0 and status["udp"]["average_response_bytes"] == 14
        finally:
            summary = json.loads(await asyncio.wait_for(engine.shutdown(), WAIT))
        assert summary["status"]["udp"]["completed"] == 1 and summary["udp_exchanges"] == []


LATENCY_100 = {
    "type": "latency",
    "flow": "both",
    "distribution": {"type": "uniform", "min_ms": 100, "max_ms": 100},
}


@pytest.mark.parametrize(
    "faults, outcome, reaches_upstream, answered, latency, blackholes",
    [
        ([LATENCY_100], "completed", True, True, {"applications": 2, "total_delay_ms": 200.0}, 0),
        ([{"type": "blackhole", "flow": "to-client"}], "fault-dropped", True, False, None, 1),
        ([{"type": "blackhole", "flow": "both"}], "fault-dropped", False, False, None, 1),
        (
            [{**LATENCY_100, "flow": "to-upstream"}, {"type": "blackhole", "flow": "both"}],
            "fault-dropped",
            False,
            False,
            {"applications": 1, "total_delay_ms": 100.0},
            1,
        ),
    ],
)
async def test_faults_act_per_direction(
    faults, outcome, reaches_upstream, answered, latency, blackholes
):
    async with UdpUpstream() as upstream, UdpClient() as client:
        engine, address = await started(
            document([udp_proxy(upstream.address)], one_phase("dns", *faults))
        )
        try:
            began = time.monotonic()
            client.send(address, b"12345")
            [record] = await records(engine, 1)
            exchange = record["exchange"]
            assert exchange["outcome"] == outcome and exchange["failure"] is None
            assert exchange["request_bytes"] == (5 if reaches_upstream else 0)
            assert exchange["response_bytes"] == (5 if answered else 0)
            assert exchange["faults"]["blackhole_activations"] == blackholes
            if latency:
                assert exchange["faults"]["latency"] == latency
                assert time.monotonic() - began >= latency["total_delay_ms"] / 1000 - 0.01
            assert len(upstream.received) == (1 if reaches_upstream else 0)
            if answered:
                assert (await client.receive())[0] == b"12345"
            else:
                assert await client.nothing_within(0.1)
            status = json.loads(await engine.status())
            assert status["udp"]["impacted"] == 1
            assert status["effects"]["blackhole_activations"] == blackholes
        finally:
            await engine.shutdown()


async def test_jitter_draws_for_each_direction():
    jitter = {
        "type": "jitter",
        "flow": "both",
        "min_delay_ms": 40,
        "max_delay_ms": 40,
        "probability": 1,
    }
    async with UdpUpstream() as upstream, UdpClient() as client:
        engine, address = await started(
            document([udp_proxy(upstream.address)], one_phase("dns", jitter))
        )
        try:
            client.send(address, b"j")
            assert (await client.receive())[0] == b"j"
            [record] = await records(engine, 1)
            assert record["exchange"]["faults"]["jitter"] == {
                "applications": 2,
                "total_delay_ms": 80.0,
            }
        finally:
            await engine.shutdown()


# The header of the answer to `query()`: byte 2 and byte 3 by case; all counts but QDCOUNT 0.
@pytest.mark.parametrize(
    "case, flags",
    [
        ("truncated", b"\x83\x80"),
        ("refused", b"\x81\x85"),
        ("serv-fail", b"\x81\x82"),
        ("nx-domain", b"\x81\x83"),
        ("empty-answer", b"\x81\x80"),
    ],
)
async def test_dns_faults_answer_in_place_of_the_upstream(case, flags):
    async with UdpUpstream() as upstream, UdpClient() as client:
        dns = {"type": "dns", "case": case, "delay_ms": None}
        engine, address = await started(
            document([udp_proxy(upstream.address)], one_phase("dns", dns))
        )
        try:
            # The EDNS record of the additional section is not echoed.
            request = query(extra=b"\x00\x00\x29\x10\x00\x00\x00\x00\x00\x00\x00")
            client.send(address, request)
            answer, _ = await client.receive()
            expected = b"\x12\x34" + flags + b"\x00\x01\x00\x00\x00\x00\x00\x00" + request[12:29]
            assert answer == expected
            [record] = await records(engine, 1)
            exchange = record["exchange"]
            assert exchange["outcome"] == "completed"
            assert exchange["request_bytes"] == 0 and exchange["response_bytes"] == len(expected)
            assert exchange["faults"]["dns_interventions"] == 1
            assert upstream.received == []
            status = json.loads(await engine.status())
            assert status["effects"]["dns_interventions"] == 1
        finally:
            await engine.shutdown()


async def test_random_a_answers_with_one_record():
    async with UdpUpstream() as upstream, UdpClient() as client:
        dns = {"type": "dns", "case": "random-a", "delay_ms": None}
        engine, address = await started(
            document([udp_proxy(upstream.address)], one_phase("dns", dns))
        )
        try:
            request = query()
            addresses = set()
            for _ in range(4):
                client.send(address, request)
                answer, _ = await client.receive()
                assert answer[:12] == b"\x12\x34\x81\x80\x00\x01\x00\x01\x00\x00\x00\x00"
                assert answer[12:29] == request[12:]
                assert answer[29:41] == b"\xc0\x0c\x00\x01\x00\x01\x00\x00\x00\x1e\x00\x04"
                assert len(answer) == 45
                addresses.add(answer[41:])
            assert len(addresses) > 1

            # Not a question of type A: no record.
            aaaa = query(qtype=28)
            client.send(address, aaaa)
            answer, _ = await client.receive()
            assert answer == b"\x12\x34\x81\x80\x00\x01" + b"\x00" * 6 + aaaa[12:]
        finally:
            await engine.shutdown()


async def test_datagrams_that_are_no_query_are_forwarded():
    async with UdpUpstream() as upstream, UdpClient() as client:
        dns = {"type": "dns", "case": "refused", "delay_ms": None}
        engine, address = await started(
            document([udp_proxy(upstream.address)], one_phase("dns", dns))
        )
        try:
            for datagram in (b"short", query()[:20]):
                client.send(address, datagram)
                assert (await client.receive())[0] == datagram
            assert upstream.received == [b"short", query()[:20]]
            for record in await records(engine, 2):
                assert record["exchange"]["outcome"] == "completed"
                assert record["exchange"]["faults"]["dns_interventions"] == 1
        finally:
            await engine.shutdown()


async def test_dns_timeout_and_delay():
    async with UdpUpstream() as upstream, UdpClient() as client:
        timeout = {"type": "dns", "case": "timeout", "delay_ms": 300}
        engine, address = await started(
            document([udp_proxy(upstream.address)], one_phase("dns", timeout))
        )
        try:
            began = time.monotonic()
            client.send(address, query())
            [record] = await records(engine, 1)
            assert time.monotonic() - began >= 0.29
            assert record["exchange"]["outcome"] == "fault-dropped"
            assert record["exchange"]["request_bytes"] == 0
            assert await client.nothing_within(0.1)
            assert upstream.received == []
        finally:
            await engine.shutdown()

        delay = {"type": "dns", "case": "delay", "delay_ms": 200}
        engine, address = await started(
            document([udp_proxy(upstream.address)], one_phase("dns", delay))
        )
        try:
            began = time.monotonic()
            client.send(address, query())
            assert (await client.receive())[0] == query()
            assert time.monotonic() - began >= 0.19
            [record] = await records(engine, 1)
            assert record["exchange"]["outcome"] == "completed"
            assert record["exchange"]["faults"]["dns_interventions"] == 1
        finally:
            await engine.shutdown()


async def test_a_refusing_upstream_fails_one_exchange_and_the_proxy_keeps_serving():
    port = free_udp_port()
    upstream = f"127.0.0.1:{port}"
    async with UdpClient() as client:
        engine, address = await started(document([udp_proxy(upstream)]))
        try:
            client.send(address, b"first")
            [record] = await records(engine, 1)
            exchange = record["exchange"]
            assert exchange["outcome"] == "transfer-failed"
            assert exchange["failure"] == {
                "stage": "exchange",
                "category": "other",
                "message": f"UDP exchange {upstream}: Connection refused (os error 111)",
            }
            status = json.loads(await engine.status())
            assert status["udp"]["failed"] == 1 and status["last_failure"] == exchange["failure"]

            async with UdpUpstream(port=port):
                client.send(address, b"second")
                assert (await client.receive())[0] == b"second"
                [record] = await records(engine, 1)
                assert record["exchange"]["outcome"] == "completed"
        finally:
            summary = json.loads(await asyncio.wait_for(engine.shutdown(), WAIT))
        assert summary["status"]["udp"]["completed"] == 2
        assert summary["status"]["udp"]["failed"] == 1


async def test_shutdown_cancels_pending_exchanges():
    async with UdpUpstream(answers=0) as upstream, UdpClient() as client:
        engine, address = await started(document([udp_proxy(upstream.address)]))
        for i in range(3):
            client.send(address, b"wait %d" % i)
        # Until every request has gone out and waits for its answer.
        deadline = time.monotonic() + WAIT
        while time.monotonic() < deadline:
            pending = json.loads(await engine.snapshot())["udp_exchanges"]
            sent = len(pending) == 3 and all(p["request_bytes"] == 6 for p in pending)
            if sent and len(upstream.received) == 3:
                break
            await asyncio.sleep(0.01)
        assert len(pending) == 3 and len(upstream.received) == 3
        for exchange in pending:
            assert exchange["outcome"] == "active" and exchange["completed_at"] is None
            assert exchange["request_bytes"] == 6

        began = time.monotonic()
        summary = json.loads(await asyncio.wait_for(engine.shutdown(), WAIT))
        assert time.monotonic() - began < 2
        assert summary["status"]["udp"]["completed"] == 3
        assert summary["status"]["udp"]["active"] == 0
        for record in await records(engine, 3):
            assert record["exchange"]["outcome"] == "cancelled"
            assert record["exchange"]["failure"] is None
        assert await engine.next_record() is None


async def test_a_taken_udp_port_fails_start_and_frees_the_others():
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as taken:
        taken.bind(("127.0.0.1", 0))
        busy = taken.getsockname()[1]
        first_port = free_udp_port()
        doc = document(
            [
                udp_proxy("127.0.0.1:1", name="a", listen=f"127.0.0.1:{first_port}"),
                udp_proxy("127.0.0.1:1", name="b", listen=f"127.0.0.1:{busy}"),
            ]
        )
        engine = _ostrel.Engine(doc)
        with pytest.raises(RuntimeError) as raised:
            await engine.start()
        assert str(raised.value) == "I/O error: Address already in use (os error 98)"
        assert not engine.alive()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as again:
            again.bind(("127.0.0.1", first_port))
