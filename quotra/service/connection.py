"""What the service records: one client connection, its frames and events,
and how tests name connections and match frames."""

from __future__ import annotations

import asyncio
import time
from collections import deque
from collections.abc import Callable, Iterable
from typing import Any, NamedTuple

import orjson
from picows import WSMsgType, WSTransport

__all__ = ["Frame", "Event", "Connection", "ConnRef", "frame_matcher"]


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
    conn_id: int | None
    time_ns: int


class Connection:
    """What the service knows about one client connection.

    Read-only for tests: ``id`` (1, 2, ... in accept order), ``peer``
    (host, port), ``path`` (request target, bytes), ``received`` (every frame,
    in order), ``subscriptions`` (instruments, in subscription order),
    ``quotes_sent``, ``sent`` (the last quote payloads sent, bounded),
    ``write_pauses`` (how often the socket's buffer filled up),
    ``close_received`` ((code, reason bytes) of the client's CLOSE, or None),
    ``is_open``, ``opened_at_ns``/``closed_at_ns``. ``transport`` is the
    picows transport while the connection is open, None once it has ended.
    """

    def __init__(self, conn_id: int, transport: WSTransport, path: bytes, record_sent: int):
        self.id = conn_id
        self.transport: WSTransport | None = transport
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
        self.answer_pings: bool | None = None  # None: follow the service
        self.close_received: tuple[int | None, bytes] | None = None
        self.close_sent = False
        self.opened_at_ns = time.time_ns()
        self.closed_at_ns: int | None = None
        self.writable = asyncio.Event()
        self.writable.set()
        self._wake = asyncio.Event()
        self._task: asyncio.Task[None] | None = None
        self._fragments: list[bytes] | None = None
        self._instruments: tuple[str, ...] = ()
        self._streamed: tuple[str, ...] = ()  # the subscriptions the service quotes

    @property
    def is_open(self) -> bool:
        return self.closed_at_ns is None

    @property
    def subscriptions(self) -> tuple[str, ...]:
        return self._instruments

    def texts(self) -> list[bytes]:
        """Payloads of the TEXT frames received, in order."""
        return [f.payload for f in self.received if f.msg_type is WSMsgType.TEXT]

    @property
    def link(self) -> WSTransport:
        """The transport of this open connection (ConnectionError once it has ended)."""
        if self.transport is None:
            raise ConnectionError(f"connection {self.id} has ended")
        return self.transport

    def _ended(self) -> None:
        self.closed_at_ns = time.time_ns()
        # The transport holds the TLS connection's buffers: a record that
        # outlives its connection must not keep them.
        self.transport = None
        self._fragments = None
        self.writable.set()  # release a sender waiting for resume_writing
        self._wake.set()

    def __repr__(self) -> str:
        state = "open" if self.is_open else "closed"
        return (
            f"<Connection {self.id} {state} peer={self.peer} received={len(self.received)} "
            f"subscribed={list(self._instruments)} quotes_sent={self.quotes_sent}>"
        )


#: How controls and waits name connections: None (every open one), an id, a
#: ``Connection``, or a collection of ids and connections.
ConnRef = None | int | Connection | Iterable[int | Connection]


def frame_matcher(match: Any) -> Callable[[Frame], bool]:
    """A predicate on ``Frame`` from what ``wait_message`` accepts."""
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
                return bool(orjson.loads(f.payload) == match)
            except orjson.JSONDecodeError:
                return False

        return json_equal
    if callable(match):
        matches: Callable[[Frame], bool] = match
        return matches
    raise TypeError(f"cannot match frames against {match!r}")
