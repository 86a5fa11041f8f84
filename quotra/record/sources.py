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
import datetime
import logging
import os
import signal
import time
from collections.abc import Awaitable, Callable
from typing import Any

import orjson

from ..bridge.consumer import describe
from ..bridge.names import redact, servers
from ..eager import eager_for
from .counters import Counters, metric_families
from .defaults import DEFAULT_DURABLE, DEFAULT_PREFIX, DEFAULT_STREAM
from .reader import file_metadata, newest_file
from .writer import QUOTE_FIELDS, SCHEMA, ClosedFile, DatasetWriter, unfinished_files

__all__ = [
    "Counters",
    "NatsSource",
    "record_direct",
    "metric_families",
    "DEFAULT_STREAM",
    "DEFAULT_PREFIX",
    "DEFAULT_DURABLE",
]

logger = logging.getLogger("quotra.record")

TICK = 0.5
FETCH = 1024
FETCH_WAIT = 0.5
RETRY_FIRST = 0.1
RETRY_MAX = 2.0
ACK_WAIT = 1.0


async def _tick(writer: DatasetWriter) -> None:
    while True:
        await asyncio.sleep(TICK)
        writer.tick()


def record_direct(
    loop: asyncio.AbstractEventLoop, client: Any, writer: DatasetWriter, instruments: list[str]
) -> int:
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

    _report_unfinished(writer.root)
    eager_for(loop, on_quote.__code__)
    loop.create_task(_tick(writer), name="quotra-record tick")
    client.start_websocket(on_quote, on_error, on_open, on_close)
    try:
        loop.run_forever()  # the client's shutdown stops it, after cancelling the tick
    finally:
        writer.close()
    return opened


def _report_unfinished(root: str) -> None:
    """Says what a recorder killed earlier lost with its open files: from the
    upstream service they do not come again (temporaries are never read)."""
    left = unfinished_files(root)
    for path, first, last in left[:10]:
        logger.warning(
            "an earlier run was killed with %s open: the quotes it received from %s to about %s "
            "are not in the recording",
            os.path.relpath(path, root),
            _utc(first),
            _utc(last),
        )
    if len(left) > 10:
        logger.warning("... and %d more such files", len(left) - 10)


def _utc(ns: int) -> str:
    return (
        datetime.datetime.fromtimestamp(ns / 1e9, datetime.UTC).strftime("%Y-%m-%d %H:%M:%S.%f")[
            :-3
        ]
        + "Z"
    )


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


class _Stopped(Exception):
    """``stop()`` was called while waiting on the server."""


def _transient(exc: BaseException) -> bool:
    """A failure that passes (no connection, a leader being elected, no
    answer in time), as against the server refusing what was asked."""
    import nats.errors
    import nats.js.errors

    if isinstance(exc, nats.js.errors.ServiceUnavailableError):
        return True
    if isinstance(exc, nats.js.errors.APIError):
        return exc.code in (None, 408, 503)
    return isinstance(exc, (nats.errors.Error, TimeoutError, OSError))


class NatsSource:
    """Records the stream's quotes of ``instruments`` through the durable
    consumer ``durable``; ``run()`` until ``stop()``. See the module's docstring.
    ``nats_url``: one server or a comma-separated list (a cluster)."""

    def __init__(
        self,
        writer: DatasetWriter,
        nats_url: str,
        instruments: list[str],
        *,
        stream: str = DEFAULT_STREAM,
        subject_prefix: str = DEFAULT_PREFIX,
        durable: str = DEFAULT_DURABLE,
    ):
        writer.on_closed, writer.on_failed = self._closed, self._lost
        self.writer = writer
        self.counters = Counters(writer)
        self.urls = servers(nats_url)
        self.shown = redact(",".join(self.urls))
        self.instruments = list(instruments)
        self.stream = stream
        self.subject_prefix = subject_prefix
        self.subjects = [f"{subject_prefix}.{i}" for i in self.instruments]
        self.durable = durable
        self._stop = asyncio.Event()
        self._seen: dict[
            str, int
        ] = {}  # per instrument: the highest stream sequence stored or taken
        self._newest: Any = None  # the message with the highest sequence delivered
        self._newest_seq = 0
        self._before: Any = None  # ``_newest`` before the message being taken
        self._to_ack: Any = None
        self._acked_seq = 0  # the consumer's acknowledgement floor, as far as known
        self._failed = False
        self._first_seq = 0
        self._cseq = 0  # the consumer's delivery sequence of the last message received
        self._last_sseq = 0  # and that message's stream sequence
        self._warned = False  # a failure of the current episode was logged at WARNING
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
        logger.error(
            "stopping: %d quotes of %s could not be written; they stay unacknowledged "
            "and come again when the recorder is restarted",
            rows,
            instrument,
        )
        self._failed = True
        self._stop.set()

    async def _ack(self) -> None:
        """Acknowledge ``_to_ack``, counted as done once the server answered;
        kept for the next try otherwise."""
        msg, self._to_ack = self._to_ack, None
        if msg is None:
            return
        seq = msg.metadata.sequence.stream
        if seq <= self._acked_seq:
            return
        try:
            await msg.ack_sync(timeout=ACK_WAIT)
        except BaseException:
            if self._to_ack is None:
                self._to_ack = msg
            raise
        self._acked_seq = seq

    async def _ack_quietly(self, nc: Any) -> None:
        if self._to_ack is None or not nc.is_connected:
            return  # acknowledged when the connection is back
        try:
            await self._ack()
        except Exception as exc:
            # Not acknowledged: delivered again after a restart, and recognised then.
            logger.warning("NATS ack: %s", describe(exc))

    async def _last_ack(self, nc: Any) -> None:
        """The acknowledgement of the last files, at the end: bounded, and
        only a warning when it cannot be sent (what it covers is in finished
        files and is recognised when it comes again)."""
        if self._to_ack is None:
            return
        seq = self._to_ack.metadata.sequence.stream
        why = "no connection"
        if nc.is_connected:
            try:
                await self._ack()
                return
            except Exception as exc:
                why = describe(exc)
        logger.warning(
            "NATS: the last acknowledgement (stream sequence %d) could not be sent (%s): the "
            "quotes after sequence %d are in finished files and come again at the next start, "
            "where they are recognised and not written twice",
            seq,
            why,
            self._acked_seq,
        )

    # -- waiting on the server ----------------------------------------------------

    async def _bounded(self, aw: Any) -> Any:
        """``aw``'s result, or ``_Stopped`` as soon as ``stop()`` is called."""
        if self._stop.is_set():
            if asyncio.iscoroutine(aw):
                aw.close()
            raise _Stopped
        task = asyncio.ensure_future(aw)
        stopper = asyncio.ensure_future(self._stop.wait())
        try:
            await asyncio.wait((task, stopper), return_when=asyncio.FIRST_COMPLETED)
        finally:
            stopper.cancel()
            if not task.done():
                task.cancel()
                await asyncio.wait((task,), timeout=1.0)
        if task.cancelled() or not task.done():
            raise _Stopped
        return task.result()

    async def _sleep(self, seconds: float) -> None:
        try:
            await asyncio.wait_for(self._stop.wait(), seconds)
        except TimeoutError:
            pass

    async def _retrying(
        self,
        what: str,
        call: Callable[[], Awaitable[Any]],
        passes: Callable[[BaseException], bool | None] = _transient,
    ) -> Any:
        """``await call()`` until it succeeds; a failure that ``passes`` is
        logged once at WARNING (then at DEBUG; ``passes`` None: the caller
        said it) and tried again after a growing pause; any other is raised.
        ``_Stopped`` ends the wait."""
        delay = RETRY_FIRST
        warned = False
        while True:
            try:
                result = await self._bounded(call())
            except _Stopped:
                raise
            except Exception as exc:
                verdict = passes(exc)
                if verdict is False:
                    raise
                if warned or verdict is None:
                    logger.debug("NATS %s: %s; trying again", what, describe(exc))
                else:
                    warned = True
                    logger.warning(
                        "NATS %s: %s; trying again until it answers", what, describe(exc)
                    )
                await self._sleep(delay)
                if self._stop.is_set():
                    raise _Stopped from None
                delay = min(RETRY_MAX, delay * 2)
                continue
            if warned:
                logger.info("NATS %s: answered", what)
            return result

    async def _connect(self) -> Any:
        from nats.aio.client import Client

        closing = False

        async def on_error(exc: Exception) -> None:
            if self._warned or closing or nc.is_connected or nc.is_reconnecting:
                logger.debug("NATS: %s", describe(exc))
                return
            self._warned = True
            logger.warning(
                "NATS: cannot reach %s (%s); retrying until it answers", self.shown, describe(exc)
            )

        async def on_disconnected() -> None:
            if not closing and not self._stop.is_set() and not self._warned:
                self._warned = True
                logger.warning("NATS: connection to %s lost; reconnecting", self.shown)

        async def on_reconnected() -> None:
            self._warned = False
            logger.warning(
                "NATS: reconnected to %s",
                nc.connected_url.netloc.rpartition("@")[2] if nc.connected_url else self.shown,
            )

        nc = Client()
        try:
            await self._bounded(
                nc.connect(
                    servers=self.urls,
                    max_reconnect_attempts=-1,
                    reconnect_time_wait=0.5,  # type: ignore[arg-type]  # a float is what it sleeps
                    connect_timeout=2,
                    name="quotra-record",
                    error_cb=on_error,
                    disconnected_cb=on_disconnected,
                    reconnected_cb=on_reconnected,
                )
            )
        except BaseException:
            closing = True
            await _close(nc)
            raise
        if self._warned:
            self._warned = False
            logger.warning(
                "NATS: connected to %s",
                nc.connected_url.netloc.rpartition("@")[2] if nc.connected_url else self.shown,
            )
        return nc

    # -- the run ----------------------------------------------------------------

    async def _stream_identity(self, js: Any) -> str:
        from nats.js.errors import NotFoundError

        waited = False

        def passes(exc: BaseException) -> bool | None:
            nonlocal waited
            if isinstance(exc, NotFoundError):
                if not waited:
                    waited = True
                    logger.info(
                        "NATS: no stream %s yet; waiting for the bridge to make it", self.stream
                    )
                return None
            return _transient(exc)

        info = await self._retrying(
            f"stream {self.stream}", lambda: js.stream_info(self.stream), passes
        )
        self._first_seq = info.state.first_seq
        return f"{self.stream}@{info.created}"

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
            if (
                meta.get("quotra.nats_stream") == identity
                and meta.get("quotra.seq_max", "").isdigit()
            ):
                self._seen[instrument] = int(meta["quotra.seq_max"])

    async def _resume_point(self, js: Any) -> int | None:
        """The sequence after the consumer's last acknowledgement, or None for
        a new consumer."""
        from nats.js.errors import NotFoundError

        def passes(exc: BaseException) -> bool:
            return not isinstance(exc, NotFoundError) and _transient(exc)

        try:
            info = await self._retrying(
                f"consumer {self.durable}",
                lambda: js.consumer_info(self.stream, self.durable),
                passes,
            )
        except NotFoundError:
            return None
        return (info.ack_floor.stream_seq if info.ack_floor else 0) + 1

    def _missing(self, first: int, last: int, why: str) -> None:
        n = last - first + 1
        self.counters.missing += n
        logger.warning(
            "NATS: the stream no longer holds sequences %d to %d: %d quotes %s are missing from "
            "the recording (%d in all)",
            first,
            last,
            n,
            why,
            self.counters.missing,
        )

    async def _subscribe(self, js: Any, start: int | None) -> Any:
        """(Re)make the durable consumer, starting at stream sequence
        ``start`` (None: the whole stream), and bind to it. Made again
        rather than kept: the server would hand what an earlier run took and
        never acknowledged (the quotes of the files it left open) to no one
        until their ack wait ran out."""
        from nats.js.api import AckPolicy, ConsumerConfig, DeliverPolicy
        from nats.js.errors import NotFoundError

        if start is not None:
            info = await self._retrying(
                f"stream {self.stream}", lambda: js.stream_info(self.stream)
            )
            self._first_seq = info.state.first_seq
            if start < self._first_seq:
                # The stream's limits dropped them while nobody read them.
                self._missing(start, self._first_seq - 1, "the recorder had not stored")

        async def delete() -> None:
            try:
                await js.delete_consumer(self.stream, self.durable)
            except NotFoundError:
                pass

        await self._retrying(f"consumer {self.durable}", delete)
        roll = self.writer.roll_seconds
        config = ConsumerConfig(
            durable_name=self.durable,
            ack_policy=AckPolicy.ALL,
            deliver_policy=DeliverPolicy.ALL if start is None else DeliverPolicy.BY_START_SEQUENCE,
            opt_start_seq=start,
            # Nothing is acknowledged before its file is finished: give a
            # file all the time it may stay open before a redelivery.
            ack_wait=2 * roll + 30,
            max_ack_pending=-1,
            filter_subjects=self.subjects if len(self.subjects) > 1 else None,
            filter_subject=self.subjects[0] if len(self.subjects) == 1 else None,
        )
        await self._retrying(
            f"consumer {self.durable}", lambda: js.add_consumer(self.stream, config)
        )
        sub = await self._retrying(
            f"consumer {self.durable}",
            lambda: js.pull_subscribe_bind(durable=self.durable, stream=self.stream),
        )
        self._cseq = 0
        self._last_sseq = (start - 1) if start is not None else 0
        if start is not None:
            logger.info(
                "NATS: consumer %s resumes after stream sequence %d", self.durable, start - 1
            )
        return sub

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
        """The messages of one fetch, in order. A gap in the consumer's
        delivery sequence is a delivery the server made that never arrived
        (it died with a node or a connection): with the "all" policy, the
        acknowledgement of a later message would cover it, so it is fetched
        again from the stream before the message after it is taken."""
        for msg in msgs:
            sequence = msg.metadata.sequence
            if sequence.consumer > self._cseq + 1 and sequence.stream > self._last_sseq + 1:
                await self._fetch_again(
                    js, self._last_sseq + 1, sequence.stream, sequence.consumer - self._cseq - 1
                )
            self._cseq = max(self._cseq, sequence.consumer)
            self._last_sseq = max(self._last_sseq, sequence.stream)
            self._before = self._newest
            self._take(msg)

    async def _fetch_again(self, js: Any, first: int, end: int, lost: int) -> None:
        """The stream's messages of the recorded subjects from sequence
        ``first`` to before ``end``, through a consumer of their own (nothing
        of it is acknowledged: the durable's acknowledgement covers them once
        their files are finished)."""
        from nats.js.api import AckPolicy, ConsumerConfig, DeliverPolicy

        logger.warning(
            "NATS: %d deliveries of consumer %s never arrived (a node or connection lost with "
            "them in flight); fetching stream sequences %d to %d again",
            lost,
            self.durable,
            first,
            end - 1,
        )
        config = ConsumerConfig(
            ack_policy=AckPolicy.NONE,
            deliver_policy=DeliverPolicy.BY_START_SEQUENCE,
            opt_start_seq=first,
            inactive_threshold=30.0,
            mem_storage=True,
            num_replicas=1,
            filter_subjects=self.subjects if len(self.subjects) > 1 else None,
            filter_subject=self.subjects[0] if len(self.subjects) == 1 else None,
        )

        async def read() -> list[Any]:
            sub = await js.pull_subscribe(self.subjects[0], stream=self.stream, config=config)
            got: list[Any] = []
            try:
                while True:
                    try:
                        batch = await sub.fetch(FETCH, timeout=FETCH_WAIT * 2)
                    except TimeoutError:
                        return got
                    for m in batch:
                        meta = m.metadata
                        if meta.sequence.stream >= end:
                            return got
                        got.append(m)
                    if not batch or not batch[-1].metadata.num_pending:
                        return got
            finally:
                try:
                    await sub.unsubscribe()
                except Exception:
                    pass

        got = await self._retrying("fetching again", read)
        self.counters.fetched_again += len(got)
        for m in got:
            self._before = self._newest
            self._take(m, durable=False)
        if len(got) < lost:
            self.counters.missing += lost - len(got)
            logger.warning(
                "NATS: %d of them the stream no longer holds: missing from the recording (%d "
                "in all)",
                lost - len(got),
                self.counters.missing,
            )

    async def _consumer_gone(self, js: Any) -> bool:
        from nats.js.errors import NotFoundError

        try:
            await self._bounded(js.consumer_info(self.stream, self.durable))
        except NotFoundError:
            return True
        except _Stopped:
            raise
        except Exception:
            pass
        return False

    async def run(self) -> int:
        """Record until ``stop()``; 0, or 1 when files could not be written
        or the consumer could not be made."""
        nc = None
        status = 0
        try:
            try:
                nc = await self._connect()
                status = await self._record(nc)
            except _Stopped:
                pass
            except Exception as exc:
                logger.error("NATS: %s: stopping", describe(exc))
                status = 1
            self.writer.close()
            if nc is not None:
                await self._last_ack(nc)
            return 1 if self._failed else status
        finally:
            self.writer.close()
            if nc is not None:
                await _close(nc)

    async def _record(self, nc: Any) -> int:
        js = nc.jetstream()
        identity = await self._stream_identity(js)
        self.writer.set_metadata({"nats_stream": identity})
        self._load_seen(identity)
        start = await self._resume_point(js)
        self._acked_seq = 0 if start is None else start - 1
        sub = await self._subscribe(js, start)
        logger.info(
            "NATS: recording %s from stream %s (consumer %s)",
            ",".join(self.instruments),
            self.stream,
            self.durable,
        )
        next_tick = time.monotonic() + TICK
        delay = RETRY_FIRST
        while not self._stop.is_set():
            try:
                msgs = await self._bounded(sub.fetch(FETCH, timeout=FETCH_WAIT))
                delay = RETRY_FIRST
            except TimeoutError:  # nothing new: the server answered
                msgs, delay = [], RETRY_FIRST
            except _Stopped:
                break
            except Exception as exc:
                msgs = []
                if nc.is_connected and await self._consumer_gone(js):
                    logger.warning(
                        "NATS: consumer %s is gone (deleted, or lost by the servers); making it "
                        "again after stream sequence %d",
                        self.durable,
                        self._acked_seq,
                    )
                    # What the files still open name for acknowledgement was
                    # delivered by the consumer that is gone: it comes again
                    # from the new one, which is acknowledged instead.
                    self.writer.forget_marks()
                    self._to_ack = self._newest = self._before = None
                    self._newest_seq = self._acked_seq
                    try:
                        await self._bounded(sub.unsubscribe())
                    except Exception as gone:
                        logger.debug("NATS unsubscribe: %s", describe(gone))
                    sub = await self._subscribe(js, self._acked_seq + 1)
                    self.counters.remade += 1
                elif delay == RETRY_FIRST:
                    logger.warning("NATS fetch: %s; trying again", describe(exc))
                else:
                    logger.debug("NATS fetch: %s", describe(exc))
                await self._sleep(delay)
                delay = min(RETRY_MAX, delay * 2)
            await self._take_batch(js, msgs)
            if time.monotonic() >= next_tick:
                next_tick = time.monotonic() + TICK
                self.writer.tick()
            else:
                self.writer.collect()
            await self._ack_quietly(nc)
        return 0


async def _close(nc: Any) -> None:
    """Close the connection, giving up after a moment (no server to say goodbye to)."""
    try:
        await asyncio.wait_for(nc.close(), 1.0)
    except Exception as exc:
        logger.debug("NATS close: %s", describe(exc))


def install_stop(loop: asyncio.AbstractEventLoop, stop: Callable[[], object]) -> None:
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop)
