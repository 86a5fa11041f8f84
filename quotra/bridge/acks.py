"""The stream's answers: one per quote, or one per batch (fast ingest).

A quote counts as published only when the stream answered that it stored it
(or already had it: ``duplicates``). A refusal is counted by its reason in
``rejected`` and logged once per burst; a transient one ("no responders" while
a leader is elected, a stream being made again) and an answer that does not
come within ``ACK_TIMEOUT`` end the connection, so that everything
unacknowledged goes again, in its order, on the next.

Fast ingest: what waits is written as one batch, acknowledged once, and the
next batch goes when that answer is in.

Where the stream allows batched publishing, each block of two or more quotes
is a batch of its own: every message's reply subject says the batch, its place
in it and whether it starts (0), adds to (1) or commits (2) it:
``<inbox><batch>.<flow>.fail.<n>.<op>.$FI``. The server stores each message as
it arrives and answers the commit once, with the count it took; a count short
of the batch, a gap or a failed batch ends the connection, and the batch's
unacknowledged quotes go again (the duplicate window drops those it stored).
A refusal of one message (``"type":"err"``) is counted like any other.
"""

from __future__ import annotations

import asyncio
import collections
import logging
import time
from typing import TYPE_CHECKING, Any, Callable, Optional

import orjson

if TYPE_CHECKING:
    from .wire import NatsLink

__all__ = ["Acknowledgements"]

logger = logging.getLogger("quotra.bridge")

ACK_TIMEOUT = 2.0
LOG_EVERY = 5.0
# Refusals that say "not now" rather than "never": the same quotes go again on a new connection.
_TRANSIENT = {"10008"}
# JetStream errors that say the stream or server will not take batches.
NO_BATCHES = {10205, 10206, 10207, 10208}


class Acknowledgements:
    """Reading the stream's answers, as a part of ``Bridge``."""

    # The bridge's state this part reads and writes (made in Bridge.__init__
    # and BridgeCounters.__init__).
    window: int
    stream: str
    published: int
    duplicates: int
    rejected: dict[str, int]
    _inflight: dict[int, tuple[bytes, bytes]]  # token -> (head, body), in sending order
    _sent_at: collections.deque[tuple[int, float]]  # (last token of a block, time written)
    _link: Optional[NatsLink]
    _wake: asyncio.Event
    _inbox: bytes
    _clock: Callable[[], float]
    _failure: Optional[str]
    _reject_log_at: float
    _token: int

    def _on_msg(self, subject: bytes, headers: Optional[bytes], payload: bytes) -> None:
        if subject.endswith(b".$FI"):
            self._on_batch_answer(subject, payload)
            return
        try:
            token = int(subject.rpartition(b".")[2])
        except ValueError:
            return
        entry = self._inflight.pop(token, None)
        if entry is None:
            return  # an answer to a connection that has ended: its quote was queued again
        if headers is not None and headers[9:12] == b"503":
            self._fail(token, entry, "no responders (no stream leader, or no stream)")
        elif b'"error"' in payload:
            reason = self._reason(payload)
            if reason.split(" ", 1)[0] in _TRANSIENT:
                self._fail(token, entry, reason)
            else:
                self._reject(reason)
        else:
            self.published += 1
            if b'"duplicate"' in payload:
                self.duplicates += 1
        if len(self._inflight) < self.window:
            self._wake.set()

    def _fail(self, token: int, entry: tuple[bytes, bytes], reason: str) -> None:
        """A refusal for now: back into the window, and the connection ends so
        that everything unacknowledged goes again in its order."""
        inflight = self._inflight
        inflight[token] = entry
        items = sorted(inflight.items())
        inflight.clear()
        inflight.update(items)
        if self._failure is None:
            self._failure = reason
            if self._link is not None:
                self._link.abort()

    def _reject(self, reason: str) -> None:
        self.rejected[reason] = self.rejected.get(reason, 0) + 1
        now = time.monotonic()
        if now >= self._reject_log_at:
            self._reject_log_at = now + LOG_EVERY
            logger.error("NATS stream %s refused quotes: %s (%d refused in all)", self.stream, reason,
                         sum(self.rejected.values()))

    def _ack_overdue(self) -> bool:
        if not self._inflight:
            self._sent_at.clear()
            return False
        oldest = next(iter(self._inflight))
        sent_at = self._sent_at
        while sent_at and sent_at[0][0] < oldest:
            sent_at.popleft()
        return bool(sent_at) and time.monotonic() - sent_at[0][1] > ACK_TIMEOUT

    # -- fast ingest ---------------------------------------------------------------

    def _start_batches(self) -> None:
        self._batches: dict[bytes, tuple[int, int]] = {}  # batch id -> (first token, quotes)
        self._batch_ids = 0

    def _write_batch(self, link: NatsLink, entries: list[tuple[bytes, bytes]]) -> None:
        inbox, inflight = self._inbox, self._inflight
        self._batch_ids += 1
        bid = b"b%d" % self._batch_ids
        first = self._token + 1
        last = len(entries)
        # The acknowledgement cadence asked for is the batch's size: the commit's answer counts.
        reply = b"%s%s.%d.fail." % (inbox, bid, last)
        parts: list[bytes] = []
        add = parts.append
        for n, entry in enumerate(entries, 1):
            inflight[first + n - 1] = entry
            add(b"%s%s%d.%d.$FI %s" % (entry[0], reply, n, 0 if n == 1 else 2 if n == last else 1, entry[1]))
        self._token = first + last - 1
        self._batches[bid] = (first, last)
        self._sent_at.append((self._token, self._clock()))
        link.write(b"".join(parts))

    def _on_batch_answer(self, subject: bytes, payload: bytes) -> None:
        if payload.startswith(b'{"type":"ack"'):
            return  # the cadence inside a batch: the commit's answer counts
        toks = subject.split(b".")
        bid, n = toks[-6], toks[-3]
        batch = self._batches.get(bid)
        if batch is None:
            return  # a batch of a connection that has ended
        first, size = batch
        if payload.startswith(b'{"type":"err"'):
            entry = self._inflight.pop(first + int(n) - 1, None)
            if entry is not None:
                self._reject(self._reason(payload))
            return
        if payload.startswith(b'{"type":"gap"'):
            self._batch_failed("the server missed messages of a batch")
            return
        try:
            answer = orjson.loads(payload)
        except ValueError:
            answer = {}
        err: Optional[dict[str, Any]] = answer.get("error")
        if err is not None:
            if err.get("err_code") in NO_BATCHES:
                self._fast = False  # from the next connection on: one acknowledgement per quote
            self._batch_failed(f"batch refused: {err.get('err_code')} {err.get('description', '')}")
            return
        inflight = self._inflight
        mine = [t for t in range(first, first + size) if t in inflight]
        # Refused messages may or may not be in the count; a count short of the rest never succeeds.
        if answer.get("count", -1) < len(mine):
            self._batch_failed(f"the server counted {answer.get('count')} of a batch of {size}")
            return
        del self._batches[bid]
        for t in mine:
            del inflight[t]
        self.published += len(mine)
        if len(inflight) < self.window:
            self._wake.set()

    def _reason(self, payload: bytes) -> str:
        try:
            err = orjson.loads(payload)["error"]
            return f"{err.get('err_code') or err.get('code')} {err.get('description', '')}"
        except (ValueError, KeyError, TypeError, AttributeError):
            return payload[:200].decode(errors="replace")

    def _batch_failed(self, reason: str) -> None:
        if self._failure is None:
            self._failure = reason
            if self._link is not None:
                self._link.abort()
