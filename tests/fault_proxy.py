"""A fault-injecting TCP proxy between a client and the local service, on the
test's own event loop (asyncio or uvloop), 127.0.0.1 only.

The proxy ends the client's TLS itself (``ssl.SSLObject`` over memory
buffers, so that it decides what every byte on the wire does) and, once it
has the upgrade request, opens its own TLS connection to the service and
relays the request, the answer and the frames. ``fault`` names what it does
to connections instead (``None``: relay faithfully):

``refused``
    stops listening: connections are refused;
``reset_tls``, ``reset_upgrade``
    resets the connection (RST) on the client's first bytes, or once the
    upgrade request has arrived;
``closed_after_tls``, ``http_error``
    closes after TLS without an answer, or answers 503;
``stall_tcp``, ``stall_tls``, ``stall_upgrade``
    accepts and then sends nothing, sends half of its first TLS flight and
    then nothing, or never answers the upgrade;
``drip``
    sends everything one byte every 10 ms from the first byte (the opening
    outlasts the client's bound);
``untrusted``
    presents a certificate from a CA the client does not trust;
``reset_mid_frame``, ``half_open``, ``garbage``
    on a streaming connection (those open when the fault is set, and those
    that reach streaming while it lasts): half of the next frame then a
    reset; nothing forwarded either way, sockets kept open; bytes that are
    no frame instead of the next one.

``late_upgrade`` (the next connection only) holds the service's upgrade
answer for ``hold`` seconds, then passes it on and relays as usual; that
connection is ``late``. ``on_answer``, when set, is called just before an
upgrade answer is passed on.

The first group acts on connections accepted while the fault is set; a
connection keeps what it started with.
"""

from __future__ import annotations

import asyncio
import socket
import ssl
import struct
from collections.abc import Callable

OPENING_FAULTS = (
    "refused",
    "reset_tls",
    "reset_upgrade",
    "closed_after_tls",
    "http_error",
    "stall_tcp",
    "stall_tls",
    "stall_upgrade",
    "drip",
    "untrusted",
)
STREAM_FAULTS = ("reset_mid_frame", "half_open", "garbage")
LATE_UPGRADE = "late_upgrade"
DRIP_INTERVAL = 0.01
HTTP_503 = b"HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n"
GARBAGE = b"\x7f\xff" + b"\xa5" * 30  # RSV bits and a reserved opcode: a protocol error


def reset(transport: asyncio.BaseTransport) -> None:
    """Close with RST rather than FIN."""
    sock = transport.get_extra_info("socket")
    if sock is not None:
        try:
            sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
        except OSError:
            pass
    transport.abort()


def frame_length(buf: bytes) -> int | None:
    """The length of the whole server frame at the start of ``buf``, or None
    while its header is incomplete."""
    if len(buf) < 2:
        return None
    n, head = buf[1] & 0x7F, 2
    if n == 126:
        if len(buf) < 4:
            return None
        n, head = struct.unpack_from("!H", buf, 2)[0], 4
    elif n == 127:
        if len(buf) < 10:
            return None
        n, head = struct.unpack_from("!Q", buf, 2)[0], 10
    return head + n


class FaultProxy:
    def __init__(self, svc, server_context: ssl.SSLContext, untrusted_context: ssl.SSLContext):
        self.svc = svc
        self._contexts = {"trusted": server_context, "untrusted": untrusted_context}
        self.fault: str | None = None
        self.port = 0
        self.accepted = 0
        self.hold = 0.0
        self.late: _Link | None = None
        self.on_answer: Callable[[], object] | None = None
        self.links: set[_Link] = set()
        self._server: asyncio.AbstractServer | None = None

    @classmethod
    def for_service(cls, svc) -> FaultProxy:
        return cls(svc, svc._tls.server_context("trusted"), svc._tls.server_context("untrusted"))

    @property
    def url(self) -> str:
        from quotra.service import service_url

        return service_url(self.port)

    async def start(self) -> FaultProxy:
        await self._listen()
        return self

    async def _listen(self) -> None:
        loop = asyncio.get_running_loop()
        self._server = await loop.create_server(
            lambda: _Link(self), "127.0.0.1", self.port, reuse_address=True
        )
        self.port = self._server.sockets[0].getsockname()[1]

    async def set_fault(self, fault: str | None) -> None:
        """From now on, ``fault`` (None: none)."""
        assert fault is None or fault in OPENING_FAULTS + STREAM_FAULTS + (LATE_UPGRADE,), fault
        if fault == "refused" and self._server is not None:
            self._server.close()  # the relayed connections stay
            self._server = None
        self.fault = fault
        if fault is None and self._server is None:
            await self._listen()
        if fault in STREAM_FAULTS:
            for link in list(self.links):
                link.stream_fault(fault)

    def drop_all(self) -> None:
        """Reset every relayed connection (a lost connection for the client)."""
        for link in list(self.links):
            link.close(rst=True)

    async def stop(self) -> None:
        self.fault = None
        if self._server is not None:
            self._server.close()
            self._server = None
        for link in list(self.links):
            link.close(rst=True)
        for _ in range(100):
            if not self.links:
                break
            await asyncio.sleep(0.01)


class _Link(asyncio.Protocol):
    """One client connection and, once upgraded, its connection to the service."""

    def __init__(self, proxy: FaultProxy):
        self.proxy = proxy
        self.fault = proxy.fault if proxy.fault in OPENING_FAULTS else None
        if proxy.fault == LATE_UPGRADE:
            self.fault, proxy.fault, proxy.late = LATE_UPGRADE, None, self
        self.transport: asyncio.Transport | None = None
        ctx = proxy._contexts["untrusted" if self.fault == "untrusted" else "trusted"]
        self.inc, self.out = ssl.MemoryBIO(), ssl.MemoryBIO()
        self.tls = ctx.wrap_bio(self.inc, self.out, server_side=True)
        self.handshaken = False
        self.request = b""
        self.upstream: asyncio.StreamWriter | None = None
        self.pump: asyncio.Task | None = None
        self.streaming = False  # the upgrade answer has been relayed
        self.stream: str | None = None  # a stream fault acting on this link
        self.frames = b""  # the service's bytes not yet relayed whole frames
        self.drip = bytearray()
        self.dripping: asyncio.TimerHandle | None = None
        self.closed = False

    # -- the client side -----------------------------------------------------

    def connection_made(self, transport) -> None:
        self.transport = transport
        self.proxy.accepted += 1
        self.proxy.links.add(self)

    def connection_lost(self, exc) -> None:
        self.close()

    def data_received(self, data: bytes) -> None:
        if self.closed or self.fault == "stall_tcp" or self.stream == "half_open":
            return
        if self.fault == "reset_tls":
            self.close(rst=True)
            return
        self.inc.write(data)
        if not self.handshaken:
            try:
                self.tls.do_handshake()
                self.handshaken = True
            except ssl.SSLWantReadError:
                pass
            except (ssl.SSLError, OSError):
                self.flush()
                self.close()
                return
            if self.fault == "stall_tls":
                flight = self.out.read()
                self.transport.write(flight[: len(flight) // 2])
                self.fault = "stall_tcp"  # and nothing more, either way
                return
            self.flush()
            if not self.handshaken:
                return
        plain = bytearray()
        try:
            while True:
                chunk = self.tls.read(65536)
                if not chunk:
                    break
                plain += chunk
        except ssl.SSLWantReadError:
            pass
        except (ssl.SSLError, OSError):
            self.close()
            return
        if plain:
            self.from_client(bytes(plain))

    def from_client(self, data: bytes) -> None:
        if self.upstream is not None:
            self.upstream.write(data)
            return
        self.request += data
        if b"\r\n\r\n" not in self.request:
            return
        if self.fault == "closed_after_tls":
            self.close()
        elif self.fault == "reset_upgrade":
            self.close(rst=True)
        elif self.fault == "http_error":
            self.send(HTTP_503)
            self.close()
        elif self.fault != "stall_upgrade":
            self.pump = asyncio.ensure_future(self.relay())

    def send(self, plain: bytes) -> None:
        """``plain`` to the client, through TLS."""
        if self.closed:
            return
        try:
            self.tls.write(plain)
        except (ssl.SSLError, OSError):
            self.close()
            return
        self.flush()

    def flush(self) -> None:
        wire = self.out.read()
        if not wire or self.transport is None or self.transport.is_closing():
            return
        if self.fault != "drip":
            self.transport.write(wire)
            return
        self.drip += wire
        if self.dripping is None:
            self._drip_one()

    def _drip_one(self) -> None:
        self.dripping = None
        if self.closed or not self.drip:
            return
        self.transport.write(bytes(self.drip[:1]))
        del self.drip[:1]
        self.dripping = asyncio.get_running_loop().call_later(DRIP_INTERVAL, self._drip_one)

    # -- the service side ----------------------------------------------------

    async def relay(self) -> None:
        svc = self.proxy.svc
        try:
            reader, self.upstream = await asyncio.open_connection(
                "127.0.0.1", svc.port, ssl=svc.client_ssl_context(), server_hostname="127.0.0.1"
            )
            self.upstream.write(self.request)
            head = b""
            while not self.closed:
                data = await reader.read(65536)
                if not data:
                    break
                if not self.streaming:
                    head += data
                    end = head.find(b"\r\n\r\n")
                    if end < 0:
                        continue
                    if self.fault == LATE_UPGRADE:
                        await asyncio.sleep(self.proxy.hold)
                    if self.proxy.on_answer is not None:
                        self.proxy.on_answer()
                    self.send(head[: end + 4])
                    self.streaming = True
                    data = head[end + 4 :]
                    if self.proxy.fault in STREAM_FAULTS:
                        self.stream_fault(self.proxy.fault)
                self.frames += data
                self.relay_frames()
        except (OSError, ssl.SSLError, asyncio.IncompleteReadError):
            pass
        finally:
            self.close()

    def relay_frames(self) -> None:
        while not self.closed:
            n = frame_length(self.frames)
            if n is None or len(self.frames) < n:
                return
            frame, self.frames = self.frames[:n], self.frames[n:]
            if self.stream == "half_open":
                continue
            if self.stream == "reset_mid_frame":
                self.send(frame[: max(1, n // 2)])
                self.close(rst=True)
                return
            if self.stream == "garbage":
                self.stream = None
                self.send(GARBAGE)
                continue
            self.send(frame)

    def stream_fault(self, fault: str) -> None:
        if self.streaming and not self.closed:
            self.stream = fault
            if fault == "garbage":
                self.relay_frames()

    # -- the end -------------------------------------------------------------

    def close(self, rst: bool = False) -> None:
        if self.closed:
            return
        self.closed = True
        self.proxy.links.discard(self)
        if self.dripping is not None:
            self.dripping.cancel()
        if self.transport is not None:
            reset(self.transport) if rst else self.transport.close()
        if self.upstream is not None:
            self.upstream.transport.abort()
        if self.pump is not None and self.pump is not asyncio.current_task():
            self.pump.cancel()
