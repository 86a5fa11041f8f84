"""The benchmark driver: one service process, one process per client run.

    bench/run [--quick] [--json FILE]        (sets up .venv, then runs this)
    python -m bench.driver [--quick] [--json FILE] [--reps N] [--quotes N]
                           [--sender batched|blast] [--loop asyncio|uvloop] [--stage-frames N]
                           [--fragment-size BYTES]

What it does, in order, all on 127.0.0.1 with a service it starts itself:

1. starts the market-data service (``python -m bench.driver serve``, this
   module) in a process of its own; it prints its URL and CA file, then takes
   one command per line on stdin and answers each on stdout;
2. one unrecorded warm-up run per variant;
3. throughput: ``--reps`` rounds, each running every variant once (one
   process each, in an order that rotates every round), each receiving
   ``--quotes`` quotes; medians over the rounds, and the ratios as medians of
   the per-round ratios;
4. latency (not in ``--quick``): the ``quotra`` client, then the Python peer
   for comparison, then both again with eager tasks, at 10,000 quotes/s for
   20 s, each quote stamped with its send time in ``sent_at_ns``, the service
   and the client each on a CPU of their own (the service's own ``rate``
   stream makes a new random-walk quote per message and fell short of
   10,000/s here, about 6,700/s, so the sender here paces one message,
   restamped and re-encoded per send);
5. memory (not in ``--quick``): the ``quotra`` client over 5 M quotes, its
   resident size noted at 1 M and at 5 M;
6. the per-stage profile: ``bench/stages.py`` under callgrind;
7. writes JSON (``--json``, default ``bench/results/bench-<time>.json``), a
   Markdown report beside it (also printed) and a PNG chart when matplotlib
   can be imported.

Sending: the service's own ``blast`` sends one frame per ``send``, from
Python, and tops out below what the fastest client takes (about 55,000
frames/s here, against 110,000-200,000 quotes/s into the floor), so the default
sender (``batched``, the service's ``blast_batched``) writes the same
pre-encoded frames, byte for byte, many per write to the TLS transport (up to
16 KiB, one TLS record per write), honouring the same flow control.
``--sender blast`` uses the service's ``blast`` instead. ``--fragment-size``
makes the service send every quote as TEXT + CONTINUATION frames of at most
that many bytes, as some servers do (the floor then counts first fragments).
"""

from __future__ import annotations

import argparse
import asyncio
import datetime
import glob
import json
import os
import platform
import queue
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RESULTS = os.path.join(ROOT, "bench", "results")
# The ``_eager`` variants run the same client on a loop whose task factory
# starts tasks eagerly (bench/clients.py, ``eager_factory``).
VARIANTS = (
    "quotra",
    "floor",
    "python_peer",
    "websockets_peer",
    "quotra_eager",
    "floor_eager",
    "feed",
)
PEERS = ("floor", "python_peer", "websockets_peer")
# Further ratios, "<a>_over_<b>": a's throughput over b's, b's CPU per quote over a's.
PAIRS = (("quotra_eager", "quotra"), ("quotra_eager", "floor_eager"), ("feed", "quotra"))
STEPS = ("json", "base64", "parse", "dict", "callback", "task")
NATIVE_STEPS = ("native_form", "native_parse", "native_dict")

# Goals: (key in "ratios", at least).
RATIO_GOALS = {
    "quotra_over_floor": 0.85,
    "quotra_over_python_peer": 1.75,
    "quotra_over_websockets_peer": 3.3,
}
# Goals on "cpu_ratios": eager tasks at most 0.6x the default mode's CPU per quote.
# quotra.feed (no task per quote) at least 2.5x less CPU per quote than the raw client.
CPU_RATIO_GOALS = {"quotra_eager_over_quotra": 1.67, "feed_over_quotra": 2.5}
# Instructions per whole frame (stage profile): quotra's at most this times the
# floor's; the Python peer's at least this times quotra's.
INSTR_FLOOR_GOAL = 1.15
INSTR_PEER_GOAL = 1.75
# quotra.feed (the quote into its buffer, then taken by the consumer): at most
# half the floor's instructions per quote.
INSTR_FEED_GOAL = 0.5
RSS_GROWTH_GOAL_MIB = 2.0
P99_GOAL_US = 1000.0

LATENCY_RATE = 10_000
LATENCY_SECONDS = 20
# quotra's latency is the goal; the Python peer's, on the same stack, shows what is not quotra's.
# Each mode against the Python peer in the same mode: p99.9 at most the peer's.
LATENCY_CLIENTS = ("quotra", "python_peer", "quotra_eager", "python_peer_eager")
LATENCY_PAIRS = (("quotra", "python_peer"), ("quotra_eager", "python_peer_eager"))
LATENCY_KEYS = ("p50", "p99", "p999", "p90", "max", "mean", "quotes", "quotes_per_s")
RSS_MARKS = (1_000_000, 5_000_000)

SERVER_DEADLINE_S = 1800  # the service process ends itself after this, whatever happens


# =====================================================================
# The service process
# =====================================================================


async def send_paced(svc, conn, n: int, rate: float, deadline_s: float) -> int:
    """Send ``n`` quotes at ``rate`` per second, each stamped with its send time.

    Each turn of the loop sends the quotes that are due by then (the loop's
    timers have millisecond resolution, so at 10,000/s that is about ten per
    turn), each quote stamped with ``time.time_ns()`` just before it goes out.
    """
    from picows import WSMsgType

    from quotra.service import encode_quote

    loop = asyncio.get_running_loop()
    msg = svc._market.quote("BENCH")
    send, text, now_ns = conn.transport.send, WSMsgType.TEXT, time.time_ns
    start = loop.time()
    sent = 0
    while sent < n and conn.is_open and loop.time() - start < deadline_s:
        if not conn.writable.is_set():
            await conn.writable.wait()
            continue
        due = min(n, int((loop.time() - start) * rate) + 1)
        while sent < due:
            msg.sent_at_ns = now_ns()
            send(text, encode_quote(msg))
            sent += 1
        conn.quotes_sent = sent
        await asyncio.sleep(max(0.0, start + sent / rate - loop.time()))
    return sent


async def serve_main(fragment_size: int | None = None) -> None:
    from quotra.service import MarketDataService

    loop = asyncio.get_running_loop()
    loop.call_later(SERVER_DEADLINE_S, os._exit, 5)
    commands: asyncio.Queue = asyncio.Queue()

    def read_stdin():
        for line in sys.stdin:
            loop.call_soon_threadsafe(commands.put_nowait, line)
        loop.call_soon_threadsafe(commands.put_nowait, '{"op":"quit"}')

    threading.Thread(target=read_stdin, daemon=True).start()
    svc = MarketDataService(record_sent=0, fragment_size=fragment_size)
    await svc.start()
    reply = lambda obj: print(json.dumps(obj), flush=True)  # noqa: E731
    reply({"url": svc.url, "ca_file": svc.ca_file})
    last_id = 0
    while True:
        cmd = json.loads(await commands.get())
        op = cmd.get("op")
        if op == "quit":
            break
        timeout = float(cmd.get("timeout", 60))
        n = int(cmd["n"])
        try:

            def newer(after=last_id):
                return next(
                    (c for c in svc.connections if c.id > after and "BENCH" in c.subscribed), None
                )

            conn = await svc.wait_for(newer, timeout, "a client subscribed to BENCH")
            last_id = conn.id
            t0 = time.perf_counter()
            if op == "blast":
                if cmd.get("sender") == "blast":
                    sent = await svc.blast(n, conn)
                elif cmd.get("sender") == "distinct":  # a quote identity each (the bridge's ids)
                    from bench.senders import blast_distinct

                    sent = await blast_distinct(svc, n, conn)
                else:
                    sent = await svc.blast_batched(n, conn)
            elif op == "paced":
                sent = await send_paced(svc, conn, n, float(cmd["rate"]), timeout)
            else:
                raise ValueError(f"unknown op {op!r}")
            seconds = time.perf_counter() - t0
            await svc.wait_disconnected(conn, timeout)
            reply({"sent": sent, "seconds": seconds, "write_pauses": conn.write_pauses})
        except Exception as exc:  # reported to the driver, which decides
            reply({"error": repr(exc)})
    await svc.stop(graceful=False, timeout=2)
    svc.close_files()


# =====================================================================
# The driver
# =====================================================================


class Service:
    """The service process, driven over its stdin/stdout."""

    def __init__(self, python: str, fragment_size: int | None = None):
        extra = [] if fragment_size is None else [str(fragment_size)]
        self.proc = subprocess.Popen(
            [python, "-m", "bench.driver", "serve", *extra],
            cwd=ROOT,
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            bufsize=1,
        )
        self._lines: queue.Queue = queue.Queue()
        threading.Thread(target=self._read, daemon=True).start()
        hello = self.answer(30)
        self.url, self.ca_file = hello["url"], hello["ca_file"]

    def _read(self):
        for line in self.proc.stdout:
            self._lines.put(line)
        self._lines.put(None)

    def answer(self, timeout: float) -> dict:
        try:
            line = self._lines.get(timeout=timeout)
        except queue.Empty:
            raise RuntimeError(f"the service did not answer within {timeout:.0f}s") from None
        if line is None:
            raise RuntimeError(f"the service exited (code {self.proc.poll()})")
        return json.loads(line)

    def command(self, **cmd) -> None:
        self.proc.stdin.write(json.dumps(cmd) + "\n")
        self.proc.stdin.flush()

    def close(self) -> None:
        try:
            self.command(op="quit")
            self.proc.stdin.close()
            self.proc.wait(15)
        except Exception:
            pass
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait(5)


def pin(pid: int, cpus) -> None:
    """Restrict a process of ours to ``cpus`` (no-op where the OS has no affinity call)."""
    if hasattr(os, "sched_setaffinity"):
        os.sched_setaffinity(pid, cpus)


def run_client(
    svc: Service,
    python: str,
    mode: str,
    variant: str,
    n: int,
    *,
    op: str,
    timeout: float,
    sender: str = "batched",
    rate: float = 0.0,
    rss_marks=(),
    loop: str = "asyncio",
    cpus=None,
) -> dict:
    """One client process against the service, on ``cpus`` if given; returns
    the client's result and the service's."""
    svc.command(op=op, n=n, rate=rate, sender=sender, timeout=timeout)
    cmd = [
        python,
        "-m",
        "bench.clients",
        mode,
        variant,
        "--url",
        svc.url,
        "--n",
        str(n),
        "--timeout",
        str(timeout),
        "--loop",
        loop,
    ]
    if rss_marks:
        cmd += ["--rss-marks", ",".join(map(str, rss_marks))]
    env = dict(os.environ, SSL_CERT_FILE=svc.ca_file)
    proc = subprocess.Popen(
        cmd, cwd=ROOT, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True
    )
    try:
        if cpus is not None:
            pin(proc.pid, cpus)
        out, err = proc.communicate(timeout=timeout + 60)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(5)
    lines = [ln for ln in out.splitlines() if ln.startswith("{")]
    result = json.loads(lines[-1]) if lines else {"error": f"no result (exit {proc.returncode})"}
    server = svc.answer(timeout + 30)
    if "error" in result or "error" in server:
        raise RuntimeError(
            f"{mode} run of {variant} failed: client {result.get('error')}, "
            f"service {server.get('error')}; stderr: {err[-2000:]}"
        )
    result["server"] = server
    return result


def log(msg: str) -> None:
    print(msg, file=sys.stderr, flush=True)


def median(xs):
    return statistics.median(xs) if xs else None


# ---------------------------------------------------------------- the stage profile


def run_stages(python: str, frames: int, warm: int, timeout: float, loop: str = "asyncio") -> dict:
    valgrind = shutil.which("valgrind")
    if valgrind is None:
        return {"error": "valgrind not found"}
    out_dir = tempfile.mkdtemp(prefix="quotra-stages-")
    try:
        cmd = [
            valgrind,
            "--tool=callgrind",
            "--collect-atstart=no",
            "--toggle-collect=functools_reduce",
            "--dump-after=functools_reduce",
            f"--callgrind-out-file={out_dir}/cg.out",
            python,
            "-m",
            "bench.stages",
            "--frames",
            str(frames),
            "--warm",
            str(warm),
            "--loop",
            loop,
        ]
        proc = subprocess.run(cmd, cwd=ROOT, capture_output=True, text=True, timeout=timeout)
        if proc.returncode != 0:
            return {"error": f"stage harness exited {proc.returncode}: {proc.stderr[-2000:]}"}
        names = [ln.split()[1] for ln in proc.stdout.splitlines() if ln.startswith("region ")]
        calls = {
            ln.split()[1]: int(ln.split()[2])
            for ln in proc.stdout.splitlines()
            if ln.startswith("callbacks ")
        }

        def dump_index(path):
            return int(path.rsplit(".", 1)[1])

        dumps = sorted(glob.glob(f"{out_dir}/cg.out.*"), key=dump_index)
        totals = []
        for path in dumps:
            with open(path) as f:
                m = re.search(r"^(?:summary|totals):\s*(\d+)", f.read(), re.M)
            totals.append(int(m.group(1)) if m else 0)
        if len(totals) < len(names):
            return {"error": f"{len(totals)} callgrind dumps for {len(names)} regions"}
        totals = totals[-len(names) :]  # the regions are the last reduce calls of the run
    finally:
        shutil.rmtree(out_dir, ignore_errors=True)

    per = {name: total / frames for name, total in zip(names, totals)}
    for name in (
        "callback",
        "task",
        "frame_floor",
        "frame_python_peer",
        "frame_quotra",
        "frame_feed",
        "task_eager",
        "frame_floor_eager",
        "frame_quotra_eager",
    ):
        if calls.get(name) != frames:
            return {
                "error": f"region {name}: {calls.get(name)} callbacks for {frames} frames",
                "regions": per,
            }
    order = ("base",) + STEPS
    steps = {step: per[step] - per[prev] for prev, step in zip(order, order[1:])}
    steps["task_eager"] = per["task_eager"] - per["callback"]  # the "task" step with eager start
    native_order = ("native_base",) + NATIVE_STEPS
    native = {
        step.removeprefix("native_"): per[step] - per[prev]
        for prev, step in zip(native_order, native_order[1:])
    }
    # The client's fast path: the native steps, then the same callback and task.
    stages = {
        "frame": per["frame_picows"],
        **native,
        "callback": steps["callback"],
        "task": steps["task"],
    }
    stages["glue"] = per["frame_quotra"] - sum(stages.values())
    return {
        "stages": {k: round(v) for k, v in stages.items()},
        "python_steps": {k: round(v) for k, v in steps.items()},
        "frame_totals": {
            k: round(per["frame_" + k])
            for k in (
                "quotra",
                "python_peer",
                "floor",
                "picows",
                "quotra_eager",
                "floor_eager",
                "feed",
            )
        },
        "regions": {k: round(v) for k, v in per.items()},
        "frames": frames,
    }


# ---------------------------------------------------------------- reporting


def fmt(x, digits=0):
    if x is None:
        return "n/a"
    return f"{x:,.{digits}f}"


def goals_of(res: dict) -> list[dict]:
    goals = []
    for key, target in RATIO_GOALS.items():
        v = res["ratios"].get(key)
        goals.append(
            {"goal": f"{key} >= {target}", "value": v, "met": v is not None and v >= target}
        )
    for key, target in CPU_RATIO_GOALS.items():
        v = res["cpu_ratios"].get(key)
        goals.append(
            {
                "goal": f"cpu_ratios.{key} >= {target}",
                "value": v,
                "met": v is not None and v >= target,
            }
        )
    if "rss_growth_mib_1m_to_5m" in res:
        v = res["rss_growth_mib_1m_to_5m"]
        goals.append(
            {
                "goal": f"RSS growth 1M->5M quotes <= {RSS_GROWTH_GOAL_MIB} MiB",
                "value": v,
                "met": abs(v) <= RSS_GROWTH_GOAL_MIB,
            }
        )
    ft = res.get("stages_profile", {}).get("frame_totals", {})
    if ft.get("floor") and ft.get("quotra"):
        v = ft["quotra"] / ft["floor"]
        goals.append(
            {
                "goal": f"instructions per frame, quotra/floor <= {INSTR_FLOOR_GOAL}",
                "value": round(v, 3),
                "met": v <= INSTR_FLOOR_GOAL,
            }
        )
        if ft.get("feed"):
            v = ft["feed"] / ft["floor"]
            goals.append(
                {
                    "goal": f"instructions per quote, feed/floor <= {INSTR_FEED_GOAL}",
                    "value": round(v, 3),
                    "met": v <= INSTR_FEED_GOAL,
                }
            )
        v = ft["python_peer"] / ft["quotra"]
        goals.append(
            {
                "goal": f"instructions per frame, python_peer/quotra >= {INSTR_PEER_GOAL}",
                "value": round(v, 3),
                "met": v >= INSTR_PEER_GOAL,
            }
        )
    if "latency_us" in res:
        v = res["latency_us"]["p99"]
        goals.append(
            {
                "goal": f"p99 latency at {LATENCY_RATE:,} quotes/s < {P99_GOAL_US:.0f} us",
                "value": v,
                "met": v < P99_GOAL_US,
            }
        )
        lat = res.get("latency_us_by_client", {})
        for a, b in LATENCY_PAIRS:
            if a in lat and b in lat:
                v = lat[a]["p999"]
                goals.append(
                    {
                        "goal": f"p99.9 latency, {a} <= {b} ({lat[b]['p999']:.0f} us)",
                        "value": v,
                        "met": v <= lat[b]["p999"],
                    }
                )
    return goals


def markdown(res: dict) -> str:
    cfg = res["config"]
    out = [
        f"### quotra benchmark ({'quick' if cfg['quick'] else 'full'} run, {cfg['date']})",
        "",
        f"{cfg['reps']} interleaved rounds of {cfg['quotes']:,} quotes per client, medians; "
        f"each client in its own process, {cfg['loop']} loop, TLS on 127.0.0.1; "
        f"sender: {cfg['sender']}; {cfg['cpus']} CPUs, load average {cfg['loadavg_start'][0]:.1f} at the start "
        f"and {cfg['loadavg_end'][0]:.1f} at the end.",
        "",
        "| client | quotes/s | CPU s per million quotes | peak RSS (MiB) |",
        "|---|---:|---:|---:|",
    ]
    for v in VARIANTS:
        r = res["variants"][v]
        out.append(
            f"| {v} | {fmt(r['quotes_per_s'])} | {fmt(r['cpu_s_per_million'], 2)} | "
            f"{fmt(r['peak_rss_mib'], 1)} |"
        )
    out += [
        "",
        "Ratios: median over the rounds of quotra's run against the other client's run in the same round "
        "(in brackets: the ratio of the medians above).",
        "",
        "| ratio | throughput | by CPU time | goal | met |",
        "|---|---:|---:|---:|---|",
    ]
    for key, target in RATIO_GOALS.items():
        v, c = res["ratios"].get(key), res["cpu_ratios"].get(key)
        vm = res.get("ratios_of_medians", {}).get(key)
        out.append(
            f"| {key} | {fmt(v, 2)} ({fmt(vm, 2)}) | {fmt(c, 2)} | >= {target} | "
            f"{'yes' if v and v >= target else 'no'} |"
        )
    for a, b in PAIRS:
        key = f"{a}_over_{b}"
        v, c = res["ratios"].get(key), res["cpu_ratios"].get(key)
        vm = res.get("ratios_of_medians", {}).get(key)
        target = CPU_RATIO_GOALS.get(key)
        goal, met = (
            ("", "")
            if target is None
            else (f"CPU >= {target}", "yes" if c and c >= target else "no")
        )
        out.append(f"| {key} | {fmt(v, 2)} ({fmt(vm, 2)}) | {fmt(c, 2)} | {goal} | {met} |")
    if "latency_us" in res:
        pinned = " (service and client each on a CPU of its own)" if cfg.get("latency_cpus") else ""
        out += [
            "",
            f"Latency at {LATENCY_RATE:,} quotes/s for {LATENCY_SECONDS} s{pinned}, from the send time "
            "stamped in each quote to the start of its callback (us):",
            "",
            "| client | quotes/s received | p50 | p90 | p99 | p99.9 | max |",
            "|---|---:|---:|---:|---:|---:|---:|",
        ]
        for v, lat in res.get("latency_us_by_client", {"quotra": res["latency_us"]}).items():
            out.append(
                f"| {v} | {fmt(lat['quotes_per_s'])} | {fmt(lat['p50'])} | {fmt(lat['p90'])} | "
                f"{fmt(lat['p99'])} | {fmt(lat['p999'])} | {fmt(lat['max'])} |"
            )
    if "rss_growth_mib_1m_to_5m" in res:
        g = res["rss_growth_mib_1m_to_5m"]
        lo, hi = (res["rss_mib_at"][str(m)] for m in RSS_MARKS)
        out += [
            "",
            f"RSS of quotra, {RSS_MARKS[0]:,} to {RSS_MARKS[1]:,} quotes: {lo:.1f} -> {hi:.1f} MiB, "
            f"growth {g:+.2f} MiB "
            f"(goal within {RSS_GROWTH_GOAL_MIB:.0f} MiB: {'met' if abs(g) <= RSS_GROWTH_GOAL_MIB else 'not met'}).",
        ]
    st = res.get("stages") or {}
    if st:
        total = sum(st.values())
        prof = res.get("stages_profile", {})
        out += [
            "",
            f"Instructions per frame on the quotra quote path (callgrind, {prof.get('frames', '?')} frames; "
            "`frame`: picows parsing and dispatch; `form`: the usual frame form and its base64, `parse`, "
            "`dict`: the native steps; `glue`: the client's own work between the steps):",
            "",
            "| step | instructions/frame | share |",
            "|---|---:|---:|",
        ]
        for k, v in st.items():
            out.append(f"| {k} | {fmt(v)} | {100 * v / total:.0f}% |")
        out.append(f"| total | {fmt(total)} | |")
        ft = prof.get("frame_totals", {})
        if ft:
            out += [
                "",
                "Whole frame, same harness: "
                + ", ".join(f"{k} {fmt(v)}" for k, v in ft.items())
                + ".",
            ]
        py = prof.get("python_steps", {})
        if py:
            out += [
                "",
                "The same steps made by Python-level calls (the general path's and the peers' way): "
                + ", ".join(f"{k} {fmt(v)}" for k, v in py.items())
                + ".",
            ]
    elif res.get("stages_error"):
        out += ["", f"Stage profile failed: {res['stages_error']}"]
    out += [
        "",
        "Goals: "
        + "; ".join(f"{g['goal']}: {'met' if g['met'] else 'NOT met'}" for g in res["goals"]),
    ]
    return "\n".join(out) + "\n"


def chart(res: dict, path: str) -> bool:
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except Exception:
        return False
    fig, axes = plt.subplots(1, 2, figsize=(11, 4))
    qps = [res["variants"][v]["quotes_per_s"] for v in VARIANTS]
    axes[0].bar(
        VARIANTS,
        qps,
        color=["#c44e52", "#8c8c8c", "#4c72b0", "#55a868", "#dd8452", "#b0b0b0", "#8172b2"],
    )
    axes[0].set_ylabel("quotes/s into callbacks (median)")
    axes[0].set_title("Throughput")
    axes[0].tick_params(axis="x", labelrotation=15)
    st = res.get("stages") or {}
    if st:
        axes[1].barh(list(st), list(st.values()), color="#4c72b0")
        axes[1].invert_yaxis()
        axes[1].set_xlabel("instructions per frame (callgrind)")
        axes[1].set_title("quotra quote path by step")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True


# ---------------------------------------------------------------- main


def main(argv=None) -> int:
    p = argparse.ArgumentParser(
        prog="bench/run", description="quotra benchmark: quotra against a floor and two peers"
    )
    p.add_argument(
        "--quick",
        action="store_true",
        help="CI-sized run: fewer rounds and quotes, no latency/memory runs",
    )
    p.add_argument(
        "--json",
        metavar="FILE",
        help="write the results here (default bench/results/bench-<time>.json)",
    )
    p.add_argument("--reps", type=int, help="throughput rounds (default 7, quick 3)")
    p.add_argument(
        "--quotes", type=int, help="quotes per throughput run (default 300000, quick 40000)"
    )
    p.add_argument(
        "--sender",
        choices=("batched", "blast"),
        default="batched",
        help="how the service sends the throughput runs' frames (see the module doc)",
    )
    p.add_argument(
        "--stage-frames", type=int, help="frames per profiled region (default 5000, quick 1000)"
    )
    p.add_argument(
        "--loop",
        choices=("asyncio", "uvloop"),
        default="asyncio",
        help="the clients' event loop (default asyncio's own, as the client's users have it)",
    )
    p.add_argument(
        "--fragment-size",
        type=int,
        metavar="BYTES",
        help="the service sends each quote in fragments of at most BYTES (default: whole frames)",
    )
    args = p.parse_args(argv)
    reps = args.reps or (3 if args.quick else 7)
    quotes = args.quotes or (40_000 if args.quick else 300_000)
    stage_frames = args.stage_frames or (1_000 if args.quick else 5_000)
    if args.fragment_size is not None and args.fragment_size < 1:
        p.error("--fragment-size must be >= 1")
    if reps < 1 or quotes < 2:
        p.error("--reps must be >= 1 and --quotes >= 2")
    python = sys.executable
    started = time.monotonic()
    now = datetime.datetime.now()
    os.makedirs(RESULTS, exist_ok=True)
    json_path = args.json or os.path.join(RESULTS, f"bench-{now:%Y%m%d-%H%M%S}.json")
    base = os.path.splitext(json_path)[0]

    res: dict = {
        "config": {
            "quick": args.quick,
            "reps": reps,
            "quotes": quotes,
            "sender": args.sender,
            "loop": args.loop,
            "fragment_size": args.fragment_size,
            "date": now.isoformat(timespec="seconds"),
            "python": platform.python_version(),
            "cpus": os.cpu_count(),
            "loadavg_start": os.getloadavg(),
        }
    }
    runs: dict[str, list] = {v: [] for v in VARIANTS}
    svc = Service(python, args.fragment_size)
    try:
        run_timeout = 60 + quotes / 5_000
        log(f"service at {svc.url}; warm-up")
        for v in VARIANTS:
            run_client(
                svc,
                python,
                "throughput",
                v,
                min(quotes, 20_000),
                op="blast",
                sender=args.sender,
                timeout=60,
                loop=args.loop,
            )
        for rep in range(reps):
            order = VARIANTS[rep % len(VARIANTS) :] + VARIANTS[: rep % len(VARIANTS)]
            for v in order:
                r = run_client(
                    svc,
                    python,
                    "throughput",
                    v,
                    quotes,
                    op="blast",
                    sender=args.sender,
                    timeout=run_timeout,
                    loop=args.loop,
                )
                runs[v].append(r)
                log(
                    f"round {rep + 1}/{reps} {v:16s} {r['quotes_per_s']:10,.0f} quotes/s "
                    f"{r['cpu_s_per_million']:6.2f} CPU s/M  {r['peak_rss_mib']:6.1f} MiB"
                )
        if not args.quick:
            n = LATENCY_RATE * LATENCY_SECONDS
            res["latency_us_by_client"] = {}
            # The service stands in for a remote machine: on a CPU of its own, the
            # client on another, or the scheduler often puts the woken client
            # behind the service's own sending on one CPU (measured: p50 ~520 us
            # unpinned, ~190 us pinned, at 10,000 quotes/s).
            all_cpus = os.sched_getaffinity(0) if hasattr(os, "sched_getaffinity") else set()
            split = len(all_cpus) >= 2
            if split:
                svc_cpu, client_cpu = sorted(all_cpus)[:2]
                pin(svc.proc.pid, {svc_cpu})
            res["config"]["latency_cpus"] = (
                {"service": svc_cpu, "client": client_cpu} if split else None
            )
            try:
                for v in LATENCY_CLIENTS:
                    log(f"latency: {v} at {LATENCY_RATE:,} quotes/s for {LATENCY_SECONDS} s")
                    lat = run_client(
                        svc,
                        python,
                        "latency",
                        v,
                        n,
                        op="paced",
                        rate=LATENCY_RATE,
                        timeout=LATENCY_SECONDS * 3 + 30,
                        loop=args.loop,
                        cpus={client_cpu} if split else None,
                    )
                    res["latency_us_by_client"][v] = {k: lat[k] for k in LATENCY_KEYS}
                    log(
                        f"latency {v}: p50 {lat['p50']:.1f} us p99 {lat['p99']:.1f} us p99.9 {lat['p999']:.1f} us"
                    )
            finally:
                if split:
                    pin(svc.proc.pid, all_cpus)
            res["latency_us"] = res["latency_us_by_client"]["quotra"]
            log(f"memory: quotra over {RSS_MARKS[-1]:,} quotes")
            mem = run_client(
                svc,
                python,
                "throughput",
                "quotra",
                RSS_MARKS[-1],
                op="blast",
                sender=args.sender,
                timeout=600,
                rss_marks=RSS_MARKS,
                loop=args.loop,
            )
            at = mem["rss_mib_at"]
            res["rss_mib_at"] = {str(k): at[str(k)] for k in RSS_MARKS}
            res["rss_growth_mib_1m_to_5m"] = at[str(RSS_MARKS[1])] - at[str(RSS_MARKS[0])]
            res["memory_run"] = {
                k: mem[k] for k in ("quotes_per_s", "cpu_s_per_million", "peak_rss_mib")
            }
            log(f"RSS {at[str(RSS_MARKS[0])]:.1f} -> {at[str(RSS_MARKS[1])]:.1f} MiB")
    finally:
        svc.close()

    log(f"stage profile: callgrind over {stage_frames} frames per region")
    prof = run_stages(
        python, stage_frames, max(200, stage_frames // 5), timeout=900, loop=args.loop
    )
    if "error" in prof:
        res["stages"] = {}
        res["stages_error"] = prof["error"]
    else:
        res["stages"] = prof.pop("stages")
        res["stages_profile"] = prof

    res["variants"] = {
        v: {
            "quotes_per_s": median([r["quotes_per_s"] for r in runs[v]]),
            "cpu_s_per_million": median([r["cpu_s_per_million"] for r in runs[v]]),
            "peak_rss_mib": median([r["peak_rss_mib"] for r in runs[v]]),
            "runs": [
                {k: r[k] for k in ("quotes_per_s", "cpu_s_per_million", "peak_rss_mib", "seconds")}
                for r in runs[v]
            ],
        }
        for v in VARIANTS
    }
    # Ratios are paired by round (quotra's run over the peer's run of the same
    # round, then the median): the machine's load drifts over minutes, and a
    # round's runs are seconds apart. The ratios of the medians are kept too.
    q = res["variants"]["quotra"]
    res["ratios"] = {
        f"quotra_over_{v}": median(
            [a["quotes_per_s"] / b["quotes_per_s"] for a, b in zip(runs["quotra"], runs[v])]
        )
        for v in PEERS
    }
    res["cpu_ratios"] = {
        f"quotra_over_{v}": median(
            [
                b["cpu_s_per_million"] / a["cpu_s_per_million"]
                for a, b in zip(runs["quotra"], runs[v])
            ]
        )
        for v in PEERS
    }
    res["ratios_of_medians"] = {
        f"quotra_over_{v}": q["quotes_per_s"] / res["variants"][v]["quotes_per_s"] for v in PEERS
    }
    for a, b in PAIRS:
        key, ra, rb = f"{a}_over_{b}", runs[a], runs[b]
        res["ratios"][key] = median([x["quotes_per_s"] / y["quotes_per_s"] for x, y in zip(ra, rb)])
        res["cpu_ratios"][key] = median(
            [y["cpu_s_per_million"] / x["cpu_s_per_million"] for x, y in zip(ra, rb)]
        )
        res["ratios_of_medians"][key] = (
            res["variants"][a]["quotes_per_s"] / res["variants"][b]["quotes_per_s"]
        )
    res["goals"] = goals_of(res)
    res["config"]["loadavg_end"] = os.getloadavg()
    res["config"]["seconds"] = round(time.monotonic() - started, 1)

    with open(json_path, "w") as f:
        json.dump(res, f, indent=2)
    md = markdown(res)
    with open(base + ".md", "w") as f:
        f.write(md)
    png = base + ".png"
    made_png = chart(res, png)
    print(md)
    print(
        f"results: {json_path}, {base}.md"
        + (f", {png}" if made_png else "")
        + f" ({res['config']['seconds']} s)"
    )
    return 0


if __name__ == "__main__":
    if sys.argv[1:2] == ["serve"]:
        asyncio.run(serve_main(int(sys.argv[2]) if len(sys.argv) > 2 else None))
    else:
        sys.exit(main())
