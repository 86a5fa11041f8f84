"""The benchmark's client variants, each run in a process of its own.

    python -m bench.clients throughput VARIANT --url URL --n N [--rss-marks 1000000,5000000]
    python -m bench.clients latency VARIANT --url URL --n N      (any but the floor)

VARIANT is one of ``VARIANTS``, any of them with ``_eager`` appended (the
same client on a loop whose task factory starts tasks eagerly, see
``eager_factory``):

``quotra``
    the real ``Quotra`` client; its message callback is ``on_quote`` below.
``floor``
    a Python picows ``WSListener`` that per TEXT frame only does
    ``create_task(on_quote(payload_bytes))``: the task per quote that the
    client must pay anyway, with no decoding.
``python_peer``
    the client's decode path as a Python developer would write it on picows with
    the same libraries: ``orjson.loads``, ``base64.b64decode``, the standard
    protobuf runtime (``PriceTape().ParseFromString``), a dict written out from
    the message's fields (``peer_decode``), one task per quote. It does not use
    ``quotra.pricetape_proto``: the peers measure what the libraries give anyone.
``websockets_peer``
    the same decode path on a client built with the ``websockets`` library.
``feed``
    ``quotra.feed``: the client's quotes through the feed, taken by an
    ``async for`` that awaits the same trivial coroutine per quote. Its
    buffer holds the run's whole burst (``maxsize`` the run's quotes): the
    service sends faster than any consumer takes, and every quote is counted.

Every variant connects with ``ssl.create_default_context()`` (the driver points
``SSL_CERT_FILE`` at the service's CA), subscribes to ``BENCH`` and runs the
same trivial coroutine per quote: it counts, and at the marks it notes the
time, the process CPU time and the resident memory. The first mark is quote 1,
so connection set-up is not measured. When the last mark is reached the
process prints one JSON line and exits at once (``os._exit``): tearing the
connection down is not part of the benchmark. The latency callback instead
notes, for every quote, the time from ``sent_at_ns`` (the service's send
stamp) to the start of the callback body.

The callgrind harness of the per-stage profile lives in ``bench/stages.py``;
it builds its listeners with ``make_listener`` from here, so both measure the
same code.
"""

from __future__ import annotations

import argparse
import asyncio
import base64
import os
import resource
import ssl
import sys
import time

import orjson
from picows import WSAutoPingStrategy, WSListener, WSMsgType, ws_connect

from quotra.pricetape_pb2 import PriceTape

VARIANTS = ("quotra", "floor", "python_peer", "websockets_peer", "feed")
EAGER = "_eager"
INSTRUMENT = "BENCH"

_PAGE = os.sysconf("SC_PAGE_SIZE")


def new_loop(kind: str) -> asyncio.AbstractEventLoop:
    """The client's event loop: asyncio's default, or uvloop's."""
    if kind == "uvloop":
        import uvloop

        return uvloop.new_event_loop()
    return asyncio.new_event_loop()


def eager_factory(kind: str):
    """The eager task factory every ``_eager`` variant runs with: asyncio's own
    on its loop; on uvloop, which passes ``eager_start=`` to task factories
    (asyncio's refuses it), the three-line factory anyone has to write there,
    shipped as ``quotra.eager.eager_task_factory`` (plain Python)."""
    if kind == "uvloop":
        from quotra.eager import eager_task_factory

        return eager_task_factory
    return asyncio.eager_task_factory


def split_variant(name: str) -> tuple[str, bool]:
    """("quotra_eager") -> ("quotra", True)."""
    return name.removesuffix(EAGER), name.endswith(EAGER)


def rss_mib() -> float:
    """Resident set size now, in MiB."""
    with open("/proc/self/statm", "rb") as f:
        return int(f.read().split()[1]) * _PAGE / 2**20


def peak_rss_mib() -> float:
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024  # KiB on Linux


# ---------------------------------------------------------------- the callback


class Marks:
    """Where the run stands at given quote counts: (count, wall s, cpu s, rss MiB)."""

    def __init__(self, marks, loop):
        self.marks = tuple(marks)
        self.seen: list[tuple[int, float, float, float]] = []
        self.done = loop.create_future()

    def hit(self, count: int) -> None:
        self.seen.append((count, time.perf_counter(), time.process_time(), rss_mib()))
        if count == self.marks[-1] and not self.done.done():
            self.done.set_result(None)


def make_on_quote(marks: Marks):
    """The trivial message callback, the same for every variant."""
    it = iter(marks.marks)
    next_mark = next(it)
    count = 0
    hit = marks.hit

    async def on_quote(quote):
        nonlocal count, next_mark
        count += 1
        if count == next_mark:
            hit(count)
            next_mark = next(it, 0)

    return on_quote


def make_on_latency(samples: list, n: int, loop):
    """Latency callback: send time (carried in the quote) to callback start."""
    done = loop.create_future()
    append = samples.append
    now = time.time_ns

    async def on_quote(quote):
        append(now() - quote["sent_at_ns"])
        if len(samples) == n and not done.done():
            done.set_result(None)

    return on_quote, done


# ---------------------------------------------------------------- the peers' decoding


def peer_decode(payload, loads=orjson.loads, b64decode=base64.b64decode, PriceTape=PriceTape):
    """One quote frame's payload to the quote dict, the plain Python way."""
    m = PriceTape()
    m.ParseFromString(b64decode(loads(payload)["message"]))
    return {
        "instrument": m.instrument,
        "exchange_ts_ns": m.exchange_ts_ns,
        "last_price": m.last_price,
        "last_quantity": m.last_quantity,
        "volume": m.volume,
        "bid_price": m.bid_price,
        "bid_size": m.bid_size,
        "ask_price": m.ask_price,
        "ask_size": m.ask_size,
        "open": m.open,
        "high": m.high,
        "low": m.low,
        "close": m.close,
        "open_interest": m.open_interest,
        "sent_at_ns": m.sent_at_ns,
    }


# ---------------------------------------------------------------- picows listeners


class FloorListener(WSListener):
    """The mandated work only: one task per TEXT frame, on the raw payload."""

    def __init__(self, loop, on_quote):
        super().__init__()
        self._create_task = loop.create_task
        self._on_quote = on_quote

    def on_ws_frame(self, transport, frame):
        if frame.msg_type == WSMsgType.TEXT:
            self._create_task(self._on_quote(frame.get_payload_as_bytes()))


class PeerListener(WSListener):
    """The client's quote path in plain Python."""

    def __init__(self, loop, on_quote, on_error):
        super().__init__()
        self._loop = loop
        self._on_quote = on_quote
        self._on_error = on_error
        self._parts = None  # a fragmented message being gathered

    def on_ws_frame(self, transport, frame):
        msg_type = frame.msg_type
        if msg_type == WSMsgType.TEXT and frame.fin:
            payload = frame.get_payload_as_bytes()
        elif msg_type == WSMsgType.TEXT:
            self._parts = [frame.get_payload_as_bytes()]
            return
        elif msg_type == WSMsgType.CONTINUATION and self._parts is not None:
            self._parts.append(frame.get_payload_as_bytes())
            if not frame.fin:
                return
            payload, self._parts = b"".join(self._parts), None
        else:
            return
        try:
            quote = peer_decode(payload)
        except Exception as exc:
            self._loop.create_task(self._on_error(exc))
            return
        self._loop.create_task(self._on_quote(quote))


def make_listener(variant: str, loop, on_quote, on_error):
    if variant == "floor":
        return FloorListener(loop, on_quote)
    if variant == "python_peer":
        return PeerListener(loop, on_quote, on_error)
    raise ValueError(f"no picows listener for {variant!r}")


# ---------------------------------------------------------------- connecting


async def fail(exc):
    print(orjson.dumps({"error": repr(exc)}).decode(), flush=True)
    os._exit(3)


async def connect_quotra(url: str, loop, on_quote) -> None:
    from quotra.quotra import Quotra
    from quotra.service import point_client

    client = Quotra(loop)
    point_client(client, url)
    client.start_websocket(on_quote, fail, None, None)
    await asyncio.wait_for(client.IS_CONNECTED.wait(), 10)
    await asyncio.wait_for(client.subscribe([INSTRUMENT]), 10)
    # Keep the client alive for the whole run.
    loop._bench_client = client


async def connect_feed(url: str, loop, on_quote, quotes: int) -> None:
    from quotra.feed import DEFAULT_MAXSIZE, open_feed

    feed = open_feed(url, [INSTRUMENT], maxsize=max(DEFAULT_MAXSIZE, quotes))
    await asyncio.wait_for(feed.__aenter__(), 10)

    async def consume():
        async for quote in feed:
            await on_quote(quote)

    loop._bench_client = (feed, loop.create_task(consume()))


async def connect_picows(variant: str, url: str, loop, on_quote) -> None:
    # The connection options of the real client.
    transport, _ = await asyncio.wait_for(
        ws_connect(
            lambda: make_listener(variant, loop, on_quote, fail),
            url,
            ssl_context=ssl.create_default_context(),
            enable_auto_ping=True,
            auto_ping_idle_timeout=3,
            auto_ping_reply_timeout=2,
            auto_ping_strategy=WSAutoPingStrategy.PING_WHEN_IDLE,
        ),
        10,
    )
    transport.send(WSMsgType.TEXT, orjson.dumps({"subscribe": [INSTRUMENT]}))
    loop._bench_client = transport


async def connect_websockets(url: str, loop, on_quote) -> None:
    from websockets.asyncio.client import connect

    ws = await asyncio.wait_for(connect(url, ssl=ssl.create_default_context()), 10)
    await ws.send(orjson.dumps({"subscribe": [INSTRUMENT]}).decode())
    create_task = loop.create_task

    async def read():
        try:
            async for text in ws:
                try:
                    quote = peer_decode(text)
                except Exception as exc:
                    create_task(fail(exc))
                    continue
                create_task(on_quote(quote))
        except Exception as exc:  # the connection failed under us
            await fail(exc)

    loop._bench_client = (ws, create_task(read()))


async def connect(variant: str, url: str, on_quote, quotes: int = 0) -> None:
    loop = asyncio.get_running_loop()
    if variant == "quotra":
        await connect_quotra(url, loop, on_quote)
    elif variant == "feed":
        await connect_feed(url, loop, on_quote, quotes)
    elif variant in ("floor", "python_peer"):
        await connect_picows(variant, url, loop, on_quote)
    elif variant == "websockets_peer":
        await connect_websockets(url, loop, on_quote)
    else:
        raise ValueError(f"unknown variant {variant!r}")


# ---------------------------------------------------------------- runs


async def throughput(variant: str, url: str, marks: tuple[int, ...], timeout: float) -> dict:
    loop = asyncio.get_running_loop()
    m = Marks(marks, loop)
    await connect(variant, url, make_on_quote(m), quotes=marks[-1])
    await asyncio.wait_for(m.done, timeout)
    (c0, t0, cpu0, _), (c1, t1, cpu1, _) = m.seen[0], m.seen[-1]
    n = c1 - c0
    return {
        "variant": variant,
        "quotes": c1,
        "seconds": t1 - t0,
        "quotes_per_s": n / (t1 - t0),
        "cpu_s_per_million": (cpu1 - cpu0) / n * 1e6,
        "peak_rss_mib": peak_rss_mib(),
        "rss_mib_at": {str(c): rss for c, _, _, rss in m.seen},
    }


async def latency(variant: str, url: str, n: int, timeout: float) -> dict:
    if variant == "floor":
        raise ValueError("the floor does not decode quotes: it has no send time to read")
    loop = asyncio.get_running_loop()
    samples: list[int] = []
    on_quote, done = make_on_latency(samples, n, loop)
    await connect(variant, url, on_quote)
    t0 = time.perf_counter()
    await asyncio.wait_for(done, timeout)
    seconds = time.perf_counter() - t0
    s = sorted(samples)

    def pct(p):
        return s[min(len(s) - 1, int(p / 100 * len(s)))] / 1000

    return {
        "variant": variant,
        "quotes": len(s),
        "quotes_per_s": len(s) / seconds,
        "p50": pct(50),
        "p90": pct(90),
        "p99": pct(99),
        "p999": pct(99.9),
        "max": s[-1] / 1000,
        "mean": sum(s) / len(s) / 1000,
    }


def main(argv=None) -> None:
    p = argparse.ArgumentParser(prog="python -m bench.clients")
    p.add_argument("mode", choices=("throughput", "latency"))
    p.add_argument("variant", choices=VARIANTS + tuple(v + EAGER for v in VARIANTS))
    p.add_argument("--url", required=True)
    p.add_argument("--n", type=int, required=True, help="quotes to receive")
    p.add_argument(
        "--rss-marks", default="", help="extra counts at which to note RSS (comma separated)"
    )
    p.add_argument("--timeout", type=float, default=120.0, help="seconds to wait for all quotes")
    p.add_argument(
        "--loop", choices=("asyncio", "uvloop"), default="asyncio", help="the client's event loop"
    )
    args = p.parse_args(argv)
    if not args.url.startswith("wss://127.0.0.1:"):
        p.error("the benchmark talks only to a local service (wss://127.0.0.1:PORT/...)")

    loop = new_loop(args.loop)
    asyncio.set_event_loop(loop)
    variant, eager = split_variant(args.variant)
    if eager:
        loop.set_task_factory(eager_factory(args.loop))
    # Never outlive the driver's patience, whatever happens on the connection.
    loop.call_later(
        args.timeout + 30, lambda: (print('{"error":"client timeout"}', flush=True), os._exit(4))
    )
    if args.mode == "throughput":
        extra = sorted({int(x) for x in args.rss_marks.split(",") if x} - {1, args.n})
        marks = (1, *[x for x in extra if x < args.n], args.n)
        coro = throughput(variant, args.url, marks, args.timeout)
    else:
        coro = latency(variant, args.url, args.n, args.timeout)
    try:
        result = loop.run_until_complete(coro)
    except BaseException as exc:  # reported to the driver
        print(orjson.dumps({"error": repr(exc)}).decode(), flush=True)
        os._exit(2)
    sys.stdout.write(orjson.dumps(result).decode() + "\n")
    sys.stdout.flush()
    os._exit(0)


if __name__ == "__main__":
    main()
