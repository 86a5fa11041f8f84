"""What the package's command lines (quotra-demo, quotra-bridge,
quotra-record) share: argument types (a positive number, a count, a list of
instruments) and the ``--metrics-port PORT`` / ``--metrics-addr
ADDR`` options. Importing this module needs no prometheus-client: a missing
extra is reported as one line naming it."""

from __future__ import annotations

import argparse
import math
import os
import sys
from typing import Any


def positive(text: str) -> float:
    """argparse type: a finite number above zero."""
    value = float(text)
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text!r}")
    return value


def count(text: str) -> int:
    """argparse type: a whole number, at least 1."""
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {text!r}")
    return value


def instruments(text: str) -> tuple[str, ...]:
    """argparse type: comma-separated instrument names, in their order, once each."""
    names = tuple(dict.fromkeys(part.strip() for part in text.split(",") if part.strip()))
    if not names:
        raise argparse.ArgumentTypeError("give at least one instrument, e.g. ABC,XYZ")
    return names


#: Where /metrics listens unless ``--metrics-addr`` says otherwise: this host
#: only; ``0.0.0.0`` lets a Prometheus on another host scrape it.
METRICS_ADDR = "127.0.0.1"


def add_metrics_addr(p: argparse.ArgumentParser) -> None:
    """Adds ``--metrics-addr ADDR`` (default 127.0.0.1) beside ``--metrics-port``."""
    p.add_argument(
        "--metrics-addr",
        default=METRICS_ADDR,
        metavar="ADDR",
        help="the address --metrics-port listens on (default %(default)s; "
        "0.0.0.0 for a Prometheus on another host)",
    )


def metrics_url(server: Any) -> str:
    """The /metrics URL of a server that ``start_metrics`` returned."""
    host, port = server.server_address[:2]
    return f"http://{f'[{host}]' if ':' in host else host}:{port}/metrics"


def start_metrics(prog: str, port: int | None, addr: str = METRICS_ADDR) -> tuple[bool, Any]:
    """``(True, server)`` serving /metrics on ``addr``:``port``, ``(True,
    None)`` without the option, ``(False, None)`` after one line on stderr
    when it cannot be served (the caller exits 2)."""
    if port is None:
        return True, None
    try:
        from . import metrics
    except ImportError as exc:
        # quotra.metrics names the extra to install in its message.
        print(f"{prog}: --metrics-port: {exc}", file=sys.stderr)
        return False, None
    try:
        return True, metrics.serve(port, addr)
    except (OSError, ValueError) as exc:
        # OSError: the port is taken or the address not this host's;
        # the resolver's errors (socket.gaierror) are OSErrors too.
        print(f"{prog}: cannot serve metrics on {addr}:{port}: {exc}", file=sys.stderr)
        return False, None


def stop_metrics(server: Any, name: str | None = None) -> None:
    """Stops a server that ``start_metrics`` returned (None: nothing to stop),
    first taking ``name``'s source out of the collector when given."""
    if server is not None:
        if name is not None:
            from . import metrics

            metrics.unregister(name)
        server.shutdown()
        server.server_close()


def point_at(prog: str, client: Any, url: str | None) -> bool:
    """Point ``client`` at ``--url`` (None: its own address); False after one
    line on stderr when the URL is refused."""
    if url is None:
        return True
    from . import point_client

    try:
        point_client(client, url)
    except ValueError as exc:
        print(f"{prog}: --url: {exc}", file=sys.stderr)
        return False
    return True


def use_ca_file(prog: str, path: str | None) -> bool:
    """Trust ``path``'s certificates for the upstream connection (through
    SSL_CERT_FILE, which the client's default context reads); False after one
    line on stderr when there is no such file. None: nothing to do."""
    if path is None:
        return True
    if not os.path.isfile(path):
        print(f"{prog}: no CA file {path}", file=sys.stderr)
        return False
    os.environ["SSL_CERT_FILE"] = path
    return True
