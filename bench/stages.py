"""Per-stage profile of the quote path: instructions per frame, under callgrind.

    valgrind --tool=callgrind --collect-atstart=no \\
        --toggle-collect=functools_reduce --dump-after=functools_reduce \\
        python -m bench.stages --frames 20000

The driver (``bench/driver.py``) runs exactly that and reads the dumps. Each
measured region runs inside ``functools.reduce`` (a C function nothing on the
quote path calls), so callgrind counts only the regions and writes one dump
per region; the regions print their names, in order, on stdout.

Two kinds of region, each over the same pre-encoded frames, fed in 16 KiB
chunks (as the TLS layer hands them over) with the loop run after each chunk:

* the steps of the quote path written out one after another, each region
  doing one step more than the one before; the difference of two neighbours
  is the cost of a step: ``json`` (``orjson.loads``), ``base64``
  (``binascii.a2b_base64``, which the client calls in place of
  ``base64.b64decode`` while that is the original), ``parse`` (``pricetape.ParseFromString(data=...)``),
  ``dict`` (``SerializeToDict()``), ``callback`` (calling the user's
  coroutine function and running its body to the end), ``task`` (running it as
  a task made with ``loop.create_task`` instead);
* the native chain's steps, the same way but each region one C call per batch
  (``quotra._pricetape._profile_steps``, the functions the client's quote
  path calls): ``native_form`` (recognising ``{"message":"..."}`` and the
  strict base64), ``native_parse``, ``native_dict``, over ``native_base`` (the
  loop alone); the client's fast path is these, then ``callback`` and ``task``;
* whole frames through picows' own parser (a ``WSProtocol`` fed from a fake
  transport, no socket, no TLS) into a listener: picows' bare ``WSListener``
  (the cost of parsing and dispatching a frame), the floor's listener, the
  Python peer's, and the real ``QuotraListner`` of a real ``Quotra`` client;
  ``feed``: the listener of a ``quotra.feed`` client (its quotes into the
  feed's native buffer, no task) with the consumer's side after each chunk:
  every quote taken from the buffer and the same trivial coroutine awaited;
* then the same with the loop's task factory starting tasks eagerly
  (``bench.clients.eager_factory``): ``task_eager`` (the ``task`` step's
  region again), ``frame_floor_eager`` and ``frame_quotra_eager``.

The quotra client's own glue is then its whole frame minus picows and minus
its steps (the native three, callback and task). TLS, the socket and the event loop's polling are outside every
region (they are the same for all clients and show in the throughput runs).
"""

from __future__ import annotations

import argparse
import asyncio
import base64
import binascii
import functools
import hashlib
import logging
import socket
import struct
import sys

import orjson
from picows import WSAutoPingStrategy, WSListener
from picows.picows import WSProtocol

from quotra._pricetape import _profile_steps
from quotra.pricetape_proto import pricetape
from quotra.service import encode_quote

from .clients import eager_factory, make_listener, new_loop

GUID = b"258EAFA5-E914-47DA-95CA-C5AB0DC85B11"
CHUNK = 16 * 1024
STEPS = ("json", "base64", "parse", "dict", "callback", "task")
NATIVE_STEPS = ("native_form", "native_parse", "native_dict")
FRAME_PATHS = ("picows", "floor", "python_peer", "quotra", "feed")
EAGER_FRAME_PATHS = ("floor", "quotra")


def sample_payload() -> bytes:
    """One quote frame's payload, like the service's (every field set)."""
    msg = pricetape(
        instrument="BENCH",
        exchange_ts_ns=1_733_650_000_123_456_789,
        last_price=2101.25,
        last_quantity=25,
        volume=1_234_567,
        bid_price=2101.2,
        bid_size=300,
        ask_price=2101.3,
        ask_size=250,
        open=2090.0,
        high=2110.05,
        low=2088.5,
        close=2095.5,
        open_interest=456_789,
    )
    return encode_quote(msg)


def ws_frame(payload: bytes) -> bytes:
    """A server-to-client TEXT frame (unmasked)."""
    n = len(payload)
    if n < 126:
        head = struct.pack("!BB", 0x81, n)
    elif n < 1 << 16:
        head = struct.pack("!BBH", 0x81, 126, n)
    else:
        head = struct.pack("!BBQ", 0x81, 127, n)
    return head + payload


def chunks_of(payload: bytes, frames: int) -> list[bytes]:
    """``frames`` frames of ``payload`` as a list of chunks of whole frames, <= CHUNK bytes."""
    frame = ws_frame(payload)
    per = max(1, CHUNK // len(frame))
    out = []
    while frames > 0:
        k = min(per, frames)
        out.append(frame * k)
        frames -= k
    return out


async def on_quote(quote):
    # The benchmark's trivial callback, minus the marks (nothing to mark here).
    on_quote.count += 1


on_quote.count = 0


async def on_error(exc):
    raise SystemExit(f"stage harness: the quote path failed: {exc!r}")


# ---------------------------------------------------------------- steps, one region each


def step_regions(loop):
    """Region name -> coroutine function over batches of payloads."""
    # The calls the client makes, in its order.
    loads, b64decode, sleep = orjson.loads, binascii.a2b_base64, asyncio.sleep
    create_task = loop.create_task
    msg = pricetape()

    async def base(batches):
        for batch in batches:
            for p in batch:
                pass
            await sleep(0)

    async def json(batches):
        for batch in batches:
            for p in batch:
                d = loads(p)
            await sleep(0)

    async def b64(batches):
        for batch in batches:
            for p in batch:
                d = loads(p)
                raw = b64decode(d["message"])
            await sleep(0)

    async def parse(batches):
        for batch in batches:
            for p in batch:
                d = loads(p)
                raw = b64decode(d["message"])
                msg.ParseFromString(data=raw)
            await sleep(0)

    async def to_dict(batches):
        for batch in batches:
            for p in batch:
                d = loads(p)
                raw = b64decode(d["message"])
                msg.ParseFromString(data=raw)
                q = msg.SerializeToDict()
            await sleep(0)

    async def callback(batches):
        for batch in batches:
            for p in batch:
                d = loads(p)
                raw = b64decode(d["message"])
                msg.ParseFromString(data=raw)
                c = on_quote(msg.SerializeToDict())
                try:
                    c.send(None)
                except StopIteration:
                    pass
            await sleep(0)

    async def task(batches):
        for batch in batches:
            for p in batch:
                d = loads(p)
                raw = b64decode(d["message"])
                msg.ParseFromString(data=raw)
                create_task(on_quote(msg.SerializeToDict()))
            await sleep(0)

    def native(steps):
        async def run(batches):
            for batch in batches:
                _profile_steps(msg, batch, steps)
                await sleep(0)

        return run

    return {
        "base": base,
        "json": json,
        "base64": b64,
        "parse": parse,
        "dict": to_dict,
        "callback": callback,
        "task": task,
        "native_base": native(0),
        **{name: native(i + 1) for i, name in enumerate(NATIVE_STEPS)},
    }


# ---------------------------------------------------------------- whole frames through picows


class FakeTransport:
    """What picows' WSProtocol and WSTransport use of a transport; no I/O."""

    def __init__(self):
        self._sock = socket.socket(
            socket.AF_INET, socket.SOCK_STREAM
        )  # options only, never connected
        self.written: list[bytes] = []

    def get_extra_info(self, name, default=None):
        return {
            "socket": self._sock,
            "peername": ("127.0.0.1", 9),
            "sockname": ("127.0.0.1", 9),
        }.get(name, default)

    def write(self, data):
        self.written.append(bytes(data))

    def writelines(self, items):
        for item in items:
            self.write(item)

    def get_write_buffer_size(self):
        return 0

    def is_closing(self):
        return False

    def close(self):
        self._sock.close()

    abort = close


def feed(proto, data: bytes) -> None:
    view = memoryview(data)
    while view:
        buf = proto.get_buffer(-1)
        n = min(len(buf), len(view))
        buf[:n] = view[:n]
        proto.buffer_updated(n)
        view = view[n:]


async def open_protocol(listener_factory):
    """A client-side WSProtocol past its handshake, on a fake transport."""
    proto = WSProtocol(
        "127.0.0.1:9",
        "/?version=2",
        True,
        listener_factory,
        logging.getLogger("bench.stages"),
        True,
        None,
        False,
        10,
        10,
        WSAutoPingStrategy.PING_WHEN_IDLE,
        True,
        10 * 1024 * 1024,
        None,
        16 * 1024,
    )
    tr = FakeTransport()
    proto.connection_made(tr)
    request = tr.written[0]
    key = next(
        line.split(b":", 1)[1].strip()
        for line in request.split(b"\r\n")
        if line.lower().startswith(b"sec-websocket-key:")
    )
    accept = base64.b64encode(hashlib.sha1(key + GUID).digest())
    feed(
        proto,
        b"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        b"Sec-WebSocket-Accept: " + accept + b"\r\n\r\n",
    )
    await asyncio.sleep(0.05)  # let on_ws_connected's tasks finish
    return proto, tr


async def frame_listener_factory(name: str, loop):
    if name == "picows":
        return WSListener  # picows' own no-op listener: parsing and dispatch only
    if name in ("floor", "python_peer"):
        return lambda: make_listener(name, loop, on_quote, on_error)
    if name == "quotra":
        from quotra.quotra import Quotra, QuotraListner

        client = Quotra(loop)
        _, _, state = client.__reduce_cython__()
        state = list(state)
        state[8], state[9] = on_error, on_quote  # error_callback, message_callback
        client.__setstate_cython__(tuple(state))
        return lambda: QuotraListner(client, loop)
    if name == "feed":
        from quotra import _quiet
        from quotra.quotra import QuotraListner

        client = _quiet.quiet_client(loop)
        buffer = _quiet.FeedBuffer(logging.getLogger("bench.stages"), 1_000_000, False)
        _quiet.set_sink(client, buffer)
        frame_listener_factory.feed_buffer = buffer  # type: ignore[attr-defined]
        return lambda: QuotraListner(client, loop)
    raise ValueError(name)


def feed_region(proto, buffer):
    """Frames into a feed's buffer, then its consumer: as ``async for quote in
    feed: await on_quote(quote)`` does, without the iterator's own checks."""
    sleep = asyncio.sleep
    take = buffer.take

    async def run(batches):
        for chunk in batches:
            feed(proto, chunk)
            while (quote := take()) is not None:
                await on_quote(quote)
            await sleep(0)

    return run


def frame_region(proto):
    sleep = asyncio.sleep

    async def run(batches):
        for chunk in batches:
            feed(proto, chunk)
            await sleep(0)

    return run


# ---------------------------------------------------------------- the harness


def measure(loop, name: str, fn, inputs, warm) -> None:
    """Run ``fn(warm)`` unmeasured, then ``fn(inputs)`` as a callgrind region."""
    loop.run_until_complete(fn(warm))
    loop.run_until_complete(asyncio.sleep(0))
    print("region", name, flush=True)
    before = on_quote.count
    functools.reduce(lambda _acc, _x: loop.run_until_complete(fn(inputs)), (0,), None)
    loop.run_until_complete(asyncio.sleep(0))
    print("callbacks", name, on_quote.count - before, flush=True)


def main(argv=None) -> None:
    p = argparse.ArgumentParser(prog="python -m bench.stages")
    p.add_argument("--frames", type=int, default=20_000, help="frames per region")
    p.add_argument("--warm", type=int, default=2_000, help="unmeasured frames before each region")
    p.add_argument(
        "--loop", choices=("asyncio", "uvloop"), default="asyncio", help="the event loop"
    )
    args = p.parse_args(argv)

    loop = new_loop(args.loop)
    asyncio.set_event_loop(loop)
    payload = sample_payload()
    chunks, warm_chunks = chunks_of(payload, args.frames), chunks_of(payload, args.warm)
    # The steps see the same batches of payloads as the frame regions see frames.
    batches = [[payload] * (len(c) // len(ws_frame(payload))) for c in chunks]
    warm_batches = [[payload] * (len(c) // len(ws_frame(payload))) for c in warm_chunks]
    print(f"frames {args.frames} payload {len(payload)}", flush=True)

    for name, fn in step_regions(loop).items():
        measure(loop, name, fn, batches, warm_batches)
    for name in FRAME_PATHS:
        factory = loop.run_until_complete(frame_listener_factory(name, loop))
        proto, _ = loop.run_until_complete(open_protocol(factory))
        region = (
            feed_region(proto, frame_listener_factory.feed_buffer)  # type: ignore[attr-defined]
            if name == "feed"
            else frame_region(proto)
        )
        measure(loop, "frame_" + name, region, chunks, warm_chunks)
    loop.set_task_factory(eager_factory(args.loop))
    measure(loop, "task_eager", step_regions(loop)["task"], batches, warm_batches)
    for name in EAGER_FRAME_PATHS:
        factory = loop.run_until_complete(frame_listener_factory(name, loop))
        proto, _ = loop.run_until_complete(open_protocol(factory))
        measure(loop, f"frame_{name}_eager", frame_region(proto), chunks, warm_chunks)
    sys.stdout.flush()


if __name__ == "__main__":
    main()
