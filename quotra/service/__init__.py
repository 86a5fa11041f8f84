"""A local market-data streaming service, for trying trading code, tests, demos and benchmarks.

It speaks the protocol of the real service over TLS
on 127.0.0.1 (by default), with a throwaway certificate authority:

* the client sends TEXT frames ``{"subscribe":[...]}`` / ``{"unsubscribe":[...]}``;
  anything else (garbage, other JSON, other frame types) is recorded and ignored;
* the service pushes TEXT frames ``{"message":"<base64 of a serialized
  PriceTape>"}`` for the connection's subscribed instruments: a seeded random
  walk per instrument, at ``rate`` quotes/s per connection, or ``count`` quotes
  as fast as the socket takes them (picows' pause_writing/resume_writing flow
  control is respected);
* it answers PINGs (until told not to), echoes a client's CLOSE and then
  closes the connection.

Everything it receives is recorded per connection, in order, with exact bytes
and frame type (``Connection.received``), and every connection's open and close
is an ``Event`` in ``service.events``, so tests can assert on the wire.

Use it in three ways::

    # 1. inside your own asyncio loop
    async with MarketDataService(rate=50) as svc:
        os.environ["SSL_CERT_FILE"] = svc.ca_file   # ssl.create_default_context() trusts it
        ... connect to svc.url ...
        conn, = await svc.wait_connections(1)
        await svc.wait_message(b'{"subscribe":["ABC"]}')

    # 2. in a background thread with its own loop (every method proxied,
    #    coroutines awaited there, results returned here)
    with ServiceThread(rate=50) as svc:
        ... run the client's loop in this thread ...
        svc.drop()

    # 3. from the command line (until Ctrl-C, or for --duration seconds)
    python -m quotra.service --port 8765 --rate 20 --ca-file /tmp/ca.pem --duration 60

Control from tests: ``set_answer_pings``, ``drop``, ``close`` (any code, any
reason bytes), ``send_frame`` (any frame type, any payload), ``send_quote``,
``refuse``/``accept`` (listening socket closed and reopened on the same port,
or upgrades rejected with 503), ``stop``/``start``/``restart`` (same port),
``pause_quotes``/``resume_quotes``, ``set_stream``, and the benchmark senders
``blast`` and ``blast_batched``. Waits: ``wait_connections``,
``wait_disconnected``, ``wait_message``, ``wait_subscribed``,
``wait_quotes_sent``, ``wait_for``; each takes a timeout and raises
``TimeoutError`` with what it was waiting for.

``point_client(client, url)`` points a ``quotra.quotra.Quotra`` client at a
URL (the client has no setter; this goes through its pickle protocol), and
``service_url(port)`` gives the URL the real client expects.

The modules: ``market`` (random walks and quote frames), ``tls`` (the CA and
certificates), ``endpoint`` (addresses), ``connection`` (per-connection
records), ``protocol`` (the per-connection protocol), ``senders`` (quote
streams and senders), ``controls`` (test controls and waits), ``listening``
(the listening socket and its refusals), ``server`` (``MarketDataService``,
joining those four), ``thread`` (``ServiceThread``) and ``__main__`` (the
command line).

Needs ``trustme`` (the ``service`` extra: ``pip install 'quotra[service]'``)
to make certificates; it is imported when a service is constructed, not when
this package is imported.
"""

from __future__ import annotations

from .connection import Connection, Event, Frame
from .endpoint import point_client, service_url
from .market import encode_quote
from .server import MarketDataService
from .thread import ServiceThread
from .tls import TLS_MODES

__all__ = [
    "MarketDataService",
    "ServiceThread",
    "Connection",
    "Frame",
    "Event",
    "TLS_MODES",
    "encode_quote",
    "service_url",
    "point_client",
    "main",
]


def main(argv: list[str] | None = None) -> int:
    """The command line (``python -m quotra.service``); returns the exit status."""
    # Imported here: importing the package must not import ``__main__``, or
    # ``python -m quotra.service`` would find it already imported.
    from .__main__ import main as run

    return run(argv)
