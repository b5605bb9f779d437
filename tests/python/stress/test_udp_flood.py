"""A flood of datagrams at a UDP proxy whose upstream answers slowly, or not at all."""

import asyncio
import contextlib
import json
import socket
import subprocess
import sys
import time

import pytest

from netutil import WAIT, document
from stressutil import UpstreamProcess, drain_records, rss_bytes, started, udp_address

pytestmark = pytest.mark.stress

TARGET_RATE = 100_000  # datagrams a second, over all senders
SECONDS = 5.0
SENDERS = 2
UPSTREAM_DELAY_MS = 50
RSS_LIMIT = 256 * 1024 * 1024

# One sender process: a tight loop over a connected socket, paced to its share of the rate.
SENDER = r"""
import socket, sys, time
port, rate, seconds = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3])
sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
sock.connect(("127.0.0.1", port))
send = sock.send
payload = b"flood datagram"
sent = refused = 0
began = time.monotonic()
end = began + seconds
while True:
    now = time.monotonic()
    if now >= end:
        break
    ahead = sent / rate - (now - began)
    if ahead > 0.001:
        time.sleep(ahead)
    for _ in range(500):
        try:
            send(payload)
            sent += 1
        except (ConnectionRefusedError, BlockingIOError):
            refused += 1
print(sent, refused, time.monotonic() - began)
"""


@contextlib.asynccontextmanager
async def upstream_of(kind):
    """"slow" answers every datagram 50 ms late; "silent" reads nothing and never answers, so
    every exchange waits out its time limit holding a socket, and descriptors run out."""
    if kind == "slow":
        async with UpstreamProcess("udp-slow", UPSTREAM_DELAY_MS) as upstream:
            yield upstream
    else:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as sink:
            sink.bind(("127.0.0.1", 0))
            yield SilentUpstream("127.0.0.1:%d" % sink.getsockname()[1])


class SilentUpstream:
    def __init__(self, address):
        self.address = address

    async def stop(self):
        return None, 0


@pytest.mark.parametrize("kind", ["slow", "silent"])
async def test_udp_flood(kind, figures):
    async with upstream_of(kind) as upstream:
        proxy = {
            "name": "flood",
            "protocol": "udp",
            "listen": "127.0.0.1:0",
            "upstream": upstream.address,
        }
        engine, endpoints = await started(document([proxy]))
        port = udp_address(endpoints)[1]
        rss_before = rss_bytes()
        rss_peak = rss_before
        active_peak = 0
        progress = []  # (time, exchanges started)
        try:
            senders = [
                await asyncio.create_subprocess_exec(
                    sys.executable,
                    "-c",
                    SENDER,
                    str(port),
                    str(TARGET_RATE / SENDERS),
                    str(SECONDS),
                    stdout=subprocess.PIPE,
                )
                for _ in range(SENDERS)
            ]
            outputs = asyncio.gather(*(s.communicate() for s in senders))
            flood_end = time.monotonic() + SECONDS + 5
            while not outputs.done() and time.monotonic() < flood_end:
                await asyncio.sleep(0.1)
                rss_peak = max(rss_peak, rss_bytes())
                status = json.loads(await engine.status())
                active_peak = max(active_peak, status["udp"]["active"])
                progress.append((time.monotonic(), status["udp"]["started"]))
            results = await asyncio.wait_for(outputs, WAIT)
            sent = sum(int(out.split()[0]) for out, _ in results)
            elapsed = max(float(out.split()[2]) for out, _ in results)
            last_second = [n for t, n in progress if t >= progress[-1][0] - 1.0]

            if kind == "slow":
                # Exchanges answered late finish by themselves within a short while.
                settle_end = time.monotonic() + 3
                while time.monotonic() < settle_end:
                    status = json.loads(await engine.status())
                    if status["udp"]["active"] == 0:
                        break
                    await asyncio.sleep(0.1)
            unsettled = status["udp"]["active"]
            shutdown_began = time.monotonic()
            summary = json.loads(await asyncio.wait_for(engine.shutdown(), 15))
            shutdown_s = time.monotonic() - shutdown_began
        finally:
            if engine.alive():
                await engine.shutdown()
        records = await drain_records(engine)
        received, answered = await upstream.stop()

    udp = summary["status"]["udp"]
    figures.update(
        sent=sent,
        rate_reached=sent / elapsed,
        started=udp["started"],
        exchanges_per_s=udp["started"] / elapsed,
        failed=udp["failed"],
        answered=answered,
        active_peak=active_peak,
        unsettled=unsettled,
        shutdown_s=shutdown_s,
        rss_growth_mb=(rss_peak - rss_before) / 1e6,
    )
    assert udp["started"] > 0
    # Still receiving at the end of the flood, whatever ran out on the way.
    assert last_second[-1] > last_second[0]
    assert rss_peak - rss_before < RSS_LIMIT
    if kind == "slow":
        assert received == udp["started"] and unsettled == 0
    # Every exchange that started has finished, by itself or at shutdown, and left a record
    # (delivered, or counted as dropped while nobody read).
    assert udp["active"] == 0 and udp["completed"] == udp["started"]
    assert summary["udp_exchanges"] == []
    assert len(records) + summary["status"]["dropped_records"] == udp["started"]
