"""The bridge's names and defaults: subjects, streams, server lists."""

from __future__ import annotations

import re
from types import ModuleType
from typing import Any
from urllib.parse import urlsplit, urlunsplit

DEFAULT_NATS = "nats://127.0.0.1:4222"
DEFAULT_PREFIX = "quotes"
DEFAULT_STREAM = "QUOTES"
DEFAULT_MAX_PER_SUBJECT = 100
DEFAULT_MAX_AGE = 24 * 3600.0
DEFAULT_BUFFER = 100_000
# Long enough to cover a failover and the re-sending behind it; every id of the
# window costs the server about 235 bytes of memory.
DEFAULT_DUPLICATE_WINDOW = 10.0
# Where the stream republishes what it stored, when the operator asks for it:
# one copy of each quote, however many bridges publish it
# (``live.<prefix>.<instrument>``).
LIVE_PREFIX = "live"
STORAGES = ("file", "memory")
RETRY_FIRST = 0.1
RETRY_MAX = 2.0

_BAD_TOKEN = re.compile(r"[.*>\s]")
_BAD_STREAM = re.compile(r"[.*>\s/\\]")
_MISSING = "the bridge needs nats-py: pip install 'quotra[bridge]'"


def check_instrument(name: Any) -> str:
    """``name`` if it can be one subject token; ValueError (TypeError) otherwise."""
    if not isinstance(name, str):
        raise TypeError(f"an instrument is a str, not {type(name).__name__}")
    if not name or _BAD_TOKEN.search(name):
        raise ValueError(
            f"instrument {name!r} cannot be a NATS subject token "
            "(empty, or contains '.', '*', '>' or whitespace)"
        )
    return name


def check_prefix(prefix: str) -> str:
    if (
        not isinstance(prefix, str)
        or not prefix
        or any(not tok or _BAD_TOKEN.search(tok) for tok in prefix.split("."))
    ):
        raise ValueError(
            f"subject prefix {prefix!r} must be dot-separated tokens without '*', '>' or whitespace"
        )
    return prefix


def check_stream(name: str) -> str:
    if not isinstance(name, str) or not name or _BAD_STREAM.search(name):
        raise ValueError(
            f"stream name {name!r} must be non-empty, without '.', '*', '>', slashes or whitespace"
        )
    return name


def subject_for(prefix: str, instrument: str) -> str:
    """The subject the bridge publishes ``instrument``'s quotes on."""
    return f"{check_prefix(prefix)}.{check_instrument(instrument)}"


def live_subject(prefix: str) -> str:
    """The de-duplicated live subjects the bridge's stream republishes to."""
    return f"{LIVE_PREFIX}.{check_prefix(prefix)}.>"


def servers(given: Any) -> list[str]:
    """``nats://a:4222,nats://b:4222`` (or a list of URLs) as a list of URLs;
    ValueError for an empty one."""
    parts = given.split(",") if isinstance(given, str) else list(given)
    urls = [str(p).strip() for p in parts if str(p).strip()]
    if not urls:
        raise ValueError("give at least one NATS server URL")
    return [u if "://" in u else f"nats://{u}" for u in urls]


def redact(url: str) -> str:
    """``url`` as it may be shown (logs, snapshots, metrics): any user
    information it carries (``user:password@``, a token) replaced by ``***``.
    A list of URLs (``a,b``) is redacted item by item."""
    if "," in url:
        return ",".join(redact(part) for part in url.split(","))
    try:
        parts = urlsplit(url if "://" in url else f"nats://{url}")
    except ValueError:
        return "<unreadable URL>"
    if "@" not in parts.netloc:
        return url
    host = parts.netloc.rpartition("@")[2]
    shown = urlunsplit(parts._replace(netloc=f"***@{host}"))
    return shown if "://" in url else shown.split("://", 1)[1]


def nats() -> ModuleType:
    try:
        import nats
    except ImportError:
        raise ImportError(_MISSING) from None
    return nats
