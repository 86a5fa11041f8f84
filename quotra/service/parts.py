"""What the parts of ``MarketDataService`` (the listening socket, the
connection protocol, the quote senders, the controls) share: its state, made
in ``MarketDataService.__init__``, and the methods each part calls on the
others. Declarations only, for the type checker: at run time the class is
empty and every name is the service's own."""

from __future__ import annotations

import asyncio
from collections import deque
from collections.abc import Callable, Coroutine
from typing import TYPE_CHECKING, Any

from .connection import Connection, ConnRef, Event
from .market import Market
from .tls import TlsMaterial

__all__ = ["ServiceParts"]


class ServiceParts:
    instruments: frozenset[str] | None
    host: str
    port: int
    rate: float | None
    count: int | None
    tls: str
    answer_pings: bool
    reply_to_close: bool
    stamp_sent_at: bool
    record_sent: int
    keep_ended: bool
    fragment_size: int | None
    close_after: float | None
    close_timeout: float
    connections: list[Connection]
    events: list[Event] | deque[Event]
    accepted: int
    shared_market: bool
    _tls: TlsMaterial
    _ended_quotes_sent: int
    _sent_by_instrument: dict[str, int]
    _market: Market
    _quotes_paused: bool
    _reject: bool
    _server: asyncio.AbstractServer | None
    _old_servers: list[asyncio.AbstractServer]
    _loop: asyncio.AbstractEventLoop | None
    _waiters: list[asyncio.Future[Any]]
    _timers: set[asyncio.TimerHandle]
    _started: bool

    if TYPE_CHECKING:

        @property
        def url(self) -> str: ...
        @property
        def open_connections(self) -> list[Connection]: ...
        def _targets(self, conn: ConnRef) -> list[Connection]: ...
        def _call_later(self, delay: float, fn: Callable[..., object], *args: Any) -> None: ...
        def _spawn(self, coro: Coroutine[Any, Any, object]) -> None: ...
        def _event(self, kind: str, conn_id: int | None) -> None: ...
        def _notify(self) -> None: ...
        def _send_close(self, conn: Connection, code: int | None, reason: bytes) -> None: ...
        @staticmethod
        def _disconnect_if_open(conn: Connection, graceful: bool) -> None: ...
        def _close_first(self, conn: Connection) -> None: ...
        async def _stream(self, conn: Connection) -> None: ...
        async def wait_for(
            self, predicate: Callable[[], Any], timeout: float = 5.0, what: str = "condition"
        ) -> Any: ...
