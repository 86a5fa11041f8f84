"""One recorded file, from its temporary to its final name: what the writer
keeps of an open file, the work its I/O thread does on it (row groups, the
footer, fsync, the rename), and the temporaries an earlier run left behind.

A file is written as ``.part-....parquet.tmp`` beside its final name, which
every dataset reader skips (a leading dot, another suffix), and renamed into
place once its footer is written and it is on disk: a recorder killed at any
point leaves only complete files under final names.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from typing import Any

import pyarrow as pa
import pyarrow.parquet as pq

from .layout import DATE_KEY, SYMBOL_KEY

__all__ = ["ClosedFile", "OpenFile", "write_table", "close_file", "unfinished_files", "META_PREFIX"]

META_PREFIX = "quotra."


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
class OpenFile:
    instrument: str
    date: str
    tmp: str
    final: str
    opened: float  # monotonic, at its first quote
    order: int  # opening order, across partitions
    mark: Any = None
    last_seq: int | None = None
    rows: int = 0  # written and buffered
    buffer: list[dict[str, Any]] = field(default_factory=list)  # quote dicts
    batches: list[Any] = field(default_factory=list)  # record batches of the row group being made
    batched: int = 0
    flushed: float = 0.0  # monotonic: when its rows last went to the I/O thread
    writer: pq.ParquetWriter | None = None  # used by the I/O thread only
    error: BaseException | None = None  # the I/O thread's, for the file's end


# On the I/O thread: Parquet encoding, zstd, the disk (all without the GIL);
# each file's jobs run one after the other, in order, and touch only the
# file's own fields.


def write_table(
    f: OpenFile, table: pa.Table, schema: pa.Schema, compression: str, row_group: int
) -> bool:
    """One row group into ``f``'s temporary; False when the file has failed."""
    if f.error is not None:
        return False
    try:
        if f.writer is None:
            f.writer = pq.ParquetWriter(f.tmp, schema, compression=compression)
        f.writer.write_table(table, row_group_size=row_group)
    except Exception as exc:
        f.error = exc
        return False
    return True


def close_file(f: OpenFile) -> int:
    """The footer, sync, rename into place; returns the file's size."""
    if f.error is not None:
        raise f.error
    if f.writer is None:  # no row was ever written: no file either
        raise RuntimeError(f"{f.tmp}: closed before it was opened")
    if f.last_seq is not None:
        f.writer.add_key_value_metadata({META_PREFIX + "seq_max": str(f.last_seq)})
    f.writer.close()
    fd = os.open(f.tmp, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)
    os.replace(f.tmp, f.final)
    size = os.path.getsize(f.final)
    _sync_dir(os.path.dirname(f.final))
    return size


def abandon(f: OpenFile) -> None:
    """Drop what ``f`` holds and its temporary (the file cannot be completed)."""
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
