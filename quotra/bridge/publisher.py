"""The bridge's publisher: quotes in from the client, acknowledged by the stream.

A quote goes: the client's callback appends it to ``_pending`` (bounded:
past ``buffer`` the oldest tenth is dropped and counted); once per loop turn
the writer encodes what is pending into ``HPUB`` commands, each with a reply
subject ``<inbox>.<token>`` on the connection's one wildcard inbox and a
``Nats-Msg-Id`` of ``<instrument>:<exchange_ts_ns>:<crc32 of the JSON>`` (the
send time left out; two
different quotes sharing a time stay two; two bridges' copies of one quote
share the id), and writes them as one
block (or one batch, where the stream allows fast ingest). At most ``window``
quotes wait for their acknowledgement (``acks``). Whatever was not
acknowledged when a connection ends is sent again, first and in its order,
on the next (``resent``); the stream's duplicate window drops what it had.
"""

from __future__ import annotations

import asyncio
import collections
import logging
import math
import secrets
import time
import zlib
from collections.abc import Callable, Coroutine
from itertools import chain, repeat
from operator import itemgetter
from typing import Any
from urllib.parse import urlsplit

import orjson

from ..eager import eager_for
from . import counters
from .acks import ACK_TIMEOUT, LOG_EVERY, Acknowledgements
from .names import (
    DEFAULT_BUFFER,
    DEFAULT_MAX_AGE,
    DEFAULT_MAX_PER_SUBJECT,
    DEFAULT_NATS,
    DEFAULT_PREFIX,
    DEFAULT_STREAM,
    RETRY_FIRST,
    RETRY_MAX,
    STORAGES,
    check_instrument,
    check_prefix,
    check_stream,
    nats,
    redact,
    servers,
)
from .stream import StreamError, ensure_stream
from .wire import LinkError, NatsLink

__all__ = ["Bridge"]

logger = logging.getLogger("quotra.bridge")

DEFAULT_WINDOW = 4096
FLUSH_TIMEOUT = 2.0
# A server that takes no bytes for this long is as good as gone.
DRAIN_TIMEOUT = 5.0
# A connection that lasted less than this is a failed attempt for the back-off.
SHORT = 1.0
# Quotes per block written at once, so a backlog after an outage is not one huge allocation.
BLOCK = 1024
_NO_ID = b"NATS/1.0\r\n\r\n"  # 12 bytes
# Times of 19 digits.
_E18, _E19 = 10**18, 10**19
# Servers a cluster may add to the list (its INFO names them).
MAX_SERVERS = 64
_HEAD, _BODY = itemgetter(0), itemgetter(1)


def _msg_id(body: bytes) -> bytes | None:
    """``<instrument>:<exchange_ts_ns>:<digest>`` of an encoded quote; None without one."""
    at = body.find(b"Nats-Msg-Id: ", 0, 200)
    return None if at < 0 else body[at + 13 : body.find(b"\r\n", at)]


class Bridge(Acknowledgements, counters.BridgeCounters):
    """Publishes the quotes given to ``on_quote`` to NATS; see the package's docstring.

    Make it on the loop's thread, call ``start()`` once the loop runs (or
    before: it only schedules), give ``on_quote`` to the client as its message
    callback, and ``await close()`` to wait for the acknowledgements and disconnect.
    ``nats_url`` may name several servers, comma-separated: the bridge moves
    to the next when one fails.
    """

    def __init__(
        self,
        nats_url: str = DEFAULT_NATS,
        *,
        subject_prefix: str = DEFAULT_PREFIX,
        stream: str = DEFAULT_STREAM,
        max_per_subject: int = DEFAULT_MAX_PER_SUBJECT,
        max_age: float = DEFAULT_MAX_AGE,
        buffer: int = DEFAULT_BUFFER,
        storage: str = "file",
        loop: asyncio.AbstractEventLoop | None = None,
        client: Any = None,
        window: int = DEFAULT_WINDOW,
        republish: bool = False,
    ):
        nats()
        self.client = client  # the upstream Quotra, whose health snapshot() adds
        self.servers = servers(nats_url)
        self.nats_url = ",".join(self.servers)
        self.subject_prefix = check_prefix(subject_prefix)
        self.stream = check_stream(stream)
        if not (isinstance(max_per_subject, int) and max_per_subject >= 1):
            raise ValueError("max_per_subject must be an int >= 1")
        if not (max_age > 0 and math.isfinite(max_age)):
            raise ValueError("max_age must be a positive number of seconds")
        for what, value in (("buffer", buffer), ("window", window)):
            if not (isinstance(value, int) and value >= 1):
                raise ValueError(f"{what} must be an int >= 1")
        if storage not in STORAGES:
            raise ValueError(f"storage must be one of {STORAGES}, not {storage!r}")
        self.storage = storage
        self.republish = bool(republish)
        self.max_per_subject = max_per_subject
        self.max_age = float(max_age)
        self.buffer = buffer
        self.window = window
        self.loop = loop or asyncio.get_event_loop()
        counters.BridgeCounters.__init__(self)
        self._pending: list[dict[str, Any]] = []  # quotes not yet encoded
        # encoded, unacknowledged: sent first
        self._retry: collections.deque[tuple[bytes, bytes]] = collections.deque()
        # token -> (head, body), in sending order
        self._inflight: dict[int, tuple[bytes, bytes]] = {}
        # (last token of a block, time written)
        self._sent_at: collections.deque[tuple[int, float]] = collections.deque()
        # (when, entry): to send again shortly
        self._later: list[tuple[float, tuple[bytes, bytes]]] = []
        self._failure: str | None = None
        self._token = 0
        self._inbox = b""
        self._heads: dict[str, tuple[bytes | None, bytes]] = {}
        self._link: NatsLink | None = None
        self._connected = asyncio.Event()
        self._wake = asyncio.Event()
        self._closing = False
        self._task: asyncio.Task[None] | None = None
        self._warned: set[str] = set()
        self._denied: set[str] = set()  # instruments the server does not let us publish
        self._next_server = 0
        self._fast = True  # batches unless the server refused them
        self._fast_stream = False  # the stream allows them
        self._unbatched = 0  # quotes to send one acknowledgement each before batching again
        # When the oldest quote to send again was first sent.
        self._retry_since: float | None = None
        self._clock = time.monotonic
        self._start_batches()
        self.on_quote = self._make_on_quote()
        eager_for(self.loop, self.on_quote.__code__)

    @property
    def connected(self) -> bool:
        return self._connected.is_set()

    # -- the quote path ------------------------------------------------------------

    def _make_on_quote(self) -> Callable[[dict[str, Any]], Coroutine[Any, Any, None]]:
        pending = self._pending
        append = pending.append
        wake = self._wake.set
        limit = self.buffer
        overflow = self._overflow

        async def on_quote(quote: dict[str, Any]) -> None:
            append(quote)
            n = len(pending)
            if n == 1:
                wake()
            elif n > limit:
                overflow()

        return on_quote

    def _overflow(self) -> None:
        """The buffer is past its bound: drop its oldest tenth (at least one)."""
        pending = self._pending
        n = len(pending) - self.buffer + self.buffer // 10
        n = min(len(pending), max(1, n))
        del pending[:n]
        self.dropped += n
        now = time.monotonic()
        if now >= self._drop_log_at:
            self._drop_log_at = now + LOG_EVERY
            logger.warning(
                "NATS %s: buffer of %d quotes full, dropped the oldest %d (%d dropped in all)",
                "not connected" if not self.connected else "not keeping up",
                self.buffer,
                self.dropped - self._dropped_logged,
                self.dropped,
            )
            self._dropped_logged = self.dropped

    def _head(self, instrument: Any) -> tuple[bytes | None, bytes]:
        try:
            name = check_instrument(instrument).encode()
            got: tuple[bytes | None, bytes] = (
                b"HPUB %s.%s " % (self.subject_prefix.encode(), name),
                b"NATS/1.0\r\nNats-Msg-Id: %s:" % name,
            )
        except (TypeError, ValueError) as exc:
            logger.error("quotes of %r are not published: %s", instrument, exc)
            got = (None, b"")
        if isinstance(instrument, str):
            self._heads[instrument] = got
        return got

    def _encode(self, batch: list[Any]) -> list[tuple[bytes, bytes]]:
        """``(head, body)`` of each quote of ``batch`` that can be published: the
        command is ``head + reply + body``."""
        out: list[tuple[bytes, bytes]] = []
        add = out.append
        heads = self._heads
        dumps = orjson.dumps
        crc32 = zlib.crc32
        refused = 0
        for quote in batch:
            try:
                head, msg_id = heads[quote["instrument"]]
            except (KeyError, TypeError):
                head, msg_id = self._head(
                    quote.get("instrument") if isinstance(quote, dict) else None
                )
            if head is None:
                refused += 1
                name = quote.get("instrument") if isinstance(quote, dict) else None
                if isinstance(name, str) and name in self._denied:
                    self._refused_by[name] += 1
                continue
            try:
                payload = dumps(quote)
            except TypeError as exc:  # a value or key JSON cannot hold: this quote only
                self._unencodable(quote, exc)
                continue
            ts = quote.get("exchange_ts_ns")
            # Without a time there is no identity: published without an id, never de-duplicated.
            if type(ts) is int and ts > 0:
                # The digest tells apart different quotes that share an instrument and a
                # time; it leaves out the sender's send time, which differs between the
                # copies of one quote sent to two bridges.
                cut = payload.rfind(b',"sent_at_ns":', len(payload) - 40)  # the last key
                # The header's length without formatting it twice: the id, the time's
                # digits (19 for any time since 2001), ":", 8 hex digits, CRLF CRLF.
                n = len(msg_id) + (32 if _E18 <= ts < _E19 else len(b"%d" % ts) + 13)
                add(
                    (
                        head,
                        b"%d %d\r\n%s%d:%08x\r\n\r\n%s\r\n"
                        % (
                            n,
                            n + len(payload),
                            msg_id,
                            ts,
                            crc32(payload[:cut] if cut > 0 else payload),
                            payload,
                        ),
                    )
                )
            else:
                add((head, b"12 %d\r\n%s%s\r\n" % (12 + len(payload), _NO_ID, payload)))
        self.refused += refused
        return out

    def _unencodable(self, quote: dict[str, Any], exc: Exception) -> None:
        self.refused += 1
        now = time.monotonic()
        if now >= self._encode_log_at:
            self._encode_log_at = now + LOG_EVERY
            logger.error(
                "a quote of %r is not published: it cannot be encoded as JSON (%s); "
                "%d refused in all",
                quote.get("instrument"),
                exc,
                self.refused,
            )

    def _on_denied(self, subject: bytes) -> None:
        """The server refused a publish to ``subject`` (permissions): that
        instrument's quotes are refused from now on, those sent and waiting
        included; the others go on."""
        prefix = self.subject_prefix.encode() + b"."
        if not subject.startswith(prefix):
            logger.error("NATS server refused a publish to %s", subject.decode(errors="replace"))
            return
        name = subject[len(prefix) :].decode(errors="replace")
        if name in self._denied:
            return
        self._denied.add(name)
        self._heads[name] = (None, b"")
        head = b"HPUB %s " % subject
        inflight = self._inflight
        gone = [t for t, entry in inflight.items() if entry[0] == head]
        for t in gone:
            del inflight[t]
        kept = [entry for entry in self._retry if entry[0] != head]
        n = len(gone) + len(self._retry) - len(kept)
        self._retry.clear()  # in place: the writer holds it
        self._retry.extend(kept)
        later = [item for item in self._later if item[1][0] != head]
        n += len(self._later) - len(later)
        self._later = later
        self.refused += n
        self._refused_by[name] += n
        logger.error(
            "NATS server does not let the bridge publish to %s (permissions violation): "
            "quotes of %s are counted refused from now on; the other instruments go on",
            subject.decode(errors="replace"),
            name,
        )
        self._wake.set()

    def _write(self, link: NatsLink, entries: list[tuple[bytes, bytes]]) -> None:
        if self._unbatched:
            self._unbatched = max(0, self._unbatched - len(entries))
        elif len(entries) > 1 and self._fast and self._fast_stream:
            self._write_batch(link, entries)
            return
        first = self._token + 1
        tokens = range(first, first + len(entries))
        self._inflight.update(zip(tokens, entries))
        # Each command is head, inbox, token and a space, body: joined in one pass.
        parts = zip(
            map(_HEAD, entries),
            repeat(self._inbox),
            map(b"%d ".__mod__, tokens),
            map(_BODY, entries),
        )
        self._token = first + len(entries) - 1
        self._sent_at.append((self._token, time.monotonic()))
        link.write(b"".join(chain.from_iterable(parts)))

    # -- the NATS side -----------------------------------------------------------

    def start(self) -> asyncio.Task[None]:
        if self._task is None:
            self._task = self.loop.create_task(self._run(), name="quotra-bridge")
        return self._task

    async def _connect(self, url: str) -> NatsLink:
        link = await NatsLink.open(url, self._on_msg, on_denied=self._on_denied)
        # Checked once already: a cluster electing a leader may not answer for
        # seconds, and what waits to be sent again must go within the stream's
        # duplicate window. The acknowledgements will tell whether it takes quotes.
        checked = self.connections > 0
        try:
            nc = await nats().connect(
                url,
                allow_reconnect=False,
                max_reconnect_attempts=1,
                connect_timeout=2,
                reconnect_time_wait=0,
                name="quotra-bridge-stream",
            )
            try:
                js = nc.jetstream(timeout=1.0 if checked else 5.0)
                config = await ensure_stream(
                    js,
                    self.stream,
                    self.subject_prefix,
                    self._warned,
                    max_per_subject=self.max_per_subject,
                    max_age=self.max_age,
                    storage=self.storage,
                    republish=self.republish,
                )
                self._fast_stream = bool(config.allow_batched)
                window = config.duplicate_window or 0.0
                since = self._retry_since
                if self._retry and since is not None and self._clock() - since > window:
                    await self._skip_stored(js, bool(config.allow_direct), window)
            except TimeoutError:
                if not checked:
                    raise
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
        list (with this URL's user information); a server entering lame duck
        mode is left for the next before it closes the connection."""
        urls = info.get("connect_urls")
        if isinstance(urls, list):
            known = {urlsplit(u).netloc.rpartition("@")[2] for u in self.servers}
            userinfo = urlsplit(url).netloc.rpartition("@")[0]
            for u in urls:
                if len(self.servers) >= MAX_SERVERS:
                    break
                if isinstance(u, str) and u and "/" not in u and "@" not in u and u not in known:
                    known.add(u)
                    self.servers.append(f"nats://{userinfo}@{u}" if userinfo else f"nats://{u}")
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
                except asyncio.CancelledError:
                    raise
                except StreamError as exc:
                    logger.error("NATS %s: %s", shown, exc)
                    raise
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
                    " (reconnection %d)" % self.reconnections if self.connections > 1 else "",
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
        self._retry.extendleft(reversed(self._inflight.values()))
        self._retry.extendleft(reversed([entry for _, entry in self._later]))
        self._later.clear()
        self._inflight.clear()
        self._sent_at.clear()

    async def _skip_stored(self, js: Any, direct: bool, window: float) -> None:
        """Quotes to send again that were first sent longer ago than the stream's
        duplicate window: the stream would store a second copy of those it has.
        Its last message of each instrument says which it has: those at or
        before it are dropped from the resend and counted published."""
        self._retry_since = None
        # head -> (Nats-Msg-Id, exchange_ts_ns) of the stream's last message
        last: dict[bytes, tuple[bytes, int]] = {}
        try:
            async with asyncio.timeout(2 * ACK_TIMEOUT):
                for head in {entry[0] for entry in self._retry}:
                    try:
                        msg = await js.get_last_msg(self.stream, head[5:-1].decode(), direct=direct)
                    except nats().js.errors.NotFoundError:
                        continue
                    ts = orjson.loads(msg.data).get("exchange_ts_ns")
                    last[head] = (
                        (msg.headers or {}).get("Nats-Msg-Id", "").encode(),
                        ts if type(ts) is int else 0,
                    )
        except Exception as exc:
            if "last" not in self._warned:
                self._warned.add("last")
                logger.warning(
                    "NATS stream %s: its last quotes could not be read (%s): quotes "
                    "sent again after more than its duplicate window (%g s) may be "
                    "stored twice",
                    self.stream,
                    str(exc) or type(exc).__name__,
                    window,
                )
            return
        cut: dict[bytes, int] = {}  # head -> index in the resend of the last quote stored
        ids = [_msg_id(entry[1]) for entry in self._retry]
        for i, (entry, msg_id) in enumerate(zip(self._retry, ids)):
            stored = last.get(entry[0])
            if (
                stored is not None
                and msg_id is not None
                and (msg_id == stored[0] or int(msg_id.split(b":")[1]) < stored[1])
            ):
                cut[entry[0]] = i
        if not cut:
            return
        kept = [entry for i, entry in enumerate(self._retry) if i > cut.get(entry[0], -1)]
        skipped = len(self._retry) - len(kept)
        self._retry.clear()
        self._retry.extend(kept)
        self.published += skipped
        self.duplicates += skipped
        logger.info(
            "NATS stream %s already holds %d of the quotes to send again: not sent twice",
            self.stream,
            skipped,
        )

    def _due(self) -> None:
        """Quotes whose wait is over go again, before anything newer."""
        now = self._clock()
        later = self._later
        n = 0
        while n < len(later) and later[n][0] <= now:
            n += 1
        self._retry.extend(entry for _, entry in later[:n])
        del later[:n]

    async def _publish(self, link: NatsLink) -> str:
        """Write while the link lives; the reason it ended."""
        pending, retry, inflight, wake = self._pending, self._retry, self._inflight, self._wake
        link.closed.add_done_callback(lambda _: wake.set())
        while link.is_open:
            if self._ack_overdue():
                self._failure = f"no acknowledgement within {ACK_TIMEOUT:g} s"
                break
            if self._later:
                self._due()
            if self._unbatched:
                room = min(BLOCK, self.window - len(inflight), self._unbatched)
            elif self._fast and self._fast_stream:
                # One batch at a time: a batch the server cut short is sent again
                # before anything newer can be stored, so order holds; the next
                # batch takes everything that arrived meanwhile.
                room = 0 if inflight else self.window
            else:
                room = min(BLOCK, self.window - len(inflight))
            if room <= 0 or not (pending or retry):
                wake.clear()
                try:
                    await asyncio.wait_for(wake.wait(), ACK_TIMEOUT / 4)
                except TimeoutError:
                    pass
                continue
            if retry:
                batch = [retry.popleft() for _ in range(min(room, len(retry)))]
                self.resent += len(batch)
            else:
                batch = self._encode(pending[:room])
                del pending[:room]
            if batch:
                try:
                    self._write(link, batch)
                except BaseException:
                    # What did not get into the window goes first on the next connection.
                    held = {id(entry) for entry in inflight.values()}
                    retry.extendleft(reversed([e for e in batch if id(e) not in held]))
                    raise
                if not link.writable:
                    try:
                        await asyncio.wait_for(link.drain(), DRAIN_TIMEOUT)
                    except TimeoutError:
                        self._failure = f"the server read nothing for {DRAIN_TIMEOUT:g} s"
                        break
            if pending or retry:
                await asyncio.sleep(0)  # let this turn's upstream quotes in before the next block
        return self._failure or link.error or "closed"

    def _write_now(self) -> None:
        """Hand everything waiting to the socket synchronously (at cancellation)."""
        link = self._link
        if link is None or not link.is_open or not (self._retry or self._pending):
            return
        try:
            batch = list(self._retry) + self._encode(self._pending)
            self._retry.clear()
            self._pending.clear()
            self._write(link, batch)
        except Exception as exc:  # the socket is going away with the process
            logger.warning("NATS: last quotes not written: %r", exc)

    async def flush(self, timeout: float = FLUSH_TIMEOUT) -> bool:
        """Wait until every quote received so far is acknowledged; False if some
        still wait after ``timeout`` seconds (NATS away or slow)."""
        deadline = self.loop.time() + timeout
        while self._pending or self._retry or self._inflight or self._later:
            if self.loop.time() >= deadline:
                return False
            self._wake.set()
            await asyncio.sleep(0.002)
        return True

    async def close(self, timeout: float = FLUSH_TIMEOUT) -> None:
        """Flush, stop the writer and close the NATS connection."""
        await self.flush(timeout)
        self._closing = True
        if self._task is not None:
            self._task.cancel()
            await asyncio.gather(self._task, return_exceptions=True)
        if self._link is not None:
            self._link.close()
