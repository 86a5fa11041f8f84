"""The bridge's counts by instrument against a real nats-server: received is
what it was handed of each instrument, published what the stream holds of
each (a duplicate counted for its own instrument), each adding up to its total."""

import asyncio
import collections
import logging
from decimal import Decimal

import nats
import pytest
from nats.js.api import DiscardPolicy, StreamConfig

from harness import limit
from nats_server import NatsServer, free_port
from quotra.bridge import Bridge
from quotra.pricetape_proto import FIELDS

pytestmark = pytest.mark.timeout(limit(90))

# Skewed, so that a quote counted under another instrument shows.
MIX = ["ABC"] * 6 + ["XYZ"] * 3 + ["QRS"]


def quote(i, instrument):
    return dict.fromkeys(FIELDS, 0) | {"instrument": instrument, "exchange_ts_ns": i}


def quotes(n, start=1):
    return [quote(i, MIX[i % len(MIX)]) for i in range(start, start + n)]


async def until(predicate, what, timeout=10):
    async with asyncio.timeout(limit(timeout)):
        while not predicate():
            await asyncio.sleep(0.02)


async def held_by_subject(url):
    nc = await nats.connect(url)
    try:
        info = await nc.jetstream().stream_info("QUOTES", subjects_filter="quotes.>")
        return {s.removeprefix("quotes."): n for s, n in (info.state.subjects or {}).items()}
    finally:
        await nc.close()


async def plain(bridge):
    for q in quotes(300):
        await bridge.on_quote(q)


async def answers_unread(bridge):
    """Stored, their answers never read: the connection fails after its bound
    and the next sends them again, each answered a duplicate."""
    bridge._link.transport.pause_reading()
    for q in quotes(200):
        await bridge.on_quote(q)
    await until(lambda: bridge.reconnections, "a reconnection", 15)


async def refused(bridge):
    bad = [quote(1, "A B"), quote(2, "ABC") | {"last_price": Decimal("1.5")}]
    for q in quotes(100, 3) + bad:
        await bridge.on_quote(q)


# name -> (stream settings, bridge settings, what is done, what the counters must say)
CASES = {
    "published once each": ({}, {}, plain, {"duplicates": 0}),
    "sent again within the duplicate window": ({}, {}, answers_unread, {"published": 200}),
    # Past the window the bridge reads the ids the stream holds itself.
    "sent again past the duplicate window": (
        {"duplicate_window": 1},
        {},
        answers_unread,
        {"published": 200, "duplicates": 200},
    ),
    "refused: no subject token, no JSON": ({}, {}, refused, {"refused": 2}),
    "rejected by a full stream": (
        {"max_msgs": 130, "discard": DiscardPolicy.NEW},
        {},
        plain,
        {"published": 130, "rejected": 170},
    ),
    # 300 handed in one turn of the loop: the buffer of 100 overflows.
    "dropped from a full buffer": ({}, {"buffer": 100}, plain, {"dropped": 209, "published": 91}),
}


@pytest.mark.parametrize("batched", [True, False], ids=["batched", "per quote"])
@pytest.mark.parametrize("case", CASES)
def test_counts_by_instrument_are_what_was_handed_and_what_the_stream_holds(
    loop, case, batched, caplog
):
    settings, options, run, says = CASES[case]
    handed = []

    async def scenario(url):
        nc = await nats.connect(url)
        config = {"duplicate_window": 120} | settings
        await nc.jetstream().add_stream(
            StreamConfig(name="QUOTES", subjects=["quotes.>"], allow_batched=batched, **config)
        )
        await nc.close()
        bridge = Bridge(url, **options)
        on_quote = bridge.on_quote

        async def counted(q):
            handed.append(q["instrument"])
            await on_quote(q)

        bridge.on_quote = counted
        bridge.start()
        await until(lambda: bridge.connected, "connected")
        try:
            await run(bridge)
            assert await bridge.flush(limit(15)), bridge.snapshot()
            return bridge, await held_by_subject(url)
        finally:
            await bridge.close(0)

    with NatsServer() as srv:
        bridge, held = loop.run_until_complete(scenario(srv.url))
    snap = bridge.snapshot()
    received, published = snap["received_by_instrument"], snap["published_by_instrument"]
    assert received == dict(collections.Counter(handed)), snap
    assert published == held, snap
    assert sum(received.values()) == snap["received"] == len(handed)
    assert sum(published.values()) == snap["published"]
    assert {key: snap[key] for key in says} == says, snap
    if run is answers_unread:
        assert snap["duplicates"] > 0, snap
    with caplog.at_level(logging.INFO, logger="quotra.bridge"):
        bridge.log_counters()
    line = [r.getMessage() for r in caplog.records if "bridge counters" in r.getMessage()][-1]
    differ = {name: (n, published.get(name, 0)) for name, n in received.items()}
    differ = {name: rp for name, rp in differ.items() if rp[0] != rp[1]}
    assert ("by instrument" in line) == bool(differ), line
    for name, (r, p) in differ.items():
        assert f" {name} {r}/{p}" in line, line


async def nats_away(bridge):
    for q in quotes(50):
        await bridge.on_quote(q)
    await asyncio.sleep(0.1)


async def in_flight(bridge):
    await until(lambda: bridge.connected, "connected")
    bridge._link.transport.pause_reading()
    for q in quotes(60):
        await bridge.on_quote(q)
    await until(lambda: bridge.in_flight == 60, "quotes in flight")


async def sent_again_later(bridge):
    await in_flight(bridge)
    bridge._link.abort()
    await until(lambda: not bridge.connected and bridge.buffered == 60, "quotes to send again")


@pytest.mark.parametrize("run", [nats_away, in_flight, sent_again_later])
def test_quotes_not_yet_published_are_counted_received_under_their_instrument(loop, run, caplog):
    """A snapshot while quotes wait (buffered, in flight, to send again)."""

    async def scenario(url):
        bridge = Bridge(url)
        bridge.start()
        try:
            await run(bridge)
            return bridge.snapshot()
        finally:
            await bridge.close(0)

    with NatsServer() as srv:
        url = srv.url if run is not nats_away else f"nats://127.0.0.1:{free_port()}"
        snap = loop.run_until_complete(scenario(url))
    want = dict(collections.Counter(MIX[i % len(MIX)] for i in range(1, 1 + snap["received"])))
    assert snap["received_by_instrument"] == want and snap["published_by_instrument"] == {}, snap
    assert snap["buffered"] + snap["in_flight"] == snap["received"] > 0, snap
