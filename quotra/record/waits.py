"""Waiting on the NATS servers, for the recorder: every wait ends when the
recorder is stopped, a failure that passes (no connection, a leader being
elected) is tried again after a growing pause and said once, and the
connection is opened with the shared NATS options."""

from __future__ import annotations

import asyncio
import logging
import signal
from collections.abc import Awaitable, Callable
from typing import Any

from ..bridge.consumer import describe
from ..bridge.options import NatsOptions

__all__ = ["Stopped", "ServerWaits", "transient", "close", "install_stop"]

logger = logging.getLogger("quotra.record")

RETRY_FIRST = 0.1
RETRY_MAX = 2.0


class Stopped(Exception):
    """``stop()`` was called while waiting on the server."""


def transient(exc: BaseException) -> bool:
    """A failure that passes (no connection, a leader being elected, no
    answer in time), as against the server refusing what was asked."""
    import nats.errors
    import nats.js.errors

    if isinstance(exc, nats.js.errors.ServiceUnavailableError):
        return True
    if isinstance(exc, nats.js.errors.APIError):
        return exc.code in (None, 408, 503)
    return isinstance(exc, (nats.errors.Error, TimeoutError, OSError))


class ServerWaits:
    """The waits of one recorder, all ended by ``stop``."""

    def __init__(self, stop: asyncio.Event):
        self.stop = stop

    async def bounded(self, aw: Any) -> Any:
        """``aw``'s result, or ``Stopped`` as soon as ``stop`` is set."""
        if self.stop.is_set():
            if asyncio.iscoroutine(aw):
                aw.close()
            raise Stopped
        task = asyncio.ensure_future(aw)
        stopper = asyncio.ensure_future(self.stop.wait())
        try:
            await asyncio.wait((task, stopper), return_when=asyncio.FIRST_COMPLETED)
        finally:
            stopper.cancel()
            if not task.done():
                task.cancel()
                await asyncio.wait((task,), timeout=1.0)
        if task.cancelled() or not task.done():
            raise Stopped
        return task.result()

    async def sleep(self, seconds: float) -> None:
        try:
            await asyncio.wait_for(self.stop.wait(), seconds)
        except TimeoutError:
            pass

    async def retrying(
        self,
        what: str,
        call: Callable[[], Awaitable[Any]],
        passes: Callable[[BaseException], bool | None] = transient,
    ) -> Any:
        """``await call()`` until it succeeds; a failure that ``passes`` is
        logged once at WARNING (then at DEBUG; ``passes`` None: the caller
        said it) and tried again after a growing pause; any other is raised.
        ``Stopped`` ends the wait."""
        delay = RETRY_FIRST
        warned = False
        while True:
            try:
                result = await self.bounded(call())
            except Stopped:
                raise
            except Exception as exc:
                verdict = passes(exc)
                if verdict is False:
                    raise
                if warned or verdict is None:
                    logger.debug("NATS %s: %s; trying again", what, describe(exc))
                else:
                    warned = True
                    logger.warning(
                        "NATS %s: %s; trying again until it answers", what, describe(exc)
                    )
                await self.sleep(delay)
                if self.stop.is_set():
                    raise Stopped from None
                delay = min(RETRY_MAX, delay * 2)
                continue
            if warned:
                logger.info("NATS %s: answered", what)
            return result

    async def connect(self, options: NatsOptions, name: str) -> Any:
        """A connection to one of ``options``' servers, reconnecting for ever;
        the first failure and the way back are said once each."""
        from nats.aio.client import Client

        closing = False
        warned = False
        shown = options.describe()

        def where() -> str:
            return nc.connected_url.netloc.rpartition("@")[2] if nc.connected_url else shown

        async def on_error(exc: Exception) -> None:
            nonlocal warned
            if warned or closing or nc.is_connected or nc.is_reconnecting:
                logger.debug("NATS: %s", describe(exc))
                return
            warned = True
            logger.warning(
                "NATS: cannot reach %s (%s); retrying until it answers", shown, describe(exc)
            )

        async def on_disconnected() -> None:
            nonlocal warned
            if not closing and not self.stop.is_set() and not warned:
                warned = True
                logger.warning("NATS: connection to %s lost; reconnecting", shown)

        async def on_reconnected() -> None:
            nonlocal warned
            warned = False
            logger.warning("NATS: reconnected to %s", where())

        nc = Client()
        try:
            await self.bounded(
                nc.connect(
                    servers=options.ordered_servers(),
                    max_reconnect_attempts=-1,
                    reconnect_time_wait=0.5,  # type: ignore[arg-type]  # a float is what it sleeps
                    connect_timeout=2,
                    name=name,
                    error_cb=on_error,
                    disconnected_cb=on_disconnected,
                    reconnected_cb=on_reconnected,
                    **options.nats_py_kwargs(),
                )
            )
        except BaseException:
            closing = True
            await close(nc)
            raise
        if warned:
            warned = False
            logger.warning("NATS: connected to %s", where())
        return nc


async def close(nc: Any) -> None:
    """Close the connection, giving up after a moment (no server to say goodbye to)."""
    try:
        await asyncio.wait_for(nc.close(), 1.0)
    except Exception as exc:
        logger.debug("NATS close: %s", describe(exc))


def install_stop(loop: asyncio.AbstractEventLoop, stop: Callable[[], object]) -> None:
    for sig in (signal.SIGINT, signal.SIGTERM):
        loop.add_signal_handler(sig, stop)
