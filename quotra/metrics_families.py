"""The metric families quotra.metrics reads from its sources' snapshots:
``Family``, the client's (``CLIENT_FAMILIES``) and a feed's
(``FEED_FAMILIES``), and the names of the two lag histograms."""

from __future__ import annotations

import math
import re
from dataclasses import dataclass

__all__ = [
    "Family",
    "CLIENT_FAMILIES",
    "FEED_FAMILIES",
    "LAG_HISTOGRAM",
    "LAG_HISTOGRAM_HELP",
    "FEED_LAG_HISTOGRAM",
    "FEED_LAG_HISTOGRAM_HELP",
    "LAST_QUOTE_TIMESTAMP",
]

_NAME = re.compile(r"[a-zA-Z_:][a-zA-Z0-9_:]*\Z")


@dataclass(frozen=True)
class Family:
    """One metric family read from a snapshot.

    ``key``: the snapshot's key; ``name``: the metric name (a counter's
    without ``_total``, which the exposition adds; a trailing ``_total`` given
    here is dropped); ``kind``: ``"counter"`` or ``"gauge"``;
    ``documentation``: the HELP text; ``missing``: the value exported when the
    key's value is None (None: no sample then). A key absent from a snapshot
    gives no sample. Booleans are exported as 1 and 0.
    """

    key: str
    name: str
    kind: str
    documentation: str
    missing: float | None = None

    def __post_init__(self) -> None:
        if self.kind not in ("counter", "gauge"):
            raise ValueError(
                f"Family {self.name!r}: kind must be 'counter' or 'gauge', not {self.kind!r}"
            )
        name = self.name
        if self.kind == "counter" and name.endswith("_total"):
            name = name[: -len("_total")]
            object.__setattr__(self, "name", name)
        if not _NAME.match(name):
            raise ValueError(f"not a valid metric name: {self.name!r}")


#: The wall-clock time of the last quote, for alerts and dashboards that
#: compare it with ``time()`` (no sample before the first quote).
LAST_QUOTE_TIMESTAMP = Family(
    "last_quote_timestamp_s",
    "quotra_last_quote_timestamp_seconds",
    "gauge",
    "Unix time of the last quote received.",
)

CLIENT_FAMILIES: tuple[Family, ...] = (
    Family("quotes", "quotra_quotes", "counter", "Quotes handed to the message callback."),
    Family(
        "quote_errors",
        "quotra_quote_errors",
        "counter",
        "Quote frames that failed to decode or to reach the message callback.",
    ),
    Family("frames", "quotra_frames", "counter", "Websocket data frames received."),
    Family("bytes", "quotra_bytes", "counter", "Payload bytes of the data frames received."),
    Family("connections_opened", "quotra_connections_opened", "counter", "Connections opened."),
    Family("disconnections", "quotra_disconnections", "counter", "Connections that ended."),
    Family(
        "connect_failures", "quotra_connect_failures", "counter", "Connection attempts that failed."
    ),
    Family("connected", "quotra_connected", "gauge", "1 while a connection is open, else 0."),
    Family(
        "last_quote_age_s",
        "quotra_last_quote_age_seconds",
        "gauge",
        "Seconds since the last quote; +Inf before the first.",
        missing=math.inf,
    ),
    LAST_QUOTE_TIMESTAMP,
    Family(
        "subscriptions", "quotra_subscriptions", "gauge", "Instruments in the subscription set."
    ),
    Family(
        "lag_s",
        "quotra_last_quote_lag_seconds",
        "gauge",
        "Age in seconds of the latest quote when it was decoded (now minus its exchange_ts_ns).",
    ),
    Family(
        "late_quotes",
        "quotra_late_quotes",
        "counter",
        "Quotes older than the client's lag threshold when decoded.",
    ),
)

#: The histogram every client source gives, from its native bucket counts.
LAG_HISTOGRAM = "quotra_quote_lag_seconds"
LAG_HISTOGRAM_HELP = "Age in seconds of the quotes when decoded (now minus their exchange_ts_ns)."
FEED_FAMILIES: tuple[Family, ...] = (
    Family("received", "quotra_feed_received", "counter", "Quotes the feed's client buffered."),
    Family("delivered", "quotra_feed_delivered", "counter", "Quotes handed to the consumer."),
    Family(
        "conflated",
        "quotra_feed_conflated",
        "counter",
        "Quotes replaced by a newer one of their instrument before the consumer took them.",
    ),
    Family("dropped", "quotra_feed_dropped", "counter", "Quotes dropped from a full buffer."),
    Family("buffered", "quotra_feed_buffered", "gauge", "Quotes waiting for the consumer."),
    Family("errors", "quotra_feed_errors", "counter", "Quote frames that failed."),
    Family("connected", "quotra_feed_connected", "gauge", "1 while the feed is connected."),
    Family(
        "lag_s",
        "quotra_feed_last_lag_seconds",
        "gauge",
        "Age in seconds of the quote last handed to the consumer, when handed over.",
    ),
    Family(
        "late_quotes",
        "quotra_feed_late_quotes",
        "counter",
        "Quotes older than the feed's lag threshold when handed to the consumer.",
    ),
)

#: The histogram of a feed's hand-over lag.
FEED_LAG_HISTOGRAM = "quotra_feed_lag_seconds"
FEED_LAG_HISTOGRAM_HELP = "Age in seconds of the quotes when handed to the feed's consumer (now minus their exchange_ts_ns)."
