"""The recorder's accounting of what the stream no longer holds, with
stand-in messages and stream answers: the counts a real server's gaps lead to
(tests/test_record_behind.py runs the real ones)."""

import asyncio
import logging
import re
from types import SimpleNamespace

import orjson
import pytest

from quotra.pricetape_proto import message_to_dict
from quotra.service.market import Market


@pytest.mark.parametrize(
    "whole, lost, got, missing",
    [
        (True, 10, 4, 6),  # every sequence of the span was the recorder's: 6 gone
        (True, 10, 10, 0),
        (False, 3, 1, 2),  # other instruments' sequences fill the span; 3 never arrived
        (False, 3, 3, 0),
        (True, 2, 0, 10),  # 2 in flight, 8 never delivered: the whole span is gone
    ],
)
def test_a_fetch_again_short_of_what_was_lost_counts_the_rest_missing(
    tmp_path, monkeypatch, whole, lost, got, missing
):
    from types import SimpleNamespace

    import quotra.record.nats_source as nats_source
    from quotra.record.nats_source import NatsSource
    from quotra.record.writer import DatasetWriter

    market = Market(3)

    def message(seq):
        q = message_to_dict(market.quote("ABC"))
        return SimpleNamespace(
            metadata=SimpleNamespace(
                sequence=SimpleNamespace(stream=seq, consumer=seq), num_pending=0
            ),
            subject="quotes.ABC",
            data=orjson.dumps(q),
        )

    async def fetched(js, stream, subjects, first, end):
        return [message(first + i) for i in range(got)]

    async def is_whole(self, js):
        return whole

    monkeypatch.setattr(nats_source, "fetch_again", fetched)
    monkeypatch.setattr(NatsSource, "_is_whole", is_whole)
    src = NatsSource(DatasetWriter(str(tmp_path)), "nats://127.0.0.1:1", ["ABC"])
    src._last_sseq, src._cseq = 100, 50
    after = message(111)
    after.metadata.sequence.consumer = 50 + lost + 1
    asyncio.run(src._take_batch(None, [after]))
    src.writer.close()
    assert (src.counters.missing, src.counters.fetched_again, src.writer.received) == (
        missing,
        got,
        got + 1,
    )


def test_retention_losses_are_said_at_most_every_5_s_with_the_count(caplog):
    from quotra.record.counters import Counters
    from quotra.record.gaps import Gaps

    gaps = Gaps(Counters(writer=None))
    with caplog.at_level(logging.WARNING, "quotra.record"):
        for i in range(100):
            gaps.missing(3, 1000 + 10 * i, 1002 + 10 * i)
        gaps.say()
    lines = [r.getMessage() for r in caplog.records]
    counts = [int(re.search(r"(\d+) quotes the recorder", line).group(1)) for line in lines]
    assert counts == [3, 297] and gaps.counters.missing == 300, lines
    assert "sequences 1010 to 1992 (99 gaps)" in lines[1], lines


def _source(tmp_path, instruments=("ABC",)):
    from quotra.record.nats_source import NatsSource
    from quotra.record.writer import DatasetWriter

    return NatsSource(DatasetWriter(str(tmp_path)), "nats://127.0.0.1:1", list(instruments))


@pytest.mark.parametrize(
    "pending, oldest, missing",
    [
        (
            60,
            200,
            89,
        ),  # this message is its oldest: at most 200 - 110 - 1 (no other recorded deliveries)
        (60, 230, 89),  # trimmed past it since
        (60, 150, 0),  # the instrument's oldest is older: nothing of it was removed
        (10, 200, 0),  # less than a limit's worth behind: its retention did not reach it
    ],
)
def test_a_recorder_of_some_instruments_counts_an_upper_bound_only_when_its_own_were_removed(
    tmp_path, monkeypatch, pending, oldest, missing
):
    """Recording ABC of a stream that also holds other instruments (50 quotes
    an instrument kept): ABC's last was sequence 110, its next is 200."""
    from quotra.record.nats_source import NatsSource

    async def not_whole(self, js):
        return False

    monkeypatch.setattr(NatsSource, "_is_whole", not_whole)
    src = _source(tmp_path)
    src._per_subject, src._seen["ABC"] = 50, 110
    src._taken_at["quotes.ABC"] = src._taken = 7
    src._last_sseq, src._cseq = 150, 7

    class Js:
        async def get_msg(self, stream, seq, next, subject):
            assert (stream, subject, next) == ("QUOTES", "quotes.ABC", True)
            return SimpleNamespace(seq=oldest)

    msg = SimpleNamespace(
        metadata=SimpleNamespace(
            sequence=SimpleNamespace(stream=200, consumer=8), num_pending=pending
        ),
        subject="quotes.ABC",
        data=orjson.dumps(message_to_dict(Market(4).quote("ABC"))),
    )
    asyncio.run(src._take_batch(Js(), [msg]))
    src.writer.close()
    assert src.counters.missing == missing
    assert src.counters.missing_bound == bool(missing)


@pytest.mark.parametrize(
    "limits, rate, subjects, seconds, why",
    [
        (dict(max_msgs_per_subject=100), 2500.0, 8, 0.32, "100 quotes per instrument"),
        (
            dict(max_msgs_per_subject=1_000_000, max_age=3600.0),
            2500.0,
            8,
            3200.0,
            "1000000 quotes per instrument",
        ),
        (dict(max_msgs=60_000), 2500.0, 8, 24.0, "60000 quotes"),
        (dict(max_bytes=1_000_000), 1000.0, 2, 5.0, "1000000 bytes"),  # 200 bytes a quote
        (dict(max_age=30.0), 100.0, 2, 30.0, "a maximum age of 30 s"),
        (dict(max_msgs_per_subject=100), 0.0, 8, float("inf"), ""),  # nothing written
    ],
)
def test_how_long_the_stream_keeps_a_quote_at_the_current_rate(
    limits, rate, subjects, seconds, why
):
    from quotra.record.gaps import retention_seconds

    config = SimpleNamespace(
        **{"max_msgs_per_subject": -1, "max_msgs": -1, "max_bytes": -1, "max_age": 0.0, **limits}
    )
    got, said = retention_seconds(config, SimpleNamespace(messages=10, bytes=2000), rate, subjects)
    assert (round(got, 2), said) == (seconds, why)


def test_a_recorder_whose_consumer_is_gone_counts_from_what_its_files_hold(tmp_path, monkeypatch):
    """A first run stores 100 quotes but none of its acknowledgements reach
    the server, and its consumer is deleted; the stream (50 quotes an
    instrument) then takes 300 more: the second run finds sequences 1 to 300
    gone, of which it lacks 101 to 300."""
    from harness import limit
    from nats_server import NatsServer
    from quotra.record.nats_source import NatsSource
    from quotra.record.writer import DatasetWriter
    from test_record import _js, _publish

    published = [
        message_to_dict(q) for q in (Market(9).quote(("ABC", "XYZ")[i % 2]) for i in range(400))
    ]

    async def run(src, until):
        task = asyncio.create_task(src.run())
        async with asyncio.timeout(limit(20)):
            while src.writer.received < until:
                await asyncio.sleep(0.05)
        src.stop()
        return await task

    async def no_ack(self):
        self._to_ack = None

    with NatsServer() as srv:
        asyncio.run(_publish(srv.url, published[:100], create=True, max_msgs_per_subject=50))
        with monkeypatch.context() as m:
            m.setattr(NatsSource, "_ack", no_ack)
            first = NatsSource(DatasetWriter(str(tmp_path), roll_rows=50), srv.url, ["ABC", "XYZ"])
            assert asyncio.run(run(first, 100)) == 0
        asyncio.run(_js(srv.url, lambda js: js.delete_consumer("QUOTES", "quotra-record")))
        asyncio.run(_publish(srv.url, published[100:]))
        second = NatsSource(DatasetWriter(str(tmp_path), roll_rows=50), srv.url, ["ABC", "XYZ"])
        assert asyncio.run(run(second, 100)) == 1
    assert (second.counters.missing, second.counters.duplicates) == (200, 0)


class StallingSub:
    """A pull subscription over stream sequences 1..``held`` whose server
    gives nothing for one wait after ``stall_after`` messages."""

    def __init__(self, held, stall_after):
        self.seqs = list(range(1, held + 1))
        self.stall_after = stall_after
        self.given = 0
        self.pending_msgs = 0

    async def fetch(self, n, timeout):
        if self.given == self.stall_after or self.given >= len(self.seqs):
            self.stall_after = None
            raise TimeoutError
        batch = self.seqs[self.given : self.given + min(n, 2)]
        self.given += len(batch)
        left = len(self.seqs) - self.given
        return [
            SimpleNamespace(
                metadata=SimpleNamespace(sequence=SimpleNamespace(stream=s), num_pending=left),
                subject="quotes.ABC",
            )
            for s in batch
        ]

    async def consumer_info(self):
        return SimpleNamespace(num_pending=len(self.seqs) - self.given)

    async def unsubscribe(self):
        pass


@pytest.mark.parametrize(
    "held, stall_after, end, expected",
    [
        (6, 2, None, [1, 2, 3, 4, 5, 6]),  # a pause mid-read: the rest is still read
        (6, 0, None, [1, 2, 3, 4, 5, 6]),  # a pause before the first message
        (6, 4, 6, [1, 2, 3, 4, 5]),
        (0, 0, None, []),  # nothing held: the first wait is the end
        (4, None, None, [1, 2, 3, 4]),
    ],
)
def test_a_fetch_again_reads_past_a_server_that_pauses(held, stall_after, end, expected):
    """What the stream still holds is read however long the server pauses
    (within the bound): taking a pause for the end counted quotes the stream
    held as missing, and let --verify agree on half the stream."""
    from quotra.record.gaps import fetch_again

    sub = StallingSub(held, stall_after)

    class Js:
        async def pull_subscribe(self, subject, stream, config):
            return sub

    got = asyncio.run(fetch_again(Js(), "QUOTES", ["quotes.ABC"], 1, end, timeout=5))
    assert [m.metadata.sequence.stream for m in got] == expected
