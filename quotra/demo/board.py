"""The demo's board and its rendering: per-instrument state kept up to date
from the client's quote dicts, the table and plain lines drawn from it, and
the in-place terminal display. Nothing here touches a client or a loop."""

from __future__ import annotations

import contextlib
import logging
import threading
from collections import deque
from collections.abc import Iterator, Mapping
from dataclasses import dataclass, field
from typing import Any, TextIO

#: Window over which quotes per second are counted.
RATE_WINDOW = 2.0


@dataclass
class InstrumentState:
    symbol: str
    last: float | None = None
    reference: float | None = None  # session open, or the first price seen
    bid: float = 0.0
    ask: float = 0.0
    volume: int = 0
    quotes: int = 0
    direction: int = 0  # +1 last tick up, -1 down, 0 unchanged / none yet
    arrivals: deque[float] = field(default_factory=deque)  # monotonic times in the rate window

    @property
    def change(self) -> float | None:
        if self.last is None or self.reference is None:
            return None
        return self.last - self.reference

    @property
    def change_pct(self) -> float | None:
        chg = self.change
        if chg is None or not self.reference:
            return None
        return chg / self.reference * 100.0


class Board:
    """Per-instrument state built from the client's quote dicts.

    ``update(quote, now)`` takes one dict as the message callback receives it
    (keys of ``quotra.pricetape_proto.FIELDS``) and a monotonic time; the
    rates are quotes counted over the last ``window`` seconds (or since the
    first quote, while that is shorter).
    """

    def __init__(self, instruments: tuple[str, ...] = (), window: float = RATE_WINDOW):
        self.window = window
        self.instruments: dict[str, InstrumentState] = {s: InstrumentState(s) for s in instruments}
        self.total = 0
        self.errors = 0
        self.first_at: float | None = None
        self._arrivals: deque[float] = deque()

    def update(self, quote: dict[str, Any], now: float) -> InstrumentState:
        symbol = quote["instrument"]
        st = self.instruments.get(symbol)
        if st is None:
            st = self.instruments[symbol] = InstrumentState(symbol)
        last = float(quote["last_price"])
        if st.last is not None:
            st.direction = (last > st.last) - (last < st.last)
        if st.reference is None:
            session_open = float(quote["open"])
            st.reference = session_open if session_open > 0 else last
        st.last = last
        st.bid = float(quote["bid_price"])
        st.ask = float(quote["ask_price"])
        st.volume = int(quote["volume"])
        st.quotes += 1
        self.total += 1
        if self.first_at is None:
            self.first_at = now
        st.arrivals.append(now)
        self._arrivals.append(now)
        self._prune(st.arrivals, now)
        self._prune(self._arrivals, now)
        return st

    def _prune(self, arrivals: deque[float], now: float) -> None:
        edge = now - self.window
        while arrivals and arrivals[0] <= edge:
            arrivals.popleft()

    def _span(self, now: float) -> float:
        if self.first_at is None:
            return 0.0
        return min(self.window, now - self.first_at)

    def rate(self, symbol: str, now: float) -> float:
        """Quotes per second of one instrument."""
        st = self.instruments[symbol]
        self._prune(st.arrivals, now)
        span = self._span(now)
        return len(st.arrivals) / span if span > 0 else 0.0

    def total_rate(self, now: float) -> float:
        """Quotes per second over all instruments."""
        self._prune(self._arrivals, now)
        span = self._span(now)
        return len(self._arrivals) / span if span > 0 else 0.0


# ---------------------------------------------------------------------------
# Rendering
# ---------------------------------------------------------------------------

GREEN, RED, BOLD, DIM, RESET = "\x1b[32m", "\x1b[31m", "\x1b[1m", "\x1b[2m", "\x1b[0m"

# (title, width, right-aligned)
COLUMNS = (
    ("INSTRUMENT", 10, False),
    ("LAST", 9, True),
    ("", 1, False),  # tick direction
    ("CHG", 8, True),
    ("CHG%", 7, True),
    ("BID", 9, True),
    ("ASK", 9, True),
    ("VOLUME", 10, True),
    ("Q/S", 5, True),
)


def _cell(text: str, width: int, right: bool) -> str:
    return text.rjust(width) if right else text.ljust(width)


def _signed(value: float | None, fmt: str) -> str:
    return "-" if value is None else format(value, "+" + fmt)


def table_rows(
    board: Board, now: float, arrows: tuple[str, str] = ("^", "v")
) -> list[list[tuple[str, str]]]:
    """The table as rows of (text, style) segments; style is an ANSI prefix or ""."""
    rows: list[list[tuple[str, str]]] = []
    header = [(_cell(t, w, r), BOLD) for t, w, r in COLUMNS]
    rows.append(header)
    for st in board.instruments.values():
        if st.last is None:
            texts = [st.symbol, "-", " ", "-", "-", "-", "-", "-", "0.0"]
        else:
            arrow = arrows[0] if st.direction > 0 else arrows[1] if st.direction < 0 else " "
            texts = [
                st.symbol,
                f"{st.last:.2f}",
                arrow,
                _signed(st.change, ".2f"),
                _signed(st.change_pct, ".2f") + "%",
                f"{st.bid:.2f}",
                f"{st.ask:.2f}",
                f"{st.volume:,}",
                f"{board.rate(st.symbol, now):.1f}",
            ]
        chg = st.change
        chg_style = "" if chg is None or chg == 0 else GREEN if chg > 0 else RED
        tick_style = GREEN if st.direction > 0 else RED if st.direction < 0 else ""
        styles = ["", tick_style, tick_style, chg_style, chg_style, "", "", "", ""]
        rows.append([(_cell(t, w, r), s) for (_, w, r), t, s in zip(COLUMNS, texts, styles)])
    return rows


def join_row(row: list[tuple[str, str]], color: bool) -> str:
    if not color:
        return " ".join(text for text, _ in row).rstrip()
    return " ".join(f"{style}{text}{RESET}" if style else text for text, style in row).rstrip()


def _age(seconds: float | None) -> str:
    return "-" if seconds is None else f"{seconds:.2f}s"


def health_line(health: Mapping[str, Any]) -> str:
    """The client's own counters (``quotra.monitor.snapshot``) in one line."""
    return (
        f"client quotes={health['quotes']} quote_errors={health['quote_errors']} "
        f"frames={health['frames']} bytes={health['bytes']} "
        f"connections={health['connections_opened']} disconnections={health['disconnections']} "
        f"last_quote_age={_age(health['last_quote_age_s'])}"
    )


def plain_snapshot(
    board: Board,
    now: float,
    elapsed: float,
    connected: bool,
    health: Mapping[str, Any] | None = None,
) -> list[str]:
    """One line per instrument plus a total line (and the client's health
    line when given), for output that is not a terminal."""
    stamp = f"[{elapsed:5.1f}s]"
    lines = []
    for st in board.instruments.values():
        if st.last is None:
            lines.append(f"{stamp} {st.symbol} waiting for quotes")
            continue
        lines.append(
            f"{stamp} {st.symbol} last={st.last:.2f} chg={_signed(st.change, '.2f')} "
            f"({_signed(st.change_pct, '.2f')}%) bid={st.bid:.2f} ask={st.ask:.2f} "
            f"vol={st.volume} quotes={st.quotes} q/s={board.rate(st.symbol, now):.1f}"
        )
    lines.append(
        f"{stamp} total quotes={board.total} q/s={board.total_rate(now):.1f} "
        f"errors={board.errors} connected={'yes' if connected else 'no'}"
    )
    if health is not None:
        lines.append(f"{stamp} {health_line(health)}")
    return lines


class LiveDisplay:
    """Redraws a block of lines in place with ANSI cursor movement.

    ``suspended()`` erases the block, lets something else print (a log line)
    and draws the block again below it, so log lines scroll above the table.
    """

    def __init__(self, out: TextIO):
        self.out = out
        self._lines: list[str] = []
        self._drawn = 0
        self._lock = threading.RLock()
        self._active = False

    def start(self) -> None:
        with self._lock:
            self._active = True
            self.out.write("\x1b[?25l")  # hide the cursor while redrawing
            self.out.flush()

    def _erase(self) -> None:
        if self._drawn:
            self.out.write(f"\r\x1b[{self._drawn}A\x1b[J")
            self._drawn = 0

    def _write(self) -> None:
        for line in self._lines:
            self.out.write(line + "\x1b[K\n")
        self._drawn = len(self._lines)

    def draw(self, lines: list[str]) -> None:
        with self._lock:
            self._lines = lines
            self._erase()
            self._write()
            self.out.flush()

    @contextlib.contextmanager
    def suspended(self) -> Iterator[None]:
        with self._lock:
            if self._active:
                self._erase()
                self.out.flush()
            try:
                yield
            finally:
                if self._active:
                    self._write()
                    self.out.flush()

    def finish(self) -> None:
        """Leave the last drawing on screen and give the cursor back."""
        with self._lock:
            if self._active:
                self._active = False
                self.out.write("\x1b[?25h")
                self.out.flush()


class DisplayLogHandler(logging.StreamHandler[TextIO]):
    """A stream handler that lifts the live table out of the way for each record."""

    def __init__(self, stream: TextIO, display: LiveDisplay):
        super().__init__(stream)
        self.display = display

    def emit(self, record: logging.LogRecord) -> None:
        with self.display.suspended():
            super().emit(record)
