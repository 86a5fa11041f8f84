"""The price message module and the local market-data service, exercised with a
plain picows client over TLS (the client trusts the service's throwaway CA
through SSL_CERT_FILE and ssl.create_default_context(), as quotra does)."""

import asyncio
import base64
import copy
import functools
import gc
import json
import os
import pickle
import signal
import ssl
import struct
import subprocess
import sys
import time
import weakref

import pytest
from google.protobuf.message import DecodeError
from picows import WSHandshakeError, WSMsgType, ws_connect

from harness import SANITIZED, PlainClient, client_field, connect, limit, rss_kb
from quotra.pricetape_proto import FIELDS, PriceTape, message_to_dict, pricetape
from quotra.quotra import Quotra
from quotra.service import (
    Frame,
    MarketDataService,
    ServiceThread,
    encode_quote,
    point_client,
    service_url,
)

pytestmark = pytest.mark.timeout(limit(60))
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def async_test(timeout=30):
    """Run an async test body in a fresh loop, bounded by ``timeout`` seconds
    (stretched under the sanitizer)."""

    def deco(fn):
        @functools.wraps(fn)
        def wrapper(*args, **kwargs):
            asyncio.run(asyncio.wait_for(fn(*args, **kwargs), limit(timeout)))

        return wrapper

    return deco


@pytest.fixture
def trust(monkeypatch):
    """trust(svc or CA path): make ssl.create_default_context() trust that CA."""
    return lambda svc: monkeypatch.setenv("SSL_CERT_FILE", str(getattr(svc, "ca_file", svc)))


# --- price message -----------------------------------------------------------


def test_pricetape_round_trip():
    src = PriceTape(
        instrument="ABC",
        exchange_ts_ns=1_733_650_000_123_456_789,
        last_price=101.25,
        last_quantity=10,
        volume=1000,
        bid_price=101.2,
        bid_size=3,
        ask_price=101.3,
        ask_size=4,
        open=100.0,
        high=102.0,
        low=99.5,
        close=100.5,
        open_interest=7,
        sent_at_ns=42,
    )
    msg = pricetape()
    assert msg.ParseFromString(data=src.SerializeToString()) > 0
    first = msg.SerializeToDict()
    assert list(first) == list(FIELDS) and len(FIELDS) == 15
    assert first == message_to_dict(src)
    assert (
        first["instrument"] == "ABC" and first["last_price"] == 101.25 and first["sent_at_ns"] == 42
    )

    # A second parse replaces everything (defaults come back) and leaves the first dict alone.
    kept = dict(first)
    msg.ParseFromString(PriceTape(instrument="XYZ", volume=5).SerializeToString())
    second = msg.SerializeToDict()
    assert first == kept and second is not first
    assert second == dict.fromkeys(FIELDS, 0) | {"instrument": "XYZ", "volume": 5}
    assert type(second["last_price"]) is float and second["last_price"] == 0.0
    second["volume"] = -1
    assert msg.volume == 5  # the dict shares nothing with the message

    for bad in (b"\xff\xff\xff", b"\x0a\x05ab", b"\x08"):
        with pytest.raises(DecodeError):
            msg.ParseFromString(data=bad)
    assert issubclass(DecodeError, Exception)

    msg.ParseFromString(data=src.SerializeToString())
    for clone in (pickle.loads(pickle.dumps(msg)), copy.deepcopy(msg)):
        assert type(clone) is pricetape and clone == msg and clone == src
        assert clone.SerializeToDict() == first
    assert msg != pricetape() and pricetape() == pricetape()
    with pytest.raises(TypeError):
        hash(msg)

    # The committed generated code passes its gencode/runtime check without warnings.
    subprocess.run(
        [sys.executable, "-W", "error", "-c", "import quotra.pricetape_pb2"],
        cwd=ROOT,
        check=True,
        timeout=30,
    )


def test_pricetape_reparsing_keeps_memory_bounded():
    # upb keeps each parse's strings in the message's arena until the message
    # goes; one pricetape reparsed for every quote of a day must not grow.
    frames = [
        PriceTape(instrument=f"INSTRUMENT-{i % 7}" * 4, volume=i).SerializeToString()
        for i in range(3000)
    ]
    msg = pricetape()
    for data in frames:  # across several renewals: every parse still replaces everything
        assert msg.ParseFromString(data=data) == len(data)
        assert msg.SerializeToDict() == message_to_dict(PriceTape.FromString(data))
    before = rss_kb()
    data = frames[-1]
    for _ in range(300_000):  # ~14 MiB of arena strings if they were kept
        msg.ParseFromString(data=data)
    if not SANITIZED:
        assert rss_kb() - before < 3 * 1024
    assert msg == PriceTape.FromString(data)


# --- service: quotes, subscriptions, recording -------------------------------


@async_test()
async def test_subscribe_quotes_and_recording(trust):
    async with MarketDataService(rate=400, seed=7) as svc:
        trust(svc)
        transport, client = await connect(svc)
        (conn,) = await svc.wait_connections(1)
        assert svc.url == service_url(svc.port) == f"wss://127.0.0.1:{svc.port}/?version=2"
        assert conn.path == b"/?version=2"

        # Garbage first: recorded exactly, ignored, never fatal.
        garbage = [
            (WSMsgType.TEXT, b"not json"),
            (WSMsgType.TEXT, b"[1,2]"),
            (WSMsgType.TEXT, b"null"),
            (WSMsgType.TEXT, b'{"subscribe":"ABC"}'),
            (WSMsgType.TEXT, b'{"subscribe":[1,null]}'),
            (WSMsgType.BINARY, b"\x00\xff"),
        ]
        for msg_type, payload in garbage:
            transport.send(msg_type, payload)
        transport.send(WSMsgType.TEXT, b'{"subscribe":["ABC","XYZ"]}')
        await svc.wait_message(b'{"subscribe":["ABC","XYZ"]}')
        assert conn.received == [Frame(*g) for g in garbage] + [
            (WSMsgType.TEXT, b'{"subscribe":["ABC","XYZ"]}')
        ]
        assert conn.subscriptions == ("ABC", "XYZ")

        await client.wait_frames(lambda fs: len(fs) >= 20)
        quotes = client.quotes()
        assert {q["instrument"] for q in quotes} == {"ABC", "XYZ"}
        for q in quotes:
            assert q["bid_price"] <= q["last_price"] <= q["ask_price"] and q["last_price"] > 0
            assert q["low"] <= q["last_price"] <= q["high"] and q["volume"] > 0
        assert [f.payload for f in client.frames[:20]] == list(conn.sent)[:20]

        transport.send(WSMsgType.TEXT, b'{"unsubscribe":["XYZ"]}')
        _, frame = await svc.wait_message({"unsubscribe": ["XYZ"]})
        assert conn.subscriptions == ("ABC",)
        mark = len(client.frames) + 5  # frames already in flight may still name XYZ
        await client.wait_frames(lambda fs: len(fs) >= mark + 10)
        assert {q["instrument"] for q in client.quotes()[mark:]} == {"ABC"}

        # A quote with exact fields reaches the client as exactly that dict.
        svc.pause_quotes()
        payload = svc.send_quote("EXACT", conn, last_price=12.5, volume=9)
        assert payload == encode_quote(PriceTape(instrument="EXACT", last_price=12.5, volume=9))
        await client.wait_frames(lambda fs: fs[-1].payload == payload)
        assert client.quotes()[-1] == message_to_dict(
            PriceTape(instrument="EXACT", last_price=12.5, volume=9)
        )

        transport.send_close(
            1001, b"done"
        )  # client-initiated close: its code echoed, then the service disconnects
        await asyncio.wait_for(client.disconnected, 5)
        await svc.wait_disconnected(conn)
        assert conn.close_received == (1001, b"done")
        assert client.frames[-1] == (WSMsgType.CLOSE, struct.pack("!H", 1001))
        assert [(e.kind, e.conn_id) for e in svc.events] == [("open", 1), ("close", 1)]

    # Same seed, same walk.
    a, b = MarketDataService(seed=3)._market, MarketDataService(seed=3)._market
    assert [a.quote("ABC").last_price for _ in range(5)] == [
        b.quote("ABC").last_price for _ in range(5)
    ]


@async_test()
async def test_count_mode_respects_flow_control(trust):
    n = 60_000  # ~10 MB: more than loopback's socket buffers hold (~4 MB here)
    async with MarketDataService(count=n) as svc:
        trust(svc)
        transport, client = await connect(svc)
        transport.underlying_transport.pause_reading()  # the client stops reading: buffers fill up
        transport.send(WSMsgType.TEXT, b'{"subscribe":["ABC"]}')
        (conn,) = await svc.wait_connections(1)
        await svc.wait_for(lambda: conn.write_pauses > 0, 15, "a write pause")
        stalled = conn.quotes_sent
        await asyncio.sleep(0.2)
        assert conn.quotes_sent == stalled < n  # the sender waits for resume_writing
        transport.underlying_transport.resume_reading()
        await client.wait_frames(lambda fs: len(fs) >= n, timeout=20)
        await asyncio.sleep(0.1)
        assert len(client.frames) == conn.quotes_sent == n
        assert {q["instrument"] for q in client.quotes()} == {"ABC"}


@async_test()
async def test_blast_identical_frames_with_send_time(trust):
    async with MarketDataService() as svc:
        trust(svc)
        (_, c1), (_, c2) = await connect(svc), await connect(svc)
        await svc.wait_connections(2)
        assert await svc.blast(500) == 1000
        before = time.time_ns()
        assert await svc.blast(300, stamp=True) == 600
        for c in (c1, c2):
            await c.wait_frames(lambda fs: len(fs) >= 800)
        assert c1.frames == c2.frames  # identical for every client
        assert len(set(c1.frames[:500])) == 1
        stamps = [q["sent_at_ns"] for q in c1.quotes()[500:]]
        assert stamps == sorted(stamps) and before <= stamps[0] and stamps[-1] <= time.time_ns()
        assert all(q["sent_at_ns"] == 0 for q in c1.quotes()[:500])

        # Many frames per write, the same bytes on the wire as one per send.
        assert await svc.blast_batched(2000, instrument="BATCH") == 4000
        for c in (c1, c2):
            await c.wait_frames(lambda fs: len(fs) >= 2800, timeout=10)
        assert c1.frames[800:] == c2.frames[800:] and len(c1.frames) == 2800
        assert len(set(c1.frames[800:])) == 1 and c1.quotes()[-1]["instrument"] == "BATCH"
        assert sum(c.quotes_sent for c in svc.connections) == 5600


@async_test()
async def test_long_run_keeps_only_open_connections(trust):
    async with MarketDataService(rate=200, instruments=["ABC"], keep_ended=False) as svc:
        trust(svc)
        transport, client = await connect(svc)
        transport.send(WSMsgType.TEXT, b'{"subscribe":["XYZ","ABC"]}')
        conn = await svc.wait_subscribed(["ABC", "XYZ"])
        assert conn.subscriptions == ("XYZ", "ABC")  # recorded as asked, quoted only where offered
        await client.wait_frames(lambda fs: len(fs) >= 10)
        assert {q["instrument"] for q in client.quotes()} == {"ABC"}

        ref = weakref.ref(conn)
        svc.drop(conn)
        await svc.wait_disconnected(conn)
        sent, conn = conn.quotes_sent, None
        gc.collect()
        assert ref() is None and svc.connections == [] and svc.accepted == 1
        assert svc.quotes_sent == sent >= 10
        await connect(svc)
        assert [c.id for c in await svc.wait_connections(2)] == [2]

    async with MarketDataService() as svc:  # records kept, but not their TLS transports
        trust(svc)
        await connect(svc)
        (conn,) = await svc.wait_connections(1)
        svc.drop()
        await svc.wait_disconnected()
        assert svc.connections == [conn] and conn.transport is None


# --- service: control API ------------------------------------------------------


@async_test()
async def test_raw_frames_close_and_drop(trust):
    async with MarketDataService() as svc:
        trust(svc)
        transport, client = await connect(svc)
        (conn,) = await svc.wait_connections(1)
        raw = [
            (WSMsgType.TEXT, b'{"message": '),
            (WSMsgType.TEXT, b"[1,2]"),
            (WSMsgType.TEXT, b"null"),
            (WSMsgType.TEXT, b'{"message":"@@not base64"}'),
            (WSMsgType.TEXT, b'{"message":"' + base64.b64encode(b"\xff\xff\xff") + b'"}'),
            (WSMsgType.BINARY, b"\x00\x01"),
            (WSMsgType.CONTINUATION, b"tail"),
        ]
        for msg_type, payload in raw:
            svc.send_frame(payload, msg_type, conn)
        svc.send_frame(b"are you there", WSMsgType.PING)
        await client.wait_frames(lambda fs: len(fs) == len(raw))
        assert client.frames == raw
        _, pong = await svc.wait_message(WSMsgType.PONG)  # picows' auto-pong in the client
        assert pong.payload == b"are you there"

        # A CLOSE with a code and a reason; the client's answer ends the connection.
        svc.close(4001, "going away now", conn)
        await asyncio.wait_for(client.disconnected, 5)
        assert client.frames[-1] == (WSMsgType.CLOSE, struct.pack("!H", 4001) + b"going away now")
        await svc.wait_disconnected(conn)
        assert conn.close_received == (4001, b"")

        # A reason that is not UTF-8 goes out as it is: picows' client refuses it with 1007.
        transport, client = await connect(svc)
        (_, conn2) = await svc.wait_connections(2)
        svc.close(1000, b"\xff\xfe", conn2)
        await asyncio.wait_for(client.disconnected, 5)
        await svc.wait_disconnected(conn2)
        assert conn2.close_received[0] == 1007

        # An abrupt drop: no CLOSE frame reaches the client.
        transport, client = await connect(svc)
        (*_, conn3) = await svc.wait_connections(3)
        svc.drop(conn3)
        await asyncio.wait_for(client.disconnected, 5)
        await svc.wait_disconnected(conn3)
        assert not any(f.msg_type is WSMsgType.CLOSE for f in client.frames)
        assert [e.kind for e in svc.events] == ["open", "close"] * 3


@async_test()
async def test_refuse_accept_stop_restart_same_port(trust):
    async with MarketDataService() as svc:
        trust(svc)
        port = svc.port
        t_old, c_old = await connect(svc)

        await svc.refuse(0.5)  # listening socket closed, reopened on the same port after 0.5 s
        with pytest.raises(ConnectionRefusedError):
            await connect(svc)
        assert not c_old.disconnected.done()  # existing connections go on
        await svc.wait_for(lambda: svc.is_listening, 3, "listening again")
        await connect(svc)
        assert svc.port == port

        await svc.refuse(mode="reject")  # upgrades answered with 503
        with pytest.raises(WSHandshakeError):
            await connect(svc)
        assert svc.events[-1].kind == "reject"
        await svc.accept()
        await connect(svc)

        await svc.stop()  # CLOSE 1001 to every client, listening socket closed
        await asyncio.wait_for(c_old.disconnected, 5)
        assert (WSMsgType.CLOSE, struct.pack("!H", 1001) + b"service stopping") in c_old.frames
        with pytest.raises(ConnectionRefusedError):
            await connect(svc)
        await svc.restart(down_for=0.1)
        assert svc.port == port
        t, c = await connect(svc)
        assert len(await svc.wait_connections(4)) == 4 and len(svc.open_connections) == 1


@async_test()
async def test_stop_answering_pings_is_detected_by_client_auto_ping(trust):
    async with MarketDataService() as svc:
        trust(svc)
        auto_ping = dict(
            enable_auto_ping=True, auto_ping_idle_timeout=0.3, auto_ping_reply_timeout=0.2
        )
        _, answered = await connect(svc, **auto_ping)
        _, ignored = await connect(svc, **auto_ping)
        conn_a, conn_b = await svc.wait_connections(2)
        svc.set_answer_pings(False, conn_b)
        await asyncio.wait_for(ignored.disconnected, 5)
        await svc.wait_disconnected(conn_b)
        assert any(f.msg_type is WSMsgType.PING for f in conn_b.received)
        # The answered client pings too and stays connected.
        await svc.wait_for(
            lambda: sum(f.msg_type is WSMsgType.PING for f in conn_a.received) >= 3, 5, "3 pings"
        )
        assert not answered.disconnected.done() and conn_a.is_open


@pytest.mark.parametrize(
    "mode, reason",
    [
        ("untrusted", "unable to get local issuer certificate"),
        ("wrong_host", "IP address mismatch"),
        ("expired", "certificate has expired"),
    ],
)
@async_test()
async def test_bad_certificates_are_refused(trust, mode, reason):
    async with MarketDataService(tls=mode) as svc:
        trust(svc)
        with pytest.raises(ssl.SSLCertVerificationError, match=reason):
            await connect(svc)
        await svc.restart(tls="trusted")  # same CA file, good certificate: accepted
        await connect(svc)


# --- thread mode, command line, point_client ------------------------------------------


def test_service_thread_and_command_line(trust, tmp_path):
    with ServiceThread(rate=100) as svc:
        trust(svc)

        async def client_side():
            transport, client = await connect(svc)
            transport.send(WSMsgType.TEXT, b'{"subscribe":["ABC"]}')
            await client.wait_frames(lambda fs: len(fs) >= 3)
            return client.quotes()

        quotes = asyncio.run(asyncio.wait_for(client_side(), 20))  # this thread's own loop
        assert {q["instrument"] for q in quotes} == {"ABC"}
        conn, frame = svc.wait_message(b'{"subscribe":["ABC"]}', timeout=5)
        assert conn.id == 1 and frame.msg_type is WSMsgType.TEXT
        svc.drop()
        svc.wait_disconnected(timeout=5)

    env = dict(os.environ, PYTHONPATH=ROOT)
    out = subprocess.run(
        [sys.executable, "-m", "quotra.service", "--help"],
        env=env,
        cwd=ROOT,
        capture_output=True,
        text=True,
        timeout=30,
        check=True,
    ).stdout
    for option in ("--port", "--rate", "--ca-file", "--duration"):
        assert option in out

    ca = tmp_path / "ca.pem"
    proc = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "quotra.service",
            "--rate",
            "50",
            "--ca-file",
            str(ca),
            "--host",
            "127.0.0.1",
            "--instruments",
            "XYZ, QRS",
            "--duration",
            "20",
        ],
        env=env,
        cwd=ROOT,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        info = json.loads(proc.stdout.readline())
        assert info["ca_file"] == str(ca) and info["url"] == service_url(info["port"])
        told = proc.stderr.readline() + proc.stderr.readline()
        assert info["url"] in told and f"SSL_CERT_FILE={ca}" in told
        trust(ca)

        async def cli_client():
            transport, client = await asyncio.wait_for(
                ws_connect(PlainClient, info["url"], ssl_context=ssl.create_default_context()), 5
            )
            transport.send(WSMsgType.TEXT, b'{"subscribe":["ABC","XYZ"]}')
            await client.wait_frames(lambda fs: len(fs) >= 3)
            return client.quotes()

        assert {q["instrument"] for q in asyncio.run(asyncio.wait_for(cli_client(), 20))} == {"XYZ"}
        taken = subprocess.run(
            [sys.executable, "-m", "quotra.service", "--port", str(info["port"])],
            env=env,
            cwd=ROOT,
            capture_output=True,
            text=True,
            timeout=30,
        )
        assert (
            taken.returncode == 1 and taken.stdout == "" and len(taken.stderr.splitlines()) == 1
        ), taken
        assert taken.stderr.startswith(
            f"python -m quotra.service: cannot listen on 127.0.0.1 port {info['port']}: "
        )
        proc.send_signal(signal.SIGTERM)  # ends the run early, cleanly
        assert proc.wait(timeout=15) == 0
        summary = json.loads(proc.stdout.readline())
        assert summary["quotes_sent"] >= 3 and summary["connections"] == 1
    finally:
        proc.kill()
        proc.wait(timeout=5)
        proc.stdout.close()
        proc.stderr.close()

    # Without the certificate tooling: one line naming the fix, exit status 2.
    blocked = (
        "import runpy, sys; sys.modules['trustme'] = None; "
        "runpy.run_module('quotra.service', run_name='__main__', alter_sys=True)"
    )
    out = subprocess.run(
        [sys.executable, "-c", blocked, "--duration", "1"],
        env=env,
        cwd=ROOT,
        capture_output=True,
        text=True,
        timeout=30,
    )
    assert out.returncode == 2 and out.stdout == "", out
    assert out.stderr.splitlines() == [
        "python -m quotra.service: the local market-data service needs trustme to make its certificates: "
        "pip install 'quotra[service]'"
    ]


class _FakeClient:
    """Stands in for quotra.quotra.Quotra's pickle protocol."""

    def __init__(self):
        self.state = tuple(f"field{i}" for i in range(12)) + ("wss://example.invalid/?version=2",)

    def __reduce_cython__(self):
        return (object, (type(self), 0x16B1FB9, None), self.state)

    def __setstate_cython__(self, state):
        assert type(state) is tuple and type(state[12]) is str
        self.state = state


@pytest.mark.parametrize("mode", ["trusted", "untrusted", "wrong_host", "expired"])
def test_command_line_trust_advice_fits_the_certificate(mode):
    """Trusting ca_file is advised where the mode's certificate comes from its
    CA; --tls untrusted says what it is for instead."""
    from quotra.service.__main__ import _trust_advice

    advice = _trust_advice(mode, "ca.pem")
    assert advice.startswith("a client must trust") == (mode == "trusted")
    assert ("SSL_CERT_FILE=ca.pem" in advice) == (mode != "untrusted"), advice


def test_point_client(loop):
    """quotra.point_client wants a client and a usable address; the service's
    own takes anything with the client's pickle protocol."""
    import quotra

    fake = _FakeClient()
    assert point_client(fake, service_url(4321)) is fake
    assert fake.state == tuple(f"field{i}" for i in range(12)) + (
        "wss://127.0.0.1:4321/?version=2",
    )
    client = quotra.point_client(Quotra(loop), "wss://127.0.0.1:4321/feed?version=2")
    with pytest.raises(TypeError):
        quotra.point_client(fake, "wss://127.0.0.1:4321/")
    for url in ("https://127.0.0.1/", "wss:///path", "wss://127.0.0.1:port/", "wss://h/#frag"):
        with pytest.raises(ValueError):
            quotra.point_client(client, url)
    assert client_field(client, "ws_url") == "wss://127.0.0.1:4321/feed?version=2"
