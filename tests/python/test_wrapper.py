"""The asyncio wrapper `ostrel.Engine`: documents as dicts, decoded results, iterators."""

import asyncio
import json
import subprocess
import sys
import uuid

import pytest

import _ostrel
import ostrel
from netutil import WAIT, EchoServer, exchange, tcp_proxy


def run_doc(upstream, phases=None):
    return {
        "schema_version": 1,
        "name": "wrapped",
        "proxies": [tcp_proxy(upstream)],
        "phases": phases or [{"name": "only", "proxies": []}],
    }


def address(engine):
    host, port = engine.endpoints()["tcp"][0].rsplit(":", 1)
    return host, int(port)


@pytest.mark.parametrize("as_text", [False, True])
async def test_dict_and_text_documents_run_the_same(as_text):
    async with EchoServer() as echo:
        doc = run_doc(echo.address)
        engine = ostrel.Engine(json.dumps(doc) if as_text else doc)
        assert not engine.alive()
        async with engine:
            assert engine.alive()
            assert await exchange(address(engine), b"ping") == b"ping"
            status = await engine.status()
            assert status["tcp"]["opened"] == 1
        assert not engine.alive()
        summary = engine.summary()
        assert summary is not None and summary["status"]["tcp"]["completed"] == 1


@pytest.mark.parametrize(
    "doc, message",
    [
        (
            {"schema_version": 1, "name": "x", "proxies": [], "phases": []},
            "proxies: at least one proxy is required. "
            "Add a proxy with a listen address and an upstream address.",
        ),
        (
            '{"schema_version": 1, "name": "x", "proxies": [{"name": "db"}], "phases": []}',
            "missing field `protocol` at line 1 column 61",
        ),
    ],
)
def test_refused_documents_raise_the_native_value_error(doc, message):
    with pytest.raises(ValueError) as refused:
        ostrel.Engine(doc)
    assert str(refused.value) == message


async def test_records_end_after_shutdown_with_every_record():
    async with EchoServer() as echo:
        async with ostrel.Engine(run_doc(echo.address)) as engine:
            for payload in (b"one", b"three"):
                assert await exchange(address(engine), payload) == payload
        got = [r async for r in engine.records()]
    assert [r["type"] for r in got] == ["tcp-stream", "tcp-stream"]
    assert sorted(r["stream"]["bytes_to_upstream"] for r in got) == [3, 5]


async def test_events_bring_status_when_idle_and_records_first():
    async with EchoServer() as echo:
        async with ostrel.Engine(run_doc(echo.address)) as engine:
            events = engine.events(0.05)
            first = await asyncio.wait_for(anext(events), WAIT)
            assert first["type"] == "status"
            assert first["status"]["tcp"]["opened"] == 0
            await exchange(address(engine), b"x")
            kinds = set()
            while "tcp-stream" not in kinds:
                kinds.add((await asyncio.wait_for(anext(events), WAIT))["type"])
            await events.aclose()


async def test_run_and_progress_decode_and_faults_come_back():
    latency = {
        "type": "latency",
        "flow": "to-client",
        "distribution": {"type": "uniform", "min_ms": 1.0, "max_ms": 1.0},
    }
    phases = [
        {"name": "slow", "duration": "200ms", "proxies": [{"proxy": "db", "faults": [latency]}]},
        {"name": "calm", "duration": "100ms", "proxies": []},
    ]
    async with EchoServer() as echo:
        async with ostrel.Engine(run_doc(echo.address, phases)) as engine:
            progress = engine.progress()
            before = await engine.active_faults()
            report = await asyncio.wait_for(engine.run(), WAIT)
            names = [(await anext(progress))["phase_name"] for _ in phases]
            assert names == ["slow", "calm"]
            assert report["run_name"] == "wrapped"
            assert report["outcome"] == {"type": "success"}
            # The first phase's faults hold from the start, so they are what comes back.
            assert before == [{"proxy": "db", "faults": [latency]}]
            assert await engine.active_faults() == before


async def test_set_faults_takes_a_list_and_schedule_errors_are_native():
    blackhole = {"type": "blackhole", "flow": "both"}
    async with EchoServer() as echo:
        async with ostrel.Engine(run_doc(echo.address)) as engine:
            await engine.set_faults("db", [blackhole])
            assert await engine.active_faults() == [{"proxy": "db", "faults": [blackhole]}]
            await engine.begin_schedule()
            assert engine.schedule_active()
            phase = await engine.schedule_add_phase("calm", None, [])
            assert phase["name"] == "calm" and phase["duration"] is None
            changed = await engine.schedule_start_phase(phase["id"])
            assert [p["id"] for p in changed] == [phase["id"]]
            with pytest.raises(ostrel.PhaseStateError):
                await engine.schedule_start_phase(str(uuid.uuid4()))
            with pytest.raises(RuntimeError) as busy:
                await engine.set_faults("db", [])
            assert str(busy.value) == "a run or adaptive phase is already controlling this engine"
            assert await engine.end_schedule() is True
            assert await engine.active_faults() == [{"proxy": "db", "faults": [blackhole]}]


async def test_leaving_by_an_exception_still_shuts_down():
    async with EchoServer() as echo:
        engine = ostrel.Engine(run_doc(echo.address))
        with pytest.raises(KeyError):
            async with engine:
                raise KeyError("boom")
        assert not engine.alive()
        assert engine.summary() is not None


def test_exceptions_are_the_native_ones_and_the_cli_is_not_imported():
    assert ostrel.PhaseStateError is _ostrel.PhaseStateError
    assert issubclass(ostrel.PhaseStateError, RuntimeError)
    probe = "import sys, ostrel; print(sorted(m for m in sys.modules if m.startswith('ostrel')))"
    out = subprocess.run(
        [sys.executable, "-c", probe], capture_output=True, text=True, timeout=WAIT, check=True
    )
    assert out.stdout.strip() == "['ostrel']"
