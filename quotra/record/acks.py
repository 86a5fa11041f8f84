"""The recorder's acknowledgements to its durable consumer.

The consumer acknowledges with the "all" policy, one acknowledgement per
finished file: the newest message below the first quote of the oldest file
still open, or, with no file open, the newest message delivered. So
everything acknowledged is in a file under its final name, and a recorder
that stops (or is killed, or whose consumer is deleted) gets again
everything after the last acknowledgement: at most the quotes of the files
still open, which roll every ``roll_seconds``.
"""

from __future__ import annotations

import asyncio
import logging
from typing import Any

from ..bridge.consumer import describe
from .counters import Counters
from .files import ClosedFile
from .writer import DatasetWriter

__all__ = ["AckingSource", "ACK_WAIT"]

logger = logging.getLogger("quotra.record")

ACK_WAIT = 1.0


class AckingSource:
    """A source whose messages are acknowledged once a finished file holds them."""

    def __init__(self, writer: DatasetWriter):
        writer.on_closed, writer.on_failed = self._closed, self._lost
        writer.record_sequences()
        self.writer = writer
        self.counters = Counters(writer)
        self._stop = asyncio.Event()
        self._newest: Any = None  # the message with the highest sequence delivered
        self._newest_seq = 0
        self._before: Any = None  # ``_newest`` before the message being taken
        self._to_ack: Any = None
        self._acked_seq = 0  # the consumer's acknowledgement floor, as far as known
        self._failed = False

    def stop(self) -> None:
        self._stop.set()

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
