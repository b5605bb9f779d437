"""The `ostrel` command: check a run document, run it with live progress, or run the demo."""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import json
import os
import signal
import sys
from collections.abc import Sequence
from typing import Any, TextIO

import _ostrel

from . import _display

EXIT_OK = 0
EXIT_ENGINE = 1
EXIT_DOCUMENT = 2
EXIT_SIGNAL = {signal.SIGINT: 130, signal.SIGTERM: 143}

# Cancelling an awaited operation ends it on the engine's runtime a moment later; until then it
# still holds the running engine and shutdown answers with this text.
_BUSY = "wait for active engine operations before shutdown"
_SHUTDOWN_PATIENCE = 10.0  # seconds
DRAIN_PATIENCE = 10.0  # seconds to read the records still queued after shutdown

EPILOG = """\
exit status:
  0    the run completed (check: the document is valid; demo: it ran to the end)
  1    the engine failed, for example a listen address was already in use
  2    the document was refused or could not be read, or the command line is wrong
  130  interrupted by Ctrl-C (SIGINT); 143 stopped by SIGTERM. The engine is shut down
       cleanly first and the summary is still printed.
"""


class Stop:
    """Turns SIGINT and SIGTERM into the cancellation of the task doing the work.

    A second signal ends the process at once, for a shutdown that does not finish.
    """

    def __init__(self, loop: asyncio.AbstractEventLoop) -> None:
        self.loop = loop
        self.code: int | None = None
        self.target: asyncio.Future[Any] | None = None
        for sig in EXIT_SIGNAL:
            loop.add_signal_handler(sig, self._signalled, sig)

    def _signalled(self, sig: signal.Signals) -> None:
        if self.code is not None:
            os._exit(EXIT_SIGNAL[sig])
        self.code = EXIT_SIGNAL[sig]
        if self.target is not None:
            self.target.cancel()

    def close(self) -> None:
        for sig in EXIT_SIGNAL:
            self.loop.remove_signal_handler(sig)


def read_document(path: str) -> str | None:
    try:
        if path == "-":
            return sys.stdin.read()
        with open(path, encoding="utf-8") as f:
            return f.read()
    except (OSError, UnicodeDecodeError) as error:
        reason = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
        print(f"ostrel: cannot read {path}: {reason}", file=sys.stderr)
        return None


def load_engine(path: str) -> tuple[_ostrel.Engine, str] | int:
    """The engine for the document at `path`, or the exit code after printing the refusal."""
    text = read_document(path)
    if text is None:
        return EXIT_DOCUMENT
    try:
        return _ostrel.Engine(text), text
    except ValueError as error:
        for line in _display.refusal_lines(path, str(error)):
            print(line, file=sys.stderr)
        return EXIT_DOCUMENT


def _field(record: Any, name: str, index: int) -> Any:
    # Records may also be written as arrays of their values in declared order.
    return record[name] if isinstance(record, dict) else record[index]


def _tag(value: Any) -> str:
    # Enumerations may also be written as {"tag": null}.
    return value if isinstance(value, str) else str(next(iter(value)))


def _fault_type(fault: Any) -> str:
    return str(fault["type"] if isinstance(fault, dict) else fault[0])


def proxy_lines(document: Any, endpoints: dict[str, list[str]] | None = None) -> list[str]:
    """One line per proxy; with `endpoints`, the address each one is bound to."""
    lines = []
    bound = {"tcp": iter(endpoints["tcp"]), "udp": iter(endpoints["udp"])} if endpoints else None
    for proxy in _field(document, "proxies", 2):
        name = _field(proxy, "name", 0)
        protocol = _tag(_field(proxy, "protocol", 1))
        listen = _field(proxy, "listen", 2)
        if bound is not None:
            listen = next(bound[protocol], listen)
        lines.append(f"  {name} {protocol} {listen} -> {_field(proxy, 'upstream', 3)}")
    return lines


def phase_lines(document: Any) -> list[str]:
    phases = _field(document, "phases", 3)
    lines = []
    for index, phase in enumerate(phases, 1):
        duration = phase.get("duration") if isinstance(phase, dict) else phase[1]
        entries = []
        for entry in _field(phase, "proxies", 2):
            kinds = ", ".join(_fault_type(f) for f in _field(entry, "faults", 1)) or "no faults"
            entries.append(f"{_field(entry, 'proxy', 0)}: {kinds}")
        faults = "; ".join(entries) if entries else "no faults"
        length = duration if duration is not None else "until stopped"
        lines.append(
            f"  phase {index}/{len(phases)} {_field(phase, 'name', 0)} ({length}): {faults}"
        )
    return lines


def command_check(args: argparse.Namespace) -> int:
    loaded = load_engine(args.file)
    if isinstance(loaded, int):
        return loaded
    document = json.loads(loaded[1])
    print(f"{args.file}: valid run {json.dumps(_field(document, 'name', 1))}")
    for line in proxy_lines(document) + phase_lines(document):
        print(line)
    return EXIT_OK


async def shutdown(engine: _ostrel.Engine) -> str:
    """Shuts the engine down, waiting for cancelled operations to let go of it first."""
    loop = asyncio.get_running_loop()
    deadline = loop.time() + _SHUTDOWN_PATIENCE
    while True:
        try:
            return await engine.shutdown()
        except RuntimeError as error:
            if str(error) != _BUSY or loop.time() > deadline:
                raise
        await asyncio.sleep(0.02)


class RunCommand:
    def __init__(self, args: argparse.Namespace, engine: _ostrel.Engine, text: str) -> None:
        self.args = args
        self.engine = engine
        self.document = json.loads(text)
        # With --json, standard output carries the report alone.
        self.out: TextIO = sys.stderr if args.json else sys.stdout
        interactive = self.out.isatty()
        self.live = _display.Live(self.out, interactive, plain_every=args.interval)
        self.tick = min(0.25, args.interval) if interactive else args.interval
        self.records_out: TextIO | None = None
        self.finished = asyncio.Event()

    def say(self, text: str) -> None:
        self.live.line(text)

    async def follow_progress(self) -> None:
        while (text := await self.engine.next_progress()) is not None:
            self.live.begin_phase(json.loads(text))

    async def follow_records(self) -> None:
        while (text := await self.engine.next_record()) is not None:
            if self.records_out is not None:
                self.records_out.write(text + "\n")
            if self.args.records:
                self.say(_display.record_line(json.loads(text)))

    async def watch(self) -> None:
        # Ends between two status calls, never inside one, so that no status operation still
        # holds the engine when shutdown comes.
        while not self.finished.is_set():
            try:
                status = json.loads(await self.engine.status())
            except RuntimeError:
                return
            self.live.update(status)
            with contextlib.suppress(asyncio.TimeoutError):
                await asyncio.wait_for(self.finished.wait(), self.tick)

    async def execute(self) -> int:
        if self.args.records_out is not None:
            try:
                self.records_out = open(self.args.records_out, "w", encoding="utf-8")
            except OSError as error:
                print(
                    f"ostrel: cannot write {self.args.records_out}: {error.strerror}",
                    file=sys.stderr,
                )
                return EXIT_DOCUMENT
        try:
            return await self._execute()
        finally:
            if self.records_out is not None:
                self.records_out.close()

    async def _execute(self) -> int:
        loop = asyncio.get_running_loop()
        stop = Stop(loop)
        try:
            return await self._start_and_run(stop)
        finally:
            stop.close()

    async def _start_and_run(self, stop: Stop) -> int:
        start: asyncio.Future[str] = self.engine.start()
        stop.target = start
        try:
            endpoints = json.loads(await start)
        except asyncio.CancelledError:
            if stop.code is None:
                raise
            # A start abandoned half way leaves nothing to shut down.
            return stop.code
        except RuntimeError as error:
            print(f"ostrel: the engine could not start: {error}", file=sys.stderr)
            return EXIT_ENGINE
        name = json.dumps(_field(self.document, "name", 1))
        self.say(f"run {name}: proxies listening")
        for line in proxy_lines(self.document, endpoints):
            self.say(line)

        helpers = [asyncio.ensure_future(self.follow_progress())]
        if self.args.records or self.records_out is not None:
            helpers.append(asyncio.ensure_future(self.follow_records()))
        watcher = asyncio.ensure_future(self.watch())
        run: asyncio.Future[str] = self.engine.run()
        stop.target = run
        if stop.code is not None:
            run.cancel()  # the signal came between start and run
        report: str | None = None
        failure: str | None = None
        try:
            report = await run
        except asyncio.CancelledError:
            if stop.code is None:
                raise
        except RuntimeError as error:
            failure = str(error)
        finally:
            self.finished.set()
            await watcher
        stop.target = None

        try:
            summary = await shutdown(self.engine)
        except RuntimeError as error:
            self.live.close()
            print(f"ostrel: the engine did not shut down cleanly: {error}", file=sys.stderr)
            return EXIT_ENGINE
        finally:
            # After shutdown both queues end, once what is queued has been read.
            done, pending = await asyncio.wait(helpers, timeout=DRAIN_PATIENCE)
            for task in pending:
                task.cancel()
            for task in done:
                task.result()
        self.live.close()
        return self._finish(report, failure, summary, stop.code)

    def _finish(
        self, report: str | None, failure: str | None, summary: str, code: int | None
    ) -> int:
        if report is not None:
            decoded = json.loads(report)
            if self.args.json:
                print(report)
            print(
                f"run {json.dumps(decoded['run_name'])} completed:"
                f" {decoded['started_at']} to {decoded['completed_at']}",
                file=self.out,
            )
            transport = decoded["transport"]
        else:
            if self.args.json:
                print(summary)
            if failure is not None:
                print(f"ostrel: the run failed: {failure}", file=sys.stderr)
            else:
                print("interrupted: the engine has been shut down", file=self.out)
            transport = json.loads(summary)
        for line in _display.summary_lines(transport):
            print(line, file=self.out)
        self.out.flush()
        if failure is not None:
            return EXIT_ENGINE
        return code if code is not None else EXIT_OK


def command_run(args: argparse.Namespace) -> int:
    if args.interval <= 0:
        print("ostrel: --interval must be greater than zero", file=sys.stderr)
        return EXIT_DOCUMENT
    loaded = load_engine(args.file)
    if isinstance(loaded, int):
        return loaded
    engine, text = loaded

    async def main() -> int:
        return await RunCommand(args, engine, text).execute()

    return asyncio.run(main())


def command_demo(args: argparse.Namespace) -> int:
    # Imported here: the demo's servers and clients are of no use to the other commands.
    from . import demo

    return demo.main(args)


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(
        prog="ostrel",
        description="Network fault injection: run documents, live progress and a demo.",
        epilog="""\
commands:
  ostrel check FILE.json        validate a run document
  ostrel run FILE.json          start its proxies, walk its phases, show progress and a summary
  ostrel demo                   a self-contained tour of every fault on loopback (about 30 s)
  ostrel demo --print-config    the demo's run document, to start your own from

""" + EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    check = commands.add_parser(
        "check",
        help="validate a run document",
        description="Validate a run document; a refusal shows the path, the message and a hint.",
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    check.add_argument("file", metavar="FILE.json", help="the run document ('-' reads stdin)")
    check.set_defaults(handler=command_check)

    run = commands.add_parser(
        "run",
        help="run a document's phases with live progress",
        description=(
            "Start the engine on a run document, print the bound endpoints, walk the phases on"
            " their durations with live progress, then shut down and print the summary. A last"
            " phase without a duration lasts until Ctrl-C."
        ),
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    run.add_argument("file", metavar="FILE.json", help="the run document ('-' reads stdin)")
    run.add_argument(
        "--records", action="store_true", help="print one line per finished connection or exchange"
    )
    run.add_argument(
        "--records-out",
        metavar="FILE",
        help="write every transport record to FILE as JSON Lines",
    )
    run.add_argument(
        "--json",
        action="store_true",
        help="print the raw run report (the final summary when interrupted) on stdout;"
        " progress goes to stderr",
    )
    run.add_argument(
        "--interval",
        type=float,
        default=1.0,
        metavar="SECONDS",
        help="seconds between progress lines when the output is not a terminal (default 1)",
    )
    run.set_defaults(handler=command_run)

    demo = commands.add_parser(
        "demo",
        help="a self-contained tour of every fault on loopback",
        description=(
            "Start a TCP echo service and a DNS-style UDP service on loopback, put the engine in"
            " front of them with the demo's run document, drive client traffic through every"
            " proxy and show, phase by phase, what the clients experienced next to the engine's"
            " counters. Needs no file and no outside service; ends by itself."
        ),
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    demo.add_argument(
        "--print-config", action="store_true", help="print the demo's run document and exit"
    )
    demo.add_argument(
        "--time-scale",
        type=float,
        default=1.0,
        metavar="FACTOR",
        help="multiply every phase duration by FACTOR (0.1 runs the demo in about 3 s)",
    )
    demo.add_argument(
        "--config",
        metavar="FILE.json",
        help="run another document instead; its TCP proxies are pointed at the demo's echo"
        " service and its UDP proxies at the demo's DNS service",
    )
    demo.set_defaults(handler=command_demo)
    return top


def main(argv: Sequence[str] | None = None) -> int:
    args = parser().parse_args(argv)
    code: int = args.handler(args)
    return code


if __name__ == "__main__":
    sys.exit(main())
