"""What the stream already holds, by message id, as a part of ``Bridge``.

The stream's duplicate window drops a second copy of a quote only within the
window. What a bridge sends after a longer outage (the quotes it had in
flight, and the backlog it took from upstream meanwhile, which another bridge
may have stored long ago) is first checked against the stream: the messages
of those instruments' subjects from the last one this bridge saw acknowledged
on, read with their headers only. A quote whose id is among them is not sent
again and counts as a duplicate; nothing is skipped by time.

Where the check starts (``_acked_seq``, per subject): the stream sequence of
the copy the stream kept of the last quote of that subject the bridge saw
acknowledged. Every publisher sends an instrument's quotes in the upstream's
order, so the kept copies of later quotes all come after it. A per-quote
acknowledgement names that sequence (a duplicate's names the copy kept); a
batch's answer names only its last message, so after a batch the mark moves to
where the batch began, and only when the batch's answer shows that it stored
every quote as a new message and nobody else wrote in between.
"""

from __future__ import annotations

import asyncio
import collections
import logging
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from .acks import ACK_TIMEOUT
from .msgid import ids_of
from .names import nats

logger = logging.getLogger("quotra.bridge")

Entry = tuple[bytes, bytes]
# Messages fetched per request while reading the stream's ids.
FETCH = 2000


async def stored_ids(js: Any, stream: str, starts: dict[str, int], timeout: float) -> set[bytes]:
    """The ``Nats-Msg-Id`` of every message of ``stream`` on the subjects of
    ``starts`` from the lowest sequence there on. TimeoutError past ``timeout``."""
    from nats.js.api import AckPolicy, ConsumerConfig, DeliverPolicy

    first = min(starts.values()) + 1
    config = ConsumerConfig(
        ack_policy=AckPolicy.NONE,
        deliver_policy=DeliverPolicy.BY_START_SEQUENCE,
        opt_start_seq=first,
        headers_only=True,
        mem_storage=True,
        inactive_threshold=5.0,
        num_replicas=1,
    )
    subjects = sorted(starts)
    if len(subjects) > 1:
        config.filter_subjects = subjects
    ids: set[bytes] = set()
    async with asyncio.timeout(timeout):
        sub = await js.pull_subscribe(subjects[0], stream=stream, config=config)
        try:
            left = (await sub.consumer_info()).num_pending
            while left > 0:
                got = await sub.fetch(min(FETCH, left), timeout=timeout)
                for msg in got:
                    msg_id = (msg.headers or {}).get("Nats-Msg-Id")
                    if msg_id:
                        ids.add(msg_id.encode())
                left -= len(got)
        finally:
            try:
                await asyncio.wait_for(sub.unsubscribe(), ACK_TIMEOUT)
            except Exception:  # the consumer goes away on its own when idle
                pass
    return ids


class StoredCheck:
    """Skipping what the stream holds, as a part of ``Bridge``."""

    stream: str
    subject_prefix: str
    published: int
    duplicates: int
    _published_by: dict[bytes, int]
    _retry: collections.deque[Entry]
    _pending: list[dict[str, Any]]
    _acked_seq: dict[bytes, int]
    _warned: set[str]
    _retry_since: float | None
    _pending_since: float | None
    _clock: Callable[[], float]

    if TYPE_CHECKING:

        def _encode(self, batch: list[Any]) -> list[Entry]: ...

    def _must_check(self, window: float) -> bool:
        """Whether something to send waited longer than the duplicate window."""
        if not self._pending:
            self._pending_since = None
        times = [t for t in (self._retry_since, self._pending_since) if t is not None]
        return bool(times) and self._clock() - min(times) > window

    async def _skip_stored(self, js: Any, window: float) -> None:
        """Quotes to send that may be older than the stream's duplicate window:
        those the stream holds (by id) are dropped, counted published and
        duplicates. The backlog is encoded here, to be checked with the rest."""
        self._retry_since = self._pending_since = None
        if self._pending:
            backlog = self._encode(self._pending)
            self._pending.clear()  # in place: the quote callback holds it
            self._retry.extend(backlog)
        heads = {entry[0] for entry in self._retry}
        if not heads:
            return
        starts = {h[5:-1].decode(): self._acked_seq.get(h, 0) for h in heads}
        try:
            held = await stored_ids(js, self.stream, starts, 2 * ACK_TIMEOUT)
        except (Exception, TimeoutError) as exc:
            if isinstance(exc, nats().js.errors.NotFoundError):
                return  # no stream yet: nothing stored
            if "last" not in self._warned:
                self._warned.add("last")
                logger.warning(
                    "NATS stream %s: the ids it holds could not be read (%s): quotes sent "
                    "again after more than its duplicate window (%g s) may be stored twice",
                    self.stream,
                    str(exc) or type(exc).__name__,
                    window,
                )
            return
        if not held:
            return
        kept: list[Entry] = []
        gone: list[Entry] = []
        for e in self._retry:
            (gone if any(i in held for i in ids_of(e[1])) else kept).append(e)
        skipped = len(gone)
        if not skipped:
            return
        self._retry.clear()
        self._retry.extend(kept)
        self.published += skipped
        by = self._published_by
        for head, _ in gone:
            by[head] = by.get(head, 0) + 1
        self.duplicates += skipped
        logger.info(
            "NATS stream %s already holds %d of the quotes to send: not sent twice",
            self.stream,
            skipped,
        )
