"""How a running client is doing: its counters, its connection and how long
ago its last quote arrived.

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
    instruments in the subscription set.

The counters start at zero when the client is made, are never pickled and
never go back; an unpickled client starts again at zero.
"""

from __future__ import annotations

from typing import Any, Optional, TypedDict, cast

from ._monitor import snapshot as _snapshot

__all__ = ["Snapshot", "FIELDS", "snapshot"]


class Snapshot(TypedDict):
    quotes: int
    quote_errors: int
    frames: int
    bytes: int
    connections_opened: int
    disconnections: int
    connect_failures: int
    connected: bool
    last_quote_age_s: Optional[float]
    subscriptions: int


#: The keys of a snapshot, in order.
FIELDS: tuple[str, ...] = tuple(Snapshot.__annotations__)


def snapshot(client: Any) -> Snapshot:
    """The health of ``client`` now (see the module's documentation)."""
    return cast(Snapshot, _snapshot(client))
