"""A client whose consumer is far behind, ended by close_websocket(), SIGINT
or SIGTERM: run by test_slow_close.py in a process of its own.

    python tests/slow_close_child.py LOOP HOW [--feed]

LOOP is asyncio or uvloop; HOW is close, SIGINT or SIGTERM. The local
service sends a burst that takes the consumer (2 ms of CPU a quote) about a
minute; once the consumer is under way the client is ended, and the child
prints one JSON line: seconds from the end's start to the loop's stop, the
quote bodies that ran after "Websocket disconnected.", the frames read after
the close, and the counts the test reads. Its stderr holds whatever the
program printed at exit.
"""

from __future__ import annotations

import asyncio
import gc
import json
import logging
import os
import signal
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))

from quotra import monitor, point_client
from quotra.quotra import Quotra
from quotra.service.thread import ServiceThread

WORK_S = 0.002  # the consumer's CPU per quote
BURST = 30_000  # about 60 s of the consumer's work
UNDER_WAY = 200  # quotes consumed before the end starts


def busy(seconds: float) -> None:
    end = time.thread_time() + seconds
    while time.thread_time() < end:
        pass


def main(loop_kind: str, how: str) -> None:
    with ServiceThread(call_timeout=300) as svc:
        os.environ["SSL_CERT_FILE"] = svc.ca_file
        if loop_kind == "uvloop":
            import uvloop

            loop = uvloop.new_event_loop()
        else:
            loop = asyncio.new_event_loop()
        asyncio.set_event_loop(loop)
        marks: dict[str, float] = {}
        bodies_after = 0
        consumed = 0

        class Mark(logging.Handler):
            def emit(self, record: logging.LogRecord) -> None:
                if record.getMessage() == "Websocket disconnected.":
                    marks.setdefault("disconnected", time.monotonic())

        log = logging.getLogger("quotra.quotra")
        log.setLevel(logging.INFO)
        log.addHandler(Mark())

        async def on_quote(quote: dict) -> None:
            nonlocal bodies_after, consumed
            if "disconnected" in marks:
                bodies_after += 1
            consumed += 1
            busy(WORK_S)

        client = point_client(Quotra(loop), svc.url)
        client.start_websocket(on_quote)

        def send_burst() -> None:
            try:
                svc.blast(BURST, instrument="ABC")
            except Exception:
                pass  # the connection closed under it

        async def drive() -> None:
            await asyncio.wait_for(client.IS_CONNECTED.wait(), 30)
            threading.Thread(target=send_burst, daemon=True).start()
            while consumed < UNDER_WAY:
                await asyncio.sleep(0.01)
            marks["began"] = time.monotonic()
            if how == "close":
                client.close_websocket()
            else:
                os.kill(os.getpid(), getattr(signal, how))

        driver = loop.create_task(drive())
        loop.run_forever()
        stopped = time.monotonic()
        assert driver.done()
        snap = monitor.snapshot(client)
        pending = [t for t in asyncio.all_tasks(loop) if not t.done()]
        loop.close()
        gc.collect()
        print(
            json.dumps(
                {
                    "seconds": stopped - marks["began"],
                    "bodies_after": bodies_after,
                    "consumed": consumed,
                    "frames_after_close": snap["frames_after_close"],
                    "pending": len(pending),
                    "disconnected": "disconnected" in marks,
                }
            ),
            flush=True,
        )


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
