"""The per-connection protocol: the picows listener of each accepted
connection, and what the service does with its events and frames (records,
subscriptions, PINGs, the closing handshake)."""

from __future__ import annotations

import asyncio
import logging
import struct
import time

import orjson
from picows import WSFrame, WSListener, WSMsgType, WSTransport

from .connection import Connection, Event, Frame
from .parts import ServiceParts

__all__ = ["ConnectionProtocol", "Listener"]

logger = logging.getLogger("quotra.service")


class ConnectionProtocol(ServiceParts):
    """The service's side of every connection, as a part of ``MarketDataService``:
    it works on the service's records (``connections``, ``events``, ``accepted``)
    and settings (``answer_pings``, ``reply_to_close``, ``instruments``,
    ``close_after``, ``keep_ended``, ``record_sent``)."""

    def _event(self, kind: str, conn_id: int | None) -> None:
        self.events.append(Event(kind, conn_id, time.time_ns()))

    def _on_open(self, transport: WSTransport, path: bytes) -> Connection:
        self.accepted += 1
        conn = Connection(self.accepted, transport, path, self.record_sent)
        self.connections.append(conn)
        self._event("open", conn.id)
        logger.debug("connection %d opened from %s", conn.id, conn.peer)
        conn._task = asyncio.get_running_loop().create_task(
            self._stream(conn), name=f"quotra.service stream {conn.id}"
        )
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

    def _on_frame(self, conn: Connection, frame: WSFrame) -> None:
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
                    conn.link.send_pong(payload)
            elif msg_type is WSMsgType.CLOSE:
                code = struct.unpack("!H", payload[:2])[0] if len(payload) >= 2 else None
                conn.close_received = (code, payload[2:])
                if conn.close_sent:
                    conn.link.disconnect(True)  # handshake complete
                elif self.reply_to_close:
                    self._send_close(conn, code, b"")
                    conn.link.disconnect(True)
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
            conn._streamed = (
                conn._instruments
                if quoted is None
                else tuple(i for i in conn._instruments if i in quoted)
            )
            conn._wake.set()

    def _send_close(self, conn: Connection, code: int | None, reason: bytes) -> None:
        if conn.close_sent or not conn.is_open:
            return
        payload = b"" if code is None else struct.pack("!H", code) + reason
        # A raw send: picows' send_close accepts only its WSCloseCode values
        # and str-decodable reasons.
        conn.link.send(WSMsgType.CLOSE, payload)
        conn.close_sent = True
        conn._wake.set()

    @staticmethod
    def _disconnect_if_open(conn: Connection, graceful: bool) -> None:
        if conn.is_open:
            conn.link.disconnect(graceful)


class Listener(WSListener):
    """The picows listener of one accepted connection."""

    def __init__(self, service: ConnectionProtocol, path: bytes):
        super().__init__()
        self._service = service
        self._path = path
        self.conn: Connection | None = None

    def on_ws_connected(self, transport: WSTransport) -> None:
        self.conn = self._service._on_open(transport, self._path)

    def on_ws_frame(self, transport: WSTransport, frame: WSFrame) -> None:
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
