"""The `ostrel` command end to end: check, run, demo, signals and exit codes, on loopback."""

import asyncio
import json
import os
import pty
import re
import select
import signal
import socket
import subprocess
import sys
import time

import pytest

import _ostrel
from netutil import WAIT, EchoServer, compact, one_phase, tcp_proxy

COMMAND = [sys.executable, "-m", "ostrel"]


def ostrel(*args, stdin=None):
    return subprocess.run(
        [*COMMAND, *args], capture_output=True, text=True, timeout=60, input=stdin
    )


def write(tmp_path, doc, name="run.json"):
    path = tmp_path / name
    path.write_text(doc if isinstance(doc, str) else compact(doc))
    return str(path)


def run_doc(upstream, phases, proxies=None):
    return {
        "schema_version": 1,
        "name": "cli-run",
        "proxies": proxies or [tcp_proxy(upstream)],
        "phases": phases,
    }


def refused(path, *detail):
    return [f"{path}: refused", *detail]


REFUSALS = [
    (
        {
            "schema_version": 1,
            "name": "x",
            "proxies": [tcp_proxy("127.0.0.1:1")],
            "phases": [{"name": "a", "proxies": []}, {"name": "b", "proxies": []}],
        },
        [
            "  path:    phases[0].duration",
            "  message: an indefinite phase makes later phases unreachable.",
            "  hint:    Give this phase a duration or make it the final phase.",
        ],
    ),
    (
        # A quoted name holding ". X" must not be taken for the start of the hint.
        {
            "schema_version": 1,
            "name": "x",
            "proxies": [
                tcp_proxy("127.0.0.1:1", name="a. B"),
                tcp_proxy("127.0.0.1:1", name="a. B"),
            ],
            "phases": [{"name": "a", "proxies": []}],
        },
        [
            "  path:    proxies[1].name",
            '  message: proxy name "a. B" is duplicated.',
            "  hint:    Give every proxy a unique name.",
        ],
    ),
    (
        {
            "schema_version": 1,
            "name": "x",
            "proxies": [tcp_proxy("127.0.0.1:1")],
            "phases": one_phase(
                "db", {"type": "connection-reset", "flow": "both", "probability": 1.5}
            ),
        },
        [
            "  path:    phases[0].proxies[0].faults[0].probability",
            "  message: probability must be between 0 and 1; received 1.5.",
            "  hint:    Use a decimal such as 0.75 for a 75% probability.",
        ],
    ),
    (
        '{"schema_version": 1, "name": "x", "proxies": [{"name": "db"}], "phases": []}',
        ["  message: missing field `protocol` at line 1 column 61"],
    ),
    (
        {"schema_version": 2, "name": "x", "proxies": [], "phases": []},
        ["  message: schema version mismatch: expected 1, got 2"],
    ),
]


@pytest.mark.parametrize("command", ["check", "run"])
@pytest.mark.parametrize("doc, detail", REFUSALS)
def test_a_refused_document_shows_path_message_and_hint_and_exits_2(tmp_path, command, doc, detail):
    path = write(tmp_path, doc)
    result = ostrel(command, path)
    assert result.returncode == 2
    assert result.stderr.splitlines() == refused(path, *detail)
    assert result.stdout == ""


def test_an_unreadable_file_exits_2(tmp_path):
    missing = str(tmp_path / "missing.json")
    result = ostrel("check", missing)
    assert result.returncode == 2
    assert result.stderr.splitlines() == [
        f"ostrel: cannot read {missing}: No such file or directory"
    ]


def test_check_accepts_a_document_and_describes_it(tmp_path):
    doc = run_doc(
        "127.0.0.1:5432",
        [
            {"name": "calm", "duration": "1m 30s", "proxies": []},
            {
                "name": "dark",
                "proxies": [{"proxy": "db", "faults": [{"type": "blackhole", "flow": "both"}]}],
            },
        ],
    )
    path = write(tmp_path, doc)
    result = ostrel("check", path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        f'{path}: valid run "cli-run"',
        "  db tcp 127.0.0.1:0 -> 127.0.0.1:5432",
        "  phase 1/2 calm (1m 30s): no faults",
        "  phase 2/2 dark (until stopped): db: blackhole",
    ]


def test_usage_errors_exit_2_and_help_documents_exit_codes():
    assert ostrel("run").returncode == 2
    assert ostrel("frobnicate").returncode == 2
    helped = ostrel("run", "--help")
    assert helped.returncode == 0
    assert "130  interrupted by Ctrl-C (SIGINT); 143 stopped by SIGTERM" in helped.stdout


class Cli:
    """A running `ostrel` process whose output lines can be awaited."""

    def __init__(self, process):
        self.process = process
        self.lines = []

    @classmethod
    async def start(cls, *args):
        process = await asyncio.create_subprocess_exec(
            *COMMAND, *args, stdout=asyncio.subprocess.PIPE, stderr=asyncio.subprocess.PIPE
        )
        return cls(process)

    async def line_matching(self, pattern):
        while True:
            raw = await asyncio.wait_for(self.process.stdout.readline(), WAIT)
            assert raw, f"no line matched {pattern!r}; output so far: {self.lines}"
            line = raw.decode().rstrip("\n")
            self.lines.append(line)
            if match := re.search(pattern, line):
                return match

    async def finish(self):
        out, err = await asyncio.wait_for(self.process.communicate(), 30)
        self.lines.extend(out.decode().splitlines())
        return self.process.returncode, err.decode()


async def connect(match):
    host, port = match.group(1), int(match.group(2))
    return await asyncio.wait_for(asyncio.open_connection(host, port), WAIT)


ENDPOINT = r"^  db tcp (127\.0\.0\.1):(\d+) -> "


async def test_run_shows_progress_records_and_summary_and_keeps_every_record(tmp_path):
    async with EchoServer() as echo:
        phases = [
            {"name": "first", "duration": "700ms", "proxies": []},
            {"name": "second", "duration": "300ms", "proxies": []},
        ]
        path = write(tmp_path, run_doc(echo.address, phases))
        out = tmp_path / "records.jsonl"
        cli = await Cli.start(
            "run", path, "--records", "--records-out", str(out), "--interval", "0.1"
        )
        endpoint = await cli.line_matching(ENDPOINT)
        reader, writer = await connect(endpoint)
        writer.write(b"hello")
        assert await asyncio.wait_for(reader.readexactly(5), WAIT) == b"hello"
        writer.close()
        # A second client stays connected past the end of the run: shutdown cancels it, and
        # its record must still reach the file.
        _, lingering = await connect(endpoint)
        code, err = await cli.finish()
        lingering.close()
    assert code == 0, err
    text = "\n".join(cli.lines)
    assert "phase 1/2 first (0.7s)" in cli.lines
    assert "phase 2/2 second (0.3s)" in cli.lines
    assert re.search(r"^first 1/2 \d+\.\ds left \| tcp \d+ open \d+ done 0 failed", text, re.M)
    assert re.search(r"^tcp db 127\.0\.0\.1:\d+ -> .*: completed, 5 B up, 5 B down$", text, re.M)
    assert 'run "cli-run" completed' in text
    assert re.search(r"^tcp: 2 connections, ", text, re.M)
    records = [json.loads(line) for line in out.read_text().splitlines()]
    outcomes = sorted(r["stream"]["outcome"] for r in records)
    assert outcomes == ["cancelled", "completed"]


async def test_json_prints_the_raw_report_alone_on_stdout(tmp_path):
    async with EchoServer() as echo:
        path = write(
            tmp_path, run_doc(echo.address, [{"name": "a", "duration": "200ms", "proxies": []}])
        )
        cli = await Cli.start("run", path, "--json")
        code, err = await cli.finish()
    assert code == 0, err
    assert len(cli.lines) == 1
    report = json.loads(cli.lines[0])
    assert report["run_name"] == "cli-run"
    assert report["outcome"] == {"type": "success"}
    assert "phase 1/1 a (0.2s)" in err.splitlines()


@pytest.mark.parametrize("sig, code", [(signal.SIGINT, 130), (signal.SIGTERM, 143)])
async def test_a_signal_shuts_down_cleanly_and_still_prints_the_summary(tmp_path, sig, code):
    async with EchoServer() as echo:
        phases = [{"name": "forever", "proxies": []}]
        path = write(tmp_path, run_doc(echo.address, phases))
        out = tmp_path / "records.jsonl"
        cli = await Cli.start("run", path, "--records-out", str(out))
        reader, writer = await connect(await cli.line_matching(ENDPOINT))
        await cli.line_matching(r"^phase 1/1 forever \(until stopped\)$")
        writer.write(b"held")
        assert await asyncio.wait_for(reader.readexactly(4), WAIT) == b"held"
        cli.process.send_signal(sig)
        returned, err = await cli.finish()
        writer.close()
    assert returned == code, err
    assert "interrupted: the engine has been shut down" in cli.lines
    assert any(re.match(r"tcp: 1 connections, 1 finished, 0 failed", line) for line in cli.lines)
    [record] = [json.loads(line) for line in out.read_text().splitlines()]
    assert record["stream"]["outcome"] == "cancelled"
    assert record["stream"]["bytes_to_upstream"] == 4


def test_on_a_terminal_the_progress_line_is_redrawn_in_place(tmp_path):
    phases = [{"name": "short", "duration": "800ms", "proxies": []}]
    path = write(tmp_path, run_doc("127.0.0.1:1", phases))
    leader, follower = pty.openpty()
    process = subprocess.Popen([*COMMAND, "run", path], stdout=follower, stderr=subprocess.PIPE)
    os.close(follower)
    chunks, deadline = [], time.monotonic() + 30
    try:
        while time.monotonic() < deadline:
            if not select.select([leader], [], [], 1)[0]:
                continue
            try:
                data = os.read(leader, 4096)
            except OSError:  # the child has closed the terminal
                break
            if not data:
                break
            chunks.append(data)
        assert process.wait(timeout=WAIT) == 0
    finally:
        os.close(leader)
        process.kill()
        process.stderr.close()
    text = b"".join(chunks).decode()
    assert "phase 1/1 short (0.8s)" in text
    assert re.search(r"\r\x1b\[K\[#*-+\] short 1/1 0\.\ds left \| tcp 0 open 0 done", text)
    live = text.split("phase 1/1 short (0.8s)\r\n", 1)[1].split('run "cli-run" completed', 1)[0]
    # Several updates, all in place: none of them starts a new line.
    assert live.count("\r\x1b[K") >= 2 and "\n" not in live


def test_an_engine_that_cannot_start_exits_1(tmp_path):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        proxy = tcp_proxy("127.0.0.1:1", listen=f"127.0.0.1:{port}")
        path = write(tmp_path, run_doc(None, one_phase("db"), proxies=[proxy]))
        result = ostrel("run", path)
    assert result.returncode == 1
    [line] = result.stderr.splitlines()
    assert line.startswith("ostrel: the engine could not start: ")


def demo_phases(stdout):
    """The demo's output split into phases: name -> the lines reported for it."""
    phases, current = {}, None
    for line in stdout.splitlines():
        if match := re.match(r"phase \d+/\d+ (\S+) ", line):
            current = phases.setdefault(match.group(1), [])
        elif current is not None and line.startswith("  "):
            current.append(line)
        elif line.startswith("engine totals"):
            current = None
    return phases


def counted(lines, pattern):
    for line in lines:
        if match := re.search(pattern, line):
            return int(match.group(1))
    raise AssertionError(f"{pattern!r} not in {lines}")


def test_the_demo_shows_every_fault_and_exits_0():
    result = ostrel("demo", "--time-scale", "0.2")
    assert result.returncode == 0, result.stderr
    phases = demo_phases(result.stdout)
    assert list(phases) == [
        "baseline",
        "latency",
        "jitter",
        "bandwidth",
        "blackhole",
        "connection-reset",
        "dns-refused",
        "dns-nx-domain",
        "dns-timeout",
        "recovery",
    ]
    assert counted(phases["baseline"], r"over (\d+) probes") > 0
    assert counted(phases["blackhole"], r"(\d+) timeouts") > 0
    assert counted(phases["blackhole"], r"blackholes \+(\d+)") > 0
    assert counted(phases["connection-reset"], r"(\d+) resets,") > 0
    assert counted(phases["connection-reset"], r"resets \+(\d+)") > 0
    assert counted(phases["latency"], r"latency \+(\d+)") > 0
    assert counted(phases["dns-refused"], r"REFUSED (\d+)") > 0
    assert counted(phases["dns-nx-domain"], r"NXDOMAIN (\d+)") > 0
    assert counted(phases["dns-timeout"], r"no answer \(timeout\) (\d+)") > 0
    assert counted(phases["baseline"], r"NOERROR (\d+)") > 0
    assert re.search(r"^engine totals \(\d+ transport records\):$", result.stdout, re.M)


def test_the_printed_demo_document_is_accepted_and_runs_with_config(tmp_path):
    printed = ostrel("demo", "--print-config")
    assert printed.returncode == 0
    doc = json.loads(printed.stdout)
    _ostrel.Engine(printed.stdout)
    assert [p["duration"] for p in doc["phases"]][:2] == ["3s", "4s"]
    short = {
        "schema_version": 1,
        "name": "short",
        "proxies": doc["proxies"],
        "phases": [
            {
                "name": "refusing",
                "duration": "300ms",
                "proxies": [
                    {"proxy": "resolver", "faults": [{"type": "dns", "case": "serv-fail"}]}
                ],
            },
        ],
    }
    result = ostrel("demo", "--config", write(tmp_path, short))
    assert result.returncode == 0, result.stderr
    assert counted(demo_phases(result.stdout)["refusing"], r"SERVFAIL (\d+)") > 0
