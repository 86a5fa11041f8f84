"""``quotra-record``: the command line of the recorder."""

from __future__ import annotations

import argparse
import asyncio
import logging
import os
import re
import sys
from typing import Any

from .. import _cli
from ..bridge.options import add_arguments, from_args
from .defaults import DEFAULT_DURABLE, DEFAULT_PREFIX, DEFAULT_STREAM

__all__ = ["main", "parse_args", "PROG"]

logger = logging.getLogger("quotra.record")

PROG = "quotra-record"
METRICS_NAME = "record"
_BAD_TOKEN = re.compile(r"[.*>\s]")
ROLL_DIRECT = 300.0
# From the stream a file's end is also its acknowledgement: what a crash or a
# deleted consumer costs is at most this much of the stream read again.
ROLL_NATS = 30.0


def parse_args(argv: list[str] | None = None) -> argparse.Namespace:
    p = argparse.ArgumentParser(
        prog=PROG,
        description="Record quotes into a Parquet dataset (DIR/date=YYYY-MM-DD/symbol=<instrument>/*.parquet, "
        "zstd), from the upstream service through a Quotra client, or with --nats from the "
        "bridge's JetStream stream through a durable consumer. Ends on Ctrl-C / SIGTERM, "
        "finishing the open files.",
    )
    p.add_argument(
        "--instruments",
        type=_cli.instruments,
        required=True,
        help="comma-separated instruments to record",
    )
    p.add_argument(
        "--out", default=None, help="the dataset's directory (made if missing; required)"
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
        default=None,
        metavar="URL",
        help="record from the bridge's stream on this NATS server instead of the upstream service",
    )
    p.add_argument(
        "--stream",
        default=DEFAULT_STREAM,
        help=f"with --nats: the stream (default {DEFAULT_STREAM})",
    )
    p.add_argument(
        "--subject-prefix",
        default=DEFAULT_PREFIX,
        help=f"with --nats: subjects are <prefix>.<instrument> (default {DEFAULT_PREFIX})",
    )
    p.add_argument(
        "--durable",
        default=DEFAULT_DURABLE,
        help=f"with --nats: the durable consumer's name (default {DEFAULT_DURABLE})",
    )
    p.add_argument(
        "--roll-seconds",
        type=_cli.positive,
        default=None,
        help=f"finish a file after this many seconds (default {ROLL_DIRECT:g}; with --nats "
        f"{ROLL_NATS:g}: what a deleted consumer or a crash reads again)",
    )
    p.add_argument(
        "--roll-rows",
        type=_cli.count,
        default=1_000_000,
        help="finish a file after this many quotes (default 1000000)",
    )
    p.add_argument(
        "--row-group",
        type=_cli.count,
        default=16_384,
        metavar="ROWS",
        help="quotes per Parquet row group (default 16384; at most --roll-rows)",
    )
    p.add_argument(
        "--metrics-port",
        type=int,
        default=None,
        metavar="PORT",
        help="serve the recorder's counters as Prometheus metrics on "
        "http://ADDR:PORT/metrics (needs prometheus-client: the 'metrics' extra)",
    )
    p.add_argument(
        "--verify",
        default=None,
        metavar="DIR",
        help="with --nats: compare the recording in DIR with the stream, sequence by sequence, "
        "and print per instrument what is recorded, in the stream, missing and recorded twice "
        "(exit 0 only when they agree); --out is then not needed",
    )
    _cli.add_metrics_addr(p)
    add_arguments(p)
    p.add_argument("-v", "--verbose", action="store_true", help="log at DEBUG")
    args = p.parse_args(argv)
    if args.verify is not None and args.nats is None:
        p.error("--verify needs --nats")
    if args.out is None and args.verify is None:
        p.error("the following arguments are required: --out")
    if args.roll_seconds is None:
        args.roll_seconds = ROLL_NATS if args.nats is not None else ROLL_DIRECT
    args.nats_options = None
    if args.nats is not None:
        try:
            args.nats_options = from_args(args, args.nats)
        except ValueError as exc:
            p.error(f"--nats: {exc}")
        for text in (*args.instruments, *args.subject_prefix.split(".")):
            if not text or _BAD_TOKEN.search(text):
                p.error(
                    f"{text!r} cannot be a NATS subject token (empty, or contains '.', '*', '>' or whitespace)"
                )
        if (
            not args.stream
            or re.search(r"[.*>\s/\\]", args.stream)
            or re.search(r"[.*>\s/\\]", args.durable)
        ):
            p.error(
                "--stream and --durable must be non-empty, without '.', '*', '>', slashes or whitespace"
            )
    elif args.url is None and args.ca_file is not None and not os.path.isfile(args.ca_file):
        p.error(f"no CA file {args.ca_file}")
    if args.metrics_port is not None and not 0 <= args.metrics_port <= 65535:
        p.error("--metrics-port must be a port number (0-65535)")
    return args


def _register(counters: Any, metrics_server: Any) -> None:
    if metrics_server is None:
        return
    from .. import metrics
    from .counters import metric_families

    families = metric_families(client=counters.client is not None)
    if counters.client is not None:
        families = metrics.CLIENT_FAMILIES + families
    metrics.register(METRICS_NAME, counters, families)
    logger.info("metrics at %s", _cli.metrics_url(metrics_server))


def _run_direct(args: argparse.Namespace, metrics_server: Any) -> int:
    from ..quotra import Quotra
    from .counters import Counters
    from .sources import record_direct
    from .writer import DatasetWriter

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    try:
        client = Quotra(loop)  # its SIGINT/SIGTERM handlers close the connection and stop the loop
        if not _cli.point_at(PROG, client, args.url):
            return 2
        writer = DatasetWriter(
            args.out,
            roll_seconds=args.roll_seconds,
            roll_rows=args.roll_rows,
            row_group=args.row_group,
        )
        counters = Counters(writer, client)
        _register(counters, metrics_server)
        opened = record_direct(loop, client, writer, list(args.instruments))
        counters.log()
    finally:
        loop.close()
        asyncio.set_event_loop(None)
    if not opened:
        logger.error("no upstream connection was opened")
        return 1
    return 1 if writer.lost else 0


async def _run_nats(args: argparse.Namespace, metrics_server: Any) -> int:
    from .sources import NatsSource, install_stop
    from .writer import DatasetWriter

    writer = DatasetWriter(
        args.out, roll_seconds=args.roll_seconds, roll_rows=args.roll_rows, row_group=args.row_group
    )
    source = NatsSource(
        writer,
        args.nats,
        list(args.instruments),
        stream=args.stream,
        subject_prefix=args.subject_prefix,
        durable=args.durable,
        options=args.nats_options,
    )
    install_stop(asyncio.get_running_loop(), source.stop)
    _register(source.counters, metrics_server)
    try:
        return await source.run()
    finally:
        source.counters.log()


def _verify(args: argparse.Namespace) -> int:
    from .verify import report, verify

    if not os.path.isdir(args.verify):
        print(f"{PROG}: no recording at {args.verify}", file=sys.stderr)
        return 2
    try:
        verdict = asyncio.run(
            verify(
                args.verify,
                args.nats_options,
                list(args.instruments),
                stream=args.stream,
                subject_prefix=args.subject_prefix,
            )
        )
    except Exception as exc:
        from ..bridge.consumer import describe

        print(f"{PROG}: --verify: {describe(exc)}", file=sys.stderr)
        return 2
    report(verdict, sys.stdout)
    return 0 if verdict.agree else 1


def main(argv: list[str] | None = None) -> int:
    """Entry of ``python -m quotra.record`` and the ``quotra-record`` console script."""
    args = parse_args(argv)
    logging.basicConfig(
        level=logging.DEBUG if args.verbose else logging.INFO,
        format="%(asctime)s %(levelname)s %(name)s: %(message)s",
        stream=sys.stderr,
    )
    try:
        import pyarrow  # noqa: F401
    except ImportError:
        print(f"{PROG}: the recorder needs pyarrow: pip install 'quotra[record]'", file=sys.stderr)
        return 2
    if args.nats is not None:
        try:
            import nats  # noqa: F401
        except ImportError:
            print(f"{PROG}: --nats needs nats-py: pip install 'quotra[bridge]'", file=sys.stderr)
            return 2
    from .layout import NAME_MAX, partition_name

    for name in args.instruments:
        size = len(partition_name(name).encode())
        if size > NAME_MAX:
            print(
                f"{PROG}: instrument {name[:40]!r}... cannot be recorded: its directory name would be "
                f"{size} bytes, more than the {NAME_MAX} a file system allows",
                file=sys.stderr,
            )
            return 2
    if not _cli.use_ca_file(PROG, args.ca_file):
        return 2
    if args.verify is not None:
        return _verify(args)
    ok, metrics_server = _cli.start_metrics(PROG, args.metrics_port, args.metrics_addr)
    if not ok:
        return 2
    try:
        if args.nats is not None:
            return asyncio.run(_run_nats(args, metrics_server))
        return _run_direct(args, metrics_server)
    except KeyboardInterrupt:  # before the handlers are installed
        print(f"{PROG}: interrupted", file=sys.stderr)
        return 130
    except OSError as exc:
        print(f"{PROG}: {exc}", file=sys.stderr)
        return 1
    finally:
        _cli.stop_metrics(metrics_server, METRICS_NAME)


if __name__ == "__main__":
    sys.exit(main())
