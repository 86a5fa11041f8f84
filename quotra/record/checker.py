"""What a stream message must be to be recorded: a JSON object with every
field of the quote, each of a type its column takes."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

from .layout import QUOTE_FIELDS, SCHEMA

__all__ = ["quote_checker"]


def quote_checker() -> Callable[[Any], dict[str, Any]]:
    """A function making a quote dict of the fields of a decoded message
    body, or raising ValueError: what reaches the writer must fit its schema."""
    import pyarrow as pa

    kinds = []
    for name in QUOTE_FIELDS:
        t = SCHEMA.field(name).type
        if pa.types.is_string(t):
            kinds.append((name, "str"))
        elif pa.types.is_floating(t):
            kinds.append((name, "float"))
        elif pa.types.is_signed_integer(t):
            kinds.append((name, "int"))
        else:  # pragma: no cover - the price message holds no other kind
            raise TypeError(f"field {name} of type {t} cannot be checked")
    lo, hi = -(1 << 63), 1 << 63

    def check(body: Any) -> dict[str, Any]:
        if not isinstance(body, dict):
            raise ValueError("not a JSON object")
        quote: dict[str, Any] = {}
        for name, kind in kinds:
            v: Any = body.get(name)  # a JSON value
            if kind == "str":
                ok = isinstance(v, str)
            elif kind == "int":
                ok = isinstance(v, int) and not isinstance(v, bool) and lo <= v < hi
            else:
                ok = isinstance(v, (int, float)) and not isinstance(v, bool)
                if ok:
                    v = float(v)
            if not ok:
                raise ValueError(f"field {name}: {v!r}")
            quote[name] = v
        return quote

    return check
