"""The README's Usage example, run as it stands in README.md, against the
bundled service: it streams quotes and ends on Ctrl-C with status 0."""

import os
import re
import signal
import subprocess
import sys
import tempfile
import time

from harness import limit

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
QUOTE_LINE = re.compile(r"my_app: (ABC|XYZ) \d+\.\d\d  bid \d+\.\d\d  ask \d+\.\d\d$", re.M)


def usage_example() -> str:
    with open(os.path.join(ROOT, "README.md"), encoding="utf-8") as f:
        text = f.read()
    usage = text[text.index("\n## Usage\n"):]
    return re.search(r"```python\n(.*?)```", usage, re.S).group(1)


def test_usage_example_streams_quotes_and_ends_on_ctrl_c():
    with tempfile.TemporaryDirectory() as tmp:
        log_path = os.path.join(tmp, "stderr.txt")
        with open(log_path, "w") as err:
            # Run from elsewhere, as a user's script would be.
            proc = subprocess.Popen([sys.executable, "-c", usage_example()], cwd=tmp,
                                    stdout=subprocess.DEVNULL, stderr=err)

        def log() -> str:
            with open(log_path, encoding="utf-8") as f:
                return f.read()
        try:
            deadline = time.monotonic() + limit(20)
            while len(QUOTE_LINE.findall(log())) < 3:
                assert proc.poll() is None and time.monotonic() < deadline, log()
                time.sleep(0.1)
            proc.send_signal(signal.SIGINT)
            assert proc.wait(limit(15)) == 0, log()
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        text = log()
    assert "Socket opened." in text and "WebSocket closure initiated by user interrupt." in text, text
    assert "quotra.quotra: Websocket disconnected." in text, text
