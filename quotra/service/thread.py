"""Runs a service on its own event loop in a background thread."""

from __future__ import annotations

import asyncio
import inspect
import threading
from collections.abc import Callable
from typing import Any

from .listening import report_loop_errors
from .server import MarketDataService

__all__ = ["ServiceThread"]


class ServiceThread:
    """Runs a ``MarketDataService`` on its own event loop in a daemon thread.

    ``with ServiceThread(**service_options) as svc:`` starts it and stops it
    on exit. Every method of the service is available on ``svc`` and runs on
    the service's loop; coroutine methods are awaited there, and the call
    returns their result here (``svc.wait_connections(1)``, ``svc.drop()``,
    ``svc.restart(down_for=1)``). Attributes (``port``, ``url``, ``ca_file``,
    ``connections``, ``events``, ``accepted``) read the live objects. Every
    call is bounded by ``call_timeout`` seconds (or the call's own
    ``timeout`` plus 5).
    """

    def __init__(
        self,
        service: MarketDataService | None = None,
        *,
        call_timeout: float = 30.0,
        **options: Any,
    ):
        if service is not None and options:
            raise TypeError("give either a service or its options, not both")
        self.service = service if service is not None else MarketDataService(**options)
        self.call_timeout = call_timeout
        self.loop: asyncio.AbstractEventLoop | None = None
        self._thread: threading.Thread | None = None

    def start(self) -> ServiceThread:
        if self._thread is not None:
            raise RuntimeError("already started")
        ready = threading.Event()

        def run() -> None:
            loop = asyncio.new_event_loop()
            report_loop_errors(loop)
            self.loop = loop
            asyncio.set_event_loop(loop)
            ready.set()
            try:
                loop.run_forever()
            finally:
                try:
                    pending = [t for t in asyncio.all_tasks(loop) if not t.done()]
                    for t in pending:
                        t.cancel()
                    if pending:
                        loop.run_until_complete(asyncio.wait(pending, timeout=2))
                finally:
                    loop.close()

        self._thread = threading.Thread(target=run, name="quotra.service", daemon=True)
        self._thread.start()
        if not ready.wait(10):
            raise RuntimeError("service thread did not start")
        try:
            self.call(self.service.start)
        except BaseException:
            self._end_thread(10.0)
            raise
        return self

    def stop(self, timeout: float = 10.0) -> None:
        if self._thread is None or self.loop is None:
            return
        try:
            if self.loop.is_running():
                self.call(self.service.stop, _timeout=timeout)
        finally:
            self._end_thread(timeout)

    def _end_thread(self, timeout: float) -> None:
        if self.loop is not None and not self.loop.is_closed():
            self.loop.call_soon_threadsafe(self.loop.stop)
        if self._thread is not None:
            self._thread.join(timeout)
            self._thread = None

    def __enter__(self) -> ServiceThread:
        return self.start()

    def __exit__(self, *exc: object) -> None:
        self.stop()

    def call(
        self, fn: Callable[..., Any], *args: Any, _timeout: float | None = None, **kwargs: Any
    ) -> Any:
        """Run ``fn(*args, **kwargs)`` on the service loop (awaiting it if it
        returns an awaitable) and return its result."""
        if self.loop is None:
            raise RuntimeError("service thread not started")

        async def runner() -> Any:
            result = fn(*args, **kwargs)
            if inspect.isawaitable(result):
                result = await result
            return result

        if _timeout is None:
            inner = kwargs.get("timeout")
            _timeout = (
                max(self.call_timeout, inner + 5.0)
                if isinstance(inner, (int, float))
                else self.call_timeout
            )
        future = asyncio.run_coroutine_threadsafe(runner(), self.loop)
        try:
            return future.result(_timeout)
        except TimeoutError:
            future.cancel()
            raise

    def __getattr__(self, name: str) -> Any:
        attr = getattr(self.service, name)
        if callable(attr) and not isinstance(attr, type):

            def proxy(*args: Any, **kwargs: Any) -> Any:
                return self.call(attr, *args, **kwargs)

            proxy.__name__ = name
            proxy.__doc__ = getattr(attr, "__doc__", None)
            return proxy
        return attr
