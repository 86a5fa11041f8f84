"""Readers of the stream that fall behind: the recorder and ``quotes()``
against a real nats-server, each fault leaving the recording equal to the
stream or the difference counted, said and in the exit status."""

import asyncio
import contextlib
import logging
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

import orjson
import pytest

from harness import limit
from nats_server import NatsServer, free_port, stored_quotes
from quotra.pricetape_proto import message_to_dict
from quotra.record import read
from quotra.service.market import Market
from test_record import (
    ROOT,
    _js,
    _publish,
    _received,
    _steal_one,
    by_instrument,
    recorder,
    scrape,
    stop,
    wait,
)


def _quotes(n, seed=21, names=("ABC", "XYZ")):
    market = Market(seed)
    return [message_to_dict(market.quote(names[i % len(names)])) for i in range(n)]


def _metric(port, name):
    m = re.search(rf'^{name}{{client="record"}} (\S+)', scrape(port), re.M)
    return float(m.group(1)) if m else None


# -- the recorder ------------------------------------------------------------------


def _frozen(proc, url, port, published):
    """Frozen (SIGSTOP) while the small stream (50 quotes an instrument) takes 400 more."""
    proc.send_signal(signal.SIGSTOP)
    try:
        time.sleep(1.0)  # its pending pull has expired: nothing more is delivered to it
        asyncio.run(_publish(url, published[100:500]))
    finally:
        proc.send_signal(signal.SIGCONT)
    return asyncio.run(stored_quotes(url))


def _deleted_then_stolen(proc, url, port, published):
    """The consumer deleted; once the recorder made it again, one delivery of
    the new consumer lost in flight."""

    def floor():
        info = asyncio.run(_js(url, lambda js: js.consumer_info("QUOTES", "quotra-record")))
        return info.ack_floor.stream_seq

    wait(lambda: floor() >= 60, 20, "the recorder to acknowledge its files")
    asyncio.run(_js(url, lambda js: js.delete_consumer("QUOTES", "quotra-record")))
    asyncio.run(_publish(url, published[100:140]))
    wait(lambda: _received(port) == 140, 20, "the recorder to make its consumer again")
    asyncio.run(_steal_one(url, [published[i : i + 20] for i in range(140, 600, 20)]))
    return asyncio.run(stored_quotes(url))


def _verify(out, url):
    """``quotra-record --verify``: its exit status and the table's rows."""
    done = subprocess.run(
        [sys.executable, "-m", "quotra.record", "--verify", str(out), "--nats", url]
        + ["--instruments", "ABC,XYZ"],
        cwd=ROOT,
        capture_output=True,
        text=True,
        timeout=limit(30),
    )
    rows = {
        m.group(1): tuple(map(int, m.groups()[1:]))
        for m in re.finditer(r"^(ABC|XYZ) +(\d+) +(\d+) +(\d+) +(\d+)$", done.stdout, re.M)
    }
    return done.returncode, done.stdout + done.stderr, rows


def _another_instrument(proc, url, port, published):
    """Another instrument's quotes among the recorded ones: their sequences
    are no loss of the recorder's."""
    other = _quotes(20, seed=8, names=("NEW", "ABC"))
    asyncio.run(_publish(url, other))
    return [q for q in asyncio.run(stored_quotes(url)) if q["instrument"] != "NEW"]


# fault -> (what is done to the recorder, stream limits, its files' rows, exit status,
# counters, a log line)
RECORDER_FAULTS = {
    "a frozen recorder on a small stream": (
        _frozen,
        dict(max_msgs_per_subject=50),
        60,
        1,
        dict(received=200, missing=300, fetched_again=0),
        "no longer holds sequences 101 to 400: 300 quotes",
    ),
    "a consumer made again, then a delivery lost in flight": (
        _deleted_then_stolen,
        {},
        20,  # acknowledged up to about 80: the new consumer counts from 1 far below 100
        0,
        dict(remade=1, fetched_again=1, missing=0),
        "never arrived",
    ),
    "another instrument's quotes appear in the stream": (
        _another_instrument,
        {},
        60,
        0,
        dict(received=110, missing=0),
        "recording ABC,XYZ",
    ),
}


@pytest.mark.parametrize("fault", RECORDER_FAULTS)
def test_a_recorder_behind_records_or_counts_every_sequence(tmp_path, fault):
    act, limits, rows, rc_wanted, wanted, line = RECORDER_FAULTS[fault]
    out, published = tmp_path / "rec", _quotes(600)
    with NatsServer() as srv:
        asyncio.run(_publish(srv.url, published[:100], create=True, **limits))
        port = free_port()
        proc = recorder(
            out,
            "--nats",
            srv.url,
            roll_rows=rows,
            row_group=20,
            extra=("--metrics-port", str(port)),
        )
        try:
            wait(lambda: _received(port) == 100, 20, "the recorder to take the quotes")
            stream = act(proc, srv.url, port, published)
            new = [q for q in stream if q not in published[:100]]
            wait(
                lambda: _received(port) >= 100 + len(new),
                20,
                "the recorder to take what the stream holds",
            )
            rc, log, counters = stop(proc)
            recorded = by_instrument(read(out))
            verified = _verify(out, srv.url)
            if not counters["missing"]:
                # A file there twice (as if copied back by hand): the table says so.
                first = sorted(out.rglob("part-*.parquet"))[0]
                shutil.copy(first, first.with_name("part-99999999999999999999-1-1.parquet"))
                twice = _verify(out, srv.url)
        finally:
            if proc.poll() is None:
                proc.send_signal(signal.SIGCONT)
                proc.kill()
    assert rc == rc_wanted and counters is not None, log
    assert {k: counters[k] for k in wanted} == wanted, log
    assert line in log and "Traceback" not in log, log
    # The exit line's counts per instrument are what the files hold.
    per = ", ".join(f"{i} {len(recorded[i])}" for i in sorted(recorded))
    assert f"recorded per instrument: {per}\n" in log, log
    status, table, rows = verified
    if counters["missing"]:
        # What it has is what the stream gave, each once, in order.
        assert recorded == by_instrument(published[:100] + stream), log
        assert log.count("no longer holds") == 1, log
        # instrument -> recorded, in the stream, missing, recorded twice
        assert status == 1 and rows == {"ABC": (100, 50, 0, 0), "XYZ": (100, 50, 0, 0)}, table
        assert "stream sequences 101 to 400 (300): neither recorded nor in the stream" in table
    else:
        assert recorded == by_instrument(stream), log
        n = {i: sum(q["instrument"] == i for q in stream) for i in ("ABC", "XYZ")}
        assert status == 0 and rows == {i: (k, k, 0, 0) for i, k in n.items()}, table
        assert table.rstrip().endswith("agree"), table
        status, table, rows = twice
        assert status == 1 and table.rstrip().endswith("DISAGREE"), table
        assert sorted(r[3] for r in rows.values())[0] == 0, table
        assert sorted(r[3] for r in rows.values())[1] in (20, 60), table  # the file copied


def test_a_consumer_deleted_after_75_s_costs_at_most_a_minute_read_again(tmp_path):
    """At the defaults, 20 quotes a second: 75 s in, the consumer is deleted;
    what the new one delivers again is what was not yet acknowledged."""
    out, published, done = tmp_path / "rec", _quotes(3000, seed=22), threading.Event()
    rate, sent = 20, []

    async def publish(url):
        import nats

        nc = await nats.connect(url)
        try:
            js = nc.jetstream()
            for q in published:
                if done.is_set():
                    break
                await js.publish(f"quotes.{q['instrument']}", orjson.dumps(q))
                sent.append(q)
                await asyncio.sleep(1 / rate)
        finally:
            await nc.close()

    with NatsServer() as srv:
        asyncio.run(_publish(srv.url, [], create=True))
        port = free_port()
        proc = recorder(out, "--nats", srv.url, extra=("--metrics-port", str(port)))
        publisher = threading.Thread(target=asyncio.run, args=(publish(srv.url),))
        try:
            wait(
                lambda: "quotra_record_received_total" in scrape(port), 20, "the recorder to start"
            )
            publisher.start()
            time.sleep(75)
            write_age = _metric(port, "quotra_record_last_write_age_seconds")
            oldest = _metric(port, "quotra_record_oldest_pending_age_seconds")
            asyncio.run(_js(srv.url, lambda js: js.delete_consumer("QUOTES", "quotra-record")))
            time.sleep(3)
            done.set()
            publisher.join(limit(10))
            stream = asyncio.run(stored_quotes(srv.url))
            wait(lambda: _received(port) >= len(stream), 30, "the recorder to catch up")
            rc, log, counters = stop(proc)
        finally:
            done.set()
            if proc.poll() is None:
                proc.kill()
    assert rc == 0 and counters["remade"] == 1 and counters["missing"] == 0, log
    assert by_instrument(read(out)) == by_instrument(stream), log
    # Read again: at most a minute of quotes (files roll, and are acknowledged, every 30 s).
    assert 0 < counters["duplicates"] <= 60 * rate, log
    # Rows reach the disk within seconds at this rate; nothing taken is older than a file's span.
    assert write_age is not None and write_age < 10, log
    assert oldest is not None and oldest <= 35, log
    assert "quotes left unread in the stream" in log, log


# -- quotes() -------------------------------------------------------------------------


async def _evicted_continuously(url, caplog):
    """A reader of 10 quotes/s on a stream of 5 quotes an instrument taking 200/s for 7 s."""
    from quotra.bridge import quotes

    evicted = []
    await _publish(url, [], create=True, max_msgs_per_subject=5)

    async def publish():
        for batch in range(70):
            await _publish(url, _quotes(20, seed=batch))
            await asyncio.sleep(0.1)

    publisher = asyncio.ensure_future(publish())
    async for _ in quotes(url, on_evicted=evicted.append):
        if publisher.done():
            break
        await asyncio.sleep(0.1)
    await publisher
    return sum(evicted)


async def _before_its_stream(url, caplog):
    """Started before the stream exists; the stream made and 300 quotes
    published while it waits for it."""
    from quotra.bridge import quotes

    published, got = _quotes(300, seed=5), []

    async def read():
        async for q in quotes(url):
            got.append(q)
            if len(got) == len(published):
                return

    reader = asyncio.ensure_future(read())
    async with asyncio.timeout(limit(10)):
        while "no stream QUOTES yet" not in caplog.text:
            await asyncio.sleep(0.01)
    await asyncio.sleep(1.7)  # it is in its 1.6 s wait for the stream
    await _publish(url, published, create=True)
    async with asyncio.timeout(limit(15)):
        await reader
    assert got == published
    return 0


async def _durable_restarted(url, caplog):
    """A durable reader takes 60 and stops; 200 more published (the stream
    keeps 50 an instrument); started again, it goes on after the 60th."""
    from quotra.bridge import quotes

    published = _quotes(300, seed=6)
    await _publish(url, [], create=True, max_msgs_per_subject=50)
    got, evicted = [], []

    async def first_run():
        # Closed on leaving the block: its last acknowledgement goes out then.
        async with contextlib.aclosing(quotes(url, durable="reader")) as reader:
            async for q in reader:
                got.append(q)
                if len(got) == 60:
                    return

    reader = asyncio.ensure_future(first_run())
    await asyncio.sleep(0.5)  # its consumer made, on the empty stream
    await _publish(url, published[:100])
    async with asyncio.timeout(limit(10)):
        await reader
    await _publish(url, published[100:])  # the stream keeps sequences 201 to 300
    async for q in quotes(url, durable="reader", on_evicted=evicted.append):
        got.append(q)
        if q == published[-1]:
            break
    assert got == published[:60] + published[200:]
    return sum(evicted)


# fault -> (the reader's run, evicted counted)
CONSUMER_FAULTS = {
    "a continuously evicted consumer": (_evicted_continuously, None),
    "a consumer before its stream": (_before_its_stream, 0),
    "a durable consumer started again": (_durable_restarted, 140),
}


@pytest.mark.parametrize("fault", CONSUMER_FAULTS)
def test_quotes_behind_counts_what_it_skips_and_says_so_at_most_every_5_s(caplog, fault):
    run, evicted_wanted = CONSUMER_FAULTS[fault]
    with NatsServer() as srv, caplog.at_level(logging.INFO, "quotra.bridge"):
        evicted = asyncio.run(asyncio.wait_for(run(srv.url, caplog), limit(60)))
    lines = [
        r.getMessage()
        for r in caplog.records
        if "removed by the stream's retention" in r.getMessage()
    ]
    said = sum(int(re.match(r"NATS consumer: (\d+) quotes", line).group(1)) for line in lines)
    assert said == evicted, lines
    if evicted_wanted is None:
        # 7 s of evictions: a line at the first, one 5 s later, one at the end.
        assert evicted > 500 and len(lines) <= 3, lines
    else:
        assert evicted == evicted_wanted, lines


def test_a_recorder_warns_at_start_when_the_stream_keeps_less_than_a_minute(tmp_path):
    """100 quotes an instrument at 100 quotes/s over two instruments: 2 s kept."""
    out, published, done = tmp_path / "rec", _quotes(1000, seed=23), threading.Event()

    async def publish(url):
        for i in range(0, len(published), 10):
            if done.is_set():
                return
            await _publish(url, published[i : i + 10])
            await asyncio.sleep(0.1)

    with NatsServer() as srv:
        asyncio.run(_publish(srv.url, [], create=True, max_msgs_per_subject=100))
        publisher = threading.Thread(target=asyncio.run, args=(publish(srv.url),))
        publisher.start()
        proc = recorder(out, "--nats", srv.url)
        try:
            time.sleep(4)  # its measure of the rate takes 2 s
            rc, log, counters = stop(proc)
        finally:
            done.set()
            publisher.join(limit(10))
            if proc.poll() is None:
                proc.kill()
    m = re.search(r"keeps about ([\d.]+) s of quotes at the current rate \((\d+) quotes/s", log)
    # 100 quotes of an instrument at half the rate (rounded as logged).
    assert m and int(m.group(2)) > 10, log
    assert abs(float(m.group(1)) - 200 / int(m.group(2))) <= 0.5, log
    assert "its limit of 100 quotes per instrument" in log, log
