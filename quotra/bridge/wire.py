"""The bridge's own NATS connection: the client side of the NATS text protocol,
as much of it as acknowledged publishing needs.

The bridge writes tens of thousands of commands a second; a connection of its
own lets it write them in blocks, with the socket's flow control, and read the
acknowledgements in blocks, without reaching into another library's private
parts. ``NatsLink.open`` connects (INFO, CONNECT, then a PING answered by a
PONG proves the server took the CONNECT); after that the link answers the
server's PINGs, hands every MSG/HMSG to ``on_msg`` and records -ERR.
"""

from __future__ import annotations

import asyncio
import collections
import json
import logging
import re
import ssl
import time
import urllib.parse
from collections.abc import Callable
from typing import Any, cast

from .auth import connect_fields
from .names import redact
from .options import NatsOptions

__all__ = ["NatsLink", "LinkError"]

logger = logging.getLogger("quotra.bridge")

# Largest protocol line accepted from a server before the link gives up on it.
MAX_LINE = 64 * 1024
# The largest message a server takes unless its INFO says otherwise.
MAX_PAYLOAD = 1024 * 1024
# The one error a server sends without closing the connection for a publish.
_DENIED = re.compile(
    rb'Permissions Violation for Publish to "([^"]+)"(?: using reply subject "[^"]*")?'
)
# A server error line repeated is logged at most this often.
ERR_LOG_EVERY = 5.0


class LinkError(ConnectionError):
    """The server refused the connection or broke the protocol."""


def _address(url: str) -> tuple[str, int, bool]:
    """Host, port and whether the URL asks for TLS."""
    u = urllib.parse.urlsplit(url)
    if u.scheme not in ("nats", "tls", ""):
        raise LinkError(f"{redact(url)}: a NATS server is nats:// or tls://")
    return u.hostname or "127.0.0.1", u.port or 4222, u.scheme == "tls"


class NatsLink(asyncio.Protocol):
    """One NATS connection. ``on_msg(subject, headers, payload)`` gets every
    message (``headers`` None for MSG, the raw header block for HMSG)."""

    def __init__(
        self,
        on_msg: Callable[[bytes, bytes | None, bytes], None],
        on_denied: Callable[[bytes], None] | None = None,
    ):
        self.on_msg = on_msg
        self.on_denied = on_denied  # a publish the server refused: the subject
        self.on_info: Callable[[dict[str, Any]], None] | None = None  # an INFO after the first
        self.transport: asyncio.Transport | None = None
        self.info: dict[str, Any] = {}
        self.error: str | None = None
        loop = asyncio.get_running_loop()
        self.closed: asyncio.Future[str | None] = loop.create_future()
        self._info: asyncio.Future[dict[str, Any]] = loop.create_future()
        self._pongs: collections.deque[asyncio.Future[None]] = collections.deque()
        self._buf = bytearray()
        self._writable = asyncio.Event()
        self._writable.set()
        # error line -> (logged at, repeats since)
        self._err_logged: dict[str, tuple[float, int]] = {}

    @classmethod
    async def open(
        cls,
        url: str,
        on_msg: Callable[[bytes, bytes | None, bytes], None],
        *,
        name: str = "quotra-bridge",
        timeout: float = 2.0,
        on_denied: Callable[[bytes], None] | None = None,
        options: NatsOptions | None = None,
    ) -> NatsLink:
        """Connect to ``url`` as ``options`` say (TLS, who the bridge is)."""
        host, port, tls_url = _address(url)
        opts = options if options is not None else NatsOptions((url,), shuffle=False)
        loop = asyncio.get_running_loop()
        link = cls(on_msg, on_denied)
        try:
            ctx = opts.ssl_context()
            async with asyncio.timeout(timeout):
                if opts.tls_first:
                    # The server's first line comes over TLS.
                    ctx = ctx or ssl.create_default_context()
                    await loop.create_connection(
                        lambda: link, host, port, ssl=ctx, server_hostname=host
                    )
                    info = await link._info
                else:
                    await loop.create_connection(lambda: link, host, port)
                    info = await link._info
                    if ctx is not None or tls_url or info.get("tls_required"):
                        await link._start_tls(url, host, info, ctx)
                connect = {
                    "verbose": False,
                    "pedantic": False,
                    "headers": True,
                    "no_responders": True,
                    "protocol": 1,
                    "name": name,
                    "lang": "python-quotra",
                    "version": "1",
                    "tls_required": ctx is not None or tls_url or bool(info.get("tls_required")),
                    **connect_fields(opts, url, info),
                }
                link.write(b"CONNECT " + json.dumps(connect).encode() + b"\r\n")
                await link.ping()
        except BaseException:
            link.close()
            raise
        return link

    async def _start_tls(
        self, url: str, host: str, info: dict[str, Any], ctx: ssl.SSLContext | None
    ) -> None:
        """The connection upgraded to TLS after the server's INFO."""
        if not (info.get("tls_required") or info.get("tls_available")):
            raise LinkError(f"{redact(url)}: TLS asked for, and the server does not offer it")
        assert self.transport is not None
        loop = asyncio.get_running_loop()
        transport = await loop.start_tls(
            self.transport, self, ctx or ssl.create_default_context(), server_hostname=host
        )
        if transport is None:
            raise LinkError(f"{redact(url)}: the TLS connection closed at once")
        self.transport = transport

    # -- writing ---------------------------------------------------------------

    @property
    def is_open(self) -> bool:
        return not self.closed.done()

    @property
    def writable(self) -> bool:
        """Whether the socket takes more without waiting (its flow control)."""
        return self._writable.is_set()

    def write(self, data: bytes) -> None:
        if self.transport is None or self.closed.done():
            raise LinkError("the NATS connection is closed")
        self.transport.write(data)

    async def drain(self) -> None:
        """Wait until the socket takes more (or the link closes)."""
        if not self._writable.is_set():
            waiter = asyncio.ensure_future(self._writable.wait())
            try:
                await asyncio.wait((waiter, self.closed), return_when=asyncio.FIRST_COMPLETED)
            finally:
                waiter.cancel()
        if self.closed.done():
            raise LinkError(self.error or "the NATS connection is closed")

    async def ping(self, timeout: float | None = None) -> None:
        """A round trip: every command written before it has been read by the
        server. A PONG not there within ``timeout`` seconds closes the link."""
        fut = asyncio.get_running_loop().create_future()
        self._pongs.append(fut)
        self.write(b"PING\r\n")
        await asyncio.wait((fut, self.closed), timeout=timeout, return_when=asyncio.FIRST_COMPLETED)
        if not fut.done():
            if not self.closed.done():
                self.error = f"no PONG from the NATS server within {timeout:g} s"
                self.abort()
            raise LinkError(self.error or "the NATS connection closed before its PONG")

    def close(self) -> None:
        if self.transport is not None:
            self.transport.close()
        self._lost(None)

    def abort(self) -> None:
        if self.transport is not None:
            self.transport.abort()
        self._lost(None)

    # -- asyncio.Protocol ----------------------------------------------------------

    def connection_made(self, transport: asyncio.BaseTransport) -> None:
        self.transport = cast(asyncio.Transport, transport)

    def connection_lost(self, exc: Exception | None) -> None:
        self._lost(exc)

    def pause_writing(self) -> None:
        self._writable.clear()

    def resume_writing(self) -> None:
        self._writable.set()

    def _lost(self, exc: BaseException | None) -> None:
        if not self.closed.done():
            if self.error is None and exc is not None:
                self.error = str(exc) or type(exc).__name__
            self.closed.set_result(self.error)
        self._writable.set()
        failure = LinkError(self.error or "the NATS connection closed")
        waiting: list[asyncio.Future[Any]] = [self._info, *self._pongs]
        for fut in waiting:
            if not fut.done():
                fut.set_exception(failure)
                fut.exception()  # retrieved: nobody may be waiting any more
        self._pongs.clear()

    def data_received(self, data: bytes) -> None:
        buf = self._buf
        buf += data
        try:
            used = self._parse(buf)
        except (ValueError, IndexError) as exc:
            self.error = f"unreadable data from the NATS server: {exc}"
            self.abort()
            return
        except Exception as exc:  # a fault of ours reading an answer: this link is done
            logger.exception("NATS: error reading from the server")
            self.error = f"error reading from the NATS server: {exc!r}"
            self.abort()
            return
        if used:
            del buf[:used]
        if len(buf) > MAX_LINE and buf.find(b"\r\n") < 0:
            self.error = "a NATS protocol line too long"
            self.abort()

    def _parse(self, buf: bytearray) -> int:
        pos = 0
        find = buf.find
        on_msg = self.on_msg
        closed = self.closed
        size = len(buf)
        while pos < size and not closed.done():  # nothing is read after the link failed
            end = find(b"\r\n", pos)
            if end < 0:
                break
            op = buf[pos : pos + 4]
            if op == b"MSG " or op == b"HMSG":
                hmsg = op == b"HMSG"
                args = bytes(buf[pos + 4 + hmsg : end]).split()
                total, hlen = self._sizes(args, hmsg, buf[pos:end])
                start = end + 2
                if start + total + 2 > size:
                    break
                if buf[start + total : start + total + 2] != b"\r\n":
                    head = bytes(buf[pos:end])[:80]
                    raise ValueError(f"a message longer than its size in {head!r}")
                if hmsg:
                    on_msg(
                        args[0],
                        bytes(buf[start : start + hlen]),
                        bytes(buf[start + hlen : start + total]),
                    )
                else:
                    on_msg(args[0], None, bytes(buf[start : start + total]))
                pos = start + total + 2
                continue
            line = bytes(buf[pos:end])
            pos = end + 2
            if line == b"PING":
                if self.transport is not None:
                    self.transport.write(b"PONG\r\n")
            elif line == b"PONG":
                if self._pongs:
                    fut = self._pongs.popleft()
                    if not fut.done():
                        fut.set_result(None)
            elif line.startswith(b"INFO"):
                self.info = json.loads(line[4:])
                if not isinstance(self.info, dict):
                    raise ValueError(f"INFO that is not an object: {line[:80]!r}")
                if not self._info.done():
                    self._info.set_result(self.info)
                elif self.on_info is not None:
                    self.on_info(self.info)
            elif line.startswith(b"-ERR"):
                self._server_error(line[4:].strip().strip(b"'"))
            elif line != b"+OK":
                raise ValueError(f"unknown operation {line[:20]!r}")
        return pos

    def _sizes(self, args: list[bytes], hmsg: bool, line: bytearray) -> tuple[int, int]:
        """``(total, header)`` sizes of a MSG (subject sid [reply] size) or HMSG
        (subject sid [reply] header-size total-size) line; ValueError if malformed."""
        sizes = args[-1 - hmsg :]
        if not (3 + hmsg <= len(args) <= 4 + hmsg) or not all(a.isdigit() for a in sizes):
            raise ValueError(f"a malformed message line {bytes(line)[:80]!r}")
        total = int(args[-1])
        hlen = int(args[-2]) if hmsg else 0
        limit = self.info.get("max_payload")
        limit = limit if type(limit) is int and limit > 0 else MAX_PAYLOAD
        if hlen > total or total > limit:
            raise ValueError(
                f"bad message sizes in {bytes(line)[:80]!r} (the largest message is {limit})"
            )
        return total, hlen

    def _server_error(self, text: bytes) -> None:
        denied = _DENIED.fullmatch(text)
        if denied is not None and self.on_denied is not None:
            # The server drops the message and keeps the connection: the
            # publisher decides what that subject's quotes become.
            self.on_denied(denied.group(1))
            return
        error = text.decode(errors="replace")
        if not text.startswith(b"Permissions Violation"):
            self.error = error  # the server closes the connection after any other error
        now = time.monotonic()
        at, repeats = self._err_logged.get(error, (-ERR_LOG_EVERY, 0))
        if now - at < ERR_LOG_EVERY:
            self._err_logged[error] = (at, repeats + 1)
            return
        if len(self._err_logged) > 64:
            self._err_logged.clear()
        self._err_logged[error] = (now, 0)
        logger.warning(
            "NATS server: %s%s", error, f" ({repeats} more like it since)" if repeats else ""
        )
