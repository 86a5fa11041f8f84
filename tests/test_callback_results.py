"""What becomes of a message callback's result that is not a coroutine:
create_task's TypeError to the error callback for each quote (the quote
counted as delivered, not as a failed frame), one ERROR line for the
callback saying whether its body ran; an awaitable of the client's loop is
run as it is."""

import asyncio
import logging
import types

import pytest

from quotra import monitor
from test_eager_tasks import Fed, quote_frame

other_loop = asyncio.new_event_loop()
other_loop.close()  # its futures belong to it all the same


def gen(q):
    yield q


async def agen(q):
    yield q


@types.coroutine
def old_style(q):
    yield


def own_future(q):
    f = asyncio.get_event_loop().create_future()
    f.set_result(None)
    return f


# name: (the callback, the words of the one ERROR line, or None for none;
# whether each quote's TypeError goes to the error callback)
RESULTS = {
    "None": (lambda q: None, "which is not awaitable: it ran", True),
    "a generator": (gen, "a generator: its body was not run", True),
    "a generator-based coroutine": (old_style, "a generator: its body was not run", True),
    "an async generator": (agen, "an async generator: its body was not run", True),
    "a Future of another loop": (
        lambda q: other_loop.create_future(),
        "a Future of another event loop",
        True,
    ),
    "a Future of the client's loop": (own_future, None, False),
}


@pytest.mark.parametrize("callback, words, to_error", RESULTS.values(), ids=RESULTS)
def test_a_result_that_is_not_a_coroutine(caplog, callback, words, to_error):
    caplog.set_level(logging.ERROR, logger="quotra.quotra")
    fed = Fed("asyncio", on_msg=callback)
    try:
        fed.feed(quote_frame(1.0) + quote_frame(2.0) + quote_frame(3.0))
        fed.loop.run_until_complete(asyncio.sleep(0.01))
        errors = [e for e in fed.events if e[0] == "err"]
        assert errors == ([("err", "TypeError")] * 3 if to_error else [])
        lines = [r.getMessage() for r in caplog.records if r.name == "quotra.quotra"]
        if words is None:
            assert lines == []
        else:
            assert len(lines) == 1 and words in lines[0], lines
        snap = monitor.snapshot(fed.client)
        assert (snap["quotes"], snap["quote_errors"]) == (3, 0)
        assert fed.loop_errors == []
    finally:
        fed.close()
