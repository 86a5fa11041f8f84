"""``quotra-record --verify DIR --nats URL``: a recording from the stream
against the stream, sequence by sequence.

Per instrument: the quotes recorded, those the stream holds, those it holds
that the recording lacks (up to the newest sequence recorded: what came
after is the recorder's next run), and those recorded twice. A recording of
every subject the stream holds also shows what neither has any more: the
stream sequences its retention removed before they were recorded. The two
agree when nothing is missing and nothing is recorded twice.
"""

from __future__ import annotations

import asyncio
import logging
from collections import Counter
from dataclasses import dataclass, field
from typing import Any, TextIO

import pyarrow.parquet as pq

from ..bridge.options import NatsOptions
from .gaps import fetch_again
from .layout import STREAM_SEQ
from .reader import file_metadata, parquet_files

__all__ = ["verify", "Verdict", "recorded_sequences", "stream_sequences"]

logger = logging.getLogger("quotra.record")

FETCH = 10_000
READ_TIMEOUT = 120.0


@dataclass
class Row:
    recorded: int = 0
    in_stream: int = 0
    missing: int = 0
    twice: int = 0
    missing_seqs: list[int] = field(default_factory=list)


@dataclass
class Verdict:
    rows: dict[str, Row]
    removed: list[tuple[int, int]]  # spans neither recorded nor in the stream (whole recordings)
    other_files: int  # files of another stream, or without sequences: not compared

    @property
    def agree(self) -> bool:
        return not self.removed and all(not r.missing and not r.twice for r in self.rows.values())


def recorded_sequences(root: str, identity: str | None) -> tuple[dict[str, list[int]], int]:
    """Per instrument the stream sequences of the recording under ``root``
    (of the stream ``identity``: name@created), and the files left out."""
    seqs: dict[str, list[int]] = {}
    other = 0
    for path in parquet_files(root):
        meta = file_metadata(path)
        names = pq.read_schema(path).names
        if STREAM_SEQ not in names or (
            identity is not None and meta.get("quotra.nats_stream") != identity
        ):
            other += 1
            continue
        table = pq.read_table(path, columns=["instrument", STREAM_SEQ])
        for instrument, seq in zip(
            table.column("instrument").to_pylist(), table.column(STREAM_SEQ).to_pylist()
        ):
            seqs.setdefault(instrument, []).append(seq)
    return seqs, other


async def stream_sequences(
    js: Any, stream: str, subjects: list[str], prefix: str
) -> dict[str, list[int]]:
    """Per instrument the sequences the stream holds on ``subjects`` (headers only)."""
    out: dict[str, list[int]] = {}

    def take(m: Any) -> None:
        out.setdefault(m.subject[len(prefix) + 1 :], []).append(m.metadata.sequence.stream)

    await fetch_again(
        js, stream, subjects, 1, None, READ_TIMEOUT, headers_only=True, fetch=FETCH, take=take
    )
    return out


def compare(
    recorded: dict[str, list[int]],
    in_stream: dict[str, list[int]],
    instruments: list[str],
    whole: bool,
) -> tuple[dict[str, Row], list[tuple[int, int]]]:
    """The rows of the table, and (``whole``: the recording is of every
    subject the stream holds) the spans neither of them holds."""
    rows: dict[str, Row] = {}
    everything: set[int] = set()
    top = max((max(s) for s in recorded.values() if s), default=0)
    for instrument in instruments:
        got, held = recorded.get(instrument, []), set(in_stream.get(instrument, ()))
        counts = Counter(got)
        row = Row(recorded=len(got), in_stream=len(held))
        row.twice = sum(n - 1 for n in counts.values() if n > 1)
        row.missing_seqs = sorted(s for s in held if s <= top and s not in counts)
        row.missing = len(row.missing_seqs)
        rows[instrument] = row
        everything |= counts.keys() | held
    removed: list[tuple[int, int]] = []
    if whole:
        seen = sorted(s for s in everything if s <= top)
        removed = [(a + 1, b - 1) for a, b in zip(seen, seen[1:]) if b > a + 1]
    return rows, removed


def _spans(seqs: list[int], most: int = 5) -> str:
    spans: list[tuple[int, int]] = []
    for s in seqs:
        if spans and spans[-1][1] == s - 1:
            spans[-1] = (spans[-1][0], s)
        else:
            spans.append((s, s))
    text = ", ".join(f"{a}" if a == b else f"{a}-{b}" for a, b in spans[:most])
    return text + (f", ... ({len(spans) - most} more)" if len(spans) > most else "")


def report(verdict: Verdict, out: TextIO) -> None:
    width = max([len("instrument")] + [len(i) for i in verdict.rows])
    print(
        f"{'instrument':<{width}}  {'recorded':>10}  {'in stream':>10}  {'missing':>8}  "
        f"{'recorded twice':>14}",
        file=out,
    )
    for instrument, r in verdict.rows.items():
        print(
            f"{instrument:<{width}}  {r.recorded:>10}  {r.in_stream:>10}  {r.missing:>8}  "
            f"{r.twice:>14}",
            file=out,
        )
        if r.missing:
            print(f"  {instrument}: missing stream sequences {_spans(r.missing_seqs)}", file=out)
    for a, b in verdict.removed:
        print(
            f"stream sequences {a} to {b} ({b - a + 1}): neither recorded nor in the stream "
            "(removed by its retention before they were recorded)",
            file=out,
        )
    if verdict.other_files:
        print(
            f"{verdict.other_files} files of another stream, or recorded without stream "
            "sequences, not compared",
            file=out,
        )
    print("agree" if verdict.agree else "DISAGREE", file=out)


async def verify(
    root: str,
    options: NatsOptions,
    instruments: list[str],
    *,
    stream: str,
    subject_prefix: str,
    connect_timeout: float = 10.0,
) -> Verdict:
    """Compares the recording under ``root`` with the stream; see the module's docstring."""
    import nats

    subjects = [f"{subject_prefix}.{i}" for i in instruments]
    nc = await asyncio.wait_for(
        nats.connect(
            servers=options.ordered_servers(),
            connect_timeout=2,
            allow_reconnect=False,
            **options.nats_py_kwargs(),
        ),
        connect_timeout,
    )
    try:
        js = nc.jetstream()
        info = await js.stream_info(stream, subjects_filter=">")
        whole = set(info.state.subjects or ()) <= set(subjects)
        held = await stream_sequences(js, stream, subjects, subject_prefix)
    finally:
        await asyncio.wait_for(nc.close(), 2.0)
    recorded, other = recorded_sequences(root, f"{stream}@{info.created}")
    rows, removed = compare(recorded, held, instruments, whole)
    return Verdict(rows, removed, other)
