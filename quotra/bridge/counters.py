"""The bridge's counters: the snapshot, the line logged at exit, the metrics."""

from __future__ import annotations

import collections
import logging
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any

from .by_instrument import by_instrument, differences

__all__ = ["BridgeCounters", "metric_families", "register_metrics"]

if TYPE_CHECKING:
    from ..metrics import Family

logger = logging.getLogger("quotra.bridge")


def log_upstream(log: logging.Logger, level: int, s: Mapping[str, Any]) -> None:
    """The upstream client's counters, when ``s`` (a snapshot) holds them."""
    if "quotes" in s:
        log.log(
            level,
            "upstream client: quotes %d, quote errors %d, connections opened %d, disconnections %d",
            s["quotes"],
            s["quote_errors"],
            s["connections_opened"],
            s["disconnections"],
        )


class BridgeCounters:
    """Counting, as a part of ``Bridge``: every quote received is exactly one of
    published, dropped, refused, rejected, buffered or in flight."""

    # The bridge's state this part reads (made in Bridge.__init__).
    client: Any
    subject_prefix: str
    _inflight: dict[int, tuple[bytes, bytes]]
    _pending: list[dict[str, Any]]
    _retry: collections.deque[tuple[bytes, bytes]]
    _later: list[tuple[float, tuple[bytes, bytes]]]

    if TYPE_CHECKING:

        @property
        def connected(self) -> bool: ...

    def __init__(self) -> None:
        self.published = 0  # quotes the stream acknowledged (duplicates included)
        self.duplicates = 0  # of those, the ones the stream already had
        self.dropped = 0  # oldest quotes dropped from a full buffer
        self.refused = 0  # not published: no subject, no JSON, the server's permissions
        self._refused_by: collections.Counter[str] = collections.Counter()  # refused by the server
        self.rejected: dict[str, int] = {}  # quotes the stream refused, by reason
        # By instrument: published and rejected by the head of their command,
        # dropped and refused by name (``by_instrument``).
        # (A plain dict: a Counter's item increment costs over twice as much.)
        self._published_by: dict[bytes, int] = {}
        self._rejected_by: collections.Counter[bytes] = collections.Counter()
        self._unpublished_by: collections.Counter[str] = collections.Counter()
        self.resent = 0  # quotes sent again after a connection ended unacknowledged
        self.connections = 0  # NATS connections made (the first and every reconnection)
        self.connect_failures = 0
        self._dropped_logged = 0
        self._drop_log_at = 0.0
        self._reject_log_at = 0.0
        self._encode_log_at = 0.0

    @property
    def reconnections(self) -> int:
        return max(0, self.connections - 1)

    @property
    def in_flight(self) -> int:
        """Quotes written to NATS whose acknowledgement has not come (yet)."""
        return len(self._inflight) + len(self._later)

    @property
    def buffered(self) -> int:
        """Quotes waiting to be written: new ones and those to send again."""
        return len(self._pending) + len(self._retry)

    @property
    def received(self) -> int:
        """Quotes the client handed over."""
        return (
            self.published
            + self.dropped
            + self.refused
            + sum(self.rejected.values())
            + self.buffered
            + self.in_flight
        )

    def counts_by_instrument(self) -> tuple[dict[str, int], dict[str, int]]:
        """``(received, published)`` by instrument, as the snapshot has them."""
        # Each queue copied in one step: a metrics scrape reads from another thread.
        entries = list(self._retry) + list(self._inflight.values())
        entries += [entry for _, entry in list(self._later)]
        return by_instrument(
            self.subject_prefix,
            self._published_by,
            self._rejected_by,
            self._unpublished_by,
            list(self._pending),
            entries,
        )

    def snapshot(self) -> dict[str, Any]:
        """The bridge's counters now; with a ``client``, its health
        (``quotra.monitor.snapshot``) first."""
        snap: dict[str, Any] = {}
        if self.client is not None:
            from .. import monitor

            snap.update(monitor.snapshot(self.client))
        received_by, published_by = self.counts_by_instrument()
        snap.update(
            received=self.received,
            published=self.published,
            dropped=self.dropped,
            refused=self.refused,
            refused_by_instrument=dict(self._refused_by),
            buffered=self.buffered,
            nats_connected=self.connected,
            nats_reconnections=self.reconnections,
            nats_connect_failures=self.connect_failures,
            in_flight=self.in_flight,
            resent=self.resent,
            rejected=sum(self.rejected.values()),
            rejected_by_reason=dict(self.rejected),
            duplicates=self.duplicates,
            received_by_instrument=received_by,
            published_by_instrument=published_by,
        )
        return snap

    def log_counters(self, level: int = logging.INFO) -> None:
        s = self.snapshot()
        reasons = "".join(f", rejected {n} ({why})" for why, n in s["rejected_by_reason"].items())
        reasons += differences(s["received_by_instrument"], s["published_by_instrument"])
        logger.log(
            level,
            "bridge counters: received %d, published %d, dropped %d, refused %d, buffered %d, "
            "NATS reconnections %d, in flight %d, resent %d, rejected %d, duplicates %d%s",
            s["received"],
            s["published"],
            s["dropped"],
            s["refused"],
            s["buffered"],
            s["nats_reconnections"],
            s["in_flight"],
            s["resent"],
            s["rejected"],
            s["duplicates"],
            reasons,
        )
        log_upstream(logger, level, s)


def metric_families() -> tuple[Family, ...]:
    """The bridge's metric families for ``quotra.metrics.register`` (which
    needs prometheus-client); a bridge with a client reports
    ``metrics.CLIENT_FAMILIES`` too, under the same name."""
    from ..metrics import Family

    return (
        Family(
            "received",
            "quotra_bridge_received",
            "counter",
            "Quotes the bridge took from its client.",
        ),
        Family(
            "published", "quotra_bridge_published", "counter", "Quotes the stream acknowledged."
        ),
        Family(
            "dropped",
            "quotra_bridge_dropped",
            "counter",
            "Quotes dropped, oldest first, from the full buffer while NATS was away or slow.",
        ),
        Family(
            "refused",
            "quotra_bridge_refused",
            "counter",
            "Quotes not published: their instrument cannot be a subject token, they cannot be "
            "encoded as JSON, or the server does not let the bridge publish their subject.",
        ),
        Family("buffered", "quotra_bridge_buffered", "gauge", "Quotes waiting for NATS."),
        Family(
            "nats_connected",
            "quotra_bridge_nats_connected",
            "gauge",
            "1 while connected to NATS, else 0.",
        ),
        Family(
            "nats_reconnections",
            "quotra_bridge_nats_reconnections",
            "counter",
            "NATS connections made after the first.",
        ),
        Family(
            "nats_connect_failures",
            "quotra_bridge_nats_connect_failures",
            "counter",
            "NATS connection attempts that failed.",
        ),
        Family(
            "in_flight", "quotra_bridge_in_flight", "gauge", "Quotes written, not yet acknowledged."
        ),
        Family(
            "resent",
            "quotra_bridge_resent",
            "counter",
            "Quotes sent again after a connection ended before their acknowledgement.",
        ),
        Family(
            "rejected",
            "quotra_bridge_rejected",
            "counter",
            "Quotes the stream refused (store full, ...).",
        ),
        Family(
            "duplicates",
            "quotra_bridge_duplicates",
            "counter",
            "Acknowledged quotes the stream already held (sent again, or by another bridge).",
        ),
    )


class _WithLag:
    """A bridge as a metrics source that also gives its client's quote-lag
    histogram (``quotra_quote_lag_seconds``), read at scrape time."""

    def __init__(self, bridge: Any):
        self.bridge = bridge

    def snapshot(self) -> dict[str, Any]:
        from .. import metrics, monitor

        snap: dict[str, Any] = self.bridge.snapshot()
        # The key under which quotra.metrics takes a histogram from a snapshot.
        snap[metrics._LAG_KEY] = monitor.lag_histogram(self.bridge.client)
        return snap


def register_metrics(name: str, bridge: Any) -> None:
    """Report ``bridge`` (and its client, with its quote-lag histogram)
    through ``quotra.metrics`` as ``client=name``."""
    from .. import metrics

    families = metric_families()
    if bridge.client is not None:
        metrics.register(name, _WithLag(bridge), metrics.CLIENT_FAMILIES + families)
        return
    metrics.register(name, bridge, families)
