"""The bridge's NATS connections, as a part of ``Bridge``: one after another,
over the server list, with the stream checked (and made) at each, and what a
connection left unacknowledged queued to go first on the next."""

from __future__ import annotations

import asyncio
import collections
import logging
import secrets
from collections.abc import Callable
from typing import TYPE_CHECKING, Any
from urllib.parse import urlsplit

from .acks import ACK_TIMEOUT
from .names import RETRY_FIRST, RETRY_MAX, nats, redact
from .options import NatsOptions
from .stream import StreamError, ensure_stream
from .wire import LinkError, NatsLink

logger = logging.getLogger("quotra.bridge")

# A connection that lasted less than this is a failed attempt for the back-off.
SHORT = 1.0
# Servers a cluster may add to the list (its INFO names them).
MAX_SERVERS = 64
Entry = tuple[bytes, bytes]


class Connecting:
    """Connecting, failing over and queueing again, as a part of ``Bridge``."""

    stream: str
    subject_prefix: str
    servers: list[str]
    options: NatsOptions
    connections: int
    connect_failures: int
    dropped: int
    buffer: int
    resent: int
    loop: asyncio.AbstractEventLoop
    _stream_defaults: dict[str, Any]
    _warned: set[str]
    _fast_stream: bool
    _stream_seq: int | None
    _acked_seq: dict[bytes, int]
    _next_server: int
    _closing: bool
    _failure: str | None
    _link: NatsLink | None
    _connected: asyncio.Event
    _task: asyncio.Task[None] | None
    _inbox: bytes
    _unbatched: int
    _retry: collections.deque[Entry]
    _pending: list[dict[str, Any]]
    _inflight: dict[int, Entry]
    _later: list[tuple[float, Entry]]
    _sent_at: collections.deque[tuple[int, float]]
    _retry_since: float | None
    _clock: Callable[[], float]

    if TYPE_CHECKING:  # the other parts of Bridge

        def _on_msg(self, subject: bytes, headers: bytes | None, payload: bytes) -> None: ...
        def _on_denied(self, subject: bytes) -> None: ...
        def _fail(self, reason: str) -> None: ...
        def _ack_overdue(self) -> bool: ...
        def _start_batches(self) -> None: ...
        def _must_check(self, window: float) -> bool: ...
        async def _skip_stored(self, js: Any, window: float) -> None: ...
        async def _publish(self, link: NatsLink) -> str: ...
        def _write_now(self) -> None: ...

    def start(self) -> asyncio.Task[None]:
        if self._task is None:
            self._task = self.loop.create_task(self._run(), name="quotra-bridge")
        return self._task

    async def _connect(self, url: str) -> NatsLink:
        link = await NatsLink.open(
            url, self._on_msg, on_denied=self._on_denied, options=self.options
        )
        # Checked once already: a cluster electing a leader may not answer for
        # seconds, and what waits to be sent again must go within the stream's
        # duplicate window. The acknowledgements will tell whether it takes quotes.
        checked = self.connections > 0
        try:
            kwargs = self.options.nats_py_kwargs()
            kwargs.pop("dont_randomize", None)
            nc = await nats().connect(
                url,
                allow_reconnect=False,
                max_reconnect_attempts=1,
                connect_timeout=2,
                reconnect_time_wait=0,
                name="quotra-bridge-stream",
                **kwargs,
            )
            try:
                js = nc.jetstream(timeout=1.0 if checked else 5.0)
                info = await ensure_stream(
                    js,
                    self.stream,
                    self.subject_prefix,
                    self._warned,
                    clustered=bool(link.info.get("cluster")),
                    **self._stream_defaults,
                )
                config = info.config
                self._fast_stream = bool(config.allow_batched)
                last = getattr(info.state, "last_seq", None)
                if type(last) is int:
                    if self._acked_seq and last < max(self._acked_seq.values()):
                        self._acked_seq.clear()  # the stream was made again: its sequence restarted
                    self._stream_seq = last
                else:
                    self._stream_seq = None
                if self._must_check(config.duplicate_window or 0.0):
                    await self._skip_stored(js, config.duplicate_window or 0.0)
            except TimeoutError:
                if not checked:
                    raise
                self._stream_seq = None
                logger.info(
                    "NATS %s: stream %s did not answer in time; publishing again",
                    redact(url),
                    self.stream,
                )
            finally:
                try:
                    await asyncio.wait_for(nc.close(), ACK_TIMEOUT)
                except TimeoutError:
                    pass
            await self._subscribe(link)
            link.on_info = lambda info: self._on_info(link, url, info)
            self._on_info(link, url, link.info)
            if link.info.get("ldm") is True:
                raise LinkError("the server is in lame duck mode")
        except BaseException:
            link.close()
            raise
        return link

    def _on_info(self, link: NatsLink, url: str, info: dict[str, Any]) -> None:
        """What a server says of its cluster: the other nodes it names join the
        list (with this URL's scheme and user information); a server entering
        lame duck mode is left for the next before it closes the connection."""
        urls = info.get("connect_urls")
        if isinstance(urls, list):
            known = {urlsplit(u).netloc.rpartition("@")[2] for u in self.servers}
            parts = urlsplit(url)
            userinfo = parts.netloc.rpartition("@")[0]
            for u in urls:
                if len(self.servers) >= MAX_SERVERS:
                    break
                if isinstance(u, str) and u and "/" not in u and "@" not in u and u not in known:
                    known.add(u)
                    at = f"{userinfo}@{u}" if userinfo else u
                    self.servers.append(f"{parts.scheme or 'nats'}://{at}")
                    logger.info("NATS: the cluster names another server, %s", u)
        lame = info.get("ldm") is True
        if lame and link is self._link and link.is_open and self._failure is None:
            logger.info(
                "NATS %s is entering lame duck mode: moving to the next server", redact(url)
            )
            self._fail("the server entered lame duck mode")

    async def _subscribe(self, link: NatsLink) -> None:
        """The connection's inbox for the answers, in place before the first can come."""
        self._inbox = b"_INBOX.%s." % secrets.token_hex(11).encode()
        self._start_batches()
        self._unbatched = 0
        link.write(b"SUB %s> 1\r\n" % self._inbox)
        await link.ping(ACK_TIMEOUT)

    async def _run(self) -> None:
        delay, failures = RETRY_FIRST, 0
        dropped_before = self.dropped
        try:
            while not self._closing:
                url = self.servers[self._next_server % len(self.servers)]
                shown = redact(url)
                self._next_server += 1
                try:
                    link = await self._connect(url)
                except (asyncio.CancelledError, StreamError):
                    raise  # a stream that cannot take the quotes: the task's end says why
                except Exception as exc:
                    self.connect_failures += 1
                    failures += 1
                    if (
                        failures <= 6 or failures % 15 == 0
                    ):  # the back-off's climb, then about every 30 s
                        logger.warning(
                            "NATS %s not reachable (%s); retrying in %.1f s (attempt %d)",
                            shown,
                            str(exc) or type(exc).__name__,
                            delay,
                            failures,
                        )
                    if self._next_server % len(self.servers) == 0:
                        await asyncio.sleep(delay)
                        delay = min(RETRY_MAX, delay * 2)
                    continue
                failures = 0
                self._link = link
                self.connections += 1
                self._connected.set()
                logger.info(
                    "NATS connected to %s%s; %d quotes to send again, %d buffered, %d dropped while away",
                    shown,
                    " (reconnection %d)" % (self.connections - 1) if self.connections > 1 else "",
                    len(self._retry),
                    len(self._pending),
                    self.dropped - dropped_before,
                )
                began = self.loop.time()
                try:
                    reason = await self._publish(link)
                except (LinkError, OSError) as exc:  # closed under a write or a ping
                    reason = self._failure or str(exc) or type(exc).__name__
                except Exception as exc:
                    # A fault of ours: said with its traceback, then a new connection
                    # sends again what this one did not confirm.
                    logger.exception("NATS publishing to %s failed", shown)
                    self._failure = reason = f"unexpected error: {exc!r}"
                self._connected.clear()
                link.close()
                self._requeue()
                dropped_before = self.dropped
                if not self._closing:
                    logger.warning(
                        "NATS connection to %s lost (%s); %d quotes to send again, the rest "
                        "buffered (at most %d) while the bridge reconnects",
                        shown,
                        reason,
                        len(self._retry),
                        self.buffer,
                    )
                # A connection that ends at once (a server refusing us, a stream
                # without a leader) is not tried again at once: the back-off climbs.
                if self.loop.time() - began < SHORT or self._failure is not None:
                    await asyncio.sleep(delay)
                    delay = min(RETRY_MAX, delay * 2)
                else:
                    delay = RETRY_FIRST
                self._failure = None
        except asyncio.CancelledError:
            # The loop's shutdown cancels every task: what is waiting still goes
            # out, written straight to the socket; its acknowledgements will not
            # be read, so it stays counted in flight.
            self._write_now()
            raise

    def _requeue(self) -> None:
        """What was not acknowledged goes first on the next connection, in its order."""
        if self._inflight or self._later:
            self._ack_overdue()  # the oldest block written still waiting comes first
            first = self._sent_at[0][1] if self._sent_at else self._clock()
            since = self._retry_since
            self._retry_since = first if since is None else min(since, first)
        self.resent += len(self._inflight) + len(self._later)
        self._retry.extendleft(reversed(self._inflight.values()))
        self._retry.extendleft(reversed([entry for _, entry in self._later]))
        self._later.clear()
        self._inflight.clear()
        self._sent_at.clear()
