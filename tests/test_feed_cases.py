"""quotra.feed's cases, one table each: what its buffer does with quotes and
their ages (FeedBuffer alone, no connection), and what an open feed does to
the rest of the process (nothing), to its iterators and to its subscription
set, against the local service."""

import abc
import asyncio
import collections.abc
import logging
import os
import shutil
import ssl
import time

import pytest

from quotra import _quiet, monitor, point_client
from quotra import feed as qfeed
from quotra import quotra as client_module
from quotra.service.thread import ServiceThread

logger = logging.getLogger("test.feed")
INF = float("inf")
# Ahead of this clock by less than the tolerance: a lag of 0 however slow the
# test runs (under the sanitizer, a quote made now is milliseconds old when taken).
FRESH = -0.5


def quote(instrument="ABC", age=None, **fields):
    ts = 0 if age is None else time.time_ns() - int(age * 1e9)
    return {"instrument": instrument, "exchange_ts_ns": ts, **fields}


def drain(buf):
    out = []
    while (q := buf.take()) is not None:
        out.append(q)
    return out


def histogram(buf):
    bounds, counts, _ = buf.lag_histogram()
    return {(bounds + (INF,))[i]: n for i, n in enumerate(counts) if n}


# name: (maxsize, conflate, (threshold s, tolerance s), the quotes pushed as
# (instrument, age s), what take() hands over as instruments, the counters
# then, the histogram's non-zero buckets, the warnings' words)
BUFFER_CASES = {
    "queued in order": (
        10,
        False,
        (1.0, 1.0),
        [("A", FRESH), ("B", FRESH)],
        ["A", "B"],
        dict(dropped=0),
        {0.001: 2},
        [],
    ),
    "full: the oldest dropped, one line for them all": (
        2,
        False,
        (1.0, 1.0),
        [("A", FRESH), ("B", FRESH), ("C", FRESH), ("D", FRESH)],
        ["C", "D"],
        dict(dropped=2, delivered=2),
        {0.001: 2},
        ["dropped 1 oldest", "dropped 1 oldest"],
    ),
    "conflated: the latest of each, in the order the latest came": (
        10,
        True,
        (1.0, 1.0),
        [("A", FRESH), ("B", FRESH), ("A", FRESH)],
        ["B", "A"],
        dict(conflated=1, delivered=2, buffered=0),
        {0.001: 2},
        [],
    ),
    "older than the last bound: +Inf, not the 30 s bucket": (
        10,
        False,
        (1.0, 1.0),
        [("A", 45.0)],
        ["A"],
        dict(late_quotes=1),
        {INF: 1},
        ["behind"],
    ),
    "a clock ahead within the tolerance: lag 0, never negative": (
        10,
        False,
        (0.005, 1.0),
        [("A", -0.010)],
        ["A"],
        dict(lag_s=0.0, future_quotes=0, late_quotes=0),
        {0.001: 1},
        [],
    ),
    "ahead beyond the tolerance: a wrong clock, not lag": (
        10,
        False,
        (1.0, 0.005),
        [("A", -0.5)],
        ["A"],
        dict(lag_s=None, future_quotes=1),
        {},
        ["ahead"],
    ),
    "late, then back under: a warning and an info line": (
        10,
        False,
        (1.0, 1.0),
        [("A", 2.0), ("B", FRESH)],
        ["A", "B"],
        dict(late_quotes=1),
        {2.5: 1, 0.001: 1},
        ["behind", "back under"],
    ),
}


@pytest.mark.parametrize(
    "maxsize, conflate, limits, pushed, handed, counters, buckets, words",
    BUFFER_CASES.values(),
    ids=BUFFER_CASES,
)
def test_the_buffer(caplog, maxsize, conflate, limits, pushed, handed, counters, buckets, words):
    caplog.set_level(logging.INFO, logger="test.feed")
    buf = _quiet.FeedBuffer(logger, maxsize, conflate)
    buf.set_limits(round(limits[0] * 1e9), round(limits[1] * 1e9))
    for instrument, age in pushed:
        buf(quote(instrument, age))
    assert [q["instrument"] for q in drain(buf)] == handed
    buf.end()  # logs the drops not yet logged
    got = buf.counters()
    assert got["received"] == len(pushed)
    for key, value in counters.items():
        assert got[key] == (
            pytest.approx(value, abs=0.005) if isinstance(value, float) else value
        ), key
    assert got["lag_s"] is None or got["lag_s"] >= 0
    assert histogram(buf) == buckets
    lines = [r.getMessage() for r in caplog.records if r.name == "test.feed"]
    assert len(lines) == len(words), lines
    for line, word in zip(lines, words):
        assert word in line
    buf(quote())  # after the end: nobody will take it
    assert buf.take() is None and buf.counters()["received"] == len(pushed)


def test_the_buffer_wakes_its_waiters_once_and_shares_its_quotes():
    async def main():
        loop = asyncio.get_running_loop()
        buf = _quiet.FeedBuffer(logger, 10, False)
        a, b = loop.create_future(), loop.create_future()
        buf.waiters.extend([a, b])
        buf(quote("A"))
        buf(quote("B"))  # no second wake: the waiters are gone
        assert a.done() and b.done() and buf.waiters == []
        assert [buf.take()["instrument"], buf.take()["instrument"]] == ["A", "B"]
        c = loop.create_future()
        c.cancel()
        buf.waiters.append(c)
        buf.end()  # a cancelled waiter is passed over
        assert buf.ended and buf.take() is None

    asyncio.run(main())


# name: (the call, the exception): the lag threshold and the future
# tolerance of a client and of a feed
SETTINGS = {
    "a bool threshold": (lambda c, f: monitor.set_lag_threshold(c, True), TypeError),
    "a threshold under 1 ms": (lambda c, f: monitor.set_lag_threshold(c, 1e-10), ValueError),
    "a NaN threshold": (lambda c, f: monitor.set_lag_threshold(c, float("nan")), ValueError),
    "a negative tolerance": (lambda c, f: monitor.set_future_tolerance(c, -1), ValueError),
    "a bool tolerance": (lambda c, f: monitor.set_future_tolerance(c, False), TypeError),
    "a feed's bool threshold": (lambda c, f: f.set_lag_threshold(True), TypeError),
    "a feed's threshold under 1 ms": (lambda c, f: f.set_lag_threshold(0.0005), ValueError),
    "open_feed's threshold under 1 ms": (
        lambda c, f: qfeed.open_feed("wss://127.0.0.1:1", lag_threshold=1e-10),
        ValueError,
    ),
}


@pytest.mark.parametrize("call, error", SETTINGS.values(), ids=SETTINGS)
def test_settings_refused(call, error):
    async def main():
        client = _quiet.quiet_client(asyncio.get_running_loop())
        feed = qfeed.open_feed("wss://127.0.0.1:1")
        with pytest.raises(error):
            call(client, feed)
        # Refused, nothing changed; the tolerance is a setting of its own.
        assert monitor.lag_threshold(client) == 1.0 and monitor.future_tolerance(client) == 1.0
        monitor.set_lag_threshold(client, 0.005)
        assert monitor.future_tolerance(client) == 1.0
        feed.set_future_tolerance(0.25)
        assert (feed.lag_threshold, feed.future_tolerance) == (1.0, 0.25)

    asyncio.run(main())


@pytest.fixture(scope="module")
def svc():
    with ServiceThread() as s:
        yield s


def coroutine_registry():
    return abc._get_dump(collections.abc.Coroutine)[0]


async def other_client_fails(svc, loop):
    """A client of the process that does not trust the service's CA: its
    first attempt fails on the certificate."""
    other = point_client(_quiet.quiet_client(loop), svc.url)
    other.start_websocket(lambda q: None)
    await asyncio.wait_for(_quiet.stop_event(other).wait(), 10)
    return monitor.snapshot(other)["connect_failures"] == 1


def test_an_open_feed_changes_nothing_else_in_the_process(svc, tmp_path, monkeypatch):
    """While a ca_file feed is open: another client does not trust its CA,
    the task factory and task names are the program's, no class joins
    Coroutine, the client module's ssl is the program's; a CA file removed
    while open does not break the feed's reconnection; a second ca_file
    feed and the close of the first leave all of that as it was."""
    monkeypatch.delenv("SSL_CERT_FILE", raising=False)
    ca = str(tmp_path / "ca.pem")
    shutil.copy(svc.ca_file, ca)
    stand_in = object()
    monkeypatch.setattr(client_module, "ssl", ssl)
    registry = coroutine_registry()
    made = []

    def factory(loop, coro, **kwargs):
        made.append(coro)
        return asyncio.Task(coro, loop=loop, **kwargs)

    async def main():
        loop = asyncio.get_running_loop()
        async with qfeed.open_feed(svc.url, ["ABC"], ca_file=ca) as feed:
            assert loop.get_task_factory() is None
            assert asyncio.create_task(asyncio.sleep(0)).get_name().startswith("Task-")
            loop.set_task_factory(factory)
            await asyncio.to_thread(svc.wait_subscribed, ["ABC"], timeout=10)
            os.remove(ca)  # read once, when the feed opened
            for i in range(3):
                await asyncio.to_thread(svc.send_quote, "ABC", volume=i + 1)
            got = [await anext(feed) for _ in range(3)]
            assert [q["volume"] for q in got] == [1, 2, 3]
            assert loop.get_task_factory() is factory
            assert all(asyncio.iscoroutine(c) for c in made)  # no marker among them
            assert coroutine_registry() == registry
            assert await other_client_fails(svc, loop)
            svc.drop()  # the feed reconnects with the trust it read at open
            await asyncio.wait_for(feed.client.IS_CONNECTED.wait(), 10)
            await until(lambda: monitor.snapshot(feed.client)["connections_opened"] == 2)
            client_module.ssl = stand_in
        assert client_module.ssl is stand_in
        assert loop.get_task_factory() is factory

    asyncio.run(main())


def test_a_missing_ca_file_is_an_error_at_open(svc, tmp_path):
    ca = str(tmp_path / "ca.pem")
    shutil.copy(svc.ca_file, ca)
    feed = qfeed.open_feed(svc.url, ["ABC"], ca_file=ca)
    os.remove(ca)

    async def main():
        with pytest.raises(ValueError, match="no CA file"):
            async with feed:
                pass

    asyncio.run(main())


async def until(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "timed out"
        await asyncio.sleep(0.01)


def test_iterators_subscriptions_errors_and_a_long_buffer(svc):
    """Two tasks share one feed's quotes and both end at its close; one that
    was never opened refuses to be iterated; unsubscribe takes instruments
    out; errors count without an error callback; a consumer draining a long
    buffer lets the loop run."""

    async def main():
        feed = qfeed.open_feed(svc.url, ["ABC", "XYZ"], ca_file=svc.ca_file)
        with pytest.raises(RuntimeError, match="not open"):
            async for _ in feed:
                pass
        with pytest.raises(RuntimeError, match="not open"):
            await anext(feed)
        async with feed:
            conn = await asyncio.to_thread(svc.wait_subscribed, ["ABC", "XYZ"], timeout=10)
            await feed.unsubscribe(["XYZ"])
            await until(lambda: list(conn.subscribed) == ["ABC"])
            await feed.subscribe(["KLM"])
            await until(lambda: list(conn.subscribed) == ["ABC", "KLM"])

            await asyncio.to_thread(svc.send_frame, b'{"other": 1}')
            await until(lambda: feed.stats()["errors"] == 1)

            seen: dict[str, list] = {"a": [], "b": []}

            async def consumer(name):
                async for q in feed:
                    seen[name].append(q["volume"])
                    await asyncio.sleep(0.001)

            tasks = [asyncio.create_task(consumer(n)) for n in seen]
            await asyncio.sleep(0.05)  # both waiting
            for i in range(20):
                await asyncio.to_thread(svc.send_quote, "ABC", volume=i)
            await until(lambda: feed.stats()["delivered"] == 20)
            assert sorted(seen["a"] + seen["b"]) == list(range(20)) and seen["a"] and seen["b"]

            ticks = 0

            async def ticker():
                nonlocal ticks
                while True:
                    ticks += 1
                    await asyncio.sleep(0)

            for t in tasks:
                t.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)
            for i in range(2000):
                feed._buffer(quote("ABC", volume=i))  # a long buffer, as a burst leaves it
            tick = asyncio.create_task(ticker())
            await asyncio.sleep(0)
            before = ticks
            for _ in range(2000):
                await anext(feed)
            assert ticks > before  # the drain let the loop run
            tick.cancel()
            tasks = [asyncio.create_task(consumer(n)) for n in seen]
            await asyncio.sleep(0.05)
        await asyncio.wait_for(asyncio.gather(*tasks), 5)  # both ended with the feed

    asyncio.run(main())


def test_a_feed_as_a_metrics_source():
    """A feed registers with quotra.metrics as it is: its counters, and the
    hand-over lag as a histogram of its own, +Inf past 30 s."""
    from prometheus_client import CollectorRegistry, generate_latest
    from prometheus_client.parser import text_string_to_metric_families

    from quotra import metrics

    feed = qfeed.open_feed("wss://127.0.0.1:1", maxsize=2)
    for age in (0.0, 3.0, 45.0):
        feed._buffer(quote(age=age))
    feed._buffer.take()
    feed._buffer.take()
    registry = CollectorRegistry()
    collector = metrics.Collector()
    registry.register(collector)
    collector.register("f", feed)
    samples = {
        (s.name, s.labels.get("le")): s.value
        for fam in text_string_to_metric_families(generate_latest(registry).decode())
        for s in fam.samples
    }
    assert samples[("quotra_feed_received_total", None)] == 3
    assert samples[("quotra_feed_dropped_total", None)] == 1
    assert samples[("quotra_feed_delivered_total", None)] == 2
    assert samples[("quotra_feed_buffered", None)] == 0
    assert samples[("quotra_feed_conflated_total", None)] == 0
    assert samples[("quotra_feed_late_quotes_total", None)] == 2
    assert samples[("quotra_feed_lag_seconds_bucket", "30.0")] == 1
    assert samples[("quotra_feed_lag_seconds_bucket", "+Inf")] == 2
    assert samples[("quotra_feed_lag_seconds_count", None)] == 2
