"""Reading the bridge's stream: ``quotes()``.

The consumer is the reader's own: an ephemeral pull consumer that starts with
the last quote of each instrument (with the stream's first message when the
stream did not exist yet: everything in it came after the reader), remembers
the stream sequence of the last quote it delivered, and after any outage makes
a new consumer that starts right after it, as soon as the connection is back
(not when a heartbeat is missed). With a ``durable`` name the consumer is the
server's and acknowledges what was delivered, so a reader started again goes
on after the last quote it took. Pulling, the reader sets the pace; what the
stream's retention evicted before the reader got to it shows as a gap in the
stream sequence and is reported (at most one line every few seconds), never
skipped in silence.
"""

from __future__ import annotations

import asyncio
import logging
from collections.abc import AsyncIterator, Callable, Iterable
from typing import Any

import orjson

from .consumer_reader import Reader, describe
from .names import (
    DEFAULT_NATS,
    DEFAULT_PREFIX,
    DEFAULT_STREAM,
    check_instrument,
    check_prefix,
    check_stream,
    nats,
)
from .options import NatsOptions

__all__ = ["quotes", "describe", "ConsumerCounters", "consumer_families"]

# How long the end of quotes() waits for its connection to close.
CLOSE_WAIT = 5.0

logger = logging.getLogger("quotra.bridge")


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
    durable: str | None = None,
    options: NatsOptions | None = None,
    **nats_options: Any,
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

    ``durable``: the name of a consumer kept by the server, which records
    what was delivered: a reader started again with the same name goes on
    after the last quote it took (counting what the stream evicted
    meanwhile), rather than with the last quote of each instrument.
    ``options``: how to reach the servers (``quotra.bridge.options.NatsOptions``:
    TLS, credentials, their order), or its fields as keywords (``ca_file=``,
    ``creds_file=``, ...); user, password and token otherwise come from the URL
    or the environment (``NATS_USER``, ``NATS_PASSWORD``, ``NATS_TOKEN``).
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
    if durable is not None:
        check_stream(durable)
    if options is None:
        options = NatsOptions.from_env(nats_url, **nats_options)
    elif nats_options:
        raise TypeError("give options or its fields as keywords, not both")
    shown = options.describe()
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
            servers=options.ordered_servers(),
            **options.nats_py_kwargs(),
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
    reader = Reader(nc, stream, subjects, on_evicted, counters, durable)
    try:
        loads = orjson.loads
        while True:
            await back.wait()
            if reader.renew:
                await reader.lost(None, False)
            reader.say(force=False)
            try:
                await reader.ack()
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
        reader.say()
        try:
            if nc.is_connected:
                await reader.park()
            # A server that stopped reading would hold the close (it drains
            # what is written): the iterator's end does not wait on it for long.
            try:
                await asyncio.wait_for(nc.close(), CLOSE_WAIT)
            except TimeoutError:
                logger.warning(
                    "NATS consumer: the connection did not close within %g s", CLOSE_WAIT
                )
        finally:
            if metrics_name is not None:
                metrics.unregister(metrics_name)
