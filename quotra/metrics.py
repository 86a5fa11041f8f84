"""Prometheus metrics of quotra clients, and of anything else that reports
a snapshot of its counters.

    from quotra import metrics
    metrics.register("feed-a", client)     # a quotra.quotra.Quotra, or a subclass's instance
    server = metrics.serve(9108)            # GET http://127.0.0.1:9108/metrics
    ...
    metrics.unregister("feed-a")
    server.shutdown(); server.server_close()

Nothing runs per quote: at each scrape the collector reads every registered
source's snapshot (``quotra.monitor.snapshot`` for a client) and turns it
into samples labelled ``client="<name>"`` (a ``quotra.feed.Feed``: its
``snapshot()``, as ``FEED_FAMILIES`` and the histogram
``quotra_feed_lag_seconds`` of the quotes' age when handed to its consumer,
beside buffered, dropped and conflated). The client families:

=================================== ======= ==============================
``quotra_quotes_total``             counter quotes handed to the callback
``quotra_quote_errors_total``       counter quote frames that failed
``quotra_frames_total``             counter data frames received
``quotra_bytes_total``              counter their payload bytes
``quotra_connections_opened_total`` counter connections opened
``quotra_disconnections_total``     counter connections ended
``quotra_connect_failures_total``   counter connection attempts that failed
``quotra_connected``                gauge   1 while connected, else 0
``quotra_last_quote_age_seconds``   gauge   seconds since the last quote
                                            (+Inf before the first)
``quotra_subscriptions``            gauge   instruments subscribed
``quotra_last_quote_lag_seconds``   gauge   age of the latest quote when
                                            decoded (no sample before one)
``quotra_late_quotes_total``        counter quotes older than the lag
                                            threshold when decoded
``quotra_quote_lag_seconds``        histogram their age when decoded,
                                            buckets from 1 ms to 30 s
=================================== ======= ==============================

The histogram is read from the client's native bucket counts
(``quotra.monitor.lag_histogram``), so the quote path pays nothing for a
scrape. An alert on quotes arriving late, for example::

    histogram_quantile(0.99, rate(quotra_quote_lag_seconds_bucket[1m])) > 0.5

Beside them, ``quotra_build_info`` (a gauge of 1 labelled ``version``,
``picows`` and ``python``) says which build runs in the process.

Extension point: other components report through the same collector.
``register(name, source, families)`` takes any object with a
``snapshot()`` method returning a dict, and the ``Family`` list saying which
of its keys become which metric::

    BRIDGE = (
        metrics.Family("published", "quotra_bridge_published", "counter", "Quotes published."),
        metrics.Family("dropped", "quotra_bridge_dropped", "counter", "Quotes dropped."),
    )
    metrics.register("bridge-a", bridge, BRIDGE)

For a client, ``families`` are read in addition to ``CLIENT_FAMILIES`` (a
subclass that keeps counters of its own can return them from ``snapshot()``:
the client's are read with ``quotra.monitor.snapshot``, the extra ones from
the source's ``snapshot()``). A source that reports both, say a bridge that
merges its client's snapshot into its own, passes ``CLIENT_FAMILIES +
BRIDGE``. A metric name means one family: registering it again with another
kind or help text is an error.

Needs ``prometheus-client`` (the ``metrics`` extra:
``pip install 'quotra[metrics]'``); without it, importing this module raises
an ``ImportError`` that says so.
"""

from __future__ import annotations

import importlib.metadata
import logging
import math
import platform
import threading
import time
from collections.abc import Callable, Iterable, Iterator, Mapping
from typing import Any, cast

try:
    from prometheus_client import REGISTRY, start_http_server
    from prometheus_client.core import (
        CounterMetricFamily,
        GaugeMetricFamily,
        HistogramMetricFamily,
        Metric,
    )
    from prometheus_client.registry import CollectorRegistry
except ImportError as exc:
    raise ImportError(
        f"quotra.metrics needs prometheus-client ({exc}): pip install 'quotra[metrics]'",
        name=exc.name,
    ) from exc

from . import monitor
from .metrics_families import (
    CLIENT_FAMILIES,
    FEED_FAMILIES,
    FEED_LAG_HISTOGRAM,
    FEED_LAG_HISTOGRAM_HELP,
    LAG_HISTOGRAM,
    LAG_HISTOGRAM_HELP,
    LAST_QUOTE_TIMESTAMP,
    Family,
)

__all__ = [
    "Family",
    "CLIENT_FAMILIES",
    "FEED_FAMILIES",
    "Collector",
    "COLLECTOR",
    "register",
    "unregister",
    "registered",
    "serve",
    "BuildInfo",
    "BUILD_INFO",
]

logger = logging.getLogger("quotra.metrics")

LABEL = "client"


#: The snapshot keys under which a reader passes its histograms on.
_LAG_KEY = "__lag_histogram__"
_FEED_LAG_KEY = "lag_histogram"


def _is_client(source: Any) -> bool:
    from .quotra import Quotra

    return isinstance(source, Quotra)


def _reader(
    source: Any, extra: tuple[Family, ...]
) -> tuple[Callable[[], Mapping[str, Any]], tuple[Family, ...]]:
    """How to read ``source`` at scrape time, and the families it gives."""
    if _is_client(source):
        own = getattr(source, "snapshot", None) if extra else None
        if extra and not callable(own):
            raise TypeError(
                "extra families for a client need a snapshot() method on it to read them from"
            )
        own_read = cast(Callable[[], Mapping[str, Any]], own)

        def read() -> Mapping[str, Any]:
            values: dict[str, Any] = dict(monitor.snapshot(source))
            if extra:
                values.update(own_read())
            values[_LAG_KEY] = monitor.lag_histogram(source)
            return values

        return read, CLIENT_FAMILIES + extra
    from .feed import Feed

    if isinstance(source, Feed):
        return source.snapshot, FEED_FAMILIES + extra
    own = getattr(source, "snapshot", None)
    if not callable(own):
        raise TypeError(
            f"a metrics source is a quotra.quotra.Quotra client or has a snapshot() method; "
            f"{type(source).__name__} is neither"
        )
    if not extra:
        raise ValueError("a source that is not a client needs its families")
    return own, extra


def _value(family: Family, snap: Mapping[str, Any]) -> float | None:
    if family.key not in snap:
        if family is LAST_QUOTE_TIMESTAMP and snap.get("last_quote_age_s") is not None:
            # A client's health gives the age; the time is the scrape's less it.
            return time.time() - float(snap["last_quote_age_s"])
        return None
    v = snap[family.key]
    if v is None:
        return family.missing
    return float(v)


class Collector:
    """Reads the registered sources' snapshots at each scrape.

    One instance, ``COLLECTOR``, serves the module's functions and joins
    prometheus_client's default registry on the first ``register``; make
    another and ``registry.register()`` it for a registry of your own.
    Thread-safe: sources may come and go while a scrape runs.
    """

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._sources: dict[str, tuple[Callable[[], Mapping[str, Any]], tuple[Family, ...]]] = {}
        self._families: dict[str, Family] = {}  # by metric name, in order of first registration

    def register(self, name: str, source: Any, families: Iterable[Family] = ()) -> None:
        """Report ``source`` under the label ``client=name``.

        ``source``: a client, or any object with ``snapshot() -> dict``;
        ``families``: what to read from that dict (for a client: in addition
        to ``CLIENT_FAMILIES``). ``ValueError`` for a name already registered
        or a family that contradicts one registered before; ``TypeError``
        for a source that is neither.
        """
        if not isinstance(name, str) or not name:
            raise ValueError(f"a source's name is a non-empty str, not {name!r}")
        extra = tuple(families)
        for f in extra:
            if not isinstance(f, Family):
                raise TypeError(
                    f"families are quotra.metrics.Family objects, not {type(f).__name__}"
                )
        read, fams = _reader(source, extra)
        with self._lock:
            if name in self._sources:
                raise ValueError(f"{name!r} is registered already (unregister it first)")
            for f in fams:
                known = self._families.get(f.name)
                if known is not None and (known.kind, known.documentation) != (
                    f.kind,
                    f.documentation,
                ):
                    raise ValueError(
                        f"metric {f.name!r} is registered already as another family: {known}"
                    )
            for f in fams:
                self._families.setdefault(f.name, f)
            self._sources[name] = (read, fams)

    def unregister(self, name: str) -> bool:
        """Stop reporting ``name``; False when it was not registered."""
        with self._lock:
            return self._sources.pop(name, None) is not None

    def registered(self) -> list[str]:
        with self._lock:
            return list(self._sources)

    def describe(self) -> list[Metric]:
        # The families change as sources come and go: nothing to check at
        # registration in a registry.
        return []

    def collect(self) -> Iterator[Metric]:
        with self._lock:
            sources = list(self._sources.items())
            families = list(self._families.values())
        out: dict[str, CounterMetricFamily | GaugeMetricFamily] = {}
        for f in families:
            cls = CounterMetricFamily if f.kind == "counter" else GaugeMetricFamily
            out[f.name] = cls(f.name, f.documentation, labels=[LABEL])
        lag = HistogramMetricFamily(LAG_HISTOGRAM, LAG_HISTOGRAM_HELP, labels=[LABEL])
        feed_lag = HistogramMetricFamily(
            FEED_LAG_HISTOGRAM, FEED_LAG_HISTOGRAM_HELP, labels=[LABEL]
        )
        for name, (read, fams) in sources:
            try:
                snap = read()
                values = [(f, _value(f, snap)) for f in fams]
                hist = snap.get(_LAG_KEY)
                feed_hist = snap.get(_FEED_LAG_KEY)
            except Exception:
                # One broken source must not take the others' metrics with it.
                logger.exception("metrics source %r failed to give a snapshot", name)
                continue
            for f, v in values:
                if v is not None:
                    out[f.name].add_metric([name], v)
            if isinstance(hist, monitor.LagHistogram):
                lag.add_metric([name], _buckets(hist), hist.sum_s)
            if isinstance(feed_hist, monitor.LagHistogram):
                feed_lag.add_metric([name], _buckets(feed_hist), feed_hist.sum_s)
        made: list[Metric] = [*out.values(), lag, feed_lag]
        # A family without samples (its sources all gone) is left out.
        return iter([m for m in made if m.samples])


def _buckets(hist: monitor.LagHistogram) -> list[tuple[str, float]]:
    """Cumulative (le, count) pairs, +Inf last, as the exposition has them."""
    out: list[tuple[str, float]] = []
    total = 0
    for bound, count in zip(hist.bounds + (math.inf,), hist.counts):
        total += count
        out.append(("+Inf" if bound == math.inf else repr(bound), float(total)))
    return out


COLLECTOR = Collector()


def _version(dist: str) -> str:
    try:
        return importlib.metadata.version(dist)
    except importlib.metadata.PackageNotFoundError:
        return "unknown"


class BuildInfo:
    """``quotra_build_info``: a gauge of 1 labelled with what runs in this
    process (``version`` of quotra, ``picows``, ``python``), the usual way to
    see which build runs where. Joins the default registry with ``COLLECTOR``;
    ``registry.register(BuildInfo())`` for a registry of your own."""

    def describe(self) -> list[Metric]:
        return []

    def collect(self) -> Iterator[Metric]:
        info = GaugeMetricFamily(
            "quotra_build_info",
            "The quotra build, picows and Python of this process.",
            labels=["version", "picows", "python"],
        )
        info.add_metric([_version("quotra"), _version("picows"), platform.python_version()], 1)
        yield info


BUILD_INFO = BuildInfo()
_joined: CollectorRegistry | None = None
_join_lock = threading.Lock()


def _join_default_registry() -> None:
    global _joined
    with _join_lock:
        if _joined is None:
            REGISTRY.register(COLLECTOR)
            REGISTRY.register(BUILD_INFO)
            _joined = REGISTRY


def register(name: str, source: Any, families: Iterable[Family] = ()) -> None:
    """``COLLECTOR.register``; the collector joins the default registry on the first call."""
    COLLECTOR.register(name, source, families)
    _join_default_registry()


def unregister(name: str) -> bool:
    """``COLLECTOR.unregister``."""
    return COLLECTOR.unregister(name)


def registered() -> list[str]:
    """The names registered with ``COLLECTOR``."""
    return COLLECTOR.registered()


def serve(port: int, addr: str = "127.0.0.1", registry: CollectorRegistry = REGISTRY) -> Any:
    """Serve ``registry`` (by default the one ``register`` reports to, with
    ``quotra_build_info``) on ``http://addr:port/metrics`` from a daemon
    thread; returns the server (``server.shutdown()`` then
    ``server.server_close()`` stop it, ``server.server_port`` is the port,
    useful with ``port=0``). Binds to 127.0.0.1 unless told otherwise:
    ``addr="0.0.0.0"`` for a Prometheus on another host."""
    if registry is REGISTRY:
        _join_default_registry()
    server, _thread = start_http_server(port, addr=addr, registry=registry)
    return server
