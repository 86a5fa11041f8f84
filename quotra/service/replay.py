"""Replaying a recording (``quotra.record``'s dataset or one of its files)
through the service: the recorded quotes, in recorded order, to every open
connection subscribed to their instrument, at the recorded pace scaled by
``speed`` (0: as fast as the sockets take them).

The replay starts when a connection first subscribes to anything, so a client
that connects and subscribes meets the recording from its first quote; it runs
once to the end of the recording. Pace is kept against the clock from the
start (quote i goes at start + (received_i - received_0) / speed), so a late
send does not push the ones after it back. With ``stamp`` each quote's
``sent_at_ns`` is its send time (as the service's ``--stamp``), otherwise it
goes as recorded.
"""

from __future__ import annotations

import asyncio
import logging
import math
import sys
import time
from typing import Any

from ..pricetape_pb2 import PriceTape
from .market import encode_quote

__all__ = ["replay"]

logger = logging.getLogger("quotra.service")

# As fast as possible still lets the loop serve the connections this often.
_YIELD_EVERY = 64


async def replay(svc: Any, path: str, speed: float = 1.0, *, stamp: bool = False) -> int:
    """Replay ``path`` through ``svc`` (a started ``MarketDataService``);
    returns the number of quotes replayed (each sent to every subscriber of
    its instrument). Needs pyarrow."""
    from ..record.layout import QUOTE_FIELDS, RECEIVED
    from ..record.reader import iter_quotes

    if not (speed >= 0 and math.isfinite(speed)):
        raise ValueError("speed must be a finite number >= 0")
    quotes = iter_quotes(path)  # opens nothing yet: a missing path raises at the first quote
    await svc.wait_for(
        lambda: any(c.subscribed for c in svc.open_connections),
        math.inf,
        "a subscription to start the replay",
    )
    loop = asyncio.get_running_loop()
    first = start = None
    sent = 0
    for row in quotes:
        if speed > 0:
            t = row[RECEIVED]
            if first is None:
                first, start = t, loop.time()
            delay = start + (t - first) / 1e9 / speed - loop.time()
            if delay > 0:
                await asyncio.sleep(delay)
        elif sent % _YIELD_EVERY == 0:
            await asyncio.sleep(0)
        msg = PriceTape(**{k: row[k] for k in QUOTE_FIELDS})
        if stamp:
            msg.sent_at_ns = time.time_ns()
        payload = encode_quote(msg)
        instrument = row["instrument"]
        by = svc._sent_by_instrument
        for conn in svc.open_connections:
            if instrument not in conn.subscribed or conn.close_sent:
                continue
            if not conn.writable.is_set():
                await conn.writable.wait()  # the socket's flow control
                if not conn.is_open:
                    continue
            svc._send_text(conn, payload)
            conn.quotes_sent += 1
            by[instrument] = by.get(instrument, 0) + 1
            if conn.sent.maxlen:
                conn.sent.append(payload)
        sent += 1
    logger.info("replay of %s done: %d quotes", path, sent)
    return sent


def start_replay(svc: Any, args: Any) -> asyncio.Task[None]:
    """The command line's replay: a task on the running loop that says on
    stderr how it ended (the service stops it with the loop)."""

    async def run() -> None:
        try:
            n = await replay(svc, args.replay, args.speed, stamp=args.stamp)
        except Exception as exc:
            print(
                f"{args.prog}: replay of {args.replay} failed: {exc}", file=sys.stderr, flush=True
            )
            return
        print(f"{args.prog}: replay of {args.replay} done: {n} quotes", file=sys.stderr, flush=True)

    task = asyncio.get_running_loop().create_task(run(), name="quotra.service replay")
    _tasks.add(task)
    task.add_done_callback(_tasks.discard)
    return task


_tasks: set[asyncio.Task[None]] = set()
