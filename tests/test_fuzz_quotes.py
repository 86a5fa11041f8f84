"""Fuzzing of the quote path through real frames from the local service.

Hypothesis generates batches of TEXT payloads: valid quotes, valid quotes with
flipped bytes, truncated JSON, wrong types, huge numbers, bad base64, invalid
protobuf, deep nesting, non-UTF-8, random bytes. The service sends each batch
to a connected Quotra client, and an oracle (the decoding steps done in plain
Python) says what each frame must produce:

* a quote dict for the message callback, or an exception (same type and text)
  for the error callback, in frame order;
* for a payload that is not JSON or whose top level is neither an object nor
  null: an exception out of ``on_ws_frame``, so picows closes the connection
  with 1011 and the client reconnects and subscribes again.

Every batch ends with a valid sentinel quote, which must be delivered (on the
new connection after a fatal frame). A batch holds at most one fatal frame,
at its end, since nothing after it reaches the client on that connection.

CI runs a few thousand frames; QUOTRA_STRESS=1 runs more than 100,000.
"""

import base64
import binascii
import random

import orjson
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from picows import WSMsgType

from harness import STRESS, ClientSession, limit, size
from quotra.pricetape_proto import PriceTape, pricetape
from quotra.service import encode_quote

pytestmark = pytest.mark.timeout(1800 if STRESS else 300)

FATAL = "fatal"

# ---------------------------------------------------------------- the oracle


def expected_outcome(payload: bytes):
    """What on_data_callback does with ``payload``: FATAL, ("msg", dict) or
    ("err", (type, text))."""
    try:
        data = orjson.loads(payload)
    except orjson.JSONDecodeError:
        return FATAL
    if data is not None and type(data) is not dict:
        return FATAL
    try:
        if data is None:
            raise TypeError("'NoneType' object is not subscriptable")
        raw = base64.b64decode(data["message"])
        msg = pricetape()
        msg.ParseFromString(data=raw)
        return ("msg", msg.SerializeToDict())
    except Exception as e:  # mirrors the client's own guard
        return ("err", (type(e), str(e)))


def observed(kind, value):
    if kind == "msg":
        return ("msg", repr(value))
    return ("err", (type(value), str(value)))


def as_comparable(outcome):
    kind, value = outcome
    return ("msg", repr(value)) if kind == "msg" else (kind, value)


# ---------------------------------------------------------------- payloads

int64 = st.integers(-(2**63), 2**63 - 1)
doubles = st.floats(width=64)

price_messages = st.builds(
    PriceTape,
    instrument=st.text(max_size=24),
    exchange_ts_ns=int64,
    last_price=doubles,
    last_quantity=int64,
    volume=int64,
    bid_price=doubles,
    bid_size=int64,
    ask_price=doubles,
    ask_size=int64,
    open=doubles,
    high=doubles,
    low=doubles,
    close=doubles,
    open_interest=int64,
    sent_at_ns=int64,
)
serialized = price_messages.map(lambda m: m.SerializeToString())
valid_payloads = serialized.map(encode_quote)

json_scalars = (
    st.none() | st.booleans() | st.integers(-(2**70), 2**70) | st.floats() | st.text(max_size=30)
)
json_values = st.recursive(
    json_scalars,
    lambda inner: (
        st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=8), inner, max_size=4)
    ),
    max_leaves=12,
)


def dumps(value) -> bytes:
    # Large integers and NaN are written the way a sloppy peer might.
    try:
        return orjson.dumps(value)
    except TypeError:
        return repr(value).encode()


@st.composite
def flipped(draw, source):
    data = bytearray(draw(source))
    if not data:
        return bytes(data)
    for _ in range(draw(st.integers(1, 4))):
        i = draw(st.integers(0, len(data) - 1))
        data[i] ^= draw(st.integers(1, 255))
    return bytes(data)


@st.composite
def truncated(draw, source):
    data = draw(source)
    return data[: draw(st.integers(0, max(0, len(data) - 1)))]


@st.composite
def with_extra_members(draw):
    extras = draw(
        st.dictionaries(
            st.text(max_size=8).filter(lambda k: k != "message"), json_values, max_size=3
        )
    )
    obj = {"message": base64.b64encode(draw(serialized)).decode()}
    obj.update(extras)
    keys = draw(st.permutations(list(obj)))
    return dumps({k: obj[k] for k in keys})


@st.composite
def bad_protobuf(draw):
    raw = bytearray(draw(serialized))
    how = draw(st.sampled_from(["flip", "cut", "append", "random"]))
    if how == "flip" and raw:
        i = draw(st.integers(0, len(raw) - 1))
        raw[i] ^= draw(st.integers(1, 255))
    elif how == "cut" and raw:
        raw = raw[: draw(st.integers(0, len(raw) - 1))]
    elif how == "append":
        raw += draw(st.binary(min_size=1, max_size=16))
    else:
        raw = bytearray(draw(st.binary(max_size=64)))
    return encode_quote(bytes(raw))


base64_like = st.text(
    alphabet="ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=-_ \n\t.!é€",
    max_size=40,
)
bad_base64 = st.one_of(base64_like, st.text(max_size=20)).map(lambda s: dumps({"message": s}))
wrong_type_message = json_values.map(lambda v: dumps({"message": v}))
wrong_top_level = json_values.map(dumps)
missing_message = st.dictionaries(
    st.text(max_size=8).filter(lambda k: k != "message"), json_values, max_size=3
).map(dumps)


@st.composite
def deep_nesting(draw):
    depth = draw(st.integers(1, 3000))
    kind = draw(st.sampled_from(["list", "dict", "message-list", "message-dict"]))
    if kind == "list":
        return b"[" * depth + b"]" * depth
    if kind == "dict":
        return b'{"a":' * depth + b"1" + b"}" * depth
    if kind == "message-list":
        return b'{"message":' + b"[" * depth + b"]" * depth + b"}"
    return b'{"message":' + b'{"a":' * depth + b"1" + b"}" * depth + b"}"


@st.composite
def huge_numbers(draw):
    digits = draw(st.integers(19, 400))
    number = draw(st.sampled_from([b"1", b"-9", b"0.5e", b"1e"])) + b"9" * digits
    where = draw(st.sampled_from(["message", "extra", "top"]))
    if where == "message":
        return b'{"message":' + number + b"}"
    if where == "extra":
        good = base64.b64encode(draw(serialized))
        return b'{"message":"' + good + b'","n":' + number + b"}"
    return number


@st.composite
def non_utf8(draw):
    data = bytearray(draw(valid_payloads))
    for _ in range(draw(st.integers(1, 3))):
        i = draw(st.integers(0, len(data)))
        data[i:i] = bytes([draw(st.integers(0x80, 0xFF))])
    return bytes(data)


payloads = st.one_of(
    valid_payloads,
    with_extra_members(),
    flipped(valid_payloads),
    truncated(valid_payloads),
    bad_protobuf(),
    bad_base64,
    wrong_type_message,
    missing_message,
    wrong_top_level,
    deep_nesting(),
    huge_numbers(),
    non_utf8(),
    st.binary(max_size=200),
    st.sampled_from(
        [
            b"",
            b" ",
            b"null",
            b"{}",
            b"[]",
            b'""',
            b"0",
            b'{"message":null}',
            b'{"message":""}',
            b'{"message":"="}',
            b'{"message":"QQ"}',
            b'{"message":"QQ=="}',
            b"\xef\xbb\xbf{}",
        ]
    ),
)


def mutants(rng: random.Random, drawn: list, count: int) -> list:
    """``count`` cheap mutations of valid quotes and of the drawn payloads,
    seeded by Hypothesis: flipped bytes (anywhere, inside the base64, inside
    the serialized message), cuts, inserted non-UTF-8 bytes, splices."""
    out = []
    for _ in range(count):
        raw = PriceTape(
            instrument=rng.choice(["ABC", "XYZ", "", "é€", "A" * 40]),
            last_price=rng.uniform(-1e6, 1e6),
            volume=rng.randrange(-(2**63), 2**63),
            bid_size=rng.randrange(0, 1000),
            sent_at_ns=rng.randrange(0, 2**40),
        ).SerializeToString()
        op = rng.randrange(9)
        if op == 0:
            out.append(encode_quote(raw))
        elif op == 1:  # bytes flipped anywhere in a valid frame
            data = bytearray(encode_quote(raw))
            for _ in range(rng.randint(1, 3)):
                data[rng.randrange(len(data))] ^= rng.randint(1, 255)
            out.append(bytes(data))
        elif op == 2:  # characters of the base64 text replaced
            text = bytearray(base64.b64encode(raw))
            for _ in range(rng.randint(1, 3)):
                if text:
                    text[rng.randrange(len(text))] = rng.choice(b"ABCxyz019+/=-_ .\x00")
            out.append(b'{"message":"' + bytes(text) + b'"}')
        elif op == 3:  # the serialized message corrupted
            data = bytearray(raw)
            if data:
                data[rng.randrange(len(data))] ^= rng.randint(1, 255)
            out.append(encode_quote(bytes(data)))
        elif op == 4:  # the serialized message cut
            out.append(encode_quote(raw[: rng.randrange(len(raw) + 1)]))
        elif op == 5:  # the frame cut
            data = encode_quote(raw)
            out.append(data[: rng.randrange(len(data))])
        elif op == 6:  # a stray byte >= 0x80 (invalid UTF-8 or a lone continuation byte)
            data = bytearray(encode_quote(raw))
            data.insert(rng.randrange(len(data) + 1), rng.randint(0x80, 0xFF))
            out.append(bytes(data))
        elif op == 7 and drawn:  # two payloads spliced
            a, b = rng.choice(drawn), encode_quote(raw)
            out.append(a[: rng.randrange(len(a) + 1)] + b[rng.randrange(len(b) + 1) :])
        else:  # a drawn payload with one byte flipped
            data = bytearray(rng.choice(drawn) if drawn else encode_quote(raw))
            if data:
                data[rng.randrange(len(data))] ^= 1 << rng.randrange(8)
            out.append(bytes(data))
    return out


@st.composite
def batches(draw, max_size, n_mutants):
    """Non-fatal frames in the order drawn, then at most one fatal frame."""
    drawn = draw(st.lists(payloads, min_size=max_size // 2, max_size=max_size))
    rng = random.Random(draw(st.integers(0, 2**32 - 1)))
    frames = drawn + mutants(rng, drawn, n_mutants)
    rng.shuffle(frames)
    kept, fatal, n_fatal = [], None, 0
    for p in frames:
        outcome = expected_outcome(p)
        if outcome is FATAL:
            n_fatal += 1
            fatal = fatal if fatal is not None else p
        else:
            kept.append((p, outcome))
    return kept, fatal, n_fatal


# ---------------------------------------------------------------- running a batch


class Counters:
    frames = 0
    delivered = 0
    to_error_callback = 0
    fatal = 0
    fatal_drawn = 0
    batches = 0


async def run_batch(s: ClientSession, kept, fatal, counters: Counters):
    svc, rec = s.svc, s.rec
    conn = s.current()
    assert conn is not None
    base = len(rec.events)
    counters.batches += 1
    sentinel_msg = PriceTape(instrument=f"SENTINEL-{counters.batches}", volume=counters.batches)
    sentinel = encode_quote(sentinel_msg)
    expected = [as_comparable(o) for _, o in kept]
    for payload, _ in kept:
        svc.send_frame(payload, WSMsgType.TEXT, conn=conn)
    counters.frames += len(kept)
    counters.delivered += sum(1 for _, o in kept if o[0] == "msg")
    counters.to_error_callback += sum(1 for _, o in kept if o[0] == "err")

    if fatal is None:
        svc.send_frame(sentinel, WSMsgType.TEXT, conn=conn)
        new_conn = conn
    else:
        counters.fatal += 1
        known = svc.accepted
        reconnects = s.log.count("Trying to reconnect..")
        svc.send_frame(fatal, WSMsgType.TEXT, conn=conn)
        # picows answers the exception out of on_ws_frame with CLOSE 1011.
        await svc.wait_disconnected(conn, timeout=limit(10))
        assert conn.close_received is not None and conn.close_received[0] == 1011, (
            f"fatal frame {fatal[:80]!r}: connection ended with {conn.close_received!r}"
        )
        new_conn = await s.wait_reconnected(known, s.instruments)
        assert s.log.count("Trying to reconnect..") == reconnects + 1
        svc.send_frame(sentinel, WSMsgType.TEXT, conn=new_conn)
    counters.frames += 1 + (fatal is not None)
    expected.append(
        (
            "msg",
            repr(
                pricetape(
                    instrument=sentinel_msg.instrument, volume=sentinel_msg.volume
                ).SerializeToDict()
            ),
        )
    )

    def sentinel_seen():
        return any(
            k == "msg" and v["instrument"] == sentinel_msg.instrument for k, v in rec.events[base:]
        )

    await rec.wait(sentinel_seen, 20, f"sentinel of batch {counters.batches}")
    got = [observed(k, v) for k, v in rec.events[base:] if k in ("msg", "err")]
    assert got == expected, _first_difference(got, expected, kept)


def _first_difference(got, expected, kept):
    for i, (g, e) in enumerate(zip(got, expected)):
        if g != e:
            payload = kept[i][0] if i < len(kept) else b"<sentinel>"
            return f"frame {i} ({payload[:120]!r}): got {g!r:.300}, expected {e!r:.300}"
    return f"got {len(got)} outcomes, expected {len(expected)}"


def test_random_and_mutated_quote_frames():
    """Every frame is routed as the oracle says, the process never crashes, and
    the next valid frame is always delivered."""
    n_batches = size(30, 500)
    batch_size = size(30, 30)
    n_mutants = size(40, 400)
    counters = Counters()
    with ClientSession(rate=None) as s:

        @settings(
            max_examples=n_batches,
            deadline=None,
            database=None,
            derandomize=not STRESS,
            suppress_health_check=list(HealthCheck),
        )
        @given(batches(batch_size, n_mutants))
        def one_batch(batch):
            kept, fatal, n_fatal = batch
            counters.fatal_drawn += n_fatal
            s.run(run_batch(s, kept, fatal, counters), timeout=60)

        one_batch()
        # The client still streams normally afterwards.
        s.run(_quotes_still_flow(s), timeout=30)
    print(
        f"\nquote fuzzing: {counters.frames} frames in {counters.batches} batches; "
        f"{counters.delivered} delivered, {counters.to_error_callback} to the error callback, "
        f"{counters.fatal} fatal (closed 1011, reconnected; {counters.fatal_drawn} drawn)"
    )
    assert counters.fatal > 0 and counters.to_error_callback > 0 and counters.delivered > 0
    if STRESS:
        assert counters.frames >= 100_000


async def _quotes_still_flow(s):
    before = s.rec.messages
    for i in range(5):
        s.svc.send_quote("ABC")
    await s.rec.wait(lambda: s.rec.messages >= before + 5, 10, "five quotes after the fuzzing")


def test_error_routing_of_each_kind_of_bad_frame():
    """One frame of each kind, in one connection where possible, with and
    without an error callback: the documented destination of each failure."""
    good = encode_quote(PriceTape(instrument="ABC", last_price=1.5))
    cases = [
        (b"null", "err", TypeError),
        (b'{"x":1}', "err", KeyError),
        (b'{"message":"QQ"}', "err", binascii.Error),
        (b'{"message":5}', "err", TypeError),
        (b'{"message":"\xc3\xa9"}', "err", ValueError),
        (encode_quote(b"\xff\xff\xff"), "err", Exception),
        (b'{"message":"' + base64.b64encode(b"\x0a\x05ab") + b'","extra":[1,2]}', "err", Exception),
    ]
    fatal_cases = [b"not json", b"[1,2]", b'"text"', b"12", b"\xff\xfe", b"[" * 2000 + b"]" * 2000]

    for with_error_callback in (True, False):
        with ClientSession(rate=None, error_callback=with_error_callback) as s:

            async def body():
                conn = s.current()
                for payload, kind, exc_type in cases:
                    base, errors = len(s.rec.events), s.rec.errors
                    s.svc.send_frame(payload, conn=conn)
                    s.svc.send_frame(good, conn=conn)
                    await s.rec.wait(
                        lambda: (
                            s.rec.messages
                            and s.rec.events[-1][0] == "msg"
                            and len(s.rec.events) > base
                        ),
                        10,
                        f"the quote after {payload!r}",
                    )
                    new = [e for e in s.rec.events[base:] if e[0] in ("msg", "err")]
                    if with_error_callback:
                        assert [k for k, _ in new] == ["err", "msg"], (payload, new)
                        assert isinstance(new[0][1], exc_type), (payload, new[0][1])
                    else:
                        assert [k for k, _ in new] == ["msg"] and s.rec.errors == errors == 0
                    assert conn.is_open
                for payload in fatal_cases:
                    conn = s.current()
                    known, errors = s.svc.accepted, s.rec.errors
                    s.svc.send_frame(payload, conn=conn)
                    await s.svc.wait_disconnected(conn, timeout=limit(10))
                    assert conn.close_received[0] == 1011, (payload, conn.close_received)
                    new_conn = await s.wait_reconnected(known, s.instruments)
                    assert s.rec.errors == errors, f"{payload!r} reached the error callback"
                    base = s.rec.messages
                    s.svc.send_frame(good, conn=new_conn)
                    await s.rec.wait(
                        lambda: s.rec.messages > base, 10, f"a quote after {payload[:20]!r}"
                    )

            s.run(body(), 120)
