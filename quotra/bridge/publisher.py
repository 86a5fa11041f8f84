"""The bridge's publisher: quotes in from the client, acknowledged by the stream.

A quote goes: the client's callback appends it to ``_pending`` (bounded:
past ``buffer`` the oldest tenth is dropped and counted); once per loop turn
the writer encodes what is pending into ``HPUB`` commands (``encode``), each
with a reply subject ``<inbox>.<token>`` on the connection's one wildcard
inbox and a ``Nats-Msg-Id`` that is the quote's identity (``msgid``), and
writes them as one block (or one batch, where the stream allows fast ingest).
At most ``window`` quotes wait for their acknowledgement (``acks``). Whatever
was not acknowledged when a connection ends is sent again, first and in its
order, on the next (``connection``); the stream's duplicate window drops what
it had, and past the window the bridge looks the ids up itself (``stored``).
"""

from __future__ import annotations

import asyncio
import collections
import logging
import math
import time
from collections.abc import Callable, Coroutine
from itertools import chain, repeat
from operator import itemgetter
from typing import Any

from . import counters
from .acks import ACK_TIMEOUT, LOG_EVERY, Acknowledgements
from .by_instrument import instrument_of
from .connection import Connecting
from .encode import Encoding
from .names import (
    DEFAULT_BUFFER,
    DEFAULT_MAX_AGE,
    DEFAULT_MAX_PER_SUBJECT,
    DEFAULT_NATS,
    DEFAULT_PREFIX,
    DEFAULT_STREAM,
    STORAGES,
    check_prefix,
    check_stream,
    nats,
    servers,
)
from .options import NatsOptions
from .stored import StoredCheck
from .wire import NatsLink

__all__ = ["Bridge"]

logger = logging.getLogger("quotra.bridge")

DEFAULT_WINDOW = 4096
FLUSH_TIMEOUT = 2.0
# A server that takes no bytes for this long is as good as gone.
DRAIN_TIMEOUT = 5.0
# Quotes per block written at once, so a backlog after an outage is not one huge allocation.
BLOCK = 1024
_HEAD, _BODY = itemgetter(0), itemgetter(1)


class Bridge(Connecting, StoredCheck, Encoding, Acknowledgements, counters.BridgeCounters):
    """Publishes the quotes given to ``on_quote`` to NATS; see the package's docstring.

    Make it on the loop's thread, call ``start()`` once the loop runs (or
    before: it only schedules), give ``on_quote`` to the client as its message
    callback, and ``await close()`` to wait for the acknowledgements and disconnect.
    ``nats_url`` may name several servers, comma-separated: the bridge moves
    to the next when one fails. ``options`` (``quotra.bridge.options``), when
    given, says the servers and how to reach them (TLS, credentials, order)
    instead. ``replicas`` is used only when the bridge makes the stream.
    ``previous_ids_until`` (an exchange time in ns): quotes before it carry
    the id form of earlier bridges (a rolling upgrade, see docs/bridge.md).
    """

    def __init__(
        self,
        nats_url: str = DEFAULT_NATS,
        *,
        subject_prefix: str = DEFAULT_PREFIX,
        stream: str = DEFAULT_STREAM,
        max_per_subject: int = DEFAULT_MAX_PER_SUBJECT,
        max_age: float = DEFAULT_MAX_AGE,
        buffer: int = DEFAULT_BUFFER,
        storage: str = "file",
        loop: asyncio.AbstractEventLoop | None = None,
        client: Any = None,
        window: int = DEFAULT_WINDOW,
        republish: bool = False,
        options: NatsOptions | None = None,
        replicas: int = 1,
        previous_ids_until: int = 0,
    ):
        nats()
        self.client = client  # the upstream Quotra, whose health snapshot() adds
        self.options = (
            options if options is not None else NatsOptions(tuple(servers(nats_url)), shuffle=False)
        )
        self.servers = self.options.ordered_servers()
        self.nats_url = ",".join(self.servers)
        self.subject_prefix = check_prefix(subject_prefix)
        self.stream = check_stream(stream)
        if not (isinstance(max_per_subject, int) and max_per_subject >= 1):
            raise ValueError("max_per_subject must be an int >= 1")
        if not (max_age > 0 and math.isfinite(max_age)):
            raise ValueError("max_age must be a positive number of seconds")
        for what, value in (("buffer", buffer), ("window", window), ("replicas", replicas)):
            if not (isinstance(value, int) and value >= 1):
                raise ValueError(f"{what} must be an int >= 1")
        if storage not in STORAGES:
            raise ValueError(f"storage must be one of {STORAGES}, not {storage!r}")
        if not (isinstance(previous_ids_until, int) and previous_ids_until >= 0):
            raise ValueError("previous_ids_until must be an exchange time in ns (an int >= 0)")
        self.storage = storage
        self.republish = bool(republish)
        self.max_per_subject = max_per_subject
        self.max_age = float(max_age)
        self.replicas = replicas
        self.previous_ids_until = previous_ids_until
        self._stream_defaults = dict(
            max_per_subject=max_per_subject,
            max_age=self.max_age,
            storage=storage,
            republish=self.republish,
            replicas=replicas,
        )
        self.buffer = buffer
        self.window = window
        self.loop = loop or asyncio.get_event_loop()
        counters.BridgeCounters.__init__(self)
        self._pending: list[dict[str, Any]] = []  # quotes not yet encoded
        # encoded, unacknowledged (or checked after an outage): sent first
        self._retry: collections.deque[tuple[bytes, bytes]] = collections.deque()
        # token -> (head, body), in sending order
        self._inflight: dict[int, tuple[bytes, bytes]] = {}
        # (last token of a block, time written)
        self._sent_at: collections.deque[tuple[int, float]] = collections.deque()
        # (when, entry): to send again shortly
        self._later: list[tuple[float, tuple[bytes, bytes]]] = []
        self._failure: str | None = None
        self._token = 0
        self._inbox = b""
        self._heads: dict[str, tuple[bytes | None, bytes]] = {}
        self._link: NatsLink | None = None
        self._connected = asyncio.Event()
        self._wake = asyncio.Event()
        self._closing = False
        self._task: asyncio.Task[None] | None = None
        self._warned: set[str] = set()
        self._denied: set[str] = set()  # instruments the server does not let us publish
        self._next_server = 0
        self._fast = True  # batches unless the server refused them
        self._fast_stream = False  # the stream allows them
        self._unbatched = 0  # quotes to send one acknowledgement each before batching again
        self._hold_until = 0.0
        self._acked_seq: dict[bytes, int] = {}
        self._stream_seq: int | None = None
        # When the oldest quote to send again was first sent, and when the
        # buffer last went from empty to not.
        self._retry_since: float | None = None
        self._pending_since: float | None = None
        self._clock = time.monotonic
        self._start_batches()
        self.on_quote_now: Callable[[dict[str, Any]], None] = self._make_on_quote(None)
        self.on_quote = self._awaitable(self.on_quote_now)

    @property
    def connected(self) -> bool:
        return self._connected.is_set()

    # -- the quote path ------------------------------------------------------------

    def client_callback(self) -> Callable[[dict[str, Any]], Any]:
        """The message callback for a ``Quotra`` client that makes no task per
        quote: a plain function that appends the quote and returns one
        future, finished once for all (the client wants an awaitable)."""
        done = self.loop.create_future()
        done.set_result(None)
        return self._make_on_quote(done)

    def _make_on_quote(self, result: Any) -> Callable[[dict[str, Any]], Any]:
        """The quote callback as a plain function: it only appends."""
        pending = self._pending
        append = pending.append
        limit = self.buffer
        overflow = self._overflow
        first = self._first_pending

        def on_quote_now(quote: dict[str, Any]) -> Any:
            append(quote)
            n = len(pending)
            if n == 1:
                first()
            elif n > limit:
                overflow()
            return result

        return on_quote_now

    @staticmethod
    def _awaitable(
        now: Callable[[dict[str, Any]], None],
    ) -> Callable[[dict[str, Any]], Coroutine[Any, Any, None]]:
        async def on_quote(quote: dict[str, Any]) -> None:
            now(quote)

        return on_quote

    def _first_pending(self) -> None:
        self._pending_since = self._clock()
        self._wake.set()

    def _wake_writer(self) -> None:
        self._wake.set()

    def _overflow(self) -> None:
        """The buffer is past its bound: drop its oldest tenth (at least one)."""
        pending = self._pending
        n = len(pending) - self.buffer + self.buffer // 10
        n = min(len(pending), max(1, n))
        self._unpublished_by.update(map(instrument_of, pending[:n]))
        del pending[:n]
        self.dropped += n
        now = time.monotonic()
        if now >= self._drop_log_at:
            self._drop_log_at = now + LOG_EVERY
            logger.warning(
                "NATS %s: buffer of %d quotes full, dropped the oldest %d (%d dropped in all)",
                "not connected" if not self.connected else "not keeping up",
                self.buffer,
                self.dropped - self._dropped_logged,
                self.dropped,
            )
            self._dropped_logged = self.dropped

    def _write(self, link: NatsLink, entries: list[tuple[bytes, bytes]]) -> None:
        if self._unbatched:
            self._unbatched = max(0, self._unbatched - len(entries))
        elif len(entries) > 1 and self._fast and self._fast_stream:
            self._write_batch(link, entries)
            return
        first = self._token + 1
        tokens = range(first, first + len(entries))
        self._inflight.update(zip(tokens, entries))
        # Each command is head, inbox, token and a space, body: joined in one pass.
        parts = zip(
            map(_HEAD, entries),
            repeat(self._inbox),
            map(b"%d ".__mod__, tokens),
            map(_BODY, entries),
        )
        self._token = first + len(entries) - 1
        self._sent_at.append((self._token, time.monotonic()))
        link.write(b"".join(chain.from_iterable(parts)))

    def _due(self) -> None:
        """Quotes whose wait is over go again, before anything newer."""
        now = self._clock()
        later = self._later
        n = 0
        while n < len(later) and later[n][0] <= now:
            n += 1
        self._retry.extend(entry for _, entry in later[:n])
        self.resent += n
        del later[:n]

    async def _publish(self, link: NatsLink) -> str:
        """Write while the link lives; the reason it ended."""
        pending, retry, inflight, wake = self._pending, self._retry, self._inflight, self._wake
        link.closed.add_done_callback(lambda _: wake.set())
        while link.is_open:
            if self._ack_overdue():
                self._failure = f"no acknowledgement within {ACK_TIMEOUT:g} s"
                break
            if self._later:
                self._due()
            if self._unbatched:
                room = min(BLOCK, self.window - len(inflight), self._unbatched)
            elif self._fast and self._fast_stream:
                # One batch at a time: a batch the server cut short is sent again
                # before anything newer can be stored, so order holds; the next
                # batch takes everything that arrived meanwhile.
                room = 0 if inflight else self.window
            else:
                room = min(BLOCK, self.window - len(inflight))
            if self._hold_until and self._clock() < self._hold_until:
                room = 0  # a refusal for now: the quotes it held back go first, after the wait
            if room <= 0 or not (pending or retry):
                wake.clear()
                try:
                    await asyncio.wait_for(wake.wait(), ACK_TIMEOUT / 4)
                except TimeoutError:
                    pass
                continue
            if retry:
                batch = [retry.popleft() for _ in range(min(room, len(retry)))]
            else:
                batch = self._encode(pending[:room])
                del pending[:room]
            if batch:
                try:
                    self._write(link, batch)
                except BaseException:
                    # What did not get into the window goes first on the next connection.
                    held = {id(entry) for entry in inflight.values()}
                    retry.extendleft(reversed([e for e in batch if id(e) not in held]))
                    raise
                if not link.writable:
                    try:
                        await asyncio.wait_for(link.drain(), DRAIN_TIMEOUT)
                    except TimeoutError:
                        self._failure = f"the server read nothing for {DRAIN_TIMEOUT:g} s"
                        break
            if pending or retry:
                await asyncio.sleep(0)  # let this turn's upstream quotes in before the next block
        return self._failure or link.error or "closed"

    def _write_now(self) -> None:
        """Hand everything waiting to the socket synchronously (at cancellation)."""
        link = self._link
        if link is None or not link.is_open or not (self._retry or self._pending):
            return
        try:
            batch = list(self._retry) + self._encode(self._pending)
            self._retry.clear()
            self._pending.clear()
            self._write(link, batch)
        except Exception as exc:  # the socket is going away with the process
            logger.warning("NATS: last quotes not written: %r", exc)

    async def flush(self, timeout: float = FLUSH_TIMEOUT) -> bool:
        """Wait until every quote received so far is acknowledged; False if some
        still wait after ``timeout`` seconds (NATS away or slow)."""
        deadline = self.loop.time() + timeout
        while self._pending or self._retry or self._inflight or self._later:
            if self.loop.time() >= deadline:
                return False
            self._wake.set()
            await asyncio.sleep(0.002)
        return True

    async def settle(self, timeout: float) -> int:
        """Once the writer has stopped: wait up to ``timeout`` s for the answers
        to what it wrote last; how many quotes are not published (buffered or
        in flight)."""
        deadline = self.loop.time() + timeout
        link = self._link
        while self._inflight and link is not None and link.is_open:
            if self.loop.time() >= deadline:
                break
            await asyncio.sleep(0.01)
        return self.buffered + self.in_flight

    async def close(self, timeout: float = FLUSH_TIMEOUT) -> None:
        """Flush, stop the writer and close the NATS connection."""
        await self.flush(timeout)
        self._closing = True
        if self._task is not None:
            self._task.cancel()
            await asyncio.gather(self._task, return_exceptions=True)
        if self._link is not None:
            self._link.close()
