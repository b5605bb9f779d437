"""Helpers of the reliability tests: process figures, descriptor limits and upstream processes.
Everything stays on 127.0.0.1 and every wait is bounded."""

import asyncio
import contextlib
import json
import os
import resource
import subprocess
import sys

import _ostrel
from netutil import WAIT, endpoint

HERE = os.path.dirname(os.path.abspath(__file__))
UPSTREAM_SCRIPT = os.path.join(HERE, "upstream_server.py")


# Kept open: a test that drives the engine out of descriptors still reads its figures.
_STATM = os.open("/proc/self/statm", os.O_RDONLY)
_PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_bytes():
    """The resident set size of this process now (not its peak)."""
    return int(os.pread(_STATM, 256, 0).split()[1]) * _PAGE


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


@contextlib.contextmanager
def nofile_limit(wanted):
    """Raises this process's descriptor limit to `wanted` for the block. Yields False when the
    hard limit cannot be raised that far (raising it needs CAP_SYS_RESOURCE)."""
    before = resource.getrlimit(resource.RLIMIT_NOFILE)
    soft, hard = before
    try:
        if hard != resource.RLIM_INFINITY and hard < wanted:
            try:
                resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, wanted))
            except (ValueError, OSError):
                yield False
                return
        elif soft == resource.RLIM_INFINITY or soft < wanted:
            resource.setrlimit(resource.RLIMIT_NOFILE, (wanted, hard))
        yield True
    finally:
        with contextlib.suppress(ValueError, OSError):
            resource.setrlimit(resource.RLIMIT_NOFILE, before)


async def started(doc, **kwargs):
    engine = _ostrel.Engine(doc, **kwargs)
    endpoints = await asyncio.wait_for(engine.start(), WAIT)
    return engine, endpoints


class UpstreamProcess:
    """One of upstream_server.py's services in a child process."""

    def __init__(self, *args):
        self.args = [str(a) for a in args]
        self.process = None
        self.port = None
        self.counts = None

    async def __aenter__(self):
        self.process = await asyncio.create_subprocess_exec(
            sys.executable,
            UPSTREAM_SCRIPT,
            *self.args,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
        )
        line = await asyncio.wait_for(self.process.stdout.readline(), WAIT)
        word, port = line.decode().split()
        assert word == "port"
        self.port = int(port)
        return self

    @property
    def address(self):
        return f"127.0.0.1:{self.port}"

    async def stop(self):
        """Ends the service and returns its two counts."""
        if self.counts is None and self.process.returncode is None:
            self.process.stdin.close()
            try:
                out = await asyncio.wait_for(self.process.stdout.read(), WAIT)
                await asyncio.wait_for(self.process.wait(), WAIT)
                words = out.decode().split()
                self.counts = (int(words[1]), int(words[2]))
            except asyncio.TimeoutError:
                self.process.kill()
                await self.process.wait()
        return self.counts

    async def __aexit__(self, *exc):
        await self.stop()


async def drain_records(engine, limit_seconds=WAIT):
    """Every record still queued after shutdown, decoded, until the engine says none will come."""
    out = []
    while True:
        text = await asyncio.wait_for(engine.next_record(), limit_seconds)
        if text is None:
            return out
        out.append(json.loads(text))


def tcp_address(endpoints, index=0):
    return endpoint(endpoints, "tcp", index)


def udp_address(endpoints, index=0):
    return endpoint(endpoints, "udp", index)


def pattern_buffer(period=65521, span=1 << 20):
    """Bytes whose value at i is a function of i modulo a prime period, with `span` bytes of
    slack so any window of up to `span` bytes starting inside one period can be sliced out."""
    one = bytes((i * 7 + (i >> 8)) & 0xFF for i in range(period))
    reps = (period + span) // period + 1
    return memoryview(one * reps), period
