"""A market-data server written with the `websockets` library, TLS on 127.0.0.1.

It is what a third-party server does that our own service does not: it sends
messages in fragments when given an iterable, waits for the client's answer
to its CLOSE (for ``close_timeout`` seconds) before it drops the TCP
connection, and writes raw frames when a test asks for a broken peer. It
offers the part of ``MarketDataService``'s interface that ``ClientSession``
uses, so a session runs against either server.
"""

from __future__ import annotations

import asyncio
import os
import shutil
import ssl
import tempfile
import time
from collections.abc import Callable, Iterable
from typing import Any

import orjson
import trustme
from websockets.asyncio.server import serve
from websockets.exceptions import ConnectionClosed

from quotra.service import service_url
from quotra.service.endpoint import HOST
from quotra.service.market import wire_frame


class Peer:
    """One client connection as the server saw it."""

    def __init__(self, conn_id: int, ws):
        self.id = conn_id
        self.ws = ws
        self.opened_at_ns = time.time_ns()
        self.closed_at_ns: int | None = None
        self.subscribed: dict[str, None] = {}

    @property
    def is_open(self) -> bool:
        return self.closed_at_ns is None

    @property
    def close_received(self) -> tuple[int, bytes] | None:
        """(code, reason) of the client's CLOSE frame, None when it sent none."""
        rcvd = self.ws.protocol.close_rcvd
        return None if rcvd is None else (int(rcvd.code), rcvd.reason.encode())

    def write_raw(self, opcode: int, payload: bytes, fin: bool = True) -> None:
        """One frame written straight to the socket, past the library's checks."""
        self.ws.transport.write(wire_frame(payload, opcode, fin))


class WebsocketsServer:
    """``drop_new``: abort every new connection right after the upgrade.
    ``close_timeout``: how long the server waits for the client's CLOSE."""

    def __init__(self, *, close_timeout: float = 10.0):
        self.close_timeout = close_timeout
        self.drop_new = False
        self.connections: list[Peer] = []
        self._tmpdir = tempfile.mkdtemp(prefix="quotra-websockets-")
        self._ca = trustme.CA()
        self.ca_file = os.path.join(self._tmpdir, "ca.pem")
        self._ca.cert_pem.write_to_path(self.ca_file)
        self._server = None
        self.url = ""

    @property
    def accepted(self) -> int:
        return len(self.connections)

    @property
    def open_connections(self) -> list[Peer]:
        return [c for c in self.connections if c.is_open]

    async def start(self) -> WebsocketsServer:
        ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        self._ca.issue_cert(HOST).configure_cert(ctx)
        self._server = await serve(
            self._handler,
            HOST,
            0,
            ssl=ctx,
            ping_interval=None,
            close_timeout=self.close_timeout,
            compression=None,
        )
        self.url = service_url(self._server.sockets[0].getsockname()[1])
        return self

    async def stop(self, graceful: bool = False) -> None:
        self._server.close(close_connections=graceful)
        for c in self.open_connections:
            c.ws.transport.abort()
        await self._server.wait_closed()

    def close_files(self) -> None:
        shutil.rmtree(self._tmpdir, ignore_errors=True)

    async def _handler(self, ws) -> None:
        peer = Peer(len(self.connections) + 1, ws)
        self.connections.append(peer)
        try:
            if self.drop_new:
                ws.transport.abort()
            async for message in ws:
                try:
                    obj = orjson.loads(message)
                except orjson.JSONDecodeError:
                    continue
                for item in obj.get("subscribe", ()) if isinstance(obj, dict) else ():
                    peer.subscribed[item] = None
        except ConnectionClosed:
            pass
        finally:
            await ws.wait_closed()
            peer.closed_at_ns = time.time_ns()

    async def wait_for(
        self, predicate: Callable[[], Any], timeout: float = 5.0, what: str = "condition"
    ) -> Any:
        deadline = time.monotonic() + timeout
        while not (value := predicate()):
            if time.monotonic() > deadline:
                raise TimeoutError(f"timed out after {timeout:.1f}s waiting for {what}")
            await asyncio.sleep(0.005)
        return value

    async def wait_subscribed(
        self, instruments: Iterable[str], conn: Peer | None = None, timeout: float = 5.0
    ) -> Peer:
        want = set(instruments)

        def check():
            c = conn or (self.open_connections or [None])[-1]
            return c if c is not None and want <= c.subscribed.keys() else None

        return await self.wait_for(check, timeout, f"a subscription to {sorted(want)}")
