"""The bridge's benchmark: the local service -> quotra-bridge -> nats-server -> a subscriber process.

    bench/run-bridge [--quick] [--reps N] [--quotes N] [--json FILE]
    python -m bench.bridge  (the same, without the set-up)

All on 127.0.0.1, with a service process (``bench.driver``'s) and a
``nats-server`` (JetStream on, store in a temporary directory) started here:

1. costs per quote, in this process's CPU time (``stages``): a task per quote scheduled
   through the loop and one started eagerly, ``orjson.dumps`` of a quote dict,
   the same plus the PUB framing the bridge writes, and nats-py's
   ``publish`` per quote against the bridge's block per loop turn (both
   against the real server, flushed);
2. throughput, ``--reps`` interleaved rounds of ``--quotes`` quotes: the direct
   client (``bench.clients``' ``quotra`` variant: the real client and a
   trivial callback), the bridge (``python -m quotra.bridge``) and the naive
   bridge (``orjson.dumps`` and ``await nc.publish`` in the quote callback);
   for the two bridges the rate is what a plain NATS subscriber in another
   process receives (first to last quote), and the CPU time of the bridge
   process and of nats-server is read from /proc over the same span;
3. latency at 10,000 quotes/s (not in ``--quick``): each quote stamped with
   its send time by the service; the direct client notes send -> callback,
   the subscriber behind the bridge send -> receipt; the bridge's added
   latency is the difference of the percentiles. The bridge of this run
   (``probed-bridge``) also notes send -> its block written to NATS, which
   splits what is added between the bridge and the NATS hop.

The subscriber speaks the NATS text protocol on a plain socket (``subscribe``
below): for throughput it only counts the messages' heads, for latency it
reads each message's JSON; it reports its own CPU per message, so what the
harness takes of the machine is known. The
machine is small and shared: figures are medians, and the ratios come from
runs made back to back in the same round.
"""

from __future__ import annotations

import argparse
import asyncio
import datetime
import json
import os
import signal
import socket
import statistics
import subprocess
import sys
import threading
import time

from bench.driver import RESULTS, ROOT, Service, run_client

SUBJECTS = "quotes.>"
LATENCY_RATE = 10_000
# Acknowledged, de-duplicated publishing into one stream on two cores, by storage.
GOAL_RATIO = {"file": 0.3, "memory": 0.4}
GOAL_OLD_RATIO = 0.6
# CPU of the bridge process per acknowledged quote, its upstream client included.
GOAL_BRIDGE_US = 4.0
GOAL_P99_ADDED_US = 1000.0

QUOTE = {
    "instrument": "BENCH",
    "exchange_ts_ns": 1765300000000000000,
    "last_price": 101.25,
    "last_quantity": 7,
    "volume": 123456,
    "bid_price": 101.2,
    "bid_size": 30,
    "ask_price": 101.3,
    "ask_size": 25,
    "open": 100.0,
    "high": 102.0,
    "low": 99.5,
    "close": 100.5,
    "open_interest": 0,
    "sent_at_ns": 0,
}


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


# =====================================================================
# The subscriber process (plain NATS protocol on a socket)
# =====================================================================


def subscribe(
    nats_url: str, n: int, latency: bool, timeout: float, subjects: str = SUBJECTS
) -> None:
    """Receive ``n`` messages on ``subjects``; print ``ready``, ``first`` at
    the first message and a JSON result at the last."""
    import orjson

    host, port = nats_url.removeprefix("nats://").rsplit(":", 1)
    sock = socket.create_connection((host, int(port)), timeout=timeout)
    sock.sendall(
        b'CONNECT {"verbose":false,"pedantic":false,"name":"bench-subscriber"}\r\n'
        b"SUB " + subjects.encode() + b" 1\r\nPING\r\n"
    )
    buf = b""
    while b"PONG\r\n" not in buf:
        buf += sock.recv(65536)
    buf = b""
    print("ready", flush=True)
    count = 0
    t_first = t_last = 0.0
    samples: list[int] = []
    now_ns, perf = time.time_ns, time.perf_counter
    loads = orjson.loads
    recv = sock.recv
    pos = 0
    cpu0 = time.process_time()
    if not latency:
        # Counting only: the messages' "MSG " heads, found at C speed (a quote's
        # JSON never holds that text; a head split across two reads is
        # found in the tail kept from the first). The server's PINGs are
        # answered, never counted.
        tail = b""
        while count < n:
            data = recv(1 << 20)
            if not data:
                raise RuntimeError("NATS closed the connection")
            chunk = tail + data
            count += chunk.count(b"MSG ")
            if b"PING\r\n" in chunk:
                sock.sendall(b"PONG\r\n")
            tail = chunk[-3:] if not chunk.endswith(b"MSG ") else b""
            if count and not t_first:
                t_first, first_count = perf(), count
                print("first", flush=True)
            t_last = perf()
    else:
        first_count = 1
    while count < n:
        data = recv(1 << 20)
        if not data:
            raise RuntimeError("NATS closed the connection")
        buf = buf[pos:] + data if pos < len(buf) else data
        pos = 0
        while True:
            nl = buf.find(b"\r\n", pos)
            if nl < 0:
                break
            if buf.startswith(b"MSG ", pos):
                end = nl + 2 + int(buf[buf.rfind(b" ", pos, nl) + 1 : nl])
                if end + 2 > len(buf):
                    break
                if latency:
                    samples.append(now_ns() - loads(buf[nl + 2 : end])["sent_at_ns"])
                count += 1
                if count == 1:
                    t_first = perf()
                    print("first", flush=True)
                pos = end + 2
            else:
                if buf.startswith(b"PING", pos):
                    sock.sendall(b"PONG\r\n")
                pos = nl + 2
        t_last = perf()
    result = {
        "quotes": count,
        "seconds": t_last - t_first,
        "quotes_per_s": (count - first_count) / (t_last - t_first) if t_last > t_first else None,
        "subscriber_cpu_s_per_million": (time.process_time() - cpu0) / count * 1e6,
    }
    if latency:
        s = sorted(samples)

        def pct(p):
            return s[min(len(s) - 1, int(p / 100 * len(s)))] / 1000

        result.update(
            p50=pct(50),
            p90=pct(90),
            p99=pct(99),
            p999=pct(99.9),
            max=s[-1] / 1000,
            mean=sum(s) / len(s) / 1000,
        )
    print(json.dumps(result), flush=True)


# =====================================================================
# The naive bridge: what the issue measured first
# =====================================================================


def naive(url: str, nats_url: str) -> None:
    import nats
    import orjson

    from quotra.quotra import Quotra
    from quotra.service import point_client

    loop = asyncio.new_event_loop()
    asyncio.set_event_loop(loop)
    client = Quotra(loop)
    point_client(client, url)

    async def main():
        nc = await nats.connect(nats_url)
        dumps, publish = orjson.dumps, nc.publish

        async def on_quote(quote):
            await publish("quotes." + quote["instrument"], dumps(quote))

        async def on_open(_):
            await client.subscribe(["BENCH"])

        client.start_websocket(on_quote, None, on_open, None)

    loop.run_until_complete(main())
    loop.run_forever()


# =====================================================================
# The bridge with a probe: send stamp -> its block written to NATS
# =====================================================================


def probed_bridge(argv: list[str]) -> int:
    """``quotra-bridge`` whose blocks note, per quote, the time from the
    service's send stamp to the block being written; the percentiles go to
    stderr at exit (a ``PROBE {...}`` line)."""
    import atexit

    from quotra import bridge

    samples: list[int] = []
    encode = bridge.Bridge._encode
    now_ns = time.time_ns

    def probed(self, batch):
        now = now_ns()
        samples.extend(now - q["sent_at_ns"] for q in batch if q.get("sent_at_ns"))
        return encode(self, batch)

    def report() -> None:
        s = sorted(samples)
        if s:

            def pct(p):
                return s[min(len(s) - 1, int(p / 100 * len(s)))] / 1000

            print(
                "PROBE "
                + json.dumps(
                    {
                        "quotes": len(s),
                        "p50": pct(50),
                        "p90": pct(90),
                        "p99": pct(99),
                        "p999": pct(99.9),
                        "max": s[-1] / 1000,
                    }
                ),
                file=sys.stderr,
                flush=True,
            )

    bridge.Bridge._encode = probed
    atexit.register(report)
    return bridge.main(argv)


# =====================================================================
# Costs per quote, in process
# =====================================================================


def stages(nats_url: str, n: int) -> dict:
    import nats
    import orjson

    from quotra.bridge import Bridge

    out: dict = {}
    q = QUOTE
    # CPU time of this process: the server's share and a busy machine's
    # waits are not the bridge's cost.
    clock = time.process_time

    def per(seconds):
        return round(seconds / n * 1e6, 3)

    t0 = clock()
    for _ in range(n):
        orjson.dumps(q)
    out["dumps"] = per(clock() - t0)

    async def run():
        loop = asyncio.get_running_loop()
        sink = []

        async def cb(x):
            sink.append(x)

        for name, eager in (("task_scheduled", False), ("task_eager", True)):
            sink.clear()
            t0 = clock()
            for _ in range(n):
                asyncio.Task(cb(q), loop=loop, eager_start=eager)
            while len(sink) < n:
                await asyncio.sleep(0)
            out[name] = per(clock() - t0)

        bridge = Bridge(nats_url, loop=loop)
        batch = [q] * 256
        t0 = clock()
        for _ in range(n // 256):
            bridge._encode(batch)
        out["dumps_and_pub_framing"] = round((clock() - t0) / (n // 256 * 256) * 1e6, 3)

        nc = await nats.connect(nats_url)
        t0 = clock()
        for _ in range(n):
            await nc.publish("quotes.BENCH", orjson.dumps(q))
        await nc.flush()
        out["publish_per_quote"] = per(clock() - t0)
        await nc.close()

        # The bridge itself: quotes in through the command line's plain callback
        # (no task per quote), out in blocks.
        bridge.start()
        await asyncio.wait_for(bridge._connected.wait(), 10)
        on_quote = bridge.client_callback()
        t0 = clock()
        for i in range(n):
            on_quote(q)
            if i % 64 == 63:
                await asyncio.sleep(0)  # a read's worth of frames per loop turn
        while bridge.published < n:
            await asyncio.sleep(0)
        await bridge.flush()
        out["bridge_per_quote"] = per(clock() - t0)
        await bridge.close()

    asyncio.run(run())
    return out


# =====================================================================
# The driver
# =====================================================================


def cpu_seconds(pid: int) -> float:
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


class Proc:
    """A child process whose stdout lines are read in a thread."""

    def __init__(self, cmd, env=None):
        self.proc = subprocess.Popen(
            cmd, cwd=ROOT, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
        )
        self.lines: list[str] = []
        self.cond = threading.Condition()
        threading.Thread(target=self._read, daemon=True).start()
        self.err: list[str] = []
        threading.Thread(target=lambda: self.err.extend(self.proc.stderr), daemon=True).start()

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append(line.strip())
                self.cond.notify_all()
        with self.cond:
            self.lines.append("<eof>")
            self.cond.notify_all()

    def wait_line(self, pred, timeout) -> str:
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for line in self.lines:
                    if pred(line):
                        return line
                    if line == "<eof>":
                        raise RuntimeError(
                            f"{self.proc.args[:4]} exited {self.proc.poll()}: "
                            f"{''.join(self.err)[-1500:]}"
                        )
                left = deadline - time.monotonic()
                if left <= 0:
                    raise RuntimeError(
                        f"{self.proc.args[:4]}: timed out; {''.join(self.err)[-1500:]}"
                    )
                self.cond.wait(left)

    def end(self, sig=signal.SIGKILL, timeout=15) -> int | None:
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        return self.proc.returncode


def run_bridged(
    svc: Service,
    nats,
    python: str,
    variant: str,
    n: int,
    *,
    op: str,
    timeout: float,
    rate: float = 0.0,
    storage: str = "file",
) -> dict:
    """One run of a bridge: the subscriber, the service's stream, the bridge."""
    latency = op == "paced"
    # The old writer gets a stream of its own: it would rewrite the new bridge's on connecting.
    prefix = "old" if variant == "old" else "quotes"
    sub = Proc(
        [
            python,
            "-m",
            "bench.bridge",
            "subscribe",
            nats.url,
            str(n),
            "1" if latency else "0",
            str(timeout),
            prefix + ".>",
        ]
    )
    bridge = None
    try:
        sub.wait_line(lambda ln: ln == "ready", 30)
        svc.command(
            op=op, n=n, rate=rate, sender="batched" if latency else "distinct", timeout=timeout
        )
        env = dict(os.environ, SSL_CERT_FILE=svc.ca_file)
        if variant in ("bridge", "old"):
            # A buffer no run can fill: every quote is published, none dropped.
            entry = ["bench.bridge", "probed-bridge"] if latency else ["quotra.bridge"]
            if variant == "old":
                entry = ["bench.old_bridge", "--subject-prefix", "old", "--stream", "OLD"]
            cmd = [
                python,
                "-m",
                *entry,
                "--url",
                svc.url,
                "--nats",
                nats.url,
                "--instruments",
                "BENCH",
                "--buffer",
                str(10 * n),
                "--storage",
                storage,
            ]
        else:
            cmd = [python, "-m", "bench.bridge", "naive", svc.url, nats.url]
        bridge = Proc(cmd, env=env)
        sub.wait_line(lambda ln: ln == "first", timeout)
        cpu0 = cpu_seconds(bridge.proc.pid), cpu_seconds(nats.proc.pid)
        result = json.loads(sub.wait_line(lambda ln: ln.startswith("{"), timeout + 30))
        cpu1 = cpu_seconds(bridge.proc.pid), cpu_seconds(nats.proc.pid)
        result["bridge_cpu_s_per_million"] = (cpu1[0] - cpu0[0]) / n * 1e6
        result["nats_cpu_s_per_million"] = (cpu1[1] - cpu0[1]) / n * 1e6
        if variant in ("bridge", "old"):
            t0 = time.monotonic()
            result["exit_status"] = bridge.end(signal.SIGINT)
            result["exit_seconds"] = time.monotonic() - t0
            counters = [ln for ln in bridge.err if "bridge counters" in ln]
            result["counters"] = (
                counters[-1].split("bridge counters: ", 1)[1].strip() if counters else None
            )
            probe = [ln for ln in bridge.err if ln.startswith("PROBE ")]
            if probe:
                result["to_bridge_write"] = json.loads(probe[-1][len("PROBE ") :])
        else:
            bridge.end()
        result["server"] = svc.answer(timeout + 30)
        return result
    finally:
        sub.end()
        if bridge is not None:
            bridge.end()


def median(xs):
    xs = [x for x in xs if x is not None]
    return statistics.median(xs) if xs else None


def fmt(x, digits=0):
    return "n/a" if x is None else f"{x:,.{digits}f}"


def report(res: dict) -> str:
    lines = [
        f"Load average {res['load'][0]:.1f} at the start and {res['load'][1]:.1f} at the end on "
        f"{os.cpu_count()} CPUs."
    ]
    # A latency-only run has no throughput rounds: no table and no verdict on their goal.
    if res.get("throughput"):
        lines += [
            "",
            f"{res['reps']} interleaved rounds of {res['quotes']:,} quotes, medians.",
            "",
            "| run | quotes/s | CPU s per million quotes (client or bridge) | nats-server CPU s per million "
            "| subscriber CPU s per million |",
            "|---|---:|---:|---:|---:|",
        ]
        for v in ("direct", "bridge", "old", "naive"):
            t = res["throughput"].get(v)
            if t:
                lines.append(
                    f"| {v} | {fmt(t['quotes_per_s'])} | {fmt(t['cpu_s_per_million'], 2)} | "
                    f"{fmt(t.get('nats_cpu_s_per_million'), 2)} | "
                    f"{fmt(t.get('subscriber_cpu_s_per_million'), 2)} |"
                )
        r = res.get("ratios", {})
        ratio = r.get("bridge_over_direct")
        goal = GOAL_RATIO[res.get("storage", "file")]
        verdict = "not measured" if ratio is None else "met" if ratio >= goal else "not met"
        bridge_us = res["throughput"].get("bridge", {}).get("cpu_s_per_million")
        old = r.get("bridge_over_old")
        verdict_old = (
            "not measured" if old is None else "met" if old >= GOAL_OLD_RATIO else "not met"
        )
        lines += [
            "",
            f"Bridge over direct (median of the per-round ratios): {fmt(ratio, 2)} "
            f"(goal >= {goal} with {res.get('storage', 'file')} storage: {verdict}); over the old unacknowledged writer: {fmt(old, 2)} "
            f"(goal >= {GOAL_OLD_RATIO}: {verdict_old}); naive over direct: "
            f"{fmt(r.get('naive_over_direct'), 2)}.",
            f"Bridge process CPU per acknowledged quote: {fmt(bridge_us, 2)} us (goal <= "
            f"{GOAL_BRIDGE_US}: "
            f"{'not measured' if bridge_us is None else 'met' if bridge_us <= GOAL_BRIDGE_US else 'not met'}).",
        ]
        for v in ("bridge", "old"):
            counters = [x.get("counters") for x in res.get("rounds", {}).get(v, [])]
            if counters:
                lines.append(f"Counters at exit, {v}, last round: {counters[-1]}.")
    if res.get("latency"):
        lines += [
            "",
            f"Latency at {LATENCY_RATE:,} quotes/s for {res['latency_quotes'] // LATENCY_RATE} s (us):",
            "",
            "| path | p50 | p90 | p99 | p99.9 | max |",
            "|---|---:|---:|---:|---:|---:|",
        ]
        rows = [
            ("direct: to the callback", res["latency"]["direct"]),
            ("bridge: to its block written", res["latency"]["bridge"].get("to_bridge_write")),
            ("bridge: to the subscriber", res["latency"]["bridge"]),
        ]
        for label, t in rows:
            if t:
                lines.append(
                    f"| {label} | {fmt(t['p50'])} | {fmt(t['p90'])} | {fmt(t['p99'])} | "
                    f"{fmt(t['p999'])} | {fmt(t['max'])} |"
                )
        a = res["latency_added"]
        lines += [
            "",
            f"Added by the bridge: p50 {fmt(a['p50'])} us, p99 {fmt(a['p99'])} us (goal p99 added <= "
            f"{GOAL_P99_ADDED_US:,.0f} us: {'met' if a['p99'] <= GOAL_P99_ADDED_US else 'not met'}).",
        ]
    if res.get("stages"):
        s = res["stages"]
        lines += [
            "",
            "Costs per quote in one process (us): "
            + ", ".join(f"{k} {v}" for k, v in s.items())
            + ".",
        ]
    return "\n".join(lines)


def drive(args) -> dict:
    sys.path.insert(0, os.path.join(ROOT, "tests"))
    from nats_server import NatsServer

    python = sys.executable
    res: dict = {
        "quotes": args.quotes,
        "reps": args.reps,
        "storage": args.storage,
        "load": [os.getloadavg()[0]],
        "started": datetime.datetime.now(datetime.UTC).isoformat(timespec="seconds"),
    }
    svc = Service(python)
    nats = NatsServer().start()
    timeout = 120.0
    try:
        log(f"service at {svc.url}, nats-server at {nats.url}")
        if not args.latency_only:
            res["stages"] = stages(nats.url, args.stage_quotes)
            log(f"stages: {res['stages']}")
            variants = ["direct", "bridge", "old"] + ([] if args.no_naive else ["naive"])
            rounds: dict = {v: [] for v in variants}
            # One unrecorded warm-up of each.
            run_client(
                svc,
                python,
                "throughput",
                "quotra",
                20_000,
                op="blast",
                sender="distinct",
                timeout=timeout,
            )
            run_bridged(
                svc,
                nats,
                python,
                "bridge",
                20_000,
                op="blast",
                timeout=timeout,
                storage=args.storage,
            )
            for rep in range(args.reps):
                order = variants[rep % len(variants) :] + variants[: rep % len(variants)]
                for v in order:
                    if v == "direct":
                        r = run_client(
                            svc,
                            python,
                            "throughput",
                            "quotra",
                            args.quotes,
                            op="blast",
                            sender="distinct",
                            timeout=timeout,
                        )
                    else:
                        r = run_bridged(
                            svc,
                            nats,
                            python,
                            v,
                            args.quotes,
                            op="blast",
                            timeout=timeout,
                            storage=args.storage,
                        )
                        r["cpu_s_per_million"] = r["bridge_cpu_s_per_million"]
                    rounds[v].append(r)
                    log(
                        f"round {rep + 1} {v}: {r['quotes_per_s']:,.0f} quotes/s"
                        + (
                            f", exit {r.get('exit_status')} in {r.get('exit_seconds', 0):.2f} s"
                            if v == "bridge"
                            else ""
                        )
                    )
            res["rounds"] = rounds
            res["throughput"] = {
                v: {
                    k: median([r.get(k) for r in rs])
                    for k in (
                        "quotes_per_s",
                        "cpu_s_per_million",
                        "nats_cpu_s_per_million",
                        "subscriber_cpu_s_per_million",
                    )
                }
                for v, rs in rounds.items()
            }
            res["ratios"] = {
                f"{v}_over_direct": median(
                    [
                        b["quotes_per_s"] / d["quotes_per_s"]
                        for b, d in zip(rounds[v], rounds["direct"])
                    ]
                )
                for v in variants
                if v != "direct"
            }
            res["ratios"]["bridge_over_old"] = median(
                [
                    b["quotes_per_s"] / o["quotes_per_s"]
                    for b, o in zip(rounds["bridge"], rounds["old"])
                ]
            )
        if not args.quick or args.latency_only:
            n = LATENCY_RATE * args.latency_seconds
            res["latency_quotes"] = n
            d = run_client(
                svc, python, "latency", "quotra", n, op="paced", rate=LATENCY_RATE, timeout=timeout
            )
            b = run_bridged(
                svc,
                nats,
                python,
                "bridge",
                n,
                op="paced",
                rate=LATENCY_RATE,
                timeout=timeout,
                storage=args.storage,
            )
            res["latency"] = {"direct": d, "bridge": b}
            res["latency_added"] = {k: b[k] - d[k] for k in ("p50", "p90", "p99", "p999")}
    finally:
        nats.close()
        svc.close()
    res["load"].append(os.getloadavg()[0])
    return res


def main(argv=None) -> None:
    p = argparse.ArgumentParser(prog="python -m bench.bridge")
    p.add_argument("--quick", action="store_true", help="fewer, smaller rounds and no latency run")
    p.add_argument("--reps", type=int, default=None)
    p.add_argument("--quotes", type=int, default=None)
    p.add_argument("--stage-quotes", type=int, default=100_000)
    p.add_argument("--latency-seconds", type=int, default=10)
    p.add_argument("--no-naive", action="store_true", help="leave the naive bridge out")
    p.add_argument("--latency-only", action="store_true", help="only the latency runs")
    p.add_argument(
        "--storage", choices=("file", "memory"), default="file", help="the stream's storage"
    )
    p.add_argument("--json", default=None)
    args = p.parse_args(argv)
    args.reps = args.reps or (2 if args.quick else 5)
    args.quotes = args.quotes or (50_000 if args.quick else 200_000)
    res = drive(args)
    text = report(res)
    os.makedirs(RESULTS, exist_ok=True)
    path = args.json or os.path.join(RESULTS, "bridge-" + time.strftime("%Y%m%d-%H%M%S") + ".json")
    with open(path, "w") as f:
        json.dump(res, f, indent=1)
    with open(path.removesuffix(".json") + ".md", "w") as f:
        f.write(text + "\n")
    print(text)


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "subscribe":
        subscribe(
            sys.argv[2], int(sys.argv[3]), sys.argv[4] == "1", float(sys.argv[5]), *sys.argv[6:7]
        )
    elif len(sys.argv) > 1 and sys.argv[1] == "naive":
        naive(sys.argv[2], sys.argv[3])
    elif len(sys.argv) > 1 and sys.argv[1] == "probed-bridge":
        sys.exit(probed_bridge(sys.argv[2:]))
    else:
        main()
