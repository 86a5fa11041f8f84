"""The stream's answers: one per quote, or one per batch (fast ingest).

A quote counts as published only when the stream answered that it stored it
(or already had it: ``duplicates``): an answer is read as JSON, and only an
object with ``stream`` and ``seq`` is an acknowledgement (its ``duplicate``
field says whether the stream already held the quote). An ``error`` object is
a refusal: counted by its reason in ``rejected`` and logged once per burst,
unless it says "not now" (``_TRANSIENT``). A transient refusal, a status
answer ("no responders" while a leader is elected, a time-out), an answer that
is not one of these, and an answer that does not come within ``ACK_TIMEOUT``
end the connection, so that everything unacknowledged goes again, in its
order, on the next. "Duplicate message id is in process" (another bridge's
copy of the quote is being stored) is no answer yet: that quote goes again
after ``IN_PROCESS_WAIT``, and the duplicate window drops it if the other copy
landed.

Fast ingest: where the stream allows batched publishing, each block of two or
more quotes is a batch of its own, and the next batch goes when that answer
is in. Every message's reply subject says the batch, its place in it and
whether it starts (0), adds to (1) or commits (2) it:
``<inbox><batch>.<flow>.fail.<n>.<op>.$FI``. Batch ids are a random tag of
the connection and a counter: the server keys an open batch by its id on the
stream, whoever sent it, and keeps an abandoned one for seconds. The server
stores each message as it arrives and answers the commit once, with the count
it took; a count short of the batch, a gap or a failed batch ends the
connection, and the batch's unacknowledged quotes go again (the duplicate
window drops those it stored). Once the connection has failed, no answer of
its batches counts: what they did not confirm goes again. A refusal of one
message (``"type":"err"``, or the final error naming it) is counted like any
other, and closes the batch there: the server stored the messages before it
(the final count says how many) and none after, which go again first. A
refusal for now inside a batch (another copy being stored, a temporary error)
leaves that quote where it was: it goes again first with the ones after it, in
their order, once ``IN_PROCESS_WAIT`` has passed.

The server's answer to a batch does not say which of its messages were
duplicates: the sequence it names is that of the last message the batch
stored (0 when it stored none). Against the stream's last sequence before the
batch, the difference from the count is how many the stream already held;
messages other publishers stored in between make the count of duplicates
short by as many, never long.
"""

from __future__ import annotations

import asyncio
import collections
import logging
import secrets
import time
from collections.abc import Callable
from itertools import chain, repeat
from operator import itemgetter
from typing import TYPE_CHECKING, Any

import orjson

if TYPE_CHECKING:
    from .wire import NatsLink

__all__ = ["Acknowledgements"]

logger = logging.getLogger("quotra.bridge")

ACK_TIMEOUT = 2.0
LOG_EVERY = 5.0
# Refusals that say "not now" rather than "never": the same quotes go again on a new connection.
_TRANSIENT = {10008}
# "Duplicate message id is in process": another copy of the quote is being stored.
IN_PROCESS = 10158
# Seconds before a quote answered IN_PROCESS goes again.
IN_PROCESS_WAIT = 0.2
# The one JetStream error that says the stream will not take batches; the
# others of a batch (a gap, an abandoned or unknown batch) are about that batch.
NO_BATCHES = 10205
# Errors about the batch itself (its pattern, its id): the connection starts again.
BATCH_ERRORS = {10205, 10206, 10207, 10208}
_NO_RESPONDERS = "no responders (no stream leader, or no stream)"
_HEAD, _BODY = itemgetter(0), itemgetter(1)
# "<n>.1.$FI ": the reply subject's end for a message that adds to a batch at place n,
# made once for the places of a batch of the default window's size.
_ADDS = [b"%d.1.$FI " % n for n in range(4097)]


def _places(size: int) -> list[bytes]:
    """The last part of each reply subject of a batch of ``size``: its place in
    the batch, then start (0), add (1) or commit (2)."""
    if size == 1:
        return [b"1.0.$FI "]
    adds = _ADDS[2:size]
    if size > len(_ADDS):
        adds += [b"%d.1.$FI " % n for n in range(len(_ADDS), size)]
    return [b"1.0.$FI ", *adds, b"%d.2.$FI " % size]


def read_answer(headers: bytes | None, payload: bytes) -> tuple[str, Any]:
    """What the stream's answer says: ``("ack", duplicate)``, ``("error",
    (err_code, reason))``, ``("other", answer)`` for any other JSON object, or
    ``("failure", reason)`` for a status answer and anything unreadable."""
    if headers is not None:
        status = headers[9:12] if headers.startswith(b"NATS/1.0 ") else b""
        if status:
            if status == b"503":
                return "failure", _NO_RESPONDERS
            return "failure", f"answered with status {status.decode()}"
    try:
        answer = orjson.loads(payload)
    except orjson.JSONDecodeError:
        return "failure", f"an answer that is not JSON: {payload[:80]!r}"
    if not isinstance(answer, dict):
        return "failure", f"an answer that is not an object: {payload[:80]!r}"
    if "type" in answer:
        return "other", answer  # an answer within a batch
    err = answer.get("error")
    if err is not None:
        if not isinstance(err, dict):
            return "failure", f"an unreadable error answer: {payload[:80]!r}"
        code = err.get("err_code") or err.get("code")
        return "error", (code, f"{code} {err.get('description', '')}")
    stream, seq = answer.get("stream"), answer.get("seq")
    if type(stream) is str and type(seq) is int and "count" not in answer:
        return "ack", (answer.get("duplicate") is True, seq)
    return "other", answer


class Acknowledgements:
    """Reading the stream's answers, as a part of ``Bridge``."""

    # The bridge's state this part reads and writes (made in Bridge.__init__
    # and BridgeCounters.__init__).
    window: int
    stream: str
    published: int
    duplicates: int
    rejected: dict[str, int]
    _published_by: dict[bytes, int]
    _rejected_by: collections.Counter[bytes]
    _inflight: dict[int, tuple[bytes, bytes]]  # token -> (head, body), in sending order
    _sent_at: collections.deque[tuple[int, float]]  # (last token of a block, time written)
    _link: NatsLink | None
    _wake: asyncio.Event
    _inbox: bytes
    _clock: Callable[[], float]
    _failure: str | None
    _reject_log_at: float
    _token: int
    _later: list[tuple[float, tuple[bytes, bytes]]]  # (when, entry): to send again shortly
    _retry: collections.deque[tuple[bytes, bytes]]
    _fast: bool
    _unbatched: int
    resent: int
    # head -> where the check of what the stream holds starts (``stored``)
    _acked_seq: dict[bytes, int]
    # The stream's last sequence as this bridge knows it (None: not known).
    _stream_seq: int | None
    # Nothing is written before this time (a refusal for now inside a batch).
    _hold_until: float
    loop: asyncio.AbstractEventLoop

    def _on_msg(self, subject: bytes, headers: bytes | None, payload: bytes) -> None:
        if subject.endswith(b".$FI"):
            self._on_batch_answer(subject, headers, payload)
            return
        try:
            token = int(subject.rpartition(b".")[2])
        except ValueError:
            return
        inflight = self._inflight
        if token not in inflight:
            return  # an answer to a connection that has ended: its quote was queued again
        kind, what = read_answer(headers, payload)
        if kind == "ack":
            head = inflight.pop(token)[0]
            self.published += 1
            by = self._published_by
            by[head] = by.get(head, 0) + 1
            duplicate, seq = what
            if duplicate:
                self.duplicates += 1
            elif self._stream_seq is not None and seq > self._stream_seq:
                self._stream_seq = seq
            # With a quote waiting to go again, an older quote may still be stored
            # after this one: the mark stays where it was.
            if not self._later:
                self._acked_seq[head] = seq
        elif kind == "error" and what[0] == IN_PROCESS:
            self._in_process(inflight.pop(token))
        elif kind == "error" and what[0] not in _TRANSIENT:
            self._reject(what[1], inflight.pop(token)[0])
        else:
            # Left in its place: with the connection ended, it goes again in its order.
            self._fail(
                what[1]
                if kind == "error"
                else what
                if kind == "failure"
                else f"an answer that is not an acknowledgement: {payload[:80]!r}"
            )
        if len(inflight) < self.window:
            self._wake.set()

    def _fail(self, reason: str) -> None:
        """A refusal for now: the connection ends, so that everything
        unacknowledged goes again in its order."""
        if self._failure is None:
            self._failure = reason
            if self._link is not None:
                self._link.abort()

    def _in_process(self, entry: tuple[bytes, bytes]) -> None:
        """Another copy is being stored: not final either way. Sent again
        shortly (still in flight meanwhile); the duplicate window drops it if
        the other copy landed."""
        self._later.append((self._clock() + IN_PROCESS_WAIT, entry))
        self.loop.call_later(IN_PROCESS_WAIT, self._wake.set)

    def _reject(self, reason: str, head: bytes) -> None:
        self.rejected[reason] = self.rejected.get(reason, 0) + 1
        self._rejected_by[head] += 1
        now = time.monotonic()
        if now >= self._reject_log_at:
            self._reject_log_at = now + LOG_EVERY
            logger.error(
                "NATS stream %s refused quotes: %s (%d refused in all)",
                self.stream,
                reason,
                sum(self.rejected.values()),
            )

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
        # Batch ids are unique to this connection: the server matches answers
        # to batches by id alone.
        self._batch_tag = secrets.token_hex(8).encode()

    def _write_batch(self, link: NatsLink, entries: list[tuple[bytes, bytes]]) -> None:
        inbox, inflight = self._inbox, self._inflight
        self._batch_ids += 1
        bid = b"%sx%d" % (self._batch_tag, self._batch_ids)
        first = self._token + 1
        last = len(entries)
        # The acknowledgement cadence asked for is the batch's size: the commit's answer counts.
        reply = b"%s%s.%d.fail." % (inbox, bid, last)
        inflight.update(zip(range(first, first + last), entries))
        # Each command is head, reply, its place in the batch, body: joined in one pass.
        parts = zip(map(_HEAD, entries), repeat(reply, last), _places(last), map(_BODY, entries))
        self._token = first + last - 1
        self._batches[bid] = (first, last)
        self._sent_at.append((self._token, self._clock()))
        link.write(b"".join(chain.from_iterable(parts)))

    def _on_batch_answer(self, subject: bytes, headers: bytes | None, payload: bytes) -> None:
        if self._failure is not None:
            return  # the link has failed: what no answer confirmed yet goes again
        toks = subject.split(b".")
        if len(toks) < 7:
            return
        bid, n = toks[-6], toks[-3]
        batch = self._batches.get(bid)
        if batch is None:
            return  # a batch of a connection that has ended
        first, size = batch
        kind, what = read_answer(headers, payload)
        if kind == "failure":
            self._fail(f"a batch answered: {what}")
            return
        if kind == "ack":
            self._fail(f"a batch answered as a single quote: {payload[:80]!r}")
            return
        if kind == "error":
            # The batch ended at message n: refused, the batch closed with it.
            code, reason = what
            if code == NO_BATCHES and self._fast:
                self._fast = False
                logger.warning(
                    "NATS stream %s refused a batch (%s): publishing one acknowledged "
                    "quote at a time from the next connection on",
                    self.stream,
                    reason,
                )
            if code in BATCH_ERRORS or not n.isdigit() or not 1 <= int(n) <= size:
                self._fail(f"batch refused: {reason}")
                return
            self._refused_in_batch(first + int(n) - 1, code, reason)
            self._batch_end(bid, first, size, 0, 0)
            return
        answer = what
        form = answer.get("type")
        if form == "ack":
            return  # the cadence inside a batch: the commit's answer counts
        if form == "err":
            err = answer.get("error")
            if n.isdigit() and 1 <= int(n) <= size and isinstance(err, dict):
                reason = self._reason(payload)
                self._refused_in_batch(first + int(n) - 1, err.get("err_code"), reason)
            else:
                self._fail(f"an unreadable answer to a batch: {payload[:80]!r}")
            return
        if form == "gap":
            self._fail("the server missed messages of a batch")
            return
        count, seq = answer.get("count"), answer.get("seq")
        if (
            form is not None
            or type(count) is not int
            or not 0 <= count <= size
            or type(seq) is not int
        ):
            self._fail(f"an unreadable answer to a batch: {payload[:80]!r}")
            return
        self._batch_end(bid, first, size, count, seq)

    def _refused_in_batch(self, token: int, code: Any, reason: str) -> None:
        if token not in self._inflight:
            return
        if code == IN_PROCESS or code in _TRANSIENT:
            # Not final: left in its place, it goes again with the quotes after
            # it, in their order, once the wait is over.
            self._hold_until = self._clock() + IN_PROCESS_WAIT
            self.loop.call_later(IN_PROCESS_WAIT, self._wake.set)
        else:
            self._reject(reason, self._inflight.pop(token)[0])

    def _batch_end(self, bid: bytes, first: int, size: int, stored: int, seq: int) -> None:
        """The batch is closed: its first ``stored`` messages are in the stream
        (the server stores a batch in order and stops it at the first refusal),
        the last it stored at ``seq`` (0: none, every one a duplicate); what is
        left of the rest goes again first, in its order."""
        del self._batches[bid]
        inflight = self._inflight
        done = [e for e in map(inflight.pop, range(first, first + stored), repeat(None)) if e]
        self.published += len(done)
        by = self._published_by
        for head, n in collections.Counter(map(_HEAD, done)).items():  # counted in C
            by[head] = by.get(head, 0) + n
        before = self._stream_seq
        if seq == 0:
            self.duplicates += len(done)
        elif before is not None and seq >= before:  # (a stream made again starts over)
            new = seq - before
            self.duplicates += max(0, len(done) - new)
            if new == len(done) == stored and not self._later:
                # Every quote stored as a new message, nobody else's between them:
                # the kept copies of this batch's quotes all come after ``before``.
                acked = self._acked_seq
                for head in {e[0] for e in done}:
                    acked[head] = before
        if seq:
            self._stream_seq = seq
        rest = [inflight.pop(t) for t in range(first + stored, first + size) if t in inflight]
        if rest:
            self.resent += len(rest)
            self._retry.extendleft(reversed(rest))
            # One answer each for these: a store that refuses one (full, say) may
            # refuse them all, and a batch would learn that one quote at a time.
            self._unbatched = max(self._unbatched, len(rest))
        self._wake.set()

    def _reason(self, payload: bytes) -> str:
        try:
            err = orjson.loads(payload)["error"]
            return f"{err.get('err_code') or err.get('code')} {err.get('description', '')}"
        except (ValueError, KeyError, TypeError, AttributeError):
            return payload[:200].decode(errors="replace")
