"""A client's health (quotra.monitor) and its Prometheus metrics
(quotra.metrics): the counters against what the local service itself
counted, staleness while the service holds its quotes, a scrape over HTTP,
sources other than clients, and a documented surface left as it was."""

import asyncio
import math
import subprocess
import sys
import urllib.request

import pytest
from picows import WSMsgType
from prometheus_client import CollectorRegistry, generate_latest
from prometheus_client.parser import text_string_to_metric_families

from conftest import ROOT
from harness import ClientSession, pickled_state
from quotra import metrics, monitor
from quotra.quotra import Quotra

COUNTERS = (
    "quotes",
    "quote_errors",
    "frames",
    "bytes",
    "connections_opened",
    "disconnections",
    "connect_failures",
)


def scrape(port: int) -> dict[tuple[str, str], float]:
    """{(sample name, client label): value} of the quotra samples at /metrics."""
    with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=10) as r:
        return parse(r.read().decode())


def parse(text: str) -> dict[tuple[str, str], float]:
    return {
        (s.name, s.labels.get("client")): s.value
        for fam in text_string_to_metric_families(text)
        for s in fam.samples
        if s.name.startswith("quotra_")
    }


def test_counters_agree_with_the_service_through_errors_a_server_close_and_reconnections():
    # No automatic quotes (rate None): every frame is one the test sends.
    with ClientSession(instruments=("ABC", "XYZ")) as s:
        svc, client, rec = s.svc, s.client, s.rec
        sent = [svc.send_quote("ABC") for _ in range(5)]
        svc.send_frame(b"\x00\x01", WSMsgType.BINARY)  # a data frame, not a quote
        bad = [b'{"message":"QQ"}', b'{"other":1}', b"null"]  # base64, KeyError, TypeError
        for payload in bad:
            svc.send_frame(payload)
        s.run(rec.wait(lambda: rec.messages == 5 and rec.errors == 3, 10, "5 quotes and 3 errors"))

        before = svc.accepted
        svc.close(1001, b"restart")
        s.run(s.wait_reconnected(before, ["ABC", "XYZ"]))
        sent += [svc.send_quote("XYZ") for _ in range(4)]
        s.run(rec.wait_quotes(9))

        # Not a JSON object: the error leaves the frame handler and picows
        # ends the connection; the client reconnects.
        before = svc.accepted
        svc.send_frame(b"[1]")
        s.run(s.wait_reconnected(before, ["ABC", "XYZ"]))
        # A resubscription empties the set, sends it and refills it once the
        # send is done: the service can see the message before the refill.
        s.run(
            rec.wait(lambda: monitor.snapshot(client)["subscriptions"] == 2, 10, "the set refilled")
        )

        snap = monitor.snapshot(client)
        closes = sum(1 for e in svc.events if e.kind == "close")
        assert snap["quotes"] == svc.quotes_sent == rec.messages == 9
        assert snap["quote_errors"] == rec.errors + 1 == 4
        assert snap["frames"] == 9 + 1 + 3 + 1
        assert snap["bytes"] == sum(map(len, sent)) + 2 + sum(map(len, bad)) + len(b"[1]")
        assert snap["connections_opened"] == svc.accepted == 3
        assert snap["disconnections"] == closes == 2
        assert snap["connected"] is True and snap["subscriptions"] == 2
        assert 0 <= snap["last_quote_age_s"] < 30

        # The same values over HTTP, read at scrape time.
        metrics.register("feed", client)
        server = metrics.serve(0)
        try:
            scraped = s.run(asyncio.to_thread(scrape, server.server_port))
            after = monitor.snapshot(client)
        finally:
            assert metrics.unregister("feed")
            server.shutdown()
            server.server_close()
        for key in COUNTERS:
            assert scraped[(f"quotra_{key}_total", "feed")] == after[key] == snap[key], key
        assert scraped[("quotra_connected", "feed")] == 1
        assert scraped[("quotra_subscriptions", "feed")] == 2
        assert (
            snap["last_quote_age_s"]
            <= scraped[("quotra_last_quote_age_seconds", "feed")]
            <= after["last_quote_age_s"]
        )

        # The counters are not part of the pickled state (its checksum: tests/test_pickling.py).
        assert len(pickled_state(client)) == 13


def test_last_quote_age_grows_while_the_service_holds_its_quotes():
    with ClientSession(rate=200, instruments=("ABC",)) as s:
        s.run(s.rec.wait_quotes(3))
        s.svc.pause_quotes()

        async def quiet_pair():
            # A quote already on its way may land between the two reads: try again.
            for _ in range(10):
                first = monitor.snapshot(s.client)
                await asyncio.sleep(0.3)
                second = monitor.snapshot(s.client)
                if first["quotes"] == second["quotes"]:
                    return first, second
            raise AssertionError("quotes kept arriving while paused")

        first, second = s.run(quiet_pair())
        assert second["last_quote_age_s"] - first["last_quote_age_s"] >= 0.25
        s.svc.resume_quotes()
        s.run(s.rec.wait_quotes(second["quotes"] + 1))
        assert monitor.snapshot(s.client)["last_quote_age_s"] < second["last_quote_age_s"]


class Bridge:
    """Another component reporting through the same collector."""

    def __init__(self):
        self.published = 0

    def snapshot(self):
        return {"published": self.published, "backlog": None}


class Broken:
    def __init__(self, snapshot):
        self.snapshot = snapshot


def test_sources_families_and_what_is_refused(loop):
    class Client(Quotra):
        pass

    fresh = Client(loop)
    assert monitor.snapshot(fresh) == {
        "quotes": 0,
        "quote_errors": 0,
        "frames": 0,
        "bytes": 0,
        "connections_opened": 0,
        "disconnections": 0,
        "connect_failures": 0,
        "connected": False,
        "last_quote_age_s": None,
        "subscriptions": 0,
        "lag_s": None,
        "late_quotes": 0,
        "future_quotes": 0,
        "frames_after_close": 0,
    }
    assert tuple(monitor.snapshot(fresh)) == monitor.FIELDS
    for other in (object(), Bridge(), None, Quotra):
        with pytest.raises(TypeError):
            monitor.snapshot(other)

    published = metrics.Family("published", "quotra_test_published_total", "counter", "Published.")
    backlog = metrics.Family("backlog", "quotra_test_backlog", "gauge", "Backlog.", missing=-1.0)
    registry = CollectorRegistry()
    collector = metrics.Collector()
    registry.register(collector)
    bridge = Bridge()
    collector.register("c1", fresh)
    collector.register("b1", bridge, [published, backlog])
    collector.register("broken", Broken(lambda: 1 / 0), [published])
    collector.register("garbled", Broken(lambda: {"published": "many"}), [published])
    bridge.published = 7
    values = parse(generate_latest(registry).decode())
    assert values[("quotra_test_published_total", "b1")] == 7  # read at scrape time
    assert values[("quotra_test_backlog", "b1")] == -1.0
    assert values[("quotra_last_quote_age_seconds", "c1")] == math.inf  # no quote yet
    assert values[("quotra_connected", "c1")] == 0
    assert values[("quotra_quote_lag_seconds_count", "c1")] == 0  # the histogram, for clients only
    assert ("quotra_quote_lag_seconds_count", "b1") not in values
    assert not any(label in ("broken", "garbled") for _, label in values)

    with pytest.raises(ValueError):
        collector.register("c1", fresh)  # a name once
    with pytest.raises(ValueError):
        collector.register(
            "b2", bridge, [metrics.Family("x", "quotra_test_published", "gauge", "Published.")]
        )
    with pytest.raises(ValueError):
        collector.register("b3", bridge)  # not a client: its families are needed
    with pytest.raises(TypeError):
        collector.register("o", object(), [published])
    with pytest.raises(ValueError):
        metrics.Family("k", "not a name", "gauge", "")

    assert collector.unregister("c1") and not collector.unregister("c1")
    assert collector.registered() == ["b1", "broken", "garbled"]
    values = parse(generate_latest(registry).decode())
    assert not any(label == "c1" for _, label in values)


def test_monitoring_adds_nothing_to_the_module_its_classes_or_their_pickles():
    code = "\n".join(
        [
            "import asyncio",
            "import quotra.quotra as qm",
            "def surface():",
            "    return (sorted(vars(qm)), sorted(qm.Quotra.__dict__), sorted(qm.QuotraListner.__dict__))",
            "before = surface()",
            "client = qm.Quotra(asyncio.new_event_loop())",
            "state = client.__reduce_cython__()",
            "from quotra import metrics, monitor",
            "monitor.snapshot(client)",
            "metrics.register('x', client)",
            "list(metrics.COLLECTOR.collect())",
            "assert surface() == before, (surface(), before)",
            "again = client.__reduce_cython__()",
            "assert again[:2] == state[:2] and len(again[2]) == len(state[2]) == 13",
            "assert all(a is b for a, b in zip(again[2], state[2]))",
            "print('ok')",
        ]
    )
    out = subprocess.run(
        [sys.executable, "-c", code], cwd=ROOT, capture_output=True, text=True, timeout=60
    )
    assert out.returncode == 0 and out.stdout.strip() == "ok", out.stderr
