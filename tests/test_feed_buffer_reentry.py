"""quotra._quiet.FeedBuffer called again from inside its own work: Python
code it runs midway (the finalizer of a quote it lets go, a waiter's
methods) takes from it or changes what it holds. Each case runs in a
process of its own, so that a fault is a failed case, not a crashed run."""

import subprocess
import sys

import pytest

# name: a script run in a process of its own (a fault here is a crash), whose
# last line printed must be "ok": Python code the buffer runs in the middle
# of its own work (a finalizer of a quote it lets go, a waiter's methods)
# calls the buffer again.
REENTRY = {
    "a dropped quote's finalizer takes from the buffer": """
class Takes:
    def __del__(self):
        got.append(buf.take())
got = []
buf = FeedBuffer(logger, 1, False)
buf({"instrument": "A", "x": Takes()})
buf({"instrument": "B"})  # drops A, whose finalizer finds the queue empty
assert got == [None], got
assert buf.take() == {"instrument": "B"} and buf.take() is None
assert buf.counters()["dropped"] == 1
""",
    "superseded quotes' finalizers take while the buffer sweeps them": """
class Takes:
    def __del__(self):
        got.append(buf.take())
got = []
buf = FeedBuffer(logger, 10, True)
for i in range(200):
    buf({"instrument": "A", "i": i, "x": Takes()})
left = []
while (q := buf.take()) is not None:
    left.append(q["i"])
handed = sorted(q["i"] for q in got if q is not None) + left
# Each handed over once, the latest of its time; every other one superseded.
assert handed == sorted(set(handed)) and handed[-1] == 199, handed
c = buf.counters()
assert c["delivered"] == len(handed) and c["delivered"] + c["conflated"] == 200, c
""",
    "a waiter's done() empties the list that holds it": """
class Waiter:
    def done(self):
        held.clear()  # the only reference to this waiter
        return False
    def set_result(self, value):
        woken.append(value)
woken = []
buf = FeedBuffer(logger, 10, False)
held = buf.waiters
held.append(Waiter())
buf({"instrument": "A"})
assert woken == [None], woken
""",
}


@pytest.mark.parametrize("script", REENTRY.values(), ids=REENTRY)
def test_the_buffer_called_again_from_inside(script):
    head = "import logging\nfrom quotra._quiet import FeedBuffer\nlogger = logging.getLogger('t')\n"
    run = subprocess.run(
        [sys.executable, "-c", head + script + "\nimport gc; gc.collect(); print('ok')"],
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert run.returncode == 0 and run.stdout.strip().endswith("ok"), run.stderr[-2000:]
