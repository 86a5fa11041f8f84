"""The service's per-instrument counts at exit (``quotes_sent_by_instrument``),
checked against what its clients received, instrument by instrument."""

import asyncio
import collections
import json
import os
import ssl
import subprocess
import sys

import pytest
from picows import WSMsgType, ws_connect

from harness import PlainClient, connect, limit
from quotra.service import MarketDataService

pytestmark = pytest.mark.timeout(limit(60))
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


async def _clients(url, subscriptions, ca):
    """One connection per entry of ``subscriptions``, each subscribing to its
    list; the quotes of all of them, by instrument, once the service has closed them."""
    context = ssl.create_default_context(cafile=ca)
    got = collections.Counter()
    clients = []
    for names in subscriptions:
        transport, client = await asyncio.wait_for(
            ws_connect(PlainClient, url, ssl_context=context), 5
        )
        transport.send(WSMsgType.TEXT, json.dumps({"subscribe": names}).encode())
        clients.append(client)
    for client in clients:
        await client.disconnected
        got.update(q["instrument"] for q in client.quotes())
    return got


# (options, each connection's subscriptions, instruments that must be counted)
CASES = {
    "two connections overlapping": (
        ["--rate", "300", "--instruments", "AAA,BBB,CCC"],
        [["AAA", "BBB"], ["BBB", "CCC"]],
        {"AAA", "BBB", "CCC"},
    ),
    "as fast as possible, a count each": (
        ["--rate", "0", "--count", "301", "--instruments", "AAA,BBB,CCC"],
        [["AAA", "BBB", "CCC"], ["CCC"], ["BBB", "AAA"]],
        {"AAA", "BBB", "CCC"},
    ),
    "an instrument not quoted": (
        ["--rate", "200", "--instruments", "AAA,BBB"],
        [["AAA", "ZZZ"], ["BBB"]],
        {"AAA", "BBB"},
    ),
    "one shared market": (
        ["--rate", "200", "--shared-market", "--instruments", "AAA,BBB"],
        [["AAA", "BBB"], ["BBB"]],
        {"AAA", "BBB"},
    ),
}


@pytest.mark.parametrize("case", CASES)
def test_exit_line_counts_what_clients_received_by_instrument(case, tmp_path):
    """The final line's per-instrument figures are what the clients got of
    each instrument, and they add up to ``quotes_sent``."""
    options, subscriptions, counted = CASES[case]
    ca = tmp_path / "ca.pem"
    proc = subprocess.Popen(
        [sys.executable, "-m", "quotra.service", "--ca-file", str(ca), "--duration", "2.5"]
        + options,
        env=dict(os.environ, PYTHONPATH=ROOT),
        cwd=ROOT,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        info = json.loads(proc.stdout.readline())
        got = asyncio.run(
            asyncio.wait_for(_clients(info["url"], subscriptions, str(ca)), limit(20))
        )
        assert proc.wait(timeout=limit(15)) == 0
        summary = json.loads(proc.stdout.readline())
    finally:
        proc.kill()
        proc.wait(timeout=5)
        proc.stdout.close()
        proc.stderr.close()
    by = summary["quotes_sent_by_instrument"]
    assert set(by) == counted and all(n > 0 for n in by.values()), summary
    assert by == dict(got), summary
    assert sum(by.values()) == summary["quotes_sent"]
    if "--count" in options:  # each connection sent its count, round-robin over its list
        assert summary["quotes_sent"] == 301 * len(subscriptions)
        assert by == {"AAA": 101 + 150, "BBB": 100 + 151, "CCC": 100 + 301}, summary


def _one(svc, conns):
    return svc.send_quote("BBB", conns[0], last_price=1.0)


# sender -> what it sends to the two open connections, by instrument
SENDERS = {
    "send_quote to every connection": (lambda svc, conns: svc.send_quote("AAA"), {"AAA": 2}),
    "send_quote to one": (_one, {"BBB": 1}),
    "blast": (lambda svc, conns: svc.blast(30, instrument="CCC"), {"CCC": 60}),
    "blast_batched": (lambda svc, conns: svc.blast_batched(70, instrument="DDD"), {"DDD": 140}),
}


@pytest.mark.parametrize("sender", SENDERS)
def test_every_sender_counts_by_instrument(sender, monkeypatch):
    """Each way the service sends quotes counts them by instrument, added to
    the figures of the streams before it and of a connection that has ended."""
    send, sends = SENDERS[sender]

    async def run():
        async with MarketDataService(rate=None, count=5, keep_ended=False) as svc:
            monkeypatch.setenv("SSL_CERT_FILE", svc.ca_file)
            (ended_t, ended), (t1, c1), (t2, c2) = [await connect(svc) for _ in range(3)]
            for transport, names in ((ended_t, ["EEE"]), (t1, ["AAA"]), (t2, ["AAA", "BBB"])):
                transport.send(WSMsgType.TEXT, json.dumps({"subscribe": names}).encode())
            await svc.wait_quotes_sent(15, timeout=5)
            await ended.wait_frames(lambda fs: len(fs) >= 5)
            ended_t.disconnect()
            await svc.wait_for(lambda: len(svc.connections) == 2, 5, "one connection ended")
            result = send(svc, svc.open_connections)
            if asyncio.iscoroutine(result):
                await result
            want = collections.Counter({"EEE": 5, "AAA": 5 + 3, "BBB": 2}) + collections.Counter(
                sends
            )
            n = sum(want.values()) - 5
            async with asyncio.timeout(limit(5)):
                while len(c1.quotes()) + len(c2.quotes()) < n:
                    await asyncio.sleep(0.02)
            got = collections.Counter(q["instrument"] for c in (ended, c1, c2) for q in c.quotes())
            return svc.quotes_sent_by_instrument, svc.quotes_sent, want, got

    by, total, want, got = asyncio.run(asyncio.wait_for(run(), limit(20)))
    assert by == dict(want) == dict(got)
    assert sum(by.values()) == total
