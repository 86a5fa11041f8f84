"""The Parquet side of the recorder: quotes into one hive-style dataset,
``date=YYYY-MM-DD/symbol=<instrument>/part-<first received ns>-<pid>-<n>.parquet``.

One file is open per (date, instrument) at a time. Its rows are buffered,
turned into Arrow columns every 1,024 and handed a row group at a time to one
I/O thread of the writer's, which does the Parquet encoding, the zstd and the
disk (without the GIL, fsync included) off the feed's loop. A file rolls
after ``roll_rows`` rows or ``roll_seconds`` seconds, and at midnight UTC (a
new date partition); it is counted, and ``on_closed`` called on the owner's
thread, when ``collect`` (which ``tick`` calls) finds it in place. A file
is written as ``.part-....parquet.tmp`` beside its final name, which every
dataset reader skips (a leading dot, another suffix), and renamed into place
once its footer is written and it is on disk: a recorder killed at any point
leaves only complete files under final names.

The instrument is a column of every file (each file holds all of the quote's
fields with their protobuf types, plus ``received_ns``), and the partition key
is named ``symbol`` rather than ``instrument``: a partition key that repeats a
file column with another type (readers make partition values dictionaries)
makes ``pyarrow.parquet.read_table`` and pandas refuse the dataset.
"""

from __future__ import annotations

import datetime
import logging
import os
import time
from collections import deque
from collections.abc import Callable
from concurrent.futures import Future, ThreadPoolExecutor, wait
from dataclasses import dataclass, field
from operator import itemgetter
from typing import Any

import pyarrow as pa
import pyarrow.parquet as pq

from .layout import DATE_KEY, QUOTE_FIELDS, RECEIVED, SCHEMA, SYMBOL_KEY, partition_dir

__all__ = [
    "SCHEMA",
    "QUOTE_FIELDS",
    "RECEIVED",
    "DATE_KEY",
    "SYMBOL_KEY",
    "DatasetWriter",
    "ClosedFile",
    "partition_dir",
    "unfinished_files",
]

logger = logging.getLogger("quotra.record")

_ROW = itemgetter(*SCHEMA.names)
_TYPES = tuple(f.type for f in SCHEMA)
_DAY_NS = 86_400 * 1_000_000_000
ROW_GROUP = 16_384
# Buffered quote dicts become Arrow columns this many at a time: an open
# file holds at most this many dicts (about 1 KiB each) besides its columns
# (about 130 bytes a quote) until its row group is written.
_CHUNK = 1024
_COMPLAIN_EVERY = 5.0
# Row groups and file ends waiting for the I/O thread, at most.
_MAX_JOBS = 64
_META_PREFIX = "quotra."


@dataclass
class ClosedFile:
    """A file renamed into place: its path, rows, size on disk, and what the
    source attached when its first and last rows were added."""

    path: str
    instrument: str
    rows: int
    bytes: int
    mark: Any = None
    last_seq: int | None = None


@dataclass
class _OpenFile:
    instrument: str
    date: str
    tmp: str
    final: str
    opened: float  # monotonic
    order: int  # opening order, across partitions
    mark: Any = None
    last_seq: int | None = None
    rows: int = 0  # written and buffered
    buffer: list[dict[str, Any]] = field(default_factory=list)  # quote dicts
    batches: list[Any] = field(default_factory=list)  # record batches of the row group being made
    batched: int = 0
    writer: pq.ParquetWriter | None = None  # used by the I/O thread only
    error: BaseException | None = None  # the I/O thread's, for the file's end


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
        self.on_closed = on_closed
        self.on_failed = on_failed
        self._schema = SCHEMA
        self.set_metadata(metadata or {})
        # Counters.
        self.received = 0
        self.recorded = 0
        self.files = 0
        self.bytes = 0
        self.lost = 0  # quotes of files that could not be written
        self._last_write: float | None = None
        self._open: dict[str, _OpenFile] = {}  # of the current date, by instrument
        self._older: list[_OpenFile] = []  # of earlier dates, closed at the next tick
        self._opened = 0
        self._last_ns = 0
        self._day_start = self._day_end = 0
        self._date = ""
        self._pid = os.getpid()
        self._complain_at = 0.0
        self._io: ThreadPoolExecutor | None = None
        self._jobs: deque[Future[Any]] = deque()
        self._closing: deque[tuple[Future[Any], _OpenFile]] = deque()

    def set_metadata(self, metadata: dict[str, str]) -> None:
        """Key-value pairs for the footers of the files opened from now on."""
        meta = {_META_PREFIX + k: str(v) for k, v in metadata.items()}
        self._schema = SCHEMA.with_metadata(meta) if meta else SCHEMA

    # -- counters ---------------------------------------------------------------

    @property
    def pending(self) -> int:
        """Quotes taken but not yet in a finished file."""
        return self.received - self.recorded - self.lost

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

    def _start(self, instrument: str, now: int, mark: Any) -> _OpenFile:
        if not isinstance(instrument, str):
            raise TypeError(f"a quote's instrument is a str, not {type(instrument).__name__}")
        directory = partition_dir(self.root, self._date, instrument)
        os.makedirs(directory, exist_ok=True)
        self._opened += 1
        name = f"part-{now:020d}-{self._pid}-{self._opened}.parquet"
        f = _OpenFile(
            instrument,
            self._date,
            os.path.join(directory, f".{name}.tmp"),
            os.path.join(directory, name),
            time.monotonic(),
            self._opened,
            mark,
        )
        self._open[instrument] = f
        return f

    def _write(self, f: _OpenFile, last: bool = False) -> None:
        """Columns of the buffered dicts; a row group to the I/O thread once
        there are enough (or ``last``)."""
        if f.buffer:
            # Columns by a transposition in C: about four times faster than
            # RecordBatch.from_pylist, which looks every field up per row.
            columns = zip(*map(_ROW, f.buffer))
            f.batches.append(
                pa.RecordBatch.from_arrays(
                    [pa.array(c, t) for c, t in zip(columns, _TYPES)], schema=self._schema
                )
            )
            f.batched += len(f.buffer)
            f.buffer = []
        if not f.batches or (f.batched < self.row_group and not last):
            return
        table = pa.Table.from_batches(f.batches, schema=self._schema)
        f.batches, f.batched = [], 0
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

    # On the I/O thread: Parquet encoding, zstd, the disk (all without the
    # GIL); each file's jobs run one after the other, in order. Only the
    # file's own fields and ``_last_write`` are touched here.

    def _write_table(self, f: _OpenFile, table: pa.Table) -> None:
        if f.error is not None:
            return
        try:
            if f.writer is None:
                f.writer = pq.ParquetWriter(f.tmp, self._schema, compression=self.compression)
            f.writer.write_table(table, row_group_size=self.row_group)
            self._last_write = time.monotonic()
        except Exception as exc:
            f.error = exc

    def _close_file(self, f: _OpenFile) -> int:
        """The footer, sync, rename into place; returns the file's size."""
        if f.error is not None:
            raise f.error
        if f.writer is None:  # no row was ever written: no file either
            raise RuntimeError(f"{f.tmp}: closed before it was opened")
        if f.last_seq is not None:
            f.writer.add_key_value_metadata({_META_PREFIX + "seq_max": str(f.last_seq)})
        f.writer.close()
        fd = os.open(f.tmp, os.O_RDONLY)
        try:
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(f.tmp, f.final)
        size = os.path.getsize(f.final)
        _sync_dir(os.path.dirname(f.final))
        self._last_write = time.monotonic()
        return size

    # Back on the owner's thread.

    def _finish(self, f: _OpenFile) -> None:
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

    def _fail(self, f: _OpenFile, exc: BaseException) -> None:
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
                self._abandon(f)
                continue
            self.recorded += f.rows
            self.files += 1
            self.bytes += size
            if self.on_closed is not None:
                self.on_closed(ClosedFile(f.final, f.instrument, f.rows, size, f.mark, f.last_seq))

    def _abandon(self, f: _OpenFile) -> None:
        f.buffer, f.batches = [], []
        try:
            if f.writer is not None:
                f.writer.close()
        except Exception:
            pass
        try:
            os.unlink(f.tmp)
        except OSError:
            pass
        self._lose(f.instrument, f.rows, f.final, f.error)

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
        for f in [f for f in self._open.values() if now - f.opened >= self.roll_seconds]:
            self._finish(f)
        self.collect()

    def oldest_open_mark(self) -> tuple[bool, Any]:
        """``(True, mark)`` of the file opened first among those not yet
        counted as finished, ``(False, None)`` when there is none."""
        files = self._older + list(self._open.values()) + [f for _, f in self._closing]
        if not files:
            return False, None
        return True, min(files, key=lambda f: f.order).mark

    def forget_marks(self) -> None:
        """Drop the marks of the files not yet counted as finished (what they
        named can no longer be used)."""
        for f in self._older + list(self._open.values()) + [f for _, f in self._closing]:
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


def unfinished_files(root: str) -> list[tuple[str, int, int]]:
    """The temporaries an earlier writer left under ``root`` (it was killed
    with them open): ``(path, first received ns, last write ns)`` each,
    oldest first."""
    found = []
    for day in sorted(os.listdir(root)) if os.path.isdir(root) else []:
        day_dir = os.path.join(root, day)
        if not day.startswith(DATE_KEY + "=") or not os.path.isdir(day_dir):
            continue
        for part in os.listdir(day_dir):
            part_dir = os.path.join(day_dir, part)
            if not part.startswith(SYMBOL_KEY + "=") or not os.path.isdir(part_dir):
                continue
            for name in os.listdir(part_dir):
                first = name[len(".part-") :].split("-", 1)[0]
                if name.startswith(".part-") and name.endswith(".parquet.tmp") and first.isdigit():
                    path = os.path.join(part_dir, name)
                    try:
                        found.append((path, int(first), os.stat(path).st_mtime_ns))
                    except OSError:
                        continue
    return sorted(found, key=lambda f: f[1])


def _sync_dir(path: str) -> None:
    """Make the rename itself durable (a crash of the machine, not only of the process)."""
    try:
        fd = os.open(path, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)
