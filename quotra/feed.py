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

While the consumer is slower than the quotes arrive, they wait in the feed,
and memory stays bounded either way:

``conflate=True``
    the consumer is handed the latest quote of each instrument, in the order
    those latest quotes arrived; every quote replaced by a newer one of the
    same instrument before the consumer took it counts as ``conflated``.
    For a consumer that needs the current price, not every price: its quotes
    stay as fresh as one pass over the instruments allows.
``conflate=False`` (the default)
    every quote, in order, through a buffer of ``maxsize`` quotes (default
    100,000); when it is full the oldest quote is dropped, counted as
    ``dropped`` and logged (logger ``quotra.feed``) at most every 5 s.

``feed.stats()`` says how it goes: ``received`` (quotes from the client),
``delivered`` (handed to the consumer), ``conflated``, ``dropped``,
``buffered`` (waiting now), ``errors`` (quote frames that failed, as the
client's error callback gets them), ``connected``, and ``lag_s``: the age
(now minus ``exchange_ts_ns``) of the quote last handed to the consumer, when
it was handed over: the consumer's own lag, which the client's
(``quotra.monitor``, measured as quotes are decoded) does not see.

Per quote the feed creates no task: the client's callback stores the quote
and hands the loop a marker that the feed's task factory, installed on the
loop while a feed is open and passing every other coroutine on to the
factory that was there before, answers without making a task. A consumer
that keeps up is woken once per batch of quotes the loop reads, not once per
quote. Replacing the loop's task factory while a feed is open makes the feed
fall back to a coroutine per quote (correct, slower).
"""

from __future__ import annotations

import asyncio
import collections
import collections.abc
import logging
import math
import os
import ssl
import time
import types
from collections.abc import Awaitable, Callable, Sequence
from typing import Any

from . import _check_url, _quiet, point_client

__all__ = ["Feed", "open_feed"]

logger = logging.getLogger("quotra.feed")

Quote = dict[str, Any]
ErrorCallback = Callable[[BaseException], Awaitable[None] | None]

DEFAULT_MAXSIZE = 100_000
#: At most one line about dropped quotes in this many seconds.
DROP_LINE_EVERY_S = 5.0
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


class _Delivered:
    """What the client's callback returns for a quote the feed has stored:
    the task factory recognises it and makes no task."""

    __slots__ = ()


class _NoTask:
    """The factory's answer for a stored quote, in place of a task: the loop
    may call ``set_name`` on it; the client keeps nothing."""

    __slots__ = ()

    def set_name(self, name: object) -> None:
        pass

    def done(self) -> bool:
        return True


# A coroutine to the client, which hands anything that is not one to the loop
# only after reporting it as a plain function's result: registered, the
# marker goes to create_task, and so to the feed's factory.
collections.abc.Coroutine.register(_Delivered)
_DELIVERED = _Delivered()
_NO_TASK = _NoTask()


class _Factory:
    """The loop's task factory while feeds are open on it: stored quotes get
    no task, every other coroutine goes to the factory that was there before
    (or becomes an ordinary task)."""

    def __init__(self, previous: Any) -> None:
        self.previous = previous
        self.feeds = 0

    def __call__(self, loop: asyncio.AbstractEventLoop, coro: Any, **kwargs: Any) -> Any:
        if coro is _DELIVERED:
            return _NO_TASK
        if self.previous is not None:
            return self.previous(loop, coro, **kwargs)
        # uvloop passes eager_start=None, which asyncio's Task refuses.
        if kwargs.get("eager_start", 0) is None:
            del kwargs["eager_start"]
        return asyncio.Task(coro, loop=loop, **kwargs)


async def _trivial() -> None:
    pass


class _Trust:
    """CA files that feeds asked to trust. The client makes each connection's
    TLS context with ``ssl.create_default_context()``, ``ssl`` being a global
    of ``quotra.quotra``; while a feed with ``ca_file`` is open, that global
    is a copy of the ssl module whose ``create_default_context`` also loads
    these files. The trust is added to the default one, for every client's
    connections in the process while such a feed is open; the module global
    is put back when the last one closes."""

    def __init__(self) -> None:
        self.files: dict[str, int] = {}
        self.shim: types.ModuleType | None = None

    def create_default_context(
        self,
        purpose: ssl.Purpose = ssl.Purpose.SERVER_AUTH,
        *,
        cafile: str | None = None,
        capath: str | None = None,
        cadata: Any = None,
    ) -> ssl.SSLContext:
        ctx = ssl.create_default_context(purpose, cafile=cafile, capath=capath, cadata=cadata)
        for path in list(self.files):
            ctx.load_verify_locations(cafile=path)
        return ctx

    def add(self, path: str) -> None:
        from . import quotra as client_module

        self.files[path] = self.files.get(path, 0) + 1
        if self.shim is None:
            shim = types.ModuleType("ssl", ssl.__doc__)
            shim.__dict__.update({k: v for k, v in vars(ssl).items() if not k.startswith("__")})
            shim.__dict__["create_default_context"] = self.create_default_context
            self.shim = shim
        if getattr(client_module, "ssl", None) is not self.shim:
            client_module.ssl = self.shim

    def remove(self, path: str) -> None:
        from . import quotra as client_module

        left = self.files.get(path, 0) - 1
        if left > 0:
            self.files[path] = left
            return
        self.files.pop(path, None)
        if (
            not self.files
            and self.shim is not None
            and getattr(client_module, "ssl", None) is self.shim
        ):
            client_module.ssl = ssl


_TRUST = _Trust()


def _check_instruments(instruments: Any, what: str = "instruments") -> list[str]:
    if isinstance(instruments, (str, bytes)) or not isinstance(instruments, (list, tuple)):
        raise TypeError(f"{what} is a list of instrument symbols, not {type(instruments).__name__}")
    for i in instruments:
        if not isinstance(i, str) or not i:
            raise ValueError(f"{what}: an instrument symbol is a non-empty str, not {i!r}")
    return list(instruments)


class Feed:
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
    ) -> None:
        self.url = url
        self.conflate = conflate
        self.maxsize = maxsize
        self._instruments = instruments
        self._ca_file = ca_file
        self._error_callback = error_callback
        self._open_timeout = open_timeout
        self._loop: asyncio.AbstractEventLoop | None = None
        self._client: Any = None
        self._stop_event: asyncio.Event | None = None
        self._watcher: asyncio.Task[None] | None = None
        self._factory: _Factory | None = None
        self._waiter: asyncio.Future[None] | None = None
        self._latest: collections.OrderedDict[Any, Quote] = collections.OrderedDict()
        self._queue: collections.deque[Quote] = collections.deque()
        self._opened = False
        self._ended = False
        self._closed = False
        self._received = 0
        self._delivered = 0
        self._conflated = 0
        self._dropped = 0
        self._dropped_at_line = 0
        self._drop_line_at = -math.inf
        self._errors = 0
        self._lag_ns: int | None = None
        self._trusting = False
        self._since_loop = 0.0  # time.monotonic() when the loop last ran between two quotes

    # -- the client's side -----------------------------------------------------

    def _on_quote(self, quote: Quote) -> Any:
        self._received += 1
        if self.conflate:
            latest = self._latest
            key = quote.get("instrument")
            if key in latest:
                latest.move_to_end(key)
                self._conflated += 1
            latest[key] = quote
        else:
            queue = self._queue
            if len(queue) >= self.maxsize:
                queue.popleft()
                self._dropped += 1
                self._drop_line()
            queue.append(quote)
        waiter = self._waiter
        if waiter is not None and not waiter.done():
            waiter.set_result(None)
        factory = self._factory
        if (
            factory is not None
            and self._loop is not None
            and self._loop.get_task_factory() is factory
        ):
            return _DELIVERED
        return _trivial()

    def _drop_line(self) -> None:
        now = time.monotonic()
        if now - self._drop_line_at < DROP_LINE_EVERY_S:
            return
        self._drop_line_at = now
        dropped = self._dropped - self._dropped_at_line
        self._dropped_at_line = self._dropped
        logger.warning(
            "feed buffer full (maxsize %d): the consumer is behind; dropped %d oldest quotes "
            "since the last such line (%d in all)",
            self.maxsize,
            dropped,
            self._dropped,
        )

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
        self._ended = True
        self._wake()

    def _wake(self) -> None:
        waiter = self._waiter
        if waiter is not None and not waiter.done():
            waiter.set_result(None)

    # -- opening and closing ---------------------------------------------------

    async def __aenter__(self) -> Feed:
        await self._open()
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.aclose()

    async def _open(self) -> None:
        if self._loop is not None:
            raise RuntimeError("a feed is opened once")
        loop = self._loop = asyncio.get_running_loop()
        if self._ca_file is not None:
            _TRUST.add(self._ca_file)
            self._trusting = True
        client = self._client = _quiet.quiet_client(loop)
        point_client(client, self.url)
        self._stop_event = _quiet.stop_event(client)
        factory = loop.get_task_factory()
        if not isinstance(factory, _Factory):
            factory = _Factory(factory)
            loop.set_task_factory(factory)
        factory.feeds += 1
        self._factory = factory
        try:
            client.start_websocket(self._on_quote, self._on_error)
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
                    if not self._ended
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
        assert stop_event is not None
        try:
            if not stop_event.is_set():
                client.close_websocket()
                if not await _wait_event(stop_event, CLOSE_WAIT_S):
                    # No answer to the close: the connection is dropped.
                    transport = _quiet.transport(client)
                    if transport is not None:
                        transport.disconnect()
                    await _wait_event(stop_event, DISCONNECT_WAIT_S)
        finally:
            self._ended = True
            self._wake()
            watcher = self._watcher
            if watcher is not None and not watcher.done():
                watcher.cancel()
            self._release_factory()
            if self._trusting and self._ca_file is not None:
                self._trusting = False
                _TRUST.remove(self._ca_file)

    def _release_factory(self) -> None:
        factory, self._factory = self._factory, None
        if factory is None or self._loop is None:
            return
        factory.feeds -= 1
        previous = factory.previous
        if factory.feeds == 0 and self._loop.get_task_factory() is factory:
            self._loop.set_task_factory(previous)

    # -- the consumer's side ---------------------------------------------------

    def __aiter__(self) -> Feed:
        return self

    async def __anext__(self) -> Quote:
        if self._closed:
            # What is left in the buffer is older than the closed connection.
            raise StopAsyncIteration
        if time.monotonic() - self._since_loop >= YIELD_AFTER_S:
            await asyncio.sleep(0)
            self._since_loop = time.monotonic()
        while True:
            quote = self._take()
            if quote is not None:
                return quote
            if self._ended or self._closed or self._loop is None:
                raise StopAsyncIteration
            waiter = self._waiter = self._loop.create_future()
            try:
                await waiter
            finally:
                self._waiter = None
                self._since_loop = time.monotonic()

    def _take(self) -> Quote | None:
        if self.conflate:
            if not self._latest:
                return None
            quote = self._latest.popitem(last=False)[1]
        else:
            if not self._queue:
                return None
            quote = self._queue.popleft()
        self._delivered += 1
        ts = quote.get("exchange_ts_ns")
        if isinstance(ts, int) and ts > 0:
            self._lag_ns = time.time_ns() - ts
        return quote

    async def subscribe(self, instruments: Sequence[str]) -> None:
        """Add instruments to the subscription set (carried over reconnections)."""
        await self._running_client().subscribe(_check_instruments(instruments))

    async def unsubscribe(self, instruments: Sequence[str]) -> None:
        """Take instruments out of the subscription set."""
        await self._running_client().unsubscribe(_check_instruments(instruments))

    def _running_client(self) -> Any:
        if not self._opened or self._closed:
            raise RuntimeError("the feed is not open")
        return self._client

    @property
    def client(self) -> Any:
        """The feed's ``quotra.quotra.Quotra`` client, for ``quotra.monitor``
        and ``quotra.metrics`` (None before the feed opens)."""
        return self._client

    def stats(self) -> dict[str, Any]:
        """The feed's counters now (see the module's documentation)."""
        connected = (
            self._client is not None and self._client.IS_CONNECTED.is_set() and not self._closed
        )
        return {
            "received": self._received,
            "delivered": self._delivered,
            "conflated": self._conflated,
            "dropped": self._dropped,
            "buffered": len(self._latest) + len(self._queue),
            "errors": self._errors,
            "connected": connected,
            "lag_s": None if self._lag_ns is None else self._lag_ns / 1e9,
        }


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
) -> Feed:
    """A feed of ``instruments`` from the service at ``url`` (``wss://...``),
    to use as ``async with open_feed(...) as feed: async for quote in feed``.

    ``conflate``: the latest quote per instrument while the consumer is
    behind (else every quote through a buffer of ``maxsize``); ``ca_file``: a
    PEM file of certificates to trust besides the default ones (while the
    feed is open, by every quotra client of the process: the client's TLS
    context is made by one module-level function); ``error_callback``: called with each exception of a quote
    frame that failed (a function or a coroutine function); ``open_timeout``:
    seconds to wait for the first connection. Everything is checked here,
    before connecting: ``TypeError`` or ``ValueError`` with what is wrong.
    Entering the ``async with`` raises ``ConnectionError`` when no connection
    opens.
    """
    url = _check_url(url)
    names = _check_instruments(instruments)
    if not isinstance(conflate, bool):
        raise TypeError(f"conflate is True or False, not {conflate!r}")
    if isinstance(maxsize, bool) or not isinstance(maxsize, int):
        raise TypeError(f"maxsize is an int, not {type(maxsize).__name__}")
    if maxsize < 1:
        raise ValueError(f"maxsize is at least 1, not {maxsize}")
    if ca_file is not None:
        if not isinstance(ca_file, str):
            raise TypeError(f"ca_file is a path (str), not {type(ca_file).__name__}")
        if not os.path.isfile(ca_file):
            raise ValueError(f"no CA file {ca_file!r}")
        ca_file = os.path.abspath(ca_file)
        try:
            ssl.create_default_context(cafile=ca_file)
        except (ssl.SSLError, OSError) as exc:
            raise ValueError(f"ca_file {ca_file!r} holds no certificate to trust ({exc})") from None
    if error_callback is not None and not callable(error_callback):
        raise TypeError(f"error_callback is callable or None, not {type(error_callback).__name__}")
    if (
        isinstance(open_timeout, bool)
        or not isinstance(open_timeout, (int, float))
        or not 0 < open_timeout < math.inf
    ):
        raise ValueError(f"open_timeout is a positive number of seconds, not {open_timeout!r}")
    return Feed(
        url,
        names,
        conflate=conflate,
        maxsize=maxsize,
        ca_file=ca_file,
        error_callback=error_callback,
        open_timeout=float(open_timeout),
    )
