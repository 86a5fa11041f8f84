"""The NATS bridge against a real nats-server (JetStream on, started here on a
free port of 127.0.0.1) and the local market-data service: the bridge and a
subscriber each run in a process of their own, as they would in production."""

import asyncio
import json
import re
import signal
import subprocess
import sys
import time
import urllib.request
from pathlib import Path

import pytest

from harness import limit
from nats_server import NatsServer, free_port
from quotra.bridge import Bridge, check_instrument, quotes
from quotra.pricetape_proto import FIELDS
from quotra.service import ServiceThread

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
COUNTERS = re.compile(r"bridge counters: received (\d+), published (\d+), dropped (\d+), refused (\d+), "
                      r"buffered (\d+), NATS reconnections (\d+)")


def start_bridge(svc, nats_url, *extra):
    cmd = [sys.executable, "-m", "quotra.bridge", "--url", svc.url, "--ca-file", svc.ca_file, "--nats", nats_url,
           "--instruments", "ABC,XYZ", *extra]
    return subprocess.Popen(cmd, cwd=ROOT, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def stop_bridge(proc, sig=signal.SIGINT):
    """``sig``, then the exit status, the log and the counters at exit."""
    proc.send_signal(sig)
    t0 = time.monotonic()
    try:
        out, _ = proc.communicate(timeout=limit(10))
    except subprocess.TimeoutExpired:
        proc.kill()
        out, _ = proc.communicate()
        pytest.fail(f"the bridge did not exit within 10 s of {sig!r}:\n{out}")
    took = time.monotonic() - t0
    m = COUNTERS.search(out)
    assert m, out
    names = ("received", "published", "dropped", "refused", "buffered", "reconnections")
    return proc.returncode, took, out, dict(zip(names, map(int, m.groups())))


class Subscriber:
    """A plain NATS subscriber in another process (tests/nats_server.py)."""

    def __init__(self, nats_url, subject="quotes.>"):
        self.proc = subprocess.Popen([sys.executable, str(HERE / "nats_server.py"), "subscribe", nats_url, subject],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        assert self.proc.stdout.readline().strip() == "ready"

    def report(self):
        out, _ = self.proc.communicate("report\n", timeout=limit(20))
        return json.loads(out.splitlines()[-1])

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def scrape(port):
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=2) as r:
            return r.read().decode()
    except OSError:
        return ""


def wait(predicate, timeout, what):
    deadline = time.monotonic() + limit(timeout)
    while not predicate():
        if time.monotonic() > deadline:
            pytest.fail(f"timed out waiting for {what}")
        time.sleep(0.05)


async def first(n, nats_url, instruments, timeout=10):
    out = []
    async with asyncio.timeout(limit(timeout)):
        async for quote in quotes(nats_url, instruments):
            out.append(quote)
            if len(out) == n:
                return out


def test_every_quote_reaches_a_subscriber_then_a_late_consumer_gets_the_last_of_each_first():
    count = 3000
    with NatsServer() as nats_srv, ServiceThread(count=count, rate=None) as svc:
        sub = Subscriber(nats_srv.url)
        port = free_port()
        bridge = start_bridge(svc, nats_srv.url, "--metrics-port", str(port), "--metrics-addr", "127.0.0.1")
        try:
            svc.wait_quotes_sent(count, timeout=limit(30))
            # The bridge's counters and its client's, through quotra.metrics.
            wanted = {f'quotra_bridge_published_total{{client="bridge"}} {count}.0',
                      f'quotra_quotes_total{{client="bridge"}} {count}.0',
                      'quotra_bridge_dropped_total{client="bridge"} 0.0',
                      'quotra_connections_opened_total{client="bridge"} 1.0'}
            wait(lambda: wanted <= set(scrape(port).splitlines()), 10, f"the metrics to show {wanted}")
            rc, took, log, counters = stop_bridge(bridge)
            # SIGINT: NATS flushed, the upstream closed the client's own way, exit 0.
            assert rc == 0, log
            assert took < limit(5), log
            assert "WebSocket closure initiated by user interrupt." in log
            assert f"upstream client: quotes {count}, quote errors 0, connections opened 1" in log
            assert svc.quotes_sent == count
            assert counters["published"] == count and counters["dropped"] == 0, counters
            got = sub.report()
        finally:
            sub.kill()
            if bridge.poll() is None:
                bridge.kill()
        assert got["count"] == count and got["bad"] == 0, {k: got[k] for k in ("count", "bad")}
        last = got["last"]
        assert sorted(last) == ["quotes.ABC", "quotes.XYZ"]
        for subject, quote in last.items():
            assert list(quote) == list(FIELDS)  # exactly the client's quote dict, in its order
            assert subject == "quotes." + quote["instrument"]

        # A consumer that starts late: the last quote of each instrument, first.
        late = asyncio.run(first(2, nats_srv.url, ["XYZ", "ABC"]))
        assert sorted(late, key=lambda q: q["instrument"]) == [last["quotes.ABC"], last["quotes.XYZ"]]
        late_one = asyncio.run(first(1, nats_srv.url, ["XYZ"]))
        assert late_one == [last["quotes.XYZ"]]


@pytest.mark.parametrize("storage", ["file", "memory"])
def test_nats_away_at_start_and_mid_stream_the_upstream_lives_on(storage):
    # A memory stream does not survive the restart: the bridge makes it again.
    nats_srv = NatsServer(free_port())
    with ServiceThread(rate=400) as svc:
        # NATS is not there yet: the bridge streams from upstream and retries.
        bridge = start_bridge(svc, nats_srv.url, "--buffer", "100", "--storage", storage)
        try:
            conn = svc.wait_subscribed(["ABC", "XYZ"], timeout=limit(10))
            time.sleep(0.5)
            nats_srv.start()
            latest, = asyncio.run(first(1, nats_srv.url, ["ABC"]))
            # Gone mid-stream for a while, back on the same port with the same store.
            nats_srv.stop()
            sent = svc.quotes_sent
            wait(lambda: svc.quotes_sent > sent + 600, 10, "the service to send 600 more quotes")
            nats_srv.start()
            # Publishing resumes: the stream's latest moves on after the restart.
            fresh = asyncio.run(first(3, nats_srv.url, ["ABC"]))
            assert fresh[-1]["exchange_ts_ns"] > latest["exchange_ts_ns"]
            # The upstream connection was never dropped.
            assert [c.id for c in svc.connections] == [conn.id] and conn.is_open
            assert bridge.poll() is None
            rc, took, log, counters = stop_bridge(bridge, signal.SIGTERM)
        finally:
            if bridge.poll() is None:
                bridge.kill()
            nats_srv.close()
    print(log)  # shown by pytest on failure
    assert rc == 0, log
    assert "not reachable" in log and "NATS connection lost" in log
    assert "buffer of 100 quotes full, dropped the oldest" in log
    assert counters["dropped"] > 0 and counters["reconnections"] >= 1, counters
    assert counters["received"] == counters["published"] + counters["dropped"] + counters["buffered"]
    assert log.count("Socket opened.") == 1


@pytest.mark.parametrize("name", ["", "A.B", "A*", "FX>", "A B", "A\tB", "NL\n"])
def test_a_name_that_cannot_be_a_subject_token_is_refused(name):
    with pytest.raises(ValueError, match="cannot be a NATS subject token"):
        check_instrument(name)

    async def consume():
        async for _ in quotes("nats://127.0.0.1:1", ["ABC", name]):
            pass

    with pytest.raises(ValueError, match="cannot be a NATS subject token"):
        asyncio.run(consume())  # before anything connects


def test_the_command_line_refuses_a_bad_instrument():
    rc = subprocess.run([sys.executable, "-m", "quotra.bridge", "--instruments", "ABC,A.B"],
                        cwd=ROOT, capture_output=True, text=True, timeout=30)
    assert rc.returncode == 2 and "instrument 'A.B' cannot be a NATS subject token" in rc.stderr, rc.stderr


def test_a_quote_whose_instrument_cannot_be_a_token_is_counted_not_published(loop, caplog):
    bridge = Bridge("nats://127.0.0.1:1", loop=loop)
    good = dict.fromkeys(FIELDS, 0) | {"instrument": "ABC"}
    block, n = bridge._encode([good | {"instrument": "A.B"}, good, good | {"instrument": None}])
    assert n == 1 and bridge.refused == 2
    assert block.startswith(b"PUB quotes.ABC ") and block.count(b"PUB ") == 1
    assert "quotes of 'A.B' are not published" in caplog.text
