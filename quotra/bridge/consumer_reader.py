"""The consumer of one ``quotes()`` reader and where it stands in the stream
(see ``consumer.py``)."""

from __future__ import annotations

import asyncio
import logging
import math
import time
from collections.abc import Callable
from typing import TYPE_CHECKING, Any

from .names import RETRY_FIRST, RETRY_MAX

if TYPE_CHECKING:
    from nats.aio.msg import Msg
    from nats.js import JetStreamContext

    from .consumer import ConsumerCounters

__all__ = ["Reader", "describe"]

logger = logging.getLogger("quotra.bridge")

FETCH = 256
FETCH_WAIT = 0.5
# The server forgets a consumer nobody pulled from for this long (a reader gone for good).
INACTIVE = 30.0
# At most one line about evicted quotes this often, with the count since the last.
WARN_EVERY = 5.0
ACK_WAIT = 1.0


def describe(exc: BaseException) -> str:
    """What a NATS client error means, in words an operator can act on (the
    client's own text names an exception class and empty fields)."""
    import nats.errors
    import nats.js.errors

    if isinstance(exc, nats.js.errors.ServiceUnavailableError):
        return "JetStream did not answer (503: a leader being elected, or the consumer gone)"
    if isinstance(exc, nats.js.errors.NotFoundError):
        return f"not found ({exc.description or 'no such stream or consumer'})"
    if isinstance(exc, nats.js.errors.APIError):
        return f"refused by JetStream ({exc.code} {exc.err_code}: {exc.description or 'no description'})"
    if isinstance(exc, (nats.errors.TimeoutError, TimeoutError)):
        return "no answer in time"
    if isinstance(exc, nats.errors.NoRespondersError):
        return "no responders (nothing on the server answers: JetStream not ready, or the consumer gone)"
    if isinstance(exc, ConnectionRefusedError):
        return "connection refused"
    if isinstance(
        exc, (nats.errors.ConnectionClosedError, nats.errors.ConnectionReconnectingError)
    ):
        return "the connection is down"
    return str(exc) or type(exc).__name__


class Reader:
    """The consumer of one ``quotes()`` and where it stands in the stream."""

    def __init__(
        self,
        nc: Any,
        stream: str,
        subjects: list[str],
        on_evicted: Callable[[int], None] | None,
        counters: ConsumerCounters,
        durable: str | None = None,
    ):
        self.nc = nc
        self.js = nc.jetstream()
        self.stream = stream
        self.subjects = subjects
        self.whole = len(subjects) == 1 and subjects[0].endswith(".>")
        self.on_evicted = on_evicted
        self.last = 0  # stream sequence of the last quote delivered
        self.live = False  # past the first catch-up: a sequence gap is an eviction
        self.counters = counters
        self.sub: JetStreamContext.PullSubscription | None = None
        self.renew = False
        self.delay = RETRY_FIRST
        self.durable = durable
        self.resumed = False  # a durable's acknowledgement floor was read
        self.to_ack: Msg | None = None  # a durable's: the last message handed out
        self.unsaid = 0  # evicted since the last line about it
        self.said_at = -math.inf

    async def fetch(self) -> list[Msg]:
        if self.sub is None:
            self.sub = await self._subscribe()
        try:
            got: list[Msg] = await self.sub.fetch(FETCH, timeout=FETCH_WAIT)
            return got
        except TimeoutError:
            return []

    def _config(self) -> Any:
        """The consumer's configuration, starting after ``last``."""
        from nats.js.api import AckPolicy, ConsumerConfig, DeliverPolicy

        if self.durable is None:
            config = ConsumerConfig(
                ack_policy=AckPolicy.NONE,
                inactive_threshold=INACTIVE,
                mem_storage=True,
                num_replicas=1,
            )
        else:
            config = ConsumerConfig(durable_name=self.durable, ack_policy=AckPolicy.ALL)
        if len(self.subjects) > 1:
            config.filter_subjects = self.subjects
        else:
            config.filter_subject = self.subjects[0]
        if self.last:
            config.deliver_policy, config.opt_start_seq = (
                DeliverPolicy.BY_START_SEQUENCE,
                self.last + 1,
            )
        else:
            config.deliver_policy = DeliverPolicy.LAST_PER_SUBJECT
        return config

    async def _subscribe(self) -> JetStreamContext.PullSubscription:
        from nats.js.api import DeliverPolicy
        from nats.js.errors import NotFoundError

        if self.durable is not None:
            # An acknowledgement of the consumer made before would reach the
            # new one under the same name, for deliveries it never made.
            self.to_ack = None
            await self._resume()
        config = self._config()
        while True:
            try:
                info = await self.js.add_consumer(self.stream, config)
                break
            except NotFoundError:
                # Started before the bridge made its stream: wait for it. Every
                # quote it will hold came after the reader: start at its first,
                # and count as evicted any sequence it no longer holds.
                if self.delay == RETRY_FIRST:
                    logger.info(
                        "NATS: no stream %s yet; waiting for the bridge to make it", self.stream
                    )
                if not self.last:
                    config.deliver_policy = DeliverPolicy.ALL
                    self.live = True
                await asyncio.sleep(self.delay)
                self.delay = min(RETRY_MAX, self.delay * 2)
        self.delay = RETRY_FIRST
        sub: JetStreamContext.PullSubscription = await self.js.pull_subscribe_bind(
            consumer=info.name, stream=self.stream
        )
        return sub

    async def _resume(self) -> None:
        """A durable's first consumer starts after its acknowledgement floor
        (made again: the server would otherwise hold what the last run took
        and never acknowledged until its ack wait ran out)."""
        from nats.js.errors import NotFoundError

        assert self.durable is not None
        if not self.resumed:
            try:
                info = await self.js.consumer_info(self.stream, self.durable)
            except NotFoundError:
                info = None
            self.resumed = True
            if info is not None and info.ack_floor and info.ack_floor.stream_seq:
                self.last, self.live = info.ack_floor.stream_seq, True
                logger.info(
                    "NATS consumer %s: resuming after stream sequence %d", self.durable, self.last
                )
        try:
            await self.js.delete_consumer(self.stream, self.durable)
        except NotFoundError:
            pass

    async def park(self) -> None:
        """A durable's, at the end: made again to start right after the last
        quote handed out, with nothing delivered. Acknowledging would not do:
        what was fetched but not handed out stays delivered, and the server
        moves the acknowledgement floor past such messages when its retention
        removes them, so the next start would not count them."""
        if self.durable is None or not self.last:
            return
        from nats.js.errors import NotFoundError

        async def remake() -> None:
            try:
                await self.js.delete_consumer(self.stream, self.durable)
            except NotFoundError:
                pass
            await self.js.add_consumer(self.stream, self._config())

        try:
            await asyncio.wait_for(remake(), 2 * ACK_WAIT)
        except Exception as exc:  # it resumes from its last acknowledgement instead
            logger.debug("NATS consumer %s: %s", self.durable, describe(exc))
            await self.ack(wait=True)

    async def ack(self, wait: bool = False) -> None:
        """A durable's: everything handed out so far is taken (the "all" policy)."""
        msg, self.to_ack = self.to_ack, None
        if msg is None:
            return
        try:
            if wait:
                await msg.ack_sync(timeout=ACK_WAIT)
            else:
                await msg.ack()
        except Exception as exc:  # delivered again at the next start, and recognised there
            logger.debug("NATS consumer ack: %s", describe(exc))

    async def lost(self, exc: Exception | None, connected: bool) -> None:
        """The consumer failed: make a new one after the last quote delivered."""
        self.renew = False
        if connected and exc is not None:
            logger.warning(
                "NATS consumer: %s; making a new consumer after stream sequence %d",
                describe(exc),
                self.last,
            )
            await asyncio.sleep(self.delay)
            self.delay = min(RETRY_MAX, self.delay * 2)
        sub, self.sub = self.sub, None
        if sub is not None:
            try:
                await sub.unsubscribe()
            except Exception:  # the connection it was on has gone
                pass

    def delivered(self, msg: Msg) -> bool:
        """Whether ``msg`` is new to the reader; notes gaps the stream left."""
        try:
            meta = msg.metadata
        except Exception:  # a status message, not a quote
            return False
        seq = meta.sequence.stream
        if seq <= self.last:
            return False
        if self.live and self.whole and seq > self.last + 1:
            self._evicted(seq - self.last - 1)
        self.last = seq
        if self.durable is not None:
            self.to_ack = msg
        if not meta.num_pending:
            self.live = True
        return True

    def skip(self, msg: Any) -> None:
        self.counters.skipped += 1
        logger.warning(
            "NATS consumer: message %d on %s is not a JSON object: skipped (%d in all)",
            self.last,
            msg.subject,
            self.counters.skipped,
        )

    def _evicted(self, n: int) -> None:
        self.counters.evicted += n
        self.unsaid += n
        self.say(force=False)
        if self.on_evicted is not None:
            self.on_evicted(n)

    def say(self, force: bool = True) -> None:
        """The line about what was evicted since the last one (``force``:
        now; else only when the last is ``WARN_EVERY`` s old)."""
        now = time.monotonic()
        if not self.unsaid or (not force and now < self.said_at + WARN_EVERY):
            return
        self.said_at = now
        logger.warning(
            "NATS consumer: %d quotes were removed by the stream's retention before they could be "
            "read (up to stream sequence %d; %d in all)",
            self.unsaid,
            self.last,
            self.counters.evicted,
        )
        self.unsaid = 0
