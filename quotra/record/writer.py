"""The Parquet side of the recorder: quotes into one hive-style dataset,
``date=YYYY-MM-DD/symbol=<instrument>/part-<first received ns>-<pid>-<n>.parquet``.

One file is open per (date, instrument) at a time. Its rows are buffered,
turned into Arrow columns every 1,024 and handed a row group at a time to one
I/O thread of the writer's, which does the Parquet encoding, the zstd and the
disk (without the GIL, fsync included) off the feed's loop; rows that wait
longer than ``flush_seconds`` go as a smaller row group, so that a write to
disk follows every quote within seconds at any rate. A file rolls after
``roll_rows`` rows or ``roll_seconds`` seconds, and at midnight UTC (a new
date partition); it is counted, and ``on_closed`` called on the owner's
thread, when ``collect`` (which ``tick`` calls) finds it in place
(``files.py``: the temporary, the footer, the rename).

The instrument is a column of every file, and the partition key is named
``symbol``: a partition key that repeats a file column with another type makes
``pyarrow.parquet.read_table`` and pandas refuse the dataset (``layout.py``).
"""

from __future__ import annotations

import datetime
import logging
import os
import time
from collections import deque
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor, wait
from operator import itemgetter
from typing import Any

import pyarrow as pa

from .files import (
    META_PREFIX,
    ClosedFile,
    OpenFile,
    abandon,
    close_file,
    write_table,
)
from .layout import (
    DATE_KEY,
    RECEIVED,
    SCHEMA,
    STREAM_SCHEMA,
    STREAM_SEQ,
    partition_dir,
)

__all__ = ["SCHEMA", "DatasetWriter", "ClosedFile"]

logger = logging.getLogger("quotra.record")

_DAY_NS = 86_400 * 1_000_000_000
ROW_GROUP = 16_384
# Rows wait at most this long for a row group: at any rate they reach the disk
# within seconds (the age of the last write is then a liveness figure).
FLUSH_SECONDS = 5.0
# Buffered quote dicts become Arrow columns this many at a time: an open file
# holds at most this many dicts (about 1 KiB each) besides its columns.
_CHUNK = 1024
_COMPLAIN_EVERY = 5.0
# Row groups and file ends waiting for the I/O thread, at most.
_MAX_JOBS = 64


class DatasetWriter:
    """Quotes into the dataset under ``root``; see the module's docstring.

    ``add(quote)`` takes a quote dict (the price message's fields) and stamps
    it with ``received_ns``; ``tick()`` rolls files past ``roll_seconds``
    (call it every second or so); ``close()`` finishes every open file.
    ``on_closed(ClosedFile)`` is called after each file is in place,
    ``on_failed(instrument, rows)`` after one could not be written (logged,
    its quotes counted in ``lost``).
    ``metadata``: extra key-value pairs written into every file's footer
    (keys are given the prefix ``quotra.``). Not thread-safe: one thread.
    """

    def __init__(
        self,
        root: str,
        *,
        roll_seconds: float = 300.0,
        roll_rows: int = 1_000_000,
        row_group: int = ROW_GROUP,
        compression: str = "zstd",
        flush_seconds: float = FLUSH_SECONDS,
        on_closed: Callable[[ClosedFile], None] | None = None,
        on_failed: Callable[[str, int], None] | None = None,
        metadata: dict[str, str] | None = None,
    ):
        if not (roll_seconds > 0):
            raise ValueError("roll_seconds must be a positive number of seconds")
        if not (isinstance(roll_rows, int) and roll_rows >= 1):
            raise ValueError("roll_rows must be an int >= 1")
        self.root = os.path.abspath(root)
        os.makedirs(self.root, exist_ok=True)
        self.roll_seconds = float(roll_seconds)
        self.roll_rows = roll_rows
        self.row_group = max(1, min(row_group, roll_rows))
        self._chunk = min(_CHUNK, self.row_group)
        self.compression = compression
        self.flush_seconds = flush_seconds
        self.on_closed = on_closed
        self.on_failed = on_failed
        self._sequences, self._meta = False, dict[str, str]()
        self._use(SCHEMA)
        self.set_metadata(metadata or {})
        # Counters.
        self.received = 0
        self.recorded = 0
        self.recorded_by: dict[str, int] = {}  # per instrument
        self.files = 0
        self.bytes = 0
        self.lost = 0  # quotes of files that could not be written
        self._last_write: float | None = None
        self._open: dict[str, OpenFile] = {}  # of the current date, by instrument
        self._older: list[OpenFile] = []  # of earlier dates, closed at the next tick
        self._opened = 0
        self._last_ns = 0
        self._day_start = self._day_end = 0
        self._date = ""
        self._pid = os.getpid()
        self._complain_at = 0.0
        self._io: ThreadPoolExecutor | None = None
        self._jobs: deque[Future[Any]] = deque()
        self._closing: deque[tuple[Future[Any], OpenFile]] = deque()

    def _use(self, schema: pa.Schema) -> None:
        self._base, self._row = schema, itemgetter(*schema.names)
        self._types = tuple(f.type for f in schema)
        self._schema = schema.with_metadata(self._meta) if self._meta else schema

    def record_sequences(self) -> None:
        """From now on each quote's ``seq`` is written too, as ``stream_seq``
        (call before the first quote)."""
        self._sequences = True
        self._use(STREAM_SCHEMA)

    def set_metadata(self, metadata: dict[str, str]) -> None:
        """Key-value pairs for the footers of the files opened from now on."""
        self._meta = {META_PREFIX + k: str(v) for k, v in metadata.items()}
        self._use(self._base)

    # -- counters ---------------------------------------------------------------

    @property
    def pending(self) -> int:
        """Quotes taken but not yet in a finished file."""
        return self.received - self.recorded - self.lost

    @property
    def last_received_ns(self) -> int:  # of the last quote taken; 0 before the first
        return self._last_ns

    @property
    def oldest_pending_age(self) -> float | None:
        """Seconds since the first quote of the oldest file not yet in place
        (the oldest quote not yet durable); None when every quote taken is."""
        files = self._unfinished()
        if not files:
            return None
        return time.monotonic() - min(f.opened for f in files)

    def _unfinished(self) -> list[OpenFile]:
        return self._older + list(self._open.values()) + [f for _, f in self._closing]

    @property
    def last_write_age(self) -> float | None:
        """Seconds since the last write to disk (a row group or a finished file); None before the first."""
        return None if self._last_write is None else time.monotonic() - self._last_write

    # -- the quote path ---------------------------------------------------------

    def add(self, quote: dict[str, Any], *, mark: Any = None, seq: int | None = None) -> None:
        """Stamp ``quote`` with its receive time and buffer it in its file.

        ``mark``: kept with the file when this quote opens one
        (``oldest_open_mark``); ``seq``: the last one added is written into
        the file's footer as ``quotra.seq_max``.
        """
        now = time.time_ns()
        if now <= self._last_ns:
            now = self._last_ns + 1  # one strict order for the replay, even within a clock tick
        self._last_ns = now
        if not self._day_start <= now < self._day_end:
            self._new_day(now)
        quote[RECEIVED] = now
        if self._sequences:
            quote[STREAM_SEQ] = seq
        instrument = quote["instrument"]
        f = self._open.get(instrument)
        if f is None:
            try:
                f = self._start(instrument, now, mark)
            except OSError:  # its directory cannot be made
                self.received += 1
                self._lose(instrument, 1, os.path.join(self.root, f"{DATE_KEY}={self._date}"))
                return
        f.buffer.append(quote)
        f.rows += 1
        if seq is not None:
            f.last_seq = seq
        self.received += 1
        if f.rows >= self.roll_rows:
            self._finish(f)
        elif len(f.buffer) >= self._chunk:
            try:
                self._write(f)
            except Exception as exc:  # a value that does not fit its column
                self._fail(f, exc)

    def _new_day(self, now: int) -> None:
        day = now // _DAY_NS
        self._day_start, self._day_end = day * _DAY_NS, (day + 1) * _DAY_NS
        self._date = datetime.datetime.fromtimestamp(day * 86_400, datetime.UTC).strftime(
            "%Y-%m-%d"
        )
        if self._open:
            # Finished at the next tick, off the quote path.
            self._older.extend(self._open.values())
            self._open = {}

    def _start(self, instrument: str, now: int, mark: Any) -> OpenFile:
        if not isinstance(instrument, str):
            raise TypeError(f"a quote's instrument is a str, not {type(instrument).__name__}")
        directory = partition_dir(self.root, self._date, instrument)
        os.makedirs(directory, exist_ok=True)
        self._opened += 1
        name = f"part-{now:020d}-{self._pid}-{self._opened}.parquet"
        f = OpenFile(
            instrument,
            self._date,
            os.path.join(directory, f".{name}.tmp"),
            os.path.join(directory, name),
            time.monotonic(),
            self._opened,
            mark,
        )
        f.flushed = f.opened
        self._open[instrument] = f
        return f

    def _write(self, f: OpenFile, last: bool = False) -> None:
        """Columns of the buffered dicts; a row group to the I/O thread once
        there are enough (or ``last``)."""
        if f.buffer:
            # Columns by a transposition in C: about four times faster than
            # RecordBatch.from_pylist, which looks every field up per row.
            columns = zip(*map(self._row, f.buffer))
            f.batches.append(
                pa.RecordBatch.from_arrays(
                    [pa.array(c, t) for c, t in zip(columns, self._types)], schema=self._schema
                )
            )
            f.batched += len(f.buffer)
            f.buffer = []
        if not f.batches or (f.batched < self.row_group and not last):
            return
        table = pa.Table.from_batches(f.batches, schema=self._schema)
        f.batches, f.batched = [], 0
        f.flushed = time.monotonic()
        self._submit(self._write_table, f, table)

    def _submit(self, fn: Callable[..., Any], *args: Any) -> Future[Any]:
        """Runs ``fn`` on the I/O thread, after every job given before. Past
        ``_MAX_JOBS`` waiting, waits for the oldest: a disk slower than the
        feed holds the feed back rather than filling memory."""
        if self._io is None:
            self._io = ThreadPoolExecutor(1, thread_name_prefix="quotra-record-io")
        job = self._io.submit(fn, *args)
        jobs = self._jobs
        jobs.append(job)
        while jobs and jobs[0].done():
            jobs.popleft()
        while len(jobs) > _MAX_JOBS:
            wait([jobs.popleft()])
        return job

    # On the I/O thread; only the file's own fields and ``_last_write`` are touched.

    def _write_table(self, f: OpenFile, table: pa.Table) -> None:
        if write_table(f, table, self._schema, self.compression, self.row_group):
            self._last_write = time.monotonic()

    def _close_file(self, f: OpenFile) -> int:
        size = close_file(f)
        self._last_write = time.monotonic()
        return size

    # Back on the owner's thread.

    def _finish(self, f: OpenFile) -> None:
        """Hand the rest and the file's end to the I/O thread; it is counted
        (and ``on_closed`` called) when ``collect`` finds it done."""
        if self._open.get(f.instrument) is f:
            del self._open[f.instrument]
        try:
            self._write(f, last=True)
        except Exception as exc:
            f.error = exc
            f.buffer, f.batches = [], []
        self._closing.append((self._submit(self._close_file, f), f))

    def _fail(self, f: OpenFile, exc: BaseException) -> None:
        """The file cannot be completed: ended now, counted lost when its
        jobs are done (the I/O thread may still hold its writer)."""
        f.error = exc
        f.buffer, f.batches = [], []
        self._finish(f)

    def collect(self, block: bool = False) -> None:
        """Count the files the I/O thread has finished, in the order they were
        finished, and call ``on_closed`` for each (``block``: wait for all)."""
        closing = self._closing
        while closing and (block or closing[0][0].done()):
            job, f = closing.popleft()
            try:
                size = job.result()
            except Exception:
                abandon(f)
                self._lose(f.instrument, f.rows, f.final, f.error)
                continue
            self.recorded += f.rows
            self.recorded_by[f.instrument] = self.recorded_by.get(f.instrument, 0) + f.rows
            self.files += 1
            self.bytes += size
            if self.on_closed is not None:
                self.on_closed(ClosedFile(f.final, f.instrument, f.rows, size, f.mark, f.last_seq))

    def _lose(
        self, instrument: str, rows: int, where: str, error: BaseException | None = None
    ) -> None:
        # Not stored (a full disk, a directory gone): counted and logged (at
        # most every few seconds while it lasts); a source that acknowledges
        # must not acknowledge these quotes.
        self.lost += rows
        now = time.monotonic()
        if now >= self._complain_at:
            self._complain_at = now + _COMPLAIN_EVERY
            logger.error(
                "could not write %s: %d quotes of %s not recorded (%d lost in all)",
                where,
                rows,
                instrument,
                self.lost,
                exc_info=error or True,
            )
        if self.on_failed is not None:
            self.on_failed(instrument, rows)

    # -- rolling ----------------------------------------------------------------

    def tick(self) -> None:
        """Finish the files of earlier dates and those open ``roll_seconds``
        or longer, and count the files finished meanwhile (``collect``)."""
        older, self._older = self._older, []
        for f in older:
            self._finish(f)
        now = time.monotonic()
        for f in list(self._open.values()):
            if now - f.opened >= self.roll_seconds:
                self._finish(f)
            elif (f.buffer or f.batches) and now - f.flushed >= self.flush_seconds:
                try:
                    self._write(f, last=True)
                except Exception as exc:
                    self._fail(f, exc)
        self.collect()

    def oldest_open_mark(self) -> tuple[bool, Any]:
        """``(True, mark)`` of the file opened first among those not yet
        counted as finished, ``(False, None)`` when there is none."""
        files = self._unfinished()
        if not files:
            return False, None
        return True, min(files, key=lambda f: f.order).mark

    def forget_marks(self) -> None:
        """Drop the marks of the files not yet counted as finished (what they
        named can no longer be used)."""
        for f in self._unfinished():
            f.mark = None

    def close(self) -> None:
        """Finish every open file, oldest first, and wait for all of them."""
        files = self._older + list(self._open.values())
        self._older, self._open = [], {}
        for f in sorted(files, key=lambda f: f.order):
            self._finish(f)
        self.collect(block=True)
        if self._io is not None:
            self._io.shutdown(wait=True)
            self._io = None
            self._jobs.clear()
