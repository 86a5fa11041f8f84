#!/usr/bin/env python3
"""Mutation run: does the test suite catch faults made on purpose?

Each mutant in scripts/mutants.toml is one search-and-replace in one file
(the search text must occur exactly once), with a name and the tests closest
to it. For each mutant, alone: the file is changed in a scratch copy of the
working tree (the tree itself is never written, so an interrupted run leaves
nothing behind), the extensions are rebuilt when the file is C++, the closest
tests run, and only if they pass, the whole suite. A mutant is killed when a
run fails (a hang past the time-out included); survived when both pass. The
score is killed / (killed + survived). Not scored: a mutant that survives
and is marked `equivalent` (the reason it cannot be told apart is given), one
whose search text is no longer in its file (stale), one that does not build
(broken). The whole suite runs once on the unmutated copy first.

    .venv/bin/python scripts/mutate.py                 # every mutant; closest tests, then the suite
    .venv/bin/python scripts/mutate.py --closest-only  # a quick pass: closest tests only
    .venv/bin/python scripts/mutate.py --list
    .venv/bin/python scripts/mutate.py wire-cache-hit-without-length listener-echoes-1004-1006

Run scripts/setup.sh first (the scratch copy starts from its build). C++
objects are cached by content under build/mutation-cache, so a C++ mutant
costs the compilation of its one file and a link, and putting the original
back costs a link.
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import tomllib
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
PYTHON = ROOT / ".venv" / "bin" / "python"
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

# Run inside the scratch copy in place of `setup.py build_ext`: every object
# file is looked up by the hash of its source, all headers and its flags
# before anything is compiled; objects already built and newer than their
# inputs seed the cache.
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


def load(path: Path) -> list[dict]:
    with open(path, "rb") as f:
        mutants = tomllib.load(f)["mutant"]
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
    return mutants


def stale(m: dict) -> str | None:
    """Why the mutant no longer applies to the tree, or None."""
    path = ROOT / m["file"]
    if not path.is_file():
        return f"{m['file']} not found"
    n = path.read_text(encoding="utf-8").count(m["search"])
    return None if n == 1 else f"search text found {n} times in {m['file']}"


def run(cmd: list[str], cwd: Path, env: dict, timeout: float, log: Path, shown: str = "") -> int:
    """The command's exit status; a run past its time-out counts as a failure
    (a hang is a fault found)."""
    with open(log, "ab") as out:
        out.write(f"\n$ {shown or ' '.join(cmd)}\n".encode())
        out.flush()
        proc = subprocess.Popen(
            cmd, cwd=cwd, env=env, stdout=out, stderr=subprocess.STDOUT, start_new_session=True
        )
        try:
            return proc.wait(timeout)
        except subprocess.TimeoutExpired:
            os.killpg(proc.pid, 9)
            proc.wait()
            out.write(b"\n(time-out)\n")
            return -9
        except BaseException:
            os.killpg(proc.pid, 9)  # Ctrl-C: nothing of the run outlives it
            proc.wait()
            raise


def build(scratch: Path, env: dict, log: Path) -> bool:
    cache = ROOT / "build" / "mutation-cache"
    return (
        run(
            [str(PYTHON), "-c", BUILD, str(cache)],
            scratch,
            env,
            1800,
            log,
            "setup.py build_ext (cached)",
        )
        == 0
    )


def pytest(scratch: Path, env: dict, args: list[str], timeout: float, log: Path) -> int:
    return run(
        [
            str(PYTHON),
            "-m",
            "pytest",
            "-q",
            "-x",
            "-p",
            "no:cacheprovider",
            "-p",
            "no:randomly",
            *args,
        ],
        scratch,
        env,
        timeout,
        log,
    )


def main() -> int:
    ap = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    ap.add_argument("names", nargs="*", help="run only these mutants")
    ap.add_argument("--mutants", type=Path, default=ROOT / "scripts" / "mutants.toml")
    ap.add_argument("--closest-only", action="store_true", help="never run the whole suite")
    ap.add_argument(
        "--list", action="store_true", help="list the mutants and whether each still applies"
    )
    ap.add_argument("--suite-timeout", type=float, default=900)
    ap.add_argument("--log", type=Path, default=ROOT / "build" / "mutation.log")
    a = ap.parse_args()

    mutants = load(a.mutants)
    if a.names:
        unknown = set(a.names) - {m["name"] for m in mutants}
        if unknown:
            sys.exit(f"unknown mutants: {sorted(unknown)}")
        mutants = [m for m in mutants if m["name"] in a.names]
    if a.list:
        for m in mutants:
            why = stale(m)
            print(f"{m['name']:44} {m['file']:34} {'STALE: ' + why if why else 'applies'}")
        return 0
    if not PYTHON.exists():
        sys.exit("run scripts/setup.sh first")

    a.log.parent.mkdir(parents=True, exist_ok=True)
    a.log.write_text("")
    results: list[tuple[str, str, str]] = []
    interrupted = False
    with tempfile.TemporaryDirectory(prefix="quotra-mutation-") as tmp:
        scratch = Path(tmp) / "tree"
        shutil.copytree(ROOT, scratch, ignore=SKIP, symlinks=True)
        # The copy's package and tests, never the tree's, in every process the
        # tests start (the editable install points at the tree).
        env = dict(os.environ, PYTHONPATH=str(scratch), PYTHONDONTWRITEBYTECODE="1")
        print(f"scratch copy {scratch}; log {a.log}", flush=True)
        if not build(scratch, env, a.log):
            sys.exit(f"the unmutated copy does not build; see {a.log}")
        # A suite failing without any mutant would count every mutant killed.
        if not a.closest_only and pytest(scratch, env, ["tests"], a.suite_timeout, a.log) != 0:
            sys.exit(f"the suite fails on the unmutated copy; see {a.log}")
        try:
            for m in mutants:
                t0 = time.monotonic()
                why = stale(m)
                if why:
                    results.append((m["name"], "stale", why))
                    print(f"{m['name']:44} STALE ({why})", flush=True)
                    continue
                path = scratch / m["file"]
                original = path.read_bytes()
                text = original.decode()
                native = path.suffix in NATIVE
                with open(a.log, "a") as f:
                    f.write(f"\n===== {m['name']} ({m['file']})\n")
                try:
                    path.write_text(text.replace(m["search"], m["replace"], 1), encoding="utf-8")
                    if native and not build(scratch, env, a.log):
                        outcome, how = "broken", "does not build"
                    elif pytest(scratch, env, m["tests"], a.suite_timeout, a.log) != 0:
                        outcome, how = "killed", "closest tests"
                    elif a.closest_only:
                        outcome, how = "survived", "closest tests pass (suite not run)"
                    elif pytest(scratch, env, ["tests"], a.suite_timeout, a.log) != 0:
                        outcome, how = "killed", "suite"
                    else:
                        outcome, how = "survived", "closest tests and suite pass"
                finally:
                    path.write_bytes(original)
                # The copy's build is the original's again before the next mutant
                # (skipped on Ctrl-C: the copy is about to go).
                if native and not build(scratch, env, a.log):
                    sys.exit(f"the copy no longer builds after restoring {m['file']}; see {a.log}")
                if outcome == "survived" and "equivalent" in m:
                    outcome, how = "equivalent", m["equivalent"]
                results.append((m["name"], outcome, how))
                print(
                    f"{m['name']:44} {outcome.upper():9} {how} ({time.monotonic() - t0:.0f} s)",
                    flush=True,
                )
        except KeyboardInterrupt:
            interrupted = True
            print("interrupted; the working tree was never changed", file=sys.stderr)
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
    return 130 if interrupted else 0 if not survived and not other else 1


if __name__ == "__main__":
    sys.exit(main())
