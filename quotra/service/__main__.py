"""The local market-data service on its own: ``python -m quotra.service``.

Prints one JSON line (``url``, ``port``, ``ca_file``) on stdout once it
listens and, at the end, one with ``connections``, ``quotes_sent`` and
``quotes_sent_by_instrument``; the same in words on stderr. Runs until Ctrl-C (or SIGTERM), or for
``--duration`` seconds.
"""

from __future__ import annotations

import argparse
import asyncio
import logging
import math
import os
import signal
import sys

import orjson

from .endpoint import HOST
from .listening import report_loop_errors
from .tls import TLS_MODES, WRONG_HOST_NAME, trustme_missing

__all__ = ["main"]


def _prog() -> str:
    name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    return "python -m quotra.service" if name in ("", "-c", "__main__.py") else name


def _instruments(text: str) -> tuple[str, ...]:
    names = tuple(dict.fromkeys(part.strip() for part in text.split(",") if part.strip()))
    if not names:
        raise argparse.ArgumentTypeError("give at least one instrument, e.g. ABC,XYZ")
    return names


def _parse_args(argv: list[str] | None) -> argparse.Namespace:
    p = argparse.ArgumentParser(
        prog=_prog(),
        description="Local market-data websocket service (TLS) for quotra: "
        'accepts {"subscribe":[...]} / {"unsubscribe":[...]} and streams '
        '{"message":"<base64 PriceTape>"} quotes. Prints one JSON line with '
        "url, port and ca_file once listening; point SSL_CERT_FILE at ca_file.",
    )
    p.add_argument(
        "--host",
        default=HOST,
        help=f"address to listen on, named in the URL and the certificate (default {HOST})",
    )
    p.add_argument("--port", type=int, default=0, help="port to listen on (default 0: a free port)")
    p.add_argument(
        "--rate",
        type=float,
        default=10.0,
        help="quotes per second per connection, over its subscribed instruments (default 10)",
    )
    p.add_argument(
        "--count",
        type=int,
        default=None,
        help="quotes per connection in total (with --rate 0: as fast as possible)",
    )
    p.add_argument(
        "--instruments",
        type=_instruments,
        default=None,
        help="comma-separated instruments to quote (default: any a client subscribes to)",
    )
    p.add_argument(
        "--ca-file",
        default=None,
        help="write the CA certificate (PEM) here (default: a temporary file, removed at exit)",
    )
    p.add_argument(
        "--duration",
        type=float,
        default=None,
        help="seconds to run before stopping (default: until Ctrl-C)",
    )
    p.add_argument("--seed", type=int, default=0, help="seed of the price random walks (default 0)")
    p.add_argument(
        "--tls",
        choices=TLS_MODES,
        default="trusted",
        help="certificate to present (default trusted)",
    )
    p.add_argument(
        "--stamp", action="store_true", help="put the send time in sent_at_ns of every quote"
    )
    p.add_argument(
        "--shared-market",
        action="store_true",
        help="one market for every connection: the same quotes, same exchange_ts_ns, to all",
    )
    p.add_argument(
        "--fragment-size",
        type=int,
        default=None,
        metavar="BYTES",
        help="send each quote in TEXT + CONTINUATION frames of at most BYTES (default: whole frames)",
    )
    p.add_argument(
        "--close-after",
        type=float,
        default=None,
        metavar="SECONDS",
        help="close every connection (CLOSE 1001) SECONDS after it opened, as a restarting server does",
    )
    p.add_argument(
        "--replay",
        default=None,
        metavar="PATH",
        help="send the quotes of a recording (quotra-record's directory, or one of its files) instead "
        "of the random walk, once a client subscribes (needs pyarrow: the 'record' extra)",
    )
    p.add_argument(
        "--speed",
        type=float,
        default=1.0,
        help="with --replay: 1 the recorded pace (default), 2 twice as fast, 0 as fast as the socket takes",
    )
    p.add_argument("-v", "--verbose", action="store_true", help="log connections and events")
    args = p.parse_args(argv)
    if not (args.speed >= 0 and math.isfinite(args.speed)):
        p.error("--speed must be a number >= 0")
    if args.replay is not None and not os.path.exists(args.replay):
        p.error(f"no recording at {args.replay}")
    if args.duration is not None and not (args.duration > 0 and math.isfinite(args.duration)):
        p.error("--duration must be a positive number of seconds")
    if args.rate < 0 or not math.isfinite(args.rate):
        p.error("--rate must be >= 0")
    if args.fragment_size is not None and args.fragment_size < 1:
        p.error("--fragment-size must be a positive number of bytes")
    if args.close_after is not None and not (
        args.close_after > 0 and math.isfinite(args.close_after)
    ):
        p.error("--close-after must be a positive number of seconds")
    if not 0 <= args.port <= 65535:
        p.error("--port must be in 0..65535")
    args.prog = p.prog
    return args


def _trust_advice(mode: str, ca_file: str) -> str:
    """What a client must do with ``ca_file`` for the certificate ``mode`` presents."""
    if mode == "untrusted":
        return (
            "--tls untrusted presents a certificate from a CA that is not in "
            f"{ca_file}: a client refuses it whatever it trusts (the mode is for trying that refusal)"
        )
    if mode == "wrong_host":
        return (
            f"--tls wrong_host presents a certificate for {WRONG_HOST_NAME}: a client that trusts "
            f"{ca_file} (SSL_CERT_FILE={ca_file}) refuses it for its host name (the mode is for trying that)"
        )
    if mode == "expired":
        return (
            f"--tls expired presents an expired certificate: a client that trusts {ca_file} "
            f"(SSL_CERT_FILE={ca_file}) refuses it as expired (the mode is for trying that)"
        )
    return f"a client must trust the CA certificate {ca_file} (SSL_CERT_FILE={ca_file})"


async def _serve(args: argparse.Namespace) -> int:
    from .server import MarketDataService

    try:
        svc = MarketDataService(
            host=args.host,
            port=args.port,
            rate=None if args.replay else args.rate or None,
            count=None if args.replay else args.count,
            seed=args.seed,
            instruments=args.instruments,
            tls=args.tls,
            ca_file=args.ca_file,
            stamp_sent_at=args.stamp,
            fragment_size=args.fragment_size,
            close_after=args.close_after,
            shared_market=args.shared_market,
            record_sent=0,
            keep_ended=False,  # a long run keeps nothing of the connections that ended
        )
    except OSError as exc:
        print(f"{args.prog}: cannot write the CA certificate: {exc}", file=sys.stderr)
        return 1
    loop = asyncio.get_running_loop()
    report_loop_errors(loop)
    done = asyncio.Event()
    for sig in (signal.SIGINT, signal.SIGTERM):
        try:
            loop.add_signal_handler(sig, done.set)
        except (NotImplementedError, RuntimeError):  # pragma: no cover
            pass
    try:
        try:
            await svc.start()
        except OSError as exc:  # the address is taken or cannot be had
            print(
                f"{args.prog}: cannot listen on {args.host} port {args.port}: {exc}",
                file=sys.stderr,
            )
            return 1
        print(
            orjson.dumps({"url": svc.url, "port": svc.port, "ca_file": svc.ca_file}).decode(),
            flush=True,
        )
        if args.replay is not None:
            from .replay import start_replay

            start_replay(svc, args)
        until = "Ctrl-C" if args.duration is None else f"{args.duration:g} s or Ctrl-C"
        print(
            f"{args.prog}: listening on {svc.url} until {until}\n"
            f"{args.prog}: {_trust_advice(args.tls, svc.ca_file)}",
            file=sys.stderr,
            flush=True,
        )
        try:
            await asyncio.wait_for(done.wait(), args.duration)
        except TimeoutError:
            pass
        await svc.stop()
        print(
            orjson.dumps(
                {
                    "connections": svc.accepted,
                    "quotes_sent": svc.quotes_sent,
                    "quotes_sent_by_instrument": svc.quotes_sent_by_instrument,
                }
            ).decode(),
            flush=True,
        )
        print(
            f"{args.prog}: stopped after {svc.accepted} connection(s) and {svc.quotes_sent} quote(s)",
            file=sys.stderr,
            flush=True,
        )
        return 0
    finally:
        svc.close_files()


def main(argv: list[str] | None = None) -> int:
    """Run the service from the command line; returns the exit status."""
    args = _parse_args(argv)
    if trustme_missing(args.prog):
        return 2
    if args.replay is not None:
        try:
            import pyarrow  # noqa: F401
        except ImportError:
            print(
                f"{args.prog}: --replay needs pyarrow: pip install 'quotra[record]'",
                file=sys.stderr,
            )
            return 2
    logging.basicConfig(
        level=logging.INFO if args.verbose else logging.WARNING,
        format="%(asctime)s %(name)s %(levelname)s %(message)s",
        stream=sys.stderr,
    )
    try:
        return asyncio.run(_serve(args))
    except KeyboardInterrupt:  # before the loop's own handler was in place
        return 130


if __name__ == "__main__":
    sys.exit(main())
