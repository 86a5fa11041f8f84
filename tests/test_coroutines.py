"""The module's native coroutines, the thread-bridging decorator, signals and shutdown."""
import asyncio
import gc
import logging
import os
import resource
import signal
import subprocess
import sys
import textwrap
import threading
import time
import warnings

import pytest

import quotra.quotra as qm
from quotra.quotra import Quotra

from conftest import ROOT, SignalLoop


class Probe:
    """A plain object with methods we decorate like the client's."""

    def __init__(self):
        self.threads = []

    def body(self, *args, **kwargs):
        self.threads.append(threading.get_ident())
        return args, kwargs

    def fail(self):
        raise LookupError("from the worker")

    def slow(self, gate, arrived):
        arrived.set()
        return gate.wait(5)


decorate = Quotra.run_in_thread()


def test_run_in_thread_factory():
    assert Quotra.run_in_thread.__qualname__ == "Quotra.run_in_thread"
    a, b = Quotra.run_in_thread(), Quotra.run_in_thread()
    assert a is not b and a.__qualname__ == "run_in_thread.<locals>.decorator"
    with pytest.raises(TypeError):
        Quotra.run_in_thread(1)
    with pytest.raises(TypeError):
        a()
    wrapped = a(Probe.body)
    assert wrapped.__name__ == "body" and wrapped.__wrapped__ is Probe.body
    assert asyncio.iscoroutinefunction(wrapped)
    assert Quotra.subscribe.__wrapped__.__qualname__ == "Quotra.subscribe"


def test_decorated_body_runs_on_a_worker_thread(loop):
    probe = Probe()
    body = decorate(Probe.body)
    kwargs = {"k": 1}
    items = [1]
    coro = body(probe, items, **kwargs)
    assert coro.__name__ == "wrapper"
    assert coro.__qualname__ == "run_in_thread.<locals>.decorator.<locals>.wrapper"
    kwargs["k"] = 2          # the call copied the keywords
    items.append(2)          # but a list argument is the caller's object
    args, kw = loop.run_until_complete(coro)
    assert args == ([1, 2],) and args[0] is items and kw == {"k": 1}
    assert probe.threads and probe.threads[0] != threading.get_ident()


def test_decorated_exception_and_unawaited_call(loop):
    probe = Probe()
    with pytest.raises(LookupError, match="from the worker"):
        loop.run_until_complete(decorate(Probe.fail)(probe))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        decorate(Probe.body)(probe)
        gc.collect()
    assert probe.threads == []
    assert any("was never awaited" in str(w.message) for w in caught)


def test_two_decorated_calls_overlap(loop):
    probe = Probe()
    gate, a1, a2 = threading.Event(), threading.Event(), threading.Event()

    async def both():
        t1 = asyncio.ensure_future(decorate(Probe.slow)(probe, gate, a1))
        t2 = asyncio.ensure_future(decorate(Probe.slow)(probe, gate, a2))
        await asyncio.to_thread(lambda: a1.wait(5) and a2.wait(5))
        overlapped = a1.is_set() and a2.is_set()
        gate.set()
        return overlapped, await t1, await t2

    assert loop.run_until_complete(asyncio.wait_for(both(), 10)) == (True, True, True)


def test_coroutine_protocol_by_hand(loop, monkeypatch):
    monkeypatch.setattr(qm, "asyncio", SlowSleep())   # the body awaits a long sleep
    probe = Probe()
    wrapped = decorate(Probe.body)

    async def drive():
        coro = wrapped(probe, 7)
        assert asyncio.iscoroutine(coro)
        assert coro.cr_await is None and coro.cr_running is False
        fut = coro.send(None)                 # runs up to the sleep's future
        assert isinstance(fut, asyncio.Future) and coro.cr_await is not None
        # throw() goes into the awaited iterator and unwinds the body
        with pytest.raises(KeyError):
            coro.throw(KeyError("x"))
        with pytest.raises(RuntimeError, match="cannot reuse"):
            coro.send(None)

        coro = wrapped(probe)
        coro.send(None)
        assert coro.close() is None and coro.cr_await is None

        coro = wrapped(probe)
        coro.close()                          # never started: nothing runs
        with pytest.raises(RuntimeError):
            coro.send(None)

        coro = wrapped(probe)
        with pytest.raises(ValueError, match="before start"):
            coro.throw(ValueError("before start"))
        coro = wrapped(probe)
        with pytest.raises(TypeError):
            coro.send(1)                      # non-None into a just-started coroutine
        coro.close()

    loop.run_until_complete(drive())
    assert probe.threads == []


class Immediate:
    """An awaitable whose iterator returns a tuple at once, without yielding."""

    def __await__(self):
        return (yield from ())  or (1, 2)


def test_tuple_results_come_back_whole(loop, monkeypatch):
    class Shim(SlowSleep):
        def to_thread(self, job):
            return Immediate()
    monkeypatch.setattr(qm, "asyncio", Shim())
    coro = decorate(Probe.body)(Probe())
    with pytest.raises(StopIteration) as info:
        coro.send(None)
    assert info.value.value == (1, 2)


def test_coroutine_values_through_create_task_gather_and_wait_for(loop):
    probe = Probe()

    async def main():
        t = loop.create_task(decorate(Probe.body)(probe, (1, 2)))
        r = await asyncio.gather(t, decorate(Probe.body)(probe, 3))
        w = await asyncio.wait_for(decorate(Probe.body)(probe, "w"), 5)
        return r, w

    r, w = loop.run_until_complete(main())
    assert r == [(((1, 2),), {}), ((3,), {})] and w == (("w",), {})
    assert asyncio.run(decorate(Probe.body)(probe, "run")) == (("run",), {})


class SlowSleep:
    """An asyncio stand-in whose to_thread hands back a long sleep."""

    def __init__(self):
        self.started = None

    def __getattr__(self, name):
        return getattr(asyncio, name)

    def to_thread(self, job):
        return asyncio.sleep(3600)


def test_cancellation_while_awaiting_inside_our_coroutine(loop, monkeypatch):
    monkeypatch.setattr(qm, "asyncio", SlowSleep())
    probe = Probe()

    async def main():
        task = asyncio.ensure_future(decorate(Probe.body)(probe))
        await asyncio.sleep(0.01)
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task
        return task

    task = loop.run_until_complete(asyncio.wait_for(main(), 5))
    assert task.cancelled() and probe.threads == []


def test_many_coroutines_leave_memory_flat(loop, monkeypatch):
    shim = SlowSleep()
    monkeypatch.setattr(qm, "asyncio", shim)
    probe = Probe()
    wrapped = decorate(Probe.body)

    async def cycle(n):
        for i in range(n):
            task = asyncio.ensure_future(wrapped(probe, [i], k=i))
            await asyncio.sleep(0)        # the body is now suspended in its await
            task.cancel()
            try:
                await task
            except asyncio.CancelledError:
                pass
            c = wrapped(probe)
            c.close()                     # created and closed without running

    def rss_kib():
        return int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024

    loop.run_until_complete(cycle(20_000))
    gc.collect()
    base_objects, base_rss = len(gc.get_objects()), rss_kib()
    loop.run_until_complete(cycle(50_000))
    gc.collect()
    assert len(gc.get_objects()) - base_objects < 1000
    if not os.environ.get("QUOTRA_SANITIZED"):  # ASan's quarantine holds freed memory
        assert rss_kib() - base_rss < 4096


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
    assert Quotra.shutdown.__qualname__ == "Quotra.shutdown"
    with pytest.raises(TypeError):
        Quotra.shutdown()


def test_stop_signal_handler_without_connection(loop, caplog):
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
    assert 1.8 < elapsed < 5
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
    state = list(m.__reduce_cython__()[2])
    state[11].set()                      # the stop event is already set
    loop.run_until_complete(asyncio.wait_for(m.stop_signal_handler(), 1))
    assert closed == [m]
    msgs = [r.getMessage() for r in caplog.records if r.name == "quotra.quotra"]
    assert msgs == ["WebSocket closure initiated by user interrupt."]


SIGNAL_SCRIPT = textwrap.dedent("""
    import asyncio, logging, os, signal, sys, time
    sys.path.insert(0, {root!r})
    logging.basicConfig(level=logging.INFO, format="%(name)s|%(message)s", stream=sys.stdout)
    from quotra.quotra import Quotra
    loop = asyncio.new_event_loop()
    q = Quotra(loop)
    q.IS_CONNECTED.set()
    loop.call_later(0.2, os.kill, os.getpid(), signal.{sig})
    t0 = time.monotonic()
    loop.run_forever()
    print("returned|%.1f|%s" % (time.monotonic() - t0, q.IS_CONNECTED.is_set()), flush=True)
""")


@pytest.mark.parametrize("sig", ["SIGINT", "SIGTERM"])
def test_signal_runs_the_shutdown(sig):
    out = subprocess.run([sys.executable, "-c", SIGNAL_SCRIPT.format(root=str(ROOT), sig=sig)],
                         capture_output=True, text=True, timeout=30)
    lines = [l for l in out.stdout.splitlines() if l]
    assert lines[:2] == ["quotra.quotra|WebSocket closure initiated by user interrupt.",
                         "quotra.quotra|Websocket disconnected."], out.stdout + out.stderr
    kind, elapsed, connected = lines[2].split("|")
    assert kind == "returned" and 1.9 <= float(elapsed) < 6 and connected == "False"
    assert out.returncode == 0
