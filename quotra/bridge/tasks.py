"""Quote tasks that start eagerly: the bridge's callback costs no trip through the loop."""

from __future__ import annotations

import asyncio

__all__ = ["eager_quotes"]


def eager_quotes(loop: asyncio.AbstractEventLoop, code) -> None:
    """Start the coroutines of ``code`` eagerly on ``loop``: inside
    ``create_task``, so one that finishes without suspending never goes
    through the ready queue. Every other coroutine keeps the loop's own
    task factory."""
    previous = loop.get_task_factory()
    Task = asyncio.Task

    def factory(loop, coro, **kwargs):
        if getattr(coro, "cr_code", None) is code:
            return Task(coro, loop=loop, eager_start=True, **kwargs)
        if previous is not None:
            return previous(loop, coro, **kwargs)
        return Task(coro, loop=loop, **kwargs)

    loop.set_task_factory(factory)
