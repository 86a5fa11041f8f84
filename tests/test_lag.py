"""How old the quotes are when they arrive: the client's lag counters, its
histogram and its lines about lag, for quotes whose exchange timestamps the
test sets (ages relative to this machine's clock)."""

import logging
import time

import pytest
from prometheus_client import CollectorRegistry, generate_latest
from prometheus_client.parser import text_string_to_metric_families

from harness import ClientSession
from quotra import metrics, monitor

FUTURE = -60.0  # an age that puts the quote a minute in the future
FRESH = -0.5  # ahead by less than the threshold (a clock offset): counted as 0 whatever the transit
NO_TS = None  # a quote without a timestamp (exchange_ts_ns 0)

# (ages in seconds, in order; threshold; the lines logged (level, a word of
# each), late_quotes, future_quotes, the snapshot's lag_s about, the
# histogram's non-zero buckets {upper bound: count})
CASES = {
    "behind: one warning for a run of late quotes": (
        [3.0, 3.0, 3.0],
        1.0,
        [(logging.WARNING, "behind")],
        3,
        0,
        3.0,
        {5.0: 3},
    ),
    "back under: the warning, then one info line": (
        [2.0, FRESH, FRESH],
        1.0,
        [(logging.WARNING, "behind"), (logging.INFO, "back under")],
        1,
        0,
        FRESH,
        {2.5: 1, 0.001: 2},
    ),
    "a per-client threshold": (
        [0.3, 0.1],
        0.2,
        [(logging.WARNING, "behind"), (logging.INFO, "back under")],
        1,
        0,
        0.1,
        {0.5: 1, 0.25: 1},
    ),
    "a clock in the future: reported once, not as lag": (
        [FUTURE, FUTURE, FRESH],
        1.0,
        [(logging.WARNING, "ahead")],
        0,
        2,
        FRESH,
        {0.001: 1},
    ),
    "quotes without a timestamp are not counted": ([NO_TS, NO_TS], 1.0, [], 0, 0, None, {}),
}


def exchange_ts(age: float | None) -> int:
    return 0 if age is None else time.time_ns() - int(age * 1e9)


@pytest.mark.parametrize(
    "ages, threshold, lines, late, future, lag_s, buckets", CASES.values(), ids=CASES
)
def test_lag_counters_histogram_and_lines(ages, threshold, lines, late, future, lag_s, buckets):
    with ClientSession(instruments=("ABC",)) as s:
        monitor.set_lag_threshold(s.client, threshold)
        assert monitor.lag_threshold(s.client) == pytest.approx(threshold)
        for i, age in enumerate(ages):
            s.svc.send_quote("ABC", exchange_ts_ns=exchange_ts(age), volume=i + 1)
            s.run(s.rec.wait_quotes(i + 1))
        logged = [
            (level, text)
            for level, text in s.log.lines
            if "lag" in text or "clock" in text or "behind" in text
        ]
        assert [level for level, _ in logged] == [level for level, _ in lines], logged
        for (_, text), (_, word) in zip(logged, lines):
            assert word in text
        snap = monitor.snapshot(s.client)
        assert (snap["late_quotes"], snap["future_quotes"]) == (late, future)
        if lag_s is None:
            assert snap["lag_s"] is None
        else:
            assert snap["lag_s"] == pytest.approx(lag_s, abs=0.2)
        hist = monitor.lag_histogram(s.client)
        got = {(hist.bounds + (float("inf"),))[i]: n for i, n in enumerate(hist.counts) if n}
        assert got == buckets
        assert hist.sum_s == pytest.approx(sum(a for a in ages if a is not None and a > 0), abs=0.5)
        # The same counts in the exposition: cumulative, +Inf last, the count and the sum beside.
        registry = CollectorRegistry()
        collector = metrics.Collector()
        registry.register(collector)
        collector.register("c", s.client)
        samples = {
            (x.name, x.labels.get("le")): x.value
            for fam in text_string_to_metric_families(generate_latest(registry).decode())
            for x in fam.samples
            if x.name.startswith("quotra_quote_lag_seconds")
        }
        running = 0
        for bound, n in zip(hist.bounds + (float("inf"),), hist.counts):
            running += n
            le = "+Inf" if bound == float("inf") else repr(bound)
            assert samples[("quotra_quote_lag_seconds_bucket", le)] == running
        assert samples[("quotra_quote_lag_seconds_count", None)] == running == sum(hist.counts)
        assert samples[("quotra_quote_lag_seconds_sum", None)] == pytest.approx(hist.sum_s)
