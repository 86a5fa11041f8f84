"""The demo's run: its options, the service it starts (or the one ``--url``
names), the client on its own loop, the drawing task and the end of the run."""

from __future__ import annotations

import argparse
import asyncio
import contextlib
import logging
import os
import shutil
import sys
import time
from typing import TYPE_CHECKING, Any, TextIO
from urllib.parse import urlsplit

from .. import _cli, monitor
from .board import (
    BOLD,
    DIM,
    RESET,
    Board,
    DisplayLogHandler,
    LiveDisplay,
    health_line,
    join_row,
    plain_snapshot,
    table_rows,
)

if TYPE_CHECKING:
    from ..quotra import Quotra

DEFAULT_INSTRUMENTS = ("ABC", "DEF", "GHI", "JKL", "MNO", "XYZ")
#: How long past ``--seconds`` the client gets to finish its own close before
#: the demo stops the loop itself and reports a failure.
STOP_GRACE = 8.0
#: The ``client`` label of the demo's client in its metrics.
METRICS_NAME = "demo"
TTY_REFRESH = 0.25
#: The name the demo goes by in its help and messages: the console script's
#: when started as one, else the ``-m`` form.
PROG = (
    "quotra-demo"
    if os.path.basename(sys.argv[0] if sys.argv else "") == "quotra-demo"
    else "python -m quotra.demo"
)

logger = logging.getLogger("quotra.demo")


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


class Demo:
    """Callbacks and timers of one run, on the client's loop."""

    def __init__(
        self,
        args: argparse.Namespace,
        loop: asyncio.AbstractEventLoop,
        client: Quotra,
        url: str,
        out: TextIO,
        live: LiveDisplay | None,
        color: bool,
        watch: ClientLog,
    ):
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
        self.time_up_at: float | None = None
        self.watchdog_fired = False
        self.ended_at: float | None = None
        self.render_task: asyncio.Task[None] | None = None
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
        logger.error(
            "the client did not stop within %g s of the end; stopping the loop", STOP_GRACE
        )
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
        head = (
            f"quotra live quotes  {self.address}  {status}  "
            f"{self.elapsed():.1f}/{self.args.seconds:g} s" + ("" if final else "  Ctrl-C to stop")
        )
        rows = table_rows(self.board, now, self.arrows)
        lines = []
        fits = max(len(join_row(r, False)) for r in rows) < width
        for row in rows:
            if fits:
                lines.append(join_row(row, self.color))
            else:
                lines.append(join_row(row, False)[: max(1, width - 1)])
        foot = f"total {self.board.total} quotes, {self.board.total_rate(now):.1f} q/s" + (
            f", {self.board.errors} errors" if self.board.errors else ""
        )
        lines = [
            head[: max(1, width - 1)],
            *lines,
            foot[: max(1, width - 1)],
            health_line(monitor.snapshot(self.client))[: max(1, width - 1)],
        ]
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
            for line in plain_snapshot(
                self.board, now, self.elapsed(), self.connected(), monitor.snapshot(self.client)
            ):
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


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Stream quotes from a local market-data service (or, with --url, any service that "
        "speaks the protocol) through a Quotra client and show them as a live table. "
        "Ends after --seconds or on Ctrl-C.",
    )
    p.add_argument(
        "--seconds", type=_cli.positive, default=20.0, help="how long to stream (default 20)"
    )
    p.add_argument(
        "--instruments",
        type=_instruments,
        default=DEFAULT_INSTRUMENTS,
        help="comma-separated symbols (default %s)" % ",".join(DEFAULT_INSTRUMENTS),
    )
    p.add_argument(
        "--url",
        default=None,
        metavar="URL",
        help="stream from this service (wss://host:port/path?query) instead of starting a local one; "
        "the options of the local service below then do not apply",
    )
    p.add_argument(
        "--ca-file",
        default=None,
        metavar="FILE",
        help="with --url: trust only this CA certificate (PEM) instead of the system's",
    )
    p.add_argument(
        "--metrics-port",
        type=int,
        default=None,
        metavar="PORT",
        help="serve the client's health as Prometheus metrics on http://ADDR:PORT/metrics "
        "(needs prometheus-client: the 'metrics' extra)",
    )
    _cli.add_metrics_addr(p)
    p.add_argument(
        "--rate",
        type=_cli.positive,
        default=60.0,
        help="quotes per second the service sends, spread over the instruments (default 60)",
    )
    p.add_argument(
        "--seed", type=int, default=0, help="seed of the service's price walks (default 0)"
    )
    p.add_argument(
        "--fragment-size",
        type=int,
        default=None,
        metavar="BYTES",
        help="the service sends each quote in fragments of at most BYTES (default: whole frames)",
    )
    p.add_argument(
        "--close-after",
        type=_cli.positive,
        default=None,
        metavar="SECONDS",
        help="the service closes each connection SECONDS after it opened, as a restarting server does",
    )
    p.add_argument(
        "--plain",
        action="store_true",
        help="print plain snapshots even on a terminal (the default when stdout is not one)",
    )
    p.add_argument(
        "--interval",
        type=_cli.positive,
        default=1.0,
        help="seconds between plain snapshots (default 1)",
    )
    p.add_argument(
        "--no-color", action="store_true", help="no colours in the live table (also: NO_COLOR set)"
    )
    p.add_argument(
        "-v", "--verbose", action="store_true", help="log everything at INFO (picows, the service)"
    )
    args = p.parse_args(argv)
    if args.fragment_size is not None and args.fragment_size < 1:
        p.error("--fragment-size must be a positive number of bytes")
    if args.url is not None:
        from .. import _check_url

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


def _setup_logging(verbose: bool, live: LiveDisplay | None) -> ClientLog:
    handler: logging.Handler
    if live is not None:
        handler = DisplayLogHandler(sys.stderr, live)
    else:
        handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(
        logging.Formatter("%(asctime)s %(levelname)s %(name)s: %(message)s", "%H:%M:%S")
    )
    root = logging.getLogger()
    root.addHandler(handler)
    root.setLevel(logging.INFO if verbose else logging.WARNING)
    logging.getLogger("quotra.quotra").setLevel(logging.INFO)
    logger.setLevel(logging.INFO)
    watch = ClientLog()
    logging.getLogger("quotra.quotra").addHandler(watch)
    return watch


def _point_at_service(args: argparse.Namespace, client: Quotra, stack: contextlib.ExitStack) -> str:
    """Points the client at ``--url``, or at a local service started for the
    run (stopped when ``stack`` closes); returns the URL."""
    if args.url is not None:
        from .. import point_client

        if args.ca_file is not None:
            os.environ["SSL_CERT_FILE"] = args.ca_file
        url: str = args.url
        point_client(client, url)
        logger.info("streaming from %s", url)
        return url
    from ..service import ServiceThread
    from ..service import point_client as point_at_local

    svc = stack.enter_context(
        ServiceThread(
            rate=args.rate,
            seed=args.seed,
            record_sent=0,
            fragment_size=args.fragment_size,
            close_after=args.close_after,
        )
    )
    # The service's certificate comes from a CA made for this run; the
    # client uses ssl.create_default_context(), which trusts the file
    # named by SSL_CERT_FILE.
    os.environ["SSL_CERT_FILE"] = svc.ca_file
    logger.info("market-data service at %s (%g quotes/s)", svc.url, args.rate)
    point_at_local(client, svc.url)
    local: str = svc.url
    return local


def _run(
    args: argparse.Namespace,
    out: TextIO,
    live: LiveDisplay | None,
    color: bool,
    watch: ClientLog,
    metrics_server: Any = None,
) -> int:
    from ..quotra import Quotra

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    demo: Demo | None = None
    try:
        # The client first: from here on SIGINT/SIGTERM go to its handlers on
        # this loop, also while the service is still starting (the loop acts
        # on such a signal as soon as it runs).
        client = Quotra(loop)
        with contextlib.ExitStack() as stack:
            url = _point_at_service(args, client, stack)
            if metrics_server is not None:
                from .. import metrics

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
    out.write(
        f"demo: {board.total} quotes for {quoted} instrument{'' if quoted == 1 else 's'} "
        f"in {took:.1f} s ({rate:.1f} q/s), {board.errors} errors; ended: {how}\n"
    )
    out.flush()
    if demo.watchdog_fired:
        return 1
    if watch.interrupted:
        return 0
    if not demo.opened:
        logger.error("no connection was opened (%d connection errors)", watch.connect_errors)
        return 1
    return 0


def main(argv: list[str] | None = None) -> int:
    """Entry of ``python -m quotra.demo`` and the ``quotra-demo`` console script."""
    try:
        return _main(argv)
    except BrokenPipeError:
        # Output piped into something that stopped reading (| head): point
        # stdout at /dev/null so the interpreter's last flush does not fail too.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return 1


def _main(argv: list[str] | None) -> int:
    args = parse_args(argv)
    # Checked before anything starts: a client-only install has no trustme,
    # and the user needs the fix, not a traceback from the service's start.
    if args.url is None:
        from ..service.tls import trustme_missing

        if trustme_missing(PROG):
            return 2
    ok, metrics_server = _cli.start_metrics(PROG, args.metrics_port, args.metrics_addr)
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
        logger.info("metrics at %s", _cli.metrics_url(metrics_server))
    try:
        return _run(args, out, live, color, watch, metrics_server)
    except KeyboardInterrupt:
        # Only outside the client's watch: before it is made, or after its
        # loop is closed (closing the loop removes its signal handlers).
        if live is not None:
            live.finish()
        print("demo: interrupted", file=sys.stderr)
        return 130
