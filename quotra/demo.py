"""Live quote table: the local market-data service, a real client, a terminal view.

    python -m quotra.demo [--seconds N] [--instruments ABC,XYZ] [--rate R] [--plain]
                          [--url wss://HOST:PORT/PATH [--ca-file FILE]] [--metrics-port PORT]
    quotra-demo ...        (the same, as the console script of an installed package)

What it does, end to end:

1. starts ``quotra.service.MarketDataService`` in a background thread: TLS on
   127.0.0.1 with a throwaway certificate authority, which this process then
   trusts through ``SSL_CERT_FILE`` (``ssl.create_default_context()`` reads it);
   with ``--url`` it starts no service and streams from that one instead
   (trusting the system's CAs, or only ``--ca-file``'s when given);
2. creates a ``quotra.quotra.Quotra`` on a new event loop (the client installs
   its SIGINT/SIGTERM handlers on that loop) and points it at the service;
   with ``--metrics-port`` the client's health is served as Prometheus
   metrics on ``http://127.0.0.1:PORT/metrics`` while the demo runs;
3. ``start_websocket`` with all four callbacks; the open callback subscribes to
   the instruments the first time the connection opens (on a reconnection the
   client resubscribes its whole set by itself);
4. draws a quote table (last price, change against the session open, bid/ask,
   volume, quotes per second) and the client's counters with the age of its
   last quote (``quotra.monitor``) about four times a second with plain ANSI escapes
   when stdout is a terminal, or prints a plain snapshot every ``--interval``
   seconds otherwise (pipes, CI);
5. ends when ``--seconds`` have passed, by calling ``close_websocket()``, or on
   Ctrl-C / SIGTERM through the client's own signal path. Either way the client
   logs its close, cancels every other task and stops the loop, and the demo
   exits 0.

Log lines go to stderr; the ``quotra.quotra`` logger is shown at INFO, so the
client's own lines ("WebSocket closure initiated by user interrupt.",
"Websocket disconnected.", the close-frame line) are visible.
"""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import logging
import os
import shutil
import sys
import threading
import time
from collections import deque
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Iterator, Optional, TextIO
from urllib.parse import urlsplit

from . import _cli, monitor

if TYPE_CHECKING:
    from .quotra import Quotra

__all__ = ["Board", "main"]

DEFAULT_INSTRUMENTS = ("ABC", "DEF", "GHI", "JKL", "MNO", "XYZ")
#: How long past ``--seconds`` the client gets to finish its own close before
#: the demo stops the loop itself and reports a failure.
STOP_GRACE = 8.0
#: The ``client`` label of the demo's client in its metrics.
METRICS_NAME = "demo"
#: Window over which quotes per second are counted.
RATE_WINDOW = 2.0
TTY_REFRESH = 0.25
#: The name the demo goes by in its help and messages: the console script's
#: when started as one, else the ``-m`` form.
PROG = ("quotra-demo" if os.path.basename(sys.argv[0] if sys.argv else "") == "quotra-demo"
        else "python -m quotra.demo")

logger = logging.getLogger("quotra.demo")


# ---------------------------------------------------------------------------
# The board: what the table shows, kept up to date from the quote dicts
# ---------------------------------------------------------------------------

@dataclass
class InstrumentState:
    symbol: str
    last: Optional[float] = None
    reference: Optional[float] = None  # session open, or the first price seen
    bid: float = 0.0
    ask: float = 0.0
    volume: int = 0
    quotes: int = 0
    direction: int = 0  # +1 last tick up, -1 down, 0 unchanged / none yet
    arrivals: deque[float] = field(default_factory=deque)  # monotonic times in the rate window

    @property
    def change(self) -> Optional[float]:
        if self.last is None or self.reference is None:
            return None
        return self.last - self.reference

    @property
    def change_pct(self) -> Optional[float]:
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
        self.first_at: Optional[float] = None
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


def _signed(value: Optional[float], fmt: str) -> str:
    return "-" if value is None else format(value, "+" + fmt)


def table_rows(board: Board, now: float, arrows: tuple[str, str] = ("^", "v")) -> list[list[tuple[str, str]]]:
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


def _age(seconds: Optional[float]) -> str:
    return "-" if seconds is None else f"{seconds:.2f}s"


def health_line(health: dict[str, Any]) -> str:
    """The client's own counters (``quotra.monitor.snapshot``) in one line."""
    return (f"client quotes={health['quotes']} quote_errors={health['quote_errors']} "
            f"frames={health['frames']} bytes={health['bytes']} "
            f"connections={health['connections_opened']} disconnections={health['disconnections']} "
            f"last_quote_age={_age(health['last_quote_age_s'])}")


def plain_snapshot(board: Board, now: float, elapsed: float, connected: bool,
                   health: Optional[dict[str, Any]] = None) -> list[str]:
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
    lines.append(f"{stamp} total quotes={board.total} q/s={board.total_rate(now):.1f} "
                  f"errors={board.errors} connected={'yes' if connected else 'no'}")
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


class ClientLog(logging.Handler):
    """Remembers what the client logged, so the demo can tell how the run ended."""

    def __init__(self) -> None:
        super().__init__(logging.INFO)
        self.interrupted = False
        self.connect_errors = 0

    def emit(self, record: logging.LogRecord) -> None:
        msg = record.getMessage()
        if msg == "WebSocket closure initiated by user interrupt.":
            self.interrupted = True
        elif msg.startswith("Error occured on connect :: "):
            self.connect_errors += 1


# ---------------------------------------------------------------------------
# The run
# ---------------------------------------------------------------------------

class Demo:
    """Callbacks and timers of one run, on the client's loop."""

    def __init__(self, args: argparse.Namespace, loop: asyncio.AbstractEventLoop, client: "Quotra",
                 url: str, out: TextIO, live: Optional[LiveDisplay], color: bool, watch: ClientLog):
        self.args = args
        self.watch = watch
        self.loop = loop
        self.client = client
        self.url = url
        self.address = urlsplit(url).netloc or url
        self.out = out
        self.live = live
        self.color = color
        self.board = Board(tuple(args.instruments))
        self.started = time.monotonic()
        self.opened = 0
        self.time_up_at: Optional[float] = None
        self.watchdog_fired = False
        self.ended_at: Optional[float] = None
        self.render_task: Optional[asyncio.Task[None]] = None
        encoding = (getattr(out, "encoding", "") or "").lower().replace("-", "")
        self.arrows = ("\u25b2", "\u25bc") if encoding == "utf8" else ("^", "v")

    # -- the four callbacks given to start_websocket (coroutine functions) ------

    async def on_quote(self, quote: dict[str, Any]) -> None:
        self.board.update(quote, time.monotonic())

    async def on_error(self, exc: BaseException) -> None:
        self.board.errors += 1
        logger.warning("could not decode a quote frame: %r", exc)

    @property
    def ending(self) -> bool:
        """A close has been asked for: by a signal or because the time is up."""
        return self.watch.interrupted or self.time_up_at is not None

    async def on_open(self, text: str) -> None:
        self.opened += 1
        if self.ending:
            # The close was asked for before this connection existed (a signal
            # during start-up), so no close frame went out: close it now, the
            # client's own way, and its shutdown follows.
            logger.info("%s Closing it: the run is ending", text)
            self.client.close_websocket()
        elif self.opened == 1:
            logger.info("%s Subscribing to %s", text, ", ".join(self.args.instruments))
            await self.client.subscribe(list(self.args.instruments))
        else:
            logger.info("%s (reconnected; the client resubscribes its set)", text)

    async def on_close(self, text: str) -> None:
        logger.info("%s", text)

    # -- timers ------------------------------------------------------------------

    def time_up(self) -> None:
        self.time_up_at = time.monotonic()
        logger.info("%g s are up: closing the websocket", self.args.seconds)
        connected = self.client.IS_CONNECTED
        self.client.close_websocket()
        if not (connected is not None and connected.is_set()):
            # No open connection would answer the close frame: nothing else
            # ends the run, so hand the loop to the client's shutdown directly.
            logger.info("no open connection: shutting down")
            self.loop.create_task(type(self.client).shutdown(self.loop))

    def watchdog(self) -> None:
        self.watchdog_fired = True
        logger.error("the client did not stop within %g s of the end; stopping the loop", STOP_GRACE)
        self.loop.stop()

    # -- drawing -----------------------------------------------------------------

    def elapsed(self) -> float:
        return (self.ended_at or time.monotonic()) - self.started

    def connected(self) -> bool:
        ev = self.client.IS_CONNECTED
        return bool(ev is not None and ev.is_set())

    def frame(self, final: bool = False) -> list[str]:
        now = time.monotonic()
        width = shutil.get_terminal_size((100, 24)).columns
        status = "connected" if self.connected() else ("closed" if final else "connecting")
        head = (f"quotra live quotes  {self.address}  {status}  "
                f"{self.elapsed():.1f}/{self.args.seconds:g} s"
                + ("" if final else "  Ctrl-C to stop"))
        rows = table_rows(self.board, now, self.arrows)
        lines = []
        fits = max(len(join_row(r, False)) for r in rows) < width
        for row in rows:
            if fits:
                lines.append(join_row(row, self.color))
            else:
                lines.append(join_row(row, False)[: max(1, width - 1)])
        foot = (f"total {self.board.total} quotes, {self.board.total_rate(now):.1f} q/s"
                + (f", {self.board.errors} errors" if self.board.errors else ""))
        lines = [head[: max(1, width - 1)], *lines, foot[: max(1, width - 1)],
                 health_line(monitor.snapshot(self.client))[: max(1, width - 1)]]
        if self.color:
            lines[0] = BOLD + lines[0] + RESET
            lines[-2] = DIM + lines[-2] + RESET
            lines[-1] = DIM + lines[-1] + RESET
        return lines

    def draw(self, final: bool = False) -> None:
        if self.live is not None:
            self.live.draw(self.frame(final))
        else:
            now = time.monotonic()
            for line in plain_snapshot(self.board, now, self.elapsed(), self.connected(),
                                       monitor.snapshot(self.client)):
                self.out.write(line + "\n")
            self.out.flush()

    async def render(self) -> None:
        period = TTY_REFRESH if self.live is not None else self.args.interval
        deadline = self.loop.time() + self.args.seconds + STOP_GRACE
        # Bounded by time; normally cancelled earlier by the client's shutdown.
        while self.loop.time() < deadline:
            await asyncio.sleep(period)
            self.draw()


def _instruments(text: str) -> tuple[str, ...]:
    items = tuple(dict.fromkeys(s.strip() for s in text.split(",") if s.strip()))
    if not items:
        raise argparse.ArgumentTypeError("give at least one instrument")
    if len(items) > 40:
        raise argparse.ArgumentTypeError("at most 40 instruments")
    return items


def parse_args(argv: Optional[list[str]] = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Stream quotes from a local market-data service (or, with --url, any service that "
                    "speaks the protocol) through a Quotra client and show them as a live table. "
                    "Ends after --seconds or on Ctrl-C.")
    p.add_argument("--seconds", type=_cli.positive, default=20.0, help="how long to stream (default 20)")
    p.add_argument("--instruments", type=_instruments, default=DEFAULT_INSTRUMENTS,
                   help="comma-separated symbols (default %s)" % ",".join(DEFAULT_INSTRUMENTS))
    p.add_argument("--url", default=None, metavar="URL",
                   help="stream from this service (wss://host:port/path?query) instead of starting a local one; "
                        "the options of the local service below then do not apply")
    p.add_argument("--ca-file", default=None, metavar="FILE",
                   help="with --url: trust only this CA certificate (PEM) instead of the system's")
    p.add_argument("--metrics-port", type=int, default=None, metavar="PORT",
                   help="serve the client's health as Prometheus metrics on http://127.0.0.1:PORT/metrics "
                        "(needs prometheus-client: the 'metrics' extra)")
    p.add_argument("--rate", type=_cli.positive, default=60.0,
                   help="quotes per second the service sends, spread over the instruments (default 60)")
    p.add_argument("--seed", type=int, default=0, help="seed of the service's price walks (default 0)")
    p.add_argument("--fragment-size", type=int, default=None, metavar="BYTES",
                   help="the service sends each quote in fragments of at most BYTES (default: whole frames)")
    p.add_argument("--close-after", type=_cli.positive, default=None, metavar="SECONDS",
                   help="the service closes each connection SECONDS after it opened, as a restarting server does")
    p.add_argument("--plain", action="store_true",
                   help="print plain snapshots even on a terminal (the default when stdout is not one)")
    p.add_argument("--interval", type=_cli.positive, default=1.0,
                   help="seconds between plain snapshots (default 1)")
    p.add_argument("--no-color", action="store_true", help="no colours in the live table (also: NO_COLOR set)")
    p.add_argument("-v", "--verbose", action="store_true", help="log everything at INFO (picows, the service)")
    args = p.parse_args(argv)
    if args.fragment_size is not None and args.fragment_size < 1:
        p.error("--fragment-size must be a positive number of bytes")
    if args.url is not None:
        from . import _check_url
        try:
            _check_url(args.url)
        except ValueError as e:
            p.error(f"--url: {e}")
    if args.ca_file is not None:
        if args.url is None:
            p.error("--ca-file goes with --url (the local service brings its own CA)")
        if not os.path.isfile(args.ca_file):
            p.error(f"--ca-file: no such file: {args.ca_file}")
    if args.metrics_port is not None and not 0 <= args.metrics_port <= 65535:
        p.error("--metrics-port must be a port number (0-65535)")
    return args


def _setup_logging(verbose: bool, live: Optional[LiveDisplay]) -> ClientLog:
    handler: logging.Handler
    if live is not None:
        handler = DisplayLogHandler(sys.stderr, live)
    else:
        handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(name)s: %(message)s", "%H:%M:%S"))
    root = logging.getLogger()
    root.addHandler(handler)
    root.setLevel(logging.INFO if verbose else logging.WARNING)
    logging.getLogger("quotra.quotra").setLevel(logging.INFO)
    logger.setLevel(logging.INFO)
    watch = ClientLog()
    logging.getLogger("quotra.quotra").addHandler(watch)
    return watch


def _point_at_service(args: argparse.Namespace, client: "Quotra", stack: contextlib.ExitStack) -> str:
    """Points the client at ``--url``, or at a local service started for the
    run (stopped when ``stack`` closes); returns the URL."""
    if args.url is not None:
        from . import point_client
        if args.ca_file is not None:
            os.environ["SSL_CERT_FILE"] = args.ca_file
        point_client(client, args.url)
        logger.info("streaming from %s", args.url)
        return args.url
    from .service import ServiceThread, point_client as point_at_local
    svc = stack.enter_context(ServiceThread(rate=args.rate, seed=args.seed, record_sent=0,
                                            fragment_size=args.fragment_size, close_after=args.close_after))
    # The service's certificate comes from a CA made for this run; the
    # client uses ssl.create_default_context(), which trusts the file
    # named by SSL_CERT_FILE.
    os.environ["SSL_CERT_FILE"] = svc.ca_file
    logger.info("market-data service at %s (%g quotes/s)", svc.url, args.rate)
    point_at_local(client, svc.url)
    return svc.url


def _run(args: argparse.Namespace, out: TextIO, live: Optional[LiveDisplay], color: bool,
         watch: ClientLog, metrics_server: Any = None) -> int:
    from .quotra import Quotra

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    demo: Optional[Demo] = None
    try:
        # The client first: from here on SIGINT/SIGTERM go to its handlers on
        # this loop, also while the service is still starting (the loop acts
        # on such a signal as soon as it runs).
        client = Quotra(loop)
        with contextlib.ExitStack() as stack:
            url = _point_at_service(args, client, stack)
            if metrics_server is not None:
                from . import metrics
                metrics.register(METRICS_NAME, client)
                stack.callback(metrics.unregister, METRICS_NAME)
            demo = Demo(args, loop, client, url, out, live, color, watch)
            client.start_websocket(demo.on_quote, demo.on_error, demo.on_open, demo.on_close)
            loop.call_later(args.seconds, demo.time_up)
            loop.call_later(args.seconds + STOP_GRACE, demo.watchdog)
            demo.render_task = loop.create_task(demo.render())
            if live is not None:
                live.start()
                demo.draw()
            try:
                loop.run_forever()  # returns when the client's shutdown stops the loop
            finally:
                demo.ended_at = time.monotonic()
                demo.draw(final=True)
                if live is not None:
                    live.finish()
    finally:
        # Not run again: the client's shutdown has stopped it, and a client
        # event arriving now (the service closing) would start another one.
        loop.close()
        asyncio.set_event_loop(None)

    board = demo.board
    took = demo.elapsed()
    if demo.watchdog_fired:
        how = "not stopped by the client in time"
    elif watch.interrupted:
        how = "interrupted"
    elif demo.time_up_at is not None:
        how = "time is up"
    else:
        how = "the client stopped"
    quoted = sum(1 for s in board.instruments.values() if s.quotes)
    rate = board.total / took if took > 0 else 0.0
    out.write(f"demo: {board.total} quotes for {quoted} instrument{'' if quoted == 1 else 's'} "
              f"in {took:.1f} s ({rate:.1f} q/s), {board.errors} errors; ended: {how}\n")
    out.flush()
    if demo.watchdog_fired:
        return 1
    if watch.interrupted:
        return 0
    if not demo.opened:
        logger.error("no connection was opened (%d connection errors)", watch.connect_errors)
        return 1
    return 0


def main(argv: Optional[list[str]] = None) -> int:
    """Entry of ``python -m quotra.demo`` and the ``quotra-demo`` console script."""
    try:
        return _main(argv)
    except BrokenPipeError:
        # Output piped into something that stopped reading (| head): point
        # stdout at /dev/null so the interpreter's last flush does not fail too.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


def _main(argv: Optional[list[str]]) -> int:
    args = parse_args(argv)
    # Checked before anything starts: a client-only install has no trustme,
    # and the user needs the fix, not a traceback from the service's start.
    if args.url is None:
        from .service.tls import trustme_missing
        if trustme_missing(PROG):
            return 2
    ok, metrics_server = _cli.start_metrics(PROG, args.metrics_port)
    if not ok:
        return 2
    try:
        return _serving(args, metrics_server)
    finally:
        _cli.stop_metrics(metrics_server)


def _serving(args: argparse.Namespace, metrics_server: Any) -> int:
    out = sys.stdout
    is_tty = out.isatty() and os.environ.get("TERM", "") != "dumb"
    live = LiveDisplay(out) if is_tty and not args.plain else None
    color = live is not None and not args.no_color and not os.environ.get("NO_COLOR")
    watch = _setup_logging(args.verbose, live)
    if metrics_server is not None:
        logger.info("metrics at http://127.0.0.1:%d/metrics", metrics_server.server_port)
    try:
        return _run(args, out, live, color, watch, metrics_server)
    except KeyboardInterrupt:
        # Only outside the client's watch: before it is made, or after its
        # loop is closed (closing the loop removes its signal handlers).
        if live is not None:
            live.finish()
        print("demo: interrupted", file=sys.stderr)
        return 130


if __name__ == "__main__":
    sys.exit(main())
