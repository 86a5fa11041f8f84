"""Recording from the upstream service through a quotra client."""

from __future__ import annotations

import asyncio
import datetime
import logging
import os
from typing import Any

from .files import unfinished_files
from .writer import DatasetWriter

__all__ = ["record_direct", "report_unfinished", "TICK"]

logger = logging.getLogger("quotra.record")

TICK = 0.5


async def _tick(writer: DatasetWriter) -> None:
    while True:
        await asyncio.sleep(TICK)
        writer.tick()


def record_direct(
    loop: asyncio.AbstractEventLoop, client: Any, writer: DatasetWriter, instruments: list[str]
) -> int:
    """Record ``client``'s quotes of ``instruments`` until its shutdown (SIGINT,
    SIGTERM, or a first connection that fails) stops ``loop``; then finish the
    open files. Returns the connections opened."""
    opened = 0
    add = writer.add
    # A plain callback: the quote is stored when the client hands it over, with
    # no task per quote and nothing set on the loop. The client wants an
    # awaitable back; one future, finished once for all, serves every quote.
    done = loop.create_future()
    done.set_result(None)

    def on_quote(quote: dict[str, Any]) -> Any:
        add(quote)
        return done

    async def on_error(exc: BaseException) -> None:
        logger.warning("could not decode a quote frame: %r", exc)

    async def on_open(text: str) -> None:
        nonlocal opened
        opened += 1
        if opened == 1:
            logger.info("%s Subscribing to %s", text, ",".join(instruments))
            await client.subscribe(list(instruments))
        else:
            logger.info("%s (reconnected; the client resubscribes)", text)

    async def on_close(text: str) -> None:
        logger.info("%s", text)

    report_unfinished(writer.root)
    loop.create_task(_tick(writer), name="quotra-record tick")
    client.start_websocket(on_quote, on_error, on_open, on_close)
    try:
        loop.run_forever()  # the client's shutdown stops it, after cancelling the tick
    finally:
        writer.close()
    return opened


def report_unfinished(root: str) -> None:
    """Says what a recorder killed earlier lost with its open files: from the
    upstream service they do not come again (temporaries are never read)."""
    left = unfinished_files(root)
    for path, first, last in left[:10]:
        logger.warning(
            "an earlier run was killed with %s open: the quotes it received from %s to about %s "
            "are not in the recording",
            os.path.relpath(path, root),
            _utc(first),
            _utc(last),
        )
    if len(left) > 10:
        logger.warning("... and %d more such files", len(left) - 10)


def _utc(ns: int) -> str:
    return (
        datetime.datetime.fromtimestamp(ns / 1e9, datetime.UTC).strftime("%Y-%m-%d %H:%M:%S.%f")[
            :-3
        ]
        + "Z"
    )
