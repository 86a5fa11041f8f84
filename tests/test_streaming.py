"""The client against a real local TLS service: listener, quote path, subscriptions,
reconnection, closing and connection errors."""

import asyncio
import base64
import binascii
import gc
import logging
import socket
import ssl
import traceback
import types

import pytest
from google.protobuf.message import DecodeError
from picows import WSMsgType, WSTransport, ws_connect

import quotra.quotra as qm
from harness import SANITIZED, Recorder, client_field, limit, rss_kb
from quotra.quotra import Quotra, QuotraListner
from quotra.service import MarketDataService, point_client, service_url


def log_lines(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "quotra.quotra"]


async def eventually(predicate, timeout=5.0):
    deadline = asyncio.get_running_loop().time() + timeout
    while not predicate():
        if asyncio.get_running_loop().time() > deadline:
            raise TimeoutError("condition not reached")
        await asyncio.sleep(0.01)


def run(loop, coro, timeout=30):
    return loop.run_until_complete(asyncio.wait_for(coro, timeout))


def run_to_stop(loop, coro, timeout=30):
    """Runs until the client's shutdown stops the loop; returns whether it did."""
    stopped_by_us = []
    loop.create_task(coro)
    handle = loop.call_later(timeout, lambda: (stopped_by_us.append(1), loop.stop()))
    loop.run_forever()
    handle.cancel()
    return not stopped_by_us


@pytest.fixture(autouse=True)
def timings(client_timings):
    """Every test here runs with the client's timings scaled (``harness.FAST``)."""
    return client_timings


def serving(loop, monkeypatch, svc):
    """Fixture body: ``svc`` started on ``loop`` and trusted, stopped after the test."""
    loop.run_until_complete(svc.start())
    monkeypatch.setenv("SSL_CERT_FILE", svc.ca_file)
    yield svc
    if not loop.is_closed():
        loop.run_until_complete(svc.stop(graceful=False))
    svc.close_files()


@pytest.fixture
def service(loop, monkeypatch):
    yield from serving(loop, monkeypatch, MarketDataService())


def connected_client(loop, svc, recorder=None, error=True):
    client = Quotra(loop)
    point_client(client, svc.url)
    rec = recorder or Recorder()
    rec.start(client, error)
    run(loop, client.IS_CONNECTED.wait(), 10)
    return client, rec


def test_streams_quotes_and_keeps_the_subscription_set(loop, service):
    client = Quotra(loop)
    point_client(client, service.url)
    rec = Recorder()

    async def scenario():
        # Before any connection there is no transport: the set still records it
        # and the first connection's resubscription sends it.
        await client.subscribe(["EARLY"])
        rec.start(client)
        await asyncio.wait_for(client.IS_CONNECTED.wait(), 10)
        conn = (await service.wait_connections(1))[0]
        await service.wait_message(b'{"subscribe":["EARLY"]}', conn=conn)
        # The resubscription puts the set back once its send is done, which
        # the service may see first; an unsubscribe before that would be
        # undone by it (see docs/reliability.md).
        await eventually(lambda: client_field(client, "tokens_set") == {"EARLY"})
        await client.subscribe(["ABC", "XYZ"])
        await client.subscribe([])
        await client.unsubscribe(["EARLY", "NOPE"])
        for bad in [("ABC",), None, type("L", (list,), {})(["ABC"])]:
            with pytest.raises(TypeError, match="Argument 'instruments' has incorrect type"):
                await client.subscribe(bad)
        with pytest.raises(TypeError):
            await client.subscribe(1, 2)
        with pytest.raises(TypeError):
            await client.subscribe([{"unhashable": 1}, ["x"]])  # sent, then the set refuses it
        with pytest.raises(TypeError):
            await client.subscribe([object()])  # not encodable: nothing sent
        await eventually(lambda: len(conn.texts()) >= 5)
        service.send_quote("ABC", conn=conn, last_price=101.25, volume=7)
        await rec.wait_quotes(1)
        # A resubscription holds the set out while its worker thread sends it.
        await eventually(lambda: client_field(client, "tokens_set") == {"ABC", "XYZ"})
        return conn

    conn = run(loop, scenario())
    assert conn.texts() == [
        b'{"subscribe":["EARLY"]}',
        b'{"subscribe":["ABC","XYZ"]}',
        b'{"subscribe":[]}',
        b'{"unsubscribe":["EARLY","NOPE"]}',
        b'{"subscribe":[{"unhashable":1},["x"]]}',
    ]
    assert rec.opened == ["Socket opened."]
    quote = rec.quotes[0]
    assert quote["instrument"] == "ABC" and quote["last_price"] == 101.25 and quote["volume"] == 7
    assert client_field(client, "tokens_set") == {"ABC", "XYZ"}
    assert rec.exceptions == []


def test_quote_path_routes_every_failure(loop, service, caplog):
    caplog.set_level(logging.INFO, logger="quotra.quotra")
    client, rec = connected_client(loop, service)
    conn = service.connections[0]
    good = service.send_quote  # a valid quote frame

    async def scenario():
        service.send_frame(b"null", conn=conn)
        service.send_frame(b'{"other": 1}', conn=conn)
        service.send_frame(b'{"message": "abc"}', conn=conn)  # bad padding
        service.send_frame(b'{"message": 12}', conn=conn)  # not a string
        bad_proto = base64.b64encode(b"\xff\xff\xff\xff").decode()
        service.send_frame(('{"message": "%s"}' % bad_proto).encode(), conn=conn)
        for kind in (WSMsgType.BINARY, WSMsgType.PING):
            service.send_frame(b'{"message": ""}', msg_type=kind, conn=conn)
        # Extra members are ignored; two frames back to back give two dicts.
        payload = good("ABC", conn=conn, last_price=1.5)
        service.send_frame(payload[:-1] + b',"extra":[1,2]}', conn=conn)
        good("XYZ", conn=conn, last_price=2.5)
        await rec.wait_quotes(3)
        await eventually(lambda: len(rec.exceptions) >= 5)

    run(loop, scenario())
    kinds = [type(e) for e in rec.exceptions]
    assert kinds == [TypeError, KeyError, binascii.Error, TypeError, DecodeError]
    assert str(rec.exceptions[0]) == "'NoneType' object is not subscriptable"
    assert rec.exceptions[1].args == ("message",)
    first, second, third = rec.quotes[:3]
    assert (first["instrument"], first["last_price"]) == ("ABC", 1.5)
    assert (second["instrument"], second["last_price"]) == ("ABC", 1.5)
    assert (third["instrument"], third["last_price"]) == ("XYZ", 2.5)
    assert first is not second
    assert not [l for l in log_lines(caplog) if "reconnect" in l]  # the connection stayed

    # A message callback that is a plain function: called with the quote, and
    # create_task's TypeError (its result is not a coroutine) to the error
    # callback (test_callbacks_that_are_plain_functions).
    seen = []

    def plain(d):
        seen.append(d)

    state = client.__reduce_cython__()[2]  # the message callback replaced: a client starts once
    client.__setstate_cython__(state[:9] + (plain,) + state[10:])

    async def plain_case():
        good("ABC", conn=conn)
        await eventually(lambda: len(seen) == 1)

    run(loop, plain_case())
    assert len(rec.exceptions) == 6 and type(rec.exceptions[5]) is TypeError
    assert "a coroutine was expected" in str(rec.exceptions[5])

    # Anything but an Exception is not the error callback's: it propagates.
    def interrupted(d):
        raise KeyboardInterrupt

    client.__setstate_cython__(state[:9] + (interrupted,) + state[10:])

    async def interrupted_case():
        good("ABC", conn=conn)
        await eventually(
            lambda: len(rec.exceptions) > 5
        )  # never: the interrupt leaves the loop first

    with pytest.raises(KeyboardInterrupt):
        run(loop, interrupted_case())


def test_frames_that_cannot_be_decoded_end_the_connection(loop, service, caplog):
    """A payload that is not JSON, or JSON that is neither an object nor null,
    raises out of the frame callback: picows closes the connection and the
    client reconnects; the error callback is not involved."""
    caplog.set_level(logging.INFO, logger="quotra.quotra")
    client, rec = connected_client(loop, service)

    async def scenario():
        for i, payload in enumerate([b"[1, 2]", b"not json"]):
            conn = service.open_connections[0]
            service.send_frame(payload, conn=conn)
            await service.wait_disconnected(conn)
            await eventually(lambda: len(service.open_connections) == 1, 10)
        service.send_quote("ABC")
        await rec.wait_quotes(1)

    run(loop, scenario())
    assert rec.exceptions == []
    assert [c.close_received[0] for c in service.connections[:2]] == [1011, 1011]
    assert log_lines(caplog).count("Trying to reconnect..") == 2


def test_without_error_callback_failures_are_dropped_silently(loop, service, caplog):
    caplog.set_level(logging.DEBUG)
    client, rec = connected_client(loop, service, error=False)

    async def scenario():
        service.send_frame(b'{"no_message": 1}')
        service.send_quote("ABC", last_price=3.0)
        await rec.wait_quotes(1)

    run(loop, scenario())
    assert rec.quotes[0]["last_price"] == 3.0
    assert log_lines(caplog) == []


def test_close_frames_are_logged(loop, service, caplog):
    caplog.set_level(logging.INFO, logger="quotra.quotra")
    client, rec = connected_client(loop, service)

    async def scenario():
        for n, (code, reason) in enumerate([(1000, b""), (1000, b"bye now"), (4001, b"")]):
            service.close(code, reason, conn=service.open_connections[0], disconnect_after=0.5)
            await eventually(
                lambda: len(service.open_connections) == 1 and len(service.connections) == n + 2, 10
            )

    run(loop, scenario())
    lines = [l for l in log_lines(caplog) if l.startswith("Quotra disconnected")]
    assert (
        lines[0]
        == "Quotra disconnected with code :: 1000, message :: Connection closed by the user. "
    )
    assert lines[1] == "Quotra disconnected with code :: 1000, message :: bye now "
    assert lines[2] in (
        "Quotra disconnected with code :: 4001, message :: None ",
        "Quotra disconnected with code :: 4001, message :: b'' ",
    )
    assert rec.closed == ["Socket closed."] * 3 and rec.opened == ["Socket opened."] * 4


def test_reconnects_and_resubscribes_the_whole_set_every_time(loop, service, caplog):
    caplog.set_level(logging.INFO, logger="quotra.quotra")
    client, rec = connected_client(loop, service)
    instruments = ["ABC", "XYZ", "QRS"]

    async def scenario():
        await client.subscribe(instruments)
        for i in range(50):
            conn = service.open_connections[0]
            await service.wait_subscribed(instruments, conn=conn)
            service.drop(conn)
            await eventually(
                lambda: len(service.open_connections) == 1 and len(service.connections) == i + 2, 10
            )
        last = service.open_connections[0]
        await service.wait_subscribed(instruments, conn=last)
        n = len(rec.quotes)
        service.send_quote("XYZ", conn=last)
        await rec.wait_quotes(n + 1)
        # A resubscription holds the set out while its worker thread sends it.
        await eventually(lambda: client_field(client, "tokens_set") == set(instruments))

    run(loop, scenario(), 120)
    assert len(service.connections) == 51
    for conn in service.connections[1:]:
        texts = conn.texts()
        assert len(texts) == 1
        assert sorted(qm.orjson.loads(texts[0])["subscribe"]) == sorted(instruments)
    assert client_field(client, "tokens_set") == set(instruments)
    assert log_lines(caplog).count("Trying to reconnect..") == 50
    assert len(rec.closed) == 50 and len(rec.opened) == 51


def test_listener_subclass_receives_frames_through_the_native_table(loop, service):
    frames = []

    class Mine(QuotraListner):
        def on_ws_frame(self, transport, frame):
            frames.append((frame.msg_type, frame.get_payload_as_bytes()))

    client = Quotra(loop)

    async def scenario():
        listener = Mine(client, loop)
        transport, got = await ws_connect(
            lambda: listener, service.url, ssl_context=__import__("ssl").create_default_context()
        )
        assert got is listener
        await eventually(lambda: client.IS_CONNECTED.is_set())  # base on_ws_connected ran
        service.send_frame(b"hello")
        await eventually(lambda: frames)
        transport.disconnect()
        await transport.wait_disconnected()

    run(loop, scenario())
    assert frames == [(WSMsgType.TEXT, b"hello")]


def test_listener_methods_check_their_arguments(loop):
    client = Quotra(loop)
    listener = QuotraListner(client, loop)
    with pytest.raises(
        TypeError,
        match=r"Argument 'transport' has incorrect type \(expected picows.picows.WSTransport, got NoneType\)",
    ):
        listener.on_ws_frame(None, None)
    # every argument's type before any None: the wrong-typed frame is the one reported
    with pytest.raises(
        TypeError,
        match=r"Argument 'frame' has incorrect type \(expected picows.picows.WSFrame, got str\)",
    ):
        listener.on_ws_frame(None, "frame")
    with pytest.raises(TypeError, match="Argument 'parent' has incorrect type"):
        QuotraListner(object(), loop)
    with pytest.raises(TypeError):
        QuotraListner(client)
    orphan = QuotraListner(None, loop)
    with pytest.raises(TypeError):
        orphan.on_ws_connected(None)
    with pytest.raises(TypeError):
        QuotraListner.on_ws_connected(object(), None)


def test_listener_looks_up_create_task_before_the_users_callbacks(loop):
    called = []
    client = Quotra(loop)
    state = client.__reduce_cython__()[2]
    record = called.append  # a plain callable: the call itself is what must not happen
    client.__setstate_cython__(
        state[:5] + (record,) + state[6:10] + (record,) + state[11:]
    )  # close, open
    listener = QuotraListner(client, object())  # a loop without create_task
    transport = WSTransport.__new__(WSTransport)
    for method in (listener.on_ws_connected, listener.on_ws_disconnected):
        with pytest.raises(AttributeError, match="create_task"):
            method(transport)
    assert called == []


def test_error_callback_failures_carry_the_quote_error_as_context(loop, service):
    caught = []

    class Catching(QuotraListner):
        def on_ws_frame(self, transport, frame):
            try:
                super().on_ws_frame(transport, frame)
            except Exception as e:
                caught.append(e)

    def raising(exc):
        raise RuntimeError("error callback broke")

    client = point_client(Quotra(loop), service.url)  # its reconnection stays local

    async def scenario():
        listener = Catching(client, loop)
        transport, _ = await ws_connect(
            lambda: listener, service.url, ssl_context=ssl.create_default_context()
        )
        await eventually(lambda: client.IS_CONNECTED.is_set())
        # a callback that raises (one whose result is not awaitable raises
        # nothing: test_callbacks_that_are_plain_functions)
        state = client.__reduce_cython__()[2]
        client.__setstate_cython__(state[:8] + (raising,) + state[9:])
        service.send_frame(b'{"other": 1}')
        await eventually(lambda: len(caught) == 1)
        transport.disconnect()
        await transport.wait_disconnected()

    run(loop, scenario())
    assert [type(e) for e in caught] == [RuntimeError]
    for e in caught:
        assert type(e.__context__) is KeyError and e.__context__.args == ("message",)


def test_ping_when_idle_and_reconnect_when_pongs_stop(loop, service, caplog, timings):
    caplog.set_level(logging.INFO, logger="quotra.quotra")
    timings.ping = min(1.0, limit(0.2))  # a ping after 0.6 s idle, its pong awaited 0.4 s
    client, rec = connected_client(loop, service)

    async def scenario():
        await asyncio.sleep(6 * timings.ping)  # idle past a ping's reply time-out: answered, kept
        assert len(service.connections) == 1 and service.connections[0].is_open
        service.set_answer_pings(False)
        await eventually(lambda: len(service.connections) == 2, 12)

    run(loop, scenario(), 40)
    pings = [f for f in service.connections[0].received if f.msg_type is WSMsgType.PING]
    assert pings and all(f.payload == b"" for f in pings)
    assert {("auto_ping_idle_timeout", 3), ("auto_ping_reply_timeout", 2)} <= set(timings.asked)
    lines = log_lines(caplog)
    assert "sending ping" in lines and "Trying to reconnect.." in lines


def test_close_websocket_while_connected_shuts_down(loop, service, caplog):
    caplog.set_level(logging.INFO, logger="quotra.quotra")
    client, rec = connected_client(loop, service)
    conn = service.connections[0]
    stop_event = client_field(client, "stop_event")

    async def close_it():
        client.close_websocket()

    assert run_to_stop(loop, close_it(), 15)
    assert conn.close_received == (1000, b"Connection closed by the user.")
    assert stop_event.is_set() and not client.IS_CONNECTED.is_set()
    assert rec.closed == ["Socket closed."]
    assert log_lines(caplog)[-1] == "Websocket disconnected."
    assert "Trying to reconnect.." not in log_lines(caplog)


class UpgradeHookService(MarketDataService):
    """Calls ``on_upgrade`` once the service has accepted an upgrade, before
    the client has read the answer: the client's attempt is still under way."""

    on_upgrade = None

    def _on_open(self, transport, path):
        conn = super()._on_open(transport, path)
        if self.on_upgrade is not None:
            self.on_upgrade()
        return conn


@pytest.fixture
def hook_service(loop, monkeypatch):
    yield from serving(loop, monkeypatch, UpgradeHookService())


def test_close_websocket_before_starting_shuts_down_at_the_first_connections_end(
    loop, hook_service
):
    """The first connection still opens and streams; its end is final. (A
    close after the start: test_fault_suite.py::test_a_close_during_the_first_opening.)"""
    client = Quotra(loop)
    point_client(client, hook_service.url)
    assert client.close_websocket() is None  # nothing to send yet

    async def scenario():
        Recorder().start(client)
        await client.IS_CONNECTED.wait()
        await client.subscribe(["ABC"])
        await hook_service.wait_subscribed(["ABC"])
        hook_service.drop()

    assert run_to_stop(loop, scenario(), 15)
    assert len(hook_service.connections) == 1 and hook_service.connections[0].close_received is None


@pytest.mark.parametrize("during", ["an attempt", "the retry wait"])
def test_close_websocket_while_reconnecting_ends_the_client(loop, hook_service, during, caplog):
    """After a drop, a close while an attempt is under way: the connection it
    opens gets CLOSE 1000 at once, without an open callback or a
    subscription, and its end shuts the client down. A close while the
    attempts are refused: the retry wait ends in the shutdown, with no
    further attempt."""
    caplog.set_level(logging.INFO, logger="quotra.quotra")
    client, rec = connected_client(loop, hook_service)
    run(loop, client.subscribe(["ABC"]))
    stop_event = client_field(client, "stop_event")
    first = hook_service.connections[0]

    class CloseAsTheRetryWaitBegins(logging.Handler):
        def emit(self, record):  # the failed attempt's line comes just before the wait
            if record.getMessage().startswith("Error occured on connect :: "):
                client.close_websocket()

    async def scenario():
        if during == "an attempt":
            hook_service.on_upgrade = client.close_websocket
        else:
            await hook_service.refuse(mode="reject")
        hook_service.drop(first)

    closer = CloseAsTheRetryWaitBegins()
    logger = logging.getLogger("quotra.quotra")
    if during == "the retry wait":
        logger.addHandler(closer)
    try:
        assert run_to_stop(loop, scenario(), 8), (
            "the client went on reconnecting after close_websocket()"
        )
    finally:
        logger.removeHandler(closer)
    lines = log_lines(caplog)
    assert stop_event.is_set() and not client.IS_CONNECTED.is_set()
    assert lines.count("Trying to reconnect..") == 1 and lines[-1] == "Websocket disconnected."
    assert rec.opened == ["Socket opened."]
    if during == "an attempt":
        assert len(hook_service.connections) == 2
        second = hook_service.connections[1]
        assert second.close_received == (1000, b"Connection closed by the user.")
        assert [f.msg_type for f in second.received] == [WSMsgType.CLOSE]
        assert rec.closed == ["Socket closed.", "Socket closed."]
    else:
        assert len(hook_service.connections) == 1
        assert sum(1 for e in hook_service.events if e.kind == "reject") == 1
        assert rec.closed == ["Socket closed."]


def test_second_start_websocket_is_refused_until_the_shutdown(loop, service):
    """From the first call until the shutdown: RuntimeError, nothing stored,
    nothing scheduled, one connection."""
    client = Quotra(loop)
    point_client(client, service.url)
    rec = Recorder()
    rec.start(client)

    async def other(value):
        pass

    for started in ("scheduled", "connected"):
        with pytest.raises(RuntimeError, match=r"^start_websocket\(\) was already called"):
            client.start_websocket(other, other, other, other)
        assert client_field(client, "message_callback") == rec.on_msg, started
        if started == "scheduled":
            run(loop, client.IS_CONNECTED.wait(), 10)
            run(loop, asyncio.sleep(0.3))  # a second attempt would have connected by now
    assert service.accepted == 1

    async def close_it():
        client.close_websocket()

    assert run_to_stop(loop, close_it(), 15)
    assert service.accepted == 1
    client.start_websocket(other)  # shut down: the client may be started again


def closed_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def test_first_attempt_failure_logs_once_and_stops(loop, caplog):
    caplog.set_level(logging.INFO, logger="quotra.quotra")
    client = Quotra(loop)
    point_client(client, service_url(closed_port()))

    async def start():
        Recorder().start(client)

    assert run_to_stop(loop, start(), 15)
    errors = [r for r in caplog.records if r.name == "quotra.quotra" and r.levelno == logging.ERROR]
    assert len(errors) == 1 and errors[0].getMessage().startswith("Error occured on connect :: ")
    assert log_lines(caplog)[-1] == "Websocket disconnected."


class CountingAsyncio:
    """An asyncio stand-in whose sleep is instant; it ends the run after `limit` sleeps."""

    class Done(BaseException):
        pass

    def __init__(self, limit):
        self.limit, self.calls, self.depths = limit, 0, []

    def __getattr__(self, name):
        return getattr(asyncio, name)

    async def sleep(self, delay):
        assert delay == 1
        self.calls += 1
        self.depths.append(len(traceback.extract_stack()))
        if self.calls >= self.limit:
            raise CountingAsyncio.Done()


def tracked_objects() -> int:
    # pytest keeps every log record for the report: those are not ours. By
    # type, not isinstance: a weak proxy whose object has gone raises on that.
    return sum(1 for o in gc.get_objects() if type(o) is not logging.LogRecord)


def test_long_outage_retries_without_growing(loop, caplog, monkeypatch):
    shim = CountingAsyncio(5000)
    monkeypatch.setattr(qm, "asyncio", shim)
    # Each attempt makes a new TLS context: one without a trust store keeps
    # that cheap (loading the system's bundle takes some 70 ms an attempt).
    monkeypatch.setattr(
        qm,
        "ssl",
        types.SimpleNamespace(
            create_default_context=lambda: ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
        ),
    )
    caplog.set_level(logging.ERROR, logger="quotra.quotra")
    client = Quotra(loop)
    point_client(client, service_url(closed_port()))

    async def outage():
        try:
            await client.start_ticker(reconnect=True)
        except CountingAsyncio.Done:
            pass

    before = None
    shim.limit = 1000
    run(loop, outage(), 120)
    gc.collect()
    before, objects = rss_kb(), tracked_objects()
    shim.calls, shim.limit = 0, 4000
    caplog.clear()
    run(loop, outage(), 300)
    gc.collect()
    errors = [r for r in caplog.records if r.levelno == logging.ERROR]
    assert len(errors) == 4000
    assert all(r.getMessage().startswith("Error occured on connect :: ") for r in errors)
    assert max(shim.depths) == min(shim.depths)
    gc.collect()
    if SANITIZED:  # ASan's quarantine holds freed blocks: RSS says nothing, objects do
        assert tracked_objects() - objects < 100
    else:
        assert rss_kb() - before < 8192


def test_runs_on_uvloop(monkeypatch):
    uvloop = pytest.importorskip("uvloop")
    from quotra.service import ServiceThread

    lp = uvloop.new_event_loop()
    try:
        client = Quotra(lp)
        with ServiceThread() as svc:
            monkeypatch.setenv("SSL_CERT_FILE", svc.ca_file)
            point_client(client, svc.url)
            rec = Recorder()
            rec.start(client)

            async def scenario():
                await asyncio.wait_for(client.IS_CONNECTED.wait(), 10)
                await client.subscribe(["ABC"])
                await asyncio.sleep(0.2)
                svc.send_quote("ABC", last_price=9.0)
                await rec.wait_quotes(1)

            lp.run_until_complete(asyncio.wait_for(scenario(), 20))
            assert rec.quotes[0]["last_price"] == 9.0
            svc.drop()
            lp.run_until_complete(asyncio.sleep(0.5))
    finally:
        for t in asyncio.all_tasks(lp):
            t.cancel()
        lp.run_until_complete(asyncio.sleep(0.05))
        lp.close()


def replace_message_object(client, msg):
    _, _, state = client.__reduce_cython__()
    state = list(state)
    state[4] = msg  # _Quotra__pricetape
    client.__setstate_cython__(tuple(state))


@pytest.mark.parametrize(
    "patch",
    [
        "base64 global",
        "orjson.loads",
        "base64.b64decode",
        "message subclass",
        "message wrapper",
        "base64 module patched later",
    ],
)
def test_module_globals_are_looked_up_at_each_quote(loop, service, monkeypatch, patch):
    """The quote path takes orjson, base64 and the message object's methods
    afresh at each frame, so whatever a user or a test replaces is honoured;
    the native way (the frame read straight into the native message) is taken
    only while all of them are the originals, and again once they are back."""
    import orjson

    from quotra.pricetape_proto import PriceTape, make_wrapper, pricetape

    client, rec = connected_client(loop, service)
    calls = []

    def spy(fn):
        def wrapper(arg):
            calls.append(arg)
            return fn(arg)

        return wrapper

    class Base64Shim:
        b64decode = staticmethod(spy(base64.b64decode))

    def marked(cls):
        class Marked(cls):
            def SerializeToDict(self):
                calls.append("dict")
                return super().SerializeToDict()

        return Marked

    original_msg = client.__reduce_cython__()[2][4]
    assert type(original_msg) is pricetape

    async def apply():
        if patch == "base64 global":
            monkeypatch.setattr(qm, "base64", Base64Shim)
        elif patch == "base64 module patched later":
            # Another module with the original function: the native way may
            # run, but that module's later change must still be seen.
            other = types.ModuleType("base64_copy")
            other.b64decode = base64.b64decode
            monkeypatch.setattr(qm, "base64", other)
            service.send_quote("ABC", last_price=1.5)
            await rec.wait_quotes(2)
            other.b64decode = spy(base64.b64decode)
        elif patch == "orjson.loads":
            monkeypatch.setattr(orjson, "loads", spy(orjson.loads))
        elif patch == "base64.b64decode":
            monkeypatch.setattr(base64, "b64decode", spy(base64.b64decode))
        elif patch == "message subclass":
            replace_message_object(client, marked(pricetape)())
        else:
            replace_message_object(client, marked(make_wrapper(PriceTape))())

    async def scenario():
        service.send_quote("ABC", last_price=1.0)
        await rec.wait_quotes(1)
        await apply()
        service.send_quote("ABC", last_price=2.0)
        await rec.wait_quotes(2 + extra)
        monkeypatch.undo()
        replace_message_object(client, original_msg)
        service.send_quote("ABC", last_price=3.0)
        await rec.wait_quotes(3 + extra)

    extra = 1 if patch == "base64 module patched later" else 0
    run(loop, scenario())
    assert [q["last_price"] for q in rec.quotes] == [1.0] + [1.5] * extra + [
        2.0,
        3.0,
    ] and not rec.errors
    assert len(calls) == 1 and (calls[0] == "dict" or isinstance(calls[0], (str, bytes)))


def test_a_connection_failing_on_a_protocol_error_is_replaced_once(loop, service, caplog):
    """picows ends a connection whose peer breaks the protocol and then raises
    from wait_disconnected; the listener has already scheduled the
    reconnection, so the attempt must neither shut the client down (first
    connection) nor start a second connection of its own (later ones), which
    would deliver every quote twice."""
    caplog.set_level(logging.INFO, logger="quotra.quotra")
    client, rec = connected_client(loop, service)
    bad_close = (1005).to_bytes(2, "big")  # a code that must never be on the wire

    async def scenario():
        await client.subscribe(["ABC"])
        for n in (2, 3):  # the first connection, then a reconnected one
            conn = service.open_connections[0]
            await service.wait_subscribed(["ABC"], conn=conn)
            service.send_frame(bad_close, WSMsgType.CLOSE, conn=conn)
            await service.wait_disconnected(conn, timeout=10)
            await eventually(lambda: len(service.connections) >= n, 10)
            await service.wait_subscribed(["ABC"], conn=service.connections[n - 1])
        await asyncio.sleep(0.5)  # a retry would come after 50 ms (ten of them)
        before = len(rec.quotes)
        service.send_quote("ABC", last_price=7.0)
        await rec.wait_quotes(before + 1)
        await asyncio.sleep(0.3)
        return before

    before = run(loop, scenario(), 60)
    assert len(service.connections) == 3 and len(service.open_connections) == 1
    assert [q["last_price"] for q in rec.quotes[before:]] == [7.0]
    assert "Websocket disconnected." not in log_lines(caplog)
    errors = [l for l in log_lines(caplog) if l.startswith("Error occured on connect :: ")]
    assert len(errors) == 2


# Callbacks that are not coroutine functions: (the callback replaced, what it does).
PLAIN_CALLBACKS = [
    ("message_update_callback", "returns None"),
    ("error_callback", "returns None"),
    ("open_callback", "returns None"),
    ("close_callback", "returns None"),
    ("open_callback", "raises"),
    ("close_callback", "raises"),
    ("message_update_callback", "returns a Future"),
]


@pytest.mark.parametrize("role,does", PLAIN_CALLBACKS, ids=[f"{r}-{d}" for r, d in PLAIN_CALLBACKS])
def test_callbacks_that_are_plain_functions(loop, service, caplog, role, does):
    """A plain function is called as a coroutine function would be, each
    time; what it returns, when not awaitable, is dropped with one ERROR line
    naming it and the result (a message callback's also goes to the error
    callback as a TypeError, each time), and one that raises goes to the
    loop's exception handler. Nothing else changes: quotes count as
    delivered (the last quote's age stays fresh), bad frames as quote
    errors, the connection stays up, a lost one is replaced, no attempt
    counts failed."""
    from quotra import monitor

    caplog.set_level(logging.INFO, logger="quotra.quotra")
    handled = []
    loop.set_exception_handler(lambda lp, ctx: handled.append(ctx))
    rec = Recorder()
    calls = []

    def plain(arg):
        calls.append(arg)
        if does == "raises":
            raise RuntimeError("plain callback broke")
        if does == "returns a Future":  # an awaitable, not a coroutine: accepted as it is
            future = loop.create_future()
            future.set_result(None)
            return future

    callbacks = dict(
        message_update_callback=rec.on_msg,
        error_callback=rec.on_err,
        open_callback=rec.on_open,
        close_callback=rec.on_close,
    )
    callbacks[role] = plain
    client = point_client(Quotra(loop), service.url)
    client.start_websocket(**callbacks)

    async def scenario():
        await eventually(lambda: client.IS_CONNECTED.is_set())
        await client.subscribe(["ABC"])
        for _ in range(2):
            service.send_quote("ABC")
        await eventually(lambda: monitor.snapshot(client)["quotes"] == 2)
        for _ in range(2):
            service.send_frame(b'{"other": 1}')
        await eventually(lambda: monitor.snapshot(client)["quote_errors"] == 2)
        first = service.connections[0]
        service.drop(first)
        await eventually(
            lambda: len(service.connections) == 2 and "ABC" in service.connections[1].subscribed
        )
        for _ in range(2):
            service.send_quote("ABC")
        await eventually(lambda: monitor.snapshot(client)["quotes"] == 4)

    run(loop, scenario())
    health = monitor.snapshot(client)
    assert (health["connections_opened"], health["disconnections"], health["connect_failures"]) == (
        2,
        1,
        0,
    )
    assert health["quote_errors"] == 2 and health["connected"], health
    assert health["last_quote_age_s"] is not None and health["last_quote_age_s"] < 5, health
    events = {
        "message_update_callback": health["quotes"],
        "error_callback": 2,
        "open_callback": 2,
        "close_callback": 1,
    }
    assert len(calls) == events[role], calls
    errors = [
        r.getMessage()
        for r in caplog.records
        if r.name == "quotra.quotra" and r.levelno == logging.ERROR
    ]
    if does == "returns a Future":
        assert errors == [] and handled == [], (errors, handled)
    elif does == "raises":
        assert errors == [] and len(handled) == events[role], (errors, handled)
        assert handled[0]["message"] == f"{role} {plain.__qualname__} raised"
        assert isinstance(handled[0]["exception"], RuntimeError)
    else:
        assert errors == [
            f"{role} {plain.__qualname__} returned None, which is not awaitable: it ran, and "
            "what it returned is dropped. Define it with async def (reported once for this "
            "callback)."
        ], errors
        assert handled == []
    results = [e for e in rec.exceptions if isinstance(e, TypeError)]
    if role == "message_update_callback" and does == "returns None":
        assert len(results) == health["quotes"] == 4
        assert all("a coroutine was expected" in str(e) for e in results)
    else:
        assert results == []


# A plain callback that raises what is not an Exception: (role, exception).
EXITS = [
    (role, exc)
    for role in ("open_callback", "close_callback", "message_update_callback")
    for exc in (KeyboardInterrupt, SystemExit)
]


@pytest.mark.parametrize("role,exc", EXITS, ids=[f"{r}-{e.__name__}" for r, e in EXITS])
def test_an_exit_from_a_plain_callback_leaves_the_loop(loop, service, role, exc):
    """KeyboardInterrupt and SystemExit raised by a plain callback are not
    the loop's exception handler's (nor the error callback's): they leave the
    loop run, as they would from the program's own code."""
    handled = []
    loop.set_exception_handler(lambda lp, ctx: handled.append(ctx))
    rec = Recorder()

    def plain(arg):
        raise exc

    callbacks = dict(message_update_callback=rec.on_msg, error_callback=rec.on_err)
    callbacks[role] = plain
    client = point_client(Quotra(loop), service.url)
    client.start_websocket(**callbacks)

    async def scenario():
        await eventually(lambda: client.IS_CONNECTED.is_set())
        await client.subscribe(["ABC"])
        service.send_quote("ABC")
        service.drop()
        await asyncio.sleep(30)  # never reached: the exit leaves the loop first

    with pytest.raises(exc):
        run(loop, scenario(), 20)
    assert handled == [] and rec.exceptions == []
