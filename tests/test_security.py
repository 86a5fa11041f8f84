"""Security: certificate verification stays on, oversized frames are refused by
picows' limit without harm, and bad instrument lists raise as documented
without crashing or touching the subscription set."""

import asyncio
import base64
import logging
import os
import ssl
import time

import orjson
import pytest
from picows import WSMsgType

from harness import ClientSession, LogLines, Recorder, client_field, limit, subscribe_messages
from quotra.pricetape_proto import PriceTape
from quotra.quotra import Quotra
from quotra.service import MarketDataService, point_client

pytestmark = pytest.mark.timeout(120)

MAX_FRAME = 10 * 1024 * 1024  # picows' default max_frame_size, which the client keeps


# The certificate the service presents, the scheme the client is given, what its line names.
REFUSALS = [
    (
        "untrusted",
        "wss",
        "CERTIFICATE_VERIFY_FAILED] ssl handshake failed: unable to get local issuer certificate",
    ),
    ("wrong_host", "wss", "CERTIFICATE_VERIFY_FAILED] ssl handshake failed: IP address mismatch"),
    ("expired", "wss", "CERTIFICATE_VERIFY_FAILED] ssl handshake failed: certificate has expired"),
    (
        "trusted",
        "ws",
        "the connection closed before the websocket upgrade completed: the URL is ws://",
    ),
]


@pytest.mark.parametrize("mode, scheme, reason", REFUSALS)
def test_bad_certificates_are_refused(mode, scheme, reason, client_timings):
    """The client's first attempt fails verification (or, given ws://, the
    TLS server closes the plain connection): one error line naming the
    reason and where it was connecting to, SSL_CERT_FILE hinted at for a
    certificate it does not trust, no websocket connection, and (a failed
    first attempt) the client shuts down and stops its loop."""
    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    log = LogLines()
    logger = logging.getLogger("quotra.quotra")
    old_level, old_cert = logger.level, os.environ.get("SSL_CERT_FILE")
    logger.setLevel(logging.INFO)
    logger.addHandler(log)
    svc = MarketDataService(tls=mode, rate=100)
    rec = Recorder()
    try:
        loop.run_until_complete(svc.start())
        os.environ["SSL_CERT_FILE"] = svc.ca_file
        q = Quotra(loop)
        point_client(q, svc.url.replace("wss://", f"{scheme}://"))
        rec.start(q)
        fired = []
        watchdog = loop.call_later(limit(20), lambda: (fired.append(True), loop.stop()))
        loop.run_forever()
        watchdog.cancel()
        assert not fired, "the client did not shut down after its first attempt failed"
        errors = log.starting("Error occured on connect :: ")
        assert len(errors) == 1 and reason in errors[0], errors
        assert f" (connecting to 127.0.0.1 port {svc.port})" in errors[0], errors
        assert ("SSL_CERT_FILE" in errors[0]) == (mode == "untrusted"), errors
        assert log.count("Websocket disconnected.") == 1
        assert svc.connections == [] and rec.events == [] and not q.IS_CONNECTED.is_set()
    finally:
        for t in asyncio.all_tasks(loop):
            t.cancel()
        loop.run_until_complete(asyncio.wait_for(svc.stop(graceful=False), 10))
        svc.close_files()
        loop.close()
        asyncio.set_event_loop(None)
        logger.removeHandler(log)
        logger.setLevel(old_level)
        if old_cert is None:
            os.environ.pop("SSL_CERT_FILE", None)
        else:
            os.environ["SSL_CERT_FILE"] = old_cert


def test_the_service_reports_a_refused_certificate_readably(caplog, capfd):
    """A client refuses the service's certificate: the service's loop logs
    "SSL handshake failed" with the exception, where it printed a
    '--- Logging error ---' traceback (the TLS transport reports the
    exception's class, whose traceback logging cannot format)."""
    from quotra.service import ServiceThread

    with ServiceThread() as svc:

        async def refuse():
            untrusting = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)  # trusts no CA at all
            with pytest.raises(ssl.SSLCertVerificationError):
                await asyncio.open_connection("127.0.0.1", svc.port, ssl=untrusting)
            deadline = time.monotonic() + limit(10)
            while not [
                r for r in caplog.records if r.getMessage().startswith("SSL handshake failed")
            ]:
                assert time.monotonic() < deadline, "the service reported nothing"
                await asyncio.sleep(0.02)

        asyncio.run(refuse())
    [record] = [r for r in caplog.records if r.getMessage().startswith("SSL handshake failed")]
    assert isinstance(record.exc_info[1], ConnectionError), record.exc_info
    assert "Logging error" not in capfd.readouterr().err


def test_a_retrying_client_never_accepts_a_bad_certificate():
    """After a loss, the service comes back with an expired certificate: every
    retry fails verification and is logged; the right certificate is then
    accepted and the whole set is sent again."""
    with ClientSession(rate=100) as s:

        async def body():
            known = s.svc.accepted
            await s.svc.restart(tls="expired")

            def failures():
                return [
                    m
                    for m in s.log.starting("Error occured on connect :: ")
                    if "certificate has expired" in m
                ]

            await s.svc.wait_for(lambda: len(failures()) >= 3, limit(10), "three refused retries")
            assert s.svc.accepted == known
            await s.svc.restart(tls="trusted")
            conn = await s.wait_reconnected(known, s.instruments, timeout=15)
            assert [set(m) for m in subscribe_messages(conn)] == [set(s.instruments)]

        s.run(body(), 60)


def test_oversized_frames_are_refused_by_the_limit():
    """A frame at picows' limit is decoded; one byte more is refused from its
    header (CLOSE 1009), the connection ends, the client reconnects with its
    whole set and streams again."""
    raw = PriceTape(instrument="BIG", volume=7).SerializeToString()
    head = b'{"message":"' + base64.b64encode(raw) + b'"'
    at_limit = head + b" " * (MAX_FRAME - len(head) - 1) + b"}"
    assert len(at_limit) == MAX_FRAME
    with ClientSession(rate=None) as s:

        async def body():
            # On the first connection an error of the connected attempt would
            # end the client (a failed first attempt): make the fault later.
            s.svc.drop(s.current())
            await s.wait_reconnected(1, s.instruments)
            conn = s.current()
            s.svc.send_frame(at_limit, WSMsgType.TEXT, conn=conn)
            await s.rec.wait(
                lambda: any(k == "msg" and v["instrument"] == "BIG" for k, v in s.rec.events),
                30,
                "the frame at the limit",
            )
            known = s.svc.accepted
            for extra in (at_limit + b" ", b"x" * (MAX_FRAME * 3)):
                conn = s.current()
                known = s.svc.accepted
                s.svc.send_frame(extra, WSMsgType.TEXT, conn=conn)
                await s.svc.wait_disconnected(conn, timeout=limit(20))
                assert conn.close_received is not None and conn.close_received[0] == 1009, (
                    conn.close_received
                )
                new = await s.wait_reconnected(known, s.instruments, timeout=20)
                before = s.rec.messages
                s.svc.send_quote("ABC", conn=new)
                await s.rec.wait(
                    lambda: s.rec.messages > before, 10, "a quote after the oversized frame"
                )
            errors = [e for k, e in s.rec.events if k == "err"]
            assert errors == []

        s.run(body(), 120)


class ListSub(list):
    pass


class Unencodable:
    pass


BAD_INSTRUMENTS = [
    # (argument, exception, sent?)  - sent: the message goes out before the set update fails
    (ListSub(["ABC"]), TypeError, False),
    (("ABC",), TypeError, False),
    (None, TypeError, False),
    ("ABC", TypeError, False),
    ({"ABC"}, TypeError, False),
    ([Unencodable()], TypeError, False),
    ([b"ABC"], TypeError, False),
    (["\ud800"], TypeError, False),  # a lone surrogate is not UTF-8
    ([1 << 70], TypeError, False),  # beyond 64 bits
    ([[[[]]] * 2], TypeError, True),  # encodable, unhashable
    ([{"a": 1}], TypeError, True),
    ([["ABC"]], TypeError, True),
]


def test_bad_instruments_raise_and_never_crash():
    with ClientSession(rate=50, instruments=["ABC"]) as s:

        async def body():
            conn = s.current()
            for method in ("subscribe", "unsubscribe"):
                for arg, exc, sent in BAD_INSTRUMENTS:
                    before_set, before_texts = (
                        set(client_field(s.client, "tokens_set")),
                        len(conn.texts()),
                    )
                    coro = getattr(s.client, method)(arg)  # checked only when awaited
                    with pytest.raises(exc):
                        await coro
                    await asyncio.sleep(0.05)
                    assert client_field(s.client, "tokens_set") == before_set, (method, arg)
                    texts = conn.texts()[before_texts:]
                    if sent:
                        await s.svc.wait_for(
                            lambda: len(conn.texts()) > before_texts, limit(5), "the message"
                        )
                        assert orjson.loads(conn.texts()[before_texts]) == {method: arg}
                    else:
                        assert texts == [], (method, arg, texts)
            # Unexpected argument counts.
            for args in ((), (["A"], ["B"])):
                with pytest.raises(TypeError):
                    await s.client.subscribe(*args)
            # Very long lists and odd but valid symbols go through whole.
            many = [f"S{i}" for i in range(50_000)]
            odd = ["", " ", "é€😀", "a\u0000b", "x" * 10_000]
            await s.client.subscribe(many + odd)
            await s.svc.wait_subscribed(many[-10:] + odd, timeout=limit(20))
            assert client_field(s.client, "tokens_set") == {"ABC", *many, *odd}
            await s.client.unsubscribe(many)
            await s.svc.wait_for(lambda: "S0" not in conn.subscribed, limit(10), "the unsubscribe")
            assert client_field(s.client, "tokens_set") == {"ABC", *odd}
            before = s.rec.messages
            await s.rec.wait(lambda: s.rec.messages > before + 3, 10, "quotes after the bad calls")

        s.run(body(), 90)
