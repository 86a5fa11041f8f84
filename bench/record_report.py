"""``bench/run-record``'s measuring (a port, the recorder's metrics, a resident
size) and its Markdown table of figures (``bench/record.py``)."""

from __future__ import annotations

import urllib.request


def free_port() -> int:
    import socket

    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def metrics(port: int) -> dict[str, float]:
    try:
        with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=2) as r:
            text = r.read().decode()
    except OSError:
        return {}
    out = {}
    for line in text.splitlines():
        if line.startswith("quotra_record_") and "{" in line:
            name, _, value = line.partition("{")[0], None, line.rsplit(" ", 1)[1]
            out[name] = float(value)
    return out


def rss_mib(pid: int) -> float:
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return float("nan")


def report(res: dict) -> str:
    lines = [
        "| figure | value |",
        "|---|---|",
        f"| direct client, quotes/s (median of {res['reps']}) | {res['client_rate']:,.0f} |",
        f"| recorder, quotes/s | {res['recorder_rate']:,.0f} |",
        f"| recorder / client (goal >= 0.5) | {res['ratio']:.2f} |",
    ]
    if "bytes_per_million" in res:
        rss = ", ".join(f"{int(k):,}: {v:.1f}" for k, v in res["rss_mib"].items())
        lines += [
            f"| long run: quotes, files (rolled every {res['long_roll_rows']:,} rows) | "
            f"{res['long']:,}, {res['long_files']} |",
            f"| long run: quotes/s | {res['long_rate']:,.0f} |",
            f"| bytes on disk per million quotes | {res['bytes_per_million']:,.0f} |",
            f"| recorder RSS MiB after quotes ({rss}) and at the end | {res['rss_end_mib']:.1f} |",
        ]
    lines.append(
        f"| load average before / after (1, 5, 15 min; {res['cpus']} CPUs) | "
        f"{' '.join(f'{x:.2f}' for x in res['load_before'])} / "
        f"{' '.join(f'{x:.2f}' for x in res['load_after'])} |"
    )
    return "\n".join(lines)
