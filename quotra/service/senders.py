"""The quote senders: the stream of each connection (``rate``/``count``,
paused and resumed), single quotes on demand, and the benchmark senders."""

from __future__ import annotations

import asyncio
import logging
import math
import time
from typing import Any

from picows import WSMsgType

from ..pricetape_pb2 import PriceTape
from .connection import Connection, ConnRef
from .market import SharedMarket, encode_quote, fragments, stamped_quote, text_frame, wire_frame
from .parts import ServiceParts

__all__ = ["QuoteSenders"]

logger = logging.getLogger("quotra.service")


class QuoteSenders(ServiceParts):
    """Sending quotes, as a part of ``MarketDataService``: it reads the
    service's ``rate``, ``count``, ``fragment_size``, ``stamp_sent_at`` and
    its ``Market``, and writes to the connections' transports."""

    @staticmethod
    def _check_stream(rate: float | None, count: int | None) -> None:
        if rate is not None and not (rate > 0 and math.isfinite(rate)):
            raise ValueError("rate must be a positive finite number of quotes per second, or None")
        if count is not None and count < 0:
            raise ValueError("count must be >= 0 or None")

    def set_stream(self, *, rate: float | None = None, count: int | None = None) -> None:
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
        return (
            self._quotes_paused
            or conn.close_sent
            or not conn._streamed
            or (self.rate is None and self.count is None)
            or (self.count is not None and conn.quotes_sent >= self.count)
        )

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
                symbol = instruments[turn % len(instruments)]
                market = self._market
                self._send_quote(
                    conn,
                    market.next_quote(conn.id, symbol)
                    if isinstance(market, SharedMarket)
                    else market.quote(symbol),
                    symbol,
                )
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
        finally:
            if isinstance(self._market, SharedMarket):
                self._market.forget(conn.id)

    async def _sleep_or_wake(self, conn: Connection, delay: float) -> None:
        conn._wake.clear()
        try:
            await asyncio.wait_for(conn._wake.wait(), delay)
        except TimeoutError:
            pass

    def _send_quote(self, conn: Connection, msg: PriceTape, instrument: str) -> bytes:
        if self.stamp_sent_at:
            msg = PriceTape.FromString(msg.SerializeToString()) if self.shared_market else msg
            msg.sent_at_ns = time.time_ns()
        payload = encode_quote(msg)
        self._send_text(conn, payload)
        conn.quotes_sent += 1
        by = self._sent_by_instrument
        by[instrument] = by.get(instrument, 0) + 1
        if conn.sent.maxlen:
            conn.sent.append(payload)
        return payload

    def _send_text(self, conn: Connection, payload: bytes) -> None:
        n = self.fragment_size
        if n is None or len(payload) <= n:
            conn.link.send(WSMsgType.TEXT, payload)
            return
        for opcode, part, fin in fragments(payload, n):
            conn.link.send(WSMsgType(opcode), part, fin)

    def _wire_text(self, payload: bytes) -> bytes:
        """What ``_send_text`` puts on the wire, as bytes to write at once."""
        n = self.fragment_size
        if n is None or len(payload) <= n:
            return text_frame(payload)
        return b"".join(
            wire_frame(part, opcode, fin) for opcode, part, fin in fragments(payload, n)
        )

    def send_quote(self, instrument: str = "ABC", conn: ConnRef = None, **fields: Any) -> bytes:
        """Send one quote now to ``conn`` (default: every open connection),
        subscribed or not; returns the payload sent.

        Without ``fields`` the quote is the next step of ``instrument``'s random
        walk; with fields (``PriceTape`` field names) exactly those values.
        """
        msg = (
            PriceTape(instrument=instrument, **fields) if fields else self._market.quote(instrument)
        )
        payload = encode_quote(msg)
        by = self._sent_by_instrument
        for c in self._targets(conn):
            if c.is_open:
                self._send_text(c, payload)
                c.quotes_sent += 1
                by[instrument] = by.get(instrument, 0) + 1
                if c.sent.maxlen:
                    c.sent.append(payload)
        return payload

    async def blast(
        self,
        n: int,
        conn: ConnRef = None,
        *,
        instrument: str = "BENCH",
        stamp: bool = False,
        yield_every: int = 256,
    ) -> int:
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
        by = self._sent_by_instrument
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
                by[instrument] = by.get(instrument, 0) + 1
                sent += 1
            if any(not c.is_open for c in targets):
                targets = [c for c in targets if c.is_open]
            if yield_every and (i + 1) % yield_every == 0:
                await asyncio.sleep(0)
        return sent

    async def blast_batched(
        self,
        n: int,
        conn: ConnRef = None,
        *,
        instrument: str = "BENCH",
        block_bytes: int = 16 * 1024,
    ) -> int:
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
        by = self._sent_by_instrument
        done = sent = 0
        while done < n and targets:
            k = min(per, n - done)
            data = block if k == per else frame * k
            for c in targets:
                if not c.writable.is_set():  # picows' pause_writing
                    await c.writable.wait()
                if not c.is_open:
                    continue
                c.link.underlying_transport.write(data)
                c.quotes_sent += k
                by[instrument] = by.get(instrument, 0) + k
                sent += k
            done += k
            if any(not c.is_open for c in targets):
                targets = [c for c in targets if c.is_open]
        return sent
