"""The recorder's defaults for reading the bridge's JetStream stream, shared by
its command line and its NATS source."""

from __future__ import annotations

__all__ = ["DEFAULT_DURABLE", "DEFAULT_PREFIX", "DEFAULT_STREAM"]

# The bridge's stream and subjects, and the consumer's name.
DEFAULT_STREAM = "QUOTES"
DEFAULT_PREFIX = "quotes"
DEFAULT_DURABLE = "quotra-record"
