"""Clients relay without pause while the faults change a thousand times, then the engine shuts
down under them."""

import asyncio
import collections
import json
import os
import random
import subprocess
import sys
import time

import pytest

from netutil import WAIT, compact, document, tcp_proxy
from stressutil import HERE, UpstreamProcess, drain_records, started, tcp_address

pytestmark = pytest.mark.stress

STEADY_CLIENTS = 160
LOSSY_CLIENTS = 40
CHANGES = 1000
SHUTDOWN_LIMIT = 2.0
CLIENTS_SCRIPT = os.path.join(HERE, "churn_clients.py")


def latency(flow, low, high):
    return {
        "type": "latency",
        "flow": flow,
        "distribution": {"type": "uniform", "min_ms": low, "max_ms": high},
    }


def jitter(flow, low, high, probability):
    return {
        "type": "jitter",
        "flow": flow,
        "min_delay_ms": low,
        "max_delay_ms": high,
        "probability": probability,
    }


def bandwidth(flow, rate):
    return {"type": "bandwidth", "flow": flow, "bytes_per_second": rate}


# Fault lists that hold data back but never drop it: a blackhole stalls its side until the next
# change of faults, and the stalled bytes must then go on unharmed.
STEADY_SETS = [
    [],
    [latency("both", 0, 3)],
    [latency("to-client", 1, 2), jitter("to-upstream", 0, 2, 0.5)],
    [bandwidth("both", 2_000_000)],
    [jitter("both", 1, 3, 1), bandwidth("to-client", 4_000_000), latency("to-upstream", 0, 1)],
    [{"type": "blackhole", "flow": "to-client"}],
    [latency("both", 0, 1), {"type": "blackhole", "flow": "both"}],
]
# Fault lists that also reset connections, which cuts their data short.
LOSSY_SETS = [
    [],
    [{"type": "connection-reset", "flow": "both", "probability": 0.05}],
    [{"type": "blackhole", "flow": "to-client"}],
    [{"type": "blackhole", "flow": "to-upstream"}, latency("both", 0, 2)],
    [
        {"type": "connection-reset", "flow": "to-client", "probability": 0.2},
        jitter("both", 0, 1, 1),
    ],
]


async def change_faults(engine, rng, figures):
    """Half of the changes replace one proxy's faults directly, half start schedule phases."""
    direct = CHANGES // 2
    began = time.monotonic()
    for i in range(direct):
        if i % 2:
            await engine.set_faults("steady", compact(rng.choice(STEADY_SETS)))
        else:
            await engine.set_faults("lossy", compact(rng.choice(LOSSY_SETS)))
        await asyncio.sleep(0.001)
    await engine.begin_schedule()
    for i in range(CHANGES - direct):
        entries = [
            {"proxy": "steady", "faults": rng.choice(STEADY_SETS)},
            {"proxy": "lossy", "faults": rng.choice(LOSSY_SETS)},
        ]
        phase = json.loads(await engine.schedule_add_phase(f"p{i}", None, compact(entries)))
        await engine.schedule_start_phase(phase["id"])
        await asyncio.sleep(0.001)
    assert await engine.end_schedule() is True
    figures["changes_per_s"] = CHANGES / (time.monotonic() - began)


async def test_clients_relay_through_a_thousand_fault_changes_and_a_shutdown(figures):
    rng = random.Random(7)
    async with UpstreamProcess("tcp-echo") as upstream:
        doc = document(
            [
                tcp_proxy(upstream.address, name="steady"),
                tcp_proxy(upstream.address, name="lossy"),
            ]
        )
        engine, endpoints = await started(doc, event_capacity=1_000_000)
        clients = await asyncio.create_subprocess_exec(
            sys.executable,
            CLIENTS_SCRIPT,
            str(tcp_address(endpoints, 0)[1]),
            str(tcp_address(endpoints, 1)[1]),
            str(STEADY_CLIENTS),
            str(LOSSY_CLIENTS),
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
        )
        try:
            assert await asyncio.wait_for(clients.stdout.readline(), WAIT * 2) == b"ready\n"
            await asyncio.wait_for(change_faults(engine, rng, figures), 60)
            # Every client still relays: none has died of a fault change.
            assert clients.returncode is None
            clients.stdin.write(b"stop\n")
            await clients.stdin.drain()
            assert await asyncio.wait_for(clients.stdout.readline(), WAIT) == b"stopping\n"

            shutdown_began = time.monotonic()
            summary = json.loads(await asyncio.wait_for(engine.shutdown(), WAIT))
            shutdown_seconds = time.monotonic() - shutdown_began
            report = json.loads(await asyncio.wait_for(clients.stdout.read(), WAIT * 2))
            await asyncio.wait_for(clients.wait(), WAIT)
        finally:
            if clients.returncode is None:
                clients.kill()
                await clients.wait()
            if engine.alive():
                await engine.shutdown()
        records = await drain_records(engine)
        await upstream.stop()

    conns = report["conns"]
    status = summary["status"]
    open_at_stop = [c for c in conns if c["proxy"] == "steady" and c["open_at_stop"]]
    last_end = max(c["ended_at"] or float("inf") for c in conns) - shutdown_began
    figures.update(
        clients=STEADY_CLIENTS + LOSSY_CLIENTS,
        changes=CHANGES,
        connections=status["tcp"]["opened"],
        records=len(records),
        open_at_shutdown=len(open_at_stop),
        shutdown_s=shutdown_seconds,
        last_client_end_s=last_end,
        mb_relayed=sum(c["sent"] for c in conns if c["proxy"] == "steady") / 1e6,
    )
    assert report["errors"] == [] and report["hung"] == 0, report["errors"][:3]
    assert shutdown_seconds < SHUTDOWN_LIMIT
    assert last_end < SHUTDOWN_LIMIT
    assert status["dropped_records"] == 0 and status["tcp"]["active"] == 0
    assert len(records) == status["tcp"]["opened"] == status["tcp"]["completed"]

    by_proxy = collections.defaultdict(list)
    for record in records:
        assert record["type"] == "tcp-stream"
        by_proxy[record["stream"]["proxy"]].append(record["stream"])
    assert len(by_proxy["steady"]) + len(by_proxy["lossy"]) == len(records)

    for proxy, allowed in [
        ("steady", {"completed", "cancelled"}),
        ("lossy", {"completed", "cancelled", "fault-reset", "transfer-failed"}),
    ]:
        streams = by_proxy[proxy]
        assert {s["outcome"] for s in streams} <= allowed, proxy
        recorded = collections.Counter(s["peer"] for s in streams)
        made = collections.Counter(c["peer"] for c in conns if c["proxy"] == proxy)
        confirmed = collections.Counter(
            c["peer"] for c in conns if c["proxy"] == proxy and c["confirmed"]
        )
        # Exactly once: never more records than connections from a peer address, and a record
        # for every connection the proxy demonstrably served. (A connection still in the
        # listen backlog at shutdown was never accepted and has no record.)
        assert not recorded - made, f"{proxy}: records of connections never made"
        assert not confirmed - recorded, f"{proxy}: served connections without a record"

    steady = {s["peer"]: s for s in by_proxy["steady"]}
    once = collections.Counter(c["peer"] for c in conns if c["proxy"] == "steady")
    for conn in conns:
        stream = steady.get(conn["peer"])
        if conn["proxy"] != "steady" or stream is None or once[conn["peer"]] != 1:
            continue
        if conn["finished"] and conn["ended_at"] < report["stopped_at"]:
            assert stream["outcome"] == "completed", conn
            assert (stream["bytes_to_upstream"], stream["bytes_to_client"]) == (
                conn["sent"],
                conn["received"],
            )
        else:
            assert stream["bytes_to_upstream"] <= conn["sent"]
            assert stream["bytes_to_client"] >= conn["received"]
    # A connection whose client had not half-closed when the engine went cannot have completed.
    for conn in open_at_stop:
        if conn["peer"] in steady and once[conn["peer"]] == 1:
            assert steady[conn["peer"]]["outcome"] == "cancelled", conn
