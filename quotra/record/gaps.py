"""What the stream no longer holds: the recorder's accounting of quotes its
retention removed before they were stored, and of deliveries lost in flight.

A recorder reading every subject of the stream sees each removal as a jump
in the stream sequence of what it is given (its consumer's delivery
sequence without a gap): the jump is the count, exactly. A recorder of some
instruments only sees other instruments' sequences in every jump; it counts
a jump when the stream's front (its first sequence) or an instrument's own
oldest message shows the removal reached past it, and says the figure is an
upper bound (the span may hold other instruments' sequences too).
"""

from __future__ import annotations

import logging
import math
import time
from collections.abc import Callable
from typing import Any

__all__ = ["Gaps", "fetch_again", "retention_seconds", "WARN_EVERY"]

logger = logging.getLogger("quotra.record")

# At most one line about retention losses this often; the count of each
# line is everything counted since the last.
WARN_EVERY = 5.0
FETCH = 1024
FETCH_WAIT = 0.5


class Gaps:
    """Counts ``missing`` on ``counters`` and says so, at most every ``WARN_EVERY`` s."""

    def __init__(self, counters: Any):
        self.counters = counters
        self.upper_bound = False  # some of ``missing`` is a span, not an exact count
        self._unsaid = 0
        self._spans = 0
        self._bounded = False
        self._first = self._last = 0
        self._said_at = -math.inf

    def missing(self, n: int, first: int, last: int, *, bound: bool = False) -> None:
        """``n`` quotes of stream sequences ``first`` to ``last`` are gone."""
        if n <= 0:
            return
        self.counters.missing += n
        self.upper_bound |= bound
        self.counters.missing_bound = self.upper_bound
        if not self._unsaid:
            self._first = first
        self._unsaid += n
        self._spans += 1
        self._bounded |= bound
        self._last = max(self._last, last)
        self.say(force=False)

    def say(self, force: bool = True) -> None:
        """The line for what was counted since the last (``force``: now,
        else only when the last line is ``WARN_EVERY`` old)."""
        now = time.monotonic()
        if not self._unsaid or (not force and now < self._said_at + WARN_EVERY):
            return
        self._said_at = now
        spans = f" ({self._spans} gaps)" if self._spans > 1 else ""
        logger.warning(
            "NATS: the stream no longer holds sequences %d to %d%s: %s%d quotes the recorder had "
            "not stored are missing from the recording (%d in all%s)",
            self._first,
            self._last,
            spans,
            "at most " if self._bounded else "",
            self._unsaid,
            self.counters.missing,
            "; an upper bound: the spans hold other instruments' sequences too"
            if self.upper_bound
            else "",
        )
        self._unsaid = self._spans = 0
        self._bounded = False
        self._last = 0


async def fetch_again(
    js: Any,
    stream: str,
    subjects: list[str],
    first: int,
    end: int | None,
    timeout: float = 10.0,
    headers_only: bool = False,
    fetch: int = FETCH,
    take: Callable[[Any], None] | None = None,
) -> list[Any]:
    """The stream's messages of ``subjects`` from sequence ``first`` to
    before ``end`` (None: all it holds), through a consumer of their own
    (nothing of it is acknowledged: the durable's acknowledgement covers them
    once their files are finished). ``headers_only``: without their bodies;
    ``take``: given each message instead of the list keeping it."""
    import asyncio

    from nats.js.api import AckPolicy, ConsumerConfig, DeliverPolicy

    config = ConsumerConfig(
        ack_policy=AckPolicy.NONE,
        deliver_policy=DeliverPolicy.BY_START_SEQUENCE,
        opt_start_seq=first,
        headers_only=headers_only or None,
        inactive_threshold=30.0,
        mem_storage=True,
        num_replicas=1,
        filter_subjects=subjects if len(subjects) > 1 else None,
        filter_subject=subjects[0] if len(subjects) == 1 else None,
    )
    sub = await js.pull_subscribe(subjects[0], stream=stream, config=config)
    got: list[Any] = []
    try:
        async with asyncio.timeout(timeout):
            while True:
                try:
                    batch = await sub.fetch(fetch, timeout=FETCH_WAIT * 2)
                except TimeoutError:
                    # Nothing in the wait is the end only when the consumer has
                    # nothing left to give: a server that paused (a leader being
                    # elected, a slow store) is waited for, within ``timeout``,
                    # rather than what it still holds taken for gone.
                    if sub.pending_msgs or (await sub.consumer_info()).num_pending:
                        continue
                    return got
                for m in batch:
                    if end is not None and m.metadata.sequence.stream >= end:
                        return got
                    if take is None:
                        got.append(m)
                    else:
                        take(m)
                if not batch or not batch[-1].metadata.num_pending:
                    return got
    finally:
        try:
            # Bounded: the consumer goes away by itself once idle.
            await asyncio.wait_for(sub.unsubscribe(), 5.0)
        except Exception:
            pass


def retention_seconds(config: Any, state: Any, rate: float, subjects: int) -> tuple[float, str]:
    """How long the stream keeps a quote at ``rate`` quotes a second over
    ``subjects`` instruments, and the limit that decides it."""
    best, why = math.inf, ""
    if rate <= 0:
        return best, why
    per_subject = getattr(config, "max_msgs_per_subject", None) or -1
    if per_subject > 0 and subjects > 0:
        best, why = per_subject / (rate / subjects), f"{per_subject} quotes per instrument"
    max_msgs = getattr(config, "max_msgs", None) or -1
    if 0 < max_msgs and max_msgs / rate < best:
        best, why = max_msgs / rate, f"{max_msgs} quotes"
    max_bytes = getattr(config, "max_bytes", None) or -1
    if 0 < max_bytes and state.messages:
        seconds = max_bytes / (rate * state.bytes / state.messages)
        if seconds < best:
            best, why = seconds, f"{max_bytes} bytes"
    max_age = getattr(config, "max_age", None) or 0
    if 0 < max_age < best:
        best, why = float(max_age), f"a maximum age of {max_age:g} s"
    return best, why
