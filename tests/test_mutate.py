"""The mutation runner (scripts/mutate.py) judged on a small project of its
own: a mutant counts as killed only when a test ran and failed, and a run
whose tests do not pass on the unmutated tree stops before any mutant."""

import json
import os
import signal
import subprocess
import sys
from pathlib import Path

import pytest

RUNNER = Path(__file__).resolve().parent.parent / "scripts" / "mutate.py"

PROJECT = {
    "pkg.py": "def double(x):\n    return x * 2\n",
    "tests/test_pkg.py": (
        "from pkg import double\n\n\n"
        "def test_double():\n    assert double(2) == 4\n\n\n"
        "def test_zero():\n    assert double(0) == 0\n"
    ),
}
BROKEN = "def test_broken():\n    assert False\n"
SLOW = "import time\n\n\ndef test_slow():\n    time.sleep(120)\n"


def mutant(name, search, replace, tests=("tests/test_pkg.py::test_double",), file="pkg.py"):
    return dict(name=name, file=file, search=search, replace=replace, tests=list(tests))


KILLED = mutant("triples", "x * 2", "x * 3")
SURVIVES = mutant("adds-itself", "x * 2", "x + x")

# (files added to the project, mutants, options, exit status, words the
# output holds, words it must not hold)
CASES = {
    "a failing closest test kills": ([], [KILLED], ["--closest-only"], 0, ["KILLED", "1/1"], []),
    "a passing suite lets it survive": ([], [SURVIVES], [], 1, ["SURVIVED", "0/1"], ["KILLED"]),
    "the mutant renames its closest test: an error, not a kill": (
        [],
        [mutant("renamed", "def test_double", "def test_doubled", file="tests/test_pkg.py")],
        ["--closest-only"],
        1,
        ["ERROR", "test id not found"],
        ["KILLED", "; score"],
    ),
    "the mutant's module no longer imports: an error, not a kill": (
        [],
        [mutant("unimportable", "def double(x):", "def double(x)")],
        ["--closest-only"],
        1,
        ["ERROR", "ERROR tests/test_pkg.py"],
        ["KILLED", "; score"],
    ),
    "a stale mutant is reported and fails the run": (
        [],
        [KILLED, mutant("gone", "x * 4", "x * 5")],
        ["--closest-only"],
        1,
        ["STALE", "not scored: gone (stale)", "1/1"],
        [],
    ),
    "a closest test renamed in the tree stops the run": (
        [],
        [mutant("renamed-before", "x * 2", "x * 3", ["tests/test_pkg.py::test_gone"])],
        ["--closest-only"],
        2,
        ["not found", "test_gone", "no mutant judged"],
        ["KILLED", "ERROR  "],
    ),
    "a closest test failing on the unmutated tree stops a --closest-only run": (
        [("tests/test_broken.py", BROKEN)],
        [KILLED, mutant("judged-by-broken", "x * 2", "x - 2", ["tests/test_broken.py"])],
        ["--closest-only"],
        2,
        ["closest tests did not pass", "FAILED tests/test_broken.py::test_broken"],
        ["KILLED"],
    ),
    "a suite failing on the unmutated tree stops a full run": (
        [("tests/test_broken.py", BROKEN)],
        [KILLED],
        [],
        2,
        ["the suite did not pass", "test_broken"],
        ["KILLED"],
    ),
    "closest tests timing out on the unmutated tree stop the run": (
        [("tests/test_slow.py", SLOW)],
        [mutant("judged-by-slow", "x * 2", "x * 3", ["tests/test_slow.py"])],
        ["--closest-only", "--suite-timeout", "3"],
        2,
        ["timed out", "no mutant judged"],
        ["KILLED"],
    ),
}


def toml(mutants):
    # JSON's strings and arrays are TOML's too.
    return "".join(
        "[[mutant]]\n" + "".join(f"{k} = {json.dumps(v)}\n" for k, v in m.items()) + "\n"
        for m in mutants
    )


def run_runner(tmp_path, added, mutants, options, **how):
    tree = tmp_path / "project"
    for name, text in [*PROJECT.items(), *added]:
        (tree / name).parent.mkdir(parents=True, exist_ok=True)
        (tree / name).write_text(text)
    (tmp_path / "mutants.toml").write_text(toml(mutants))
    # The small project needs none of the plugins installed for the real suite.
    env = dict(os.environ, PYTEST_DISABLE_PLUGIN_AUTOLOAD="1")
    cmd = [sys.executable, str(RUNNER), "--root", str(tree), "--python", sys.executable]
    cmd += ["--mutants", str(tmp_path / "mutants.toml"), "--log", str(tmp_path / "log"), *options]
    done = subprocess.run(cmd, capture_output=True, text=True, env=env, timeout=120, **how)
    # The tree itself is never written.
    assert (tree / "pkg.py").read_text() == PROJECT["pkg.py"]
    return done.returncode, done.stdout + done.stderr


@pytest.mark.parametrize("added, mutants, options, status, said, unsaid", CASES.values(), ids=CASES)
def test_runner_verdicts(tmp_path, added, mutants, options, status, said, unsaid):
    got, output = run_runner(tmp_path, added, mutants, options)
    assert got == status, output
    for words in said:
        assert words in output, output
    for words in unsaid:
        assert words not in output, output


def test_a_run_with_sigint_ignored_says_so_when_its_tests_fail(tmp_path):
    # As a background job of a non-interactive shell starts: the tests that
    # interrupt themselves hang or fail, and the runner names the likely cause.
    added = [("tests/test_broken.py", BROKEN)]
    ignored = dict(preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_IGN))
    got, output = run_runner(tmp_path, added, [KILLED], [], **ignored)
    assert got == 2 and "SIGINT is ignored" in output, output
    got, output = run_runner(tmp_path, added, [KILLED], [])
    assert got == 2 and "SIGINT" not in output, output
