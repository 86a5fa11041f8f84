"""What a ``quotra.feed.Feed`` says about itself: its counters, its
snapshot for ``quotra.metrics`` and the limits of its hand-over lag."""

from __future__ import annotations

from typing import Any

from . import _quiet, monitor
from .feed_args import MIN_LAG_THRESHOLD_S, check_seconds

__all__ = ["FeedReport"]


class FeedReport:
    """The reporting half of a feed, over its buffer and its client."""

    _buffer: _quiet.FeedBuffer
    _client: Any
    _closed: bool
    _errors: int

    def stats(self) -> dict[str, Any]:
        """The feed's counters now (see the module's documentation)."""
        counters = self._buffer.counters()
        connected = (
            self._client is not None and self._client.IS_CONNECTED.is_set() and not self._closed
        )
        return {
            "received": counters["received"],
            "delivered": counters["delivered"],
            "conflated": counters["conflated"],
            "dropped": counters["dropped"],
            "buffered": counters["buffered"],
            "errors": self._errors,
            "connected": connected,
            "lag_s": counters["lag_s"],
        }

    def lag_histogram(self) -> monitor.LagHistogram:
        """The age of the quotes when handed to the consumer, in the buckets
        of ``quotra.monitor.lag_histogram``."""
        return monitor.LagHistogram(*self._buffer.lag_histogram())

    def snapshot(self) -> dict[str, Any]:
        """``stats()`` with ``late_quotes`` and ``future_quotes`` (as handed
        over) and ``lag_histogram``: what ``quotra.metrics`` reads."""
        counters = self._buffer.counters()
        snap = self.stats()
        snap["late_quotes"] = counters["late_quotes"]
        snap["future_quotes"] = counters["future_quotes"]
        snap["lag_histogram"] = self.lag_histogram()
        return snap

    @property
    def lag_threshold(self) -> float:
        """Seconds beyond which a quote handed over is late."""
        return float(self._buffer.limits()[0])

    @property
    def future_tolerance(self) -> float:
        """Seconds a quote may be stamped ahead of this machine's clock."""
        return float(self._buffer.limits()[1])

    def set_lag_threshold(self, seconds: float) -> None:
        """Quotes handed over older than ``seconds`` (1 ms to a day) are late."""
        s = check_seconds(seconds, "lag threshold", MIN_LAG_THRESHOLD_S)
        self._buffer.set_limits(round(s * 1e9), round(self.future_tolerance * 1e9))

    def set_future_tolerance(self, seconds: float) -> None:
        """Quotes stamped more than ``seconds`` (0 to a day) ahead of this
        machine's clock are counted as ``future_quotes``, not as lag."""
        s = check_seconds(seconds, "future tolerance", 0.0)
        self._buffer.set_limits(round(self.lag_threshold * 1e9), round(s * 1e9))
