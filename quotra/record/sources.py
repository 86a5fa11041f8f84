"""Where recorded quotes come from: the upstream service through a quotra
client (``record_direct``, ``direct.py``), or the bridge's JetStream stream
through a durable consumer (``NatsSource``, ``nats_source.py``)."""

from __future__ import annotations

from .counters import Counters, metric_families
from .defaults import DEFAULT_DURABLE, DEFAULT_PREFIX, DEFAULT_STREAM
from .direct import record_direct, report_unfinished
from .nats_source import NatsSource
from .waits import install_stop

__all__ = [
    "Counters",
    "NatsSource",
    "record_direct",
    "report_unfinished",
    "install_stop",
    "metric_families",
    "DEFAULT_STREAM",
    "DEFAULT_PREFIX",
    "DEFAULT_DURABLE",
]
