"""The client under eager tasks, on asyncio's loop and on uvloop's.

With an eager task factory the loop's ``create_task`` runs each callback's
coroutine at once, until it first suspends: the callback runs inside the
listener's ``on_ws_frame``, and whatever it does (subscribe, close, drop the
connection, raise) happens while the client is still handling the frame.

Two settings: frames fed straight into picows' parser on a fake transport
(no socket: what ran by the time ``feed`` returns ran inside the frame
handler), and a client streaming from the local service.
"""

from __future__ import annotations

import asyncio
import gc
import time

import pytest

from bench.stages import feed, open_protocol, ws_frame
from harness import QUOTRA_FIELDS, ClientSession, client_field, limit, pickled_state
from quotra.eager import eager_task_factory
from quotra.pricetape_proto import pricetape
from quotra.quotra import Quotra, QuotraListner
from quotra.service import encode_quote

LOOPS = ("asyncio", "uvloop")


def new_loop(kind: str) -> asyncio.AbstractEventLoop:
    if kind == "uvloop":
        return pytest.importorskip("uvloop").new_event_loop()
    return asyncio.new_event_loop()


def eager_loop(kind: str) -> asyncio.AbstractEventLoop:
    loop = new_loop(kind)
    loop.set_task_factory(eager_task_factory)
    return loop


def quote_frame(price: float) -> bytes:
    return ws_frame(encode_quote(pricetape(instrument="ABC", last_price=price)))


@pytest.fixture(params=LOOPS)
def kind(request):
    return request.param


def test_factory_starts_tasks_eagerly(kind):
    """uvloop passes ``eager_start=`` to the task factory, which asyncio's own
    eager factory refuses (every create_task failed); ours takes it on both
    loops and honours an explicit False."""
    loop = eager_loop(kind)
    ran = []

    async def body(tag):
        ran.append(tag)

    async def main():
        loop.create_task(body("eager"))
        assert ran == ["eager"]
        if kind == "uvloop":
            later = loop.create_task(body("later"), eager_start=False)
            assert ran == ["eager"]
            await later
            assert ran == ["eager", "later"]

    try:
        loop.run_until_complete(main())
    finally:
        loop.close()


# ---------------------------------------------------------------- frames fed into picows' parser


class Fed:
    """A client whose listener reads frames fed into picows' parser on a fake
    transport; its callbacks note what they see."""

    def __init__(self, kind: str, on_msg=None, on_err=None):
        self.loop = eager_loop(kind)
        asyncio.set_event_loop(self.loop)
        self.events: list = []
        self.loop_errors: list = []
        self.loop.set_exception_handler(
            lambda _loop, ctx: self.loop_errors.append(ctx.get("exception"))
        )
        self.client = Quotra(self.loop)
        set_callbacks(self.client, msg=on_msg or self.on_msg, err=on_err or self.on_err)
        self.proto, self.transport = self.loop.run_until_complete(
            open_protocol(lambda: QuotraListner(self.client, self.loop))
        )
        self.handshake_writes = len(self.transport.written)

    async def on_msg(self, quote):
        self.events.append(("msg", quote["last_price"]))

    async def on_err(self, exc):
        self.events.append(("err", type(exc).__name__))

    def feed(self, data: bytes, events=None) -> list:
        """Feed ``data`` from a callback of the running loop, as picows reads
        (a task starts eagerly only on a running loop); returns a copy of
        ``events`` (default: the callbacks' notes) as they were when the
        parser returned."""
        events = self.events if events is None else events
        seen = []
        self.loop.call_soon(lambda: (feed(self.proto, data), seen.extend(events)))
        self.loop.run_until_complete(asyncio.sleep(0))
        return seen

    def written_after_handshake(self) -> list[bytes]:
        return self.transport.written[self.handshake_writes :]

    def close(self) -> None:
        try:
            for t in asyncio.all_tasks(self.loop):
                t.cancel()
            self.loop.run_until_complete(asyncio.sleep(0.01))
        finally:
            self.loop.close()
            asyncio.set_event_loop(None)


def test_callbacks_run_inside_the_frame_handler(kind):
    """Quotes and errors alike: every callback has run by the time picows'
    parser returns, in frame order; a frame that is not a quote and an
    error callback whose coroutine raises leave the next frame's delivery
    and the connection as they were."""
    fed = Fed(kind)
    try:

        async def failing_err(exc):
            fed.events.append(("err", type(exc).__name__))
            raise RuntimeError("error callback failed")

        seen = fed.feed(quote_frame(1.0) + ws_frame(b'{"other":1}') + quote_frame(2.0))
        assert seen == [("msg", 1.0), ("err", "KeyError"), ("msg", 2.0)]
        set_callbacks(fed.client, err=failing_err)
        seen = fed.feed(ws_frame(b"null") + quote_frame(3.0))
        gc.collect()
        assert seen[3:] == [("err", "TypeError"), ("msg", 3.0)]
        assert [type(e) for e in fed.loop_errors] == [RuntimeError]
        assert fed.written_after_handshake() == []  # no CLOSE: the connection stands
    finally:
        fed.close()


@pytest.mark.parametrize("error", [ValueError, asyncio.CancelledError])
def test_a_raising_callback_stays_in_its_task(kind, error):
    """A callback that raises at once fails its own task, as without eager
    start: the error reaches the loop's exception handler (a cancellation
    only cancels the task), never the frame handler, so picows neither closes
    the connection nor drops the frames after it."""
    seen = []

    async def on_msg(quote):
        seen.append(quote["last_price"])
        if quote["last_price"] == 1.0:
            raise error("callback failed")

    fed = Fed(kind, on_msg=on_msg)
    try:
        assert fed.feed(quote_frame(1.0) + quote_frame(2.0), seen) == [1.0, 2.0]
        gc.collect()
        assert fed.events == []  # the error callback is not for the callback's own failures
        # (asyncio's create_task of CPython 3.13.0 keeps an eager task that
        # failed in a reference cycle: it is reported once the collector runs.)
        expected = [] if error is asyncio.CancelledError else [(ValueError, ("callback failed",))]
        assert [(type(e), e.args) for e in fed.loop_errors] == expected
        assert fed.written_after_handshake() == []
    finally:
        fed.close()


def test_frames_read_before_the_callback_closed_the_transport_are_delivered(kind):
    """A callback that closes the transport under the frame handler: the
    frames picows had already read from the same chunk still reach their
    callbacks, in order, and nothing raises out of the handler."""

    async def on_msg(quote):
        fed.events.append(("msg", quote["last_price"]))
        if quote["last_price"] == 1.0:
            client_field(fed.client, "transport").disconnect()

    fed = Fed(kind, on_msg=on_msg)
    try:
        seen = fed.feed(quote_frame(1.0) + quote_frame(2.0) + quote_frame(3.0))
        assert seen == [("msg", 1.0), ("msg", 2.0), ("msg", 3.0)]
        assert fed.loop_errors == []
    finally:
        fed.close()


def test_suspending_callbacks_start_in_arrival_order(kind):
    order = []

    async def on_msg(quote):
        order.append(("start", quote["last_price"]))
        await asyncio.sleep(0)
        order.append(("end", quote["last_price"]))

    fed = Fed(kind, on_msg=on_msg)
    try:
        seen = fed.feed(b"".join(quote_frame(float(i)) for i in range(5)), order)
        assert seen == [("start", float(i)) for i in range(5)]
        fed.loop.run_until_complete(asyncio.sleep(0.01))
        assert order[5:] == [("end", float(i)) for i in range(5)]
    finally:
        fed.close()


def test_create_task_is_looked_up_at_each_quote(kind):
    """The loop's create_task as attribute lookup finds it at each quote: the
    class's method, an instance attribute set later and taken away again;
    a loop without one fails before the callback runs."""
    fed = Fed(kind)
    try:
        calls = []

        class Loop:
            def create_task(self, coro):
                calls.append("class")
                return fed.loop.create_task(coro)

        def instance_create_task(coro):
            calls.append("instance")
            return fed.loop.create_task(coro)

        loop = Loop()
        set_fields(fed.client, _Quotra__loop=loop)
        fed.feed(quote_frame(1.0))
        loop.create_task = instance_create_task
        fed.feed(quote_frame(2.0))
        del loop.create_task
        fed.feed(quote_frame(3.0))
        assert calls == ["class", "instance", "class"]
        assert fed.events == [("msg", 1.0), ("msg", 2.0), ("msg", 3.0)]

        set_fields(fed.client, _Quotra__loop=object())
        fed.feed(quote_frame(4.0))
        assert fed.events[3:] == []  # neither callback: the error callback's scheduling fails alike
        assert (
            fed.written_after_handshake()[0][:1] == b"\x88"
        )  # picows closes after the AttributeError
    finally:
        fed.close()


# ---------------------------------------------------------------- streaming from the service


def eager_session(kind: str, **options) -> ClientSession:
    return ClientSession(new_loop=lambda: eager_loop(kind), **options)


def run_until_shutdown(s: ClientSession, timeout: float = 20) -> None:
    """Run the loop until the client's shutdown stops it (failing after ``timeout``)."""
    fired = []
    watchdog = s.loop.call_later(limit(timeout), lambda: (fired.append(True), s.loop.stop()))
    s.loop.run_forever()
    watchdog.cancel()
    assert not fired, "the client's shutdown did not stop the loop"
    assert s.log.count("Websocket disconnected.") == 1
    s.client = None  # shut down already: the session's end only stops the service


def test_callback_subscribes_and_unsubscribes(kind):
    """subscribe and unsubscribe awaited inside a callback, which suspends
    there: the service sees both, and quotes of the new instrument arrive."""
    with eager_session(kind, instruments=("ABC",)) as s:
        finished = []

        async def on_msg(quote):
            await s.rec.on_msg(quote)
            if s.rec.messages == 1:
                await s.client.subscribe(["XYZ"])
                await s.client.unsubscribe(["ABC"])
                finished.append(True)

        set_callbacks(s.client, msg=on_msg)

        async def scenario():
            conn = s.current()
            s.svc.send_quote("ABC", conn)
            await s.svc.wait_subscribed(["XYZ"], conn, timeout=limit(10))
            await s.svc.wait_for(
                lambda: "ABC" not in conn.subscribed, limit(10), "ABC unsubscribed"
            )
            s.svc.send_quote("XYZ", conn)
            await s.rec.wait(
                lambda: [q for q in s.rec.quotes if q["instrument"] == "XYZ"], 10, "an XYZ quote"
            )
            await wait_until(lambda: finished, "the callback's return")

        s.run(scenario())
        assert client_field(s.client, "tokens_set") == {"XYZ"}


@pytest.mark.parametrize("graceful", [True, False], ids=["disconnect", "abort"])
def test_callback_drops_the_connection(kind, graceful):
    """A callback that ends the connection under the frame handler: the loss
    is handled as any other (reconnection, resubscription) and quotes flow
    again."""
    with eager_session(kind, instruments=("ABC",)) as s:

        async def on_msg(quote):
            await s.rec.on_msg(quote)
            if s.rec.messages == 1:
                client_field(s.client, "transport").disconnect(graceful)

        set_callbacks(s.client, msg=on_msg)

        async def scenario():
            after = s.svc.accepted
            s.svc.send_quote("ABC", last_price=1.0)
            s.svc.send_quote("ABC", last_price=2.0)
            conn = await s.wait_reconnected(after, ["ABC"])
            s.svc.send_quote("ABC", conn, last_price=3.0)
            await s.rec.wait(
                lambda: 3.0 in [q["last_price"] for q in s.rec.quotes], 10, "the quote after"
            )

        s.run(scenario())
        assert s.log.count("Trying to reconnect..") == 1
        assert [e for e in s.loop_errors if "exception" in e] == []


def test_callback_closes_the_client(kind):
    """close_websocket() from inside the frame handler ends in the client's
    shutdown, as from anywhere else."""
    with eager_session(kind, instruments=("ABC",)) as s:

        async def on_msg(quote):
            await s.rec.on_msg(quote)
            s.client.close_websocket()

        set_callbacks(s.client, msg=on_msg)
        s.svc.send_quote("ABC")
        run_until_shutdown(s)
        assert s.rec.messages >= 1


def test_shutdown_cancels_pending_eager_tasks(kind):
    """Callbacks suspended in their eager tasks are tasks of the loop like
    any other: the shutdown cancels them, waits for them and stops the loop."""
    with eager_session(kind, instruments=("ABC",)) as s:
        never = asyncio.Event()
        waiting, cancelled = [], []

        async def on_msg(quote):
            waiting.append(quote["last_price"])
            try:
                await never.wait()
            except asyncio.CancelledError:
                cancelled.append(quote["last_price"])
                raise

        set_callbacks(s.client, msg=on_msg)
        for price in (1.0, 2.0, 3.0):
            s.svc.send_quote("ABC", last_price=price)
        s.run(wait_until(lambda: len(waiting) == 3, "three callbacks waiting"))
        s.loop.call_soon(s.client.close_websocket)
        run_until_shutdown(s)
        assert sorted(cancelled) == [1.0, 2.0, 3.0]


def set_fields(client, **fields) -> None:
    """Replace some of the client's fields (through its pickle state)."""
    state = list(pickled_state(client))
    for name, value in fields.items():
        state[QUOTRA_FIELDS.index(name)] = value
    client.__setstate_cython__(tuple(state))


def set_callbacks(client, msg=None, err=None) -> None:
    if err is not None:
        set_fields(client, _error_callback=err)
    if msg is not None:
        set_fields(client, _message_callback=msg)


async def wait_until(predicate, what: str, timeout: float = 10) -> None:
    deadline = time.monotonic() + limit(timeout)
    while not predicate():
        assert time.monotonic() < deadline, f"timed out waiting for {what}"
        await asyncio.sleep(0.01)


def test_eager_for_one_function_only(kind):
    """The bridge's and the recorder's factory: that function's coroutines
    start inside create_task, every other one waits its turn, on both loops
    (uvloop passes eager_start= to the factory itself)."""
    from quotra.eager import eager_for

    loop = new_loop(kind)
    ran = []

    async def quick(tag):
        ran.append(tag)

    async def other(tag):
        ran.append(tag)

    eager_for(loop, quick.__code__)

    async def main():
        waiting = loop.create_task(other("other"))
        loop.create_task(quick("quick"))
        assert ran == ["quick"]
        await waiting
        assert ran == ["quick", "other"]

    try:
        loop.run_until_complete(main())
    finally:
        loop.close()


def test_quote_tasks_come_in_rounds(kind):
    """One read of many quotes: the callback gets each at once, in order; their
    tasks start at most 256 a round of the loop, in order, the reading paused
    while some wait and resumed once none does (a close with quotes waiting:
    test_slow_close.py)."""
    from quotra import monitor

    started: list[float] = []

    async def on_msg(quote):
        started.append(quote["last_price"])

    fed = Fed(kind, on_msg=on_msg)
    fed.loop.set_task_factory(None)  # tasks that start in the round after
    reading: list[str] = []
    fed.transport.pause_reading = lambda: reading.append("pause")
    fed.transport.resume_reading = lambda: reading.append("resume")
    try:
        n = 1000
        data = b"".join(quote_frame(float(i)) for i in range(n))
        per_round: list[int] = []

        def tick():
            per_round.append(len(started))
            if len(started) < n:
                fed.loop.call_soon(tick)

        def read():
            feed(fed.proto, data)
            assert monitor.snapshot(fed.client)["quotes"] == n  # every callback called
            assert reading == ["pause"]
            fed.loop.call_soon(tick)

        fed.loop.call_soon(read)
        fed.loop.run_until_complete(asyncio.sleep(0.5))
        assert started == [float(i) for i in range(n)]
        steps = [b - a for a, b in zip([0, *per_round], per_round)]
        assert max(steps) <= 256 and len([s for s in steps if s]) >= n // 256, steps
        assert reading == ["pause", "resume"]

    finally:
        fed.close()


@pytest.mark.parametrize("at", [300, 600])
def test_a_callback_started_in_a_later_round_closes_the_client(kind, at):
    """A burst beyond one round's share: the quote tasks that waited start
    eagerly at a round's end, and one of them closes the client there. The
    rest that waited are closed, never run, and nothing else is started: no
    error reaches the loop, and the client ends as from anywhere else."""
    with eager_session(kind, instruments=("ABC",)) as s:
        seen: list[int] = []

        async def on_msg(quote):
            seen.append(1)
            if len(seen) == at:
                s.client.close_websocket()

        set_callbacks(s.client, msg=on_msg)
        s.loop.create_task(s.svc.blast(3000, instrument="ABC"))
        run_until_shutdown(s)
        assert len(seen) >= at
        assert [e for e in s.loop_errors if "exception" in e] == []
