# Type stubs for the native module quotra.quotra (quotra/*.cpp).
#
# The signatures are those that inspect.signature() reports for the built
# module (tests/test_stubs.py compares the two); the types say what the client
# expects and passes.

import asyncio as asyncio
import base64 as base64
import logging as logging
import signal as signal
import socket as socket
import ssl as ssl
from collections.abc import Callable, Coroutine
from functools import wraps as wraps
from typing import Any, ParamSpec, TypeVar

import orjson as orjson
from picows import WSAutoPingStrategy as WSAutoPingStrategy
from picows import WSCloseCode as WSCloseCode
from picows import WSError as WSError
from picows import WSFrame, WSListener, WSTransport
from picows import WSMsgType as WSMsgType
from picows import ws_connect as ws_connect
from typing_extensions import disjoint_base

from .pricetape_proto import pricetape as pricetape

_P = ParamSpec("_P")
_R = TypeVar("_R")

# One decoded quote: every field of the price message (quotra.pricetape_proto.FIELDS)
# under its own name; str, int and float values.
_Quote = dict[str, Any]
# The callbacks are coroutine functions: the client calls them on the loop's
# thread and schedules what they return with loop.create_task() (another
# awaitable with asyncio.ensure_future; a result that is not awaitable is
# dropped, with one ERROR line per callback).
_MessageCallback = Callable[[_Quote], Coroutine[Any, Any, object]]
_ErrorCallback = Callable[[Exception], Coroutine[Any, Any, object]]
_TextCallback = Callable[[str], Coroutine[Any, Any, object]]

__author__: str
__test__: dict[str, Any]
logger: logging.Logger

# Both classes have fixed native layouts: neither can be combined with another
# layout in one subclass.
@disjoint_base
class Quotra:
    """Streaming client on the caller's asyncio loop.

    ``Quotra(loop)`` installs SIGINT/SIGTERM handlers on ``loop``; a signal or
    ``close_websocket()`` closes the connection, cancels every other task on
    the loop and stops it.
    """

    # An asyncio.Event, set while a connection is open. The attribute accepts
    # any value and reads None after ``del``.
    IS_CONNECTED: asyncio.Event
    def __init__(self, loop: asyncio.AbstractEventLoop) -> None: ...
    def start_websocket(
        self,
        message_update_callback: _MessageCallback,
        error_callback: _ErrorCallback | None = None,
        open_callback: _TextCallback | None = None,
        close_callback: _TextCallback | None = None,
    ) -> None:
        """Store the callbacks and schedule the first connection attempt on the loop.

        A callback that is a plain function still runs; what it returns, if not
        awaitable, is dropped with one ERROR line naming it. Raises
        ``RuntimeError`` if called again before the client has shut down."""
    async def start_ticker(self, reconnect: bool = False) -> None:
        """One connection attempt; returns when that connection has ended."""
    def close_websocket(self) -> None:
        """Send a close frame (code 1000); the client shuts down once the server has closed.

        Once started, before its first connection or while it reconnects after
        a lost one, the client makes no new attempt (the one under way is
        cancelled, a connection that opens meanwhile is closed at once) and
        shuts down. Called before ``start_websocket``, the first connection
        still opens and its end is final."""
    async def subscribe(self, instruments: list[str]) -> None:
        """Send ``{"subscribe":[...]}`` and add the instruments to the subscription set."""
    async def unsubscribe(self, instruments: list[str]) -> None:
        """Send ``{"unsubscribe":[...]}`` and remove the instruments from the subscription set."""
    async def _resubscribe(self) -> None: ...
    async def stop_signal_handler(self, *args: Any, **kwargs: Any) -> None:
        """What SIGINT/SIGTERM run: close, wait up to 2 s for the server's close, shut down."""
    @staticmethod
    async def shutdown(loop: asyncio.AbstractEventLoop) -> None:
        """Cancel and await every other task of the running loop, then stop ``loop``."""
    @staticmethod
    def run_in_thread() -> Callable[[Callable[_P, _R]], Callable[_P, Coroutine[Any, Any, _R]]]:
        """A decorator that turns a plain method into a coroutine function running it in a worker thread."""
    def __reduce_cython__(self) -> tuple[Any, ...]: ...
    def __setstate_cython__(self, __pyx_state: tuple[Any, ...] | None) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, __pyx_state: tuple[Any, ...] | None) -> None: ...

@disjoint_base
class QuotraListner(WSListener):
    """picows listener of one connection attempt of a Quotra client (made by start_ticker)."""

    def __init__(self, parent: Quotra, loop: asyncio.AbstractEventLoop) -> None: ...
    def send_user_specific_ping(self, transport: WSTransport) -> None: ...
    def on_ws_connected(self, transport: WSTransport) -> None: ...
    def on_ws_frame(self, transport: WSTransport, frame: WSFrame) -> None: ...
    def on_ws_disconnected(self, transport: WSTransport) -> None: ...
    def __reduce_cython__(self) -> tuple[Any, ...]: ...
    def __setstate_cython__(self, __pyx_state: tuple[Any, ...] | None) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...
    def __setstate__(self, __pyx_state: tuple[Any, ...] | None) -> None: ...

def __pyx_unpickle_Quotra(
    __pyx_type: type[Quotra], __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None
) -> Quotra: ...
def __pyx_unpickle_QuotraListner(
    __pyx_type: type[QuotraListner], __pyx_checksum: int, __pyx_state: tuple[Any, ...] | None
) -> QuotraListner: ...
