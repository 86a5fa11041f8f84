"""How a running client is doing: its counters, its connection, how long
ago its last quote arrived and how old its quotes are when they arrive.

    from quotra import monitor
    health = monitor.snapshot(client)
    if health["connected"] and (health["last_quote_age_s"] or 0) > 5:
        ...  # connected, but the feed has gone quiet

``snapshot(client)`` reads native fields of a ``quotra.quotra.Quotra`` (or
of an instance of a subclass) and returns a new dict; anything else raises
``TypeError``. It takes no lock and touches nothing the quote path uses, so
calling it every second from the client's loop (or any thread holding the
GIL) costs next to nothing. The keys:

``quotes``
    quotes handed to the message callback (its coroutine scheduled);
``quote_errors``
    quote frames that did not become a quote: the exception went to the
    error callback, was dropped for want of one, or left the frame handler
    (a payload that is not a JSON object);
``frames``, ``bytes``
    data frames received (TEXT, BINARY, CONTINUATION) and their payload
    bytes; a message sent in fragments counts each fragment;
``connections_opened``, ``disconnections``
    connections that opened, and that ended;
``connect_failures``
    connection attempts that failed, whatever the cause (refused, reset, a
    certificate refused, a time-out, an error status, a closed upgrade...):
    each one was logged as "Error occured on connect :: ...";
``connected``
    True while a connection is open;
``last_quote_age_s``
    seconds since the last quote (a monotonic clock with a resolution of a
    few milliseconds), ``None`` before the first;
``subscriptions``
    instruments in the subscription set;
``lag_s``
    the age of the most recent quote when it was decoded: this machine's
    wall clock minus the quote's ``exchange_ts_ns`` (never below 0), so it
    includes any offset between the two clocks; ``None`` before the first quote with a
    timestamp (quotes without one, or with 0, are not counted);
``late_quotes``
    quotes older than the client's lag threshold when decoded;
``future_quotes``
    quotes stamped further ahead of this machine's clock than the future
    tolerance (default 1 s; ``set_future_tolerance``): a clock is wrong, and
    they are not counted as lag (a quote ahead by less counts as a lag of 0);
``frames_after_close``
    messages read and dropped, not decoded, once the client's end began
    (``close_websocket()`` after the start, a signal, the shutdown): the
    server's close answer waits behind them, so a consumer far behind does
    not hold the close.

Lag. A client logs a WARNING with the word "behind" on its logger
(``quotra.quotra``) when a quote arrives older than its threshold (default
1 s; ``set_lag_threshold``), at most one such line every 5 s, saying how
old and how many arrived late since the last such line; an INFO line once
quotes are back under it; and one WARNING, once, for quotes from the
future. ``lag_histogram(client)`` gives the lags counted in buckets, from
1 ms to 30 s; ``quotra.metrics`` exports them as
``quotra_quote_lag_seconds``. The quote path pays one clock read and a few
increments for all of it.

The counters start at zero when the client is made, are never pickled and
never go back; an unpickled client starts again at zero.
"""

from __future__ import annotations

from typing import Any, NamedTuple, TypedDict, cast

from . import _monitor
from ._monitor import snapshot as _snapshot

__all__ = [
    "Snapshot",
    "FIELDS",
    "snapshot",
    "LagHistogram",
    "lag_histogram",
    "lag_threshold",
    "set_lag_threshold",
    "future_tolerance",
    "set_future_tolerance",
]


class Snapshot(TypedDict):
    quotes: int
    quote_errors: int
    frames: int
    bytes: int
    connections_opened: int
    disconnections: int
    connect_failures: int
    connected: bool
    last_quote_age_s: float | None
    subscriptions: int
    lag_s: float | None
    late_quotes: int
    future_quotes: int
    frames_after_close: int


#: The keys of a snapshot, in order.
FIELDS: tuple[str, ...] = tuple(Snapshot.__annotations__)


def snapshot(client: Any) -> Snapshot:
    """The health of ``client`` now (see the module's documentation)."""
    return cast(Snapshot, _snapshot(client))


class LagHistogram(NamedTuple):
    """The lags counted: ``bounds`` the buckets' upper bounds in seconds,
    ``counts`` the quotes in each bucket (not cumulative; one more than the
    bounds, the last for lags beyond 30 s), ``sum_s`` their sum in seconds
    (a lag below zero, a clock offset, counts as 0)."""

    bounds: tuple[float, ...]
    counts: tuple[int, ...]
    sum_s: float


def lag_histogram(client: Any) -> LagHistogram:
    """The lag of ``client``'s quotes so far, in buckets."""
    return LagHistogram(*_monitor.lag_histogram(client))


def lag_threshold(client: Any) -> float:
    """The age in seconds beyond which ``client``'s quotes are late."""
    return _monitor.lag_threshold(client)


def set_lag_threshold(client: Any, seconds: float) -> None:
    """Quotes older than ``seconds`` (1 ms to a day) when decoded are late
    for ``client``: ``TypeError`` for a bool or a non-number, ``ValueError``
    outside the bounds."""
    _monitor.set_lag_threshold(client, seconds)


def future_tolerance(client: Any) -> float:
    """How far ahead of this machine's clock, in seconds, ``client``'s quotes
    may be stamped before its clock counts as wrong."""
    return _monitor.future_tolerance(client)


def set_future_tolerance(client: Any, seconds: float) -> None:
    """Quotes stamped more than ``seconds`` (0 to a day) ahead of this
    machine's clock count as ``future_quotes`` for ``client``, not as lag;
    its own setting, apart from the lag threshold."""
    _monitor.set_future_tolerance(client, seconds)
