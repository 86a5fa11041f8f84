"""Market data: a seeded random walk per instrument and the quote frames that carry it."""

from __future__ import annotations

import base64
import math
import random
import struct
import time
from collections import deque
from collections.abc import Hashable
from typing import Any

from ..pricetape_pb2 import PriceTape

__all__ = [
    "Market",
    "SharedMarket",
    "encode_quote",
    "stamped_quote",
    "text_frame",
    "wire_frame",
    "fragments",
]

_QUOTE_PREFIX = b'{"message":"'
_QUOTE_SUFFIX = b'"}'
# Tag of PriceTape.sent_at_ns (field 15, varint): appended to pre-encoded bytes.
_SENT_AT_TAG = bytes([(15 << 3) | 0])


def encode_quote(message: PriceTape | bytes | Any) -> bytes:
    """The TEXT payload of one quote frame: ``{"message":"<base64>"}``.

    ``message`` is a ``PriceTape``, a ``quotra.pricetape_proto.pricetape`` or
    already serialized bytes.
    """
    if isinstance(message, (bytes, bytearray, memoryview)):
        data = bytes(message)
    else:
        data = message.SerializeToString()
    return _QUOTE_PREFIX + base64.b64encode(data) + _QUOTE_SUFFIX


def stamped_quote(serialized: bytes, sent_at_ns: int) -> bytes:
    """``encode_quote`` of an already serialized message whose ``sent_at_ns``
    is unset, with ``sent_at_ns`` added: no second serialization per send.
    (A repeated scalar field's last occurrence wins when parsed.)"""
    return encode_quote(serialized + _SENT_AT_TAG + _varint(sent_at_ns))


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


def wire_frame(payload: bytes, opcode: int = 0x1, fin: bool = True) -> bytes:
    """One server-to-client frame (unmasked), byte for byte as picows writes
    it: for senders that write many frames at once, or frames no library
    would send."""
    head = (0x80 if fin else 0) | opcode
    n = len(payload)
    if n < 126:
        return struct.pack("!BB", head, n) + payload
    if n < 1 << 16:
        return struct.pack("!BBH", head, 126, n) + payload
    return struct.pack("!BBQ", head, 127, n) + payload


def text_frame(payload: bytes) -> bytes:
    """A whole TEXT frame (fin set)."""
    return wire_frame(payload)


def fragments(payload: bytes, size: int) -> list[tuple[int, bytes, bool]]:
    """``payload`` as one TEXT message in (opcode, part, fin) frames of at most
    ``size`` bytes each: TEXT, then CONTINUATION, fin on the last."""
    size = max(1, size)
    ends = range(size, len(payload) + size, size) if payload else [0]
    return [
        (0x1 if end == ends[0] else 0x0, payload[end - size : end], end >= len(payload))
        for end in ends
    ]


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


class Market:
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


class SharedMarket(Market):
    """One market for every connection: the n-th quote of an instrument is the
    same for all of them, made (and stamped with ``exchange_ts_ns``) once, by
    whichever connection needs it first. A connection joins at the live edge;
    one that falls more than ``keep`` quotes behind skips to the oldest kept."""

    def __init__(self, seed: int, keep: int = 10_000):
        super().__init__(seed)
        self.keep = keep
        self._made: dict[
            str, list[Any]
        ] = {}  # symbol -> [index of its first kept quote, deque of quotes]
        self._next: dict[tuple[Hashable, str], int] = {}

    def next_quote(self, reader: Hashable, symbol: str) -> PriceTape:
        """``reader``'s next quote of ``symbol``."""
        made = self._made.get(symbol)
        if made is None:
            made = self._made[symbol] = [0, deque()]
        first, kept = made
        pos = max(first, self._next.get((reader, symbol), first + len(kept)))
        if pos == first + len(kept):
            kept.append(self.quote(symbol))
            if len(kept) > self.keep:
                kept.popleft()
                made[0] = first = first + 1
        self._next[(reader, symbol)] = pos + 1
        quote: PriceTape = kept[pos - first]
        return quote

    def forget(self, reader: Hashable) -> None:
        for key in [k for k in self._next if k[0] == reader]:
            del self._next[key]
