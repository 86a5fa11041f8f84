"""The command line: ``quotra-bridge`` / ``python -m quotra.bridge``."""

from __future__ import annotations

import argparse
import asyncio
import logging
import signal
import sys
from collections.abc import Coroutine
from typing import Any

from .. import _cli
from .auth import check_identity
from .counters import register_metrics
from .names import (
    DEFAULT_BUFFER,
    DEFAULT_MAX_AGE,
    DEFAULT_MAX_PER_SUBJECT,
    DEFAULT_NATS,
    DEFAULT_PREFIX,
    DEFAULT_STREAM,
    STORAGES,
    check_instrument,
    check_prefix,
    check_stream,
    nats,
    servers,
)
from .options import add_arguments, from_args
from .publisher import Bridge
from .stream import StreamError

__all__ = ["main", "parse_args"]

logger = logging.getLogger("quotra.bridge")

PROG = "quotra-bridge"
METRICS_NAME = "bridge"
# After the loop stopped: how long the answers to the quotes written as it
# closed are waited for.
SETTLE = 1.0


def _instruments(text: str) -> tuple[str, ...]:
    names = _cli.instruments(text)
    for name in names:
        try:
            check_instrument(name)
        except ValueError as exc:
            raise argparse.ArgumentTypeError(str(exc)) from None
    return names


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Stream quotes from the market-data service through one Quotra client and "
        "publish each to NATS as JSON on <prefix>.<instrument>, kept per instrument in a "
        "JetStream stream for consumers that start late. Ends on Ctrl-C / SIGTERM.",
    )
    p.add_argument(
        "--url",
        default=None,
        help="the upstream service's wss:// URL (default: the client's own service address)",
    )
    p.add_argument(
        "--ca-file",
        default=None,
        help="CA certificate (PEM) the upstream's certificate is checked against "
        "(default: SSL_CERT_FILE or the system's)",
    )
    p.add_argument(
        "--nats",
        default=DEFAULT_NATS,
        help=f"NATS server URL, or several comma-separated (the nodes of a cluster: the bridge "
        f"fails over to the next) (default {DEFAULT_NATS})",
    )
    p.add_argument(
        "--instruments",
        type=_instruments,
        required=True,
        help="comma-separated instruments to subscribe to and publish",
    )
    p.add_argument(
        "--subject-prefix",
        default=DEFAULT_PREFIX,
        help=f"subjects are <prefix>.<instrument> (default {DEFAULT_PREFIX})",
    )
    p.add_argument(
        "--stream",
        default=DEFAULT_STREAM,
        help=f"JetStream stream over <prefix>.> (default {DEFAULT_STREAM})",
    )
    p.add_argument(
        "--max-per-subject",
        type=_cli.count,
        default=DEFAULT_MAX_PER_SUBJECT,
        help=f"quotes the stream keeps per instrument (default {DEFAULT_MAX_PER_SUBJECT})",
    )
    p.add_argument(
        "--max-age",
        type=_cli.positive,
        default=DEFAULT_MAX_AGE,
        help=f"seconds the stream keeps a quote (default {DEFAULT_MAX_AGE:g})",
    )
    p.add_argument(
        "--storage",
        choices=STORAGES,
        default="file",
        help="where the stream keeps its quotes: file (kept across a NATS restart, the default) "
        "or memory (made again by the bridge after a restart)",
    )
    p.add_argument(
        "--republish",
        action="store_true",
        help="when the bridge makes the stream, have it republish every quote it "
        "stores once on live.<prefix>.<instrument> (costs the server about a "
        "quarter of its time per quote)",
    )
    p.add_argument(
        "--replicas",
        type=_cli.count,
        default=1,
        help="replicas of the stream when the bridge makes it (3 on a 3-node cluster: the "
        "stream lives through a node's death); default 1",
    )
    p.add_argument(
        "--previous-ids-until",
        type=int,
        default=0,
        metavar="NS",
        help="quotes whose exchange time (ns) is before NS carry the id form of earlier "
        "bridges: a rolling upgrade beside them (see docs/bridge.md)",
    )
    p.add_argument(
        "--name",
        default=METRICS_NAME,
        help=f"the client label of the bridge's metrics (default {METRICS_NAME})",
    )
    p.add_argument(
        "--buffer",
        type=_cli.count,
        default=DEFAULT_BUFFER,
        help=f"quotes held while NATS is away; the oldest are dropped past it "
        f"(default {DEFAULT_BUFFER})",
    )
    p.add_argument(
        "--metrics-port",
        type=int,
        default=None,
        metavar="PORT",
        help="serve the bridge's and its client's counters as Prometheus metrics on "
        "http://ADDR:PORT/metrics (needs prometheus-client: the 'metrics' extra)",
    )
    _cli.add_metrics_addr(p)
    add_arguments(p)
    p.add_argument("-v", "--verbose", action="store_true", help="log at DEBUG")
    args = p.parse_args(argv)
    try:
        check_prefix(args.subject_prefix)
        check_stream(args.stream)
        servers(args.nats)
        args.nats_options = from_args(args, args.nats)
        check_identity(args.nats_options)
    except (ValueError, OSError) as exc:  # OptionsError and AuthError included
        p.error(str(exc))
    if args.previous_ids_until < 0:
        p.error("--previous-ids-until is an exchange time in ns (>= 0)")
    if not args.name or any(c.isspace() for c in args.name):
        p.error("--name must be a non-empty label without whitespace")
    if args.metrics_port is not None and not 0 <= args.metrics_port <= 65535:
        p.error("--metrics-port must be a port number (0-65535)")
    return args


def _run(args: argparse.Namespace, metrics_server: Any = None) -> int:
    from ..quotra import Quotra

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    opened = 0
    try:
        client = Quotra(loop)
        if not _cli.point_at(PROG, client, args.url):
            return 2
        bridge = Bridge(
            args.nats,
            subject_prefix=args.subject_prefix,
            stream=args.stream,
            max_per_subject=args.max_per_subject,
            max_age=args.max_age,
            buffer=args.buffer,
            storage=args.storage,
            loop=loop,
            client=client,
            republish=args.republish,
            options=args.nats_options,
            replicas=args.replicas,
            previous_ids_until=args.previous_ids_until,
        )
        if metrics_server is not None:
            register_metrics(args.name, bridge)
            logger.info("metrics at %s", _cli.metrics_url(metrics_server))
        # A plain function: the quote is appended, no task made for it.
        on_quote = bridge.client_callback()

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
                logger.warning(
                    "NATS did not acknowledge every quote in time: %d buffered, %d in flight",
                    bridge.buffered,
                    bridge.in_flight,
                )
            await client.stop_signal_handler()

        refused: list[BaseException] = []
        failed: list[BaseException] = []
        # The loop keeps only weak references to its tasks: these are kept
        # here until they end, so that a stop cannot be collected half-way.
        stopping: set[asyncio.Task[None]] = set()

        def stop_with(coro: Coroutine[Any, Any, None]) -> None:
            task = loop.create_task(coro)
            stopping.add(task)
            task.add_done_callback(stopping.discard)

        def on_bridge_end(task: asyncio.Task[None]) -> None:
            # The stream cannot take the quotes, or the bridge broke: no use
            # streaming from upstream.
            exc = None if task.cancelled() else task.exception()
            if exc is None:
                return
            if isinstance(exc, StreamError):
                refused.append(exc)
            else:
                logger.error("the bridge stopped publishing", exc_info=exc)
                failed.append(exc)
            stop_with(client.stop_signal_handler())

        for sig in (signal.SIGINT, signal.SIGTERM):
            loop.add_signal_handler(sig, lambda: stop_with(on_signal()))
        bridge.start().add_done_callback(on_bridge_end)
        client.start_websocket(on_quote, on_error, on_open, on_close)
        loop.run_forever()  # returns when the client's shutdown stops the loop
        unsent = loop.run_until_complete(bridge.settle(SETTLE))
        bridge.log_counters()
    finally:
        loop.close()
        asyncio.set_event_loop(None)
    if refused:
        print(f"{PROG}: {refused[0]}", file=sys.stderr)
        return 2
    if failed:
        return 1
    if unsent:
        logger.error(
            "%d quotes were not published (%d buffered, %d in flight, NATS %s)",
            unsent,
            bridge.buffered,
            bridge.in_flight,
            "connected" if bridge.connected else "not connected",
        )
        return 1
    if not opened:
        logger.error("no upstream connection was opened")
        return 1
    return 0


def main(argv: list[str] | None = None) -> int:
    """Entry of ``python -m quotra.bridge`` and the ``quotra-bridge`` console script."""
    args = parse_args(argv)
    logging.basicConfig(
        level=logging.DEBUG if args.verbose else logging.INFO,
        format="%(asctime)s %(levelname)s %(name)s: %(message)s",
        stream=sys.stderr,
    )
    try:
        nats()
    except ImportError as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 2
    if not _cli.use_ca_file(PROG, args.ca_file):
        return 2
    ok, metrics_server = _cli.start_metrics(PROG, args.metrics_port, args.metrics_addr)
    if not ok:
        return 2
    try:
        return _run(args, metrics_server)
    except KeyboardInterrupt:  # before the handlers are installed
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    finally:
        _cli.stop_metrics(metrics_server, args.name)


if __name__ == "__main__":
    sys.exit(main())
