"""The service's price message, as the client uses it.

``pricetape`` holds one price message (``pricetape_pb2.PriceTape``, schema in
``pricetape.proto``) behind the small interface the extension calls for every
quote::

    msg = pricetape()                  # once per client
    msg.ParseFromString(data=payload)  # per quote: replaces the whole content
    quote = msg.SerializeToDict()      # per quote: a new dict, all fields

``SerializeToDict`` always returns every field of the schema under the same keys
(``FIELDS``, in field-number order), defaults included, so user code can index
the dict without ``get``. The dict holds only str/int/float values and shares
nothing with the message, so later parses leave it unchanged.

Two implementations, one interface. The native type of ``quotra._pricetape``
decodes the wire format itself, built at import from the compiled schema; the
extension's quote path calls it without Python-level calls. It decodes only
schemas of implicit-presence singular scalar fields (everything the price
message holds); for any other schema ``message_class`` returns the wrapper
around the generated class (``make_wrapper``), which behaves the same.

Why a wrapper rather than the generated class itself: upb message classes
cannot be subclassed, and their ``ParseFromString`` takes its argument
positionally only, while the extension passes it as the keyword ``data``.
"""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

from google.protobuf.descriptor import FieldDescriptor

from .pricetape_pb2 import PriceTape

__all__ = ["pricetape", "PriceTape", "FIELDS", "message_to_dict", "message_class", "make_wrapper"]


def _fields_of(proto_class: Any) -> tuple[str, ...]:
    fields: list[FieldDescriptor] = list(proto_class.DESCRIPTOR.fields)
    return tuple(f.name for f in sorted(fields, key=lambda f: f.number))


#: The keys of every dict that ``SerializeToDict`` returns, in field-number order.
FIELDS: tuple[str, ...] = _fields_of(PriceTape)


def _make_to_dict(
    fields: Sequence[str],
) -> tuple[Callable[..., dict[str, Any]], Callable[..., dict[str, Any]]]:
    # Generated once from the schema: a dict display of plain attribute loads,
    # no per-call loop, reflection or zip (measured the fastest Python way, see
    # bench_serialize_to_dict). Two variants: the method itself (saves one
    # Python call per quote) and a function of a bare generated message.
    # The names come from the compiled schema; check them anyway before they
    # go into source text.
    for name in fields:
        if not name.isidentifier():
            raise ValueError(f"field name {name!r} is not an identifier")
    body = ", ".join(f"{name!r}: m.{name}" for name in fields)
    src = (
        "def message_to_dict(m):\n"
        f"    return {{{body}}}\n"
        "def SerializeToDict(self):\n"
        '    """Return a new dict with every field (keys in field-number order), defaults included."""\n'
        "    m = self._msg\n"
        f"    return {{{body}}}\n"
    )
    namespace: dict[str, Any] = {"__name__": __name__}
    exec(compile(src, "<pricetape_proto generated>", "exec"), namespace)
    return namespace["message_to_dict"], namespace["SerializeToDict"]


message_to_dict = _make_to_dict(FIELDS)[0]
message_to_dict.__doc__ = "Return a new dict of every field of a bare ``PriceTape``."

# A upb message keeps the strings of every parse in its arena until the message
# itself goes: reparsing one message forever grows without bound (about 8 bytes
# per quote for a short instrument name, 38 MiB over 5 M quotes). The wrapper
# starts a new message every this many parses, which bounds that to this many
# messages' strings. Measured under callgrind, per parse: the count costs about
# 380 instructions (the parse about 3,000); a new message for every parse would
# cost 1,850. Kept within the interpreter's cached small ints, so counting
# allocates nothing. (The native type keeps no arena: nothing to renew.)
_RENEW_EVERY = 256


def _unpickle(cls: Callable[[], Any], data: bytes) -> Any:
    # Both implementations pickle to this, so pickles move between them.
    obj = cls()
    obj.ParseFromString(data)
    return obj


def make_wrapper(proto_class: Any, name: str = "pricetape") -> type[Any]:
    """The message class around the generated ``proto_class``, for any schema."""
    fields = _fields_of(proto_class)
    field_set = frozenset(fields)
    serialize_to_dict = _make_to_dict(fields)[1]
    parse = proto_class.ParseFromString  # unbound method of the upb message type

    class wrapper:
        """One price message, reused for every quote of a client.

        ``pricetape()`` makes an empty message; keyword arguments (field names)
        set fields, for senders and tests. Fields can be read as attributes
        (``msg.last_price``); ``message`` is the underlying generated message
        for anything else, until the next ``ParseFromString``, which may put a
        new one in its place.

        Instances pickle (the state is the serialized message), copy, and
        compare equal when their content is equal (also to a bare generated
        message). They are mutable and therefore unhashable.
        """

        __slots__ = ("_msg", "_parses")

        def __init__(self, **fields: Any) -> None:
            self._msg = proto_class(**fields)
            self._parses = 0

        def ParseFromString(self, data: bytes) -> int:
            """Replace the whole content with the message serialized in ``data``.

            ``data`` is bytes-like and may be passed by keyword. Raises
            ``google.protobuf.message.DecodeError`` (an ``Exception``) when the
            bytes are not a valid message; the content is then unspecified.
            Returns the number of bytes read, like protobuf's own method.
            """
            n = self._parses + 1
            if n >= _RENEW_EVERY:
                self._msg = proto_class()  # releases the old message's arena (see _RENEW_EVERY)
                n = 0
            self._parses = n
            read: int = parse(self._msg, data)
            return read

        SerializeToDict = serialize_to_dict

        def SerializeToString(self) -> bytes:
            """The serialized message (protobuf wire format)."""
            wire: bytes = self._msg.SerializeToString()
            return wire

        def Clear(self) -> None:
            self._msg.Clear()

        @property
        def message(self) -> Any:
            """The underlying generated message (live, not a copy, until the next ``ParseFromString``)."""
            return self._msg

        def __getattr__(self, attr: str) -> Any:
            # Reached only for names that normal lookup misses: the schema fields.
            if attr in field_set:
                return getattr(self._msg, attr)
            raise AttributeError(f"{type(self).__name__!r} object has no attribute {attr!r}")

        def __reduce__(self) -> tuple[Any, ...]:
            return (_unpickle, (type(self), self._msg.SerializeToString()))

        def __eq__(self, other: object) -> bool:
            if isinstance(other, wrapper):
                return bool(self._msg == other._msg)
            if isinstance(other, proto_class):
                return bool(self._msg == other)
            return NotImplemented

        __hash__ = None  # type: ignore[assignment]  # mutable

        def __repr__(self) -> str:
            items = ", ".join(f"{f.name}={v!r}" for f, v in self._msg.ListFields())
            return f"{type(self).__name__}({items})"

    serialize_to_dict.__qualname__ = f"{name}.SerializeToDict"
    wrapper.__name__ = wrapper.__qualname__ = name
    wrapper.__module__ = __name__
    return wrapper


def message_class(proto_class: Any, name: str = "pricetape") -> type[Any]:
    """The message class for ``proto_class``: the native type when it can decode the schema, else the wrapper."""
    try:
        from ._pricetape import message_type
    except ImportError:  # an extension not built: the wrapper does the same work
        return make_wrapper(proto_class, name)
    try:
        return message_type(f"{__name__}.{name}", proto_class, _unpickle)
    except NotImplementedError:
        return make_wrapper(proto_class, name)


pricetape = message_class(PriceTape)


def bench_serialize_to_dict(number: int = 200_000, repeat: int = 5) -> dict[str, float]:
    """Time the candidate ways of building the quote dict; ns per call (best of ``repeat``).

    Kept with the module so the choice above can be re-checked on a new
    protobuf version: ``python -m quotra.pricetape_proto``.
    """
    import operator
    import timeit

    msg = pricetape(
        instrument="ABC",
        exchange_ts_ns=1_733_650_000_123_456_789,
        last_price=101.25,
        last_quantity=10,
        volume=123_456,
        bid_price=101.2,
        bid_size=300,
        ask_price=101.3,
        ask_size=250,
        open=100.0,
        high=102.0,
        low=99.5,
        close=100.5,
        open_interest=4567,
    )
    m = msg.message
    data = msg.SerializeToString()
    getter = operator.attrgetter(*FIELDS)

    def attrgetter_zip(
        m: Any = m, getter: Any = getter, keys: tuple[str, ...] = FIELDS
    ) -> dict[str, Any]:
        return dict(zip(keys, getter(m)))

    def comprehension(
        m: Any = m, keys: tuple[str, ...] = FIELDS, getattr: Any = getattr
    ) -> dict[str, Any]:
        return {k: getattr(m, k) for k in keys}

    candidates = {
        "SerializeToDict() (generated method, dict display)": msg.SerializeToDict,
        "message_to_dict(m) (generated function, dict display)": lambda: message_to_dict(m),
        "dict(zip(keys, attrgetter(*keys)(m)))": attrgetter_zip,
        "{k: getattr(m, k) for k in keys}": comprehension,
        "ParseFromString(data=...)": lambda: msg.ParseFromString(data=data),
        "PriceTape.ParseFromString(data) (bare)": lambda: m.ParseFromString(data),
    }
    to_dict: Any = None
    try:
        from google.protobuf.json_format import MessageToDict as to_dict
    except ImportError:  # pragma: no cover
        pass
    results = {}
    for name, fn in candidates.items():
        results[name] = min(timeit.repeat(fn, number=number, repeat=repeat)) / number * 1e9
    if to_dict is not None:
        n = max(1, number // 20)

        def json_format() -> Any:
            return to_dict(
                m, preserving_proto_field_name=True, always_print_fields_with_no_presence=True
            )

        results["json_format.MessageToDict"] = (
            min(timeit.repeat(json_format, number=n, repeat=repeat)) / n * 1e9
        )
    return results


if __name__ == "__main__":
    for name, ns in bench_serialize_to_dict().items():
        print(f"{ns:9.1f} ns  {name}")
