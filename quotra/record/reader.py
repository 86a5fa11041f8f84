"""Reading a recording back: the whole selection at once (``read``), or
quote by quote in recorded order without holding it all (``iter_quotes``,
what the service's replay uses)."""

from __future__ import annotations

import datetime
import heapq
import os
from collections.abc import Iterable, Iterator
from typing import Any

import pyarrow as pa
import pyarrow.dataset as ds
import pyarrow.parquet as pq

from .layout import DATE_KEY, RECEIVED, SCHEMA, SYMBOL_KEY, partition_dir

__all__ = ["read", "iter_quotes", "parquet_files", "newest_file"]

Time = int | datetime.datetime | datetime.date | None

_PARTITIONING = ds.partitioning(
    pa.schema([(DATE_KEY, pa.string()), (SYMBOL_KEY, pa.string())]), flavor="hive"
)
_BATCH = 8192


def _ns(value: Time, name: str) -> int | None:
    """Nanoseconds since the epoch of ``value``: an int (ns), a datetime
    (naive means UTC) or a date (its midnight UTC)."""
    if value is None:
        return None
    if isinstance(value, bool):
        raise TypeError(f"{name} is ns since the epoch (int), a datetime or a date, not a bool")
    if isinstance(value, int):
        return value
    if isinstance(value, datetime.datetime):
        if value.tzinfo is None:
            value = value.replace(tzinfo=datetime.UTC)
        delta = value - datetime.datetime(1970, 1, 1, tzinfo=datetime.UTC)
        return (delta.days * 86_400 + delta.seconds) * 1_000_000_000 + delta.microseconds * 1000
    if isinstance(value, datetime.date):
        return _ns(datetime.datetime(value.year, value.month, value.day), name)
    raise TypeError(
        f"{name} is ns since the epoch (int), a datetime or a date, not {type(value).__name__}"
    )


def _date(ns: int) -> str:
    return datetime.datetime.fromtimestamp(ns // 1_000_000_000, datetime.UTC).strftime("%Y-%m-%d")


def _names(instruments: Iterable[str] | None) -> list[str] | None:
    if instruments is None:
        return None
    if isinstance(instruments, (str, bytes)):
        raise TypeError("instruments must be a collection of names, not one string")
    return list(dict.fromkeys(instruments))


def read(
    path: str | os.PathLike[str],
    instruments: Iterable[str] | None = None,
    start: Time = None,
    end: Time = None,
    *,
    table: bool = False,
) -> list[dict[str, Any]] | pa.Table:
    """The recorded quotes under ``path`` (a dataset directory or one file)
    as dicts in recorded order: the quote's fields and ``received_ns``.

    ``instruments``: only these; ``start``/``end``: received at or after
    ``start`` and before ``end`` (ns since the epoch, a datetime, naive
    meaning UTC, or a date). ``table=True`` returns a ``pyarrow.Table`` of
    the same rows and columns instead.
    """
    path = os.fspath(path)
    names = _names(instruments)
    lo, hi = _ns(start, "start"), _ns(end, "end")
    hive = False
    if os.path.isdir(path):
        files = parquet_files(path)
        if not files:
            result = SCHEMA.empty_table()
            return result if table else []
        # Whole directories are skipped by their names only in the recorder's own layout.
        hive = all(_in_layout(os.path.relpath(f, path)) for f in files)
        # The finished files only: the directory may hold others (temporaries, notes).
        dataset = ds.dataset(
            files,
            format="parquet",
            partitioning=_PARTITIONING if hive else None,
            partition_base_dir=path,
        )
    elif os.path.isfile(path):
        dataset = ds.dataset(path, format="parquet")
    else:
        raise FileNotFoundError(f"no recording at {path}")
    conditions = []
    if names is not None:
        conditions.append(ds.field("instrument").isin(names))
        if hive:
            # Skips whole directories; a directory the partitioning reads
            # as null (an instrument named __HIVE_DEFAULT_PARTITION__) is
            # left to the file's own column.
            conditions.append(ds.field(SYMBOL_KEY).isin(names) | ds.field(SYMBOL_KEY).is_null())
    if lo is not None:
        conditions.append(ds.field(RECEIVED) >= lo)
        if hive:
            conditions.append(ds.field(DATE_KEY) >= _date(lo))
    if hi is not None:
        conditions.append(ds.field(RECEIVED) < hi)
        if hive:
            conditions.append(ds.field(DATE_KEY) <= _date(hi))
    where = None
    for c in conditions:
        where = c if where is None else where & c
    result = dataset.to_table(columns=SCHEMA.names, filter=where).sort_by(RECEIVED)
    return result if table else result.to_pylist()


def parquet_files(directory: str) -> list[str]:
    """The finished files under ``directory`` (what a dataset reader sees), sorted."""
    out: list[str] = []
    for root, dirs, files in os.walk(directory):
        dirs[:] = sorted(d for d in dirs if not d.startswith((".", "_")))
        out.extend(
            os.path.join(root, f)
            for f in files
            if f.endswith(".parquet") and not f.startswith((".", "_"))
        )
    return sorted(out)


def _in_layout(relative: str) -> bool:
    """``date=<day>/symbol=<name>/<file>``: the recorder's layout."""
    rel = relative.split(os.sep)
    return (
        len(rel) == 3 and rel[0].startswith(DATE_KEY + "=") and rel[1].startswith(SYMBOL_KEY + "=")
    )


def _file_rows(
    path: str, names: set[str] | None, lo: int | None, hi: int | None
) -> Iterator[dict[str, Any]]:
    with pq.ParquetFile(path) as f:
        for batch in f.iter_batches(batch_size=_BATCH, columns=SCHEMA.names):
            for row in batch.to_pylist():
                if names is not None and row["instrument"] not in names:
                    continue
                t = row[RECEIVED]
                if (lo is not None and t < lo) or (hi is not None and t >= hi):
                    continue
                yield row


def _chain(
    paths: list[str], names: set[str] | None, lo: int | None, hi: int | None
) -> Iterator[dict[str, Any]]:
    for p in paths:
        yield from _file_rows(p, names, lo, hi)


def iter_quotes(
    path: str | os.PathLike[str],
    instruments: Iterable[str] | None = None,
    start: Time = None,
    end: Time = None,
) -> Iterator[dict[str, Any]]:
    """``read``'s dicts one at a time, in recorded order, holding one batch
    per instrument: a day's files are merged by ``received_ns``, each
    instrument's files taken in the order of their names (the order one
    recorder wrote them in)."""
    path = os.fspath(path)
    names = _names(instruments)
    wanted = None if names is None else set(names)
    lo, hi = _ns(start, "start"), _ns(end, "end")
    if os.path.isfile(path):
        yield from _file_rows(path, wanted, lo, hi)
        return
    if not os.path.isdir(path):
        raise FileNotFoundError(f"no recording at {path}")
    by_day: dict[str, dict[str, list[str]]] = {}
    for f in parquet_files(path):
        rel = os.path.relpath(f, path).split(os.sep)
        if _in_layout(os.path.relpath(f, path)):
            by_day.setdefault(rel[0].partition("=")[2], {}).setdefault(rel[1], []).append(f)
        else:  # not the recorder's layout: no order between files known, each merged on its own
            by_day.setdefault("", {})[f] = [f]
    for day in sorted(by_day):
        if (lo is not None and day and day < _date(lo)) or (
            hi is not None and day and day > _date(hi)
        ):
            continue
        streams = [
            _chain(sorted(files, key=os.path.basename), wanted, lo, hi)
            for files in by_day[day].values()
        ]
        yield from heapq.merge(*streams, key=lambda row: row[RECEIVED])


def newest_file(root: str, instrument: str) -> str | None:
    """The finished file of ``instrument`` with the newest name (the latest
    first quote) under the dataset ``root``, or None."""
    newest: str | None = None
    try:
        days = [d for d in os.listdir(root) if d.startswith(DATE_KEY + "=")]
    except FileNotFoundError:
        return None
    for day in days:
        directory = partition_dir(root, day.partition("=")[2], instrument)
        try:
            files = [
                f for f in os.listdir(directory) if f.startswith("part-") and f.endswith(".parquet")
            ]
        except OSError:  # none, or a name no directory can have
            continue
        for name in files:
            if newest is None or name > os.path.basename(newest):
                newest = os.path.join(directory, name)
    return newest


def file_metadata(path: str) -> dict[str, Any]:
    """The key-value metadata of a file's footer, as text."""
    meta = pq.read_metadata(path).metadata or {}
    return {k.decode(): v.decode() for k, v in meta.items()}
