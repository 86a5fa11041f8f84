"""The test controls: frames and closes sent on demand, dropped connections,
PING answers switched off, and the waits on what the service has seen."""

from __future__ import annotations

import asyncio
from collections.abc import Callable, Iterable
from typing import Any

from picows import WSMsgType

from .connection import Connection, ConnRef, Frame, frame_matcher
from .parts import ServiceParts

__all__ = ["ServiceControls"]


class ServiceControls(ServiceParts):
    """Steering and waiting, as a part of ``MarketDataService``: every
    control takes the connections to act on (``ConnRef``, default every open
    one); every wait takes a timeout and raises ``TimeoutError`` naming what
    it waited for."""

    # -- sending ----------------------------------------------------------------

    def send_frame(
        self,
        payload: bytes | str | None = b"",
        msg_type: WSMsgType = WSMsgType.TEXT,
        conn: ConnRef = None,
        *,
        fin: bool = True,
        rsv1: bool = False,
    ) -> None:
        """Send one raw frame of any type with any payload, unchecked: TEXT
        with malformed JSON, BINARY, PING, PONG, CONTINUATION, even CLOSE
        (prefer ``close`` for that)."""
        if isinstance(payload, str):
            payload = payload.encode()
        for c in self._targets(conn):
            if c.is_open:
                c.link.send(msg_type, payload, fin, rsv1)

    def close(
        self,
        code: int | None = 1000,
        reason: bytes | str = b"",
        conn: ConnRef = None,
        *,
        disconnect_after: float | None = 2.0,
    ) -> None:
        """Send a CLOSE frame with ``code`` (any integer 0..65535, or None for
        an empty payload) and ``reason`` (bytes are sent as they are, invalid
        UTF-8 included). The connection ends when the client answers with its
        CLOSE, or after ``disconnect_after`` seconds (None: left to the client)."""
        if isinstance(reason, str):
            reason = reason.encode()
        for c in self._targets(conn):
            if c.is_open:
                self._send_close(c, code, reason)
                if disconnect_after is not None:
                    self._call_later(disconnect_after, self._disconnect_if_open, c, True)

    def _close_first(self, conn: Connection) -> None:
        # 1001 "going away": what a server that restarts sends.
        self.close(1001, b"", conn, disconnect_after=self.close_timeout)

    def drop(self, conn: ConnRef = None) -> None:
        """End connections abruptly: the socket is closed at once, no CLOSE frame."""
        for c in self._targets(conn):
            self._disconnect_if_open(c, False)

    def set_answer_pings(self, answer: bool, conn: ConnRef = None) -> None:
        """Answer PINGs or not: for ``conn`` only, or (default) for the service
        and every connection that has no setting of its own."""
        if conn is None:
            self.answer_pings = bool(answer)
            for c in self.connections:
                c.answer_pings = None
        else:
            for c in self._targets(conn):
                c.answer_pings = bool(answer)

    # -- waiting ----------------------------------------------------------------

    def _notify(self) -> None:
        waiters, self._waiters = self._waiters, []
        for fut in waiters:
            if not fut.done():
                fut.set_result(None)

    async def wait_for(
        self, predicate: Callable[[], Any], timeout: float = 5.0, what: str = "condition"
    ) -> Any:
        """Wait until ``predicate()`` is true (checked now and after every
        connection event or received frame); returns its value. Raises
        ``TimeoutError`` naming ``what`` after ``timeout`` seconds."""
        loop = asyncio.get_running_loop()
        deadline = loop.time() + timeout
        while True:
            result = predicate()
            if result:
                return result
            remaining = deadline - loop.time()
            if remaining <= 0:
                raise TimeoutError(
                    f"timed out after {timeout}s waiting for {what}; "
                    f"connections: {self.connections!r}"
                )
            fut = loop.create_future()
            self._waiters.append(fut)
            try:
                await asyncio.wait_for(fut, min(remaining, 0.25))  # re-check also on a timer
            except TimeoutError:
                pass

    async def wait_connections(
        self, n: int = 1, timeout: float = 5.0, *, open: bool = False
    ) -> list[Connection]:
        """Wait until ``n`` connections have opened since the service was made
        (``open=True``: until ``n`` are open at once); returns them."""

        def check() -> list[Connection] | None:
            if open:
                conns = self.open_connections
                return conns if len(conns) >= n else None
            return self.connections[:] if self.accepted >= n else None

        conns: list[Connection] = await self.wait_for(
            check, timeout, f"{n} {'open ' if open else ''}connection(s)"
        )
        return conns

    async def wait_disconnected(self, conn: ConnRef = None, timeout: float = 5.0) -> None:
        """Wait until the given connections (default: all known) have closed."""
        targets = self.connections[:] if conn is None else self._targets(conn)
        await self.wait_for(
            lambda: all(not c.is_open for c in targets) or None,
            timeout,
            f"connection(s) {[c.id for c in targets]} to close",
        )

    async def wait_message(
        self, match: Any, conn: ConnRef = None, timeout: float = 5.0, *, start: int = 0
    ) -> tuple[Connection, Frame]:
        """Wait for a received frame matching ``match``; returns (connection, frame).

        ``match``: bytes or str (exact payload), a ``WSMsgType``, a
        (msg_type, payload) tuple, a dict or list (a TEXT frame whose JSON
        equals it), or a predicate on ``Frame``. Frames already received count;
        ``start`` skips the first ``start`` frames of each connection.
        """
        pred = frame_matcher(match)

        def check() -> tuple[Connection, Frame] | None:
            for c in self.connections if conn is None else self._targets(conn):
                for f in c.received[start:]:
                    if pred(f):
                        return (c, f)
            return None

        found: tuple[Connection, Frame] = await self.wait_for(
            check, timeout, f"a message matching {match!r}"
        )
        return found

    async def wait_subscribed(
        self, instruments: Iterable[str], conn: ConnRef = None, timeout: float = 5.0
    ) -> Connection:
        """Wait until a connection is subscribed to all ``instruments``; returns it."""
        want = set(instruments)

        def check() -> Connection | None:
            for c in self.open_connections if conn is None else self._targets(conn):
                if c.is_open and want <= c.subscribed.keys():
                    return c
            return None

        subscribed: Connection = await self.wait_for(
            check, timeout, f"a subscription to {sorted(want)}"
        )
        return subscribed

    async def wait_quotes_sent(self, n: int, conn: ConnRef = None, timeout: float = 5.0) -> None:
        """Wait until ``n`` quotes have been sent (in total over ``conn``, default all)."""

        def check() -> bool:
            targets = self.connections if conn is None else self._targets(conn)
            return sum(c.quotes_sent for c in targets) >= n

        await self.wait_for(check, timeout, f"{n} quotes sent")
