#!/usr/bin/env bash
# Prepares a working copy: finds CPython 3.13, creates .venv, installs the pinned
# dependencies, builds the extension in place (quotra/quotra.cpython-313-*.so) and
# installs the project into .venv in editable mode, so that `import quotra` works
# from any directory and the console scripts (quotra-demo, quotra-service) are in
# .venv/bin. Quick when run again: each step is skipped while its inputs are
# unchanged, and build_ext rebuilds only what is out of date.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

runs_313() { [ -n "$1" ] && "$1" -c 'import sys; sys.exit(sys.version_info[:2] != (3, 13))' 2>/dev/null; }

find_python() {
  local c
  c=$(command -v python3.13 2>/dev/null || true)
  if runs_313 "$c"; then echo "$c"; return; fi
  if command -v pyenv >/dev/null 2>&1; then
    for c in "$(pyenv root)"/versions/3.13*/bin/python3.13; do
      if runs_313 "$c"; then echo "$c"; return; fi
    done
  fi
  for c in /root/.pyenv/versions/3.13*/bin/python3.13 /usr/bin/python3.13 /usr/local/bin/python3.13; do
    if runs_313 "$c"; then echo "$c"; return; fi
  done
}

if [ ! -x .venv/bin/python ] || ! runs_313 .venv/bin/python; then
  py=$(find_python)
  if [ -z "$py" ] && command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
    echo "setup: no CPython 3.13 found; installing it with apt-get" >&2
    apt-get update -qq && apt-get install -y -qq python3.13 python3.13-dev python3.13-venv g++ >/dev/null
    py=$(find_python)
  fi
  [ -n "$py" ] || { echo "setup: CPython 3.13 not found (tried python3.13, pyenv, /usr/bin)" >&2; exit 1; }
  rm -rf .venv
  "$py" -m venv .venv
fi

stamp=.venv/.requirements.stamp
if [ ! -f "$stamp" ] || ! cmp -s requirements-dev.txt "$stamp"; then
  .venv/bin/python -m pip install -q --disable-pip-version-check -r requirements-dev.txt
  cp requirements-dev.txt "$stamp"
fi

.venv/bin/python setup.py -q build_ext --inplace -j 2 >/dev/null

# The editable install points .venv at this checkout's package directory, so it
# imports the in-place build above; only the project's metadata (console
# scripts, packages) needs it redone.
stamp=.venv/.editable.stamp
if [ ! -f "$stamp" ] || ! cat pyproject.toml setup.py | cmp -s - "$stamp" || [ ! -x .venv/bin/quotra-demo ]; then
  .venv/bin/python -m pip install -q --disable-pip-version-check --no-deps --no-build-isolation -e . >/dev/null
  cat pyproject.toml setup.py > "$stamp"
fi
