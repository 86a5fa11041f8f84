"""What a recording looks like on disk: every file's schema (the quote's fields
with their protobuf types, then the receive time) and the hive-style
directory of each date and instrument. The writer, the reader and the
service's replay share it."""

from __future__ import annotations

import os
from typing import Any
from urllib.parse import quote as _quote

import pyarrow as pa
from google.protobuf.descriptor import FieldDescriptor

from ..pricetape_pb2 import PriceTape

__all__ = [
    "SCHEMA",
    "QUOTE_FIELDS",
    "RECEIVED",
    "STREAM_SEQ",
    "STREAM_SCHEMA",
    "DATE_KEY",
    "SYMBOL_KEY",
    "NAME_MAX",
    "partition_dir",
    "partition_name",
]

_ARROW_TYPES = {
    FieldDescriptor.TYPE_STRING: pa.string(),
    FieldDescriptor.TYPE_BYTES: pa.binary(),
    FieldDescriptor.TYPE_BOOL: pa.bool_(),
    FieldDescriptor.TYPE_DOUBLE: pa.float64(),
    FieldDescriptor.TYPE_FLOAT: pa.float32(),
    FieldDescriptor.TYPE_INT64: pa.int64(),
    FieldDescriptor.TYPE_SINT64: pa.int64(),
    FieldDescriptor.TYPE_SFIXED64: pa.int64(),
    FieldDescriptor.TYPE_INT32: pa.int32(),
    FieldDescriptor.TYPE_SINT32: pa.int32(),
    FieldDescriptor.TYPE_SFIXED32: pa.int32(),
    FieldDescriptor.TYPE_UINT64: pa.uint64(),
    FieldDescriptor.TYPE_FIXED64: pa.uint64(),
    FieldDescriptor.TYPE_UINT32: pa.uint32(),
    FieldDescriptor.TYPE_FIXED32: pa.uint32(),
}

_DESCRIPTOR: Any = PriceTape.DESCRIPTOR  # protobuf's stubs type it as two unrelated classes
_FIELDS: list[FieldDescriptor] = sorted(_DESCRIPTOR.fields, key=lambda f: f.number)
#: The price message's fields, in field-number order: the quote dict's keys.
QUOTE_FIELDS: tuple[str, ...] = tuple(f.name for f in _FIELDS)
#: The recorder's receive time (``time.time_ns()``), strictly increasing within a run.
RECEIVED = "received_ns"
DATE_KEY = "date"
SYMBOL_KEY = "symbol"
#: Every file's schema: the quote's fields with their protobuf types, then the receive time.
SCHEMA = pa.schema(
    [pa.field(f.name, _ARROW_TYPES[f.type], nullable=False) for f in _FIELDS]
    + [pa.field(RECEIVED, pa.int64(), nullable=False)]
)
#: The stream sequence of each quote, in the files of a recording from the stream.
STREAM_SEQ = "stream_seq"
#: The schema of a recording from the stream: every quote's stream sequence last.
STREAM_SCHEMA = SCHEMA.append(pa.field(STREAM_SEQ, pa.int64(), nullable=False))

#: The longest name of a directory entry, in bytes (most file systems).
NAME_MAX = 255


def partition_name(instrument: str) -> str:
    """The name of ``instrument``'s directory: percent-encoded, as the
    readers' hive partitioning decodes it (any instrument name makes one safe
    path segment, if not longer than ``NAME_MAX`` bytes)."""
    return f"{SYMBOL_KEY}={_quote(instrument, safe='')}"


def partition_dir(root: str, date: str, instrument: str) -> str:
    """The directory of ``instrument``'s files of ``date``."""
    return os.path.join(root, f"{DATE_KEY}={date}", partition_name(instrument))
