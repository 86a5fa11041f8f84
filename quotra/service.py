"""A local market-data streaming service, for trying trading code, tests, demos and benchmarks.

It speaks the protocol of the real service over TLS
on 127.0.0.1 only, with a throwaway certificate authority:

* the client sends TEXT frames ``{"subscribe":[...]}`` / ``{"unsubscribe":[...]}``;
  anything else (garbage, other JSON, other frame types) is recorded and ignored;
* the service pushes TEXT frames ``{"message":"<base64 of a serialized
  PriceTape>"}`` for the connection's subscribed instruments: a seeded random
  walk per instrument, at ``rate`` quotes/s per connection, or ``count`` quotes
  as fast as the socket takes them (picows' pause_writing/resume_writing flow
  control is respected);
* it answers PINGs (until told not to), echoes a client's CLOSE and then
  closes the connection.

Everything it receives is recorded per connection, in order, with exact bytes
and frame type (``Connection.received``), and every connection's open and close
is an ``Event`` in ``service.events``, so tests can assert on the wire.

Use it in three ways::

    # 1. inside your own asyncio loop
    async with MarketDataService(rate=50) as svc:
        os.environ["SSL_CERT_FILE"] = svc.ca_file   # ssl.create_default_context() trusts it
        ... connect to svc.url ...
        conn, = await svc.wait_connections(1)
        await svc.wait_message(b'{"subscribe":["ABC"]}')

    # 2. in a background thread with its own loop (every method proxied,
    #    coroutines awaited there, results returned here)
    with ServiceThread(rate=50) as svc:
        ... run the client's loop in this thread ...
        svc.drop()

    # 3. from the command line (bounded run)
    python -m quotra.service --port 8765 --rate 20 --ca-file /tmp/ca.pem --duration 60

Control from tests: ``set_answer_pings``, ``drop``, ``close`` (any code, any
reason bytes), ``send_frame`` (any frame type, any payload), ``send_quote``,
``refuse``/``accept`` (listening socket closed and reopened on the same port,
or upgrades rejected with 503), ``stop``/``start``/``restart`` (same port),
``pause_quotes``/``resume_quotes``, ``set_stream``, and the benchmark sender
``blast``. Waits: ``wait_connections``, ``wait_disconnected``,
``wait_message``, ``wait_subscribed``, ``wait_quotes_sent``, ``wait_for``;
each takes a timeout and raises ``TimeoutError`` with what it was waiting for.

``point_client(client, url)`` points a ``quotra.quotra.Quotra`` client at a
URL (the client has no setter; this goes through its pickle protocol), and
``service_url(port)`` gives the URL the real client expects.

Needs ``trustme`` (a development dependency) to make certificates; it is
imported when a service is constructed, not when this module is imported.
"""

from __future__ import annotations

import argparse
import asyncio
import base64
import datetime
import inspect
import logging
import math
import os
import random
import shutil
import signal
import ssl
import struct
import sys
import tempfile
import threading
import time
import weakref
from collections import deque
from http import HTTPStatus
from typing import Any, Callable, Iterable, NamedTuple, Optional, Union

import orjson
from picows import (
    WSListener,
    WSMsgType,
    WSTransport,
    WSUpgradeResponse,
    WSUpgradeResponseWithListener,
    ws_create_server,
)

from .pricetape_pb2 import PriceTape

__all__ = [
    "MarketDataService",
    "ServiceThread",
    "Connection",
    "Frame",
    "Event",
    "TLS_MODES",
    "encode_quote",
    "service_url",
    "point_client",
    "main",
]

logger = logging.getLogger(__name__)

HOST = "127.0.0.1"
#: Certificate the service presents: from the CA in ``ca_file`` for 127.0.0.1
#: and localhost ("trusted"); from a CA the client does not know ("untrusted");
#: from the right CA but for another host name ("wrong_host"); from the right
#: CA for the right names but expired yesterday ("expired").
TLS_MODES = ("trusted", "untrusted", "wrong_host", "expired")
WRONG_HOST_NAME = "wrong-host.invalid"

_QUOTE_PREFIX = b'{"message":"'
_QUOTE_SUFFIX = b'"}'
# Tag of PriceTape.sent_at_ns (field 15, varint): appended to pre-encoded bytes.
_SENT_AT_TAG = bytes([(15 << 3) | 0])


# ---------------------------------------------------------------------------
# Small public helpers
# ---------------------------------------------------------------------------

def service_url(port: int, host: str = HOST) -> str:
    """The URL the real client uses for a service on ``port``: ``wss://127.0.0.1:<port>/?version=2``."""
    return f"wss://{host}:{int(port)}/?version=2"


def point_client(client: Any, url: str) -> Any:
    """Point a ``quotra.quotra.Quotra`` client at ``url``; returns the client.

    The client stores its address in the private field ``_ws_url`` and offers
    no setter; tests reach a local server through the public
    pickle protocol instead::

        reduce = client.__reduce_cython__()   # (reconstructor, args, state)
        state = reduce[2]                     # 13 fields (+ __dict__ for a subclass)
        state = state[:12] + (url,) + state[13:]
        client.__setstate_cython__(state)

    A constructed client always has fields set, so its reduce tuple has the
    3-element form; anything else raises ``ValueError``. ``__setstate_cython__``
    stores every field again (the others with the values they already had) and
    refuses a ``str`` subclass, so ``url`` is converted to an exact ``str``.
    """
    reduced = client.__reduce_cython__()
    if not (isinstance(reduced, tuple) and len(reduced) == 3 and isinstance(reduced[2], tuple)):
        raise ValueError(
            "point_client: expected (reconstructor, args, state) from __reduce_cython__(), "
            f"got {type(reduced).__name__} of length {len(reduced) if isinstance(reduced, tuple) else '?'}"
        )
    state = reduced[2]
    if len(state) < 13:
        raise ValueError(f"point_client: state tuple has {len(state)} fields, expected at least 13")
    if type(url) is not str:
        url = str(url)
        if type(url) is not str:  # a __str__ returning a str subclass
            url = "".join((url,))
    client.__setstate_cython__(state[:12] + (url,) + state[13:])
    return client


def encode_quote(message: Union[PriceTape, bytes, Any]) -> bytes:
    """The TEXT payload of one quote frame: ``{"message":"<base64>"}``.

    ``message`` is a ``PriceTape``, a ``quotra.pricetape_proto.pricetape`` or
    already serialized bytes.
    """
    if isinstance(message, (bytes, bytearray, memoryview)):
        data = bytes(message)
    else:
        data = message.SerializeToString()
    return _QUOTE_PREFIX + base64.b64encode(data) + _QUOTE_SUFFIX


def _varint(value: int) -> bytes:
    # protobuf int64: negative values as their 64-bit two's complement.
    value &= (1 << 64) - 1
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        if value:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


# ---------------------------------------------------------------------------
# Records
# ---------------------------------------------------------------------------

class Frame(NamedTuple):
    """One frame a connection received: its type and exact payload bytes.

    Compares equal to a plain tuple: ``frame == (WSMsgType.TEXT, b'...')``.
    """

    msg_type: WSMsgType
    payload: bytes


class Event(NamedTuple):
    """A connection event: ``kind`` is "open", "close" or "reject" (an upgrade
    refused in ``refuse(mode="reject")``, ``conn_id`` None)."""

    kind: str
    conn_id: Optional[int]
    time_ns: int


class Connection:
    """What the service knows about one client connection.

    Read-only for tests: ``id`` (1, 2, ... in accept order), ``peer``
    (host, port), ``path`` (request target, bytes), ``received`` (every frame,
    in order), ``subscriptions`` (instruments, in subscription order),
    ``quotes_sent``, ``sent`` (the last quote payloads sent, bounded),
    ``write_pauses`` (how often the socket's buffer filled up),
    ``close_received`` ((code, reason bytes) of the client's CLOSE, or None),
    ``is_open``, ``opened_at_ns``/``closed_at_ns``.
    """

    def __init__(self, conn_id: int, transport: WSTransport, path: bytes, record_sent: int):
        self.id = conn_id
        self.transport = transport
        self.path = path
        try:
            self.peer = transport.underlying_transport.get_extra_info("peername")
        except Exception:  # pragma: no cover - transport without extra info
            self.peer = None
        self.received: list[Frame] = []
        self.subscribed: dict[str, None] = {}  # ordered set
        self.quotes_sent = 0
        self.write_pauses = 0  # times picows asked us to stop writing (flow control)
        self.sent: deque[bytes] = deque(maxlen=max(0, record_sent))
        self.answer_pings: Optional[bool] = None  # None: follow the service
        self.close_received: Optional[tuple[Optional[int], bytes]] = None
        self.close_sent = False
        self.opened_at_ns = time.time_ns()
        self.closed_at_ns: Optional[int] = None
        self.writable = asyncio.Event()
        self.writable.set()
        self._wake = asyncio.Event()
        self._task: Optional[asyncio.Task] = None
        self._fragments: Optional[list[bytes]] = None
        self._instruments: tuple[str, ...] = ()

    @property
    def is_open(self) -> bool:
        return self.closed_at_ns is None

    @property
    def subscriptions(self) -> tuple[str, ...]:
        return self._instruments

    def texts(self) -> list[bytes]:
        """Payloads of the TEXT frames received, in order."""
        return [f.payload for f in self.received if f.msg_type is WSMsgType.TEXT]

    def __repr__(self) -> str:
        state = "open" if self.is_open else "closed"
        return (f"<Connection {self.id} {state} peer={self.peer} received={len(self.received)} "
                f"subscribed={list(self._instruments)} quotes_sent={self.quotes_sent}>")


# ---------------------------------------------------------------------------
# Quote generation
# ---------------------------------------------------------------------------

class _Instrument:
    __slots__ = ("rng", "tick", "lot", "price", "open", "high", "low", "close", "volume", "oi")

    def __init__(self, seed: int, symbol: str):
        # str seeds are hashed with SHA-512: the same walk in every process.
        rng = random.Random(f"{seed}/{symbol}")
        self.rng = rng
        self.tick = 0.05
        self.lot = rng.choice((1, 1, 5, 10, 25, 50))
        start = round(rng.uniform(20.0, 4000.0) / self.tick) * self.tick
        self.price = round(start, 2)
        self.close = round(start * (1 + rng.uniform(-0.02, 0.02)), 2)
        self.open = self.high = self.low = self.price
        self.volume = 0
        self.oi = rng.randrange(10_000, 1_000_000)


class _Market:
    """Seeded random walk per instrument; fills a PriceTape per quote."""

    def __init__(self, seed: int):
        self.seed = seed
        self._instruments: dict[str, _Instrument] = {}

    def quote(self, symbol: str) -> PriceTape:
        st = self._instruments.get(symbol)
        if st is None:
            st = self._instruments[symbol] = _Instrument(self.seed, symbol)
        rng, tick = st.rng, st.tick
        price = st.price * math.exp(rng.gauss(0.0, 0.0008))
        price = max(tick, round(round(price / tick) * tick, 2))
        st.price = price
        st.high = max(st.high, price)
        st.low = min(st.low, price)
        qty = rng.randint(1, 40) * st.lot
        st.volume += qty
        st.oi = max(0, st.oi + rng.randint(-20, 20) * st.lot)
        bid = round(max(tick, price - rng.randint(0, 2) * tick), 2)
        ask = round(max(bid + tick, price + rng.randint(0, 2) * tick), 2)
        return PriceTape(
            instrument=symbol,
            exchange_ts_ns=time.time_ns(),
            last_price=price,
            last_quantity=qty,
            volume=st.volume,
            bid_price=bid,
            bid_size=rng.randint(1, 500) * st.lot,
            ask_price=ask,
            ask_size=rng.randint(1, 500) * st.lot,
            open=st.open,
            high=st.high,
            low=st.low,
            close=st.close,
            open_interest=st.oi,
        )


# ---------------------------------------------------------------------------
# The websocket listener (one per connection)
# ---------------------------------------------------------------------------

class _Listener(WSListener):
    def __init__(self, service: "MarketDataService", path: bytes):
        super().__init__()
        self._service = service
        self._path = path
        self.conn: Optional[Connection] = None

    def on_ws_connected(self, transport: WSTransport) -> None:
        self.conn = self._service._on_open(transport, self._path)

    def on_ws_frame(self, transport: WSTransport, frame) -> None:
        if self.conn is not None:
            self._service._on_frame(self.conn, frame)

    def on_ws_disconnected(self, transport: WSTransport) -> None:
        if self.conn is not None:
            self._service._on_close(self.conn)

    def pause_writing(self) -> None:
        if self.conn is not None:
            self.conn.writable.clear()
            self.conn.write_pauses += 1

    def resume_writing(self) -> None:
        if self.conn is not None:
            self.conn.writable.set()


ConnRef = Union[None, int, Connection, Iterable[Union[int, Connection]]]


# ---------------------------------------------------------------------------
# The service
# ---------------------------------------------------------------------------

class MarketDataService:
    """A TLS websocket market-data service on 127.0.0.1.

    Parameters (all keyword, all optional):

    ``port``: 0 (default) picks a free port at the first start; every later
    start, restart or reopening uses the same port.
    ``rate``: quotes per second per connection, spread round-robin over its
    subscribed instruments; None (default) sends none on its own.
    ``count``: quotes per connection in total; with no ``rate`` they go as
    fast as the socket takes them.
    ``seed``: seed of the random walks (same seed, same prices).
    ``tls``: one of ``TLS_MODES`` (default "trusted").
    ``ca_file``: where to write the CA certificate (PEM); default a file in
    a temporary folder, removed with the service object.
    ``answer_pings``: reply to PINGs with PONGs (default True).
    ``reply_to_close``: answer a client's CLOSE with a CLOSE echoing its code
    and close the connection (default True); False ignores it.
    ``stamp_sent_at``: put ``time.time_ns()`` in ``sent_at_ns`` of streamed
    quotes (default False).
    ``record_sent``: how many of the last quote payloads each connection
    keeps in ``Connection.sent`` (default 10000; 0 keeps none).
    """

    def __init__(
        self,
        *,
        port: int = 0,
        rate: Optional[float] = None,
        count: Optional[int] = None,
        seed: int = 0,
        tls: str = "trusted",
        ca_file: Optional[str] = None,
        answer_pings: bool = True,
        reply_to_close: bool = True,
        stamp_sent_at: bool = False,
        record_sent: int = 10_000,
    ):
        if tls not in TLS_MODES:
            raise ValueError(f"tls must be one of {TLS_MODES}, not {tls!r}")
        self._check_stream(rate, count)
        try:
            import trustme
        except ImportError as exc:  # pragma: no cover
            raise ImportError("quotra.service needs 'trustme' (requirements-dev.txt) to make certificates") from exc
        self._trustme = trustme
        self.port = int(port)
        self.rate = rate
        self.count = count
        self.seed = seed
        self.tls = tls
        self.answer_pings = bool(answer_pings)
        self.reply_to_close = bool(reply_to_close)
        self.stamp_sent_at = bool(stamp_sent_at)
        self.record_sent = int(record_sent)

        self.connections: list[Connection] = []
        self.events: list[Event] = []
        self._market = _Market(seed)
        self._quotes_paused = False
        self._reject = False
        self._server: Optional[asyncio.AbstractServer] = None
        self._old_servers: list[asyncio.AbstractServer] = []
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._waiters: list[asyncio.Future] = []
        self._timers: set[asyncio.TimerHandle] = set()
        self._started = False

        self._ca = trustme.CA()
        self._certs: dict[str, Any] = {}
        self._ssl_contexts: dict[str, ssl.SSLContext] = {}
        if ca_file is None:
            tmpdir = tempfile.mkdtemp(prefix="quotra-service-")
            self._cleanup = weakref.finalize(self, shutil.rmtree, tmpdir, True)
            ca_file = os.path.join(tmpdir, "ca.pem")
        else:
            self._cleanup = None
            ca_file = os.path.abspath(ca_file)
        self._ca_file = ca_file
        self._ca.cert_pem.write_to_path(ca_file)

    # -- properties -----------------------------------------------------------

    @property
    def ca_file(self) -> str:
        """Path of the CA certificate (PEM) that a client must trust (``SSL_CERT_FILE``)."""
        return self._ca_file

    @property
    def ca_pem(self) -> bytes:
        return self._ca.cert_pem.bytes()

    @property
    def url(self) -> str:
        """``wss://127.0.0.1:<port>/?version=2`` (the port is known after the first start)."""
        return service_url(self.port)

    @property
    def is_listening(self) -> bool:
        return self._server is not None

    @property
    def open_connections(self) -> list[Connection]:
        return [c for c in self.connections if c.is_open]

    def client_ssl_context(self) -> ssl.SSLContext:
        """A client context trusting this service's CA, for code that does not use ``SSL_CERT_FILE``."""
        return ssl.create_default_context(cafile=self._ca_file)

    def connection(self, conn_id: int) -> Connection:
        for c in self.connections:
            if c.id == conn_id:
                return c
        raise KeyError(f"no connection {conn_id}")

    # -- lifecycle ------------------------------------------------------------

    async def start(self) -> "MarketDataService":
        """Start listening (on the same port as before, if it ran before)."""
        loop = asyncio.get_running_loop()
        if self._loop is not None and self._loop is not loop and self._loop.is_running():
            raise RuntimeError("MarketDataService is bound to another running event loop")
        self._loop = loop
        self._started = True
        if self._server is None:
            await self._listen()
        return self

    async def stop(self, *, graceful: bool = True, timeout: float = 2.0) -> None:
        """Stop listening and end every connection.

        ``graceful``: send CLOSE 1001 "service stopping" and close the TCP
        connection after it; otherwise drop the connections abruptly. Waits up
        to ``timeout`` seconds for them to end, then aborts what is left.
        """
        self._started = False
        for h in self._timers:
            h.cancel()
        self._timers.clear()
        self._unlisten()
        for conn in self.open_connections:
            if graceful:
                self._send_close(conn, 1001, b"service stopping")
                conn.transport.disconnect(True)
            else:
                conn.transport.disconnect(False)
        try:
            await self.wait_for(lambda: not self.open_connections, timeout, "all connections closed")
        except TimeoutError:
            for conn in self.open_connections:
                conn.transport.disconnect(False)
        for conn in self.connections:
            if conn._task is not None and not conn._task.done():
                conn._task.cancel()
        servers, self._old_servers = self._old_servers, []
        for server in servers:
            try:
                await asyncio.wait_for(server.wait_closed(), timeout)
            except (TimeoutError, asyncio.TimeoutError):
                logger.warning("server %r did not close within %.1fs", server, timeout)

    async def restart(self, *, down_for: float = 0.0, tls: Optional[str] = None, graceful: bool = True) -> None:
        """Stop, stay down ``down_for`` seconds, and start again on the same port
        (optionally presenting another certificate, ``tls``)."""
        await self.stop(graceful=graceful)
        if tls is not None:
            self.set_tls(tls)
        if down_for > 0:
            await asyncio.sleep(down_for)
        await self.start()

    async def __aenter__(self) -> "MarketDataService":
        return await self.start()

    async def __aexit__(self, *exc) -> None:
        await self.stop()

    def close_files(self) -> None:
        """Remove the temporary CA file now (also done when the object is collected)."""
        if self._cleanup is not None:
            self._cleanup()

    def set_tls(self, mode: str) -> None:
        """Choose the certificate for the next start or reopening (``TLS_MODES``)."""
        if mode not in TLS_MODES:
            raise ValueError(f"tls must be one of {TLS_MODES}, not {mode!r}")
        self.tls = mode

    def _ssl_context(self, mode: str) -> ssl.SSLContext:
        ctx = self._ssl_contexts.get(mode)
        if ctx is not None:
            return ctx
        names = (HOST, "localhost")
        if mode == "trusted":
            cert = self._ca.issue_cert(*names)
        elif mode == "untrusted":
            cert = self._trustme.CA().issue_cert(*names)
        elif mode == "wrong_host":
            cert = self._ca.issue_cert(WRONG_HOST_NAME)
        else:  # expired
            now = datetime.datetime.now(datetime.timezone.utc)
            cert = self._ca.issue_cert(*names, not_before=now - datetime.timedelta(days=2),
                                       not_after=now - datetime.timedelta(days=1))
        ctx = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH)
        cert.configure_cert(ctx)
        self._certs[mode] = cert
        self._ssl_contexts[mode] = ctx
        return ctx

    async def _listen(self) -> None:
        server = await ws_create_server(
            self._listener_factory,
            HOST,
            self.port,
            ssl=self._ssl_context(self.tls),
            # PINGs are answered by us so that tests can switch it off per connection.
            enable_auto_pong=False,
            websocket_handshake_timeout=5,
            logger_name="quotra.service",
        )
        self._server = server
        self._old_servers.append(server)
        if not self.port:
            self.port = server.sockets[0].getsockname()[1]
        logger.info("listening on %s (tls=%s)", self.url, self.tls)

    def _unlisten(self) -> None:
        if self._server is not None:
            # Closes only the listening socket: connections stay until they end.
            self._server.close()
            self._server = None
            logger.info("listening socket on port %s closed", self.port)

    def _listener_factory(self, request):
        if self._reject:
            self._event("reject", None)
            self._notify()
            response = WSUpgradeResponse.create_error_response(
                HTTPStatus.SERVICE_UNAVAILABLE, b"refusing connections")
            return WSUpgradeResponseWithListener(response, None)
        return _Listener(self, request.path)

    # -- refusing connections -------------------------------------------------

    async def refuse(self, duration: Optional[float] = None, *, mode: str = "close") -> None:
        """Refuse new connections; existing ones go on.

        ``mode="close"``: close the listening socket (connection attempts fail
        with "connection refused"); ``mode="reject"``: keep listening but
        answer every upgrade with HTTP 503. With ``duration``, accept again
        after that many seconds (reopening on the same port); otherwise until
        ``accept()``.
        """
        if mode not in ("close", "reject"):
            raise ValueError("mode must be 'close' or 'reject'")
        if mode == "close":
            self._unlisten()
        else:
            self._reject = True
        if duration is not None:
            self._call_later(duration, lambda: self._spawn(self.accept()))

    async def accept(self) -> None:
        """Accept connections again after ``refuse``."""
        self._reject = False
        if self._started and self._server is None:
            await self._listen()

    # -- connection events (called by the listener) ---------------------------

    def _event(self, kind: str, conn_id: Optional[int]) -> None:
        self.events.append(Event(kind, conn_id, time.time_ns()))

    def _on_open(self, transport: WSTransport, path: bytes) -> Connection:
        conn = Connection(len(self.connections) + 1, transport, path, self.record_sent)
        self.connections.append(conn)
        self._event("open", conn.id)
        logger.debug("connection %d opened from %s", conn.id, conn.peer)
        conn._task = asyncio.get_running_loop().create_task(self._stream(conn), name=f"quotra.service stream {conn.id}")
        self._notify()
        return conn

    def _on_close(self, conn: Connection) -> None:
        conn.closed_at_ns = time.time_ns()
        conn.writable.set()  # release a sender waiting for resume_writing
        conn._wake.set()
        self._event("close", conn.id)
        logger.debug("connection %d closed", conn.id)
        self._notify()

    def _on_frame(self, conn: Connection, frame) -> None:
        # Never raises: picows would close the connection with 1011.
        try:
            msg_type = frame.msg_type
            payload = frame.get_payload_as_bytes()
            conn.received.append(Frame(msg_type, payload))
            if msg_type is WSMsgType.TEXT:
                if frame.fin:
                    self._on_text(conn, payload)
                else:
                    conn._fragments = [payload]
            elif msg_type is WSMsgType.CONTINUATION:
                if conn._fragments is not None:
                    conn._fragments.append(payload)
                    if frame.fin:
                        text, conn._fragments = b"".join(conn._fragments), None
                        self._on_text(conn, text)
            elif msg_type is WSMsgType.PING:
                answer = self.answer_pings if conn.answer_pings is None else conn.answer_pings
                if answer:
                    conn.transport.send_pong(payload)
            elif msg_type is WSMsgType.CLOSE:
                code = struct.unpack("!H", payload[:2])[0] if len(payload) >= 2 else None
                conn.close_received = (code, payload[2:])
                if conn.close_sent:
                    conn.transport.disconnect(True)  # handshake complete
                elif self.reply_to_close:
                    self._send_close(conn, code, b"")
                    conn.transport.disconnect(True)
        except Exception:
            logger.exception("error handling a frame on connection %d", conn.id)
        self._notify()

    def _on_text(self, conn: Connection, payload: bytes) -> None:
        try:
            obj = orjson.loads(payload)
        except orjson.JSONDecodeError:
            return
        if not isinstance(obj, dict):
            return
        changed = False
        sub, unsub = obj.get("subscribe"), obj.get("unsubscribe")
        if isinstance(sub, list):
            for item in sub:
                if isinstance(item, str) and item not in conn.subscribed:
                    conn.subscribed[item] = None
                    changed = True
        if isinstance(unsub, list):
            for item in unsub:
                if isinstance(item, str) and item in conn.subscribed:
                    del conn.subscribed[item]
                    changed = True
        if changed:
            conn._instruments = tuple(conn.subscribed)
            conn._wake.set()

    # -- quote streaming --------------------------------------------------------

    @staticmethod
    def _check_stream(rate, count) -> None:
        if rate is not None and not (rate > 0 and math.isfinite(rate)):
            raise ValueError("rate must be a positive finite number of quotes per second, or None")
        if count is not None and count < 0:
            raise ValueError("count must be >= 0 or None")

    def set_stream(self, *, rate: Optional[float] = None, count: Optional[int] = None) -> None:
        """Change ``rate`` and ``count`` for every connection, at once."""
        self._check_stream(rate, count)
        self.rate, self.count = rate, count
        self._wake_streams()

    def pause_quotes(self) -> None:
        """Stop the automatic quotes (``rate``/``count``) until ``resume_quotes``."""
        self._quotes_paused = True

    def resume_quotes(self) -> None:
        self._quotes_paused = False
        self._wake_streams()

    def _wake_streams(self) -> None:
        for conn in self.open_connections:
            conn._wake.set()

    def _stream_idle(self, conn: Connection) -> bool:
        return (self._quotes_paused or conn.close_sent or not conn._instruments
                or (self.rate is None and self.count is None)
                or (self.count is not None and conn.quotes_sent >= self.count))

    async def _stream(self, conn: Connection) -> None:
        loop = asyncio.get_running_loop()
        turn = 0
        next_at = loop.time()
        try:
            while conn.is_open:
                if self._stream_idle(conn):
                    conn._wake.clear()
                    await conn._wake.wait()
                    next_at = loop.time()
                    continue
                if not conn.writable.is_set():
                    await conn.writable.wait()
                    continue
                instruments = conn._instruments
                self._send_quote(conn, self._market.quote(instruments[turn % len(instruments)]))
                turn += 1
                rate = self.rate
                if rate is not None:
                    next_at += 1.0 / rate
                    delay = next_at - loop.time()
                    if delay > 0:
                        await self._sleep_or_wake(conn, delay)
                    elif delay < -1.0:
                        next_at = loop.time()  # far behind: do not burst to catch up
                    elif turn % 64 == 0:
                        await asyncio.sleep(0)
                elif turn % 64 == 0:
                    await asyncio.sleep(0)  # as fast as possible, but let the loop breathe
        except asyncio.CancelledError:
            raise
        except Exception:
            logger.exception("quote stream of connection %d failed", conn.id)

    async def _sleep_or_wake(self, conn: Connection, delay: float) -> None:
        conn._wake.clear()
        try:
            await asyncio.wait_for(conn._wake.wait(), delay)
        except (TimeoutError, asyncio.TimeoutError):
            pass

    def _send_quote(self, conn: Connection, msg: PriceTape) -> bytes:
        if self.stamp_sent_at:
            msg.sent_at_ns = time.time_ns()
        payload = encode_quote(msg)
        conn.transport.send(WSMsgType.TEXT, payload)
        conn.quotes_sent += 1
        if conn.sent.maxlen:
            conn.sent.append(payload)
        return payload

    # -- control: sending -------------------------------------------------------

    def _targets(self, conn: ConnRef) -> list[Connection]:
        if conn is None:
            return self.open_connections
        if isinstance(conn, (int, Connection)):
            conn = [conn]
        out = []
        for c in conn:
            out.append(self.connection(c) if isinstance(c, int) else c)
        return out

    def send_quote(self, instrument: str = "ABC", conn: ConnRef = None, **fields) -> bytes:
        """Send one quote now to ``conn`` (default: every open connection),
        subscribed or not; returns the payload sent.

        Without ``fields`` the quote is the next step of ``instrument``'s random
        walk; with fields (``PriceTape`` field names) exactly those values.
        """
        msg = PriceTape(instrument=instrument, **fields) if fields else self._market.quote(instrument)
        payload = encode_quote(msg)
        for c in self._targets(conn):
            if c.is_open:
                c.transport.send(WSMsgType.TEXT, payload)
                c.quotes_sent += 1
                if c.sent.maxlen:
                    c.sent.append(payload)
        return payload

    def send_frame(self, payload: Union[bytes, str, None] = b"", msg_type: WSMsgType = WSMsgType.TEXT,
                   conn: ConnRef = None, *, fin: bool = True, rsv1: bool = False) -> None:
        """Send one raw frame of any type with any payload, unchecked: TEXT
        with malformed JSON, BINARY, PING, PONG, CONTINUATION, even CLOSE
        (prefer ``close`` for that)."""
        if isinstance(payload, str):
            payload = payload.encode()
        for c in self._targets(conn):
            if c.is_open:
                c.transport.send(msg_type, payload, fin, rsv1)

    def close(self, code: Optional[int] = 1000, reason: Union[bytes, str] = b"", conn: ConnRef = None,
              *, disconnect_after: Optional[float] = 2.0) -> None:
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

    def _send_close(self, conn: Connection, code: Optional[int], reason: bytes) -> None:
        if conn.close_sent or not conn.is_open:
            return
        payload = b"" if code is None else struct.pack("!H", code) + reason
        # A raw send: picows' send_close accepts only its WSCloseCode values
        # and str-decodable reasons.
        conn.transport.send(WSMsgType.CLOSE, payload)
        conn.close_sent = True
        conn._wake.set()

    def drop(self, conn: ConnRef = None) -> None:
        """End connections abruptly: the socket is closed at once, no CLOSE frame."""
        for c in self._targets(conn):
            self._disconnect_if_open(c, False)

    @staticmethod
    def _disconnect_if_open(conn: Connection, graceful: bool) -> None:
        if conn.is_open:
            conn.transport.disconnect(graceful)

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

    async def blast(self, n: int, conn: ConnRef = None, *, instrument: str = "BENCH",
                    stamp: bool = False, yield_every: int = 256) -> int:
        """Benchmark sender: send ``n`` quote frames to each target connection
        as fast as their sockets take them; returns the number of frames sent.

        The frame is encoded once and is the same for every client. With
        ``stamp``, each round's frame carries ``time.time_ns()`` at send in
        ``sent_at_ns`` (appended to the pre-serialized message, so still one
        encoding per round, shared by all clients).
        """
        targets = [c for c in self._targets(conn) if c.is_open]
        base = self._market.quote(instrument)
        base.sent_at_ns = 0
        base_bytes = base.SerializeToString()
        frame = encode_quote(base_bytes)
        b64 = base64.b64encode
        text = WSMsgType.TEXT
        sent = 0
        for i in range(n):
            if not targets:
                break
            if stamp:
                frame = _QUOTE_PREFIX + b64(base_bytes + _SENT_AT_TAG + _varint(time.time_ns())) + _QUOTE_SUFFIX
            for c in targets:
                if not c.writable.is_set():
                    await c.writable.wait()
                if not c.is_open:
                    continue
                c.transport.send(text, frame)
                c.quotes_sent += 1
                sent += 1
            if any(not c.is_open for c in targets):
                targets = [c for c in targets if c.is_open]
            if yield_every and (i + 1) % yield_every == 0:
                await asyncio.sleep(0)
        return sent

    # -- waiting ----------------------------------------------------------------

    def _notify(self) -> None:
        waiters, self._waiters = self._waiters, []
        for fut in waiters:
            if not fut.done():
                fut.set_result(None)

    async def wait_for(self, predicate: Callable[[], Any], timeout: float = 5.0, what: str = "condition") -> Any:
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
                raise TimeoutError(f"timed out after {timeout}s waiting for {what}; "
                                   f"connections: {self.connections!r}")
            fut = loop.create_future()
            self._waiters.append(fut)
            try:
                await asyncio.wait_for(fut, min(remaining, 0.25))  # re-check also on a timer
            except (TimeoutError, asyncio.TimeoutError):
                pass

    async def wait_connections(self, n: int = 1, timeout: float = 5.0, *, open: bool = False) -> list[Connection]:
        """Wait until ``n`` connections have opened since the service was made
        (``open=True``: until ``n`` are open at once); returns them."""
        def check():
            conns = self.open_connections if open else self.connections
            return conns[:] if len(conns) >= n else None
        return await self.wait_for(check, timeout, f"{n} {'open ' if open else ''}connection(s)")

    async def wait_disconnected(self, conn: ConnRef = None, timeout: float = 5.0) -> None:
        """Wait until the given connections (default: all known) have closed."""
        targets = self.connections[:] if conn is None else self._targets(conn)
        await self.wait_for(lambda: all(not c.is_open for c in targets) or None, timeout,
                            f"connection(s) {[c.id for c in targets]} to close")

    async def wait_message(self, match: Any, conn: ConnRef = None, timeout: float = 5.0,
                           *, start: int = 0) -> tuple[Connection, Frame]:
        """Wait for a received frame matching ``match``; returns (connection, frame).

        ``match``: bytes or str (exact payload), a ``WSMsgType``, a
        (msg_type, payload) tuple, a dict or list (a TEXT frame whose JSON
        equals it), or a predicate on ``Frame``. Frames already received count;
        ``start`` skips the first ``start`` frames of each connection.
        """
        pred = _frame_matcher(match)

        def check():
            for c in (self.connections if conn is None else self._targets(conn)):
                for f in c.received[start:]:
                    if pred(f):
                        return (c, f)
            return None
        return await self.wait_for(check, timeout, f"a message matching {match!r}")

    async def wait_subscribed(self, instruments: Iterable[str], conn: ConnRef = None, timeout: float = 5.0) -> Connection:
        """Wait until a connection is subscribed to all ``instruments``; returns it."""
        want = set(instruments)

        def check():
            for c in (self.open_connections if conn is None else self._targets(conn)):
                if c.is_open and want <= c.subscribed.keys():
                    return c
            return None
        return await self.wait_for(check, timeout, f"a subscription to {sorted(want)}")

    async def wait_quotes_sent(self, n: int, conn: ConnRef = None, timeout: float = 5.0) -> None:
        """Wait until ``n`` quotes have been sent (in total over ``conn``, default all)."""
        def check():
            targets = self.connections if conn is None else self._targets(conn)
            return sum(c.quotes_sent for c in targets) >= n
        await self.wait_for(check, timeout, f"{n} quotes sent")

    # -- internals ----------------------------------------------------------------

    def _call_later(self, delay: float, fn, *args) -> None:
        loop = self._loop or asyncio.get_running_loop()
        handle: Optional[asyncio.TimerHandle] = None

        def run():
            self._timers.discard(handle)
            fn(*args)
        handle = loop.call_later(delay, run)
        self._timers.add(handle)

    def _spawn(self, coro) -> None:
        task = asyncio.get_running_loop().create_task(coro)
        task.add_done_callback(_log_task_error)


def _log_task_error(task: asyncio.Task) -> None:
    if not task.cancelled() and task.exception() is not None:
        logger.error("service task failed", exc_info=task.exception())


def _frame_matcher(match: Any) -> Callable[[Frame], bool]:
    if isinstance(match, str):
        match = match.encode()
    if isinstance(match, (bytes, bytearray)):
        want = bytes(match)
        return lambda f: f.payload == want
    if isinstance(match, WSMsgType):
        return lambda f: f.msg_type is match
    if isinstance(match, tuple) and len(match) == 2 and isinstance(match[0], WSMsgType):
        want_t = Frame(match[0], bytes(match[1]))
        return lambda f: f == want_t
    if isinstance(match, (dict, list)):
        def json_equal(f: Frame) -> bool:
            if f.msg_type is not WSMsgType.TEXT:
                return False
            try:
                return orjson.loads(f.payload) == match
            except orjson.JSONDecodeError:
                return False
        return json_equal
    if callable(match):
        return match
    raise TypeError(f"cannot match frames against {match!r}")


# ---------------------------------------------------------------------------
# Running in a background thread
# ---------------------------------------------------------------------------

class ServiceThread:
    """Runs a ``MarketDataService`` on its own event loop in a daemon thread.

    ``with ServiceThread(**service_options) as svc:`` starts it and stops it
    on exit. Every method of the service is available on ``svc`` and runs on
    the service's loop; coroutine methods are awaited there, and the call
    returns their result here (``svc.wait_connections(1)``, ``svc.drop()``,
    ``svc.restart(down_for=1)``). Attributes (``port``, ``url``, ``ca_file``,
    ``connections``, ``events``) read the live objects. Every call is bounded
    by ``call_timeout`` seconds (or the call's own ``timeout`` plus 5).
    """

    def __init__(self, service: Optional[MarketDataService] = None, *, call_timeout: float = 30.0, **options):
        if service is not None and options:
            raise TypeError("give either a service or its options, not both")
        self.service = service if service is not None else MarketDataService(**options)
        self.call_timeout = call_timeout
        self.loop: Optional[asyncio.AbstractEventLoop] = None
        self._thread: Optional[threading.Thread] = None

    def start(self) -> "ServiceThread":
        if self._thread is not None:
            raise RuntimeError("already started")
        ready = threading.Event()

        def run():
            loop = asyncio.new_event_loop()
            self.loop = loop
            asyncio.set_event_loop(loop)
            ready.set()
            try:
                loop.run_forever()
            finally:
                try:
                    pending = [t for t in asyncio.all_tasks(loop) if not t.done()]
                    for t in pending:
                        t.cancel()
                    if pending:
                        loop.run_until_complete(asyncio.wait(pending, timeout=2))
                finally:
                    loop.close()

        self._thread = threading.Thread(target=run, name="quotra.service", daemon=True)
        self._thread.start()
        if not ready.wait(10):
            raise RuntimeError("service thread did not start")
        try:
            self.call(self.service.start)
        except BaseException:
            self._end_thread(10.0)
            raise
        return self

    def stop(self, timeout: float = 10.0) -> None:
        if self._thread is None or self.loop is None:
            return
        try:
            if self.loop.is_running():
                self.call(self.service.stop, _timeout=timeout)
        finally:
            self._end_thread(timeout)

    def _end_thread(self, timeout: float) -> None:
        if self.loop is not None and not self.loop.is_closed():
            self.loop.call_soon_threadsafe(self.loop.stop)
        if self._thread is not None:
            self._thread.join(timeout)
            self._thread = None

    def __enter__(self) -> "ServiceThread":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.stop()

    def call(self, fn: Callable, *args, _timeout: Optional[float] = None, **kwargs) -> Any:
        """Run ``fn(*args, **kwargs)`` on the service loop (awaiting it if it
        returns an awaitable) and return its result."""
        if self.loop is None:
            raise RuntimeError("service thread not started")

        async def runner():
            result = fn(*args, **kwargs)
            if inspect.isawaitable(result):
                result = await result
            return result

        if _timeout is None:
            inner = kwargs.get("timeout")
            _timeout = max(self.call_timeout, inner + 5.0) if isinstance(inner, (int, float)) else self.call_timeout
        future = asyncio.run_coroutine_threadsafe(runner(), self.loop)
        try:
            return future.result(_timeout)
        except TimeoutError:
            future.cancel()
            raise

    def __getattr__(self, name: str) -> Any:
        attr = getattr(self.service, name)
        if callable(attr) and not isinstance(attr, type):
            def proxy(*args, **kwargs):
                return self.call(attr, *args, **kwargs)
            proxy.__name__ = name
            proxy.__doc__ = getattr(attr, "__doc__", None)
            return proxy
        return attr


# ---------------------------------------------------------------------------
# Command line
# ---------------------------------------------------------------------------

def _parse_args(argv: Optional[list[str]]) -> argparse.Namespace:
    p = argparse.ArgumentParser(
        prog="python -m quotra.service",
        description="Local market-data websocket service (TLS, 127.0.0.1 only) for quotra: "
                    "accepts {\"subscribe\":[...]} / {\"unsubscribe\":[...]} and streams "
                    "{\"message\":\"<base64 PriceTape>\"} quotes. Prints one JSON line with "
                    "url, port and ca_file once listening; point SSL_CERT_FILE at ca_file.")
    p.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default 0: a free port)")
    p.add_argument("--rate", type=float, default=10.0,
                   help="quotes per second per connection, over its subscribed instruments (default 10)")
    p.add_argument("--count", type=int, default=None,
                   help="quotes per connection in total (with --rate 0: as fast as possible)")
    p.add_argument("--ca-file", default=None,
                   help="write the CA certificate (PEM) here (default: a temporary file, removed at exit)")
    p.add_argument("--duration", type=float, default=60.0,
                   help="seconds to run before stopping (default 60; must be > 0)")
    p.add_argument("--seed", type=int, default=0, help="seed of the price random walks (default 0)")
    p.add_argument("--tls", choices=TLS_MODES, default="trusted", help="certificate to present (default trusted)")
    p.add_argument("--stamp", action="store_true", help="put the send time in sent_at_ns of every quote")
    p.add_argument("-v", "--verbose", action="store_true", help="log connections and events")
    args = p.parse_args(argv)
    if not (args.duration > 0 and math.isfinite(args.duration)):
        p.error("--duration must be a positive number of seconds")
    if args.rate < 0 or not math.isfinite(args.rate):
        p.error("--rate must be >= 0")
    if not 0 <= args.port <= 65535:
        p.error("--port must be in 0..65535")
    return args


async def _serve(args: argparse.Namespace) -> None:
    svc = MarketDataService(
        port=args.port,
        rate=args.rate or None,
        count=args.count,
        seed=args.seed,
        tls=args.tls,
        ca_file=args.ca_file,
        stamp_sent_at=args.stamp,
        record_sent=0,
    )
    loop = asyncio.get_running_loop()
    done = asyncio.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        try:
            loop.add_signal_handler(sig, done.set)
        except (NotImplementedError, RuntimeError):  # pragma: no cover
            pass
    await svc.start()
    print(orjson.dumps({"url": svc.url, "port": svc.port, "ca_file": svc.ca_file}).decode(), flush=True)
    try:
        await asyncio.wait_for(done.wait(), args.duration)
    except (TimeoutError, asyncio.TimeoutError):
        pass
    await svc.stop()
    sent = sum(c.quotes_sent for c in svc.connections)
    print(orjson.dumps({"connections": len(svc.connections), "quotes_sent": sent}).decode(), flush=True)
    svc.close_files()


def main(argv: Optional[list[str]] = None) -> int:
    args = _parse_args(argv)
    logging.basicConfig(level=logging.INFO if args.verbose else logging.WARNING,
                        format="%(asctime)s %(name)s %(levelname)s %(message)s", stream=sys.stderr)
    asyncio.run(_serve(args))
    return 0


if __name__ == "__main__":
    sys.exit(main())
