"""Recording quotes to Parquet and reading them back.

    quotra-record --instruments ABC,XYZ --out quotes/ --url wss://...   # from the service
    quotra-record --instruments ABC,XYZ --out quotes/ --nats nats://... # from the bridge's stream

    from quotra import record
    quotes = record.read("quotes/", instruments=["ABC"])     # dicts, in recorded order
    table = record.read("quotes/", table=True)                # a pyarrow.Table

The dataset is hive-partitioned, ``date=YYYY-MM-DD/symbol=<instrument>/``,
zstd-compressed Parquet files holding the price message's fields with their
protobuf types and ``received_ns``, the recorder's receive time. The
service replays a recording: ``quotra-service --replay quotes/``.

Needs pyarrow (the ``record`` extra: ``pip install 'quotra[record]'``).
"""

from __future__ import annotations

from typing import Any

__all__ = ["read", "iter_quotes", "main"]


def __getattr__(name: str) -> Any:
    # pyarrow is imported with the first use, not with the package.
    if name in ("read", "iter_quotes"):
        from . import reader

        return getattr(reader, name)
    if name == "main":
        from .cli import main

        return main
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
