"""The service: listens with TLS (on 127.0.0.1 by default), records every connection,
streams quotes, and lets tests steer and wait on it."""

from __future__ import annotations

import asyncio
import logging
import math
import ssl
import struct
import time
from collections import deque
from http import HTTPStatus
from typing import Any, Callable, Iterable, Optional, Union

import orjson
from picows import (
    WSMsgType,
    WSTransport,
    WSUpgradeResponse,
    WSUpgradeResponseWithListener,
    ws_create_server,
)

from ..pricetape_pb2 import PriceTape
from .connection import Connection, Event, Frame, Listener, frame_matcher
from .endpoint import HOST, service_url
from .market import Market, encode_quote, fragments, stamped_quote, text_frame, wire_frame
from .tls import TlsMaterial, check_tls_mode

__all__ = ["MarketDataService", "ConnRef"]

logger = logging.getLogger("quotra.service")

ConnRef = Union[None, int, Connection, Iterable[Union[int, Connection]]]


class MarketDataService:
    """A TLS websocket market-data service on 127.0.0.1 (or ``host``).

    Parameters (all keyword, all optional):

    ``host``: the address to listen on and to name in ``url`` (default
    127.0.0.1); the "trusted" certificate is issued for it too.
    ``port``: 0 (default) picks a free port at the first start; every later
    start, restart or reopening uses the same port.
    ``rate``: quotes per second per connection, spread round-robin over its
    subscribed instruments; None (default) sends none on its own.
    ``count``: quotes per connection in total; with no ``rate`` they go as
    fast as the socket takes them.
    ``seed``: seed of the random walks (same seed, same prices).
    ``instruments``: the only instruments quoted (default None: any
    instrument a client subscribes to); subscriptions to others are
    recorded and get no quotes.
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
    ``keep_ended``: keep the records of ended connections in ``connections``
    (default True, for tests that look back); False forgets each as it ends
    and keeps only the last ``RECENT_EVENTS`` events, so that a long run
    holds memory for its open connections only. An ended connection's
    transport is released either way.
    ``fragment_size``: send every quote longer than this many bytes as a TEXT
    frame (fin=0) and CONTINUATION frames of at most that size, as some
    servers do (default None: whole frames).
    ``close_after``: close every connection this many seconds after it
    opened, as a server that restarts does: CLOSE 1001, then the connection
    ends when the client answers or after ``close_timeout`` seconds (default
    10, a common server default). Default None: never.

    ``accepted`` counts the connections opened since the service was made,
    ``quotes_sent`` the quotes sent over all of them.
    """

    RECENT_EVENTS = 1000

    def __init__(
        self,
        *,
        host: str = HOST,
        port: int = 0,
        rate: Optional[float] = None,
        count: Optional[int] = None,
        seed: int = 0,
        instruments: Optional[Iterable[str]] = None,
        tls: str = "trusted",
        ca_file: Optional[str] = None,
        answer_pings: bool = True,
        reply_to_close: bool = True,
        stamp_sent_at: bool = False,
        record_sent: int = 10_000,
        keep_ended: bool = True,
        fragment_size: Optional[int] = None,
        close_after: Optional[float] = None,
        close_timeout: float = 10.0,
    ):
        if fragment_size is not None and fragment_size < 1:
            raise ValueError("fragment_size must be a positive number of bytes, or None")
        if close_after is not None and not (close_after > 0 and math.isfinite(close_after)):
            raise ValueError("close_after must be a positive finite number of seconds, or None")
        check_tls_mode(tls)
        self._check_stream(rate, count)
        if isinstance(instruments, (str, bytes)):
            raise TypeError("instruments must be a collection of names, not one string")
        self.instruments = None if instruments is None else frozenset(instruments)
        self.host = str(host)
        self._tls = TlsMaterial(ca_file, self.host)
        self.port = int(port)
        self.rate = rate
        self.count = count
        self.seed = seed
        self.tls = tls
        self.answer_pings = bool(answer_pings)
        self.reply_to_close = bool(reply_to_close)
        self.stamp_sent_at = bool(stamp_sent_at)
        self.record_sent = int(record_sent)
        self.keep_ended = bool(keep_ended)
        self.fragment_size = fragment_size
        self.close_after = close_after
        self.close_timeout = float(close_timeout)

        self.connections: list[Connection] = []
        self.events: Union[list[Event], deque[Event]] = [] if keep_ended else deque(maxlen=self.RECENT_EVENTS)
        self.accepted = 0
        self._ended_quotes_sent = 0  # by the connections no longer in ``connections``
        self._market = Market(seed)
        self._quotes_paused = False
        self._reject = False
        self._server: Optional[asyncio.AbstractServer] = None
        self._old_servers: list[asyncio.AbstractServer] = []
        self._loop: Optional[asyncio.AbstractEventLoop] = None
        self._waiters: list[asyncio.Future] = []
        self._timers: set[asyncio.TimerHandle] = set()
        self._started = False

    # -- properties -----------------------------------------------------------

    @property
    def ca_file(self) -> str:
        """Path of the CA certificate (PEM) that a client must trust (``SSL_CERT_FILE``)."""
        return self._tls.ca_file

    @property
    def ca_pem(self) -> bytes:
        return self._tls.ca_pem

    @property
    def url(self) -> str:
        """``wss://127.0.0.1:<port>/?version=2`` (the port is known after the first start)."""
        return service_url(self.port, self.host)

    @property
    def is_listening(self) -> bool:
        return self._server is not None

    @property
    def open_connections(self) -> list[Connection]:
        return [c for c in self.connections if c.is_open]

    @property
    def quotes_sent(self) -> int:
        """Quotes sent over every connection since the service was made."""
        return self._ended_quotes_sent + sum(c.quotes_sent for c in self.connections)

    def client_ssl_context(self) -> ssl.SSLContext:
        """A client context trusting this service's CA, for code that does not use ``SSL_CERT_FILE``."""
        return self._tls.client_context()

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
        self._tls.close_files()

    def set_tls(self, mode: str) -> None:
        """Choose the certificate for the next start or reopening (``TLS_MODES``)."""
        self.tls = check_tls_mode(mode)

    async def _listen(self) -> None:
        server = await ws_create_server(
            self._listener_factory,
            self.host,
            self.port,
            ssl=self._tls.server_context(self.tls),
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
        return Listener(self, request.path)

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
        self.accepted += 1
        conn = Connection(self.accepted, transport, path, self.record_sent)
        self.connections.append(conn)
        self._event("open", conn.id)
        logger.debug("connection %d opened from %s", conn.id, conn.peer)
        conn._task = asyncio.get_running_loop().create_task(self._stream(conn), name=f"quotra.service stream {conn.id}")
        if self.close_after is not None:
            self._call_later(self.close_after, self._close_first, conn)
        self._notify()
        return conn

    def _on_close(self, conn: Connection) -> None:
        conn._ended()
        if not self.keep_ended:
            self.connections.remove(conn)
            self._ended_quotes_sent += conn.quotes_sent
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
            quoted = self.instruments
            conn._streamed = conn._instruments if quoted is None else tuple(
                i for i in conn._instruments if i in quoted)
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
        return (self._quotes_paused or conn.close_sent or not conn._streamed
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
                instruments = conn._streamed
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
        self._send_text(conn, payload)
        conn.quotes_sent += 1
        if conn.sent.maxlen:
            conn.sent.append(payload)
        return payload

    def _send_text(self, conn: Connection, payload: bytes) -> None:
        n = self.fragment_size
        if n is None or len(payload) <= n:
            conn.transport.send(WSMsgType.TEXT, payload)
            return
        for opcode, part, fin in fragments(payload, n):
            conn.transport.send(WSMsgType(opcode), part, fin)

    def _wire_text(self, payload: bytes) -> bytes:
        """What ``_send_text`` puts on the wire, as bytes to write at once."""
        n = self.fragment_size
        if n is None or len(payload) <= n:
            return text_frame(payload)
        return b"".join(wire_frame(part, opcode, fin) for opcode, part, fin in fragments(payload, n))

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
                self._send_text(c, payload)
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

    def _close_first(self, conn: Connection) -> None:
        # 1001 "going away": what a server that restarts sends.
        self.close(1001, b"", conn, disconnect_after=self.close_timeout)

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
        sent = 0
        for i in range(n):
            if not targets:
                break
            if stamp:
                frame = stamped_quote(base_bytes, time.time_ns())
            for c in targets:
                if not c.writable.is_set():
                    await c.writable.wait()
                if not c.is_open:
                    continue
                self._send_text(c, frame)
                c.quotes_sent += 1
                sent += 1
            if any(not c.is_open for c in targets):
                targets = [c for c in targets if c.is_open]
            if yield_every and (i + 1) % yield_every == 0:
                await asyncio.sleep(0)
        return sent

    async def blast_batched(self, n: int, conn: ConnRef = None, *, instrument: str = "BENCH",
                            block_bytes: int = 16 * 1024) -> int:
        """Benchmark sender for clients faster than ``blast``: the same
        pre-encoded frame ``n`` times to each target connection, many frames
        per write to the TLS transport (up to ``block_bytes``, one TLS record
        per write), honouring the same flow control; returns the number of
        frames sent. ``blast`` sends one frame per ``send`` from Python and
        tops out below what the fastest clients take."""
        frame = self._wire_text(encode_quote(self._market.quote(instrument)))
        per = max(1, block_bytes // len(frame))
        block = frame * per
        targets = [c for c in self._targets(conn) if c.is_open]
        done = sent = 0
        while done < n and targets:
            k = min(per, n - done)
            data = block if k == per else frame * k
            for c in targets:
                if not c.writable.is_set():  # picows' pause_writing
                    await c.writable.wait()
                if not c.is_open:
                    continue
                c.transport.underlying_transport.write(data)
                c.quotes_sent += k
                sent += k
            done += k
            if any(not c.is_open for c in targets):
                targets = [c for c in targets if c.is_open]
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
            if open:
                conns = self.open_connections
                return conns if len(conns) >= n else None
            return self.connections[:] if self.accepted >= n else None
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
        pred = frame_matcher(match)

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


