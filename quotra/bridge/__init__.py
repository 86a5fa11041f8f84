"""One upstream connection, many consumers: quotes fanned out through NATS JetStream.

    upstream service --wss--> quotra-bridge (one Quotra client)
                                   | HPUB <prefix>.<instrument>  (JSON, the quote dict's keys;
                                   |      Nats-Msg-Id <128-bit digest of the quote>,
                                   |      acknowledged)
                                   v
                              NATS server(s), JetStream stream <STREAM> over <prefix>.>
                              (keeps the latest quotes of each instrument; with republish,
                               one copy of each quote on live.<prefix>.<instrument>)
                                   |
                 +-----------------+-----------------+
                 v                 v                 v
          quotra.bridge.quotes()   any NATS client   ...   (other processes, other machines)

The bridge (``quotra-bridge`` / ``python -m quotra.bridge``) runs a ``Quotra``
client on the upstream service, with the client's own reconnection and
resubscription, and publishes every quote to ``<prefix>.<instrument>`` as a
JSON object with exactly the keys of the client's quote dict. A quote counts
as published once the stream acknowledged it (``publisher``); what was not
acknowledged when a connection ends is sent again, and the stream's duplicate
window drops what it already held, so two bridges can feed one stream. The
stream is the operator's when it exists (``stream``); the bridge makes it
when it is missing. ``quotes(nats_url, instruments)`` (``consumer``) reads
it: the last quote of every instrument first, then the live stream, resuming
where it was after an outage.

The modules: ``names`` (subjects, defaults), ``options`` (servers, TLS,
credentials) and ``auth`` (CONNECT's identity), ``wire`` (the bridge's own
NATS connection), ``publisher`` (``Bridge``) with its parts ``encode``,
``msgid``, ``acks``, ``stored`` and ``connection``, ``counters`` (snapshot,
exit line, metrics), ``stream``, ``consumer`` and ``cli`` (the command line).
"""

from .cli import main
from .consumer import quotes
from .counters import metric_families, register_metrics
from .names import (
    DEFAULT_NATS,
    DEFAULT_PREFIX,
    DEFAULT_STREAM,
    check_instrument,
    live_subject,
    subject_for,
)
from .publisher import Bridge

__all__ = [
    "Bridge",
    "quotes",
    "check_instrument",
    "subject_for",
    "live_subject",
    "metric_families",
    "register_metrics",
    "main",
    "DEFAULT_NATS",
    "DEFAULT_PREFIX",
    "DEFAULT_STREAM",
]
