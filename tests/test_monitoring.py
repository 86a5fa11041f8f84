"""The alert rules and the dashboard under monitoring/ name only metrics the
code exports: every name in their queries is a sample of a real scrape of a
bridge (its client's families with it), a recorder from the stream, a
recorder from the service, and a quotes() reader."""

import asyncio
import json
import re
import threading
import time

import pytest

from harness import ClientSession, limit
from nats_server import NatsServer, free_port
from quotra.service import ServiceThread
from test_bridge import start_bridge, stop_bridge
from test_record import ROOT, recorder, scrape, stop, wait

MONITORING = ROOT / "monitoring"
SAMPLE = re.compile(r"^([a-zA-Z_:][a-zA-Z0-9_:]*)[{ ]", re.M)
NAME = re.compile(r"\bquotra_[a-z0-9_]+\b")


def _queries():
    """(file, query) of every alert rule and dashboard target."""
    found = []
    for path in sorted(MONITORING.glob("*.yml")):
        yaml = pytest.importorskip("yaml")
        for group in yaml.safe_load(path.read_text())["groups"]:
            for rule in group["rules"]:
                found.append((path.name, rule["expr"]))
    for path in sorted(MONITORING.glob("*.json")):
        stack = [json.loads(path.read_text())]
        while stack:
            node = stack.pop()
            if isinstance(node, dict):
                if isinstance(node.get("expr"), str):
                    found.append((path.name, node["expr"]))
                stack.extend(node.values())
            elif isinstance(node, list):
                stack.extend(node)
    return found


def _reader_scrape(url, got, done):
    """A quotes() reader registered as a metrics source, scraped in its process."""
    from prometheus_client import REGISTRY, generate_latest

    from quotra.bridge import quotes

    async def read():
        async for _ in quotes(url, metrics_name="reader"):
            got.append(generate_latest(REGISTRY).decode())
            if done.is_set():
                return

    asyncio.run(asyncio.wait_for(read(), limit(60)))


def _client_scrape():
    """A quotra client registered as a metrics source, after quotes reached it."""
    from prometheus_client import REGISTRY, generate_latest

    from quotra import metrics

    with ClientSession(instruments=("ABC", "XYZ")) as s:
        for _ in range(5):
            s.svc.send_quote("ABC")
        sent = time.time()
        s.run(s.rec.wait_quotes(5))
        received = time.time()
        time.sleep(0.2)
        metrics.register("client", s.client)
        try:
            text = generate_latest(REGISTRY).decode()
        finally:
            metrics.unregister("client")
    # The time of the last quote, not of the scrape, on the wall clock.
    m = re.search(r'^quotra_last_quote_timestamp_seconds{client="client"} (\S+)', text, re.M)
    assert sent - 0.5 < float(m.group(1)) <= received + 0.05, text
    return text


def test_every_query_of_the_alerts_and_the_dashboard_names_an_exported_metric(tmp_path):
    queries = _queries()
    assert {f for f, _ in queries} >= {"alerts-record.yml", "dashboard.json"}
    named = {(f, n) for f, q in queries for n in NAME.findall(q)}
    with NatsServer() as srv, ServiceThread(rate=200) as svc:
        ports = {k: free_port() for k in ("bridge", "record", "direct")}
        bridge = start_bridge(svc, srv.url, "--metrics-port", str(ports["bridge"]))
        nats_rec = recorder(
            tmp_path / "nats", "--nats", srv.url, extra=("--metrics-port", str(ports["record"]))
        )
        direct = recorder(
            tmp_path / "direct",
            "--url",
            svc.url,
            "--ca-file",
            svc.ca_file,
            extra=("--metrics-port", str(ports["direct"])),
        )
        got, done = [], threading.Event()
        reader = threading.Thread(target=_reader_scrape, args=(srv.url, got, done))
        try:
            for port in ports.values():
                wait(
                    lambda: "quotra_last_quote_timestamp_seconds{" in scrape(port),
                    30,
                    f"quotes through the process serving metrics on {port} ({ports})",
                )
            reader.start()
            wait(lambda: got, 30, "a quote through quotes()")
            scraped = {n for port in ports.values() for n in SAMPLE.findall(scrape(port))}
            scraped |= set(SAMPLE.findall(got[-1]))
        finally:
            done.set()
            for proc in (nats_rec, direct):
                if proc.poll() is None:
                    stop(proc)
            stop_bridge(bridge)
            if reader.is_alive():
                reader.join(limit(10))
    scraped |= set(SAMPLE.findall(_client_scrape()))
    unknown = sorted((f, n) for f, n in named if n not in scraped)
    assert not unknown, f"not exported: {unknown}"
    # Each kind of source is watched: the client, the bridge, the recorder, the readers.
    names = {n for _, n in named}
    for prefix in ("quotra_quotes", "quotra_bridge_", "quotra_record_", "quotra_consumer_"):
        assert any(n.startswith(prefix) for n in names), prefix
