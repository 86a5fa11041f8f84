"""A close or a signal ends the client within seconds however far behind its
consumer is: the child (slow_close_child.py) streams a burst that takes its
consumer about a minute, then ends the client while the loop is saturated
with quote tasks, on asyncio's loop and on uvloop's."""

import json
import os
import subprocess
import sys

import pytest

from conftest import ROOT
from harness import limit

pytest.importorskip("uvloop")

CHILD = os.path.join(ROOT, "tests", "slow_close_child.py")
# What the program may print at exit: the local service's own warnings about
# writes to the connection the client closed (it runs in the same process).
SERVICE_LINES = ("SSL connection is closed",)
ENDS = ["close", "SIGINT", "SIGTERM"]


@pytest.mark.parametrize("how", ENDS)
@pytest.mark.parametrize("loop_kind", ["asyncio", "uvloop"])
def test_the_end_of_a_client_whose_consumer_is_far_behind(loop_kind, how):
    proc = subprocess.run(
        [sys.executable, CHILD, loop_kind, how],
        capture_output=True,
        text=True,
        timeout=limit(120),
        cwd=ROOT,
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    got = json.loads(proc.stdout.strip().splitlines()[-1])
    # The order stays (close, the wait, the cancellations, the stop), and it
    # all fits in 3 s: the server's close answer is reached through the
    # messages still arriving, which are read and dropped, not decoded.
    assert got["disconnected"], got
    assert got["seconds"] < limit(3.0), got
    assert got["frames_after_close"] > 0, got
    # No quote body runs after "Websocket disconnected.", and every task the
    # shutdown cancelled has finished when the loop stops.
    assert got["bodies_after"] == 0, got
    assert got["pending"] == 0, got
    printed = [
        line
        for line in proc.stderr.splitlines()
        if line.strip() and not any(s in line for s in SERVICE_LINES)
    ]
    assert printed == [], printed[:20]
