import asyncio
import gc
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parent.parent
if str(ROOT) not in sys.path:
    sys.path.insert(0, str(ROOT))


def pytest_terminal_summary(terminalreporter, config):
    # The order is random (pytest-randomly); its seed repeats it, also under -q.
    seed = getattr(config.option, "randomly_seed", None)
    if config.pluginmanager.hasplugin("randomly") and isinstance(seed, int):
        terminalreporter.write_line(f"random order: --randomly-seed={seed} repeats it")


@pytest.fixture(autouse=True)
def module_left_as_found():
    """Tests swap stand-ins into the client's module (its globals are looked up
    at each use): each test must leave every name as it found it, in its order,
    or the tests after it run against the stand-in."""
    import quotra.quotra as qm

    before = list(vars(qm).items())
    yield
    after = list(vars(qm).items())
    # A re-import makes the interpreter's own entries anew, equal to the old.
    changed = [
        name
        for (name, value), (name2, value2) in zip(before, after)
        if name != name2
        or (value is not value2 and not (name.startswith("__") and value == value2))
    ]
    assert len(before) == len(after) and not changed, (
        f"the test left quotra.quotra changed: {changed}"
    )


@pytest.fixture
def loop():
    lp = asyncio.new_event_loop()
    asyncio.set_event_loop(lp)
    try:
        yield lp
    finally:
        # Let scheduled tasks finish their cancellation before closing.
        from harness import cancel_pending

        cancel_pending(lp, 5)
        lp.close()
        asyncio.set_event_loop(None)
        gc.collect()


class SignalLoop:
    """A stand-in loop that records signal handlers instead of installing them."""

    def __init__(self):
        self.handlers = {}

    def add_signal_handler(self, signum, callback, *args):
        self.handlers[signum] = callback


@pytest.fixture
def client_timings():
    """The client's timings scaled as in ``ClientSession`` (``harness.FAST``)
    for the test; the test may change the factors on the object it gets."""
    from harness import FAST, ClientTimings

    with ClientTimings(**FAST) as timings:
        yield timings
