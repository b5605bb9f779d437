"""`ostrel demo`: every fault, phase by phase, against services the demo starts itself.

A TCP echo service and a DNS-style UDP service listen on loopback; the engine sits in front of
both; clients measure round trips, throughput and DNS answers through the proxies while a timed
run walks the phases; after each phase the clients' view is shown next to the engine's counters.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import socket
import struct
import sys
from collections import Counter
from dataclasses import dataclass, field
from typing import Any, cast

import _ostrel

from . import _display, cli

JsonObject = dict[str, Any]

# Upstreams written into the printed document; the demo points its proxies at its own services.
ECHO_UPSTREAM = "127.0.0.1:7"
DNS_UPSTREAM = "127.0.0.1:53"
ANSWER_ADDRESS = bytes([127, 0, 0, 1])
QUERY_NAME = "demo.ostrel.test"

PROBE_BYTES = 64
PROBE_PAUSE = 0.02  # seconds between two round-trip probes of one client
BULK_CHUNK = 4096
BULK_WINDOW = 16384  # bytes a bulk client keeps in flight
BULK_RATE = 1024 * 1024  # bytes per second a bulk client offers, so the demo stays light
POLL = 0.1  # seconds a bulk read waits before the client looks again

HISTOGRAM_MS = [1, 5, 20, 50, 100, 250, 500, 1000]


def _latency(distribution: JsonObject) -> JsonObject:
    return {"type": "latency", "flow": "to-client", "distribution": distribution}


def _dns(case: str) -> JsonObject:
    return {"proxy": "resolver", "faults": [{"type": "dns", "case": case}]}


def _echo(*faults: JsonObject) -> JsonObject:
    return {"proxy": "echo", "faults": list(faults)}


# (name, seconds, faults per proxy)
PHASES: list[tuple[str, float, list[JsonObject]]] = [
    ("baseline", 3, []),
    (
        "latency",
        4,
        [
            _echo(
                _latency(
                    {
                        "type": "pareto-normal",
                        "pareto_shape": 1.5,
                        "pareto_scale_ms": 10,
                        "normal_mean_ms": 5,
                        "normal_stddev_ms": 2,
                    }
                )
            ),
            {
                "proxy": "resolver",
                "faults": [_latency({"type": "uniform", "min_ms": 20, "max_ms": 40})],
            },
        ],
    ),
    (
        "jitter",
        3,
        [
            _echo(
                {
                    "type": "jitter",
                    "flow": "both",
                    "min_delay_ms": 5,
                    "max_delay_ms": 60,
                    "probability": 0.5,
                }
            )
        ],
    ),
    (
        "bandwidth",
        4,
        [_echo({"type": "bandwidth", "flow": "to-client", "bytes_per_second": 65536})],
    ),
    (
        "blackhole",
        3,
        [
            _echo({"type": "blackhole", "flow": "to-client"}),
            {"proxy": "resolver", "faults": [{"type": "blackhole", "flow": "to-upstream"}]},
        ],
    ),
    (
        "connection-reset",
        3,
        [_echo({"type": "connection-reset", "flow": "to-upstream", "probability": 0.5})],
    ),
    ("dns-refused", 2, [_dns("refused")]),
    ("dns-nx-domain", 2, [_dns("nx-domain")]),
    ("dns-timeout", 2, [_dns("timeout")]),
    ("recovery", 2, []),
]


def _duration(seconds: float, scale: float) -> str:
    if scale == 1.0 and float(seconds).is_integer():
        return f"{int(seconds)}s"
    return f"{max(1, round(seconds * scale * 1000))}ms"


def document(scale: float = 1.0) -> JsonObject:
    return {
        "schema_version": 1,
        "name": "ostrel-demo",
        "proxies": [
            {"name": "echo", "protocol": "tcp", "listen": "127.0.0.1:0", "upstream": ECHO_UPSTREAM},
            {
                "name": "resolver",
                "protocol": "udp",
                "listen": "127.0.0.1:0",
                "upstream": DNS_UPSTREAM,
            },
        ],
        "phases": [
            {"name": name, "duration": _duration(seconds, scale), "proxies": proxies}
            for name, seconds, proxies in PHASES
        ],
    }


# The demo's services.


async def _echo_client(reader: asyncio.StreamReader, writer: asyncio.StreamWriter) -> None:
    try:
        while data := await reader.read(65536):
            writer.write(data)
            await writer.drain()
    except OSError:
        pass
    finally:
        writer.close()


def question_end(datagram: bytes) -> int | None:
    """Offset just past the question of a one-question DNS message, if it has one."""
    if len(datagram) < 12 or struct.unpack_from("!H", datagram, 4)[0] != 1:
        return None
    p = 12
    while True:
        if p >= len(datagram):
            return None
        length = datagram[p]
        if length == 0:
            end = p + 1
            break
        if length >= 0xC0:
            end = p + 2
            break
        if length > 63:
            return None
        p += 1 + length
    end += 4
    return end if end <= len(datagram) else None


def dns_answer(query: bytes) -> bytes | None:
    end = question_end(query)
    if end is None:
        return None
    flags = 0x8180 | (query[2] << 8 & 0x0100)  # a response that keeps "recursion desired"
    header = struct.pack("!HHHHHH", struct.unpack_from("!H", query)[0], flags, 1, 1, 0, 0)
    record = b"\xc0\x0c" + struct.pack("!HHIH", 1, 1, 60, 4) + ANSWER_ADDRESS
    return header + query[12:end] + record


class DnsService(asyncio.DatagramProtocol):
    def __init__(self) -> None:
        self.transport: asyncio.DatagramTransport | None = None

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport = cast(asyncio.DatagramTransport, transport)

    def datagram_received(self, data: bytes, addr: tuple[str | Any, int]) -> None:
        answer = dns_answer(data)
        if answer is not None and self.transport is not None:
            self.transport.sendto(answer, addr)


def dns_query(query_id: int) -> bytes:
    name = b"".join(bytes([len(label)]) + label.encode() for label in QUERY_NAME.split("."))
    return struct.pack("!HHHHHH", query_id, 0x0100, 1, 0, 0, 0) + name + b"\0\x00\x01\x00\x01"


def classify_answer(answer: bytes, query_id: int) -> str | None:
    """What a client makes of a DNS answer; None for an answer to some other query."""
    if len(answer) < 12:
        return "malformed"
    answer_id, flags, _, answers = struct.unpack_from("!HHHH", answer)
    if answer_id != query_id:
        return None
    if flags & 0x0200:
        return "TRUNCATED"
    rcode = flags & 0x000F
    if rcode != 0:
        return {2: "SERVFAIL", 3: "NXDOMAIN", 5: "REFUSED"}.get(rcode, f"RCODE {rcode}")
    if answers == 0:
        return "NOERROR (no answer)"
    if answer[-4:] != ANSWER_ADDRESS:
        return "NOERROR (other address)"
    return "NOERROR"


# What the clients saw.


def percentile(ordered: list[float], share: float) -> float:
    index = min(len(ordered) - 1, max(0, round(share * len(ordered) + 0.5) - 1))
    return ordered[index]


def histogram_lines(rtts_ms: list[float], width: int = 30) -> list[str]:
    bounds = HISTOGRAM_MS + [float("inf")]
    counts = [0] * len(bounds)
    for value in rtts_ms:
        counts[next(i for i, bound in enumerate(bounds) if value < bound)] += 1
    most = max(counts) if rtts_ms else 0
    lines = []
    low = 0.0
    for bound, count in zip(bounds, counts):
        label = f"{low:g}-{bound:g} ms" if bound != float("inf") else f">={low:g} ms"
        low = bound
        if count:
            bar = "#" * max(1, round(count * width / most))
            lines.append(f"      {label:>12} {bar} {count}")
    return lines


@dataclass
class PhaseView:
    message: JsonObject
    began: float
    status: JsonObject | None = None
    rtts_ms: list[float] = field(default_factory=list)
    timeouts: int = 0
    resets: int = 0
    errors: int = 0
    bulk_bytes: int = 0
    answers: Counter[str] = field(default_factory=Counter)

    @property
    def duration(self) -> float | None:
        return _display.phase_duration(self.message)

    def op_timeout(self) -> float:
        # Short enough that a blackhole phase shows several timeouts even when the first probe
        # of the phase starts late (a probe of the phase before may still be waiting), long
        # enough for latency.
        duration = self.duration
        return 1.0 if duration is None else max(0.15, min(1.0, duration / 4))


def _delta(now: JsonObject, before: JsonObject | None, group: str, key: str) -> int:
    value: int = now[group][key] - (before[group][key] if before else 0)
    return value


def phase_report(view: PhaseView, ended: float, status: JsonObject) -> list[str]:
    lines = []
    if view.rtts_ms or view.timeouts or view.resets or view.errors:
        ordered = sorted(view.rtts_ms)
        if ordered:
            rtt = (
                f"round trip p50 {percentile(ordered, 0.5):.1f} ms,"
                f" p99 {percentile(ordered, 0.99):.1f} ms over {len(ordered)} probes"
            )
        else:
            rtt = "no round trip completed"
        lines.append(
            f"  tcp clients: {rtt}; {view.timeouts} timeouts, {view.resets} resets,"
            f" {view.errors} errors"
        )
        lines.extend(histogram_lines(ordered))
    elapsed = max(ended - view.began, 1e-3)
    lines.append(f"  tcp clients: throughput {_display.size(view.bulk_bytes / elapsed)}/s")
    if view.answers:
        total = sum(view.answers.values())
        codes = ", ".join(f"{code} {count}" for code, count in sorted(view.answers.items()))
        lines.append(f"  dns clients: {total} queries: {codes}")
    before = view.status
    effects = status["effects"]
    latency = _delta(status, before, "effects", "latency_applications")
    lines.append(
        f"  engine: tcp +{_delta(status, before, 'tcp', 'opened')} opened,"
        f" +{_delta(status, before, 'tcp', 'failed')} failed;"
        f" udp +{_delta(status, before, 'udp', 'started')} exchanges,"
        f" +{_delta(status, before, 'udp', 'failed')} failed;"
        f" latency +{latency}, jitter +{_delta(status, before, 'effects', 'jitter_applications')},"
        f" blackholes +{_delta(status, before, 'effects', 'blackhole_activations')},"
        f" resets +{_delta(status, before, 'effects', 'connection_resets')},"
        f" dns +{_delta(status, before, 'effects', 'dns_interventions')}"
        f" (average latency so far {effects['average_latency_ms']:.1f} ms)"
    )
    return lines


class Demo:
    def __init__(self, engine: _ostrel.Engine, document: Any) -> None:
        self.engine = engine
        self.document = document
        self.current: PhaseView | None = None
        self.stopping = False
        self.records = 0
        self.loop = asyncio.get_running_loop()

    def timeout(self) -> float:
        return self.current.op_timeout() if self.current else 1.0

    async def probe(self, host: str, port: int) -> None:
        payload = os.urandom(PROBE_BYTES)
        while not self.stopping:
            view, timeout = self.current, self.timeout()
            writer: asyncio.StreamWriter | None = None
            try:
                async with asyncio.timeout(timeout):
                    reader, writer = await asyncio.open_connection(host, port)
                began = self.loop.time()
                writer.write(payload)
                async with asyncio.timeout(timeout):
                    echoed = await reader.readexactly(len(payload))
                took = (self.loop.time() - began) * 1000
                if view is not None:
                    if echoed == payload:
                        view.rtts_ms.append(took)
                    else:
                        view.errors += 1
            except TimeoutError:
                if view is not None:
                    view.timeouts += 1
            except (asyncio.IncompleteReadError, ConnectionResetError):
                if view is not None:
                    view.resets += 1
            except OSError:
                if view is not None:
                    view.errors += 1
            finally:
                if writer is not None:
                    writer.transport.abort()
            await asyncio.sleep(PROBE_PAUSE)

    async def bulk(self, host: str, port: int) -> None:
        chunk = b"x" * BULK_CHUNK
        while not self.stopping:
            writer: asyncio.StreamWriter | None = None
            try:
                async with asyncio.timeout(self.timeout()):
                    reader, writer = await asyncio.open_connection(host, port)
                in_flight, sent, began = 0, 0, self.loop.time()
                while not self.stopping:
                    ahead = sent / BULK_RATE - (self.loop.time() - began)
                    if in_flight < BULK_WINDOW and ahead <= 0:
                        writer.write(chunk)
                        in_flight += len(chunk)
                        sent += len(chunk)
                    try:
                        async with asyncio.timeout(POLL if ahead <= 0 else min(POLL, ahead)):
                            data = await reader.read(65536)
                    except TimeoutError:
                        continue
                    if not data:
                        break
                    in_flight -= len(data)
                    if self.current is not None:
                        self.current.bulk_bytes += len(data)
            except (OSError, TimeoutError):
                pass
            finally:
                if writer is not None:
                    writer.transport.abort()
            await asyncio.sleep(PROBE_PAUSE)

    async def resolve(self, host: str, port: int) -> None:
        family = socket.AF_INET6 if ":" in host else socket.AF_INET
        with socket.socket(family, socket.SOCK_DGRAM) as sock:
            sock.setblocking(False)
            await self.loop.sock_connect(sock, (host, port))
            query_id = 0
            while not self.stopping:
                view, timeout = self.current, self.timeout()
                query_id = (query_id + 1) & 0xFFFF
                outcome = "no answer (timeout)"
                try:
                    await self.loop.sock_sendall(sock, dns_query(query_id))
                    async with asyncio.timeout(timeout):
                        outcome = await self._answer(sock, query_id)
                except TimeoutError:
                    pass
                except OSError as error:
                    outcome = f"error ({error.strerror})"
                if view is not None:
                    view.answers[outcome] += 1
                await asyncio.sleep(PROBE_PAUSE * 2)

    async def _answer(self, sock: socket.socket, query_id: int) -> str:
        # Answers to earlier queries that timed out may still arrive; they are skipped.
        while True:
            outcome = classify_answer(await self.loop.sock_recv(sock, 4096), query_id)
            if outcome is not None:
                return outcome

    def clients(self, endpoints: JsonObject) -> list[asyncio.Task[None]]:
        tasks = []
        for address in endpoints["tcp"]:
            host, port = _split(address)
            tasks.append(asyncio.ensure_future(self.probe(host, port)))
            tasks.append(asyncio.ensure_future(self.bulk(host, port)))
        for address in endpoints["udp"]:
            host, port = _split(address)
            tasks.append(asyncio.ensure_future(self.resolve(host, port)))
        return tasks

    async def count_records(self) -> None:
        # Read so that the engine's record queue never overflows; the counters say the rest.
        while await self.engine.next_record() is not None:
            self.records += 1

    async def status(self) -> JsonObject:
        status: JsonObject = json.loads(await self.engine.status())
        return status

    async def follow(self) -> None:
        """Starts a new view at every phase the run begins, and reports on the one it ends."""
        while (text := await self.engine.next_progress()) is not None:
            message = json.loads(text)
            ended, previous = self.loop.time(), self.current
            self.current = PhaseView(message, ended)
            try:
                status = await self.status()
            except RuntimeError:
                return  # the run ended and the engine is shutting down
            self.current.status = status
            if previous is not None:
                self.report(previous, ended, status)
            print(_display.phase_header(message) + ": " + _faults_text(message["proxies"]))
            sys.stdout.flush()

    def report(self, view: PhaseView, ended: float, status: JsonObject) -> None:
        for line in phase_report(view, ended, status):
            print(line)
        sys.stdout.flush()


def _split(address: str) -> tuple[str, int]:
    host, port = address.rsplit(":", 1)
    return host.strip("[]"), int(port)


def _faults_text(proxies: list[JsonObject]) -> str:
    if not proxies:
        return "no faults"
    return "; ".join(
        f"{entry['proxy']}: " + (", ".join(_fault_text(f) for f in entry["faults"]) or "no faults")
        for entry in proxies
    )


def _fault_text(fault: JsonObject) -> str:
    kind = fault["type"]
    if kind == "dns":
        return f"dns {fault['case']}"
    if kind == "latency":
        return f"latency {fault['distribution']['type']} {fault['flow']}"
    if kind == "bandwidth":
        return f"bandwidth {_display.size(fault['bytes_per_second'])}/s {fault['flow']}"
    if "probability" in fault:
        return f"{kind} {fault['flow']} p={fault['probability']:g}"
    return f"{kind} {fault['flow']}"


def _point_upstreams(doc: Any, echo: str, resolver: str) -> None:
    try:
        for proxy in cli._field(doc, "proxies", 2):
            protocol = cli._tag(cli._field(proxy, "protocol", 1))
            address = echo if protocol == "tcp" else resolver
            if isinstance(proxy, dict):
                proxy["upstream"] = address
            else:
                proxy[3] = address
    except (KeyError, IndexError, TypeError, StopIteration):
        pass  # not a run document; the engine's reader says why


async def _demo(doc: Any) -> int:
    loop = asyncio.get_running_loop()
    echo_server = await asyncio.start_server(_echo_client, "127.0.0.1", 0)
    dns_transport, _ = await loop.create_datagram_endpoint(DnsService, local_addr=("127.0.0.1", 0))
    try:
        echo_address = "127.0.0.1:%d" % echo_server.sockets[0].getsockname()[1]
        dns_address = "127.0.0.1:%d" % dns_transport.get_extra_info("sockname")[1]
        _point_upstreams(doc, echo_address, dns_address)
        try:
            engine = _ostrel.Engine(json.dumps(doc))
        except ValueError as error:
            for line in _display.refusal_lines("demo document", str(error)):
                print(line, file=sys.stderr)
            return cli.EXIT_DOCUMENT
        return await _drive(engine, doc)
    finally:
        echo_server.close()
        dns_transport.close()


async def _drive(engine: _ostrel.Engine, doc: Any) -> int:
    stop = cli.Stop(asyncio.get_running_loop())
    try:
        try:
            endpoints = json.loads(await engine.start())
        except RuntimeError as error:
            print(f"ostrel: the engine could not start: {error}", file=sys.stderr)
            return cli.EXIT_ENGINE
        print("ostrel demo: an echo service (tcp) and a DNS-style service (udp) on loopback,")
        print("the engine in front of them; clients probe through every proxy:")
        for line in cli.proxy_lines(doc, endpoints):
            print(line)
        demo = Demo(engine, doc)
        follower = asyncio.ensure_future(demo.follow())
        counter = asyncio.ensure_future(demo.count_records())
        clients = demo.clients(endpoints)
        run: asyncio.Future[str] = engine.run()
        stop.target = run
        if stop.code is not None:
            run.cancel()  # the signal came while the engine was starting
        failure: str | None = None
        report: JsonObject | None = None
        try:
            report = json.loads(await run)
        except asyncio.CancelledError:
            if stop.code is None:
                raise
        except RuntimeError as error:
            failure = str(error)
        stop.target = None
        ended = asyncio.get_running_loop().time()
        demo.stopping = True
        for task in clients:
            task.cancel()
        await asyncio.wait(clients, timeout=cli.DRAIN_PATIENCE)
        if demo.current is not None and report is not None:
            demo.report(demo.current, ended, report["transport"]["status"])
        try:
            summary = json.loads(await cli.shutdown(engine))
        except RuntimeError as error:
            print(f"ostrel: the engine did not shut down cleanly: {error}", file=sys.stderr)
            return cli.EXIT_ENGINE
        finally:
            # Progress ends by itself after shutdown; left pending, its operation would still
            # be running when the interpreter exits.
            _, pending = await asyncio.wait([follower, counter], timeout=cli.DRAIN_PATIENCE)
            for task in pending:
                task.cancel()
        if failure is not None:
            print(f"ostrel: the run failed: {failure}", file=sys.stderr)
        elif report is None:
            print("interrupted: the engine has been shut down")
        print(f"engine totals ({demo.records} transport records):")
        for line in _display.summary_lines(summary):
            print("  " + line)
        if failure is not None:
            return cli.EXIT_ENGINE
        return stop.code if stop.code is not None else cli.EXIT_OK
    finally:
        stop.close()


def main(args: argparse.Namespace) -> int:
    if not args.time_scale > 0:
        print("ostrel: --time-scale must be greater than zero", file=sys.stderr)
        return cli.EXIT_DOCUMENT
    if args.print_config:
        print(json.dumps(document(args.time_scale), indent=2))
        return cli.EXIT_OK
    doc: Any
    if args.config is not None:
        text = cli.read_document(args.config)
        if text is None:
            return cli.EXIT_DOCUMENT
        try:
            doc = json.loads(text)
        except ValueError:
            # The engine's reader says where the text goes wrong.
            loaded = cli.load_engine(args.config)
            return loaded if isinstance(loaded, int) else cli.EXIT_DOCUMENT
    else:
        doc = document(args.time_scale)
    return asyncio.run(_demo(doc))
