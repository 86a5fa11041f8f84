"""The client's shutdown, its stop signal handler and the signals that run it."""
import asyncio
import logging
import subprocess
import sys
import textwrap
import time

import pytest

from quotra.quotra import Quotra

from conftest import ROOT
from harness import client_field


def test_shutdown_cancels_everything_but_itself(loop):
    log = []

    async def victim(name):
        try:
            await asyncio.sleep(3600)
        except asyncio.CancelledError:
            log.append(name)
            raise

    async def stubborn():
        try:
            await asyncio.sleep(3600)
        except asyncio.CancelledError:
            await asyncio.sleep(0.05)     # swallow the cancellation, finish late
            log.append("stubborn")
            return "done"

    async def main():
        for n in ("a", "b"):
            asyncio.ensure_future(victim(n))
        asyncio.ensure_future(stubborn())
        await asyncio.sleep(0)
        await Quotra.shutdown(loop)
        log.append("shutdown returned")

    loop.create_task(main())
    t0 = time.monotonic()
    loop.run_forever()               # shutdown's loop.stop() ends it
    assert time.monotonic() - t0 < 5
    # main itself awaited shutdown in its own task: the tasks were cancelled,
    # the stubborn one finished before stop, and main was never cancelled.
    assert sorted(log[:3]) == ["a", "b", "stubborn"] and log[3] == "shutdown returned"


def test_shutdown_with_no_other_task_stops_at_once(loop):
    loop.create_task(Quotra.shutdown(loop))
    loop.call_later(5, loop.stop)
    t0 = time.monotonic()
    loop.run_forever()
    assert time.monotonic() - t0 < 1


def test_stop_signal_handler_without_connection(loop, caplog, client_timings):
    caplog.set_level(logging.INFO, logger="quotra.quotra")
    q = Quotra(loop)
    q.IS_CONNECTED.set()
    coro = q.stop_signal_handler(1, 2, x=3)
    assert coro.__qualname__ == "Quotra.stop_signal_handler"
    loop.create_task(coro)
    t0 = time.monotonic()
    loop.call_later(10, loop.stop)
    loop.run_forever()
    elapsed = time.monotonic() - t0
    # The wait for the server's close: 2 s, run at the scaled rate.
    assert client_timings.asked == [("wait_for", 2)]
    assert 1.8 * client_timings.stop_wait < elapsed < 5
    msgs = [r.getMessage() for r in caplog.records if r.name == "quotra.quotra"]
    assert msgs == ["WebSocket closure initiated by user interrupt.", "Websocket disconnected."]
    assert not q.IS_CONNECTED.is_set()


def test_stop_signal_handler_uses_the_subclass_close_and_a_set_stop_event(loop, caplog):
    caplog.set_level(logging.INFO, logger="quotra.quotra")
    closed = []

    class Mine(Quotra):
        def close_websocket(self):
            closed.append(self)

    m = Mine(loop)
    client_field(m, "stop_event").set()  # the stop event is already set
    loop.run_until_complete(asyncio.wait_for(m.stop_signal_handler(), 1))
    assert closed == [m]
    msgs = [r.getMessage() for r in caplog.records if r.name == "quotra.quotra"]
    assert msgs == ["WebSocket closure initiated by user interrupt."]


SIGNAL_SCRIPT = textwrap.dedent("""
    import asyncio, logging, os, signal, sys, time
    sys.path[:0] = [{root!r}, {tests!r}]
    logging.basicConfig(level=logging.INFO, format="%(name)s|%(message)s", stream=sys.stdout)
    from quotra.quotra import Quotra
    from harness import ClientTimings
    timings = ClientTimings(stop_wait=0.1).install()  # the 2 s wait for the server's close takes 0.2 s
    loop = asyncio.new_event_loop()
    q = Quotra(loop)
    q.IS_CONNECTED.set()
    loop.call_later(0.2, os.kill, os.getpid(), signal.{sig})
    t0 = time.monotonic()
    loop.run_forever()
    print("returned|%.2f|%s|%s" % (time.monotonic() - t0, q.IS_CONNECTED.is_set(), timings.asked), flush=True)
""")


@pytest.mark.parametrize("sig", ["SIGINT", "SIGTERM"])
def test_signal_runs_the_shutdown(sig):
    out = subprocess.run([sys.executable, "-c", SIGNAL_SCRIPT.format(root=str(ROOT), tests=str(ROOT / "tests"), sig=sig)],
                         capture_output=True, text=True, timeout=30)
    lines = [l for l in out.stdout.splitlines() if l]
    assert lines[:2] == ["quotra.quotra|WebSocket closure initiated by user interrupt.",
                         "quotra.quotra|Websocket disconnected."], out.stdout + out.stderr
    kind, elapsed, connected, asked = lines[2].split("|")
    assert kind == "returned" and 0.19 <= float(elapsed) < 6 and connected == "False"
    assert asked == "[('wait_for', 2)]"
    assert out.returncode == 0
