"""Network fault injection for tests written with asyncio.

`ostrel.Engine` wraps the native `_ostrel.Engine`: documents may be given as dicts, JSON results
come back decoded, and records, events and progress can be iterated with `async for`. Errors are
the native ones: ValueError for bad documents and arguments, `PhaseStateError` (a RuntimeError)
for phases in the wrong state, RuntimeError for everything else.

    async with ostrel.Engine(document) as engine:
        endpoints = engine.endpoints()          # {"tcp": ["127.0.0.1:40123"], "udp": []}
        ...
        status = await engine.status()
"""

from __future__ import annotations

import json
from collections.abc import AsyncIterator, Mapping, Sequence
from types import TracebackType
from typing import Any

import _ostrel
from _ostrel import PhaseStateError

__all__ = ["Document", "Engine", "JsonObject", "PhaseStateError"]

JsonObject = dict[str, Any]
"""A decoded JSON object as the engine writes it."""

Document = Mapping[str, Any] | str
"""A run document, either as its JSON text or as the value that JSON text decodes to."""


def _text(value: Any) -> str:
    return value if isinstance(value, str) else json.dumps(value)


def _object(text: str) -> JsonObject:
    value: JsonObject = json.loads(text)
    return value


def _optional_object(text: str | None) -> JsonObject | None:
    return None if text is None else _object(text)


def _list(text: str) -> list[JsonObject]:
    value: list[JsonObject] = json.loads(text)
    return value


class Engine:
    """An engine built from a run document; `async with` starts it and shuts it down.

    The document is read and validated at once: a document the engine cannot use raises
    ValueError with the engine's text. `native` is the underlying `_ostrel.Engine`, for the
    few uses that want the raw JSON text.
    """

    def __init__(self, document: Document, *, event_capacity: int | None = None) -> None:
        self.native = _ostrel.Engine(_text(document), event_capacity)

    async def __aenter__(self) -> Engine:
        await self.start()
        return self

    async def __aexit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        tb: TracebackType | None,
    ) -> None:
        if self.native.alive():
            await self.shutdown()

    # Lifecycle.

    def alive(self) -> bool:
        return self.native.alive()

    def endpoints(self) -> JsonObject:
        return _object(self.native.endpoints())

    def summary(self) -> JsonObject | None:
        return _optional_object(self.native.summary())

    async def start(self) -> JsonObject:
        return _object(await self.native.start())

    async def shutdown(self) -> JsonObject:
        return _object(await self.native.shutdown())

    async def run(self) -> JsonObject:
        return _object(await self.native.run())

    # Observation.

    async def status(self) -> JsonObject:
        return _object(await self.native.status())

    async def snapshot(self) -> JsonObject:
        return _object(await self.native.snapshot())

    async def next_record(self) -> JsonObject | None:
        return _optional_object(await self.native.next_record())

    async def next_event(self, status_interval: float | None = None) -> JsonObject | None:
        return _optional_object(await self.native.next_event(status_interval))

    async def next_progress(self) -> JsonObject | None:
        return _optional_object(await self.native.next_progress())

    async def records(self) -> AsyncIterator[JsonObject]:
        """Every transport record, until the engine has shut down and the queue is empty."""
        while (record := await self.next_record()) is not None:
            yield record

    async def events(self, interval: float | None = None) -> AsyncIterator[JsonObject]:
        """Records, and a status event after every `interval` seconds without one."""
        while (event := await self.next_event(interval)) is not None:
            yield event

    async def progress(self) -> AsyncIterator[JsonObject]:
        """One message per phase a timed run starts, until the engine has shut down."""
        while (message := await self.next_progress()) is not None:
            yield message

    # Faults.

    async def set_faults(self, proxy: str, faults: Sequence[Mapping[str, Any]] | str) -> None:
        await self.native.set_faults(proxy, _text(faults))

    async def active_faults(self) -> list[JsonObject]:
        return _list(await self.native.active_faults())

    # The live phase schedule.

    async def begin_schedule(self) -> None:
        await self.native.begin_schedule()

    async def end_schedule(self) -> bool:
        return await self.native.end_schedule()

    def schedule_active(self) -> bool:
        return self.native.schedule_active()

    async def schedule_add_phase(
        self, name: str, duration: str | None, faults: Sequence[Mapping[str, Any]] | str
    ) -> JsonObject:
        return _object(await self.native.schedule_add_phase(name, duration, _text(faults)))

    async def schedule_modify_phase(
        self,
        id: str,
        name: str,
        duration: str | None,
        faults: Sequence[Mapping[str, Any]] | str,
    ) -> JsonObject:
        return _object(await self.native.schedule_modify_phase(id, name, duration, _text(faults)))

    async def schedule_delete_phase(self, id: str) -> JsonObject:
        return _object(await self.native.schedule_delete_phase(id))

    async def schedule_start_phase(self, id: str) -> list[JsonObject]:
        return _list(await self.native.schedule_start_phase(id))

    async def schedule_stop_phase(self, id: str) -> list[JsonObject]:
        return _list(await self.native.schedule_stop_phase(id))

    async def schedule_move_phase(self, id: str, position: int) -> JsonObject:
        return _object(await self.native.schedule_move_phase(id, position))

    async def schedule_next_transition(self) -> JsonObject | None:
        return _optional_object(await self.native.schedule_next_transition())

    async def transitions(self) -> AsyncIterator[JsonObject]:
        """Every transition of the live schedule, until it has ended."""
        while (transition := await self.schedule_next_transition()) is not None:
            yield transition
