"""Quotes as an async iterator, for a consumer that may be slower than the feed.

    async def main() -> None:
        async with quotra.feed.open_feed(url, ["ABC", "XYZ"], conflate=True) as feed:
            async for quote in feed:
                ...  # the dict the client decoded, as its message callback gets it

    asyncio.run(main())

The feed runs on the running loop (asyncio's or uvloop's) with a client of
its own. Leaving the ``async with`` (or ``break`` then leaving it) closes the
connection and leaves the loop and the program's other tasks running; the
client's reconnection is its own, the subscription set carried over. Ctrl-C
under ``asyncio.run`` ends the program with a plain ``KeyboardInterrupt``.
Iterating a feed that was never opened raises ``RuntimeError``. Several
tasks may iterate one feed: they share its quotes (each quote goes to one of
them), and every one of them ends when the feed closes.

While the consumer is slower than the quotes arrive, they wait in a buffer
that the feed's client holds, and memory stays bounded either way:

``conflate=True``
    the consumer is handed the latest quote of each instrument, in the order
    those latest quotes arrived; every quote replaced by a newer one of the
    same instrument before the consumer took it counts as ``conflated``.
    For a consumer that needs the current price, not every price: its quotes
    stay as fresh as one pass over the instruments allows.
``conflate=False`` (the default)
    every quote, in order, through a buffer of ``maxsize`` quotes (default
    100,000); when it is full the oldest quote is dropped, counted as
    ``dropped`` and logged (logger ``quotra.feed``) at most every 5 s, each
    line counting the quotes dropped since the one before (the last ones are
    logged when the feed closes).

``feed.stats()`` says how it goes: ``received`` (quotes from the client),
``delivered`` (handed to the consumer), ``conflated``, ``dropped``,
``buffered`` (waiting now), ``errors`` (quote frames that failed, whether or
not an ``error_callback`` was given), ``connected``, and ``lag_s``: the age
(now minus ``exchange_ts_ns``, never below 0) of the quote last handed to
the consumer, when it was handed over: the consumer's own lag, which the
client's (``quotra.monitor``, measured as quotes are decoded) does not see.
``feed.snapshot()`` adds ``late_quotes``, ``future_quotes`` and the hand-over
lag's histogram (``lag_histogram``), for ``quotra.metrics.register(name,
feed)``.

The hand-over lag has the client's lines: a WARNING with the word "behind"
when a quote is handed over older than the lag threshold (at most one every
5 s), an INFO line once quotes are back under it, and one WARNING for quotes
stamped further in the future than the future tolerance. Both default to
the client's (``quotra.monitor``), or are given to ``open_feed``.

Per quote the feed runs no Python code and makes no task: the client puts
each quote's dict into the buffer (``quotra._quiet.FeedBuffer``) from its
quote path, and a waiting consumer is woken once per batch of quotes the
loop reads. Nothing outside the feed's own client changes while it is open.
"""

from __future__ import annotations

import asyncio
import logging
import ssl
import time
from collections.abc import Awaitable, Callable, Sequence
from typing import Any

from . import _check_url, _quiet, monitor, point_client
from .feed_args import (
    MIN_LAG_THRESHOLD_S,
    check_ca_file,
    check_instruments,
    check_maxsize,
    check_seconds,
    check_timeout,
    tls_context,
)
from .feed_report import FeedReport

__all__ = ["Feed", "open_feed"]

logger = logging.getLogger("quotra.feed")

Quote = dict[str, Any]
ErrorCallback = Callable[[BaseException], Awaitable[None] | None]

DEFAULT_MAXSIZE = 100_000
#: A consumer that has been handed quotes from the buffer for this long
#: without waiting lets the loop run once before the next: the loop then
#: reads what has arrived, so a conflated quote is at most about this much
#: staler than the socket, and a long buffer does not keep the loop from
#: reading (or from answering pings) until it is empty.
YIELD_AFTER_S = 0.001
#: How long leaving the feed waits for the server to answer the close, then
#: for the connection to end once dropped.
CLOSE_WAIT_S = 2.0
DISCONNECT_WAIT_S = 1.0


class Feed(FeedReport):
    """An open feed (see the module's documentation); made by ``open_feed``."""

    def __init__(
        self,
        url: str,
        instruments: list[str],
        *,
        conflate: bool,
        maxsize: int,
        ca_file: str | None,
        error_callback: ErrorCallback | None,
        open_timeout: float,
        lag_threshold: float | None = None,
        future_tolerance: float | None = None,
    ) -> None:
        self.url = url
        self.conflate = conflate
        self.maxsize = maxsize
        self._instruments = instruments
        self._ca_file = ca_file
        self._error_callback = error_callback
        self._open_timeout = open_timeout
        self._limits = (lag_threshold, future_tolerance)
        self._buffer = _quiet.FeedBuffer(logger, maxsize, conflate)
        self._loop: asyncio.AbstractEventLoop | None = None
        self._client: Any = None
        self._stop_event: asyncio.Event | None = None
        self._watcher: asyncio.Task[None] | None = None
        self._opened = False
        self._closed = False
        self._errors = 0
        self._since_loop = 0.0  # time.monotonic() when the loop last ran between two quotes

    # -- the client's side -----------------------------------------------------

    async def _on_error(self, exc: BaseException) -> None:
        self._errors += 1
        cb = self._error_callback
        if cb is None:
            return
        try:
            result = cb(exc)
            if asyncio.iscoroutine(result) or isinstance(result, asyncio.Future):
                await result
        except Exception:
            logger.exception("the feed's error callback failed")

    async def _watch_end(self) -> None:
        assert self._stop_event is not None
        await self._stop_event.wait()
        self._buffer.end()

    # -- opening and closing ---------------------------------------------------

    async def __aenter__(self) -> Feed:
        await self._open()
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()

    def _client_for(self, loop: asyncio.AbstractEventLoop) -> Any:
        """The feed's client: quiet (no signal handlers, an end that leaves
        the loop running), its quotes into the buffer, its own trust."""
        context: ssl.SSLContext | None = None
        if self._ca_file is not None:
            context = tls_context(self._ca_file)
        client = _quiet.quiet_client(loop)
        point_client(client, self.url)
        _quiet.set_tls_context(client, context)
        _quiet.set_sink(client, self._buffer)
        threshold, tolerance = self._limits
        if threshold is None:
            threshold = monitor.lag_threshold(client)
        if tolerance is None:
            tolerance = monitor.future_tolerance(client)
        self._buffer.set_limits(round(threshold * 1e9), round(tolerance * 1e9))
        return client

    async def _open(self) -> None:
        if self._loop is not None:
            raise RuntimeError("a feed is opened once")
        loop = self._loop = asyncio.get_running_loop()
        client = self._client = self._client_for(loop)
        self._stop_event = _quiet.stop_event(client)
        try:
            client.start_websocket(self._buffer, self._on_error)
            self._watcher = loop.create_task(self._watch_end(), name="quotra.feed end")
            connected = asyncio.ensure_future(client.IS_CONNECTED.wait())
            try:
                await asyncio.wait(
                    (connected, self._watcher),
                    timeout=self._open_timeout,
                    return_when=asyncio.FIRST_COMPLETED,
                )
            finally:
                connected.cancel()
            if not client.IS_CONNECTED.is_set():
                raise ConnectionError(
                    f"quotra.feed: no connection to {self.url} within {self._open_timeout} s "
                    "(the reason is in the quotra.quotra log)"
                    if not self._buffer.ended
                    else f"quotra.feed: could not connect to {self.url} "
                    "(the reason is in the quotra.quotra log)"
                )
            self._opened = True
            if self._instruments:
                await client.subscribe(list(self._instruments))
        except BaseException:
            await self.aclose()
            raise

    async def aclose(self) -> None:
        """Close the connection and end the iteration; the loop and its other
        tasks go on. Called by leaving the ``async with``; again, nothing."""
        if self._closed or self._loop is None:
            return
        self._closed = True
        client = self._client
        stop_event = self._stop_event
        try:
            if client is not None and stop_event is not None and not stop_event.is_set():
                client.close_websocket()
                if not await _wait_event(stop_event, CLOSE_WAIT_S):
                    # No answer to the close: the connection is dropped.
                    transport = _quiet.transport(client)
                    if transport is not None:
                        transport.disconnect()
                    await _wait_event(stop_event, DISCONNECT_WAIT_S)
        finally:
            # What is left in the buffer is older than the closed connection.
            self._buffer.end()
            self._buffer.discard()
            watcher = self._watcher
            if watcher is not None and not watcher.done():
                watcher.cancel()

    # -- the consumer's side ---------------------------------------------------

    def __aiter__(self) -> Feed:
        self._check_opened()
        return self

    def _check_opened(self) -> None:
        if self._loop is None:
            raise RuntimeError(
                "quotra.feed: the feed is not open; iterate it inside "
                "'async with open_feed(...) as feed:'"
            )

    async def __anext__(self) -> Quote:
        self._check_opened()
        if self._closed:
            raise StopAsyncIteration
        if time.monotonic() - self._since_loop >= YIELD_AFTER_S:
            await asyncio.sleep(0)
            self._since_loop = time.monotonic()
        buffer = self._buffer
        while True:
            quote: Quote | None = buffer.take()
            if quote is not None:
                return quote
            if buffer.ended or self._closed or self._loop is None:
                raise StopAsyncIteration
            waiter = self._loop.create_future()
            buffer.waiters.append(waiter)
            try:
                await waiter
            finally:
                if waiter.cancelled() and waiter in buffer.waiters:
                    buffer.waiters.remove(waiter)
                self._since_loop = time.monotonic()

    async def subscribe(self, instruments: Sequence[str]) -> None:
        """Add instruments to the subscription set (carried over reconnections)."""
        await self._running_client().subscribe(check_instruments(instruments))

    async def unsubscribe(self, instruments: Sequence[str]) -> None:
        """Take instruments out of the subscription set."""
        await self._running_client().unsubscribe(check_instruments(instruments))

    def _running_client(self) -> Any:
        if not self._opened or self._closed:
            raise RuntimeError("the feed is not open")
        return self._client

    @property
    def client(self) -> Any:
        """The feed's ``quotra.quotra.Quotra`` client, for ``quotra.monitor``
        and ``quotra.metrics`` (None before the feed opens)."""
        return self._client


async def _wait_event(event: asyncio.Event, timeout: float) -> bool:
    try:
        await asyncio.wait_for(event.wait(), timeout)
    except TimeoutError:
        return False
    return True


def open_feed(
    url: str,
    instruments: Sequence[str] = (),
    *,
    conflate: bool = False,
    maxsize: int = DEFAULT_MAXSIZE,
    ca_file: str | None = None,
    error_callback: ErrorCallback | None = None,
    open_timeout: float = 30.0,
    lag_threshold: float | None = None,
    future_tolerance: float | None = None,
) -> Feed:
    """A feed of ``instruments`` from the service at ``url`` (``wss://...``),
    to use as ``async with open_feed(...) as feed: async for quote in feed``.

    ``conflate``: the latest quote per instrument while the consumer is
    behind (else every quote through a buffer of ``maxsize``); ``ca_file``: a
    PEM file of certificates this feed's connections trust besides the
    default ones (read once, when the feed opens; no other client of the
    process trusts them); ``error_callback``: called with each exception of a
    quote frame that failed (a function or a coroutine function);
    ``open_timeout``: seconds to wait for the first connection;
    ``lag_threshold`` (1 ms to a day) and ``future_tolerance`` (0 to a day):
    the hand-over lag's, the client's by default. Everything is checked
    here, before connecting: ``TypeError`` or ``ValueError`` with what is
    wrong. Entering the ``async with`` raises ``ConnectionError`` when no
    connection opens, ``ValueError`` when the CA file is gone or unreadable.
    """
    url = _check_url(url)
    names = check_instruments(instruments)
    if not isinstance(conflate, bool):
        raise TypeError(f"conflate is True or False, not {conflate!r}")
    maxsize = check_maxsize(maxsize)
    ca_file = check_ca_file(ca_file)
    if error_callback is not None and not callable(error_callback):
        raise TypeError(f"error_callback is callable or None, not {type(error_callback).__name__}")
    if lag_threshold is not None:
        lag_threshold = check_seconds(lag_threshold, "lag threshold", MIN_LAG_THRESHOLD_S)
    if future_tolerance is not None:
        future_tolerance = check_seconds(future_tolerance, "future tolerance", 0.0)
    return Feed(
        url,
        names,
        conflate=conflate,
        maxsize=maxsize,
        ca_file=ca_file,
        error_callback=error_callback,
        open_timeout=check_timeout(open_timeout),
        lag_threshold=lag_threshold,
        future_tolerance=future_tolerance,
    )
