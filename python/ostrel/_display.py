"""Text the command line shows: refusals, endpoints, live progress, records and summaries."""

from __future__ import annotations

import re
import time
from dataclasses import dataclass
from typing import Any, TextIO

JsonObject = dict[str, Any]

# A validation refusal is "path: message. Hint." and the path only ever starts at the two lists
# of the document; reader errors ("missing field `x` at line 1 column 2") carry no path.
_PATH = re.compile(r"((?:proxies|phases)(?:\[\d+\]|\.[A-Za-z_]+)*): (.*)", re.DOTALL)
# The hint is the last capitalised sentence; names quoted in the message may hold ". X" too,
# which is why the split takes the last match and not the first.
_HINT = re.compile(r"\. (?=[A-Z])")


@dataclass(frozen=True)
class Refusal:
    path: str | None
    message: str
    hint: str | None


def parse_refusal(text: str) -> Refusal:
    match = _PATH.fullmatch(text)
    if match is None:
        return Refusal(None, text, None)
    path, rest = match.group(1), match.group(2)
    splits = list(_HINT.finditer(rest))
    if not splits:
        return Refusal(path, rest, None)
    cut = splits[-1]
    return Refusal(path, rest[: cut.start() + 1], rest[cut.end() :])


def refusal_lines(source: str, text: str) -> list[str]:
    refusal = parse_refusal(text)
    lines = [f"{source}: refused"]
    if refusal.path is not None:
        lines.append(f"  path:    {refusal.path}")
    lines.append(f"  message: {refusal.message}")
    if refusal.hint is not None:
        lines.append(f"  hint:    {refusal.hint}")
    return lines


def size(count: float) -> str:
    if count < 1024:
        return f"{count:.0f} B"
    if count < 1024 * 1024:
        return f"{count / 1024:.1f} KiB"
    return f"{count / (1024 * 1024):.1f} MiB"


def seconds(value: float) -> str:
    if value >= 60:
        return f"{int(value // 60)}m {value % 60:04.1f}s"
    return f"{value:.1f}s"


def phase_duration(message: JsonObject) -> float | None:
    ms = message.get("phase_duration_ms")
    return None if ms is None else ms / 1000.0


def phase_header(message: JsonObject) -> str:
    duration = phase_duration(message)
    length = "until stopped" if duration is None else seconds(duration)
    return (
        f"phase {message['phase_index']}/{message['phase_count']} "
        f"{message['phase_name']} ({length})"
    )


def counters(status: JsonObject) -> str:
    tcp, udp, effects = status["tcp"], status["udp"], status["effects"]
    return (
        f"tcp {tcp['active']} open {tcp['completed']} done {tcp['failed']} failed"
        f" | udp {udp['active']} open {udp['completed']} done {udp['failed']} failed"
        f" | latency {effects['latency_applications']} jitter {effects['jitter_applications']}"
        f" blackhole {effects['blackhole_activations']} reset {effects['connection_resets']}"
        f" dns {effects['dns_interventions']}"
    )


def record_line(record: JsonObject) -> str:
    if record["type"] == "tcp-stream":
        body = record["stream"]
        kind, sent, received = "tcp", body["bytes_to_upstream"], body["bytes_to_client"]
    else:
        body = record["exchange"]
        kind, sent, received = "udp", body["request_bytes"], body["response_bytes"]
    faults = body["faults"]
    effects = []
    for name in ("latency", "jitter"):
        if faults[name]["applications"]:
            effects.append(f"{name} {faults[name]['total_delay_ms']:.1f}ms")
    for key, name in (
        ("bandwidth_bytes_limited", "limited"),
        ("blackhole_activations", "blackhole"),
        ("connection_resets", "reset"),
        ("dns_interventions", "dns"),
    ):
        if faults[key]:
            effects.append(f"{name} {faults[key]}")
    line = (
        f"{kind} {body['proxy']} {body['peer']} -> {body['upstream']}: {body['outcome']},"
        f" {sent} B up, {received} B down"
    )
    if effects:
        line += ", " + ", ".join(effects)
    failure = body["failure"]
    if failure is not None:
        line += f" ({failure['stage']} {failure['category']}: {failure['message']})"
    return line


def summary_lines(summary: JsonObject) -> list[str]:
    status = summary["status"]
    tcp, udp, effects = status["tcp"], status["udp"], status["effects"]
    lines = [
        f"tcp: {tcp['opened']} connections, {tcp['completed']} finished, {tcp['failed']} failed,"
        f" {tcp['impacted']} touched by faults; average {tcp['average_bytes_to_upstream']} B up,"
        f" {tcp['average_bytes_to_client']} B down",
        f"udp: {udp['started']} exchanges, {udp['completed']} finished, {udp['failed']} failed,"
        f" {udp['impacted']} touched by faults; average {udp['average_request_bytes']} B request,"
        f" {udp['average_response_bytes']} B response",
        f"effects: latency {effects['latency_applications']}"
        f" (average {effects['average_latency_ms']:.1f} ms),"
        f" jitter {effects['jitter_applications']}"
        f" (average {effects['average_jitter_ms']:.1f} ms),"
        f" bandwidth-limited {size(effects['bandwidth_bytes_limited'])},"
        f" blackholes {effects['blackhole_activations']}, resets {effects['connection_resets']},"
        f" dns {effects['dns_interventions']}",
    ]
    if status["dropped_records"]:
        lines.append(f"dropped records: {status['dropped_records']}")
    failure = status["last_failure"]
    if failure is not None:
        lines.append(
            f"last failure: {failure['stage']} {failure['category']}: {failure['message']}"
        )
    return lines


class Live:
    """Progress of a timed run: one line redrawn in place on a terminal, plain lines otherwise.

    `line` prints a permanent line (a phase start, a record) above the redrawn one.
    """

    BAR_WIDTH = 24

    def __init__(self, out: TextIO, interactive: bool, plain_every: float) -> None:
        self.out = out
        self.interactive = interactive
        self.plain_every = plain_every
        self.phase: JsonObject | None = None
        self.phase_began = 0.0
        self.status: JsonObject | None = None
        self.shown = False
        self.last_plain = 0.0

    def begin_phase(self, message: JsonObject) -> None:
        self.phase = message
        self.phase_began = time.monotonic()
        self.line(phase_header(message))

    def line(self, text: str) -> None:
        self._clear()
        self.out.write(text + "\n")
        self.out.flush()
        self._draw()

    def update(self, status: JsonObject) -> None:
        self.status = status
        if self.interactive:
            self._clear()
            self._draw()
        else:
            now = time.monotonic()
            if now - self.last_plain >= self.plain_every:
                self.last_plain = now
                self.out.write(self._text() + "\n")
                self.out.flush()

    def close(self) -> None:
        self._clear()

    def _clear(self) -> None:
        if self.shown:
            self.out.write("\r\x1b[K")
            self.out.flush()
            self.shown = False

    def _draw(self) -> None:
        if self.interactive and (self.phase is not None or self.status is not None):
            self.out.write(self._text())
            self.out.flush()
            self.shown = True

    def _text(self) -> str:
        parts = []
        if self.phase is not None:
            elapsed = time.monotonic() - self.phase_began
            duration = phase_duration(self.phase)
            phase = self.phase
            where = f"{phase['phase_name']} {phase['phase_index']}/{phase['phase_count']}"
            if duration is None:
                parts.append(f"{where} {seconds(elapsed)} elapsed")
            else:
                share = min(1.0, elapsed / duration) if duration > 0 else 1.0
                filled = int(share * self.BAR_WIDTH)
                bar = "#" * filled + "-" * (self.BAR_WIDTH - filled)
                left = max(0.0, duration - elapsed)
                if self.interactive:
                    parts.append(f"[{bar}] {where} {seconds(left)} left")
                else:
                    parts.append(f"{where} {seconds(left)} left")
        if self.status is not None:
            parts.append(counters(self.status))
        return " | ".join(parts)
