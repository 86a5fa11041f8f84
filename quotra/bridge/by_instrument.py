"""The bridge's counts by instrument: ``received_by_instrument`` and
``published_by_instrument`` in its snapshot, and what of them the line at exit says.

Only one figure is counted per quote on its way: published, by the head of
its command (``HPUB <prefix>.<instrument> ``), where the stream's answer is
read. The rare outcomes (dropped, refused, rejected) are counted by instrument
where they happen, and what is still buffered or in flight is read off the
queues when a snapshot is taken; received is their sum, as the total is. The
snapshot may be taken on another thread (a metrics scrape): the queues and
the counters are copied each in one step before they are read.
"""

from __future__ import annotations

import collections
from collections.abc import Iterable, Mapping
from typing import Any

__all__ = ["instrument_of", "by_instrument", "differences"]

# Instruments listed at most in the line at exit.
SHOWN = 10


def instrument_of(quote: Any) -> str:
    """The instrument a quote is counted under ("" for one without a name)."""
    inst = quote.get("instrument") if isinstance(quote, dict) else None
    return inst if isinstance(inst, str) else ""


def _names(heads: Mapping[bytes, int], cut: int) -> collections.Counter[str]:
    out: collections.Counter[str] = collections.Counter()
    for head, n in heads.items():
        out[head[cut:-1].decode(errors="replace")] += n
    return out


def by_instrument(
    prefix: str,
    published: Mapping[bytes, int],
    rejected: Mapping[bytes, int],
    unpublished: Mapping[str, int],
    pending: Iterable[Any],
    entries: Iterable[tuple[bytes, bytes]],
) -> tuple[dict[str, int], dict[str, int]]:
    """``(received, published)`` by instrument, names in order: ``published``
    and ``rejected`` count by head, ``unpublished`` (dropped and refused) by
    name; ``pending`` are the quotes not yet encoded, ``entries`` the encoded
    ones not yet answered."""
    cut = len(b"HPUB ") + len(prefix.encode()) + 1
    pub = _names(dict(published), cut)
    waiting: collections.Counter[bytes] = collections.Counter(dict(rejected))
    waiting.update(head for head, _ in entries)
    received = pub + _names(waiting, cut)
    received.update(dict(unpublished))
    received.update(map(instrument_of, pending))
    return dict(sorted(received.items())), dict(sorted(pub.items()))


def differences(received: Mapping[str, int], published: Mapping[str, int]) -> str:
    """The instruments whose quotes were not all published, for the line at
    exit: ``""`` when every instrument's received equals its published."""
    off = [(name, n, published.get(name, 0)) for name, n in received.items()]
    off = [item for item in off if item[1] != item[2]]
    if not off:
        return ""
    shown = ", ".join(f"{name or '(no name)'} {r}/{p}" for name, r, p in off[:SHOWN])
    more = f" and {len(off) - SHOWN} more" if len(off) > SHOWN else ""
    return f"; received/published by instrument where they differ: {shown}{more}"
