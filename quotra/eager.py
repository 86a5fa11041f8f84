"""Eager tasks for the client's callbacks, on asyncio's loop and on uvloop's.

With an eager task factory the loop's ``create_task`` runs the coroutine at
once, until it first suspends; a quote callback that returns without
awaiting then costs no trip through the loop's ready queue (about half the
CPU per quote). The callback runs inside the client's frame handler: a slow
callback delays the frames after it.

    loop.set_task_factory(quotra.eager.eager_task_factory)

On asyncio's own loop this is ``asyncio.eager_task_factory``. uvloop (0.23,
the version pinned here, on Python 3.13) passes ``eager_start=`` to every
task factory, which asyncio's factory does not accept: there every
``create_task`` fails with TypeError. This factory takes it, and an explicit ``eager_start=False``
still makes a task that waits its turn.
"""

from __future__ import annotations

import asyncio
from collections.abc import Coroutine
from types import CodeType
from typing import Any

__all__ = ["eager_task_factory", "eager_for"]


def eager_task_factory(
    loop: asyncio.AbstractEventLoop,
    coro: Coroutine[Any, Any, Any],
    *,
    eager_start: bool | None = None,
    **kwargs: Any,
) -> asyncio.Task[Any]:
    """A task factory (``loop.set_task_factory``) whose tasks start eagerly."""
    return asyncio.Task(
        coro, loop=loop, eager_start=True if eager_start is None else eager_start, **kwargs
    )


def eager_for(loop: asyncio.AbstractEventLoop, code: CodeType) -> None:
    """Start the coroutines of one function (its ``__code__``) eagerly on
    ``loop``, leaving every other coroutine to the loop's task factory as it
    was: the bridge's and the recorder's quote callbacks, which append and
    return, then never wait in the ready queue."""
    previous = loop.get_task_factory()
    Task = asyncio.Task

    def factory(
        loop: asyncio.AbstractEventLoop, coro: Coroutine[Any, Any, Any], **kwargs: Any
    ) -> asyncio.Future[Any]:
        if getattr(coro, "cr_code", None) is code:
            # uvloop passes eager_start= itself: ours decides here.
            kwargs.pop("eager_start", None)
            return Task(coro, loop=loop, eager_start=True, **kwargs)
        if previous is not None:
            return previous(loop, coro, **kwargs)
        if kwargs.get("eager_start") is None:
            kwargs.pop("eager_start", None)
        return Task(coro, loop=loop, **kwargs)

    loop.set_task_factory(factory)
