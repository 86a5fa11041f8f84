"""quotra.feed under asyncio.run, on asyncio's loop and on uvloop's: a slow
consumer conflated or buffered with drops counted, every quote in order for a
fast one, leaving the ``async with`` while another task runs on, arguments
refused before connecting, and Ctrl-C."""

import asyncio
import logging
import os
import re
import subprocess
import sys
import time
from typing import Any

import pytest

from conftest import ROOT
from quotra import feed as qfeed
from quotra.service.thread import ServiceThread

uvloop = pytest.importorskip("uvloop")
LOOPS = {"asyncio": None, "uvloop": uvloop.new_event_loop}
INSTRUMENTS = ["ABC", "XYZ", "KLM", "QRS"]
ROUNDS = 3  # quotes per instrument while the consumer is away
# The burst: (instrument, round), the last round in the reverse order, so that
# the order of the latest quotes is not that of the first ones.
BURST = [(i, r) for r in range(ROUNDS - 1) for i in INSTRUMENTS] + [
    (i, ROUNDS - 1) for i in INSTRUMENTS[::-1]
]

# mode: (open_feed options, what the consumer is handed after the burst, as
# (instrument, round) pairs, and the counters then)
MODES = {
    "conflating: the latest of each instrument, in the order they arrived": (
        dict(conflate=True),
        [(i, ROUNDS - 1) for i in INSTRUMENTS[::-1]],
        dict(conflated=len(INSTRUMENTS) * (ROUNDS - 1), dropped=0),
    ),
    "buffered: every quote in order while it fits": (
        dict(conflate=False),
        BURST,
        dict(conflated=0, dropped=0),
    ),
    "buffered, overflowing: the oldest dropped and counted": (
        dict(conflate=False, maxsize=5),
        BURST[-5:],
        dict(conflated=0, dropped=len(INSTRUMENTS) * ROUNDS - 5),
    ),
}


@pytest.fixture(scope="module")
def svc():
    with ServiceThread() as s:
        yield s


async def until(predicate, what: str, timeout: float = 10) -> None:
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            raise AssertionError(f"timed out waiting for {what}")
        await asyncio.sleep(0.01)


async def consume(svc, options: dict) -> tuple[list, dict, int]:
    """A slow consumer beside another task: one quote, then away while a
    burst arrives, then what the feed hands it. Returns (handed, stats, the
    other task's ticks after the feed closed)."""
    ticks = 0

    async def other() -> None:
        nonlocal ticks
        while True:
            await asyncio.sleep(0.005)
            ticks += 1

    bystander = asyncio.create_task(other())
    handed: list = []
    async with qfeed.open_feed(svc.url, INSTRUMENTS, ca_file=svc.ca_file, **options) as feed:
        await asyncio.to_thread(svc.wait_subscribed, INSTRUMENTS, timeout=10)
        await asyncio.to_thread(svc.send_quote, "ABC", volume=1, exchange_ts_ns=time.time_ns())
        first = await anext(feed)
        assert first["instrument"] == "ABC"

        def burst() -> None:
            for i, r in BURST:
                svc.send_quote(i, volume=100 + r, exchange_ts_ns=time.time_ns())

        await asyncio.to_thread(burst)
        await until(lambda: feed.stats()["received"] == 1 + ROUNDS * len(INSTRUMENTS), "the burst")
        while feed.stats()["buffered"]:
            q = await anext(feed)
            handed.append((q["instrument"], q["volume"] - 100))
        stats = feed.stats()
    assert not feed.stats()["connected"]
    # The connection is closed, the loop and the other task go on.
    at_close = ticks
    await asyncio.sleep(0.1)
    assert not bystander.done()
    bystander.cancel()
    return handed, stats, ticks - at_close


@pytest.mark.parametrize("loop_kind", LOOPS)
@pytest.mark.parametrize("options, handed, counters", MODES.values(), ids=MODES)
def test_feed_modes_under_asyncio_run(svc, caplog, loop_kind, options, handed, counters):
    caplog.set_level(logging.WARNING)
    got, stats, ticks_after = asyncio.run(consume(svc, options), loop_factory=LOOPS[loop_kind])
    assert got == handed
    assert {k: stats[k] for k in counters} == counters
    assert stats["delivered"] == 1 + len(handed) and stats["buffered"] == 0
    assert 0 <= stats["lag_s"] < 5
    assert ticks_after > 0
    drops = [r for r in caplog.records if r.name == "quotra.feed" and "dropped" in r.getMessage()]
    # Each line counts the drops since the one before; the last ones are
    # logged as the feed closes: together they account for every drop.
    said = [int(re.search(r"dropped (\d+) oldest", r.getMessage())[1]) for r in drops]
    assert sum(said) == counters["dropped"] and all(said)
    # The feed's own callback is never reported as a plain function's.
    assert not [r.getMessage() for r in caplog.records if r.levelno >= logging.ERROR]
    assert svc.call(lambda: not svc.service.open_connections)


@pytest.mark.parametrize("loop_kind", LOOPS)
def test_no_service_is_a_connection_error_and_the_loop_goes_on(loop_kind):
    import socket

    with socket.socket() as s:  # a port nobody listens on
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]

    async def main() -> float:
        bystander = asyncio.create_task(asyncio.sleep(30))
        t0 = time.monotonic()
        with pytest.raises(ConnectionError):
            async with qfeed.open_feed(f"wss://127.0.0.1:{port}/", ["ABC"]):
                pass
        assert not bystander.done()
        bystander.cancel()
        return time.monotonic() - t0

    # The client's first attempt fails and it retries no more: its end, after
    # the retry delay, ends the opening.
    assert asyncio.run(main(), loop_factory=LOOPS[loop_kind]) < 10


BAD = {
    "a URL of another scheme": (dict(url="http://127.0.0.1:1/"), ValueError),
    "one symbol, not a list": (dict(instruments="ABC"), TypeError),
    "an empty symbol": (dict(instruments=["ABC", ""]), ValueError),
    "maxsize 0": (dict(maxsize=0), ValueError),
    "conflate not a bool": (dict(conflate="yes"), TypeError),
    "no such CA file": (dict(ca_file="/nonexistent/ca.pem"), ValueError),
    "an error callback that is not callable": (dict(error_callback=1), TypeError),
}


@pytest.mark.parametrize("change, error", BAD.values(), ids=BAD)
def test_bad_arguments_are_refused_before_connecting(change, error):
    args: dict[str, Any] = dict(url="wss://127.0.0.1:1/", instruments=["ABC"]) | change
    with pytest.raises(error):
        qfeed.open_feed(args.pop("url"), args.pop("instruments"), **args)


PROGRAM = r"""
import asyncio, os, signal, sys
from quotra import feed as qfeed
from quotra.service.thread import ServiceThread

async def main(svc):
    async with qfeed.open_feed(svc.url, ["ABC"], ca_file=svc.ca_file) as feed:
        async def ticker():
            while True:
                await asyncio.sleep(0.01)
        asyncio.create_task(ticker())
        async for quote in feed:
            os.kill(os.getpid(), signal.SIGINT)

factory = None
if sys.argv[1] == "uvloop":
    import uvloop
    factory = uvloop.new_event_loop
with ServiceThread(rate=200) as svc:
    try:
        asyncio.run(main(svc), loop_factory=factory)
    except KeyboardInterrupt:
        print("KeyboardInterrupt", flush=True)
    left = svc.call(lambda: [c.close_received for c in svc.service.connections])
    print("closes", left, flush=True)
"""


@pytest.mark.parametrize("loop_kind", LOOPS)
def test_ctrl_c_is_a_plain_keyboard_interrupt_with_the_connection_closed(loop_kind):
    proc = subprocess.run(
        [sys.executable, "-c", PROGRAM, loop_kind],
        cwd=ROOT,
        capture_output=True,
        text=True,
        timeout=60,
        env=os.environ | {"PYTHONDEVMODE": ""},
    )
    assert proc.returncode == 0, proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[0] == "KeyboardInterrupt"
    assert lines[1].startswith("closes [(1000,"), lines
    for noise in ("Task was destroyed", "CancelledError", "Traceback", "Exception"):
        assert noise not in proc.stderr, proc.stderr
