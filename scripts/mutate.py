#!/usr/bin/env python3
"""Mutation run: does the test suite catch faults made on purpose?

Each mutant in scripts/mutants.toml is one search-and-replace in one file
(the search text must occur exactly once), with a name and the tests closest
to it. For each mutant, alone: the file is changed in a scratch copy of the
working tree (the tree itself is never written, so an interrupted run leaves
nothing behind), the extensions are rebuilt when the file is C++, the closest
tests run, and only if they pass, the whole suite.

A mutant is killed only by a test that ran and failed (a crash, or a hang past
the time-out, included); survived when the tests pass. pytest's statuses that
say no test ran to a verdict (a test id not found, nothing collected, a module
that does not import, a usage error) are errors of the run, never kills. The
score is killed / (killed + survived). Not scored, and failing the run: stale
(the search text is no longer in its file), broken (does not build), error.
Not scored: a survivor marked `equivalent` (the reason it cannot be told
apart is given).

Before any mutant, the tests the run will use run on the unmutated copy: the
closest tests of the mutants chosen, and the whole suite unless
--closest-only. If they do not pass (or time out), the run stops there: a
failure of its own would be taken for a mutant found.

    .venv/bin/python scripts/mutate.py                 # every mutant; closest tests, then the suite
    .venv/bin/python scripts/mutate.py --closest-only  # a quick pass: closest tests only
    .venv/bin/python scripts/mutate.py --list
    .venv/bin/python scripts/mutate.py wire-cache-hit-without-length listener-echoes-1004-1006

Run scripts/setup.sh first (the scratch copy starts from its build). C++
objects are cached by content under build/mutation-cache, so a C++ mutant
costs the compilation of its one file and a link, and putting the original
back costs a link. A tree without setup.py (--root, as the runner's own
tests point it at a small project) has nothing to build.
"""

from __future__ import annotations

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import tomllib
from pathlib import Path
from typing import Any

ROOT = Path(__file__).resolve().parent.parent
NATIVE = (".cpp", ".hpp", ".h")
# Copies of the tree leave out what is not needed to build and test it;
# __pycache__ in particular: a restored file of the mutant's size, written
# within the same second, would pass for the mutant's cached bytecode.
SKIP = shutil.ignore_patterns(
    ".venv",
    ".git",
    "__pycache__",
    ".pytest_cache",
    ".hypothesis",
    "wheelhouse",
    "site",
    "dist",
    "*.egg-info",
    "mutation-cache",
    "sanitize",
)
# pytest's exit statuses that mean no test ran to a verdict.
NO_VERDICT = {
    2: "interrupted, or errors while collecting",
    3: "internal error",
    4: "usage error, or a test id not found",
    5: "no tests collected",
}
# The lines of pytest's output that say which tests did not pass.
TELLING = ("FAILED ", "ERROR", "(time-out)")

BUILD = r"""
import hashlib, os, shutil, sys
from pathlib import Path
import setuptools  # first: it decides which distutils `setup.py` gets
from distutils.compilers.C import unix

cache = Path(sys.argv[1])
cache.mkdir(parents=True, exist_ok=True)
headers = sorted(p for d in ("quotra/client", "quotra/native", "quotra/health") for p in Path(d).glob("*.h*"))
newest_header = max(p.stat().st_mtime for p in headers)
header_digest = hashlib.sha256(b"".join(p.read_bytes() for p in headers)).hexdigest()
original = unix.Compiler._compile

def cached_compile(self, obj, src, ext, cc_args, extra_postargs, pp_opts):
    h = hashlib.sha256(Path(src).read_bytes())
    h.update((header_digest + repr((cc_args, extra_postargs, pp_opts, self.compiler_so))).encode())
    entry = cache / (h.hexdigest() + ".o")
    if entry.exists():
        shutil.copy2(entry, obj)
        return
    o = Path(obj)
    if not (o.exists() and o.stat().st_mtime > max(Path(src).stat().st_mtime, newest_header)):
        original(self, obj, src, ext, cc_args, extra_postargs, pp_opts)
    shutil.copy2(obj, entry)

unix.Compiler._compile = cached_compile
sys.argv = ["setup.py", "-q", "build_ext", "--inplace", "--force"]
exec(compile(open("setup.py").read(), "setup.py", "exec"))
"""

Mutant = dict[str, Any]


def load(path: Path) -> list[Mutant]:
    with open(path, "rb") as f:
        mutants: list[Mutant] = tomllib.load(f)["mutant"]
    names = set()
    for m in mutants:
        missing = {"name", "file", "search", "replace", "tests"} - m.keys()
        if missing:
            sys.exit(f"mutant {m.get('name', '?')}: missing {sorted(missing)}")
        if m["name"] in names:
            sys.exit(f"mutant {m['name']}: name used twice")
        names.add(m["name"])
        if m["search"] == m["replace"]:
            sys.exit(f"mutant {m['name']}: the replacement is the search text")
        if not [t for t in m["tests"] if not t.startswith("-")]:
            sys.exit(f"mutant {m['name']}: no closest tests")
    return mutants


def stale(m: Mutant, root: Path) -> str | None:
    """Why the mutant no longer applies to the tree, or None."""
    path = root / m["file"]
    if not path.is_file():
        return f"{m['file']} not found"
    n = path.read_text(encoding="utf-8").count(m["search"])
    return None if n == 1 else f"search text found {n} times in {m['file']}"


def describe(status: int | None) -> str:
    if status is None:
        return "timed out"
    if status in NO_VERDICT:
        return f"pytest exit {status}: {NO_VERDICT[status]}"
    if status < 0:
        return f"killed by signal {-status}"
    return f"exit {status}"


class Copy:
    """The scratch copy: commands run in it, their output appended to the log."""

    def __init__(self, python: Path, scratch: Path, log: Path, timeout: float) -> None:
        self.python, self.scratch, self.log, self.timeout = python, scratch, log, timeout
        self.offset = 0  # where the last pytest run's output starts in the log
        # The copy's package and tests, never the tree's, in every process the
        # tests start (the editable install points at the tree).
        self.env = dict(os.environ, PYTHONPATH=str(scratch), PYTHONDONTWRITEBYTECODE="1")

    def run(self, cmd: list[str], timeout: float, shown: str = "") -> int | None:
        """The command's exit status; None for a run past its time-out."""
        with open(self.log, "ab") as out:
            out.write(f"\n$ {shown or ' '.join(cmd)}\n".encode())
            out.flush()
            proc = subprocess.Popen(
                cmd,
                cwd=self.scratch,
                env=self.env,
                stdout=out,
                stderr=subprocess.STDOUT,
                start_new_session=True,
            )
            try:
                return proc.wait(timeout)
            except subprocess.TimeoutExpired:
                os.killpg(proc.pid, 9)
                proc.wait()
                out.write(b"\n(time-out)\n")
                return None
            except BaseException:
                os.killpg(proc.pid, 9)  # Ctrl-C: nothing of the run outlives it
                proc.wait()
                raise

    def build(self) -> bool:
        cache = ROOT / "build" / "mutation-cache"
        cmd = [str(self.python), "-c", BUILD, str(cache)]
        return self.run(cmd, 1800, "setup.py build_ext (cached)") == 0

    def pytest(self, args: list[str]) -> int | None:
        self.offset = self.log.stat().st_size
        cmd = [str(self.python), "-m", "pytest", "-q", "-x", "-p", "no:cacheprovider"]
        return self.run([*cmd, "-p", "no:randomly", *args], self.timeout)

    def told(self) -> list[str]:
        """The lines of the last pytest run's output that say what did not pass."""
        with open(self.log, "rb") as f:
            f.seek(self.offset)
            output = f.read().decode(errors="replace").splitlines()
        return [line for line in output if line.startswith(TELLING)]

    def judge(self, m: Mutant, closest_only: bool) -> tuple[str, str]:
        """(outcome, how) of the mutant applied to the copy."""
        for label, args in (("closest tests", m["tests"]), ("suite", ["tests"])):
            if label == "suite" and closest_only:
                return "survived", "closest tests pass (suite not run)"
            status = self.pytest(args)
            if status in NO_VERDICT:
                return "error", f"{label}: {describe(status)}: " + " | ".join(self.told()[:2])
            if status != 0:
                return "killed", label + (" (time-out)" if status is None else "")
        return "survived", "closest tests and suite pass"


def closest_runs(mutants: list[Mutant]) -> list[list[str]]:
    """The closest tests of these mutants in as few pytest runs as their
    options allow (a mutant's own --timeout, say, applies to its tests only)."""
    by_options: dict[tuple[str, ...], list[str]] = {}
    for m in mutants:
        ids = by_options.setdefault(tuple(t for t in m["tests"] if t.startswith("-")), [])
        ids += [t for t in m["tests"] if not t.startswith("-") and t not in ids]
    return [[*options, *ids] for options, ids in by_options.items()]


def check_unmutated(copy: Copy, mutants: list[Mutant], closest_only: bool) -> str | None:
    """Why the tests the run will use cannot judge a mutant, or None: each must
    run and pass on the unmutated copy."""
    runs = closest_runs(mutants) + ([] if closest_only else [["tests"]])
    for args in runs:
        status = copy.pytest(args)
        if status == 0:
            continue
        which = "the suite" if args == ["tests"] else "the closest tests"
        lines = [f"  {line}" for line in copy.told()[:20]]
        why = [f"{which} did not pass on the unmutated copy ({describe(status)}):", *lines]
        if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
            why.append(
                "  SIGINT is ignored in this process (as in a background job of a"
                " non-interactive shell), and in the tests it starts: those that"
                " interrupt themselves cannot pass; run it in the foreground"
            )
        why.append(f"no mutant judged; see {copy.log}")
        return "\n".join(why)
    return None


def report(results: list[tuple[str, str, str]]) -> bool:
    """Prints the tally; true when the run passes (every mutant scored and killed)."""
    killed = sum(1 for _, o, _ in results if o == "killed")
    survived = [n for n, o, _ in results if o == "survived"]
    equivalent = [n for n, o, _ in results if o == "equivalent"]
    other = [f"{n} ({o})" for n, o, _ in results if o not in ("killed", "survived", "equivalent")]
    scored = killed + len(survived)
    print(
        f"\nkilled {killed}, survived {len(survived)}"
        + (f", equivalent (not scored): {', '.join(equivalent)}" if equivalent else "")
        + (f", not scored: {', '.join(other)}" if other else "")
        + (f"; score {killed}/{scored} = {100 * killed / scored:.1f}%" if scored else "")
    )
    if survived:
        print("survivors: " + ", ".join(survived))
    return not survived and not other


def main() -> int:
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    ap.add_argument("names", nargs="*", help="run only these mutants")
    ap.add_argument("--root", type=Path, default=ROOT, help="the tree to copy (default: this one)")
    ap.add_argument("--python", type=Path, help="the interpreter (default: ROOT/.venv/bin/python)")
    ap.add_argument("--mutants", type=Path, help="default: ROOT/scripts/mutants.toml")
    ap.add_argument("--closest-only", action="store_true", help="never run the whole suite")
    ap.add_argument(
        "--list", action="store_true", help="list the mutants and whether each still applies"
    )
    ap.add_argument(
        "--suite-timeout", type=float, default=900, help="seconds a pytest run may take"
    )
    ap.add_argument("--log", type=Path, default=ROOT / "build" / "mutation.log")
    a = ap.parse_args()
    root = a.root.resolve()
    python = a.python or root / ".venv" / "bin" / "python"

    mutants = load(a.mutants or root / "scripts" / "mutants.toml")
    if a.names:
        unknown = set(a.names) - {m["name"] for m in mutants}
        if unknown:
            sys.exit(f"unknown mutants: {sorted(unknown)}")
        mutants = [m for m in mutants if m["name"] in a.names]
    if a.list:
        for m in mutants:
            why = stale(m, root)
            print(f"{m['name']:46} {m['file']:34} {'STALE: ' + why if why else 'applies'}")
        return 0
    if not python.exists():
        sys.exit("run scripts/setup.sh first")

    a.log.parent.mkdir(parents=True, exist_ok=True)
    a.log.write_text("")
    results: list[tuple[str, str, str]] = []
    applying = []
    for m in mutants:
        why = stale(m, root)
        if why:
            results.append((m["name"], "stale", why))
            print(f"{m['name']:46} STALE ({why})", flush=True)
        else:
            applying.append(m)
    interrupted = False
    with tempfile.TemporaryDirectory(prefix="quotra-mutation-") as tmp:
        scratch = Path(tmp) / "tree"
        shutil.copytree(root, scratch, ignore=SKIP, symlinks=True)
        copy = Copy(python, scratch, a.log, a.suite_timeout)
        builds = (scratch / "setup.py").is_file()
        print(f"scratch copy {scratch}; log {a.log}", flush=True)
        if builds and not copy.build():
            sys.exit(f"the unmutated copy does not build; see {a.log}")
        why = check_unmutated(copy, applying, a.closest_only) if applying else None
        if why:
            print(why, file=sys.stderr)
            return 2
        try:
            for m in applying:
                t0 = time.monotonic()
                path = scratch / m["file"]
                original = path.read_bytes()
                native = builds and path.suffix in NATIVE
                with open(a.log, "a") as f:
                    f.write(f"\n===== {m['name']} ({m['file']})\n")
                try:
                    mutated = original.decode().replace(m["search"], m["replace"], 1)
                    path.write_text(mutated, encoding="utf-8")
                    if native and not copy.build():
                        outcome, how = "broken", "does not build"
                    else:
                        outcome, how = copy.judge(m, a.closest_only)
                finally:
                    path.write_bytes(original)
                # The copy's build is the original's again before the next mutant
                # (skipped on Ctrl-C: the copy is about to go).
                if native and not copy.build():
                    sys.exit(f"the copy no longer builds after restoring {m['file']}; see {a.log}")
                if outcome == "survived" and "equivalent" in m:
                    outcome, how = "equivalent", m["equivalent"]
                results.append((m["name"], outcome, how))
                print(
                    f"{m['name']:46} {outcome.upper():9} {how} ({time.monotonic() - t0:.0f} s)",
                    flush=True,
                )
        except KeyboardInterrupt:
            interrupted = True
            print("interrupted; the working tree was never changed", file=sys.stderr)
    passed = report(results)
    return 130 if interrupted else 0 if passed else 1


if __name__ == "__main__":
    sys.exit(main())
