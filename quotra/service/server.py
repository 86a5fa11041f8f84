"""The service: ``MarketDataService`` joins its parts (the listening socket,
the per-connection protocol, the quote senders and the test controls) over
one set of records and settings, made here."""

from __future__ import annotations

import asyncio
import logging
import math
import ssl
from collections import deque
from collections.abc import Callable, Coroutine, Iterable
from typing import Any

from .connection import Connection, ConnRef, Event
from .controls import ServiceControls
from .endpoint import HOST, service_url
from .listening import ListeningSocket
from .market import Market, SharedMarket
from .protocol import ConnectionProtocol
from .senders import QuoteSenders
from .tls import TlsMaterial, check_tls_mode

__all__ = ["MarketDataService", "ConnRef"]

logger = logging.getLogger("quotra.service")


class MarketDataService(ListeningSocket, ConnectionProtocol, QuoteSenders, ServiceControls):
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
    ``shared_market``: one market for every connection (default False: each
    connection's stream steps the walks on its own): every connection
    subscribed to an instrument gets the same quotes, with the same
    ``exchange_ts_ns``, as two feeds of one exchange would.

    ``accepted`` counts the connections opened since the service was made,
    ``quotes_sent`` the quotes sent over all of them, ``quotes_sent_by_instrument``
    the same by instrument.
    """

    RECENT_EVENTS = 1000

    def __init__(
        self,
        *,
        host: str = HOST,
        port: int = 0,
        rate: float | None = None,
        count: int | None = None,
        seed: int = 0,
        instruments: Iterable[str] | None = None,
        tls: str = "trusted",
        ca_file: str | None = None,
        answer_pings: bool = True,
        reply_to_close: bool = True,
        stamp_sent_at: bool = False,
        record_sent: int = 10_000,
        keep_ended: bool = True,
        fragment_size: int | None = None,
        close_after: float | None = None,
        close_timeout: float = 10.0,
        shared_market: bool = False,
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
        self.events: list[Event] | deque[Event] = (
            [] if keep_ended else deque(maxlen=self.RECENT_EVENTS)
        )
        self.accepted = 0
        self._ended_quotes_sent = 0  # by the connections no longer in ``connections``
        self._sent_by_instrument: dict[str, int] = {}  # over every connection, ended ones too
        self.shared_market = bool(shared_market)
        self._market = SharedMarket(seed) if shared_market else Market(seed)
        self._quotes_paused = False
        self._reject = False
        self._server: asyncio.AbstractServer | None = None
        self._old_servers: list[asyncio.AbstractServer] = []
        self._loop: asyncio.AbstractEventLoop | None = None
        self._waiters: list[asyncio.Future[Any]] = []
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

    @property
    def quotes_sent_by_instrument(self) -> dict[str, int]:
        """``quotes_sent`` by instrument (a copy): the figures add up to it."""
        return dict(self._sent_by_instrument)

    def client_ssl_context(self) -> ssl.SSLContext:
        """A client context trusting this service's CA, for code that does not use ``SSL_CERT_FILE``."""
        return self._tls.client_context()

    def connection(self, conn_id: int) -> Connection:
        for c in self.connections:
            if c.id == conn_id:
                return c
        raise KeyError(f"no connection {conn_id}")

    def close_files(self) -> None:
        """Remove the temporary CA file now (also done when the object is collected)."""
        self._tls.close_files()

    def _targets(self, conn: ConnRef) -> list[Connection]:
        if conn is None:
            return self.open_connections
        if isinstance(conn, (int, Connection)):
            conn = [conn]
        out = []
        for c in conn:
            out.append(self.connection(c) if isinstance(c, int) else c)
        return out

    # -- internals ----------------------------------------------------------------

    def _call_later(self, delay: float, fn: Callable[..., object], *args: Any) -> None:
        loop = self._loop or asyncio.get_running_loop()
        handle: asyncio.TimerHandle | None = None

        def run() -> None:
            if handle is not None:
                self._timers.discard(handle)
            fn(*args)

        handle = loop.call_later(delay, run)
        self._timers.add(handle)

    def _spawn(self, coro: Coroutine[Any, Any, object]) -> None:
        task = asyncio.get_running_loop().create_task(coro)
        task.add_done_callback(_log_task_error)


def _log_task_error(task: asyncio.Task[Any]) -> None:
    if not task.cancelled() and task.exception() is not None:
        logger.error("service task failed", exc_info=task.exception())
