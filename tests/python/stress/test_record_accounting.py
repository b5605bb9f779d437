"""With room enough in the record queue, every transport the engine announced comes out as
exactly one record, also when the engine shuts down under load."""

import asyncio
import collections
import json
import socket
import time

import pytest

from netutil import EchoServer, document, exchange, tcp_proxy
from stressutil import started, tcp_address, udp_address

pytestmark = pytest.mark.stress

LOAD_SECONDS = 3.0


class DatagramEcho(asyncio.DatagramProtocol):
    def connection_made(self, transport):
        self.transport = transport

    def datagram_received(self, data, addr):
        self.transport.sendto(data, addr)


async def tcp_load(address, stop):
    while not stop.is_set():
        try:
            await exchange(address, b"tcp load " * 50)
        except (OSError, asyncio.IncompleteReadError, asyncio.TimeoutError):
            if not stop.is_set():
                raise


async def udp_load(address, stop):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sock:
        sock.setblocking(False)
        sock.connect(address)
        while not stop.is_set():
            for _ in range(20):
                try:
                    sock.send(b"udp load")
                except (BlockingIOError, ConnectionRefusedError):
                    pass
            await asyncio.sleep(0.002)


async def read_all(engine, into):
    while (text := await engine.next_record()) is not None:
        into.append(json.loads(text))


@pytest.mark.parametrize("reader", ["concurrent", "after-shutdown"])
async def test_every_transport_is_recorded_once_when_shutdown_comes_under_load(reader, figures):
    loop = asyncio.get_running_loop()
    async with EchoServer() as tcp_upstream:
        udp_transport, _ = await loop.create_datagram_endpoint(
            DatagramEcho, local_addr=("127.0.0.1", 0)
        )
        udp_upstream = "127.0.0.1:%d" % udp_transport.get_extra_info("sockname")[1]
        doc = document(
            [
                tcp_proxy(tcp_upstream.address, name="t"),
                {"name": "u", "protocol": "udp", "listen": "127.0.0.1:0", "upstream": udp_upstream},
            ]
        )
        engine, endpoints = await started(doc, event_capacity=1_000_000)
        stop = asyncio.Event()
        loads = [asyncio.ensure_future(tcp_load(tcp_address(endpoints), stop)) for _ in range(8)]
        loads += [asyncio.ensure_future(udp_load(udp_address(endpoints), stop)) for _ in range(4)]
        got = []
        reading = asyncio.ensure_future(read_all(engine, got)) if reader == "concurrent" else None
        try:
            await asyncio.sleep(LOAD_SECONDS)
            before = json.loads(await engine.status())
            # The load is still running when the engine goes.
            began = time.monotonic()
            summary = json.loads(await asyncio.wait_for(engine.shutdown(), 10))
            shutdown_s = time.monotonic() - began
        finally:
            stop.set()
            await asyncio.wait_for(asyncio.gather(*loads, return_exceptions=True), 15)
            udp_transport.close()
        if reading is None:
            reading = asyncio.ensure_future(read_all(engine, got))
        await asyncio.wait_for(reading, 30)

    status = summary["status"]
    kinds = collections.Counter(r["type"] for r in got)
    figures.update(
        tcp=status["tcp"]["opened"],
        udp=status["udp"]["started"],
        records=len(got),
        open_at_shutdown=before["tcp"]["active"] + before["udp"]["active"],
        shutdown_s=shutdown_s,
    )
    assert status["dropped_records"] == 0
    assert status["tcp"]["active"] == 0 and status["udp"]["active"] == 0
    assert kinds["tcp-stream"] == status["tcp"]["opened"] == status["tcp"]["completed"]
    assert kinds["udp-exchange"] == status["udp"]["started"] == status["udp"]["completed"]
    assert len(got) == status["tcp"]["opened"] + status["udp"]["started"]
    ids = [r["stream"]["stream_id"] if "stream" in r else r["exchange"]["exchange_id"] for r in got]
    assert len(set(ids)) == len(ids)
    assert all((r.get("stream") or r.get("exchange"))["outcome"] != "active" for r in got)
    assert status["tcp"]["opened"] > 100 and status["udp"]["started"] > 100
