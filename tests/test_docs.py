"""Every fenced block tagged `python` in README.md and docs/*.md is a complete
program, run here as it stands, from a directory outside the checkout, against
the bundled service it starts itself: it must end with status 0, by itself or
on Ctrl-C, within bounded time. Fragments are tagged `pycon` or `text` and
commands `sh`/`console`, and are not run. The README's first program is also
held to what it promises: it streams quotes and ends the client's way."""

import os
import re
import signal
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import pytest

from harness import limit

ROOT = Path(__file__).resolve().parent.parent
FENCE = re.compile(r"^```(\S*)\n(.*?)^```$", re.M | re.S)
QUOTE_LINE = re.compile(r"my_app: (ABC|XYZ) \d+\.\d\d  bid \d+\.\d\d  ask \d+\.\d\d$", re.M)


def blocks():
    """(id, language, code) of every fenced block, ids as FILE:LINE."""
    found = []
    for path in [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]:
        text = path.read_text(encoding="utf-8")
        for m in FENCE.finditer(text):
            line = text.count("\n", 0, m.start()) + 1
            found.append((f"{path.relative_to(ROOT)}:{line}", m[1], m[2]))
    return found


PROGRAMS = [pytest.param(code, id=where) for where, lang, code in blocks() if lang == "python"]


def test_the_first_program_is_among_the_blocks_run():
    assert any("def on_quote" in p.values[0] and "my_app" in p.values[0] for p in PROGRAMS)


class Run:
    """A block running as a script of its own, its stderr in a file."""

    def __init__(self, code: str, tmp: str):
        self.log_path = os.path.join(tmp, "stderr.txt")
        env = {k: v for k, v in os.environ.items() if k != "SSL_CERT_FILE"}
        with open(self.log_path, "w") as err:
            self.proc = subprocess.Popen(
                [sys.executable, "-c", code],
                cwd=tmp,
                env=env,
                stdout=subprocess.PIPE,
                stderr=err,
                text=True,
            )

    def log(self) -> str:
        with open(self.log_path, encoding="utf-8") as f:
            return f.read()

    def wait_until(self, done, seconds: float) -> bool:
        """True once done() holds, False if the process ended or time ran out first."""
        deadline = time.monotonic() + limit(seconds)
        while not done():
            if self.proc.poll() is not None or time.monotonic() > deadline:
                return False
            time.sleep(0.1)
        return True

    def finish(self, seconds: float) -> tuple[int, str]:
        """Waits for the end (a Ctrl-C first if it still runs after `seconds`)."""
        try:
            if not self.wait_until(lambda: False, seconds) and self.proc.poll() is None:
                self.proc.send_signal(signal.SIGINT)
            out, _ = self.proc.communicate(timeout=limit(20))
            return self.proc.returncode, out
        finally:
            if self.proc.poll() is None:
                self.proc.kill()
                self.proc.wait()


@pytest.mark.timeout(120)
@pytest.mark.parametrize("code", PROGRAMS)
def test_python_block_runs(code):
    with tempfile.TemporaryDirectory() as tmp:
        run = Run(code, tmp)
        first_program = "my_app" in code
        if first_program:
            # It streams until Ctrl-C: three quotes logged, then the signal.
            assert run.wait_until(lambda: len(QUOTE_LINE.findall(run.log())) >= 3, 30), run.log()
        rc, _out = run.finish(0 if first_program else 30)
        log = run.log()
    assert rc == 0, log
    assert "Traceback" not in log, log
    if first_program:
        assert (
            "Socket opened." in log and "WebSocket closure initiated by user interrupt." in log
        ), log
        assert "quotra.quotra: Websocket disconnected." in log, log


def test_the_readmes_links_reach_files_of_the_checkout():
    # The docs pages are checked by `mkdocs build --strict` (scripts/docs.sh);
    # the README is not part of that site.
    text = (ROOT / "README.md").read_text(encoding="utf-8")
    targets = re.findall(r"\]\(([^)#\s]+)(?:#[^)]*)?\)", text)
    assert targets
    missing = [t for t in targets if "://" not in t and not (ROOT / t).exists()]
    assert not missing, missing


def test_the_sidebar_follows_the_home_pages_reading_order():
    nav = re.findall(
        r"^  - [^:\n]+: (\S+\.md)$", (ROOT / "mkdocs.yml").read_text(encoding="utf-8"), re.M
    )
    home = re.findall(
        r"^- \[[^\]]+\]\((\S+\.md)\)",
        (ROOT / "docs" / "index.md").read_text(encoding="utf-8"),
        re.M,
    )
    assert nav == ["index.md", *home], (nav, home)
