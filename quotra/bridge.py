"""One upstream connection, many consumers: quotes fanned out through NATS JetStream.

    upstream service --wss--> quotra-bridge (one Quotra client)
                                   | PUB <prefix>.<instrument>  (JSON, the quote dict's keys)
                                   v
                              NATS server(s), JetStream stream <STREAM> over <prefix>.>
                              (keeps the latest quotes of each instrument)
                                   |
                 +-----------------+-----------------+
                 v                 v                 v
          quotra.bridge.quotes()   any NATS client   ...   (other processes, other machines)

The bridge (``quotra-bridge`` / ``python -m quotra.bridge``) runs a ``Quotra``
client on the upstream service, with the client's own reconnection and
resubscription, and publishes every quote to ``<prefix>.<instrument>`` as a
JSON object with exactly the keys of the client's quote dict. It creates or
updates a JetStream stream over ``<prefix>.>`` that keeps the last
``max_per_subject`` quotes of each instrument for at most ``max_age`` seconds,
so a consumer that starts late gets the last quote of every instrument first
and then the live stream: ``quotes(nats_url, instruments)`` does exactly that.

How a quote goes through: the client calls ``Bridge.on_quote`` and schedules
its coroutine as a task; quote tasks start eagerly (``_eager_quotes``), so the
coroutine runs inside the client's ``create_task``, appends the dict to the
bridge's buffer and is done: no trip through the loop's ready queue per quote.
Once per loop turn the writer task takes the whole buffer, serializes it
(``orjson``) into one block of NATS ``PUB`` commands and writes that block to
the NATS connection's socket, with the socket's flow control. Plain NATS publishes are enough here:
the stream captures the subjects on the server, no per-message ack is needed.

While NATS is away (not there at start, or gone mid-stream) the upstream
connection is left alone; quotes wait in the buffer, which holds at most
``buffer`` quotes: past that the oldest are dropped, counted and logged. The
bridge reconnects with back-off (``RETRY_FIRST`` doubling up to
``RETRY_MAX``), makes sure of the stream again and resumes publishing.

On SIGINT / SIGTERM the bridge flushes NATS (everything received so far
published, and a round trip to the server), then hands over to the client's
own signal path, which closes the upstream connection and stops the loop;
quotes that arrived meanwhile are written out as the writer is cancelled. The
counters are logged at exit; ``Bridge.snapshot()`` gives them at any time,
with the client's health (``quotra.monitor``), and ``register_metrics`` (or
``quotra-bridge --metrics-port``) serves them through ``quotra.metrics``.
"""

from __future__ import annotations

import argparse
import asyncio
import logging
import math
import os
import re
import signal
import sys
import time
from collections.abc import AsyncIterator, Iterable
from typing import Any, Optional

import orjson

from . import _cli

__all__ = ["Bridge", "quotes", "check_instrument", "subject_for", "metric_families", "register_metrics", "main",
           "DEFAULT_NATS", "DEFAULT_PREFIX", "DEFAULT_STREAM"]

logger = logging.getLogger("quotra.bridge")

DEFAULT_NATS = "nats://127.0.0.1:4222"
DEFAULT_PREFIX = "quotes"
DEFAULT_STREAM = "QUOTES"
DEFAULT_MAX_PER_SUBJECT = 100
DEFAULT_MAX_AGE = 24 * 3600.0
DEFAULT_BUFFER = 100_000
STORAGES = ("file", "memory")
RETRY_FIRST = 0.1
RETRY_MAX = 2.0
FLUSH_TIMEOUT = 2.0
# Quotes per block handed to the NATS connection, so one huge backlog after an
# outage does not become one huge allocation.
BLOCK = 4096
DROP_LOG_EVERY = 5.0

_BAD_TOKEN = re.compile(r"[.*>\s]")
_BAD_STREAM = re.compile(r"[.*>\s/\\]")
_MISSING = "the bridge needs nats-py: pip install 'quotra[bridge]'"


def check_instrument(name: Any) -> str:
    """``name`` if it can be one subject token; ValueError (TypeError) otherwise."""
    if not isinstance(name, str):
        raise TypeError(f"an instrument is a str, not {type(name).__name__}")
    if not name or _BAD_TOKEN.search(name):
        raise ValueError(f"instrument {name!r} cannot be a NATS subject token "
                         "(empty, or contains '.', '*', '>' or whitespace)")
    return name


def _check_prefix(prefix: str) -> str:
    if not isinstance(prefix, str) or not prefix or any(
            not tok or _BAD_TOKEN.search(tok) for tok in prefix.split(".")):
        raise ValueError(f"subject prefix {prefix!r} must be dot-separated tokens without "
                         "'*', '>' or whitespace")
    return prefix


def _check_stream(name: str) -> str:
    if not isinstance(name, str) or not name or _BAD_STREAM.search(name):
        raise ValueError(f"stream name {name!r} must be non-empty, without '.', '*', '>', "
                         "slashes or whitespace")
    return name


def subject_for(prefix: str, instrument: str) -> str:
    """The subject the bridge publishes ``instrument``'s quotes on."""
    return f"{_check_prefix(prefix)}.{check_instrument(instrument)}"


def _nats():
    try:
        import nats
    except ImportError:
        raise ImportError(_MISSING) from None
    return nats


class _StreamError(RuntimeError):
    """Connected, but the stream could not be made or updated (JetStream off,
    a stream of another storage type or overlapping subjects, ...)."""


# ---------------------------------------------------------------------------
# Eager quote tasks
# ---------------------------------------------------------------------------

def _eager_quotes(loop: asyncio.AbstractEventLoop, code) -> None:
    """Start the coroutines of ``code`` eagerly on ``loop``: inside
    ``create_task``, so one that finishes without suspending never goes
    through the ready queue. Every other coroutine keeps the loop's own
    task factory."""
    previous = loop.get_task_factory()
    Task = asyncio.Task

    def factory(loop, coro, **kwargs):
        if getattr(coro, "cr_code", None) is code:
            return Task(coro, loop=loop, eager_start=True, **kwargs)
        if previous is not None:
            return previous(loop, coro, **kwargs)
        return Task(coro, loop=loop, **kwargs)

    loop.set_task_factory(factory)


# ---------------------------------------------------------------------------
# The bridge
# ---------------------------------------------------------------------------

class Bridge:
    """Publishes the quotes given to ``on_quote`` to NATS; see the module's docstring.

    Make it on the loop's thread, call ``start()`` once the loop runs (or
    before: it only schedules), give ``on_quote`` to the client as its message
    callback, and ``await close()`` to flush and disconnect.
    """

    def __init__(self, nats_url: str = DEFAULT_NATS, *, subject_prefix: str = DEFAULT_PREFIX,
                 stream: str = DEFAULT_STREAM, max_per_subject: int = DEFAULT_MAX_PER_SUBJECT,
                 max_age: float = DEFAULT_MAX_AGE, buffer: int = DEFAULT_BUFFER,
                 storage: str = "file", loop: Optional[asyncio.AbstractEventLoop] = None,
                 client: Any = None):
        _nats()
        self.client = client  # the upstream Quotra, whose health snapshot() adds
        self.nats_url = nats_url
        self.subject_prefix = _check_prefix(subject_prefix)
        self.stream = _check_stream(stream)
        if not (isinstance(max_per_subject, int) and max_per_subject >= 1):
            raise ValueError("max_per_subject must be an int >= 1")
        if not (max_age > 0 and math.isfinite(max_age)):
            raise ValueError("max_age must be a positive number of seconds")
        if not (isinstance(buffer, int) and buffer >= 1):
            raise ValueError("buffer must be an int >= 1")
        if storage not in STORAGES:
            raise ValueError(f"storage must be one of {STORAGES}, not {storage!r}")
        self.storage = storage
        self.max_per_subject = max_per_subject
        self.max_age = float(max_age)
        self.buffer = buffer
        self.loop = loop or asyncio.get_event_loop()
        # Counters (snapshot()).
        self.published = 0      # quotes handed to a NATS connection
        self.dropped = 0        # oldest quotes dropped from a full buffer
        self.refused = 0        # quotes whose instrument cannot be a subject token
        self.connections = 0    # NATS connections made (the first and every reconnection)
        self.connect_failures = 0
        self._pending: list[dict] = []
        self._heads: dict[str, Optional[bytes]] = {}
        self._nc: Any = None
        self._connected = asyncio.Event()
        self._wake = asyncio.Event()
        self._closing = False
        self._task: Optional[asyncio.Task] = None
        self._dropped_logged = 0
        self._drop_log_at = 0.0
        self.on_quote = self._make_on_quote()
        _eager_quotes(self.loop, self.on_quote.__code__)

    # -- counters ----------------------------------------------------------------

    @property
    def reconnections(self) -> int:
        return max(0, self.connections - 1)

    @property
    def connected(self) -> bool:
        return self._connected.is_set()

    @property
    def received(self) -> int:
        """Quotes the client handed over: published, dropped, refused or still buffered."""
        return self.published + self.dropped + self.refused + len(self._pending)

    def snapshot(self) -> dict[str, Any]:
        """The bridge's counters now; with a ``client``, its health
        (``quotra.monitor.snapshot``) first."""
        snap: dict[str, Any] = {}
        if self.client is not None:
            from . import monitor

            snap.update(monitor.snapshot(self.client))
        snap.update(
            received=self.received,
            published=self.published,
            dropped=self.dropped,
            refused=self.refused,
            buffered=len(self._pending),
            nats_connected=self.connected,
            nats_reconnections=self.reconnections,
            nats_connect_failures=self.connect_failures,
        )
        return snap

    # -- the quote path ------------------------------------------------------------

    def _make_on_quote(self):
        pending = self._pending
        append = pending.append
        wake = self._wake.set
        limit = self.buffer
        overflow = self._overflow

        async def on_quote(quote: dict) -> None:
            append(quote)
            n = len(pending)
            if n == 1:
                wake()
            elif n > limit:
                overflow()

        return on_quote

    def _overflow(self) -> None:
        """The buffer is past its bound: drop its oldest tenth (at least one)."""
        pending = self._pending
        n = len(pending) - self.buffer + self.buffer // 10
        n = min(len(pending), max(1, n))
        del pending[:n]
        self.dropped += n
        now = time.monotonic()
        if now >= self._drop_log_at:
            self._drop_log_at = now + DROP_LOG_EVERY
            logger.warning("NATS %s: buffer of %d quotes full, dropped the oldest %d (%d dropped in all)",
                           "not connected" if not self.connected else "not keeping up",
                           self.buffer, self.dropped - self._dropped_logged, self.dropped)
            self._dropped_logged = self.dropped

    def _head(self, instrument: Any) -> Optional[bytes]:
        """``PUB <subject> `` for ``instrument``, or None for one that cannot be a token."""
        try:
            head = b"PUB %s.%s " % (self.subject_prefix.encode(), check_instrument(instrument).encode())
        except (TypeError, ValueError) as exc:
            logger.error("quotes of %r are not published: %s", instrument, exc)
            head = None
        if isinstance(instrument, str):
            self._heads[instrument] = head
        return head

    def _encode(self, batch: list[dict]) -> tuple[bytes, int]:
        """One block of PUB commands for ``batch``; the number of quotes in it."""
        out: list[bytes] = []
        add = out.append
        heads = self._heads
        dumps = orjson.dumps
        refused = 0
        for quote in batch:
            try:
                inst = quote["instrument"]
                head = heads[inst]
            except (KeyError, TypeError):
                head = self._head(quote.get("instrument") if isinstance(quote, dict) else None)
            if head is None:
                refused += 1
                continue
            payload = dumps(quote)
            add(b"%s%d\r\n%s\r\n" % (head, len(payload), payload))
        self.refused += refused
        return b"".join(out), len(out)

    # -- the NATS side -----------------------------------------------------------

    def start(self) -> asyncio.Task:
        if self._task is None:
            self._task = self.loop.create_task(self._run(), name="quotra-bridge")
        return self._task

    async def _connect(self):
        nats = _nats()
        closed = asyncio.Event()

        async def on_closed() -> None:
            closed.set()
            self._connected.clear()
            self._wake.set()

        async def on_error(exc: Exception) -> None:
            logger.debug("NATS: %r", exc)

        # One attempt (nats-py's own loop gives up after a second, immediate
        # one), no reconnection of its own: the back-off is the bridge's.
        nc = await nats.connect(self.nats_url, allow_reconnect=False, max_reconnect_attempts=1,
                                reconnect_time_wait=0, connect_timeout=2, closed_cb=on_closed,
                                error_cb=on_error, name="quotra-bridge")
        try:
            await self._ensure_stream(nc)
        except Exception as exc:
            await nc.close()
            raise _StreamError(f"stream {self.stream} not set up: {str(exc) or type(exc).__name__}") from exc
        except BaseException:
            await nc.close()
            raise
        return nc, closed

    async def _ensure_stream(self, nc) -> None:
        from nats.js.api import DiscardPolicy, StorageType, StreamConfig
        from nats.js.errors import NotFoundError

        js = nc.jetstream()
        config = StreamConfig(name=self.stream, subjects=[f"{self.subject_prefix}.>"],
                              max_msgs_per_subject=self.max_per_subject, max_age=self.max_age,
                              storage=StorageType(self.storage), discard=DiscardPolicy.OLD)
        try:
            await js.stream_info(self.stream)
        except NotFoundError:
            await js.add_stream(config)
            logger.info("NATS: stream %s created over %s.>", self.stream, self.subject_prefix)
        else:
            await js.update_stream(config)

    async def _run(self) -> None:
        delay, failures = RETRY_FIRST, 0
        dropped_before = self.dropped
        try:
            while not self._closing:
                try:
                    nc, closed = await self._connect()
                except asyncio.CancelledError:
                    raise
                except Exception as exc:
                    self.connect_failures += 1
                    failures += 1
                    # Every attempt of the back-off's climb, then one in 15 (about 30 s).
                    if failures <= 6 or failures % 15 == 0:
                        if isinstance(exc, _StreamError):
                            logger.error("NATS %s: %s; retrying in %.1f s", self.nats_url, exc, delay)
                        else:
                            logger.warning("NATS %s not reachable (%s); retrying in %.1f s (attempt %d)",
                                           self.nats_url, str(exc) or type(exc).__name__, delay, failures)
                    await asyncio.sleep(delay)
                    delay = min(RETRY_MAX, delay * 2)
                    continue
                delay, failures = RETRY_FIRST, 0
                self._nc = nc
                self.connections += 1
                self._connected.set()
                logger.info("NATS connected to %s%s; %d quotes buffered, %d dropped while away", self.nats_url,
                            " (reconnection %d)" % self.reconnections if self.connections > 1 else "",
                            len(self._pending), self.dropped - dropped_before)
                await self._write_while_connected(nc, closed)
                self._connected.clear()
                dropped_before = self.dropped
                if not self._closing:
                    logger.warning("NATS connection lost; quotes are buffered (at most %d) "
                                   "while the bridge reconnects", self.buffer)
                    if not nc.is_closed:
                        await nc.close()
        except asyncio.CancelledError:
            # The loop's shutdown cancels every task: what arrived since the
            # last turn still goes out, written straight to the socket.
            self._write_now()
            raise

    async def _write_while_connected(self, nc, closed: asyncio.Event) -> None:
        pending = self._pending
        wake = self._wake
        # The connection's socket: whole blocks of PUB commands go straight to
        # it, with the socket's own flow control (drain). nats-py writes its
        # own commands (PING, ...) whole to the same transport, on this thread.
        transport = nc._transport
        while not closed.is_set():
            if not pending:
                wake.clear()
                await wake.wait()
                continue
            if nc.is_closed or not nc.is_connected:
                break
            batch = pending[:BLOCK]
            del pending[:len(batch)]
            block, count = self._encode(batch)
            if not count:
                continue
            self.published += count
            try:
                transport.write(block)
                await transport.drain()
            except (OSError, RuntimeError) as exc:
                # Lost under the write: nats-py sees it too and closes the connection.
                logger.warning("NATS write failed: %s", str(exc) or type(exc).__name__)
                try:
                    await asyncio.wait_for(closed.wait(), FLUSH_TIMEOUT)
                except TimeoutError:
                    pass
                break
            if pending:
                # A backlog: let this turn's upstream quotes in before the next block.
                await asyncio.sleep(0)

    def _write_now(self) -> None:
        """Hand everything buffered to the socket synchronously (at cancellation)."""
        nc = self._nc
        if nc is None or not nc.is_connected or not self._pending:
            return
        try:
            while self._pending:
                batch = self._pending[:BLOCK]
                del self._pending[:len(batch)]
                block, count = self._encode(batch)
                nc._transport.write(block)
                self.published += count
        except Exception as exc:  # the socket is going away with the process
            logger.warning("NATS: last quotes not written: %r", exc)

    async def flush(self, timeout: float = FLUSH_TIMEOUT) -> bool:
        """Publish everything buffered and wait for the server's answer to a
        ping behind it; False if NATS is not connected or did not answer in time."""
        deadline = self.loop.time() + timeout
        while self._pending and self.connected and self.loop.time() < deadline:
            self._wake.set()
            await asyncio.sleep(0.001)
        nc = self._nc
        if nc is None or not self.connected:
            return False
        try:
            await nc.flush(timeout=max(0.05, deadline - self.loop.time()))
        except Exception as exc:
            logger.warning("NATS flush: %s", str(exc) or type(exc).__name__)
            return False
        return not self._pending

    async def close(self, timeout: float = FLUSH_TIMEOUT) -> None:
        """Flush, stop the writer and close the NATS connection."""
        await self.flush(timeout)
        self._closing = True
        if self._task is not None:
            self._task.cancel()
            await asyncio.gather(self._task, return_exceptions=True)
        nc = self._nc
        if nc is not None and not nc.is_closed:
            await nc.close()

    def log_counters(self, level: int = logging.INFO) -> None:
        s = self.snapshot()
        logger.log(level, "bridge counters: received %d, published %d, dropped %d, refused %d, buffered %d, "
                   "NATS reconnections %d", s["received"], s["published"], s["dropped"], s["refused"],
                   s["buffered"], s["nats_reconnections"])
        if "quotes" in s:
            logger.log(level, "upstream client: quotes %d, quote errors %d, connections opened %d, "
                       "disconnections %d", s["quotes"], s["quote_errors"], s["connections_opened"],
                       s["disconnections"])


def metric_families() -> tuple:
    """The bridge's metric families for ``quotra.metrics.register`` (which
    needs prometheus-client); a bridge with a client reports
    ``metrics.CLIENT_FAMILIES`` too, under the same name."""
    from .metrics import Family

    return (
        Family("received", "quotra_bridge_received", "counter", "Quotes the bridge took from its client."),
        Family("published", "quotra_bridge_published", "counter", "Quotes written to NATS."),
        Family("dropped", "quotra_bridge_dropped", "counter",
               "Quotes dropped, oldest first, from the full buffer while NATS was away or slow."),
        Family("refused", "quotra_bridge_refused", "counter",
               "Quotes not published: their instrument cannot be a subject token."),
        Family("buffered", "quotra_bridge_buffered", "gauge", "Quotes waiting for NATS."),
        Family("nats_connected", "quotra_bridge_nats_connected", "gauge", "1 while connected to NATS, else 0."),
        Family("nats_reconnections", "quotra_bridge_nats_reconnections", "counter",
               "NATS connections made after the first."),
        Family("nats_connect_failures", "quotra_bridge_nats_connect_failures", "counter",
               "NATS connection attempts that failed."),
    )


def register_metrics(name: str, bridge: "Bridge") -> None:
    """Report ``bridge`` (and its client) through ``quotra.metrics`` as ``client=name``."""
    from . import metrics

    families = metric_families()
    if bridge.client is not None:
        families = metrics.CLIENT_FAMILIES + families
    metrics.register(name, bridge, families)


# ---------------------------------------------------------------------------
# Consumers
# ---------------------------------------------------------------------------

async def quotes(nats_url: str = DEFAULT_NATS, instruments: Optional[Iterable[str]] = None, *,
                 subject_prefix: str = DEFAULT_PREFIX, stream: str = DEFAULT_STREAM) -> AsyncIterator[dict]:
    """Quote dicts from the bridge's stream: the last quote of each instrument
    first, then every new one, for ever (end it with ``break`` or by cancelling).

    ``instruments`` None: all of them. A name that cannot be a subject token
    raises ValueError before anything connects.
    """
    nats = _nats()
    from nats.js.api import ConsumerConfig, DeliverPolicy
    from nats.js.errors import NotFoundError

    _check_prefix(subject_prefix)
    _check_stream(stream)
    if instruments is None:
        subjects = [f"{subject_prefix}.>"]
    else:
        if isinstance(instruments, (str, bytes)):
            raise TypeError("instruments must be a collection of names, not one string")
        subjects = [f"{subject_prefix}.{check_instrument(i)}" for i in dict.fromkeys(instruments)]
        if not subjects:
            raise ValueError("give at least one instrument, or None for all")
    nc = await nats.connect(nats_url, max_reconnect_attempts=-1, reconnect_time_wait=0.5)
    try:
        js = nc.jetstream()
        delay = RETRY_FIRST
        while True:
            config = ConsumerConfig(filter_subjects=subjects) if len(subjects) > 1 else None
            try:
                sub = await js.subscribe(subjects[0], stream=stream, ordered_consumer=True, config=config,
                                         deliver_policy=DeliverPolicy.LAST_PER_SUBJECT)
                break
            except NotFoundError:
                # Started before the bridge made its stream: wait for it.
                if delay == RETRY_FIRST:
                    logger.info("NATS: no stream %s yet; waiting for the bridge to make it", stream)
                await asyncio.sleep(delay)
                delay = min(RETRY_MAX, delay * 2)
        loads = orjson.loads
        async for msg in sub.messages:
            yield loads(msg.data)
    finally:
        await nc.close()


# ---------------------------------------------------------------------------
# The command line
# ---------------------------------------------------------------------------

PROG = "quotra-bridge"


def _instruments(text: str) -> tuple[str, ...]:
    names = tuple(dict.fromkeys(part.strip() for part in text.split(",") if part.strip()))
    if not names:
        raise argparse.ArgumentTypeError("give at least one instrument, e.g. ABC,XYZ")
    for name in names:
        try:
            check_instrument(name)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None
    return names


def _count(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {text!r}")
    return value


def parse_args(argv: Optional[list[str]] = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Stream quotes from the market-data service through one Quotra client and "
                    "publish each to NATS as JSON on <prefix>.<instrument>, kept per instrument in a "
                    "JetStream stream for consumers that start late. Ends on Ctrl-C / SIGTERM.")
    p.add_argument("--url", default=None,
                   help="the upstream service's wss:// URL (default: the client's own service address)")
    p.add_argument("--ca-file", default=None,
                   help="CA certificate (PEM) the upstream's certificate is checked against "
                        "(default: SSL_CERT_FILE or the system's)")
    p.add_argument("--nats", default=DEFAULT_NATS, help=f"NATS server URL (default {DEFAULT_NATS})")
    p.add_argument("--instruments", type=_instruments, required=True,
                   help="comma-separated instruments to subscribe to and publish")
    p.add_argument("--subject-prefix", default=DEFAULT_PREFIX,
                   help=f"subjects are <prefix>.<instrument> (default {DEFAULT_PREFIX})")
    p.add_argument("--stream", default=DEFAULT_STREAM,
                   help=f"JetStream stream over <prefix>.> (default {DEFAULT_STREAM})")
    p.add_argument("--max-per-subject", type=_count, default=DEFAULT_MAX_PER_SUBJECT,
                   help=f"quotes the stream keeps per instrument (default {DEFAULT_MAX_PER_SUBJECT})")
    p.add_argument("--max-age", type=_cli.positive, default=DEFAULT_MAX_AGE,
                   help=f"seconds the stream keeps a quote (default {DEFAULT_MAX_AGE:g})")
    p.add_argument("--storage", choices=STORAGES, default="file",
                   help="where the stream keeps its quotes: file (kept across a NATS restart, the default) "
                        "or memory (made again by the bridge after a restart)")
    p.add_argument("--buffer", type=_count, default=DEFAULT_BUFFER,
                   help=f"quotes held while NATS is away; the oldest are dropped past it "
                        f"(default {DEFAULT_BUFFER})")
    p.add_argument("--metrics-port", type=int, default=None, metavar="PORT",
                   help="serve the bridge's and its client's counters as Prometheus metrics on "
                        "http://127.0.0.1:PORT/metrics (needs prometheus-client: the 'metrics' extra)")
    _cli.add_metrics_addr(p)
    p.add_argument("-v", "--verbose", action="store_true", help="log at DEBUG")
    args = p.parse_args(argv)
    try:
        _check_prefix(args.subject_prefix)
        _check_stream(args.stream)
    except ValueError as exc:
        p.error(str(exc))
    if args.metrics_port is not None and not 0 <= args.metrics_port <= 65535:
        p.error("--metrics-port must be a port number (0-65535)")
    return args


METRICS_NAME = "bridge"


def _run(args: argparse.Namespace, metrics_server: Any = None) -> int:
    from .quotra import Quotra

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    opened = 0
    try:
        client = Quotra(loop)
        if args.url is not None:
            from . import point_client

            try:
                point_client(client, args.url)
            except ValueError as exc:
                print(f"{PROG}: --url: {exc}", file=sys.stderr)
                return 2
        bridge = Bridge(args.nats, subject_prefix=args.subject_prefix, stream=args.stream,
                        max_per_subject=args.max_per_subject, max_age=args.max_age,
                        buffer=args.buffer, storage=args.storage, loop=loop, client=client)
        if metrics_server is not None:
            register_metrics(METRICS_NAME, bridge)
            logger.info("metrics at %s", _cli.metrics_url(metrics_server))
        on_quote = bridge.on_quote

        async def on_error(exc: BaseException) -> None:
            logger.warning("could not decode a quote frame: %r", exc)

        async def on_open(text: str) -> None:
            nonlocal opened
            opened += 1
            if opened == 1:
                logger.info("%s Subscribing to %s", text, ",".join(args.instruments))
                await client.subscribe(list(args.instruments))
            else:
                logger.info("%s (reconnected; the client resubscribes)", text)

        async def on_close(text: str) -> None:
            logger.info("%s", text)

        async def on_signal() -> None:
            # NATS first, then the client's own path: close frame, the wait
            # for the server's close, the loop's shutdown.
            if not await bridge.flush():
                logger.warning("NATS not flushed: %d quotes buffered", len(bridge._pending))
            await client.stop_signal_handler()

        for sig in (signal.SIGINT, signal.SIGTERM):
            loop.add_signal_handler(sig, lambda: loop.create_task(on_signal()))
        bridge.start()
        client.start_websocket(on_quote, on_error, on_open, on_close)
        loop.run_forever()  # returns when the client's shutdown stops the loop
        bridge.log_counters()
    finally:
        loop.close()
        asyncio.set_event_loop(None)
    if not opened:
        logger.error("no upstream connection was opened")
        return 1
    return 0


def main(argv: Optional[list[str]] = None) -> int:
    """Entry of ``python -m quotra.bridge`` and the ``quotra-bridge`` console script."""
    args = parse_args(argv)
    logging.basicConfig(level=logging.DEBUG if args.verbose else logging.INFO,
                        format="%(asctime)s %(levelname)s %(name)s: %(message)s", stream=sys.stderr)
    try:
        _nats()
    except ImportError as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 2
    if args.ca_file is not None:
        if not os.path.isfile(args.ca_file):
            print(f"{PROG}: no CA file {args.ca_file}", file=sys.stderr)
            return 2
        os.environ["SSL_CERT_FILE"] = args.ca_file
    ok, metrics_server = _cli.start_metrics(PROG, args.metrics_port, args.metrics_addr)
    if not ok:
        return 2
    try:
        return _run(args, metrics_server)
    except KeyboardInterrupt:  # before the handlers are installed
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    finally:
        if metrics_server is not None:
            from . import metrics

            metrics.unregister(METRICS_NAME)
        _cli.stop_metrics(metrics_server)


if __name__ == "__main__":
    sys.exit(main())
