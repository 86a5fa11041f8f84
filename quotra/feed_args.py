"""What ``quotra.feed`` checks before it connects: instruments, sizes,
durations, and the trust a ``ca_file`` adds to one feed's connections."""

from __future__ import annotations

import math
import os
import ssl
from typing import Any

__all__ = [
    "check_instruments",
    "check_seconds",
    "check_ca_file",
    "tls_context",
    "MIN_LAG_THRESHOLD_S",
]

#: The shortest lag threshold taken: the lag histogram's first bound.
MIN_LAG_THRESHOLD_S = 0.001
#: The longest threshold or tolerance taken: a day.
MAX_SECONDS = 86400.0


def check_instruments(instruments: Any, what: str = "instruments") -> list[str]:
    if isinstance(instruments, (str, bytes)) or not isinstance(instruments, (list, tuple)):
        raise TypeError(f"{what} is a list of instrument symbols, not {type(instruments).__name__}")
    for i in instruments:
        if not isinstance(i, str) or not i:
            raise ValueError(f"{what}: an instrument symbol is a non-empty str, not {i!r}")
    return list(instruments)


def check_seconds(value: Any, what: str, lowest: float) -> float:
    """``value`` as seconds between ``lowest`` and a day: ``TypeError`` for a
    bool or anything but an int or a float, ``ValueError`` outside (a NaN
    included)."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"the {what} is a number of seconds, not {type(value).__name__}")
    if not lowest <= value <= MAX_SECONDS:
        raise ValueError(
            f"the {what} is at least {lowest:g} and at most 86400 seconds, not {value!r}"
        )
    return float(value)


def check_ca_file(ca_file: Any) -> str | None:
    if ca_file is None:
        return None
    if not isinstance(ca_file, str):
        raise TypeError(f"ca_file is a path (str), not {type(ca_file).__name__}")
    if not os.path.isfile(ca_file):
        raise ValueError(f"no CA file {ca_file!r}")
    return os.path.abspath(ca_file)


def tls_context(ca_file: str) -> ssl.SSLContext:
    """The default trust plus the certificates of ``ca_file``, read now, once:
    the context of one feed's client, which no other client sees."""
    ctx = ssl.create_default_context()
    try:
        ctx.load_verify_locations(cafile=ca_file)
    except FileNotFoundError:
        raise ValueError(f"no CA file {ca_file!r} (it was there when the feed was made)") from None
    except (ssl.SSLError, OSError) as exc:
        raise ValueError(f"ca_file {ca_file!r} holds no certificate to trust ({exc})") from None
    return ctx


def check_timeout(value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 < value < math.inf:
        raise ValueError(f"open_timeout is a positive number of seconds, not {value!r}")
    return float(value)


def check_maxsize(maxsize: Any) -> int:
    if isinstance(maxsize, bool) or not isinstance(maxsize, int):
        raise TypeError(f"maxsize is an int, not {type(maxsize).__name__}")
    if maxsize < 1:
        raise ValueError(f"maxsize is at least 1, not {maxsize}")
    return maxsize
