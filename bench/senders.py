"""Senders the benchmarks' service process runs on request (``bench.driver``'s
command loop), beyond the service's own ``blast`` and ``blast_batched``: kept
apart from the benchmarks that ask for them, which themselves import the driver."""

from __future__ import annotations

from typing import Any


async def blast_distinct(svc: Any, n: int, conn: Any, block_bytes: int = 16 * 1024) -> int:
    """``blast_batched`` with a different ``exchange_ts_ns`` in every quote, so
    that every quote has an identity of its own (a repeated one would be
    dropped by the stream's duplicate window). The frames are encoded before
    the first is sent; the writing is ``blast_batched``'s."""
    from quotra.service.market import encode_quote

    base = svc._market.quote("BENCH")
    ts0 = base.exchange_ts_ns
    frames = []
    for i in range(n):
        base.exchange_ts_ns = ts0 + i
        frames.append(svc._wire_text(encode_quote(base)))
    per = max(1, block_bytes // len(frames[0]))
    sent = 0
    for start in range(0, n, per):
        if not conn.writable.is_set():
            await conn.writable.wait()
        if not conn.is_open:
            break
        block = frames[start : start + per]
        conn.transport.underlying_transport.write(b"".join(block))
        conn.quotes_sent += len(block)
        sent += len(block)
    return sent
