"""Live control from Python: direct fault changes, the phase schedule and the timed run."""

import asyncio
import json
import time

import pytest

import _ostrel
from netutil import WAIT, EchoServer, document, endpoint, exchange, one_phase, tcp_proxy

BLACKHOLE = {"type": "blackhole", "flow": "to-client"}


def latency(ms, flow="to-client"):
    return {
        "type": "latency",
        "flow": flow,
        "distribution": {"type": "uniform", "min_ms": ms, "max_ms": ms},
    }


async def started(doc):
    engine = _ostrel.Engine(doc)
    await asyncio.wait_for(engine.start(), WAIT)
    return engine


async def test_set_faults_changes_one_proxy_and_active_faults_lists_all():
    doc = document(
        [tcp_proxy("127.0.0.1:1", name="b"), tcp_proxy("127.0.0.1:1", name="a")],
        one_phase("b", BLACKHOLE),
    )
    engine = await started(doc)
    try:
        active = json.loads(await engine.active_faults())
        assert active == [{"proxy": "a", "faults": []}, {"proxy": "b", "faults": [BLACKHOLE]}]
        assert await engine.set_faults("a", json.dumps([latency(5)])) is None
        active = json.loads(await engine.active_faults())
        assert active[0]["faults"][0]["type"] == "latency" and active[1]["faults"] == [BLACKHOLE]
        await engine.set_faults("b", "[]")
        assert json.loads(await engine.active_faults())[1]["faults"] == []

        with pytest.raises(RuntimeError, match='^proxy "c" is not configured$'):
            await engine.set_faults("c", "[]")
        with pytest.raises(ValueError, match="at line 1 column"):
            await engine.set_faults("a", "[{")
        with pytest.raises(TypeError):
            engine.set_faults("a")
    finally:
        await engine.shutdown()


async def test_schedule_drives_a_connection_and_restores_the_faults():
    async with EchoServer() as upstream:
        doc = document([tcp_proxy(upstream.address)], one_phase("db", latency(1)))
        engine = await started(doc)
        try:
            assert not engine.schedule_active()
            await engine.begin_schedule()
            assert engine.schedule_active()
            with pytest.raises(RuntimeError, match="^a phase schedule is already active$"):
                await engine.begin_schedule()
            with pytest.raises(RuntimeError, match="already controlling this engine"):
                await engine.set_faults("db", "[]")

            entries = json.dumps([{"proxy": "db", "faults": [latency(250)]}])
            slow = json.loads(await engine.schedule_add_phase("slow", None, entries))
            assert slow["state"] == "pending" and slow["duration"] is None
            changed = json.loads(await engine.schedule_start_phase(slow["id"].upper()))
            assert [p["state"] for p in changed] == ["running"]

            began = time.monotonic()
            assert await exchange(endpoint(engine.endpoints()), b"x") == b"x"
            assert time.monotonic() - began >= 0.24

            transitions = [json.loads(await engine.schedule_next_transition()) for _ in range(2)]
            assert [(t["kind"], t["reason"]) for t in transitions] == [
                ("added", None),
                ("started", "explicit"),
            ]
            with pytest.raises(_ostrel.PhaseStateError, match="is running and can no longer"):
                await engine.schedule_delete_phase(slow["id"])

            # Latency, then a blackhole on an open connection, then no faults at all.
            reader, writer = await asyncio.wait_for(
                asyncio.open_connection(*endpoint(engine.endpoints())), WAIT
            )
            holes = json.dumps([{"proxy": "db", "faults": [BLACKHOLE]}])
            hole = json.loads(await engine.schedule_add_phase("hole", None, holes))
            await engine.schedule_start_phase(hole["id"])
            writer.write(b"held")
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(reader.readexactly(4), 0.5)
            stopped = json.loads(await engine.schedule_stop_phase(hole["id"]))
            assert stopped[0]["state"] == "stopped"
            began = time.monotonic()
            assert await asyncio.wait_for(reader.readexactly(4), WAIT) == b"held"
            assert time.monotonic() - began < 1.5
            writer.close()
            transitions = [json.loads(await engine.schedule_next_transition()) for _ in range(4)]
            assert [(t["kind"], t["reason"]) for t in transitions] == [
                ("added", None),
                ("stopped", "superseded"),
                ("started", "explicit"),
                ("stopped", "explicit"),
            ]

            assert await engine.end_schedule() is True
            assert await engine.end_schedule() is False
            assert not engine.schedule_active()
            active = json.loads(await engine.active_faults())
            assert active == [{"proxy": "db", "faults": [latency(1)]}]
        finally:
            await engine.shutdown()


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda e: e.schedule_start_phase("not-a-uuid"), ValueError, 'invalid phase id "not-a-uuid"'),
        (
            lambda e: e.schedule_add_phase("p", "0s", "[]"),
            ValueError,
            'invalid phase duration "0s": expected number at 0',
        ),
        (
            lambda e: e.schedule_move_phase("00000000-0000-0000-0000-000000000000", -1),
            ValueError,
            "phase position cannot be negative",
        ),
        (lambda e: e.schedule_add_phase("p", None, "[]"), RuntimeError, "no phase schedule is active"),
        (lambda e: e.schedule_next_transition(), RuntimeError, "no phase schedule is active"),
    ],
)
async def test_schedule_argument_and_state_errors(call, error, message):
    engine = await started(document([tcp_proxy("127.0.0.1:1")]))
    try:
        with pytest.raises(error) as raised:
            await call(engine)
        assert str(raised.value) == message
    finally:
        await engine.shutdown()


async def test_schedule_argument_types_are_checked_at_call_time():
    engine = _ostrel.Engine(document([tcp_proxy("127.0.0.1:1")]))
    with pytest.raises(OverflowError):
        engine.schedule_move_phase("x", 2**63)
    with pytest.raises(TypeError):
        engine.schedule_move_phase("x", "1")
    with pytest.raises(TypeError):
        engine.schedule_add_phase(name="p", faults_json="[]")
    with pytest.raises(TypeError):
        engine.schedule_add_phase("p", 5, "[]")


async def test_unknown_phase_is_a_phase_state_error():
    engine = await started(document([tcp_proxy("127.0.0.1:1")]))
    try:
        await engine.begin_schedule()
        with pytest.raises(_ostrel.PhaseStateError) as raised:
            await engine.schedule_start_phase("{0F5C2A8E-6B1D-4C3E-9A77-2D4F1E0B9C31}")
        assert str(raised.value) == "phase 0f5c2a8e-6b1d-4c3e-9a77-2d4f1e0b9c31 does not exist"
    finally:
        await engine.shutdown()
    assert not engine.schedule_active()


async def test_timed_run_reports_progress_and_restores_the_faults():
    phases = [
        {"name": "one", "duration": "200ms", "proxies": [{"proxy": "db", "faults": [BLACKHOLE]}]},
        {"name": "two", "duration": "300ms", "proxies": []},
        {"name": "three", "duration": "500ms", "proxies": [{"proxy": "db", "faults": [latency(3)]}]},
    ]
    engine = await started(document([tcp_proxy("127.0.0.1:1")], phases, name="timed"))
    try:
        before = await engine.active_faults()
        began = time.monotonic()
        running = asyncio.ensure_future(engine.run())
        progress = [json.loads(await asyncio.wait_for(engine.next_progress(), WAIT)) for _ in range(3)]
        report = json.loads(await asyncio.wait_for(running, WAIT))
        took = time.monotonic() - began
        assert [p["phase_index"] for p in progress] == [1, 2, 3]
        assert [p["phase_count"] for p in progress] == [3, 3, 3]
        assert [p["phase_duration_ms"] for p in progress] == [200, 300, 500]
        assert progress[0]["run_name"] == "timed" and progress[0]["proxies"][0]["proxy"] == "db"
        assert 0.9 <= took < 5
        assert report["schema_version"] == 1 and report["outcome"] == {"type": "success"}
        assert report["run_name"] == "timed" and "status" in report["transport"]
        assert await engine.active_faults() == before
    finally:
        await engine.shutdown()


async def test_cancelled_run_restores_faults_and_frees_control():
    phases = [
        {"name": "long", "duration": "1h", "proxies": [{"proxy": "db", "faults": [BLACKHOLE]}]},
        {"name": "after", "proxies": []},
    ]
    engine = await started(document([tcp_proxy("127.0.0.1:1")], phases))
    try:
        await engine.set_faults("db", json.dumps([latency(7)]))
        before = await engine.active_faults()
        running = asyncio.ensure_future(engine.run())
        await asyncio.wait_for(engine.next_progress(), WAIT)
        assert json.loads(await engine.active_faults())[0]["faults"] == [BLACKHOLE]
        with pytest.raises(RuntimeError, match="wait for active engine operations before shutdown"):
            await engine.shutdown()
        running.cancel()
        with pytest.raises(asyncio.CancelledError):
            await running
        # The run's session ends as its task unwinds: faults first, then the control.
        deadline = time.monotonic() + WAIT
        while await engine.active_faults() != before and time.monotonic() < deadline:
            await asyncio.sleep(0.01)
        assert await engine.active_faults() == before
        while time.monotonic() < deadline:
            try:
                await engine.set_faults("db", "[]")
                break
            except RuntimeError:
                await asyncio.sleep(0.01)
        assert json.loads(await engine.active_faults()) == [{"proxy": "db", "faults": []}]
    finally:
        await engine.shutdown()
