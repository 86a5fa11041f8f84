"""The bridge's writer before acknowledgements, kept as the benchmark's baseline
(``bench/run-bridge``): once per loop turn, the buffered quotes as one block of
plain ``PUB`` commands written to nats-py's socket, counted as published when
written; the stream made or updated to the bridge's settings on every
connection. Everything else (the quote path, the buffer, the command line) is
today's bridge.

    python -m bench.old_bridge [quotra-bridge's options]
"""

from __future__ import annotations

import asyncio
import logging
import sys

import orjson

from quotra.bridge import cli
from quotra.bridge.names import RETRY_FIRST, RETRY_MAX, check_instrument, nats
from quotra.bridge.publisher import Bridge

logger = logging.getLogger("quotra.bridge")
BLOCK = 4096


class OldBridge(Bridge):
    def _head(self, instrument):
        try:
            head = b"PUB %s.%s " % (
                self.subject_prefix.encode(),
                check_instrument(instrument).encode(),
            )
        except (TypeError, ValueError) as exc:
            logger.error("quotes of %r are not published: %s", instrument, exc)
            head = None
        if isinstance(instrument, str):
            self._heads[instrument] = head
        return head

    def _encode(self, batch):
        out = []
        add = out.append
        heads = self._heads
        dumps = orjson.dumps
        for quote in batch:
            try:
                head = heads[quote["instrument"]]
            except (KeyError, TypeError):
                head = self._head(quote.get("instrument") if isinstance(quote, dict) else None)
            if head is None:
                self.refused += 1
                continue
            payload = dumps(quote)
            add(b"%s%d\r\n%s\r\n" % (head, len(payload), payload))
        return b"".join(out), len(out)

    async def _run(self) -> None:
        from nats.js.api import DiscardPolicy, StorageType, StreamConfig
        from nats.js.errors import NotFoundError

        delay = RETRY_FIRST
        while not self._closing:
            closed = asyncio.Event()

            async def on_closed(closed=closed) -> None:
                closed.set()
                self._connected.clear()
                self._wake.set()

            try:
                nc = await nats().connect(
                    self.servers[0],
                    allow_reconnect=False,
                    max_reconnect_attempts=1,
                    connect_timeout=2,
                    closed_cb=on_closed,
                )
                js = nc.jetstream()
                config = StreamConfig(
                    name=self.stream,
                    subjects=[f"{self.subject_prefix}.>"],
                    max_msgs_per_subject=self.max_per_subject,
                    max_age=self.max_age,
                    storage=StorageType(self.storage),
                    discard=DiscardPolicy.OLD,
                )
                try:
                    await js.stream_info(self.stream)
                except NotFoundError:
                    await js.add_stream(config)
                else:
                    await js.update_stream(config)
            except Exception as exc:
                logger.warning("NATS not reachable (%s)", exc)
                await asyncio.sleep(delay)
                delay = min(RETRY_MAX, delay * 2)
                continue
            self._nc = nc
            self.connections += 1
            self._connected.set()
            pending, wake, transport = self._pending, self._wake, nc._transport
            while not closed.is_set():
                if not pending:
                    wake.clear()
                    await wake.wait()
                    continue
                block, count = self._encode(pending[:BLOCK])
                del pending[:BLOCK]
                self.published += count  # counted when written: the fault this baseline has
                transport.write(block)
                await transport.drain()
                if pending:
                    await asyncio.sleep(0)

    async def flush(self, timeout: float = 2.0) -> bool:
        deadline = self.loop.time() + timeout
        while self._pending and self.connected and self.loop.time() < deadline:
            self._wake.set()
            await asyncio.sleep(0.001)
        if self.connected:
            await self._nc.flush(timeout=max(0.05, deadline - self.loop.time()))
        return not self._pending


if __name__ == "__main__":
    cli.Bridge = OldBridge
    sys.exit(cli.main())
