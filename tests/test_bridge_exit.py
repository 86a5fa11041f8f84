"""How ``quotra-bridge`` ends and what it says when the stream or NATS is not
what it needs: one table, the bridge a process against a real nats-server and
the local service."""

import asyncio
import subprocess

import nats
import pytest
from nats.js.api import StreamConfig

from harness import limit
from nats_server import NatsServer, free_port
from quotra.service import ServiceThread
from test_bridge import start_bridge, stop_bridge, wait


async def other_stream_over_abc(url):
    nc = await nats.connect(url)
    await nc.jetstream().add_stream(StreamConfig(name="OTHER", subjects=["quotes.ABC"]))
    await nc.close()


async def stream_without_republish(url):
    nc = await nats.connect(url)
    await nc.jetstream().add_stream(
        StreamConfig(name="QUOTES", subjects=["quotes.>"], duplicate_window=10, allow_batched=True)
    )
    await nc.close()


def ended(proc, seconds):
    try:
        out, _ = proc.communicate(timeout=limit(seconds))
    except subprocess.TimeoutExpired:
        proc.kill()
        out, _ = proc.communicate()
        pytest.fail(f"the bridge still ran after {seconds} s:\n{out}")
    return proc.returncode, out


# name -> (stream made first, options, what to look for)
CASES = {
    # N3: before, logged as "not reachable" and retried for ever.
    "a stream the server refuses to make": (
        other_stream_over_abc,
        (),
        "10065 subjects overlap with an existing stream",
    ),
    "replicas a single server cannot give": (None, ("--replicas", "3"), "10074"),
    # N6: before, ignored without a word.
    "--republish on a stream that does not republish": (
        stream_without_republish,
        ("--republish",),
        "does not republish: --republish is used only when the bridge makes the stream",
    ),
    # Before, exit 0 and nothing said beyond the counters.
    "stopped with quotes not published": (None, ("--buffer", "1000"), "quotes were not published"),
}


@pytest.mark.parametrize("case", list(CASES))
def test_the_exit_status_and_one_line_say_what_went_wrong(case):
    setup, extra, said = CASES[case]
    down = case.startswith("stopped")
    srv = NatsServer(free_port())
    with ServiceThread(rate=500) as svc:
        if not down:
            srv.start()
        try:
            if setup is not None:
                asyncio.run(setup(srv.url))
            bridge = start_bridge(svc, srv.url, *extra)
            if case.startswith("--republish") or down:
                svc.wait_subscribed(["ABC", "XYZ"], timeout=limit(10))
                if not down:
                    wait(lambda: svc.quotes_sent > 200, 10, "quotes to the bridge")
                else:
                    wait(lambda: svc.quotes_sent > 100, 10, "quotes to the bridge")
                rc, _, out, counters = stop_bridge(bridge)
            else:
                rc, out = ended(bridge, 15)
        finally:
            srv.close()
    print(out)  # shown by pytest on failure
    lines = [line for line in out.splitlines() if said in line]
    assert len(lines) == 1, out
    if case.startswith("--republish"):
        assert rc == 0 and "WARNING" in lines[0] and counters["published"] > 0
    elif down:
        unsent = counters["buffered"] + counters["in_flight"]
        assert rc == 1 and unsent > 0 and f"{unsent} quotes were not published" in lines[0]
    else:
        # One line with the server's reason, at once: no retrying a refusal.
        assert rc == 2 and "not reachable" not in out
