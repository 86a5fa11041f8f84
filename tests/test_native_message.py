"""The native price message type against protobuf's own runtime.

The differential fuzz feeds the same bytes to the native type and to the
generated class (upb) and wants the same dict, or the same error, every time.
Its size comes from QUOTRA_FUZZ_CASES (cases per schema; the suite's default
keeps it to a few seconds). The same goes for the frames of the usual form
(QUOTRA_FRAME_CASES) that the quote path reads without orjson and b64decode.
The full runs (two schemas, so a million message cases; a million frames),
with their counts printed:

    QUOTRA_FUZZ_CASES=500000 QUOTRA_FRAME_CASES=1000000 \\
        bash scripts/test.sh -n 0 tests/test_native_message.py -k "differential or usual" -s
"""

from __future__ import annotations

import os
import pickle
import random
import struct
import subprocess
import sys
from pathlib import Path

import pytest
from google.protobuf import descriptor_pb2, descriptor_pool, message_factory, unknown_fields
from google.protobuf.message import DecodeError

from quotra import _pricetape, pricetape_proto
from quotra.pricetape_proto import PriceTape, make_wrapper, message_class, pricetape

FDP = descriptor_pb2.FieldDescriptorProto
SCALARS = {
    "f_double": FDP.TYPE_DOUBLE,
    "f_float": FDP.TYPE_FLOAT,
    "f_int64": FDP.TYPE_INT64,
    "f_uint64": FDP.TYPE_UINT64,
    "f_int32": FDP.TYPE_INT32,
    "f_fixed64": FDP.TYPE_FIXED64,
    "f_fixed32": FDP.TYPE_FIXED32,
    "f_bool": FDP.TYPE_BOOL,
    "f_string": FDP.TYPE_STRING,
    "f_bytes": FDP.TYPE_BYTES,
    "f_uint32": FDP.TYPE_UINT32,
    "f_enum": FDP.TYPE_ENUM,
    "f_sfixed32": FDP.TYPE_SFIXED32,
    "f_sfixed64": FDP.TYPE_SFIXED64,
    "f_sint32": FDP.TYPE_SINT32,
    "f_sint64": FDP.TYPE_SINT64,
}


def build_class(name, fields, *, syntax="proto3", oneof=None, extra=None):
    """A generated message class from (name, type, number[, label]) in a pool of its own."""
    f = descriptor_pb2.FileDescriptorProto(
        name=f"{name.lower()}.proto", package="fuzz", syntax=syntax
    )
    e = f.enum_type.add(name="Side")
    e.value.add(name="SIDE_NONE", number=0)
    e.value.add(name="SIDE_BID", number=1)
    m = f.message_type.add(name=name)
    if oneof:
        m.oneof_decl.add(name=oneof)
    for fname, ftype, number, *label in fields:
        fd = m.field.add(
            name=fname, number=number, type=ftype, label=label[0] if label else FDP.LABEL_OPTIONAL
        )
        if ftype == FDP.TYPE_ENUM:
            fd.type_name = ".fuzz.Side"
        if ftype == FDP.TYPE_MESSAGE:
            fd.type_name = f".fuzz.{name}"
        if oneof and fname.startswith("o_"):
            fd.oneof_index = 0
    if extra:
        extra(m)
    pool = descriptor_pool.DescriptorPool()
    pool.Add(f)
    return message_factory.GetMessageClass(pool.FindMessageTypeByName(f"fuzz.{name}"))


# Numbers chosen to spread over one- and two-byte tags, with gaps for unknown fields.
AllScalars = build_class(
    "AllScalars",
    [(n, t, i * 3 + 1) for i, (n, t) in enumerate(SCALARS.items())]
    + [("f_far", FDP.TYPE_STRING, 300), ("f_big", FDP.TYPE_INT64, 536870911)],
)
NativeAll = _pricetape.message_type(f"{__name__}.NativeAll", AllScalars, pricetape_proto._unpickle)
# Dicts through the public dict API only, the way taken where the dict's table is not the known layout.
NativeAllPublic = _pricetape.message_type(
    f"{__name__}.NativeAllPublic", AllScalars, pricetape_proto._unpickle, False
)


def as_dict(m, names):
    return {n: getattr(m, n) for n in names}


def key(d):
    # repr keeps -0.0 apart from 0.0 and makes NaN equal to NaN
    return [(k, type(v), repr(v)) for k, v in d.items()]


# ---------------------------------------------------------------- the generator


def varint(v, width=0):
    """``v`` as a varint; ``width``: padded to that many bytes (continuation
    bytes of zero bits) when its shortest form is shorter."""
    v &= (1 << 64) - 1
    out = bytearray()
    while v >= 0x80:
        out.append(v & 0x7F | 0x80)
        v >>= 7
    out.append(v)
    if width > len(out):
        out[-1] |= 0x80
        out += b"\x80" * (width - len(out) - 1) + b"\x00"
    return bytes(out)


INTERESTING = [
    0,
    1,
    127,
    128,
    255,
    2**31 - 1,
    2**31,
    2**32 - 1,
    2**32,
    2**63 - 1,
    2**63,
    2**64 - 1,
    -1,
    -(2**31),
]
STRINGS = [
    b"",
    b"ABC",
    b"BENCH",
    "é€😀".encode(),
    b"\xff",
    b"\xc0\x80",
    b"\xed\xa0\x80",
    b"\xf4\x90\x80\x80",
    b"a\x00b",
    b"x" * 40,
    b"\xe2\x82",
    "ß".encode() * 20,
]


class Gen:
    def __init__(self, rng, numbers):
        self.r = rng
        self.numbers = numbers  # the schema's field numbers

    def width(self):
        """Mostly the shortest form; now and then 1-11 bytes, where protobuf
        takes at most 5 for a tag or a length and 10 for a value."""
        return self.r.randint(1, 11) if self.r.random() < 0.06 else 0

    def number(self):
        r = self.r.random()
        if r < 0.75:
            return self.r.choice(self.numbers)
        if r < 0.97:
            return self.r.randint(1, 2000)
        return self.r.choice([0, 2**29 - 1, 19000, 2**29])

    def value(self, wire, depth, number):
        r = self.r
        if wire == 0:
            v = (
                r.choice(INTERESTING)
                if r.random() < 0.5
                else r.getrandbits(r.choice((7, 14, 32, 64)))
            )
            return varint(v, self.width())
        if wire == 1:
            return r.choice(
                [
                    struct.pack("<d", r.choice([0.0, -0.0, 1.5, float("nan"), float("inf")])),
                    r.randbytes(8),
                ]
            )
        if wire == 5:
            return r.choice(
                [struct.pack("<f", r.choice([0.0, -0.0, 0.1, float("-inf")])), r.randbytes(4)]
            )
        if wire == 2:
            s = r.choice(STRINGS) if r.random() < 0.7 else r.randbytes(r.randint(0, 12))
            return varint(len(s), self.width()) + s
        if wire == 3:
            if depth > 3 and r.random() < 0.5:
                return varint(number << 3 | 4)
            inner = b"".join(self.field(depth + 1) for _ in range(r.randint(0, 3)))
            end = number if r.random() < 0.95 else number + 1
            return inner + varint(end << 3 | 4)
        return b""

    def field(self, depth=0):
        r = self.r
        n = self.number()
        wire = r.choice((0, 0, 1, 2, 2, 5)) if r.random() < 0.9 else r.choice((3, 4, 6, 7))
        tag = varint(n << 3 | wire, self.width())
        return tag + self.value(wire, depth, n)

    def message(self):
        r = self.r
        kind = r.random()
        if kind < 0.08:
            return r.randbytes(r.randint(0, 30))
        data = b"".join(self.field() for _ in range(r.randint(0, 8)))
        if kind < 0.25 and data:  # mutate
            b = bytearray(data)
            for _ in range(r.randint(1, 3)):
                i = r.randrange(len(b))
                op = r.random()
                if op < 0.5:
                    b[i] = r.randrange(256)
                elif op < 0.75:
                    del b[i]
                else:
                    b.insert(i, r.randrange(256))
                if not b:
                    break
            data = bytes(b)
        elif kind < 0.35 and data:  # truncate
            data = data[: r.randrange(len(data))]
        elif kind < 0.4:  # deep groups around the edge of the recursion limit
            d = r.choice((99, 100, 101))
            data = b"\x5b" * d + b"\x5c" * d + data
        return data


def differential(proto_class, native_class, cases, seed):
    names = [f.name for f in sorted(proto_class.DESCRIPTOR.fields, key=lambda f: f.number)]
    gen = Gen(random.Random(seed), [f.number for f in proto_class.DESCRIPTOR.fields])
    native = native_class()
    counts = {"ok": 0, "error": 0, "unknown": 0}
    last = (native_class(), proto_class())
    for i in range(cases):
        data = gen.message()
        expect = proto_class()
        try:
            n = expect.ParseFromString(data)
            want = ("ok", n, key(as_dict(expect, names)))
        except DecodeError as exc:
            want = ("error", str(exc))
        try:
            n = native.ParseFromString(data=data)
            got = ("ok", n, key(native.SerializeToDict()))
        except DecodeError as exc:
            got = ("error", str(exc))
        assert got == want, (i, data.hex())
        counts[want[0]] += 1
        if want[0] == "error":
            continue
        # Written back byte for byte as protobuf writes it, the fields it does
        # not know included (after the known ones, as they came).
        out = native.SerializeToString()
        assert out == expect.SerializeToString(), (i, data.hex())
        if i % 16 == 0:  # pickles carry them; equality is protobuf's, unknown fields and all
            counts["unknown"] += 16 * bool(unknown_fields.UnknownFieldSet(expect))  # a sample
            revived = pickle.loads(pickle.dumps(native))
            assert revived.SerializeToString() == out and revived == expect, data.hex()
            assert (revived == last[0]) == (expect == last[1]), data.hex()
            last = (revived, expect)
    return counts


@pytest.mark.parametrize(
    "proto_class,native_class,share",
    [(PriceTape, pricetape, 1), (AllScalars, NativeAll, 1), (AllScalars, NativeAllPublic, 5)],
    ids=["pricetape", "all_scalars", "all_scalars_public_dict"],
)
def test_differential_against_protobuf(proto_class, native_class, share):
    cases = int(os.environ.get("QUOTRA_FUZZ_CASES", "50000")) // share
    counts = differential(proto_class, native_class, cases, seed=cases)
    print(
        f"\n{proto_class.DESCRIPTOR.full_name}: {cases} cases, {counts['ok']} parsed "
        f"(about {counts['unknown']} with unknown fields), {counts['error']} rejected"
    )
    # The generator must reach every outcome in earnest, or it tests little.
    assert min(counts.values()) > cases // 10


def test_names_that_prefix_one_another_read_back_whole():
    """Recent strings are reused from a small cache: parsed in random order
    through one message, every prefix of a few 32-character names (some pairs
    share a slot) reads back as protobuf reads it, never as a longer one."""
    rng = random.Random(32)
    names = [bytes(rng.choices(b"ABCDEFGHIJKLMNOPQRSTUVWXYZ", k=32)).decode() for _ in range(4)]
    cases = [n[:k] for n in names for k in range(1, 33)] * 2
    rng.shuffle(cases)
    native = pricetape()
    for name in cases:
        data = PriceTape(instrument=name).SerializeToString()
        native.ParseFromString(data=data)
        assert (
            native.SerializeToDict()["instrument"] == PriceTape.FromString(data).instrument == name
        )


# ---------------------------------------------------------------- the type itself


def test_native_type_is_in_use_and_keeps_content_on_failure():
    assert pricetape.__module__ == "quotra.pricetape_proto" and pricetape.__name__ == "pricetape"
    assert "_msg" not in dir(pricetape) and isinstance(pricetape, type)
    good = PriceTape(instrument="KEEP", volume=7, last_price=-0.0).SerializeToString()
    msg = pricetape()
    assert msg.ParseFromString(bytearray(good)) == len(good)
    assert msg.ParseFromString(memoryview(b"xx" + good)[2:]) == len(good)
    for bad, exc, text in [
        (good[:-1], DecodeError, "Wire format was corrupt"),
        (b"\x0a\x01\xff", DecodeError, "String field had bad UTF-8"),
        ("\x08\x01", TypeError, "expected bytes, str found"),
        (None, TypeError, "expected bytes, NoneType found"),
    ]:
        with pytest.raises(exc, match=text):
            msg.ParseFromString(data=bad)
        assert msg.SerializeToDict() == pricetape_proto.message_to_dict(PriceTape.FromString(good))
    with pytest.raises(TypeError):
        msg.ParseFromString()
    with pytest.raises(TypeError):
        msg.ParseFromString(good, data=good)
    with pytest.raises(TypeError):
        msg.ParseFromString(payload=good)
    assert repr(msg) == "pricetape(instrument='KEEP', last_price=-0.0, volume=7)"
    msg.Clear()
    assert msg == PriceTape() and msg.SerializeToString() == b""
    with pytest.raises(AttributeError):
        msg.volume = 1
    with pytest.raises(TypeError):
        pricetape.ParseFromString = None  # the quote path relies on the type staying as built


def test_pickles_move_between_wrapper_and_native_type():
    src = PriceTape(instrument="P", volume=3, sent_at_ns=9)
    wrapper = make_wrapper(PriceTape)
    old = wrapper()
    old.ParseFromString(src.SerializeToString())
    func, args = old.__reduce__()
    assert func is pricetape_proto._unpickle
    revived = func(pricetape, args[1])  # a wrapper pickle names the same function and class
    assert type(revived) is pricetape and revived == src
    func, args = pickle.loads(pickle.dumps(revived)).__reduce__()
    assert func is pricetape_proto._unpickle and args == (pricetape, src.SerializeToString())


@pytest.mark.parametrize(
    "what,fields,kw",
    [
        ("repeated", [("r", FDP.TYPE_INT64, 1, FDP.LABEL_REPEATED)], {}),
        ("message", [("child", FDP.TYPE_MESSAGE, 1)], {}),
        ("oneof", [("o_a", FDP.TYPE_INT64, 1), ("o_b", FDP.TYPE_STRING, 2)], {"oneof": "choice"}),
        ("presence", [("p", FDP.TYPE_INT64, 1)], {"syntax": "proto2"}),
        (
            "map",
            [],
            {
                "extra": lambda m: (
                    m.nested_type.add(
                        name="MEntry", options=descriptor_pb2.MessageOptions(map_entry=True)
                    ),
                    m.nested_type[0].field.add(
                        name="key", number=1, type=FDP.TYPE_STRING, label=FDP.LABEL_OPTIONAL
                    ),
                    m.nested_type[0].field.add(
                        name="value", number=2, type=FDP.TYPE_INT64, label=FDP.LABEL_OPTIONAL
                    ),
                    m.field.add(
                        name="m",
                        number=1,
                        type=FDP.TYPE_MESSAGE,
                        label=FDP.LABEL_REPEATED,
                        type_name=".fuzz.Other.MEntry",
                    ),
                )
            },
        ),
        ("shadowing name", [("message", FDP.TYPE_STRING, 1)], {}),
    ],
)
def test_unsupported_schema_falls_back_to_the_wrapper(what, fields, kw):
    cls = build_class("Other", fields, **kw)
    with pytest.raises(NotImplementedError):
        _pricetape.message_type("tests.Other", cls, pricetape_proto._unpickle)
    fallback = message_class(cls, "other")
    assert fallback.__name__ == "other" and hasattr(
        fallback, "__slots__"
    )  # the wrapper, a Python class
    sample = cls()
    for f in cls.DESCRIPTOR.fields:
        if f.name == "r":
            sample.r.append(5)
        elif f.name == "m":
            sample.m["k"] = 5
        elif f.name != "child":
            setattr(sample, f.name, 5 if f.type == FDP.TYPE_INT64 else "x")
            break
    msg = fallback()
    assert msg.ParseFromString(data=sample.SerializeToString()) == len(sample.SerializeToString())
    assert msg == sample and list(msg.SerializeToDict()) == [f.name for f in cls.DESCRIPTOR.fields]


# Garbage in which types built at run time die with instances of their
# subclasses in cycles (the collector clears a type's dictionary before those
# instances go), one shape at a time, with automatic collections off so that
# each collection takes a whole shape. Run in a process of its own: a schema
# freed before its last instance is a crash.
LIFETIMES = r"""
import gc
from quotra.pricetape_proto import PriceTape, message_class

def garbage(shape):
    T = message_class(PriceTape, "t")
    class S(T):
        pass
    class Slotted(T):
        __slots__ = ("me",)
    if shape == 0:
        s = S(instrument="A")
        s.me = s
    elif shape == 1:
        s = Slotted(volume=1)
        s.me = s
    elif shape == 2:
        objs = [S(), S(instrument="B")]
        objs[0].cycle = objs
    else:
        S.keep = (T(instrument="C"), S)
        T().ParseFromString(b"\xf8\x01\x05")  # with unknown fields

gc.disable()
for shape in range(4):
    for _ in range(20):
        garbage(shape)
        gc.collect()
print("ok")
"""


def test_run_time_types_outlive_their_instances_in_any_collection_order():
    r = subprocess.run(
        [sys.executable, "-c", LIFETIMES],
        cwd=Path(__file__).resolve().parents[1],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert (r.returncode, r.stdout) == (0, "ok\n"), r.stderr


def test_unknown_fields_are_kept_until_the_next_parse_or_clear():
    known = PriceTape(instrument="ABC", volume=7).SerializeToString()
    data = (
        known + varint(31 << 3) + varint(5) + b"\x0b\x08\x01\x0c"
    )  # a varint, and a group on field 1
    msg = pricetape()
    msg.ParseFromString(data)
    assert msg.SerializeToString() == data == PriceTape.FromString(data).SerializeToString()
    assert (
        msg.message.SerializeToString() == data
        and msg.SerializeToDict() == pricetape(instrument="ABC", volume=7).SerializeToDict()
    )
    assert msg != pricetape(instrument="ABC", volume=7)  # as protobuf compares
    with pytest.raises(DecodeError):
        msg.ParseFromString(known + b"\xf8")
    assert msg.SerializeToString() == data  # a failed parse leaves them too
    msg.ParseFromString(known)
    assert msg.SerializeToString() == known
    msg.ParseFromString(data)
    msg.Clear()
    assert msg.SerializeToString() == b""


# ---------------------------------------------------------------- the usual quote frame


def frames(rng, count):
    """Quote frames: the usual form and its near misses (JSON, base64 and bytes level)."""
    import base64

    texts = [
        b"",
        b"QQ==",
        b"QUI=",
        b"QUJD",
        b"QR==",
        b"QUJ=",
        b"Q===",
        b"QU=D",
        b"QUJD\n",
        b"QU JD",
        b"-_-_",
        b"QUJDRA",
        b"QUJDRA=",
        b"====",
        b"Q",
        b"\xc3\xa9QUI",
    ]
    for _ in range(count):
        raw = rng.randbytes(rng.choice((0, 1, 2, 3, 20, 60, 61, 62, 200, 800, 1500)))
        text = base64.b64encode(raw) if rng.random() < 0.8 else rng.choice(texts)
        frame = b'{"message":"' + text + b'"}'
        r = rng.random()
        if r < 0.35:
            yield frame
            continue
        b = bytearray(frame)
        op = rng.randrange(12)
        if op == 0:  # whitespace anywhere
            b.insert(rng.randrange(len(b) + 1), rng.choice(b" \t\r\n"))
        elif op == 1:  # an escape in the string or the key
            i = rng.randrange(len(b) + 1)
            b[i:i] = rng.choice([b"\\/", b"\\u0041", b"\\n", b'\\"', b"\\\\"])
        elif op == 2:  # duplicate or other members
            extra = rng.choice(
                [b'"message":"QUJD",', b'"x":1,', b'"message":null,', b'"m":"QQ==",']
            )
            b[1:1] = extra
        elif op == 3:
            b[-1:-1] = rng.choice([b',"x":1', b',"message":"QQ=="', b",", b" "])
        elif op == 4:  # a byte replaced, possibly not UTF-8
            b[rng.randrange(len(b))] = rng.randrange(256)
        elif op == 5:  # truncated or extended
            b = (
                b[: rng.randrange(len(b))]
                if rng.random() < 0.5
                else b + rng.choice([b" ", b"x", b"}", b"\x00"])
            )
        elif op == 6:  # the url-safe alphabet, or padding moved
            b = (
                b.replace(b"+", b"-").replace(b"/", b"_")
                if rng.random() < 0.5
                else b.replace(b"=", b"") + b"="
            )
        elif op == 7:
            b = bytearray(
                rng.choice(
                    [
                        b"null",
                        b"[]",
                        b'["message"]',
                        b"{}",
                        b'{"message":1}',
                        b'{"message":null}',
                        b'{"Message":"QQ=="}',
                        b'{"message":["QQ=="]}',
                        b"\xef\xbb\xbf" + frame,
                    ]
                )
            )
        elif op == 8:  # a non-ASCII or control character in the text
            i = rng.randrange(12, max(13, len(b) - 2))
            b[i:i] = rng.choice(["é".encode(), b"\x00", b"\x1f", b"\x7f", b"\xff"])
        elif op == 9:  # the key spelled differently
            b[2:9] = rng.choice([b"messagE", b"mess\\u0061ge"[:7], b"message"])
        elif op == 10:  # nested
            b = bytearray(b'{"message":' + frame + b"}")
        else:  # random bytes
            b = bytearray(rng.randbytes(rng.randrange(40)))
        yield bytes(b)


def test_usual_frame_form_reads_as_orjson_and_b64decode_do():
    import base64

    import orjson

    from quotra._pricetape import _quote_message

    count = int(os.environ.get("QUOTRA_FRAME_CASES", "100000"))
    taken = 0
    for frame in frames(random.Random(count), count):
        got = _quote_message(frame)
        if got is None:
            continue  # the general path: orjson and b64decode themselves
        taken += 1
        data = orjson.loads(frame)
        assert data == {"message": data["message"]} and type(data["message"]) is str, frame
        assert base64.b64decode(data["message"]) == got, frame
    print(
        f"\nframes: {count} generated, {taken} of the usual form, {count - taken} left to the general path"
    )
    assert count // 4 < taken < count - count // 4
