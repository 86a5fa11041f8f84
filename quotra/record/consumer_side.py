"""The recorder's side of the stream and of its durable consumer: what the
stream holds and keeps, where the consumer resumes, and making it again."""

from __future__ import annotations

import logging
import time
from typing import Any

from ..bridge.consumer import describe
from ..bridge.options import NatsOptions
from .acks import AckingSource
from .checker import quote_checker
from .defaults import DEFAULT_DURABLE, DEFAULT_PREFIX, DEFAULT_STREAM
from .gaps import Gaps, retention_seconds
from .reader import file_metadata, newest_file
from .waits import ServerWaits, Stopped, transient
from .writer import DatasetWriter

__all__ = ["ConsumerSide"]

logger = logging.getLogger("quotra.record")

# The stream's limits are worth a warning when they keep less than this at the current rate.
RETENTION_WANTED = 60.0
RATE_SAMPLE = 2.0
# Whether the stream holds other subjects than the recorded ones, asked again at most this often.
WHOLE_RECHECK = 1.0


class ConsumerSide(AckingSource):
    """The stream and the durable consumer ``durable`` of a recorder of
    ``instruments``. ``nats_url``: one server or a comma-separated list (a
    cluster); ``options``: the connection's (TLS, credentials, order)."""

    def __init__(
        self,
        writer: DatasetWriter,
        nats_url: str | None,
        instruments: list[str],
        *,
        stream: str = DEFAULT_STREAM,
        subject_prefix: str = DEFAULT_PREFIX,
        durable: str = DEFAULT_DURABLE,
        options: NatsOptions | None = None,
    ):
        super().__init__(writer)
        self.options = options if options is not None else NatsOptions.from_env(nats_url)
        self.waits = ServerWaits(self._stop)
        self.gaps = Gaps(self.counters)
        self.instruments = list(instruments)
        self.stream = stream
        self.subject_prefix = subject_prefix
        self.subjects = [f"{subject_prefix}.{i}" for i in self.instruments]
        self.durable = durable
        # per instrument: the highest stream sequence stored or taken
        self._seen: dict[str, int] = {}
        self._first_seq = 0
        self._cseq = 0  # the consumer's delivery sequence of the last message received
        self._last_sseq = 0  # and that message's stream sequence
        self._check = quote_checker()
        # Whether the recorded subjects are every subject the stream holds (a
        # jump in the stream sequence is then all ours), and when that was asked.
        self.whole = False
        self._whole_at = -1e9
        self._per_subject = 0  # the stream's limit per subject, 0 for none
        self._taken = 0  # messages of the recorded subjects delivered
        self._taken_at: dict[str, int] = {}  # ``_taken`` at each subject's last message
        self.counters.unread = 0

    # -- the stream ---------------------------------------------------------------

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
            return transient(exc)

        info = await self.waits.retrying(
            f"stream {self.stream}", lambda: js.stream_info(self.stream), passes
        )
        self._first_seq = info.state.first_seq
        self._per_subject = max(0, info.config.max_msgs_per_subject or 0)
        return f"{self.stream}@{info.created}"

    async def _is_whole(self, js: Any) -> bool:
        """Whether the stream holds no subject but the recorded ones: asked
        again at each gap while it does (a jump is then rare, and another
        instrument's first message must not count as missing), at most every
        ``WHOLE_RECHECK`` s otherwise; on no answer, the last one. Notes the
        stream's first sequence too."""
        now = time.monotonic()
        if not self.whole and now - self._whole_at < WHOLE_RECHECK:
            return self.whole
        self._whole_at = now
        try:
            info = await self.waits.bounded(js.stream_info(self.stream, subjects_filter=">"))
        except Stopped:
            raise
        except Exception as exc:
            logger.debug("NATS stream info: %s", describe(exc))
            return self.whole
        self.whole = set(info.state.subjects or ()) <= set(self.subjects)
        self._first_seq = info.state.first_seq
        return self.whole

    async def _warn_retention(self, js: Any) -> None:
        """Says at start when the stream's limits would drop quotes within
        ``RETENTION_WANTED`` s at the rate it is being written."""
        try:
            first = await self.waits.bounded(js.stream_info(self.stream, subjects_filter=">"))
            began = time.monotonic()
            await self.waits.sleep(RATE_SAMPLE)
            then = await self.waits.bounded(js.stream_info(self.stream))
        except Stopped:
            return
        except Exception as exc:
            logger.debug("NATS stream info: %s", describe(exc))
            return
        rate = (then.state.last_seq - first.state.last_seq) / (time.monotonic() - began)
        seconds, limit = retention_seconds(
            then.config, then.state, rate, len(first.state.subjects or ()) or 1
        )
        if seconds < RETENTION_WANTED:
            logger.warning(
                "NATS: stream %s keeps about %.1f s of quotes at the current rate (%.0f quotes/s; "
                "its limit of %s): a recorder stopped or behind for longer loses quotes, counted "
                "in missing (run the bridge with limits that cover the longest stop)",
                self.stream,
                seconds,
                rate,
                limit,
            )

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

    # -- the consumer ---------------------------------------------------------------

    async def _resume_point(self, js: Any) -> int | None:
        """The sequence after the consumer's last acknowledgement, or None for
        a new consumer."""
        from nats.js.errors import NotFoundError

        def passes(exc: BaseException) -> bool:
            return not isinstance(exc, NotFoundError) and transient(exc)

        try:
            info = await self.waits.retrying(
                f"consumer {self.durable}",
                lambda: js.consumer_info(self.stream, self.durable),
                passes,
            )
        except NotFoundError:
            return None
        return (info.ack_floor.stream_seq if info.ack_floor else 0) + 1

    async def _subscribe(self, js: Any, start: int | None) -> Any:
        """(Re)make the durable consumer, starting at stream sequence
        ``start`` (None: the whole stream), and bind to it. Made again
        rather than kept: the server would hand what an earlier run took and
        never acknowledged (the quotes of the files it left open) to no one
        until their ack wait ran out."""
        from nats.js.api import AckPolicy, ConsumerConfig, DeliverPolicy
        from nats.js.errors import NotFoundError

        info = await self.waits.retrying(
            f"stream {self.stream}", lambda: js.stream_info(self.stream)
        )
        self._first_seq = info.state.first_seq
        # What the stream's limits dropped while nobody read it, less what the
        # files (or the files still open) already hold: an acknowledgement
        # lost, or a consumer gone, after they were taken.
        low = max(start or 0, max(self._seen.values(), default=0) + 1)
        if start is not None and low < self._first_seq:
            whole = await self._is_whole(js)
            self.gaps.missing(self._first_seq - low, low, self._first_seq - 1, bound=not whole)

        async def delete() -> None:
            try:
                await js.delete_consumer(self.stream, self.durable)
            except NotFoundError:
                pass

        await self.waits.retrying(f"consumer {self.durable}", delete)
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
        await self.waits.retrying(
            f"consumer {self.durable}", lambda: js.add_consumer(self.stream, config)
        )
        sub = await self.waits.retrying(
            f"consumer {self.durable}",
            lambda: js.pull_subscribe_bind(durable=self.durable, stream=self.stream),
        )
        # A new consumer counts its deliveries from 1.
        self._cseq = 0
        # What the stream dropped before ``start`` was counted above.
        self._last_sseq = max(start or 1, self._first_seq) - 1
        if start is not None:
            logger.info(
                "NATS: consumer %s resumes after stream sequence %d", self.durable, start - 1
            )
        return sub

    async def _consumer_gone(self, js: Any) -> bool:
        from nats.js.errors import NotFoundError

        try:
            await self.waits.bounded(js.consumer_info(self.stream, self.durable))
        except NotFoundError:
            return True
        except Stopped:
            raise
        except Exception:
            pass
        return False

    async def _remake(self, js: Any, sub: Any) -> Any:
        logger.warning(
            "NATS: consumer %s is gone (deleted, or lost by the servers); making it "
            "again after stream sequence %d",
            self.durable,
            self._acked_seq,
        )
        # What the files still open name for acknowledgement was delivered by
        # the consumer that is gone: it comes again from the new one, which is
        # acknowledged instead.
        self.writer.forget_marks()
        self._to_ack = self._newest = self._before = None
        self._newest_seq = self._acked_seq
        try:
            await self.waits.bounded(sub.unsubscribe())
        except Exception as gone:
            logger.debug("NATS unsubscribe: %s", describe(gone))
        sub = await self._subscribe(js, self._acked_seq + 1)
        self.counters.remade += 1
        return sub
