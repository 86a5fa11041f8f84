"""The bridge through NATS failures, against real nats-server processes: every
quote the bridge received is in the stream exactly once, in order per
instrument, or the bridge counted and logged it.

Sizes: ``QUOTES`` quotes at ``RATE`` a second from the local service (a
shared, loaded machine runs these); ``QUOTRA_BRIDGE_STRESS=1`` runs 150,000
at 50,000 a second instead.
"""

import asyncio
import base64
import os
import signal
import time

import nats
import pytest
from nats.js.api import DiscardPolicy, StreamConfig

from harness import limit
from nats_server import NatsCluster, NatsServer, ResetProxy, free_port, retrying, stored_quotes
from quotra.pricetape_pb2 import PriceTape
from quotra.service import ServiceThread
from test_bridge import Subscriber, scrape, start_bridge, stop_bridge, wait

STRESS = os.environ.get("QUOTRA_BRIDGE_STRESS") == "1"
QUOTES, RATE = (150_000, 50_000) if STRESS else (6_000, 3_000)
KEEP = ("--max-per-subject", "1000000")


def sent_ids(svc) -> list[tuple[str, int]]:
    """(instrument, exchange_ts_ns) of every quote the service sent, over every connection."""
    out = []
    for conn in svc.connections:
        for payload in conn.sent:
            q = PriceTape.FromString(base64.b64decode(payload[12:-2]))
            out.append((q.instrument, q.exchange_ts_ns))
    return out


def check_stream(stored: list[dict], sent: list[tuple[str, int]], ordered: bool = True) -> set:
    """Once each, in order per instrument, nothing the service did not send; the ids missing."""
    ids = [(q["instrument"], q["exchange_ts_ns"]) for q in stored]
    assert len(ids) == len(set(ids)), "a quote stored twice"
    last: dict = {}
    for inst, ts in ids:
        assert ts > last.get(inst, 0) or not ordered, f"{inst}: a quote stored after a newer one"
        last[inst] = ts
    assert set(ids) <= set(sent)
    return set(sent) - set(ids)


def metrics(port) -> dict:
    out = {}
    for line in scrape(port).splitlines():
        if line.startswith("quotra_bridge_") and not line.startswith("#"):
            name, value = line.rsplit(" ", 1)
            out[name.split("{")[0].removeprefix("quotra_bridge_").removesuffix("_total")] = float(
                value
            )
    return out


def run(nats_url, fault, *, read_url=None, stream_setup=None, extra=(), stream="QUOTES"):
    """The bridge through ``fault()`` (called a third of the way in); the
    counters at exit, the log, what the stream holds and what was sent."""
    with ServiceThread(count=QUOTES, rate=RATE, record_sent=QUOTES) as svc:
        if stream_setup is not None:
            asyncio.run(stream_setup(read_url or nats_url))
        port = free_port()
        bridge = start_bridge(svc, nats_url, "--metrics-port", str(port), *KEEP, *extra)
        try:
            svc.wait_quotes_sent(QUOTES // 3, timeout=limit(30))
            fault()
            svc.wait_quotes_sent(QUOTES, timeout=limit(60))

            def settled():
                m = metrics(port)
                return (
                    m.get("received") == QUOTES and not m.get("buffered") and not m.get("in_flight")
                )

            wait(settled, 30, lambda: f"every quote acknowledged or refused ({metrics(port)})")
            rc, _, log, counters = stop_bridge(bridge)
        finally:
            if bridge.poll() is None:
                bridge.kill()
                print(bridge.communicate()[0])  # shown by pytest on failure
        sent = sent_ids(svc)
    print(log)  # shown by pytest on failure
    assert rc == 0 and len(sent) == QUOTES == counters["received"], log
    return counters, log, asyncio.run(stored_quotes(read_url or nats_url, stream)), sent


@pytest.mark.parametrize("how", ["restart", "sigkill", "reset"])
def test_a_lost_server_or_connection_loses_nothing_and_stores_nothing_twice(how):
    with NatsServer() as srv:
        proxy = ResetProxy(srv.port)
        try:
            fault = {
                "restart": lambda: (srv.stop(), srv.start()),
                "sigkill": lambda: (srv.kill(), srv.start()),
                "reset": proxy.reset,
            }[how]
            counters, log, stored, sent = run(proxy.url, fault)
        finally:
            proxy.close()
    # What is not stored was counted: dropped from a full buffer (at the stress
    # size a loaded machine can fall behind), never lost in silence.
    assert (
        len(check_stream(stored, sent)) == counters["dropped"] == QUOTES - counters["published"]
    ), counters
    assert counters["rejected"] == 0 and (STRESS or counters["dropped"] == 0), counters
    assert counters["reconnections"] >= 1 and "NATS connection to" in log


def test_a_full_stream_refuses_quotes_and_the_bridge_counts_and_logs_them():
    async def small_stream(url):
        nc = await nats.connect(url)
        await nc.jetstream().add_stream(
            StreamConfig(
                name="QUOTES",
                subjects=["quotes.>"],
                max_msgs=QUOTES // 2,
                discard=DiscardPolicy.NEW,
                duplicate_window=10,
                allow_batched=True,
            )
        )
        await nc.close()

    with NatsServer() as srv:
        counters, log, stored, sent = run(srv.url, lambda: None, stream_setup=small_stream)
    missing = check_stream(stored, sent)
    assert len(stored) == QUOTES // 2 == counters["published"]
    assert len(missing) == counters["rejected"] == QUOTES - QUOTES // 2, counters
    assert log.count("refused quotes: 10077 maximum messages exceeded") == 1, log
    assert "rejected %d (10077 maximum messages exceeded)" % counters["rejected"] in log


async def replicated_stream(url):
    nc = await nats.connect(servers=url.split(","))
    js = nc.jetstream()
    # The cluster elects its JetStream leader first.
    await retrying(
        js.add_stream,
        StreamConfig(
            name="QUOTES",
            subjects=["quotes.>"],
            num_replicas=3,
            duplicate_window=10,
            allow_direct=True,
            allow_batched=True,
        ),
        timeout=limit(30),
    )
    await nc.close()


async def leader(url) -> str:
    nc = await nats.connect(servers=url.split(","))
    try:
        return (await retrying(nc.jetstream().stream_info, "QUOTES")).cluster.leader
    finally:
        await nc.close()


@pytest.mark.parametrize("victim", ["leader", "bridge's node"])
def test_a_node_of_a_cluster_killed_loses_nothing(victim):
    with NatsCluster() as cluster:
        asyncio.run(replicated_stream(cluster.url))
        # The bridge's node (the first of its list) is not the stream's leader.
        lead = cluster.node(asyncio.run(leader(cluster.url)))
        mine = next(n for n in cluster.nodes if n is not lead)
        order = [mine] + [n for n in cluster.nodes if n is not mine]
        target = lead if victim == "leader" else mine
        read = ",".join(n.url for n in cluster.nodes if n is not target)
        counters, log, stored, sent = run(
            ",".join(n.url for n in order), target.kill, read_url=read, extra=("--nats-no-shuffle",)
        )
        config = asyncio.run(_config(read))
    assert not check_stream(stored, sent)
    assert counters["published"] == QUOTES and counters["rejected"] == 0, counters
    assert config.num_replicas == 3 and config.allow_direct  # the operator's stream, untouched
    assert "one acknowledged quote at a time" not in log  # still batching after the election


async def _config(url):
    nc = await nats.connect(servers=url.split(","))
    try:
        return (await retrying(nc.jetstream().stream_info, "QUOTES")).config
    finally:
        await nc.close()


def test_two_bridges_into_one_stream_one_killed_every_quote_once():
    with (
        NatsServer() as srv,
        ServiceThread(rate=RATE // 2, record_sent=QUOTES * 2, shared_market=True) as svc,
    ):
        live = Subscriber(srv.url, "live.quotes.>")
        one = start_bridge(svc, srv.url, *KEEP, "--republish")
        two = start_bridge(svc, srv.url, *KEEP, "--republish")
        try:
            wait(
                lambda: (
                    len(svc.open_connections) == 2
                    and all(c._streamed for c in svc.open_connections)
                ),
                20,
                "both bridges subscribed",
            )
            sent = svc.quotes_sent
            wait(lambda: svc.quotes_sent > sent + QUOTES // 2, 30, "quotes to both")
            two.send_signal(signal.SIGKILL)
            two.wait(10)
            sent = svc.quotes_sent
            wait(lambda: svc.quotes_sent > sent + QUOTES // 2, 30, "quotes to the one left")
            svc.pause_quotes()
            time.sleep(0.2)
            rc, _, log, counters = stop_bridge(one)
        finally:
            for b in (one, two):
                if b.poll() is None:
                    b.kill()
            got = live.report()
            live.kill()
        ids = sent_ids(svc)
        stored = asyncio.run(stored_quotes(srv.url))
    print(log)  # shown by pytest on failure
    assert rc == 0, log
    # The stream keeps the copy that came first: as the second bridge starts at
    # the live edge while the first may lag, a newer quote can come before an older.
    assert not check_stream(stored, ids, ordered=False)
    # Both bridges published the same quotes while both ran: once each in the
    # stream is the duplicate window at work. Which copy came first is a race,
    # so the bridge left may have met no duplicate at all; every quote it
    # received was acknowledged, stored or found there already.
    assert counters["published"] == counters["received"] > 0 and counters["dropped"] == 0, counters
    # Plain subscribers of the stream's republished copies get one of each.
    assert got["count"] == len(stored) and got["bad"] == 0


# -- what the server says, read as it means it ----------------------------------


async def open_batches(url):
    """Batches b1..b30 left open on the stream, as a bridge cut mid-batch leaves them."""
    nc = await nats.connect(url)
    await nc.jetstream().add_stream(
        StreamConfig(
            name="QUOTES", subjects=["quotes.>", "old.>"], duplicate_window=10, allow_batched=True
        )
    )
    for i in range(1, 31):
        for n in range(1, 51):  # more than a first batch of the bridge holds
            await nc.publish(
                "old.x", b"{}", reply=f"_INBOX.old.b{i}.100.fail.{n}.{min(n - 1, 1)}.$FI"
            )
    await nc.flush()
    await nc.close()


async def stream_named_error(url):
    nc = await nats.connect(url)
    await nc.jetstream().add_stream(
        StreamConfig(name="error", subjects=["quotes.>"], duplicate_window=10)
    )
    await nc.close()


# A user that may publish ABC's quotes but not XYZ's; the stream is read as another.
PERMISSIONS = """authorization {
  users = [
    {user: bridge, password: s3cret, permissions: {
      publish: {allow: ["quotes.ABC", "$JS.API.>", "_INBOX.>"]}, subscribe: {allow: ["_INBOX.>"]}}},
    {user: reader, password: r3ader}
  ]
}
"""


@pytest.mark.parametrize(
    "case", ["batch ids left open", "stream named error", "XYZ refused, password in URL"]
)
def test_published_means_stored_whatever_the_server_answers(case):
    config = PERMISSIONS if case.startswith("XYZ") else ""
    with NatsServer(config=config) as srv:
        url = srv.url.replace("//", "//bridge:s3cret@") if config else srv.url
        read = srv.url.replace("//", "//reader:r3ader@") if config else None
        setup = {"batch ids left open": open_batches, "stream named error": stream_named_error}.get(
            case
        )
        extra = ("--stream", "error") if case == "stream named error" else ()
        counters, log, stored, sent = run(
            url,
            lambda: None,
            read_url=read,
            stream_setup=setup,
            extra=extra,
            stream="error" if extra else "QUOTES",
        )
    missing = check_stream(stored, sent)
    assert counters["published"] == len(stored) and counters["rejected"] == 0, counters
    if not config:
        assert not missing, counters
        return
    # The instrument refused is counted and said once; the other one all flows; no secret shown.
    assert missing == {q for q in sent if q[0] == "XYZ"} and counters["refused"] == len(missing), (
        counters
    )
    assert log.count("does not let the bridge publish to quotes.XYZ") == 1, log
    assert len(log.splitlines()) < 40 and "s3cret" not in log, log


def test_two_bridges_on_a_replicated_stream_count_an_id_in_process_as_neither_refused_nor_lost():
    from quotra.bridge import Bridge
    from quotra.pricetape_proto import FIELDS

    n = 3000

    async def both(urls):
        async with asyncio.timeout(limit(60)):
            nc = await nats.connect(servers=urls)
            await retrying(
                nc.jetstream().add_stream,
                StreamConfig(
                    name="QUOTES", subjects=["quotes.>"], num_replicas=3, duplicate_window=10
                ),
                timeout=limit(30),
            )
            await nc.close()
            bridges = [Bridge(url) for url in urls[:2]]
            for b in bridges:
                b.start()
            while not all(b.connected for b in bridges):
                await asyncio.sleep(0.05)
            for i in range(1, n + 1):  # the same quote to both, as from a shared market
                q = dict.fromkeys(FIELDS, 0) | {
                    "instrument": ("ABC", "XYZ")[i % 2],
                    "exchange_ts_ns": i,
                }
                for b in bridges:
                    await b.on_quote(dict(q))
                if i % 50 == 0:
                    await asyncio.sleep(0.002)
            flushed = [await b.flush(limit(20)) for b in bridges]
            for b in bridges:
                await b.close(0)
            return flushed, bridges, await stored_quotes(",".join(urls))

    with NatsCluster() as cluster:
        flushed, bridges, stored = asyncio.run(both([node.url for node in cluster.nodes]))
    ids = [(q["instrument"], q["exchange_ts_ns"]) for q in stored]
    assert all(flushed) and len(ids) == len(set(ids)) == n
    for b in bridges:
        assert (b.published, sum(b.rejected.values())) == (n, 0), b.snapshot()


def test_a_node_entering_lame_duck_mode_is_left_for_a_node_it_names_before_it_closes():
    from quotra.bridge import Bridge
    from quotra.pricetape_proto import FIELDS

    async def publish(cluster):
        async with asyncio.timeout(limit(60)):
            await replicated_stream(cluster.url)
            first = cluster.nodes[0]
            bridge = Bridge(first.url)  # one node given: the others come from its INFO
            bridge.start()
            for i in range(1, 2001):
                await bridge.on_quote(
                    dict.fromkeys(FIELDS, 0) | {"instrument": "ABC", "exchange_ts_ns": i}
                )
                if i == 1000:
                    assert await bridge.flush(limit(10)) and len(bridge.servers) == 3, (
                        bridge.servers
                    )
                    first.proc.send_signal(
                        signal.SIGUSR2
                    )  # lame duck: it closes its clients within seconds
                    t0 = time.monotonic()
                    while not bridge.reconnections:
                        await asyncio.sleep(0.01)
                    moved = time.monotonic() - t0
                elif i % 100 == 0:
                    await asyncio.sleep(0.01)
            flushed = await bridge.flush(limit(10))
            await bridge.close(0)
            return (
                moved,
                flushed,
                bridge,
                await stored_quotes(",".join(n.url for n in cluster.nodes[1:])),
            )

    with NatsCluster() as cluster:
        moved, flushed, bridge, stored = asyncio.run(publish(cluster))
    assert flushed and [q["exchange_ts_ns"] for q in stored] == list(range(1, 2001)), (
        bridge.snapshot()
    )
    assert moved < 5.0  # told, not left to find out when the server closes (10 s of grace)
