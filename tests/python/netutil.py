"""Loopback servers and clients for the engine's tests. Everything binds 127.0.0.1 on
ephemeral ports and every wait is bounded."""

import asyncio
import contextlib
import json
import socket

WAIT = 10.0  # seconds any single step may take before a test gives up


def compact(value):
    return json.dumps(value, separators=(",", ":"))


def document(proxies, phases=None, name="test-run"):
    if phases is None:
        phases = [{"name": "only", "proxies": []}]
    return compact({"schema_version": 1, "name": name, "proxies": proxies, "phases": phases})


def tcp_proxy(upstream, name="db", listen="127.0.0.1:0"):
    return {"name": name, "protocol": "tcp", "listen": listen, "upstream": upstream}


def one_phase(proxy, *faults):
    return [{"name": "only", "proxies": [{"proxy": proxy, "faults": list(faults)}]}]


def free_port():
    """A port nothing listens on (bound and released at once)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class EchoServer:
    """A TCP upstream that echoes every byte and half-closes when the client does."""

    def __init__(self):
        self.server = None
        self.connections = 0

    async def __aenter__(self):
        self.server = await asyncio.start_server(self._serve, "127.0.0.1", 0)
        return self

    async def __aexit__(self, *exc):
        self.server.close()
        with contextlib.suppress(Exception):
            await asyncio.wait_for(self.server.wait_closed(), WAIT)

    @property
    def address(self):
        host, port = self.server.sockets[0].getsockname()[:2]
        return f"{host}:{port}"

    async def _serve(self, reader, writer):
        self.connections += 1
        try:
            while data := await reader.read(65536):
                writer.write(data)
                await writer.drain()
            writer.write_eof()
            await writer.drain()
        except (ConnectionError, OSError):
            pass
        finally:
            writer.close()


def endpoint(engine_endpoints, protocol="tcp", index=0):
    host, port = json.loads(engine_endpoints)[protocol][index].rsplit(":", 1)
    return host.strip("[]"), int(port)


async def open_client(address):
    return await asyncio.wait_for(asyncio.open_connection(*address), WAIT)


async def exchange(address, payload):
    """Connects, sends `payload`, half-closes and returns everything read back."""
    reader, writer = await open_client(address)
    try:
        writer.write(payload)
        await writer.drain()
        writer.write_eof()
        return await asyncio.wait_for(reader.read(), WAIT)
    finally:
        writer.close()


async def records(engine, count):
    """The next `count` transport records, decoded."""
    return [json.loads(await asyncio.wait_for(engine.next_record(), WAIT)) for _ in range(count)]
