"""The module's function and coroutine objects, seen from Python.

Every method of the module is a native function object and every coroutine
function returns a native coroutine object; these tests check that both pass
for their Python counterparts wherever Python code (inspect, functools,
asyncio, the garbage collector) looks at them. Coroutines are driven through
the thread-bridging decorator, with the module's `asyncio` global swapped for
a shim where a test needs to control what the coroutine awaits.
"""

import asyncio
import collections.abc
import gc
import inspect
import sys
import threading
import types
import warnings
import weakref

import pytest

from quotra import quotra as qq

Quotra = qq.Quotra
WRAPPER = "run_in_thread.<locals>.decorator.<locals>.wrapper"


def run(coro, timeout=10):
    async def main():
        return await asyncio.wait_for(coro, timeout)

    return asyncio.run(main())


class Gate:
    """What the shim's to_thread returns: its iterator yields `values`,
    records what is sent or thrown in, and finally returns job()."""

    def __init__(self, job, values):
        self.job = job
        self.values = values
        self.received = []
        self.thrown = []
        self.closed = False
        self.iterating = False

    def __await__(self):
        self.iterating = True
        try:
            for v in self.values:
                try:
                    self.received.append((yield v))
                except KeyError as e:  # handled: the await returns
                    self.thrown.append(e)
                    return "recovered"
                except ValueError as e:  # handled: one more value
                    self.thrown.append(e)
                    self.received.append((yield "after-value-error"))
        except GeneratorExit:
            self.closed = True
            raise
        return self.job()


@pytest.fixture
def shim(monkeypatch):
    """Replaces the module's asyncio with one whose to_thread(job) returns a
    Gate yielding shim.values; the Gates made are in shim.gates."""
    ns = types.SimpleNamespace(values=(1,), gates=[], to_thread_calls=0)

    def to_thread(job):
        ns.to_thread_calls += 1
        g = Gate(job, ns.values)
        ns.gates.append(g)
        return g

    ns.to_thread = to_thread
    monkeypatch.setattr(qq, "asyncio", ns)
    return ns


def decorate(func):
    return Quotra.run_in_thread()(func)


def finish(coro, *sends):
    """Sends None then `sends`; returns (yielded values, return value)."""
    out = []
    try:
        out.append(coro.send(None))
        for s in sends:
            out.append(coro.send(s))
    except StopIteration as e:
        return out, e.value
    raise AssertionError("coroutine still running after %r" % (out,))


# ------------------------------------------------------------ function objects


def bound(name):
    """Quotra's method `name` bound as it would be on an instance."""
    return Quotra.__dict__[name].__get__(SELF, Quotra)


SELF = object()


METHODS = [
    "run_in_thread",
    "stop_signal_handler",
    "subscribe",
    "unsubscribe",
    "_resubscribe",
    "start_ticker",
    "start_websocket",
    "close_websocket",
    "shutdown",
]


class TestClassFunctions:
    def test_metadata(self):
        d = Quotra.__dict__
        assert [n for n in d if n in METHODS] == METHODS  # the class dictionary's order
        assert isinstance(d["run_in_thread"], staticmethod) and isinstance(
            d["shutdown"], staticmethod
        )
        for name in METHODS:
            f = getattr(Quotra, name)
            assert f.__module__ == "quotra.quotra"
            assert f.__name__ == name and f.__qualname__ == "Quotra." + name
            if name not in ("run_in_thread", "shutdown"):
                assert d[name].__kwdefaults__ is None and d[name].__type_params__ == ()
        assert d["run_in_thread"].__func__.__qualname__ == "Quotra.run_in_thread"
        assert Quotra.subscribe.__wrapped__.__qualname__ == "Quotra.subscribe"
        assert Quotra.start_ticker.__defaults__ == (False,)
        assert Quotra.start_websocket.__defaults__ == (None, None, None)
        assert Quotra.subscribe.__annotations__ == {"instruments": "list", "return": "None"}
        assert Quotra.unsubscribe.__annotations__ == {"instruments": "list", "return": "None"}
        assert Quotra.stop_signal_handler.__annotations__ == {"return": "None"}
        assert (
            Quotra.start_ticker.__annotations__ == {} and Quotra._resubscribe.__annotations__ == {}
        )
        Listener = qq.QuotraListner
        for name in [
            "send_user_specific_ping",
            "on_ws_connected",
            "on_ws_frame",
            "on_ws_disconnected",
            "__reduce_cython__",
            "__setstate_cython__",
        ]:
            f = Listener.__dict__[name]
            assert f.__qualname__ == f"QuotraListner.{name}" and f.__module__ == "quotra.quotra"
        assert (
            Quotra.__reduce__ is d["__reduce_cython__"]
            and Quotra.__setstate__ is d["__setstate_cython__"]
        )
        assert Listener.__reduce__ is Listener.__dict__["__reduce_cython__"]

    def test_signatures(self):
        sig = lambda f: str(inspect.signature(f))  # noqa: E731
        assert sig(Quotra.start_ticker) == "(self, reconnect=False)"
        assert sig(Quotra.start_websocket) == (
            "(self, message_update_callback, error_callback=None, open_callback=None, close_callback=None)"
        )
        assert sig(Quotra.stop_signal_handler) == "(self, *args, **kwargs) -> 'None'"
        assert sig(Quotra.shutdown) == "(loop)"
        assert sig(Quotra.run_in_thread) == "()"
        # the decorated methods show the wrapped method's parameters
        assert sig(Quotra.subscribe) == "(self, instruments: 'list') -> 'None'"
        assert sig(Quotra._resubscribe) == "(self)"
        # bound: self is dropped
        assert sig(bound("subscribe")) == "(instruments: 'list') -> 'None'"
        assert sig(bound("start_ticker")) == "(reconnect=False)"
        assert sig(Quotra.__new__(Quotra).start_ticker) == "(reconnect=False)"
        assert sig(qq.QuotraListner.on_ws_frame) == "(self, transport, frame)"

    def test_defaults_follow_dunder_defaults(self):
        f = Quotra.start_ticker
        saved = f.__defaults__
        try:
            f.__defaults__ = ("x", "y", "z")  # only the tail applies
            assert str(inspect.signature(f)) == "(self='y', reconnect='z')"
            f.__defaults__ = None
            assert str(inspect.signature(f)) == "(self, reconnect)"
            with pytest.raises(
                TypeError,
                match=r"^start_ticker\(\) takes exactly 2 positional arguments \(1 given\)$",
            ):
                f(object())
            with pytest.raises(TypeError, match="^__defaults__ must be set to a tuple object$"):
                f.__defaults__ = [False]
        finally:
            f.__defaults__ = saved
        assert f.__defaults__ == (False,)

    def test_coroutine_function_marks(self):
        for f in (
            Quotra.stop_signal_handler,
            Quotra.start_ticker,
            Quotra.shutdown,
            Quotra.subscribe,
            Quotra.unsubscribe,
            Quotra._resubscribe,
            bound("subscribe"),
            bound("start_ticker"),
            bound("stop_signal_handler"),
        ):
            assert inspect.iscoroutinefunction(f), f
            assert asyncio.iscoroutinefunction(f), f
        for f in (
            Quotra.start_websocket,
            Quotra.close_websocket,
            Quotra.run_in_thread,
            bound("close_websocket"),
        ):
            assert not inspect.iscoroutinefunction(f), f
            assert not asyncio.iscoroutinefunction(f), f

    def test_binding(self):
        m = bound("start_ticker")
        assert (
            inspect.ismethod(m)
            and m.__self__ is SELF
            and m.__func__ is Quotra.__dict__["start_ticker"]
        )
        assert Quotra.start_ticker is Quotra.__dict__["start_ticker"]
        assert Quotra.__dict__["start_ticker"].__get__(None, Quotra) is Quotra.start_ticker
        assert isinstance(Quotra.__dict__["shutdown"], staticmethod)
        assert bound("shutdown") is Quotra.shutdown  # static: no binding
        assert repr(Quotra.start_ticker).startswith("<function Quotra.start_ticker at 0x")

    def test_argument_errors(self):
        with pytest.raises(
            TypeError, match=r"^run_in_thread\(\) takes exactly 0 positional arguments \(1 given\)$"
        ):
            Quotra.run_in_thread(1)
        with pytest.raises(
            TypeError, match=r"^shutdown\(\) takes exactly 1 positional argument \(0 given\)$"
        ):
            Quotra.shutdown()
        with pytest.raises(
            TypeError, match=r"^shutdown\(\) takes exactly 1 positional argument \(2 given\)$"
        ):
            Quotra.shutdown(1, 2)
        with pytest.raises(
            TypeError, match=r"^shutdown\(\) got an unexpected keyword argument 'x'$"
        ):
            Quotra.shutdown(1, x=2)
        with pytest.raises(
            TypeError, match=r"^shutdown\(\) got multiple values for keyword argument 'loop'$"
        ):
            Quotra.shutdown(1, loop=2)
        with pytest.raises(
            TypeError, match=r"^start_ticker\(\) takes at most 2 positional arguments \(3 given\)$"
        ):
            Quotra.start_ticker(1, 2, 3)
        with pytest.raises(
            TypeError,
            match=r"^start_websocket\(\) takes at least 2 positional arguments \(1 given\)$",
        ):
            Quotra.start_websocket(object(), error_callback=None)
        with pytest.raises(
            TypeError,
            match=r"^stop_signal_handler\(\) takes at least 1 positional argument \(0 given\)$",
        ):
            Quotra.stop_signal_handler()
        with pytest.raises(
            TypeError, match=r"^decorator\(\) takes exactly 1 positional argument \(0 given\)$"
        ):
            Quotra.run_in_thread()()

    def test_attributes_functools_wraps_writes(self):
        def target(a, b=2) -> "int":
            """Target doc."""

        target.extra = "x"
        w = decorate(target)
        assert (w.__name__, w.__qualname__, w.__module__, w.__doc__) == (
            "target",
            target.__qualname__,
            __name__,
            "Target doc.",
        )
        assert w.__annotations__ == {"return": "int"} and w.__type_params__ == ()
        assert w.__wrapped__ is target and w.extra == "x"
        assert str(inspect.signature(w)) == "(a, b=2) -> 'int'"
        assert inspect.iscoroutinefunction(w) and asyncio.iscoroutinefunction(w)
        for attr, value in [
            ("__name__", 1),
            ("__qualname__", None),
            ("__annotations__", []),
            ("__type_params__", []),
            ("__kwdefaults__", []),
        ]:
            with pytest.raises(TypeError):
                setattr(w, attr, value)

    def test_functions_are_collected(self):
        r = weakref.ref(decorate(lambda: None))
        gc.collect()
        assert r() is None


# ------------------------------------------------------------ run_in_thread


class TestRunInThread:
    def test_decorators_are_distinct_and_named(self):
        d1, d2 = Quotra.run_in_thread(), Quotra.run_in_thread()
        assert d1 is not d2
        assert d1.__qualname__ == "run_in_thread.<locals>.decorator"
        assert not inspect.iscoroutinefunction(d1)
        assert decorate(func=len).__wrapped__ is len

    def test_body_runs_on_a_worker_thread(self):
        def body(self, instruments, **kw):
            return self, instruments, kw, threading.get_ident()

        w = decorate(body)
        lst = []
        coro = w("me", lst, k=1)
        assert coro.__name__ == "wrapper" and coro.__qualname__ == WRAPPER
        me, got, kw, tid = run(coro)
        assert me == "me" and got is lst and kw == {"k": 1} and tid != threading.get_ident()

    def test_keywords_are_copied_and_lists_shared(self):
        seen = []
        w = decorate(lambda items, **kw: seen.append((list(items), dict(kw))))
        kw = {"a": 1}
        items = [1]
        coro = w(items, **kw)
        kw["b"] = 2
        items.append(2)
        run(coro)
        assert seen == [([1, 2], {"a": 1})]

    def test_exception_and_value(self):
        def body(x):
            if x == "boom":
                raise ZeroDivisionError("boom")
            return ("tuple", x)

        w = decorate(body)
        assert run(w(1)) == ("tuple", 1)
        with pytest.raises(ZeroDivisionError, match="boom"):
            run(w("boom"))

    def test_calls_overlap_on_worker_threads(self):
        gate, arrived = threading.Event(), [threading.Event(), threading.Event()]

        def slow(i):
            arrived[i].set()
            return gate.wait(5)

        async def both():
            tasks = asyncio.gather(decorate(slow)(0), decorate(slow)(1))
            overlapped = await asyncio.to_thread(lambda: all(a.wait(5) for a in arrived))
            gate.set()
            return overlapped, await tasks

        assert run(both()) == (True, [True, True])

    def test_never_awaited_runs_nothing_and_warns(self):
        calls = []
        w = decorate(lambda: calls.append(1))
        with pytest.warns(RuntimeWarning, match="^coroutine '%s' was never awaited$" % WRAPPER):
            coro = w()
            del coro
            gc.collect()
        assert calls == []


# ------------------------------------------------------------ coroutine protocol


class TestCoroutineProtocol:
    def test_creation_runs_nothing(self, shim):
        coro = decorate(lambda: 1)()
        assert shim.to_thread_calls == 0
        assert (
            not coro.cr_running
            and not coro.cr_suspended
            and coro.cr_await is None
            and coro.cr_frame is None
        )
        assert coro.__await__() is coro
        assert asyncio.iscoroutine(coro) and isinstance(coro, collections.abc.Coroutine)
        coro.close()
        with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
            coro.send(None)  # closed before it started: it never runs
        assert shim.to_thread_calls == 0

    def test_values_flow_through_and_tuple_result(self, shim):
        shim.values = ("a", "b")
        coro = decorate(lambda: (1, 2))()
        assert coro.send(None) == "a"
        assert coro.cr_suspended and coro.cr_await is not None
        assert coro.send("p") == "b"
        with pytest.raises(StopIteration) as ei:
            coro.send("q")
        assert ei.value.value == (1, 2)  # a tuple is one value, not constructor arguments
        assert shim.gates[0].received == ["p", "q"]
        assert not coro.cr_suspended and coro.cr_await is None
        with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
            coro.send(None)
        shim.values = ()  # an awaitable that returns at once: the tuple still comes back whole
        with pytest.raises(StopIteration) as ei:
            decorate(lambda: (3, 4))().send(None)
        assert ei.value.value == (3, 4)

    def test_send_rules(self, shim):
        coro = decorate(lambda: None)()
        with pytest.raises(
            TypeError, match="^can't send non-None value to a just-started coroutine$"
        ):
            coro.send(1)
        yielded, value = finish(coro, None)
        assert value is None
        with pytest.raises(RuntimeError, match="^cannot reuse already awaited coroutine$"):
            coro.throw(KeyError)
        assert coro.close() is None

    def test_throw_forwarded_to_the_awaited_iterator(self, shim):
        shim.values = (1, 2)
        coro = decorate(lambda: "done")()
        coro.send(None)
        assert coro.throw(ValueError("v")) == "after-value-error"
        assert coro.send(None) == 2
        with pytest.raises(StopIteration) as ei:
            coro.throw(KeyError("k"))
        assert ei.value.value == "recovered"
        assert [type(e) for e in shim.gates[0].thrown] == [ValueError, KeyError]

    def test_throw_unhandled_and_legacy_form(self, shim):
        coro = decorate(lambda: None)()
        coro.send(None)
        with pytest.warns(DeprecationWarning):
            with pytest.raises(OSError, match="legacy"):
                coro.throw(OSError, "legacy")
        assert not coro.cr_suspended
        coro = decorate(lambda: None)()
        coro.send(None)
        with pytest.raises(
            TypeError, match="^exceptions must be classes or instances deriving from BaseException"
        ):
            coro.throw(1)
        assert coro.cr_suspended  # a bad call changes nothing
        coro.close()

    def test_throw_before_start_runs_nothing(self, shim):
        coro = decorate(lambda: None)()
        with pytest.raises(KeyError):
            coro.throw(KeyError("k"))
        assert shim.to_thread_calls == 0
        with pytest.raises(RuntimeError, match="cannot reuse"):
            coro.send(None)

    def test_close_and_generator_exit_close_the_awaited_iterator(self, shim):
        coro = decorate(lambda: None)()
        coro.send(None)
        inner = coro.cr_await
        assert coro.close() is None
        assert shim.gates[0].closed and inner.gi_frame is None and not coro.cr_suspended
        coro = decorate(lambda: None)()
        coro.send(None)
        inner = coro.cr_await
        with pytest.raises(GeneratorExit):
            coro.throw(GeneratorExit)
        assert shim.gates[1].closed and inner.gi_frame is None

    def test_errors_in_the_await_expression(self, shim, monkeypatch):
        coro = decorate(lambda: None)()
        monkeypatch.setattr(shim, "to_thread", lambda job: 5)
        with pytest.raises(TypeError, match="^'int' object can't be awaited$"):
            coro.send(None)

        def raise_stop(job):
            raise StopIteration("from to_thread")

        monkeypatch.setattr(shim, "to_thread", raise_stop)
        with pytest.raises(RuntimeError, match="^coroutine raised StopIteration$") as ei:
            decorate(lambda: None)().send(None)
        assert isinstance(ei.value.__cause__, StopIteration)

    def test_reentry_is_refused(self, shim, monkeypatch):
        box = []

        class Reenter:
            def __await__(self):
                with pytest.raises(ValueError, match="^coroutine already executing$"):
                    box[0].send(None)
                yield "ok"

        monkeypatch.setattr(shim, "to_thread", lambda job: Reenter())
        coro = decorate(lambda: None)()
        box.append(coro)
        assert coro.send(None) == "ok"
        assert not coro.cr_running
        coro.close()
        box.clear()

    def test_python_coroutine_awaits_ours(self, shim):
        shim.values = ("a",)

        async def outer():
            return ("outer", await decorate(lambda: "inner")())

        yielded, value = finish(outer(), "sent")
        assert (
            yielded == ["a"] and value == ("outer", "inner") and shim.gates[0].received == ["sent"]
        )

    def test_names_weakref_repr(self, shim):
        coro = decorate(lambda: None)()
        assert repr(coro).startswith("<coroutine object %s at 0x" % WRAPPER)
        coro.__qualname__ = "renamed"
        with pytest.raises(TypeError, match="^__name__ must be set to a string object$"):
            coro.__name__ = None
        coro.close()
        r = weakref.ref(coro)
        del coro
        assert r() is None


# ------------------------------------------------------------ asyncio


class TestAsyncio:
    def test_task_gather_wait_for_run(self, monkeypatch):
        shim = types.SimpleNamespace(to_thread=lambda job: asyncio.sleep(0.001, job()))
        monkeypatch.setattr(qq, "asyncio", shim)
        w = decorate(lambda x: x)

        async def main():
            task = asyncio.get_running_loop().create_task(w("task"))
            g = await asyncio.gather(*(w(i) for i in range(50)))
            v = await asyncio.wait_for(w("w"), 5)
            shim.to_thread = lambda job: asyncio.sleep(100)
            with pytest.raises(TimeoutError):
                await asyncio.wait_for(w("late"), 0.01)
            return await task, g, v

        assert asyncio.run(main()) == ("task", list(range(50)), "w")
        shim.to_thread = lambda job: asyncio.sleep(0, job())
        assert asyncio.run(w("direct")) == "direct"

    def test_cancellation_releases_what_the_coroutine_held(self, monkeypatch):
        monkeypatch.setattr(
            qq, "asyncio", types.SimpleNamespace(to_thread=lambda job: asyncio.sleep(100))
        )

        class Arg:
            pass

        async def main():
            arg = Arg()
            r = weakref.ref(arg)
            base = sys.getrefcount(arg)
            task = asyncio.create_task(decorate(lambda a: a)(arg))
            await asyncio.sleep(0.01)
            assert sys.getrefcount(arg) > base
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            assert task.cancelled()
            assert sys.getrefcount(arg) == base
            return r

        assert asyncio.run(main())() is None

    def test_cancel_caught_by_a_python_awaiter(self, monkeypatch):
        monkeypatch.setattr(
            qq, "asyncio", types.SimpleNamespace(to_thread=lambda job: asyncio.sleep(100))
        )

        async def outer():
            try:
                await decorate(lambda: None)()
            except asyncio.CancelledError:
                return "caught"

        async def main():
            task = asyncio.create_task(outer())
            await asyncio.sleep(0.01)
            task.cancel()
            return await task

        assert asyncio.run(main()) == "caught"


# ------------------------------------------------------------ finalisation and GC


class TestFinalisation:
    def test_started_coroutine_is_closed_when_dropped(self, shim):
        coro = decorate(lambda: None)()
        coro.send(None)
        del coro
        assert shim.gates[0].closed

    def test_cycle_through_arguments_is_collected(self, shim):
        box = []
        coro = decorate(lambda b: None)(box)
        box.append(coro)  # coroutine -> args -> box -> coroutine
        coro.send(None)
        gate = weakref.ref(shim.gates.pop())  # the gate holds the job, which holds the arguments
        r = weakref.ref(coro)
        del coro, box
        gc.collect()
        assert r() is None and gate() is None

    def test_unstarted_cycle_is_collected_with_warning(self, shim):
        box = []
        coro = decorate(lambda b: None)(box)
        box.append(coro)
        r = weakref.ref(coro)
        del coro, box
        with pytest.warns(RuntimeWarning, match="never awaited"):
            gc.collect()
        assert r() is None

    def test_close_failure_of_the_awaited_iterator_is_raised(self, shim, monkeypatch):
        class Stubborn:
            ignored = False

            def __await__(self):
                while True:
                    try:
                        yield "again"
                    except GeneratorExit:
                        if self.ignored:
                            raise
                        self.ignored = True

        monkeypatch.setattr(shim, "to_thread", lambda job: Stubborn())
        coro = decorate(lambda: None)()
        coro.send(None)
        with pytest.raises(RuntimeError, match="^generator ignored GeneratorExit$"):
            coro.close()
        assert not coro.cr_suspended  # raised in the body, which ended

    def test_deep_chains_raise_recursion_error(self, shim, monkeypatch):
        # each wrapper awaits the next one: native coroutines step each other
        # on the C stack, so a runaway chain must stop with RecursionError
        depth = [0]

        def to_thread(job):
            depth[0] += 1
            return decorate(lambda: None)() if depth[0] < 200_000 else Gate(job, ())

        monkeypatch.setattr(shim, "to_thread", to_thread)
        coro = decorate(lambda: None)()
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            with pytest.raises(RecursionError):
                coro.send(None)
            del coro
            gc.collect()
