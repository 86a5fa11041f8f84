"""The recorder's benchmark: quotes per second recorded from the service
(direct source) against the direct client in the same run, bytes on disk per
million quotes, and the recorder's resident size over a long run with rolled
files.

    bench/run-record [--quotes N] [--long N] [--reps N]
    python -m bench.record [...]

All on 127.0.0.1, with processes of its own:

1. the service (``python -m bench.record serve``): a pool of random-walk
   quotes over eight instruments (``POOL`` of them, each encoded once, so the
   files hold quotes as varied as a real feed's for longer than a row group),
   sent round the pool as fast as the receiver takes them, many frames per
   write to the TLS transport, with the transport's flow control;
2. per round, the direct client (``python -m bench.record client``: a Quotra
   client whose callback counts) and the recorder (``quotra-record`` writing a
   dataset in a temporary directory) each take ``--quotes`` quotes, ``--reps`` rounds, the medians reported; the time
   runs from the send command to the receiver's last quote (the client says
   so; the recorder's ``quotra_record_received_total`` is read every 20 ms);
3. one long recorder run of ``--long`` quotes, files rolled every
   ``--long-roll-rows`` (500,000): its resident size (``/proc/<pid>/status``) after 1 M and at the end,
   and the dataset's bytes per million quotes.

Prints a Markdown report and, with ``--json FILE``, writes the figures.
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time

from bench.record_report import free_port, metrics, report, rss_mib

INSTRUMENTS = ("AAA", "BBB", "CCC", "DDD", "EEE", "FFF", "GGG", "HHH")
POOL = 200_000
BLOCK = 16 * 1024
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


# ---------------------------------------------------------------------------
# The service process
# ---------------------------------------------------------------------------


def make_blocks(pool: int) -> list[tuple[bytes, int]]:
    """The pool's frames joined into writes of about ``BLOCK`` bytes."""
    from quotra.service.market import Market, encode_quote, text_frame

    market = Market(11)
    blocks, parts, size = [], [], 0
    for i in range(pool):
        frame = text_frame(encode_quote(market.quote(INSTRUMENTS[i % len(INSTRUMENTS)])))
        parts.append(frame)
        size += len(frame)
        if size >= BLOCK:
            blocks.append((b"".join(parts), len(parts)))
            parts, size = [], 0
    if parts:
        blocks.append((b"".join(parts), len(parts)))
    return blocks


async def send(svc, blocks, n: int) -> int:
    conn = await svc.wait_for(
        lambda: next((c for c in svc.open_connections if c.subscribed), None),
        60,
        "a subscribed connection",
    )
    sent = i = 0
    while sent < n and conn.is_open:
        data, k = blocks[i % len(blocks)]
        i += 1
        if sent + k > n:  # the last write: whole frames only, cut from a block of the same pool
            data, k = _cut(data, n - sent), n - sent
        if not conn.writable.is_set():
            await conn.writable.wait()
            if not conn.is_open:
                break
        conn.transport.underlying_transport.write(data)
        sent += k
        conn.quotes_sent += k
    return sent


def _cut(block: bytes, frames: int) -> bytes:
    """The first ``frames`` frames of a block (server frames: 2- or 4-byte headers)."""
    pos = 0
    for _ in range(frames):
        n = block[pos + 1] & 0x7F
        head = 2
        if n == 126:
            n, head = int.from_bytes(block[pos + 2 : pos + 4], "big"), 4
        pos += head + n
    return block[:pos]


async def serve(pool: int) -> None:
    from quotra.service import MarketDataService

    blocks = make_blocks(pool)
    svc = MarketDataService(record_sent=0, keep_ended=False)
    await svc.start()
    print(json.dumps({"url": svc.url, "ca_file": svc.ca_file}), flush=True)
    loop = asyncio.get_running_loop()
    try:
        while True:
            line = await loop.run_in_executor(None, sys.stdin.readline)
            if not line or line.strip() == "quit":
                break
            n = int(line.split()[1])
            t0 = time.perf_counter()
            sent = await send(svc, blocks, n)
            print(json.dumps({"sent": sent, "seconds": time.perf_counter() - t0}), flush=True)
    finally:
        await svc.stop(graceful=False)
        svc.close_files()


# ---------------------------------------------------------------------------
# The direct client
# ---------------------------------------------------------------------------


def client(url: str, n: int) -> None:
    """Count ``n`` quotes, print when the last came, and close."""
    from quotra import point_client
    from quotra.quotra import Quotra

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    c = point_client(Quotra(loop), url)
    count = 0

    async def on_quote(quote):
        nonlocal count
        count += 1
        if count == n:
            print(json.dumps({"done": time.time()}), flush=True)
            c.close_websocket()

    async def on_open(text):
        await c.subscribe(list(INSTRUMENTS))
        print(json.dumps({"subscribed": True}), flush=True)

    async def ignore(arg):
        pass

    c.start_websocket(on_quote, ignore, on_open, ignore)
    loop.run_forever()
    loop.close()


# ---------------------------------------------------------------------------
# The driver
# ---------------------------------------------------------------------------


class Service:
    def __init__(self, pool: int):
        self.proc = subprocess.Popen(
            [sys.executable, "-m", "bench.record", "serve", "--pool", str(pool)],
            cwd=ROOT,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        where = json.loads(self.proc.stdout.readline())
        self.url, self.ca_file = where["url"], where["ca_file"]

    def send(self, n: int) -> None:
        self.proc.stdin.write(f"send {n}\n")
        self.proc.stdin.flush()

    def sent(self) -> dict:
        return json.loads(self.proc.stdout.readline())

    def close(self) -> None:
        try:
            self.proc.stdin.write("quit\n")
            self.proc.stdin.close()
            self.proc.wait(20)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()


def run_client(svc: Service, n: int) -> float:
    env = dict(os.environ, SSL_CERT_FILE=svc.ca_file)
    proc = subprocess.Popen(
        [sys.executable, "-m", "bench.record", "client", svc.url, str(n)],
        cwd=ROOT,
        stdout=subprocess.PIPE,
        text=True,
        env=env,
    )
    try:
        assert json.loads(proc.stdout.readline()) == {"subscribed": True}
        t0 = time.time()
        svc.send(n)
        done = json.loads(proc.stdout.readline())["done"]
        svc.sent()
        proc.wait(30)
        return n / (done - t0)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()


def run_recorder(svc: Service, n: int, roll_rows: int, marks: tuple[int, ...] = ()) -> dict:
    out = tempfile.mkdtemp(prefix="quotra-bench-record-")
    port = free_port()
    env = dict(os.environ, SSL_CERT_FILE=svc.ca_file)
    proc = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "quotra.record",
            "--url",
            svc.url,
            "--ca-file",
            svc.ca_file,
            "--instruments",
            ",".join(INSTRUMENTS),
            "--out",
            out,
            "--roll-rows",
            str(roll_rows),
            "--metrics-port",
            str(port),
        ],
        cwd=ROOT,
        env=env,
        stdout=subprocess.DEVNULL,
        stderr=subprocess.PIPE,
        text=True,
    )
    rss: dict[int, float] = {}
    try:
        deadline = time.monotonic() + 30
        while "quotra_record_received_total" not in metrics(port):
            if time.monotonic() > deadline or proc.poll() is not None:
                raise RuntimeError("the recorder did not start")
            time.sleep(0.05)
        time.sleep(0.5)  # its subscription reaches the service
        t0 = time.time()
        svc.send(n)
        pending = sorted(marks)
        while True:
            m = metrics(port)
            got = m.get("quotra_record_received_total", 0)
            while pending and got >= pending[0]:
                rss[pending.pop(0)] = rss_mib(proc.pid)
            if got >= n:
                t1 = time.time()
                break
            if proc.poll() is not None:
                raise RuntimeError("the recorder ended early")
            time.sleep(0.02)
        svc.sent()
        rss_end = rss_mib(proc.pid)
        proc.send_signal(signal.SIGINT)
        _, err = proc.communicate(timeout=60)
        if proc.returncode != 0:
            raise RuntimeError(f"the recorder exited {proc.returncode}:\n{err[-2000:]}")
        total = sum(os.path.getsize(os.path.join(d, f)) for d, _, fs in os.walk(out) for f in fs)
        files = sum(1 for _, _, fs in os.walk(out) for f in fs if f.endswith(".parquet"))
        return {
            "rate": n / (t1 - t0),
            "bytes": total,
            "files": files,
            "rss_mib": rss,
            "rss_end_mib": rss_end,
        }
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        shutil.rmtree(out, ignore_errors=True)


def main(argv: list[str] | None = None) -> int:
    p = argparse.ArgumentParser(prog="bench/run-record")
    sub = p.add_subparsers(dest="mode")
    s = sub.add_parser("serve")
    s.add_argument("--pool", type=int, default=POOL)
    c = sub.add_parser("client")
    c.add_argument("url")
    c.add_argument("n", type=int)
    p.add_argument(
        "--quotes", type=int, default=500_000, help="quotes per throughput run (default 500000)"
    )
    p.add_argument(
        "--long",
        type=int,
        default=5_000_000,
        help="quotes of the long run (default 5000000; 0: none)",
    )
    p.add_argument(
        "--long-roll-rows",
        type=int,
        default=500_000,
        help="the long run's --roll-rows (default 500000; 9375 is a 30 s file of one of "
        "eight instruments at 2,500 quotes/s, what --nats rolls at by default)",
    )
    p.add_argument("--reps", type=int, default=3, help="throughput rounds (default 3)")
    p.add_argument(
        "--pool",
        type=int,
        default=POOL,
        help=f"distinct quotes the service sends round (default {POOL})",
    )
    p.add_argument("--json", default=None, help="write the figures here")
    args = p.parse_args(argv)
    if args.mode == "serve":
        asyncio.run(serve(args.pool))
        return 0
    if args.mode == "client":
        client(args.url, args.n)
        return 0

    print(f"load average before: {os.getloadavg()}", file=sys.stderr)
    svc = Service(args.pool)
    res: dict = {
        "quotes": args.quotes,
        "long": args.long,
        "reps": args.reps,
        "long_roll_rows": args.long_roll_rows,
        "cpus": os.cpu_count(),
        "load_before": os.getloadavg(),
    }
    try:
        client_rates, recorder_rates, ratios = [], [], []
        for rep in range(args.reps):
            cr = run_client(svc, args.quotes)
            rr = run_recorder(svc, args.quotes, 1_000_000)["rate"]
            client_rates.append(cr)
            recorder_rates.append(rr)
            ratios.append(rr / cr)
            print(f"round {rep + 1}: client {cr:,.0f}/s, recorder {rr:,.0f}/s", file=sys.stderr)
        res.update(
            client_rate=statistics.median(client_rates),
            recorder_rate=statistics.median(recorder_rates),
            ratio=statistics.median(ratios),
        )
        if args.long:
            marks = tuple(range(1_000_000, args.long, 1_000_000))
            long = run_recorder(svc, args.long, args.long_roll_rows, marks)
            res.update(
                long_rate=long["rate"],
                long_files=long["files"],
                bytes_per_million=long["bytes"] / args.long * 1e6,
                rss_mib={str(k): v for k, v in long["rss_mib"].items()},
                rss_end_mib=long["rss_end_mib"],
            )
    finally:
        svc.close()
    res["load_after"] = os.getloadavg()
    print(report(res))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(res, f, indent=2)
    return 0


if __name__ == "__main__":
    sys.exit(main())
