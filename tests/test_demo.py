"""The live quote demo (quotra.demo, scripts/demo.sh): its board arithmetic, and
whole runs in a subprocess against the local service: a timed run that ends
through close_websocket(), SIGINT/SIGTERM through the client's own signal path,
the live table on a pseudo-terminal, and the script itself."""

import os
import pty
import re
import select
import signal
import subprocess
import sys
import threading
import time
import urllib.request
from pathlib import Path

import pytest

from quotra.demo import Board, plain_snapshot

ROOT = Path(__file__).resolve().parent.parent

SNAPSHOT = re.compile(
    r"^\[\s*(?P<t>[\d.]+)s\] (?P<sym>\S+) last=(?P<last>[\d.]+) chg=(?P<chg>[+-][\d.]+) "
    r"\((?P<pct>[+-][\d.]+)%\) bid=(?P<bid>[\d.]+) ask=(?P<ask>[\d.]+) vol=(?P<vol>\d+) "
    r"quotes=(?P<quotes>\d+) q/s=(?P<rate>[\d.]+)$"
)
TOTAL = re.compile(
    r"^\[\s*[\d.]+s\] total quotes=(\d+) q/s=([\d.]+) errors=(\d+) connected=(yes|no)$"
)
SUMMARY = re.compile(r"^demo: (\d+) quotes for (\d+) instruments? in ([\d.]+) s .*; ended: (.+)$")

CLOSE_LINE = "INFO quotra.quotra: Quotra disconnected with code :: 1000, message :: Connection closed by the user. "
INTERRUPT_LINE = "INFO quotra.quotra: WebSocket closure initiated by user interrupt."
DISCONNECTED_LINE = "INFO quotra.quotra: Websocket disconnected."


def quote(symbol, last, open_=100.0, bid=None, ask=None, volume=0):
    return {
        "instrument": symbol,
        "exchange_ts_ns": 0,
        "last_price": last,
        "last_quantity": 1,
        "volume": volume,
        "bid_price": last - 0.05 if bid is None else bid,
        "ask_price": last + 0.05 if ask is None else ask,
        "bid_size": 1,
        "ask_size": 1,
        "open": open_,
        "high": last,
        "low": last,
        "close": 0.0,
        "open_interest": 0,
        "sent_at_ns": 0,
    }


# ---------------------------------------------------------------------------
# Board arithmetic
# ---------------------------------------------------------------------------


def test_board_change_against_session_open_and_tick_direction():
    b = Board(("ABC", "XYZ"))
    st = b.update(quote("ABC", 101.0, open_=100.0, volume=10), now=10.0)
    assert st.change == pytest.approx(1.0)
    assert st.change_pct == pytest.approx(1.0)
    assert st.direction == 0
    b.update(quote("ABC", 99.5, open_=100.0, volume=15), now=10.5)
    assert st.change == pytest.approx(-0.5)
    assert st.change_pct == pytest.approx(-0.5)
    assert st.direction == -1
    b.update(quote("ABC", 99.5, open_=100.0, volume=20), now=10.6)
    assert st.direction == 0
    b.update(quote("ABC", 99.6, open_=100.0, volume=21), now=10.7)
    assert st.direction == 1
    assert (st.volume, st.quotes, b.total) == (21, 4, 4)
    assert b.instruments["XYZ"].last is None and b.instruments["XYZ"].change is None


def test_board_change_against_first_price_when_no_open():
    b = Board(("ABC",))
    b.update(quote("ABC", 50.0, open_=0.0), now=1.0)
    st = b.update(quote("ABC", 55.0, open_=0.0), now=1.1)
    assert st.reference == 50.0
    assert st.change == pytest.approx(5.0)
    assert st.change_pct == pytest.approx(10.0)


def test_board_keeps_given_order_and_adds_unknown_instruments_at_the_end():
    b = Board(("XYZ", "ABC"))
    b.update(quote("NEW", 1.0), now=0.0)
    b.update(quote("ABC", 1.0), now=0.0)
    assert list(b.instruments) == ["XYZ", "ABC", "NEW"]


def test_board_rates_count_the_window_only():
    b = Board(("ABC", "XYZ"), window=2.0)
    # In time order, as they arrive: 10 quotes/s for ABC, 2 quotes/s for XYZ, over 2 s.
    arrivals = [(100.0 + i * 0.1, "ABC") for i in range(20)] + [
        (100.0 + i * 0.5, "XYZ") for i in range(4)
    ]
    for t, symbol in sorted(arrivals):
        b.update(quote(symbol, 100.0), now=t)
    now = 102.0
    assert b.rate("ABC", now) == pytest.approx(9.5)  # the quote at exactly now-2 s has left
    assert b.rate("XYZ", now) == pytest.approx(1.5)
    assert b.total_rate(now) == pytest.approx(11.0)
    # Nothing arrives for longer than the window: the rates fall to zero.
    assert b.rate("ABC", 110.0) == 0.0
    assert b.total_rate(110.0) == 0.0
    assert b.total == 24


def test_board_rate_while_shorter_than_the_window():
    b = Board(("ABC",), window=2.0)
    for i in range(5):
        b.update(quote("ABC", 100.0), now=50.0 + i * 0.1)
    # 5 quotes in the 0.5 s since the first one.
    assert b.rate("ABC", 50.5) == pytest.approx(10.0)


def test_plain_snapshot_lines_parse():
    b = Board(("ABC", "XYZ"))
    b.update(quote("ABC", 101.25, open_=100.0, bid=101.2, ask=101.3, volume=1234), now=1.0)
    lines = plain_snapshot(b, 1.5, 1.5, True)
    m = SNAPSHOT.match(lines[0])
    assert m, lines[0]
    assert (
        m["sym"] == "ABC" and m["last"] == "101.25" and m["chg"] == "+1.25" and m["pct"] == "+1.25"
    )
    assert (m["bid"], m["ask"], m["vol"], m["quotes"]) == ("101.20", "101.30", "1234", "1")
    assert lines[1].endswith("XYZ waiting for quotes")
    assert TOTAL.match(lines[2]).groups() == ("1", "2.0", "0", "yes")


# ---------------------------------------------------------------------------
# Whole runs
# ---------------------------------------------------------------------------


def demo_env():
    env = dict(os.environ)
    env.pop("SSL_CERT_FILE", None)
    env.pop("NO_COLOR", None)
    env["PYTHONUNBUFFERED"] = "1"
    return env


def demo_cmd(*args):
    return [sys.executable, "-m", "quotra.demo", *args]


def check_snapshots(stdout):
    """Parse the plain snapshots and check they describe a sane, moving market."""
    seen = {}
    for line in stdout.splitlines():
        m = SNAPSHOT.match(line)
        if not m:
            continue
        last, chg, pct = float(m["last"]), float(m["chg"]), float(m["pct"])
        bid, ask, vol, n = float(m["bid"]), float(m["ask"]), int(m["vol"]), int(m["quotes"])
        assert last > 0 and 0 < bid <= ask, line
        ref = last - chg
        assert ref > 0 and pct == pytest.approx(chg / ref * 100, abs=0.011), line
        prev = seen.get(m["sym"])
        if prev is not None:
            assert vol >= prev[0] and n >= prev[1], (line, prev)
        seen[m["sym"]] = (vol, n)
    return seen


@pytest.mark.timeout(90)
def test_timed_run_prints_quotes_and_ends_through_close_websocket():
    started = time.monotonic()
    proc = subprocess.run(
        demo_cmd("--seconds", "3", "--interval", "0.5", "--instruments", "ABC,XYZ,KLM"),
        cwd=ROOT,
        env=demo_env(),
        capture_output=True,
        text=True,
        timeout=60,
    )
    took = time.monotonic() - started
    out, err = proc.stdout, proc.stderr
    assert proc.returncode == 0, (out, err)
    assert "Traceback" not in err, err
    seen = check_snapshots(out)
    assert set(seen) == {"ABC", "XYZ", "KLM"}, out
    assert all(n > 0 for _, n in seen.values()), out
    totals = [int(m[1]) for m in map(TOTAL.match, out.splitlines()) if m]
    assert len(totals) >= 3 and totals == sorted(totals) and totals[-1] > 0, out
    summary = SUMMARY.match(out.splitlines()[-1])
    assert summary, out
    assert int(summary[1]) == totals[-1] and int(summary[2]) == 3
    assert summary[4] == "time is up"
    # The client's own close path: close frame answered, then its shutdown.
    assert CLOSE_LINE in err and DISCONNECTED_LINE in err, err
    assert err.index(CLOSE_LINE) < err.index(DISCONNECTED_LINE)
    assert INTERRUPT_LINE not in err
    assert 3.0 <= took < 3.0 + 8.0 + 10.0, took


class LineReader:
    """Collects a pipe's lines on a thread; lets a test wait for one."""

    def __init__(self, stream):
        self.lines = []
        self._cond = threading.Condition()
        self._thread = threading.Thread(target=self._run, args=(stream,), daemon=True)
        self._thread.start()

    def _run(self, stream):
        for line in stream:
            with self._cond:
                self.lines.append(line.rstrip("\n"))
                self._cond.notify_all()

    def wait_for(self, pattern, timeout):
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                for line in self.lines:
                    if pattern.match(line):
                        return line
                remaining = deadline - time.monotonic()
                if remaining <= 0:
                    return None
                self._cond.wait(remaining)

    def text(self, timeout=10):
        self._thread.join(timeout)
        with self._cond:
            return "\n".join(self.lines) + "\n"


@pytest.mark.timeout(90)
@pytest.mark.parametrize("when", ["streaming", "start-up"])
def test_signal_goes_through_the_clients_own_path_and_exits_0(when):
    """SIGTERM while quotes stream; SIGINT while the service is starting,
    before the connection exists: the client handles it once its loop runs,
    and a connection that opens after it is closed the client's way. (Both
    signals reach the same handler: tests/test_shutdown.py.)"""
    proc = subprocess.Popen(
        demo_cmd("--seconds", "60", "--interval", "0.5"),
        cwd=ROOT,
        env=demo_env(),
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        out = LineReader(proc.stdout)
        err = LineReader(proc.stderr)
        if when == "streaming":
            assert out.wait_for(SNAPSHOT, timeout=30) is not None, (out.text(1), err.text(1))
        else:
            assert err.wait_for(
                re.compile(r".*quotra\.demo: market-data service at "), timeout=30
            ), err.text(1)
        signalled = time.monotonic()
        proc.send_signal(signal.SIGTERM if when == "streaming" else signal.SIGINT)
        rc = proc.wait(timeout=20)
        took = time.monotonic() - signalled
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(10)
    stdout, stderr = out.text(), err.text()
    assert rc == 0, (stdout, stderr)
    assert "Traceback" not in stderr, stderr
    assert INTERRUPT_LINE in stderr, stderr
    i = stderr.index(INTERRUPT_LINE)
    assert DISCONNECTED_LINE in stderr[i:], stderr
    assert stdout.splitlines()[-1].endswith("ended: interrupted"), stdout
    if when == "streaming":
        # Between the two: the server's close answering the client's.
        assert CLOSE_LINE in stderr[i : stderr.index(DISCONNECTED_LINE, i)], stderr
        assert stderr.count(INTERRUPT_LINE) == 1
        assert check_snapshots(stdout)
        # The server answered at once: no need to wait out the 2 s grace period.
        assert took < 10, took


METRICS_AT = re.compile(r".* INFO quotra\.demo: metrics at http://127\.0\.0\.1:(\d+)/metrics$")
HEALTH = re.compile(
    r"^\[\s*[\d.]+s\] client quotes=(\d+) quote_errors=(\d+) .* last_quote_age=([\d.]+)s$"
)


@pytest.mark.timeout(90)
def test_any_service_by_url_with_metrics_served_while_it_runs():
    # A service the demo did not start, trusted through --ca-file only.
    from quotra.service import ServiceThread

    with ServiceThread(rate=50) as svc:
        proc = subprocess.Popen(
            demo_cmd(
                "--seconds",
                "4",
                "--interval",
                "0.5",
                "--url",
                svc.url,
                "--ca-file",
                svc.ca_file,
                "--metrics-port",
                "0",
                "--metrics-addr",
                "127.0.0.1",
            ),
            cwd=ROOT,
            env=demo_env(),
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        try:
            out = LineReader(proc.stdout)
            err = LineReader(proc.stderr)
            line = err.wait_for(METRICS_AT, timeout=30)
            assert line is not None, (out.text(1), err.text(1))
            port = int(METRICS_AT.match(line)[1])
            assert out.wait_for(HEALTH, timeout=30) is not None, (out.text(1), err.text(1))
            with urllib.request.urlopen(f"http://127.0.0.1:{port}/metrics", timeout=10) as r:
                scraped = r.read().decode()
            rc = proc.wait(timeout=30)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait(10)
        quotes_sent = svc.quotes_sent
    stdout, stderr = out.text(), err.text()
    assert rc == 0, (stdout, stderr)
    assert 'quotra_connected{client="demo"} 1.0' in scraped, scraped
    import importlib.metadata

    import picows

    build = re.search(r"^quotra_build_info\{(.*)\} 1\.0$", scraped, re.M)
    assert build and dict(re.findall(r'(\w+)="([^"]*)"', build[1])) == {
        "version": importlib.metadata.version("quotra"),
        "picows": picows.__version__,
        "python": "%d.%d.%d" % sys.version_info[:3],
    }, scraped
    m = re.search(r'^quotra_quotes_total\{client="demo"\} ([\d.e+]+)$', scraped, re.M)
    assert m and float(m[1]) > 0, scraped
    m = re.search(r'^quotra_last_quote_age_seconds\{client="demo"\} ([\d.e+-]+)$', scraped, re.M)
    assert m and float(m[1]) < 2, scraped  # 50 quotes/s: normally a few hundredths
    healths = [HEALTH.match(ln) for ln in stdout.splitlines() if HEALTH.match(ln)]
    assert healths and 0 < int(healths[-1][1]) <= quotes_sent and healths[-1][2] == "0", stdout
    assert stdout.splitlines()[-1].endswith("ended: time is up"), stdout


@pytest.mark.parametrize(
    "block, args, wanted",
    [
        # An address that is not this host's (TEST-NET-1): nothing is sent, the bind fails.
        (
            "",
            ["--metrics-port", "0", "--metrics-addr", "192.0.2.1"],
            "cannot serve metrics on 192.0.2.1:0: ",
        ),
        ("prometheus_client", ["--metrics-port", "0"], "pip install 'quotra[metrics]'"),
    ],
)
def test_metrics_that_cannot_be_served_end_the_demo_before_it_starts(block, args, wanted):
    code = (
        "import sys\n"
        f"if {block!r}: sys.modules[{block!r}] = None\n"
        "from quotra.demo import main\nsys.exit(main(['--seconds', '1', *sys.argv[1:]]))\n"
    )
    proc = subprocess.run(
        [sys.executable, "-c", code, *args],
        cwd=ROOT,
        env=demo_env(),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert proc.returncode == 2 and proc.stdout == "", (proc.stdout, proc.stderr)
    (line,) = proc.stderr.splitlines()
    assert line.startswith("python -m quotra.demo: ") and wanted in line, line


FAILURES = {
    # The client pointed at a closed port: its first attempt fails, it logs
    # the error and shuts down; the demo says so.
    "no connection": (
        "import quotra.service as s\norig = s.point_client\n"
        "s.point_client = lambda c, url: orig(c, 'wss://127.0.0.1:1/?version=2')\n"
        "sys.exit(d.main(['--seconds', '5']))\n",
        [
            "ERROR quotra.quotra: Error occured on connect :: ",
            "ERROR quotra.demo: no connection was opened (1 connection errors)",
        ],
        r"demo: 0 quotes for 0 instruments.*",
    ),
    # The close never ends the run: the demo's own time limit stops the loop.
    "client not stopping": (
        "d.STOP_GRACE = 1.0\nd.Demo.time_up = lambda self: None\n"
        "sys.exit(d.main(['--seconds', '1', '--instruments', 'ABC']))\n",
        ["the client did not stop within 1 s of the end"],
        r".*ended: not stopped by the client in time",
    ),
}


@pytest.mark.timeout(90)
@pytest.mark.parametrize("case", FAILURES)
def test_failures_exit_1(case):
    code, errors, last = FAILURES[case]
    proc = subprocess.run(
        [sys.executable, "-c", "import sys, quotra.demo.run as d\n" + code],
        cwd=ROOT,
        env=demo_env(),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert proc.returncode == 1, (proc.stdout, proc.stderr)
    assert all(e in proc.stderr for e in errors), proc.stderr
    assert re.fullmatch(last, proc.stdout.splitlines()[-1]), proc.stdout


# ---------------------------------------------------------------------------
# The live table on a terminal
# ---------------------------------------------------------------------------


class Screen:
    """Just enough of a terminal for what the demo writes: text, CR, LF,
    cursor up (CSI n A), erase below (CSI J), erase line right (CSI K);
    SGR and cursor visibility are recorded/ignored."""

    CSI = re.compile(r"\x1b\[(\??)(\d*)([A-Za-z])")

    def __init__(self):
        self.rows = [[]]
        self.row = self.col = 0
        self.cursor_visible = True

    def feed(self, text):
        i = 0
        while i < len(text):
            ch = text[i]
            if ch == "\x1b":
                m = self.CSI.match(text, i)
                assert m, repr(text[i : i + 20])
                private, num, op = m.groups()
                n = int(num) if num else 1
                if private and op in "hl" and num == "25":
                    self.cursor_visible = op == "h"
                elif op == "A":
                    self.row = max(0, self.row - n)
                elif op == "J":
                    del self.rows[self.row][self.col :]
                    del self.rows[self.row + 1 :]
                elif op == "K":
                    del self.rows[self.row][self.col :]
                elif op != "m":
                    raise AssertionError(f"unexpected escape {m.group()!r}")
                i = m.end()
                continue
            if ch == "\r":
                self.col = 0
            elif ch == "\n":
                self.row += 1
                while len(self.rows) <= self.row:
                    self.rows.append([])
            else:
                line = self.rows[self.row]
                while len(line) < self.col:
                    line.append(" ")
                if self.col < len(line):
                    line[self.col] = ch
                else:
                    line.append(ch)
                self.col += 1
            i += 1

    def lines(self):
        return ["".join(r).rstrip() for r in self.rows]


@pytest.mark.timeout(90)
def test_live_table_redraws_in_place_on_a_terminal():
    import fcntl
    import struct
    import termios

    master, slave = pty.openpty()
    fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 40, 100, 0, 0))
    env = demo_env()
    env["TERM"] = "xterm"
    proc = subprocess.Popen(
        demo_cmd("--seconds", "2.5"), cwd=ROOT, env=env, stdin=slave, stdout=slave, stderr=slave
    )
    os.close(slave)
    raw = b""
    deadline = time.monotonic() + 60
    try:
        while time.monotonic() < deadline:
            ready, _, _ = select.select([master], [], [], 0.2)
            if ready:
                try:
                    chunk = os.read(master, 65536)
                except OSError:  # EIO: the child closed its side
                    break
                if not chunk:
                    break
                raw += chunk
            elif proc.poll() is not None:
                break
        rc = proc.wait(timeout=20)
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait(10)
        os.close(master)
    text = raw.decode("utf-8")
    assert rc == 0, text
    assert "\x1b[?25l" in text and ("\x1b[32m" in text or "\x1b[31m" in text)
    assert text.count("INSTRUMENT") >= 8  # redrawn about four times a second
    screen = Screen()
    screen.feed(text)
    assert screen.cursor_visible
    lines = [line for line in screen.lines() if line]
    # Redrawn in place: one table is left on the screen, log lines above it.
    assert sum(1 for line in lines if line.startswith("INSTRUMENT")) == 1, "\n".join(lines)
    head = next(i for i, line in enumerate(lines) if line.startswith("quotra live quotes"))
    assert lines[head + 1].startswith("INSTRUMENT")
    rows = lines[head + 2 : head + 8]
    assert [r.split()[0] for r in rows] == ["ABC", "DEF", "GHI", "JKL", "MNO", "XYZ"], lines
    for r in rows:
        last, bid, ask = (
            float(x.replace(",", "")) for x in (r.split()[1], r.split()[-4], r.split()[-3])
        )
        assert last > 0 and 0 < bid <= ask, r
    assert lines[head + 8].startswith("total ")
    assert lines[-1].startswith("demo: ") and lines[-1].endswith("ended: time is up")
    logs = lines[:head]
    assert any(DISCONNECTED_LINE in line for line in logs), lines
    assert all(len(line) < 100 for line in lines[head : head + 9])


@pytest.mark.timeout(900)
def test_demo_script_sets_up_and_runs():
    proc = subprocess.run(
        ["bash", "scripts/demo.sh", "--seconds", "2", "--plain", "--instruments", "ABC"],
        cwd=ROOT,
        env=demo_env(),
        capture_output=True,
        text=True,
        timeout=800,
    )
    assert proc.returncode == 0, (proc.stdout, proc.stderr[-4000:])
    assert check_snapshots(proc.stdout).get("ABC", (0, 0))[1] > 0, proc.stdout
    assert proc.stdout.splitlines()[-1].endswith("ended: time is up")
    assert DISCONNECTED_LINE in proc.stderr


def test_missing_service_extra_is_one_line_naming_the_fix():
    # A client-only install has no trustme: the demo says how to get it and
    # exits 2 before starting anything, with no traceback.
    code = (
        "import sys\nsys.modules['trustme'] = None\n"
        "from quotra.demo import main\nsys.exit(main(['--seconds', '1']))\n"
    )
    proc = subprocess.run(
        [sys.executable, "-c", code],
        cwd=ROOT,
        env=demo_env(),
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert proc.returncode == 2, (proc.stdout, proc.stderr)
    assert proc.stdout == ""
    [line] = proc.stderr.splitlines()
    assert line.startswith("python -m quotra.demo: ") and "trustme" in line, line
    assert line.endswith("pip install 'quotra[service]'"), line
