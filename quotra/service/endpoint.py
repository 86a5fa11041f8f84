"""Where the service listens, and how a client is pointed there."""

from __future__ import annotations

from typing import Any

__all__ = ["HOST", "service_url", "point_client"]

HOST = "127.0.0.1"


def service_url(port: int, host: str = HOST) -> str:
    """The URL the real client uses for a service on ``port``: ``wss://127.0.0.1:<port>/?version=2``."""
    if ":" in host and not host.startswith("["):
        host = f"[{host}]"  # an IPv6 address
    return f"wss://{host}:{int(port)}/?version=2"


def point_client(client: Any, url: str) -> Any:
    """Point a ``quotra.quotra.Quotra`` client at ``url``; returns the client.

    The client stores its address in the private field ``_ws_url`` and offers
    no setter; this goes through the public pickle protocol instead::

        reduce = client.__reduce_cython__()   # (reconstructor, args, state)
        state = reduce[2]                     # 13 fields (+ __dict__ for a subclass)
        state = state[:12] + (url,) + state[13:]
        client.__setstate_cython__(state)

    A constructed client always has fields set, so its reduce tuple has the
    3-element form; anything else raises ``ValueError``. ``__setstate_cython__``
    stores every field again (the others with the values they already had) and
    refuses a ``str`` subclass, so ``url`` is converted to an exact ``str``.
    This is ``quotra.point_client`` (the supported way, which also checks that
    ``client`` is a client) for anything with that protocol.
    """
    from .. import _point

    if not isinstance(url, str):
        url = str(url)
    return _point(client, url)
