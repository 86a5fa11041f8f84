"""The client's shutdown, its stop signal handler and the signals that run it."""

import asyncio
import logging
import signal
import time

import pytest

from harness import client_field
from quotra.quotra import Quotra


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
            await asyncio.sleep(0.05)  # swallow the cancellation, finish late
            log.append("stubborn")
            return "done"

    async def main():
        tasks = [asyncio.ensure_future(victim(n)) for n in ("a", "b")]
        tasks.append(asyncio.ensure_future(stubborn()))
        await asyncio.sleep(0)
        await Quotra.shutdown(loop)
        log.append("shutdown returned")

    loop.create_task(main())
    t0 = time.monotonic()
    loop.run_forever()  # shutdown's loop.stop() ends it
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


@pytest.mark.parametrize("how", ["SIGINT", "SIGTERM", "call"])
def test_stop_signal_handler_without_connection(loop, caplog, client_timings, how):
    """A real signal through the handlers the client installs on its loop (whole programs: test_demo.py,
    test_readme.py), or the handler called with any arguments."""
    caplog.set_level(logging.INFO, logger="quotra.quotra")
    q = Quotra(loop)
    q.IS_CONNECTED.set()
    if how == "call":
        coro = q.stop_signal_handler(1, 2, x=3)
        assert coro.__qualname__ == "Quotra.stop_signal_handler"
        loop.create_task(coro)
    else:
        sig = getattr(signal, how)
        # The loop's own handler, or the signal would stop pytest itself.
        assert signal.getsignal(sig) not in (signal.SIG_DFL, signal.default_int_handler)
        loop.call_soon(signal.raise_signal, sig)
    t0 = time.monotonic()
    loop.call_later(10, loop.stop)
    loop.run_forever()
    elapsed = time.monotonic() - t0
    # The wait for the server's close: 2 s, run at the scaled rate; then the
    # shutdown stops the loop.
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
