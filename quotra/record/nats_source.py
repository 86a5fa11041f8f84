"""Recording the bridge's JetStream stream through a durable pull consumer.

Quotes are JSON objects with the quote dict's keys, on
``<prefix>.<instrument>`` in the stream ``QUOTES`` (the bridge's defaults).
Acknowledgements: ``acks.py``. What comes again after a restart but was
already stored (in a file renamed before its acknowledgement went out) is
recognised by its stream sequence: each file's footer holds the stream's
identity and the highest sequence in it, and per instrument the sequences
only grow. What the stream no longer holds is counted: ``gaps.py``.
"""

from __future__ import annotations

import asyncio
import logging
import time
from typing import Any

import orjson

from ..bridge.consumer import describe
from .consumer_side import ConsumerSide
from .gaps import fetch_again
from .waits import Stopped, close

__all__ = ["NatsSource"]

logger = logging.getLogger("quotra.record")

TICK = 0.5
FETCH = 1024
FETCH_WAIT = 0.5
RETRY_FIRST = 0.1
RETRY_MAX = 2.0


class NatsSource(ConsumerSide):
    """Records the stream's quotes of ``instruments`` through the durable
    consumer ``durable``; ``run()`` until ``stop()``. See the module's docstring
    and ``ConsumerSide`` for the arguments."""

    # -- taking messages ------------------------------------------------------------

    def _take(self, msg: Any, durable: bool = True) -> None:
        seq = msg.metadata.sequence.stream
        if durable and seq > self._newest_seq:
            self._newest, self._newest_seq = msg, seq
        try:
            quote = self._check(orjson.loads(msg.data))
        except ValueError as exc:
            self.counters.refused += 1
            logger.warning("message %d on %s is not a quote: %s", seq, msg.subject, exc)
            return
        instrument = quote["instrument"]
        if msg.subject != f"{self.subject_prefix}.{instrument}":
            self.counters.refused += 1
            logger.warning(
                "message %d on %s holds a quote of %r: not recorded", seq, msg.subject, instrument
            )
            return
        if seq <= self._seen.get(instrument, 0):
            self.counters.duplicates += 1
            return
        self._seen[instrument] = seq
        # The file this quote opens may be acknowledged up to the message before it.
        self.writer.add(quote, mark=self._before, seq=seq)

    async def _take_batch(self, js: Any, msgs: list[Any]) -> None:
        """The messages of one fetch, in order. A jump in the stream sequence
        is either deliveries the server made that never arrived (a gap in the
        consumer's delivery sequence too: they died with a node or a
        connection, and with the "all" policy the acknowledgement of a later
        message would cover them, so they are fetched again first) or
        messages the stream's retention removed before they were delivered."""
        for msg in msgs:
            sequence = msg.metadata.sequence
            if sequence.stream > self._last_sseq + 1:
                first, end = self._last_sseq + 1, sequence.stream
                if sequence.consumer > self._cseq + 1:
                    await self._fetch_again(js, first, end, sequence.consumer - self._cseq - 1)
                else:
                    await self._removed(js, msg, first, end)
            self._cseq = max(self._cseq, sequence.consumer)
            self._last_sseq = max(self._last_sseq, sequence.stream)
            self._before = self._newest
            self._taken += 1
            self._taken_at[msg.subject] = self._taken
            self._take(msg)
        if msgs:
            self.counters.unread = msgs[-1].metadata.num_pending

    async def _removed(self, js: Any, msg: Any, first: int, end: int) -> None:
        """Stream sequences ``first`` to before ``end`` were passed over by
        the consumer: what of them was the recorded instruments' is missing."""
        if await self._is_whole(js):
            self.gaps.missing(end - first, first, end - 1)
            return
        # Other instruments' messages fill the jump. Without a limit per
        # instrument the stream drops its oldest: a front past the jump's start
        # removed what was there.
        if not self._per_subject:
            front = min(end, self._first_seq)
            if front > first:
                self.gaps.missing(front - first, first, front - 1, bound=True)
            return
        # An instrument's own removal shows as its message being the oldest of
        # it the stream holds.
        instrument = msg.subject[len(self.subject_prefix) + 1 :]
        seen, at = self._seen.get(instrument, 0), self._taken_at.get(msg.subject)
        if not seen or at is None or seen >= end:
            return
        if msg.metadata.num_pending + 1 < self._per_subject:
            return  # not a limit's worth behind: the instrument's retention did not reach it
        try:
            oldest = await self.waits.bounded(
                js.get_msg(self.stream, seq=1, next=True, subject=msg.subject)
            )
        except Stopped:
            raise
        except Exception as exc:
            logger.debug("NATS get message: %s", describe(exc))
            return
        if oldest.seq >= end:
            # Everything of it between the last one taken and this one is gone:
            # at most the span, less the other recorded instruments' deliveries.
            self.gaps.missing(end - seen - 1 - (self._taken - at), seen + 1, end - 1, bound=True)

    async def _fetch_again(self, js: Any, first: int, end: int, lost: int) -> None:
        logger.warning(
            "NATS: %d deliveries of consumer %s never arrived (a node or connection lost with "
            "them in flight); fetching stream sequences %d to %d again",
            lost,
            self.durable,
            first,
            end - 1,
        )
        got = await self.waits.retrying(
            "fetching again", lambda: fetch_again(js, self.stream, self.subjects, first, end)
        )
        self.counters.fetched_again += len(got)
        for m in got:
            self._before = self._newest
            self._take(m, durable=False)
        # What the stream no longer holds of them: every sequence of the span
        # is the recorded instruments' when they are all the stream holds;
        # otherwise the deliveries that never arrived are.
        held = lost if not await self._is_whole(js) else end - first
        self.gaps.missing(held - len(got), first, end - 1)

    # -- the run --------------------------------------------------------------------

    async def run(self) -> int:
        """Record until ``stop()``; 0, or 1 when files could not be written,
        the consumer could not be made, or quotes are missing."""
        nc = None
        status = 0
        try:
            try:
                nc = await self.waits.connect(self.options, "quotra-record")
                status = await self._record(nc)
            except Stopped:
                pass
            except Exception as exc:
                logger.error("NATS: %s: stopping", describe(exc))
                status = 1
            self.writer.close()
            if nc is not None:
                await self._last_ack(nc)
            self.gaps.say()
            return 1 if self._failed or self.counters.missing else status
        finally:
            self.writer.close()
            if nc is not None:
                await close(nc)

    async def _record(self, nc: Any) -> int:
        js = nc.jetstream()
        identity = await self._stream_identity(js)
        self.writer.set_metadata({"nats_stream": identity})
        self._load_seen(identity)
        start = await self._resume_point(js)
        if start is None and self._seen:
            # The consumer is gone but the files of this stream say how far it
            # got: on from there, so that what the stream dropped since counts.
            start = min(self._seen.get(i, 0) for i in self.instruments) + 1
        self._acked_seq = 0 if start is None else start - 1
        await self._is_whole(js)
        sub = await self._subscribe(js, start)
        logger.info(
            "NATS: recording %s from stream %s (consumer %s)",
            ",".join(self.instruments),
            self.stream,
            self.durable,
        )
        warn = asyncio.ensure_future(self._warn_retention(js))
        try:
            await self._loop(nc, js, sub)
        finally:
            warn.cancel()
        return 0

    async def _loop(self, nc: Any, js: Any, sub: Any) -> None:
        next_tick = time.monotonic() + TICK
        delay = RETRY_FIRST
        while not self._stop.is_set():
            try:
                msgs = await self.waits.bounded(sub.fetch(FETCH, timeout=FETCH_WAIT))
                delay = RETRY_FIRST
            except TimeoutError:  # nothing new: the server answered
                msgs, delay = [], RETRY_FIRST
                self.counters.unread = 0
            except Stopped:
                break
            except Exception as exc:
                msgs = []
                if nc.is_connected and await self._consumer_gone(js):
                    sub = await self._remake(js, sub)
                elif delay == RETRY_FIRST:
                    logger.warning("NATS fetch: %s; trying again", describe(exc))
                else:
                    logger.debug("NATS fetch: %s", describe(exc))
                await self.waits.sleep(delay)
                delay = min(RETRY_MAX, delay * 2)
            await self._take_batch(js, msgs)
            if time.monotonic() >= next_tick:
                next_tick = time.monotonic() + TICK
                self.writer.tick()
                self.gaps.say(force=False)
            else:
                self.writer.collect()
            await self._ack_quietly(nc)
