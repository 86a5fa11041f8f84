"""A quote is stored once by its identity, whatever happened between its
copies: against real nats-server processes, one row a fault. Each row hands
quotes to bridges in this process, breaks something, and reads the stream
back: every quote once, every bridge's ``published`` backed by the stream."""

import asyncio
import functools
import zlib

import nats
import orjson
import pytest
from nats.js.api import StreamConfig

from harness import limit
from nats_server import NatsServer, ResetProxy, free_port, stored_quotes
from quotra.bridge import Bridge
from quotra.pricetape_proto import FIELDS

# The stream's duplicate window in these rows (s): outages are made longer.
WINDOW = 1.0
T0 = 1_700_000_000_000_000_000
# Two quotes of one instrument and time whose JSON has one CRC-32 (found by
# search): the 32-bit digest of earlier ids merged them.
CRC_TWINS = (859954134, 5432800)


def quote(i, instrument="ABC", **kw):
    return dict.fromkeys(FIELDS, 0) | {"instrument": instrument, "exchange_ts_ns": T0 + i} | kw


def key(q):
    return (q["instrument"], q["exchange_ts_ns"], q["volume"], q["last_price"])


async def make_stream(url, window=WINDOW, batched=True):
    nc = await nats.connect(url)
    await nc.jetstream().add_stream(
        StreamConfig(
            name="QUOTES",
            subjects=["quotes.>"],
            duplicate_window=window,
            allow_batched=batched,
            allow_direct=True,
        )
    )
    await nc.close()


async def until(predicate, what, timeout=10):
    async with asyncio.timeout(limit(timeout)):
        while not predicate():
            await asyncio.sleep(0.02)


async def started(*bridges):
    for b in bridges:
        b.start()
    await until(lambda: all(b.connected for b in bridges), "connected")


# bridge -> quotes handed to it: ``received`` is the sum of the bridge's own
# counters, so a quote that leaves every counter would leave it too.
HANDED = {}


async def hand(bridge, quotes):
    for q in quotes:
        await bridge.on_quote(dict(q))
    HANDED[bridge] = HANDED.get(bridge, 0) + len(quotes)


async def another_publisher(url, quotes, ids=None):
    """Quotes stored by a publisher other than the bridge (its own ids)."""
    nc = await nats.connect(url)
    js = nc.jetstream()
    for n, q in enumerate(quotes):
        msg_id = ids[n] if ids else f"other-{n}-{q['exchange_ts_ns']}"
        await js.publish(
            f"quotes.{q['instrument']}", orjson.dumps(q), headers={"Nats-Msg-Id": msg_id}
        )
    await nc.close()


async def one_bridge(srv, window=WINDOW, batched=True, **kwargs):
    await make_stream(srv.url, window=window, batched=batched)
    bridge = Bridge(srv.url, **kwargs)
    await started(bridge)
    return bridge


async def answers_unread(bridge, quotes):
    """``quotes`` stored, their answers never read: the connection fails after
    its bound (2 s) and the next sends them again."""
    bridge._link.transport.pause_reading()
    await hand(bridge, quotes)
    await until(lambda: bridge.reconnections, "a reconnection", 15)
    assert await bridge.flush(limit(10)), bridge.snapshot()


def lost_writes(bridge):
    """What the bridge writes from now on never reaches the server (until the
    connection it wrote on ends)."""
    bridge._link.write = lambda data: None


# -- the rows: each returns (bridges, the quotes handed, what the stream must hold) --


async def two_bridges_one_away_past_the_window(srv, batched=True):
    """N0: the bridge that was away sends its backlog, which the other stored long ago."""
    proxy = ResetProxy(srv.port)
    try:
        await make_stream(srv.url, batched=batched)
        a, b = Bridge(srv.url), Bridge(proxy.url)
        await started(a, b)
        shared = [quote(i, ("ABC", "XYZ")[i % 2]) for i in range(1, 101)]
        for q in shared:
            await hand(a, [q])
            await hand(b, [q])
        assert await a.flush(limit(10)) and await b.flush(limit(10))
        proxy.target_port = free_port()  # nothing listens there: b cannot reconnect
        proxy.reset()
        await until(lambda: not b.connected, "b away")
        backlog = [quote(i, ("ABC", "XYZ")[i % 2]) for i in range(101, 301)]
        await hand(a, backlog)
        await hand(b, backlog + [quote(301)])  # one quote only b has
        assert await a.flush(limit(10))
        await asyncio.sleep(WINDOW * 1.5)
        proxy.target_port = srv.port
        assert await b.flush(limit(15)), b.snapshot()
        return [a, b], shared + backlog + [quote(301)], None
    finally:
        proxy.close()


async def another_publisher_stored_later_and_same_time_quotes(srv):
    """N1: in flight past the window while another publisher stored a later quote
    and one of the same time: neither says what this bridge's quotes are."""
    bridge = await one_bridge(srv)
    lost_writes(bridge)
    mine = [quote(i) for i in range(1, 51)]
    await hand(bridge, mine)
    await until(lambda: bridge.in_flight == 50, "in flight")
    theirs = [quote(1000, last_price=1.0), quote(50, last_price=9.0)]
    await another_publisher(srv.url, theirs)
    await until(lambda: bridge.reconnections, "a reconnection", 15)
    assert await bridge.flush(limit(10)), bridge.snapshot()
    return [bridge], mine + theirs, None


async def an_instrument_with_a_colon(srv, batched=True):
    """N2: stored, answers unread past the window: found by id, not stored again."""
    bridge = await one_bridge(srv, batched=batched)
    mine = [quote(i, ("ES:CME", "ABC")[i % 2]) for i in range(1, 41)]
    await answers_unread(bridge, mine)
    return [bridge], mine, 40


def _earlier_id(q):
    payload = orjson.dumps(q)
    cut = payload.rfind(b',"sent_at_ns":')
    return f"{q['instrument']}:{q['exchange_ts_ns']}:{zlib.crc32(payload[:cut]):08x}"


async def an_earlier_bridge_beside_this_one(srv):
    """N4: a rolling upgrade, an earlier bridge's ids beside this one's."""
    await make_stream(srv.url, window=10.0)
    quotes = [quote(i) for i in range(1, 61)]
    await another_publisher(srv.url, quotes[:40], ids=[_earlier_id(q) for q in quotes[:40]])
    bridge = Bridge(srv.url, previous_ids_until=T0 + 10**12)
    await started(bridge)
    await hand(bridge, quotes)
    assert await bridge.flush(limit(10)), bridge.snapshot()
    return [bridge], quotes, 40


async def two_quotes_with_one_crc32(srv):
    """N5: two quotes of one time whose 32-bit checksums agree are two quotes."""
    bridge = await one_bridge(srv, 10.0)
    twins = [quote(1, volume=v) for v in CRC_TWINS]
    await hand(bridge, twins)
    assert await bridge.flush(limit(10)), bridge.snapshot()
    return [bridge], twins, 0


async def sent_again_in_batches(srv):
    """N7: batches sent again inside the window: the stream's duplicates counted."""
    bridge = await one_bridge(srv, 10.0)
    mine = [quote(i, ("ABC", "XYZ")[i % 2]) for i in range(1, 51)]
    await answers_unread(bridge, mine)
    assert bridge._fast_stream and bridge.resent == 50
    return [bridge], mine, 50


async def the_stream_made_again(srv):
    """The stream deleted and made again under a connected bridge, then its
    answers unread past the window: the check by id reads the new stream from
    its start, not from where the old one had got to."""
    bridge = await one_bridge(srv, batched=False)  # the marks are exact sequences
    await hand(bridge, [quote(i, ("ABC", "XYZ")[i % 2]) for i in range(1, 51)])
    assert await bridge.flush(limit(10)), bridge.snapshot()
    nc = await nats.connect(srv.url)
    await nc.jetstream().delete_stream("QUOTES")
    await nc.close()
    await make_stream(srv.url, batched=False)
    mine = [quote(i, ("ABC", "XYZ")[i % 2]) for i in range(51, 71)]
    await answers_unread(bridge, mine)
    return [bridge], mine, 20


ROWS = {
    "N0 two bridges, one away past the window": two_bridges_one_away_past_the_window,
    "N1 another publisher's later and same-time quotes": (
        another_publisher_stored_later_and_same_time_quotes
    ),
    "N2 an instrument with ':'": an_instrument_with_a_colon,
    # Where the reading of the stream starts comes from per-quote answers here.
    "N0 the same, one answer a quote": functools.partial(
        two_bridges_one_away_past_the_window, batched=False
    ),
    "N2 the same, one answer a quote": functools.partial(an_instrument_with_a_colon, batched=False),
    "N4 an earlier bridge's ids beside this one's": an_earlier_bridge_beside_this_one,
    "N5 two quotes, one CRC-32": two_quotes_with_one_crc32,
    "N7 duplicates of batches sent again": sent_again_in_batches,
    "the stream made again, then a long outage": the_stream_made_again,
}


@pytest.mark.parametrize("fault", list(ROWS))
def test_every_quote_is_stored_once_by_its_identity(loop, fault):
    async def row(srv):
        async with asyncio.timeout(limit(60)):
            bridges, handed, duplicates = await ROWS[fault](srv)
            try:
                return bridges, handed, duplicates, await stored_quotes(srv.url)
            finally:
                for b in bridges:
                    await b.close(0)

    with NatsServer() as srv:
        bridges, handed, duplicates, stored = loop.run_until_complete(row(srv))
    got = [key(q) for q in stored]
    assert len(got) == len(set(got)), f"stored twice: {len(got) - len(set(got))}"
    assert set(got) == {key(q) for q in handed}, [b.snapshot() for b in bridges]
    for b in bridges:
        # Published means the stream holds it: every quote handed over was
        # acknowledged or found stored, none is waiting.
        assert (b.published, b.in_flight, b.buffered) == (HANDED.pop(b), 0, 0), b.snapshot()
    if duplicates is not None:
        assert bridges[0].duplicates == duplicates, bridges[0].snapshot()


def test_after_a_long_outage_quotes_an_earlier_bridge_stored_are_found_by_their_earlier_id(loop):
    async def row(srv):
        async with asyncio.timeout(limit(60)):
            bridge = await one_bridge(srv)
            lost_writes(bridge)
            mine = [quote(i, ("ABC", "ES:CME")[i % 2]) for i in range(1, 31)]
            await hand(bridge, mine)
            await until(lambda: bridge.in_flight == 30, "in flight")
            earlier = mine[:20]  # what an earlier bridge stored of them, with its ids
            await another_publisher(srv.url, earlier, ids=[_earlier_id(q) for q in earlier])
            await until(lambda: bridge.reconnections, "a reconnection", 15)
            assert await bridge.flush(limit(10)), bridge.snapshot()
            await bridge.close(0)
            return bridge, await stored_quotes(srv.url), mine

    with NatsServer() as srv:
        bridge, stored, mine = loop.run_until_complete(row(srv))
    got = [key(q) for q in stored]
    assert len(got) == len(set(got)) and set(got) == {key(q) for q in mine}
    assert (bridge.published, bridge.duplicates) == (30, 20), bridge.snapshot()


# A batch of three (ABC, XYZ, ABC) written when the stream's last sequence was
# ``before``; its answer -> duplicates counted, where the check of what the
# stream holds starts per subject afterwards.
BATCH_ENDS = [
    (10, 3, 13, 0, {"ABC": 10, "XYZ": 10}),  # three new messages after 10: marked there
    (10, 3, 12, 1, {}),  # one was held already: its kept copy is before 10, no mark moves
    (10, 3, 0, 3, {}),  # every one held
    (10, 3, 15, 0, {}),  # others wrote between them: no duplicate said, no mark moves
    (10, 2, 12, 0, {"ABC": 10, "XYZ": 10}),  # two stored as new, the third goes again
    (10, 3, 3, 0, {}),  # the stream was made again: its sequence restarted
    (None, 3, 13, 0, {}),  # the stream's last sequence not known
]


@pytest.mark.parametrize("before, count, seq, duplicates, marks", BATCH_ENDS)
def test_a_batchs_answer_says_its_duplicates_against_the_streams_last_sequence(
    loop, before, count, seq, duplicates, marks
):
    class Link:
        def write(self, data):
            pass

    bridge = Bridge("nats://127.0.0.1:1", loop=loop)
    bridge._inbox, bridge._stream_seq = b"_INBOX.x.", before
    heads = [b"HPUB quotes.%s " % name for name in (b"ABC", b"XYZ", b"ABC")]
    bridge._write_batch(Link(), [(h, b"%d" % i) for i, h in enumerate(heads)])
    (bid,) = bridge._batches
    answer = b'{"stream":"QUOTES","seq":%d,"batch":"%s","count":%d}' % (seq, bid, count)
    bridge._on_msg(b"_INBOX.x.%s.3.fail.1.1.$FI" % bid, None, answer)
    assert (bridge.published, bridge.duplicates, len(bridge._retry)) == (
        count,
        duplicates,
        3 - count,
    )
    assert {h[5:-1].decode()[7:]: s for h, s in bridge._acked_seq.items()} == marks
    assert bridge._stream_seq == (seq or before)
