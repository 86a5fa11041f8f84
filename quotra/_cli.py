"""What the package's command lines (quotra-demo, quotra-bridge) share: a
positive-number argument and the ``--metrics-port PORT`` option. Importing
this module needs no prometheus-client: a missing extra is reported as one
line naming it."""
from __future__ import annotations

import argparse
import math
import sys
from typing import Any, Optional


def positive(text: str) -> float:
    """argparse type: a finite number above zero."""
    value = float(text)
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text!r}")
    return value


def start_metrics(prog: str, port: Optional[int]) -> tuple[bool, Any]:
    """``(True, server)`` serving /metrics on 127.0.0.1:``port``, ``(True,
    None)`` without the option, ``(False, None)`` after one line on stderr
    when it cannot be served (the caller exits 2)."""
    if port is None:
        return True, None
    try:
        from . import metrics
    except ImportError as exc:
        print(f"{prog}: --metrics-port needs prometheus-client ({exc}); "
              f"install it with: pip install 'quotra[metrics]'", file=sys.stderr)
        return False, None
    try:
        return True, metrics.serve(port)
    except OSError as exc:
        print(f"{prog}: cannot serve metrics on 127.0.0.1:{port}: {exc}", file=sys.stderr)
        return False, None


def stop_metrics(server: Any) -> None:
    """Stops a server that ``start_metrics`` returned (None: nothing to stop)."""
    if server is not None:
        server.shutdown()
        server.server_close()
