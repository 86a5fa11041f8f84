"""quotra: a streaming market-data client for asyncio.

The client is the extension module ``quotra.quotra`` (``Quotra``); beside
it: ``quotra.monitor`` (the client's health), ``quotra.metrics`` (that
health for Prometheus), ``quotra.service`` (a local service to try it
against) and ``quotra.demo``. Importing the package imports none of them.
"""

from __future__ import annotations

from typing import Any, TypeVar
from urllib.parse import urlsplit

__all__ = ["point_client"]

C = TypeVar("C")


def point_client(client: C, url: str) -> C:
    """Point ``client`` (a ``quotra.quotra.Quotra``, or an instance of a
    subclass) at ``url``, a websocket URL (``wss://host:port/path?query``;
    ``ws://`` for a service without TLS); returns the client.

    Its next connection attempt goes there: call it before
    ``start_websocket``, or while connected to move the reconnections. A
    ``wss`` service's certificate must be trusted by
    ``ssl.create_default_context()`` (for a private CA, point the
    ``SSL_CERT_FILE`` environment variable at its certificate).

    ``TypeError`` for anything that is not a client; ``ValueError`` for a
    URL the client could not connect to (another scheme, no host, a fragment).
    """
    from .quotra import Quotra

    if not isinstance(client, Quotra):
        raise TypeError(
            f"point_client() needs a quotra.quotra.Quotra client, not {type(client).__name__}"
        )
    return _point(client, url)


def _check_url(url: Any) -> str:
    if not isinstance(url, str):
        raise TypeError(f"the URL is a str, not {type(url).__name__}")
    try:
        parts = urlsplit(url)
        host = parts.hostname
        _ = parts.port  # a port that is not a number raises ValueError
    except ValueError as e:
        raise ValueError(f"not a websocket URL: {url!r} ({e})") from None
    if parts.scheme not in ("wss", "ws"):
        raise ValueError(f"not a websocket URL (wss:// or ws://): {url!r}")
    if not host:
        raise ValueError(f"no host in {url!r}")
    if parts.fragment:
        raise ValueError(f"a websocket URL has no fragment: {url!r}")
    return "".join((url,))  # an exact str: the client refuses a subclass


def _point(client: C, url: str) -> C:
    """The address is the client's ``_ws_url``, which only its pickle
    protocol reaches: the state with the address replaced is stored back."""
    url = _check_url(url)
    reduced = client.__reduce_cython__()  # type: ignore[attr-defined]
    if not (isinstance(reduced, tuple) and len(reduced) == 3 and isinstance(reduced[2], tuple)):
        raise ValueError(
            "point_client: expected (reconstructor, args, state) from __reduce_cython__(), "
            f"got {type(reduced).__name__} of length {len(reduced) if isinstance(reduced, tuple) else '?'}"
        )
    state = reduced[2]
    if len(state) < 13:
        raise ValueError(f"point_client: state tuple has {len(state)} fields, expected at least 13")
    client.__setstate_cython__(state[:12] + (url,) + state[13:])  # type: ignore[attr-defined]
    return client
