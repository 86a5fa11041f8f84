"""The listening socket: starting, stopping and restarting the service on
one port, its certificate, and refusing connections (socket closed, or
upgrades answered 503)."""

from __future__ import annotations

import asyncio
import logging
from http import HTTPStatus
from typing import Any, Self, cast

from picows import (
    WSUpgradeRequest,
    WSUpgradeResponse,
    WSUpgradeResponseWithListener,
    ws_create_server,
)

from .parts import ServiceParts
from .protocol import ConnectionProtocol, Listener
from .tls import check_tls_mode

__all__ = ["ListeningSocket", "report_loop_errors"]

logger = logging.getLogger("quotra.service")


def report_loop_errors(loop: asyncio.AbstractEventLoop) -> None:
    """Report the loop's errors as its default handler does, with one repair:
    the TLS transport picows uses on the server side reports a handshake the
    client refused (its certificate check failed) with the exception's class
    instead of an instance, and the default handler's traceback of a class
    fails inside logging ('--- Logging error ---', the report lost)."""

    def handler(loop: asyncio.AbstractEventLoop, context: dict[str, Any]) -> None:
        exc = context.get("exception")
        if isinstance(exc, type) and issubclass(exc, BaseException):
            context = dict(context)
            try:
                context["exception"] = exc()
            except Exception:
                del context["exception"]
                context["message"] = f"{context.get('message', 'error')}: {exc.__name__}"
        loop.default_exception_handler(context)

    loop.set_exception_handler(handler)


class ListeningSocket(ServiceParts):
    """The service's listening socket, as a part of ``MarketDataService``:
    it owns ``_server`` (None while not listening), ``_old_servers`` (to wait
    for their closing), ``_reject`` and the port kept across starts."""

    async def start(self) -> Self:
        """Start listening (on the same port as before, if it ran before)."""
        loop = asyncio.get_running_loop()
        if self._loop is not None and self._loop is not loop and self._loop.is_running():
            raise RuntimeError("MarketDataService is bound to another running event loop")
        self._loop = loop
        self._started = True
        if self._server is None:
            await self._listen()
        return self

    async def stop(self, *, graceful: bool = True, timeout: float = 2.0) -> None:
        """Stop listening and end every connection.

        ``graceful``: send CLOSE 1001 "service stopping" and close the TCP
        connection after it; otherwise drop the connections abruptly. Waits up
        to ``timeout`` seconds for them to end, then aborts what is left.
        """
        self._started = False
        for h in self._timers:
            h.cancel()
        self._timers.clear()
        self._unlisten()
        for conn in self.open_connections:
            if graceful:
                self._send_close(conn, 1001, b"service stopping")
                conn.link.disconnect(True)
            else:
                conn.link.disconnect(False)
        try:
            await self.wait_for(
                lambda: not self.open_connections, timeout, "all connections closed"
            )
        except TimeoutError:
            for conn in self.open_connections:
                conn.link.disconnect(False)
        for conn in self.connections:
            if conn._task is not None and not conn._task.done():
                conn._task.cancel()
        servers, self._old_servers = self._old_servers, []
        for server in servers:
            # A connection still in its handshake has no record yet, and the
            # server waits for it to end: end it as the others.
            end_clients = getattr(server, "close_clients" if graceful else "abort_clients", None)
            if end_clients is not None:
                end_clients()
            try:
                await asyncio.wait_for(server.wait_closed(), timeout)
            except TimeoutError:
                logger.warning("server %r did not close within %.1fs", server, timeout)

    async def restart(
        self, *, down_for: float = 0.0, tls: str | None = None, graceful: bool = True
    ) -> None:
        """Stop, stay down ``down_for`` seconds, and start again on the same port
        (optionally presenting another certificate, ``tls``)."""
        await self.stop(graceful=graceful)
        if tls is not None:
            self.set_tls(tls)
        if down_for > 0:
            await asyncio.sleep(down_for)
        await self.start()

    async def __aenter__(self) -> Self:
        return await self.start()

    async def __aexit__(self, *exc: object) -> None:
        await self.stop()

    def set_tls(self, mode: str) -> None:
        """Choose the certificate for the next start or reopening (``TLS_MODES``)."""
        self.tls = check_tls_mode(mode)

    async def _listen(self) -> None:
        server = await ws_create_server(
            self._listener_factory,
            self.host,
            self.port,
            ssl=self._tls.server_context(self.tls),
            # PINGs are answered by us so that tests can switch it off per connection.
            enable_auto_pong=False,
            websocket_handshake_timeout=5,
            logger_name="quotra.service",
        )
        self._server = server
        self._old_servers.append(server)
        if not self.port:
            self.port = server.sockets[0].getsockname()[1]
        logger.info("listening on %s (tls=%s)", self.url, self.tls)

    def _unlisten(self) -> None:
        if self._server is not None:
            # Closes only the listening socket: connections stay until they end.
            self._server.close()
            self._server = None
            logger.info("listening socket on port %s closed", self.port)

    def _listener_factory(
        self, request: WSUpgradeRequest
    ) -> Listener | WSUpgradeResponseWithListener:
        if self._reject:
            self._event("reject", None)
            self._notify()
            response = WSUpgradeResponse.create_error_response(
                HTTPStatus.SERVICE_UNAVAILABLE, b"refusing connections"
            )
            return WSUpgradeResponseWithListener(response, None)
        return Listener(cast(ConnectionProtocol, self), request.path)

    # -- refusing connections -------------------------------------------------

    async def refuse(self, duration: float | None = None, *, mode: str = "close") -> None:
        """Refuse new connections; existing ones go on.

        ``mode="close"``: close the listening socket (connection attempts fail
        with "connection refused"); ``mode="reject"``: keep listening but
        answer every upgrade with HTTP 503. With ``duration``, accept again
        after that many seconds (reopening on the same port); otherwise until
        ``accept()``.
        """
        if mode not in ("close", "reject"):
            raise ValueError("mode must be 'close' or 'reject'")
        if mode == "close":
            self._unlisten()
        else:
            self._reject = True
        if duration is not None:
            self._call_later(duration, lambda: self._spawn(self.accept()))

    async def accept(self) -> None:
        """Accept connections again after ``refuse``."""
        self._reject = False
        if self._started and self._server is None:
            await self._listen()
