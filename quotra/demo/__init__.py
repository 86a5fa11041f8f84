"""Live quote table: the local market-data service, a real client, a terminal view.

    python -m quotra.demo [--seconds N] [--instruments ABC,XYZ] [--rate R] [--plain]
                          [--url wss://HOST:PORT/PATH [--ca-file FILE]] [--metrics-port PORT [--metrics-addr ADDR]]
    quotra-demo ...        (the same, as the console script of an installed package)

What it does, end to end:

1. starts ``quotra.service.MarketDataService`` in a background thread: TLS on
   127.0.0.1 with a throwaway certificate authority, which this process then
   trusts through ``SSL_CERT_FILE`` (``ssl.create_default_context()`` reads it);
   with ``--url`` it starts no service and streams from that one instead
   (trusting the system's CAs, or only ``--ca-file``'s when given);
2. creates a ``quotra.quotra.Quotra`` on a new event loop (the client installs
   its SIGINT/SIGTERM handlers on that loop) and points it at the service;
   with ``--metrics-port`` the client's health is served as Prometheus
   metrics on ``http://127.0.0.1:PORT/metrics`` (or ``--metrics-addr``'s
   address) while the demo runs;
3. ``start_websocket`` with all four callbacks; the open callback subscribes to
   the instruments the first time the connection opens (on a reconnection the
   client resubscribes its whole set by itself);
4. draws a quote table (last price, change against the session open, bid/ask,
   volume, quotes per second) and the client's counters with the age of its
   last quote (``quotra.monitor``) about four times a second with plain ANSI escapes
   when stdout is a terminal, or prints a plain snapshot every ``--interval``
   seconds otherwise (pipes, CI);
5. ends when ``--seconds`` have passed, by calling ``close_websocket()``, or on
   Ctrl-C / SIGTERM through the client's own signal path. Either way the client
   logs its close, cancels every other task and stops the loop, and the demo
   exits 0.

Log lines go to stderr; the ``quotra.quotra`` logger is shown at INFO, so the
client's own lines ("WebSocket closure initiated by user interrupt.",
"Websocket disconnected.", the close-frame line) are visible.
The package holds two rooms: ``board`` (what the table shows and how it is
drawn: no client, no loop) and ``run`` (the options, the service, the client
and its loop), which imports the board.
"""

from .board import Board, plain_snapshot
from .run import main

__all__ = ["Board", "plain_snapshot", "main"]
