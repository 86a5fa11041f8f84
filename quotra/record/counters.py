"""The recorder's counters: in ``quotra.monitor``'s snapshot form, in the log
at exit, and as ``quotra.metrics`` families."""

from __future__ import annotations

import logging
import math
from typing import TYPE_CHECKING, Any

from ..bridge.counters import log_upstream
from .writer import DatasetWriter

if TYPE_CHECKING:
    from ..metrics import Family

__all__ = ["Counters", "metric_families"]

logger = logging.getLogger("quotra.record")

# Instruments named in the exit line's per-instrument counts, at most.
PER_INSTRUMENT = 100


class Counters:
    """The recorder's counters in ``quotra.monitor``'s snapshot form (a new
    dict of plain values), with the client's health first when there is one."""

    def __init__(self, writer: DatasetWriter, client: Any = None):
        self.writer = writer
        self.client = client
        self.duplicates = 0  # delivered again, already in a file
        self.refused = 0  # not a quote (bad JSON, a field missing or of another type)
        self.missing = 0  # gone from the stream (its retention) before they were recorded
        self.fetched_again = 0  # deliveries lost in flight, read again from the stream
        self.remade = 0  # times the durable consumer was gone and made again
        # Quotes the stream holds for the consumer, not yet delivered (None: not from a stream).
        self.unread: int | None = None
        self.missing_bound = False  # ``missing`` holds spans that are an upper bound

    def snapshot(self) -> dict[str, Any]:
        snap: dict[str, Any] = {}
        if self.client is not None:
            from .. import monitor

            snap.update(monitor.snapshot(self.client))
        w = self.writer
        age = w.last_write_age
        oldest = w.oldest_pending_age
        snap.update(
            received=w.received,
            recorded=w.recorded,
            pending=w.pending,
            files=w.files,
            bytes=w.bytes,
            lost=w.lost,
            duplicates=self.duplicates,
            refused=self.refused,
            missing=self.missing,
            fetched_again=self.fetched_again,
            consumers_remade=self.remade,
            last_write_age_s=None if age is None else round(age, 3),
            oldest_pending_age_s=0.0 if oldest is None else round(oldest, 3),
        )
        last = w.last_received_ns
        snap["last_quote_timestamp_s"] = None if not last else last / 1e9
        if self.unread is not None:
            snap["unread"] = self.unread
        return snap

    def log(self, level: int = logging.INFO) -> None:
        s = self.snapshot()
        age = s["last_write_age_s"]
        logger.log(
            level,
            "recorder counters: received %d, recorded %d, files %d, bytes %d, lost %d, "
            "duplicates %d, refused %d, missing %d, fetched again %d, consumers remade %d, "
            "last write age %s, oldest pending age %.3f s%s",
            s["received"],
            s["recorded"],
            s["files"],
            s["bytes"],
            s["lost"],
            s["duplicates"],
            s["refused"],
            s["missing"],
            s["fetched_again"],
            s["consumers_remade"],
            "-" if age is None else f"{age:.3f} s",
            s["oldest_pending_age_s"],
            (
                "; missing is an upper bound (other instruments' sequences)"
                if self.missing_bound
                else ""
            )
            + (
                ""
                if s.get("unread") is None
                else f"; {s['unread']} quotes left unread in the stream"
            ),
        )
        by = sorted(self.writer.recorded_by.items())
        if by:
            shown = ", ".join(f"{name} {n}" for name, n in by[:PER_INSTRUMENT])
            more = len(by) - PER_INSTRUMENT
            logger.log(
                level,
                "recorded per instrument: %s%s",
                shown,
                f" (and {more} more instruments)" if more > 0 else "",
            )
        log_upstream(logger, level, s)


def metric_families(client: bool = False) -> tuple[Family, ...]:
    """The recorder's families; with ``client``, to go after the client's
    (which give the last quote's time themselves)."""
    from ..metrics_families import LAST_QUOTE_TIMESTAMP, Family

    return (() if client else (LAST_QUOTE_TIMESTAMP,)) + (
        Family(
            "received",
            "quotra_record_received",
            "counter",
            "Quotes the recorder took from its source.",
        ),
        Family("recorded", "quotra_record_recorded", "counter", "Quotes in finished files."),
        Family(
            "pending", "quotra_record_pending", "gauge", "Quotes taken, not yet in a finished file."
        ),
        Family("files", "quotra_record_files", "counter", "Files finished and renamed into place."),
        Family("bytes", "quotra_record_bytes", "counter", "Bytes of the finished files."),
        Family(
            "lost", "quotra_record_lost", "counter", "Quotes of files that could not be written."
        ),
        Family(
            "duplicates",
            "quotra_record_duplicates",
            "counter",
            "Quotes delivered again that were already in a file.",
        ),
        Family("refused", "quotra_record_refused", "counter", "Messages that were not a quote."),
        Family(
            "missing",
            "quotra_record_missing",
            "counter",
            "Quotes the stream's retention removed before they were recorded.",
        ),
        Family(
            "fetched_again",
            "quotra_record_fetched_again",
            "counter",
            "Deliveries lost in flight (a node or connection gone) and read again from the stream.",
        ),
        Family(
            "consumers_remade",
            "quotra_record_consumers_remade",
            "counter",
            "Times the durable consumer was gone and made again.",
        ),
        Family(
            "last_write_age_s",
            "quotra_record_last_write_age_seconds",
            "gauge",
            "Seconds since the last write to disk; +Inf before the first.",
            missing=math.inf,
        ),
        Family(
            "oldest_pending_age_s",
            "quotra_record_oldest_pending_age_seconds",
            "gauge",
            "Seconds since the oldest quote not yet in a finished file was taken; 0 when none is.",
        ),
        Family(
            "unread",
            "quotra_record_unread",
            "gauge",
            "Quotes the stream holds for the recorder's consumer, not yet delivered to it.",
        ),
    )
