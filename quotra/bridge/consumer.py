"""Reading the bridge's stream: ``quotes()``.

The consumer is the reader's own: an ephemeral pull consumer that starts with
the last quote of each instrument, remembers the stream sequence of the last
quote it delivered, and after any outage makes a new consumer that starts
right after it, as soon as the connection is back (not when a heartbeat is
missed). Pulling, the reader sets the pace; what the stream's retention
evicted before the reader got to it shows as a gap in the stream sequence
and is reported, never skipped in silence.
"""

from __future__ import annotations

import asyncio
import logging
from collections.abc import AsyncIterator, Callable, Iterable
from typing import TYPE_CHECKING, Any

import orjson

from .names import (
    DEFAULT_NATS,
    DEFAULT_PREFIX,
    DEFAULT_STREAM,
    RETRY_FIRST,
    RETRY_MAX,
    check_instrument,
    check_prefix,
    check_stream,
    nats,
    redact,
    servers,
)

if TYPE_CHECKING:
    from nats.aio.msg import Msg
    from nats.js import JetStreamContext

__all__ = ["quotes", "describe", "ConsumerCounters", "consumer_families"]

logger = logging.getLogger("quotra.bridge")

FETCH = 256
FETCH_WAIT = 0.5
# The server forgets a consumer nobody pulled from for this long (a reader gone for good).
INACTIVE = 30.0


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


class ConsumerCounters:
    """What one ``quotes()`` reader could not deliver, in ``quotra.monitor``'s
    snapshot form (``quotra.metrics.register(name, counters, consumer_families())``)."""

    def __init__(self) -> None:
        self.evicted = 0  # removed by the stream's retention before they were read
        self.skipped = 0  # messages that were not a JSON object

    def snapshot(self) -> dict[str, Any]:
        return {"evicted": self.evicted, "skipped": self.skipped}


def consumer_families() -> tuple[Any, ...]:
    """The ``quotra.metrics`` families of ``ConsumerCounters`` (needs prometheus-client)."""
    from ..metrics import Family

    return (
        Family(
            "evicted",
            "quotra_consumer_evicted",
            "counter",
            "Quotes the stream's retention removed before the consumer read them.",
        ),
        Family(
            "skipped",
            "quotra_consumer_skipped",
            "counter",
            "Messages on the quote subjects that were not a JSON object.",
        ),
    )


async def quotes(
    nats_url: str = DEFAULT_NATS,
    instruments: Iterable[str] | None = None,
    *,
    subject_prefix: str = DEFAULT_PREFIX,
    stream: str = DEFAULT_STREAM,
    on_evicted: Callable[[int], None] | None = None,
    metrics_name: str | None = None,
) -> AsyncIterator[dict[str, Any]]:
    """Quote dicts from the bridge's stream: the last quote of each instrument
    first, then every new one, for ever (end it with ``break`` or by cancelling).

    ``instruments`` None: all of them. A name that cannot be a subject token
    raises ValueError before anything connects. ``nats_url`` may name several
    servers, comma-separated. Quotes the stream's retention removed before
    they could be delivered are counted, logged and, with ``on_evicted``,
    passed to it as a number (the count is exact when reading all
    instruments: the gap in the stream's sequence). A message that is not a
    JSON object is skipped, counted and logged. ``metrics_name``: while the
    reader runs, its counts are a ``quotra.metrics`` source of that name
    (``quotra_consumer_evicted_total``, ``quotra_consumer_skipped_total``).
    """
    nats_mod = nats()
    check_prefix(subject_prefix)
    check_stream(stream)
    if instruments is None:
        subjects = [f"{subject_prefix}.>"]
    else:
        if isinstance(instruments, (str, bytes)):
            raise TypeError("instruments must be a collection of names, not one string")
        subjects = [f"{subject_prefix}.{check_instrument(i)}" for i in dict.fromkeys(instruments)]
        if not subjects:
            raise ValueError("give at least one instrument, or None for all")
    urls = servers(nats_url)
    shown = redact(",".join(urls))
    counters = ConsumerCounters()
    back = asyncio.Event()
    back.set()
    closing = False
    waiting = False  # a WARNING said so; the next connection is announced at WARNING too
    started = False  # connected once

    def wait_warning(why: str) -> None:
        nonlocal waiting
        if not waiting and not closing:
            waiting = True
            logger.warning("NATS consumer: %s; waiting for NATS at %s", why, shown)

    async def on_disconnected() -> None:
        back.clear()
        wait_warning("connection lost")

    async def on_reconnected() -> None:
        nonlocal waiting
        reader.renew = True  # the server may have forgotten the consumer: make it again
        back.set()
        waiting = False
        logger.warning(
            "NATS consumer: reconnected to %s",
            nc.connected_url.netloc.rpartition("@")[2] if nc.connected_url else "?",
        )

    async def on_error(exc: Exception) -> None:
        if not started:  # once connected, a lost connection is the disconnection's to report
            wait_warning(f"cannot reach NATS ({describe(exc)})")
        logger.debug("NATS consumer: %s", describe(exc))

    if metrics_name is not None:
        from .. import metrics

        metrics.register(metrics_name, counters, consumer_families())
    try:
        nc = await nats_mod.connect(
            servers=urls,
            max_reconnect_attempts=-1,
            reconnect_time_wait=0.25,
            connect_timeout=2,
            error_cb=on_error,
            disconnected_cb=on_disconnected,
            reconnected_cb=on_reconnected,
        )
    except BaseException:
        if metrics_name is not None:
            metrics.unregister(metrics_name)
        raise
    started = True
    if waiting:
        waiting = False
        logger.warning(
            "NATS consumer: connected to %s",
            nc.connected_url.netloc.rpartition("@")[2] if nc.connected_url else "?",
        )
    reader = _Reader(nc, stream, subjects, on_evicted, counters)
    try:
        loads = orjson.loads
        while True:
            await back.wait()
            if reader.renew:
                await reader.lost(None, False)
            try:
                batch = await reader.fetch()
            except asyncio.CancelledError:
                raise
            except Exception as exc:
                await reader.lost(exc, nc.is_connected)
                continue
            for msg in batch:
                if reader.delivered(msg):
                    try:
                        quote = loads(msg.data)
                    except orjson.JSONDecodeError:
                        quote = None
                    if isinstance(quote, dict):
                        yield quote
                    else:
                        reader.skip(msg)
    finally:
        closing = True
        try:
            await nc.close()
        finally:
            if metrics_name is not None:
                metrics.unregister(metrics_name)


class _Reader:
    """The consumer of one ``quotes()`` and where it stands in the stream."""

    def __init__(
        self,
        nc: Any,
        stream: str,
        subjects: list[str],
        on_evicted: Callable[[int], None] | None,
        counters: ConsumerCounters,
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

    async def fetch(self) -> list[Msg]:
        if self.sub is None:
            self.sub = await self._subscribe()
        try:
            got: list[Msg] = await self.sub.fetch(FETCH, timeout=FETCH_WAIT)
            return got
        except TimeoutError:
            return []

    async def _subscribe(self) -> JetStreamContext.PullSubscription:
        from nats.js.api import AckPolicy, ConsumerConfig, DeliverPolicy
        from nats.js.errors import NotFoundError

        config = ConsumerConfig(
            ack_policy=AckPolicy.NONE, inactive_threshold=INACTIVE, mem_storage=True, num_replicas=1
        )
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
        while True:
            try:
                info = await self.js.add_consumer(self.stream, config)
                break
            except NotFoundError:
                # Started before the bridge made its stream: wait for it.
                if self.delay == RETRY_FIRST:
                    logger.info(
                        "NATS: no stream %s yet; waiting for the bridge to make it", self.stream
                    )
                await asyncio.sleep(self.delay)
                self.delay = min(RETRY_MAX, self.delay * 2)
        self.delay = RETRY_FIRST
        sub: JetStreamContext.PullSubscription = await self.js.pull_subscribe_bind(
            consumer=info.name, stream=self.stream
        )
        return sub

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
        logger.warning(
            "NATS consumer: %d quotes were removed by the stream's retention before they could be "
            "read (after stream sequence %d; %d in all)",
            n,
            self.last,
            self.counters.evicted,
        )
        if self.on_evicted is not None:
            self.on_evicted(n)
