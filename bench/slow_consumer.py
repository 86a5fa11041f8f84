"""A consumer slower than its feed: the raw client against quotra.feed.

    bench/run-slow [--seconds 30] [--rate 5000] [--instruments 20] [--work-ms 0.5] [--json FILE]
    python -m bench.slow_consumer ...                   (the same, without the set-up)

The local service (a process of its own, on 127.0.0.1) streams ``--rate``
quotes/s over ``--instruments`` instruments to each connection; each run's
client, in a process of its own, hands every quote to a consumer that spends
``--work-ms`` of CPU on it (a busy loop on the thread's CPU clock), so the
consumer takes at most 1000 / work-ms quotes/s. Three runs of ``--seconds``:

``raw``
    ``Quotra`` with the consumer as its message callback (a task per quote);
    the lag of the quotes reaching the consumer (now minus
    ``exchange_ts_ns``) grows while the kernel's socket buffers and the
    service's queue fill: reported every second, and its growth in seconds
    per second (least squares over the run);
``conflate``
    ``quotra.feed.open_feed(..., conflate=True)``, the consumer in an
    ``async for``: the lag of the quotes it gets (p50, p99, max) and the
    resident memory over the run;
``buffer``
    the same with ``conflate=False`` (the default buffer of 100,000): quotes
    dropped, lag, resident memory.

Every run is bounded: the client exits after ``--seconds`` (and is killed
after twice that); the service is stopped at the end.
"""

from __future__ import annotations

import argparse
import array
import asyncio
import json
import os
import statistics
import subprocess
import sys
import time
from typing import Any

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RUNS = ("raw", "conflate", "buffer")
_PAGE = os.sysconf("SC_PAGE_SIZE")


def rss_mib() -> float:
    with open("/proc/self/statm", "rb") as f:
        return int(f.read().split()[1]) * _PAGE / 2**20


def work(seconds: float) -> None:
    """Spend ``seconds`` of this thread's CPU."""
    end = time.thread_time() + seconds
    while time.thread_time() < end:
        pass


class Probe:
    """What the consumer saw: each quote's lag as it started on it (in flat
    arrays, 16 bytes a quote, so that the probe's own memory stays out of
    the resident size it reports), the resident memory once a second."""

    def __init__(self, work_s: float) -> None:
        self.work_s = work_s
        self.t0 = time.monotonic()
        self.times = array.array("d")  # seconds into the run
        self.lags = array.array("d")  # the lag then, s
        self.rss: list[tuple[float, float]] = []

    def consume(self, quote: dict[str, Any]) -> None:
        now = time.time_ns()
        self.times.append(time.monotonic() - self.t0)
        self.lags.append((now - quote["exchange_ts_ns"]) / 1e9)
        work(self.work_s)

    async def sample_rss(self) -> None:
        while True:
            self.rss.append((time.monotonic() - self.t0, rss_mib()))
            await asyncio.sleep(1)


def pct(xs: list[float], p: float) -> float | None:
    if not xs:
        return None
    s = sorted(xs)
    return s[min(len(s) - 1, int(p / 100 * len(s)))]


def slope(points: list[tuple[float, float]]) -> float | None:
    """Least-squares growth of y in x."""
    if len(points) < 2:
        return None
    mx = statistics.fmean(x for x, _ in points)
    my = statistics.fmean(y for _, y in points)
    den = sum((x - mx) ** 2 for x, _ in points)
    return sum((x - mx) * (y - my) for x, y in points) / den if den else None


async def client_run(
    kind: str, url: str, instruments: list[str], seconds: float, work_s: float
) -> dict[str, Any]:
    loop = asyncio.get_running_loop()
    probe = Probe(work_s)
    sampler = loop.create_task(probe.sample_rss())
    extra: dict[str, Any] = {}
    if kind == "raw":
        from quotra import monitor, point_client
        from quotra.quotra import Quotra

        client = Quotra(loop)
        point_client(client, url)

        async def on_quote(quote: dict[str, Any]) -> None:
            probe.consume(quote)

        client.start_websocket(on_quote)
        await asyncio.wait_for(client.IS_CONNECTED.wait(), 10)
        await client.subscribe(instruments)
        probe.t0 = time.monotonic()
        await asyncio.sleep(seconds)
        snap = monitor.snapshot(client)
        extra = {
            "received": snap["quotes"],
            "client_lag_s": snap["lag_s"],
            "late_quotes": snap["late_quotes"],
        }
    else:
        from quotra.feed import open_feed

        async with open_feed(url, instruments, conflate=kind == "conflate") as feed:
            probe.t0 = time.monotonic()
            deadline = probe.t0 + seconds
            async for quote in feed:
                probe.consume(quote)
                if time.monotonic() >= deadline:
                    break
            extra = feed.stats()
    sampler.cancel()
    lags = list(probe.lags)
    points = list(zip(probe.times, probe.lags))
    per_second: dict[int, float] = {}
    for t, lag in points:
        per_second[int(t)] = lag  # the last quote of each second
    return {
        "run": kind,
        "consumed": len(lags),
        "lag_p50_ms": (pct(lags, 50) or 0) * 1e3,
        "lag_p99_ms": (pct(lags, 99) or 0) * 1e3,
        "lag_max_ms": max(lags, default=0) * 1e3,
        "lag_growth_s_per_s": slope(points),
        "lag_by_second_s": {str(k): round(v, 3) for k, v in sorted(per_second.items())},
        "rss_mib": {
            "start": probe.rss[0][1] if probe.rss else None,
            "at_5s": next((r for t, r in probe.rss if t >= 5), None),
            "max": max((r for _, r in probe.rss), default=None),
            "end": probe.rss[-1][1] if probe.rss else None,
        },
        **{k: v for k, v in extra.items() if k != "lag_s"},
    }


def client_main(args: argparse.Namespace) -> None:
    if not args.url.startswith("wss://127.0.0.1:"):
        raise SystemExit("the benchmark talks only to a local service (wss://127.0.0.1:PORT/...)")

    async def run_and_exit() -> None:
        res = await client_run(
            args.client,
            args.url,
            args.instrument_names.split(","),
            args.seconds,
            args.work_ms / 1e3,
        )
        print(json.dumps(res), flush=True)
        # At once: the raw client's backlog of tasks and its shutdown are not part of the run.
        os._exit(0)

    asyncio.run(run_and_exit())


def start_service(
    rate: float, instruments: list[str]
) -> tuple[subprocess.Popen[str], dict[str, Any]]:
    proc = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "quotra.service",
            "--rate",
            str(rate),
            "--instruments",
            ",".join(instruments),
        ],
        cwd=ROOT,
        stdout=subprocess.PIPE,
        text=True,
    )
    assert proc.stdout is not None
    line = proc.stdout.readline()
    if not line:
        proc.kill()
        raise SystemExit("the service did not start")
    return proc, json.loads(line)


def report(results: dict[str, dict[str, Any]], cfg: dict[str, Any]) -> str:
    def f(v: Any, nd: int = 1) -> str:
        return "-" if v is None else f"{v:,.{nd}f}"

    out = [
        f"Slow consumer: {cfg['rate']:,.0f} quotes/s over {cfg['instruments']} instruments for "
        f"{cfg['seconds']:.0f} s, {cfg['work_ms']} ms of CPU per quote.",
        "",
        "| run | consumed | lag p50 (ms) | lag p99 (ms) | lag max (ms) | lag growth (s/s) | conflated "
        "| dropped | RSS start/5 s/max/end (MiB) |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---|",
    ]
    for kind in RUNS:
        r = results.get(kind)
        if r is None:
            continue
        rss = r["rss_mib"]
        out.append(
            f"| {kind} | {r['consumed']:,} | {f(r['lag_p50_ms'])} | {f(r['lag_p99_ms'])} | "
            f"{f(r['lag_max_ms'])} | {f(r['lag_growth_s_per_s'], 3)} | {r.get('conflated', '-')} | "
            f"{r.get('dropped', '-')} | {f(rss['start'])} / {f(rss.get('at_5s'))} / {f(rss['max'])} / "
            f"{f(rss['end'])} |"
        )
    raw = results.get("raw")
    if raw:
        by = raw["lag_by_second_s"]
        out += [
            "",
            "Raw client, lag of the last quote of each second (s): "
            + ", ".join(f"{k}: {v}" for k, v in list(by.items())[:: max(1, len(by) // 10)]),
        ]
    return "\n".join(out)


def main(argv: list[str] | None = None) -> None:
    p = argparse.ArgumentParser(
        prog="bench/run-slow", description="a slow consumer: the raw client and quotra.feed"
    )
    p.add_argument("--seconds", type=float, default=30.0)
    p.add_argument("--rate", type=float, default=5000.0, help="quotes/s the service sends")
    p.add_argument("--instruments", type=int, default=20)
    p.add_argument("--work-ms", type=float, default=0.5, help="CPU per quote of the consumer")
    p.add_argument("--runs", default=",".join(RUNS), help="which runs, comma-separated")
    p.add_argument("--json", metavar="FILE")
    p.add_argument("--client", choices=RUNS, help=argparse.SUPPRESS)
    p.add_argument("--url", help=argparse.SUPPRESS)
    p.add_argument("--instrument-names", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.client:
        client_main(args)
        return
    if not 0 < args.seconds <= 600:
        p.error("--seconds: more than 0, at most 600")
    names = [f"I{i:02d}" for i in range(args.instruments)]
    svc, info = start_service(args.rate, names)
    results: dict[str, dict[str, Any]] = {}
    try:
        env = os.environ | {"SSL_CERT_FILE": info["ca_file"]}
        for kind in args.runs.split(","):
            cmd = [
                sys.executable,
                "-m",
                "bench.slow_consumer",
                "--client",
                kind,
                "--url",
                info["url"],
                "--instrument-names",
                ",".join(names),
                "--seconds",
                str(args.seconds),
                "--work-ms",
                str(args.work_ms),
            ]
            proc = subprocess.run(
                cmd,
                cwd=ROOT,
                env=env,
                capture_output=True,
                text=True,
                timeout=2 * args.seconds + 30,
            )
            lines = [ln for ln in proc.stdout.splitlines() if ln.startswith("{")]
            if proc.returncode != 0 or not lines:
                raise SystemExit(f"run {kind} failed ({proc.returncode}): {proc.stderr[-2000:]}")
            results[kind] = json.loads(lines[-1])
            print(f"{kind}: done", file=sys.stderr, flush=True)
    finally:
        svc.terminate()
        try:
            svc.wait(10)
        except subprocess.TimeoutExpired:
            svc.kill()
    cfg = {
        "rate": args.rate,
        "instruments": args.instruments,
        "seconds": args.seconds,
        "work_ms": args.work_ms,
    }
    print(report(results, cfg))
    if args.json:
        with open(args.json, "w") as f:
            json.dump({"config": cfg, "runs": results}, f, indent=1)


if __name__ == "__main__":
    main()
