"""Shared machinery of the reliability tests: a real Quotra client streaming
from the local market-data service, on one event loop, bounded in time.

Sizes: every test has a CI size and a stress size; ``QUOTRA_STRESS=1`` picks
the stress sizes (the numbers in docs/reliability.md). ``QUOTRA_SLOW`` (a factor,
default 1; the sanitizer run sets it) stretches every time limit.
``QUOTRA_SANITIZED`` (set by scripts/test-sanitize.sh) says that the module
runs under the sanitizer: ``SANITIZED``, the one switch tests consult.

Time: tests do not wait out the client's timings. ``ClientSession`` runs
them scaled (``FAST``: a 50 ms retry delay; ``timings=`` to choose), the
``client_timings`` fixture does the same for tests with a loop of their own,
and the service's controls (``close(disconnect_after=)``, ``refuse(duration)``,
``restart(down_for=)``, ``close_after``) take whatever short times a test
needs. Wait for what a test needs to see (``Recorder.wait``,
``svc.wait_for`` and the other waits) rather than sleeping.

A client's orderly end (``close_websocket``) ends in its shutdown, which
cancels every other task of the loop and stops the loop; ``ClientSession``
is built around that: its loop is driven with ``run_until_complete`` for the
test's steps and, at the end, with ``run_forever`` until the client's own
shutdown stops it, under a watchdog.
"""

from __future__ import annotations

import asyncio
import base64
import gc
import logging
import os
import resource
import ssl
import time
from collections.abc import Callable
from typing import Any

import orjson
from picows import WSListener, WSMsgType, ws_connect

import quotra.quotra as qm
from quotra.pricetape_proto import pricetape
from quotra.quotra import Quotra
from quotra.service import Frame, MarketDataService, point_client

STRESS = os.environ.get("QUOTRA_STRESS", "") not in ("", "0")
SLOW = max(1.0, float(os.environ.get("QUOTRA_SLOW", "1") or 1))
# Memory figures mean nothing under ASan (freed blocks wait in its quarantine):
# tests check object counts only.
SANITIZED = bool(os.environ.get("QUOTRA_SANITIZED"))

#: The client's fields, in the order of its pickle state.
QUOTRA_FIELDS = (
    "IS_CONNECTED",
    "_Quotra__loop",
    "_Quotra__tokens_set",
    "_Quotra__transport",
    "_Quotra__pricetape",
    "_close_callback",
    "_disconnect_msg",
    "_disconnect_socket",
    "_error_callback",
    "_message_callback",
    "_open_callback",
    "_stop_event",
    "_ws_url",
)
#: The listener's fields, in the order of its pickle state.
LISTENER_FIELDS = ("_QuotraListner__loop", "_QuotraListner__ping_msg", "_parent")
_SHORT_NAMES = {f.removeprefix("_Quotra__").lstrip("_"): i for i, f in enumerate(QUOTRA_FIELDS)}


def size(ci: int, stress: int) -> int:
    """The CI size of a test, or its stress size under QUOTRA_STRESS=1."""
    return stress if STRESS else ci


def limit(seconds: float) -> float:
    """A time limit, stretched under the sanitizer."""
    return seconds * SLOW


def pickled_state(obj: Any) -> tuple:
    """The state tuple of a client's or listener's pickle (its fields, then
    a subclass's ``__dict__``), from either form of ``__reduce_cython__``."""
    reduced = obj.__reduce_cython__()
    return reduced[2] if len(reduced) == 3 else reduced[1][2]


def client_field(client: Quotra, name: str) -> Any:
    """One of the client's fields by its name without the private prefix
    ("tokens_set", "stop_event", "ws_url", ...), read through its pickle."""
    return pickled_state(client)[_SHORT_NAMES[name]]


def rss_kb() -> int:
    """Resident set size now, in KiB (from /proc, falling back to the peak)."""
    try:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * (os.sysconf("SC_PAGE_SIZE") // 1024)
    except OSError:
        return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss


def settle() -> None:
    for _ in range(3):
        gc.collect()


def cancel_pending(loop, timeout: float) -> None:
    """Cancel the loop's unfinished tasks and let them finish cancelling."""
    pending = [t for t in asyncio.all_tasks(loop) if not t.done()]
    for t in pending:
        t.cancel()
    if pending:
        loop.run_until_complete(asyncio.wait(pending, timeout=timeout))


class ClientTimings:
    """The client's fixed timings, scaled for a test: ``retry`` scales the
    delay before a new attempt (1 s), ``stop_wait`` the signalled stop's wait
    for the server's close (2 s), ``ping`` the idle time before a ping (3 s)
    and the wait for its pong (2 s), ``opening`` the bound on an attempt's
    opening (10 s); 1 leaves a timing as it is.

    The client looks up ``asyncio`` and ``ws_connect`` in its module at each
    use, so while installed (``with ClientTimings(...)``, or ``install`` and
    ``uninstall``) stand-ins there scale the delays it asks for; every other
    name goes to the real ones. Tests drive time this way rather than waiting
    out the real timings; a test of a timing itself states its expectation in
    these scaled units. ``asked`` lists what the client asked for, unscaled:
    ("sleep", seconds), ("wait_for", seconds), ("opening", seconds), (ping
    keyword, seconds).
    """

    def __init__(
        self, retry: float = 1.0, stop_wait: float = 1.0, ping: float = 1.0, opening: float = 1.0
    ):
        self.retry, self.stop_wait, self.ping, self.opening = retry, stop_wait, ping, opening
        self.asked: list[tuple[str, Any]] = []
        self._saved: tuple | None = None

    def install(self) -> ClientTimings:
        assert self._saved is None, "already installed"
        self._saved = (qm.asyncio, qm.ws_connect)
        qm.asyncio = _ScaledAsyncio(self, self._saved[0])
        real_connect = self._saved[1]

        def ws_connect(*args, **kwargs):
            for name in ("auto_ping_idle_timeout", "auto_ping_reply_timeout"):
                if name in kwargs:
                    self.asked.append((name, kwargs[name]))
                    kwargs[name] = kwargs[name] * self.ping
            return real_connect(*args, **kwargs)

        qm.ws_connect = ws_connect
        return self

    def uninstall(self) -> None:
        if self._saved is not None:
            qm.asyncio, qm.ws_connect = self._saved
            self._saved = None

    def __enter__(self) -> ClientTimings:
        return self.install()

    def __exit__(self, *exc) -> None:
        self.uninstall()


class _ScaledAsyncio:
    """The client's ``asyncio``: ``sleep`` and ``wait_for`` scaled by a ``ClientTimings``."""

    def __init__(self, timings: ClientTimings, real):
        self._timings, self._real = timings, real

    def __getattr__(self, name: str) -> Any:
        return getattr(self._real, name)

    def sleep(self, delay, result=None):
        self._timings.asked.append(("sleep", delay))
        return self._real.sleep(delay * self._timings.retry, result)

    def wait_for(self, fut, timeout):
        # The client waits for two things: the stop event, and an opening.
        if getattr(fut, "__qualname__", None) == "Event.wait":
            what, scale = "wait_for", self._timings.stop_wait
        else:
            what, scale = "opening", self._timings.opening
        self._timings.asked.append((what, timeout))
        return self._real.wait_for(fut, None if timeout is None else timeout * scale)


#: What ``ClientSession`` uses unless told otherwise: a retry delay of 50 ms
#: and a stop wait of 0.2 s; the ping timings and the opening's bound stay
#: real (a test of a stall scales ``opening`` itself). The stress runs keep
#: every timing real.
FAST = {} if STRESS else dict(retry=0.05, stop_wait=0.1)


class LogLines(logging.Handler):
    """Collects the messages of the ``quotra.quotra`` logger."""

    def __init__(self):
        super().__init__(logging.DEBUG)
        self.lines: list[tuple[int, str]] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.lines.append((record.levelno, record.getMessage()))

    def count(self, text: str) -> int:
        return sum(1 for _, m in self.lines if m == text)

    def starting(self, prefix: str) -> list[str]:
        return [m for _, m in self.lines if m.startswith(prefix)]


class Recorder:
    """The four user callbacks; every call lands in ``events`` in the order
    the client's tasks run: ("msg", dict), ("err", exception), ("open", text),
    ("close", text). ``messages`` and ``errors`` count the first two kinds;
    ``quotes``, ``exceptions``, ``opened`` and ``closed`` list each kind."""

    def __init__(self, keep: bool = True):
        self.keep = keep  # False: count quotes and errors only, keep no objects
        self.events: list[tuple[str, Any]] = []
        self.messages = 0
        self.errors = 0
        self._changed: asyncio.Event | None = None

    def of(self, kind: str) -> list:
        return [value for k, value in self.events if k == kind]

    quotes = property(lambda self: self.of("msg"))
    exceptions = property(lambda self: self.of("err"))
    opened = property(lambda self: self.of("open"))
    closed = property(lambda self: self.of("close"))

    def start(self, client: Quotra, error: bool = True) -> None:
        """``client.start_websocket`` with these callbacks (``error=False``: no error callback)."""
        client.start_websocket(
            self.on_msg, self.on_err if error else None, self.on_open, self.on_close
        )

    def _note(self, kind: str, value: Any) -> None:
        self.events.append((kind, value))
        if self._changed is not None:
            self._changed.set()

    async def on_msg(self, quote):
        self.messages += 1
        if self.keep:
            self._note("msg", quote)
        elif self._changed is not None:
            self._changed.set()

    async def on_err(self, exc):
        self.errors += 1
        if self.keep:
            self._note("err", exc)
        elif self._changed is not None:
            self._changed.set()

    async def on_open(self, text):
        self._note("open", text)

    async def on_close(self, text):
        self._note("close", text)

    async def wait(self, predicate: Callable[[], Any], timeout: float, what: str) -> Any:
        if self._changed is None:
            self._changed = asyncio.Event()
        deadline = time.monotonic() + limit(timeout)
        while True:
            value = predicate()
            if value:
                return value
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise AssertionError(
                    f"timed out after {limit(timeout):.1f}s waiting for {what}; "
                    f"last events: {self.events[-5:]!r}"
                )
            self._changed.clear()
            try:
                await asyncio.wait_for(self._changed.wait(), min(remaining, 0.2))
            except TimeoutError:
                pass

    async def wait_quotes(self, n: int, timeout: float = 5) -> None:
        """Wait until ``n`` quotes have arrived in all."""
        await self.wait(lambda: self.messages >= n, timeout, f"{n} quotes")


class ClientSession:
    """A loop, a started service and a connected client with a Recorder.

    ``with ClientSession(rate=...) as s: s.run(coro)`` runs steps on the loop;
    leaving the block closes the client through ``close_websocket`` and checks
    that its shutdown stops the loop, then stops the service and closes the
    loop. Loop exception-handler calls are kept in ``s.loop_errors``;
    ``new_loop`` makes the loop (default asyncio's own).
    """

    def __init__(
        self,
        *,
        error_callback: bool = True,
        instruments=("ABC", "XYZ"),
        client_class=Quotra,
        keep_events: bool = True,
        server_class=MarketDataService,
        timings: dict | None = None,
        new_loop: Callable[[], asyncio.AbstractEventLoop] = asyncio.new_event_loop,
        **service_options,
    ):
        self.service_options = service_options
        self.new_loop = new_loop
        self.server_class = server_class
        self.client_class = client_class
        self.error_callback = error_callback
        self.instruments = list(instruments)
        self.loop: asyncio.AbstractEventLoop | None = None
        self.svc: MarketDataService | None = None
        self.client: Quotra | None = None
        self.rec = Recorder(keep_events)
        self.log = LogLines()
        self.loop_errors: list[dict] = []
        self._old_cert = None
        # The client's timings while the session lasts (``ClientTimings``
        # arguments; default ``FAST``, ``{}`` for the real ones).
        self.timings = ClientTimings(**(FAST if timings is None else timings))

    # -- set-up and tear-down ------------------------------------------------

    def __enter__(self) -> ClientSession:
        self.loop = self.new_loop()
        asyncio.set_event_loop(self.loop)
        self.loop.set_exception_handler(lambda loop, ctx: self.loop_errors.append(ctx))
        self.logger = logging.getLogger("quotra.quotra")
        self._old_level = self.logger.level
        self._old_propagate = self.logger.propagate
        self.logger.setLevel(logging.INFO)
        self.logger.addHandler(self.log)
        # The client's lines stay with this session: pytest's log capture would
        # keep a record of each one for the whole test (one per reconnection).
        self.logger.propagate = False
        self._old_cert = os.environ.get("SSL_CERT_FILE")
        self.timings.install()
        try:
            self.run(self._start(), 30)
        except BaseException:
            self._teardown(close_client=False)
            raise
        return self

    async def _start(self):
        self.svc = self.server_class(**self.service_options)
        await self.svc.start()
        os.environ["SSL_CERT_FILE"] = self.svc.ca_file
        self.client = self.client_class(self.loop)
        point_client(self.client, self.svc.url)
        self.rec.start(self.client, self.error_callback)
        await asyncio.wait_for(self.client.IS_CONNECTED.wait(), limit(10))
        if self.instruments:
            await self.client.subscribe(list(self.instruments))
            await self.svc.wait_subscribed(self.instruments, timeout=limit(10))

    def __exit__(self, exc_type, exc, tb) -> None:
        self._teardown(close_client=exc_type is None)

    def _teardown(self, close_client: bool) -> None:
        loop = self.loop
        try:
            if close_client and self.client is not None:
                self.close_and_wait_for_shutdown()
        finally:
            try:
                cancel_pending(loop, limit(5))
                if self.svc is not None:
                    loop.run_until_complete(
                        asyncio.wait_for(self.svc.stop(graceful=False), limit(10))
                    )
                    self.svc.close_files()
                loop.run_until_complete(loop.shutdown_asyncgens())
            finally:
                loop.close()
                asyncio.set_event_loop(None)
                self.timings.uninstall()
                self.logger.removeHandler(self.log)
                self.logger.setLevel(self._old_level)
                self.logger.propagate = self._old_propagate
                if self._old_cert is None:
                    os.environ.pop("SSL_CERT_FILE", None)
                else:
                    os.environ["SSL_CERT_FILE"] = self._old_cert

    def close_and_wait_for_shutdown(self, timeout: float = 20) -> None:
        """``close_websocket()`` on a connected client; its shutdown must stop the loop."""
        loop = self.loop
        self.run(asyncio.wait_for(self.client.IS_CONNECTED.wait(), limit(15)), 20)
        fired = []
        watchdog = loop.call_later(limit(timeout), lambda: (fired.append(True), loop.stop()))
        loop.call_soon(self.client.close_websocket)
        loop.run_forever()
        watchdog.cancel()
        assert not fired, "the client's shutdown did not stop the loop after close_websocket()"
        assert self.log.count("Websocket disconnected.") >= 1

    # -- running steps ---------------------------------------------------------

    def run(self, coro, timeout: float = 60) -> Any:
        """Run one step on the loop, bounded by ``timeout`` (stretched by SLOW)."""
        return self.loop.run_until_complete(asyncio.wait_for(coro, limit(timeout)))

    # -- helpers used by the steps --------------------------------------------

    def current(self):
        """The service's newest open connection."""
        conns = self.svc.open_connections
        return conns[-1] if conns else None

    async def wait_reconnected(self, after: int, instruments, timeout: float = 15):
        """Wait until a connection newer than ``after`` (a count of accepted
        connections, ``svc.accepted``) is open and subscribed to
        ``instruments``; returns it."""
        want = set(instruments)

        def check():
            for c in self.svc.open_connections:
                if c.id > after and want <= c.subscribed.keys():
                    return c
            return None

        return await self.svc.wait_for(
            check, limit(timeout), f"a new connection subscribed to {sorted(want)}"
        )


class PlainClient(WSListener):
    """A plain picows client that records every frame and answers CLOSE."""

    def __init__(self):
        self.frames = []
        self.disconnected = asyncio.get_running_loop().create_future()
        self._changed = asyncio.Event()

    def on_ws_frame(self, transport, frame):
        self.frames.append(Frame(frame.msg_type, frame.get_payload_as_bytes()))
        if frame.msg_type is WSMsgType.CLOSE:
            transport.send(WSMsgType.CLOSE, frame.get_payload_as_bytes()[:2])
            transport.disconnect()
        self._changed.set()

    def on_ws_disconnected(self, transport):
        if not self.disconnected.done():
            self.disconnected.set_result(None)

    async def wait_frames(self, pred, timeout=5.0):
        async with asyncio.timeout(timeout):
            while not pred(self.frames):
                self._changed.clear()
                await self._changed.wait()

    def quotes(self):
        out = []
        for f in self.frames:
            if f.msg_type is WSMsgType.TEXT:
                msg = pricetape()
                msg.ParseFromString(data=base64.b64decode(orjson.loads(f.payload)["message"]))
                out.append(msg.SerializeToDict())
        return out


async def connect(svc, **kwargs):
    """A ``PlainClient`` connected to ``svc`` (trusting the CA in SSL_CERT_FILE); returns (transport, client)."""
    transport, client = await asyncio.wait_for(
        ws_connect(PlainClient, svc.url, ssl_context=ssl.create_default_context(), **kwargs), 5
    )
    return transport, client


def subscribe_messages(conn) -> list[list]:
    """The instrument lists of the subscribe messages a connection received."""
    out = []
    for payload in conn.texts():
        try:
            obj = orjson.loads(payload)
        except orjson.JSONDecodeError:
            continue
        if isinstance(obj, dict) and "subscribe" in obj:
            out.append(obj["subscribe"])
    return out
