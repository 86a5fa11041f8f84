"""Where recorded quotes come from: the upstream service through a quotra
client (``record_direct``), or the bridge's JetStream stream through a
durable consumer (``NatsSource``).

The stream's side of it: quotes are JSON objects with the quote dict's keys,
on ``<prefix>.<instrument>`` in the stream ``QUOTES`` (the bridge's
defaults). The consumer acknowledges with the "all" policy, one
acknowledgement per finished file: the newest message below the first quote
of the oldest file still open, or, with no file open, the newest message
delivered. So everything acknowledged is in a file under its final name, and
a recorder that stops (or is killed) gets again everything after the last
acknowledgement. What it gets again but had already stored (in a file
renamed before the acknowledgement went out) is recognised by its stream
sequence: each file's footer holds the stream's identity and the highest
sequence in it, and per instrument the sequences only grow.
"""

from __future__ import annotations

import asyncio
import logging
import signal
import time
from typing import TYPE_CHECKING, Any, Callable, Optional

import orjson

from ..eager import eager_for
from .defaults import DEFAULT_DURABLE, DEFAULT_PREFIX, DEFAULT_STREAM
from .reader import file_metadata, newest_file
from .counters import Counters, metric_families
from .writer import QUOTE_FIELDS, SCHEMA, ClosedFile, DatasetWriter

if TYPE_CHECKING:
    from nats.aio.msg import Msg
    from nats.js import JetStreamContext

__all__ = ["Counters", "NatsSource", "record_direct", "metric_families", "DEFAULT_STREAM", "DEFAULT_PREFIX",
           "DEFAULT_DURABLE"]

logger = logging.getLogger("quotra.record")

TICK = 0.5
FETCH = 1024
FETCH_WAIT = 0.5
RETRY_FIRST = 0.1
RETRY_MAX = 2.0


async def _tick(writer: DatasetWriter) -> None:
    while True:
        await asyncio.sleep(TICK)
        writer.tick()


def record_direct(loop: asyncio.AbstractEventLoop, client: Any, writer: DatasetWriter,
                  instruments: list[str]) -> int:
    """Record ``client``'s quotes of ``instruments`` until its shutdown (SIGINT,
    SIGTERM, or a first connection that fails) stops ``loop``; then finish the
    open files. Returns the connections opened."""
    opened = 0
    add = writer.add

    async def on_quote(quote: dict[str, Any]) -> None:
        add(quote)

    async def on_error(exc: BaseException) -> None:
        logger.warning("could not decode a quote frame: %r", exc)

    async def on_open(text: str) -> None:
        nonlocal opened
        opened += 1
        if opened == 1:
            logger.info("%s Subscribing to %s", text, ",".join(instruments))
            await client.subscribe(list(instruments))
        else:
            logger.info("%s (reconnected; the client resubscribes)", text)

    async def on_close(text: str) -> None:
        logger.info("%s", text)

    eager_for(loop, on_quote.__code__)
    loop.create_task(_tick(writer), name="quotra-record tick")
    client.start_websocket(on_quote, on_error, on_open, on_close)
    try:
        loop.run_forever()  # the client's shutdown stops it, after cancelling the tick
    finally:
        writer.close()
    return opened


# ---------------------------------------------------------------------------
# The JetStream source
# ---------------------------------------------------------------------------

def _checker() -> Callable[[Any], dict[str, Any]]:
    """A function making a quote dict of the fields of a decoded message
    body, or raising ValueError: what reaches the writer must fit its schema."""
    import pyarrow as pa

    kinds = []
    for name in QUOTE_FIELDS:
        t = SCHEMA.field(name).type
        if pa.types.is_string(t):
            kinds.append((name, "str"))
        elif pa.types.is_floating(t):
            kinds.append((name, "float"))
        elif pa.types.is_signed_integer(t):
            kinds.append((name, "int"))
        else:  # pragma: no cover - the price message holds no other kind
            raise TypeError(f"field {name} of type {t} cannot be checked")
    lo, hi = -(1 << 63), 1 << 63

    def check(body: Any) -> dict[str, Any]:
        if not isinstance(body, dict):
            raise ValueError("not a JSON object")
        quote: dict[str, Any] = {}
        for name, kind in kinds:
            v: Any = body.get(name)  # a JSON value
            if kind == "str":
                ok = isinstance(v, str)
            elif kind == "int":
                ok = isinstance(v, int) and not isinstance(v, bool) and lo <= v < hi
            else:
                ok = isinstance(v, (int, float)) and not isinstance(v, bool)
                if ok:
                    v = float(v)
            if not ok:
                raise ValueError(f"field {name}: {v!r}")
            quote[name] = v
        return quote

    return check


class NatsSource:
    """Records the stream's quotes of ``instruments`` through the durable
    consumer ``durable``; ``run()`` until ``stop()``. See the module's docstring."""

    def __init__(self, writer: DatasetWriter, nats_url: str, instruments: list[str], *,
                 stream: str = DEFAULT_STREAM, subject_prefix: str = DEFAULT_PREFIX,
                 durable: str = DEFAULT_DURABLE):
        writer.on_closed, writer.on_failed = self._closed, self._lost
        self.writer = writer
        self.counters = Counters(writer)
        self.nats_url = nats_url
        self.instruments = list(instruments)
        self.stream = stream
        self.subject_prefix = subject_prefix
        self.durable = durable
        self._stop = asyncio.Event()
        self._seen: dict[str, int] = {}     # per instrument: the highest stream sequence stored or taken
        self._newest: Any = None            # the message with the highest sequence delivered
        self._newest_seq = 0
        self._before: Any = None            # ``_newest`` before the message being taken
        self._to_ack: Any = None
        self._acked_seq = 0
        self._failed = False
        self._first_seq = 0
        self._check = _checker()

    def stop(self) -> None:
        self._stop.set()

    # -- acknowledgement --------------------------------------------------------

    def _closed(self, f: ClosedFile) -> None:
        if self._failed:
            return  # an earlier file was lost: nothing past it may be acknowledged
        has_open, mark = self.writer.oldest_open_mark()
        target = mark if has_open else self._newest
        if target is not None and target.metadata.sequence.stream > self._acked_seq:
            self._to_ack = target

    def _lost(self, instrument: str, rows: int) -> None:
        logger.error("stopping: %d quotes of %s could not be written; they stay unacknowledged "
                     "and come again when the recorder is restarted", rows, instrument)
        self._failed = True
        self._stop.set()

    async def _ack(self) -> None:
        msg, self._to_ack = self._to_ack, None
        if msg is None:
            return
        seq = msg.metadata.sequence.stream
        if seq <= self._acked_seq:
            return
        await msg.ack()
        self._acked_seq = seq

    # -- the run ----------------------------------------------------------------

    async def _stream_identity(self, js: JetStreamContext) -> str:
        from nats.js.errors import NotFoundError

        delay = RETRY_FIRST
        while not self._stop.is_set():
            try:
                info = await js.stream_info(self.stream)
                self._first_seq = info.state.first_seq
                return f"{self.stream}@{info.created}"
            except NotFoundError:
                if delay == RETRY_FIRST:
                    logger.info("NATS: no stream %s yet; waiting for the bridge to make it", self.stream)
            await self._sleep(delay)
            delay = min(RETRY_MAX, delay * 2)
        return ""

    async def _sleep(self, seconds: float) -> None:
        try:
            await asyncio.wait_for(self._stop.wait(), seconds)
        except TimeoutError:
            pass

    def _load_seen(self, identity: str) -> None:
        """Per instrument, the highest sequence already in a file of this stream."""
        for instrument in self.instruments:
            path = newest_file(self.writer.root, instrument)
            if path is None:
                continue
            try:
                meta = file_metadata(path)
            except Exception as exc:
                logger.warning("cannot read the footer of %s: %s", path, exc)
                continue
            if meta.get("quotra.nats_stream") == identity and meta.get("quotra.seq_max", "").isdigit():
                self._seen[instrument] = int(meta["quotra.seq_max"])

    async def _resume_point(self, js: JetStreamContext) -> Optional[int]:
        """The sequence after the consumer's last acknowledgement, or None for
        a new consumer. The consumer is made again from there: the server
        would hand what an earlier run took and never acknowledged (the quotes
        of the files it left open) to no one until their ack wait ran out."""
        from nats.js.errors import NotFoundError

        try:
            info = await js.consumer_info(self.stream, self.durable)
        except NotFoundError:
            return None
        start = (info.ack_floor.stream_seq if info.ack_floor else 0) + 1
        if start < self._first_seq:
            # The stream's limits dropped them while the recorder was away.
            logger.warning("NATS: the stream no longer holds sequences %d to %d: quotes of that span are "
                           "missing from the recording", start, self._first_seq - 1)
        await js.delete_consumer(self.stream, self.durable)
        logger.info("NATS: consumer %s resumes after stream sequence %d", self.durable, start - 1)
        return start

    def _take(self, msg: Msg) -> None:
        seq = msg.metadata.sequence.stream
        if seq > self._newest_seq:
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
            logger.warning("message %d on %s holds a quote of %r: not recorded", seq, msg.subject, instrument)
            return
        if seq <= self._seen.get(instrument, 0):
            self.counters.duplicates += 1
            return
        self._seen[instrument] = seq
        # The file this quote opens may be acknowledged up to the message before it.
        self.writer.add(quote, mark=self._before, seq=seq)

    async def run(self) -> int:
        import nats
        from nats.js.api import AckPolicy, ConsumerConfig, DeliverPolicy

        nc = await nats.connect(self.nats_url, max_reconnect_attempts=-1, reconnect_time_wait=0.5,
                                name="quotra-record")
        try:
            js = nc.jetstream()
            identity = await self._stream_identity(js)
            if not identity:
                return 0
            roll = self.writer.roll_seconds
            self.writer.set_metadata({"nats_stream": identity})
            self._load_seen(identity)
            subjects = [f"{self.subject_prefix}.{i}" for i in self.instruments]
            start = await self._resume_point(js)
            config = ConsumerConfig(
                durable_name=self.durable, ack_policy=AckPolicy.ALL,
                deliver_policy=DeliverPolicy.ALL if start is None else DeliverPolicy.BY_START_SEQUENCE,
                opt_start_seq=start,
                # Nothing is acknowledged before its file is finished: give a
                # file all the time it may stay open before a redelivery.
                ack_wait=2 * roll + 30, max_ack_pending=-1,
                filter_subjects=subjects if len(subjects) > 1 else None,
                filter_subject=subjects[0] if len(subjects) == 1 else None)
            await js.add_consumer(self.stream, config)
            sub = await js.pull_subscribe_bind(durable=self.durable, stream=self.stream)
            logger.info("NATS: recording %s from stream %s (consumer %s)", ",".join(self.instruments),
                        self.stream, self.durable)
            next_tick = time.monotonic() + TICK
            while not self._stop.is_set():
                try:
                    msgs = await sub.fetch(FETCH, timeout=FETCH_WAIT)
                except TimeoutError:
                    msgs = []
                except Exception as exc:
                    if self._stop.is_set():
                        break
                    logger.warning("NATS fetch: %s", str(exc) or type(exc).__name__)
                    await self._sleep(RETRY_FIRST)
                    msgs = []
                for msg in msgs:
                    self._before = self._newest
                    self._take(msg)
                if time.monotonic() >= next_tick:
                    next_tick = time.monotonic() + TICK
                    self.writer.tick()
                else:
                    self.writer.collect()
                await self._ack_quietly()
            self.writer.close()
            await self._ack_quietly()
            try:
                await nc.flush(timeout=2)
            except Exception as exc:
                logger.warning("NATS flush: %s", str(exc) or type(exc).__name__)
            return 1 if self._failed else 0
        finally:
            await nc.close()

    async def _ack_quietly(self) -> None:
        try:
            await self._ack()
        except Exception as exc:
            # Not acknowledged: delivered again after a restart, and recognised then.
            logger.warning("NATS ack: %s", str(exc) or type(exc).__name__)


def install_stop(loop: asyncio.AbstractEventLoop, stop: Callable[[], object]) -> None:
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop)
