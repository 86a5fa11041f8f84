#!/usr/bin/env bash
# Prepares a working copy: finds CPython 3.13, creates .venv, installs the pinned
# dependencies, builds the extension in place (quotra/quotra.cpython-313-*.so) and
# installs the project into .venv in editable mode, so that `import quotra` works
# from any directory and the console scripts (quotra-demo, quotra-service) are in
# .venv/bin. Quick when run again: each step is skipped while its inputs are
# unchanged, and build_ext rebuilds only what is out of date.
#
# It says what it does, one line a step (and a line at least every 10 s while
# a step runs), and prints nothing once everything is up to date.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

say() { echo "setup: $*"; }

# step LOG CMD...: runs CMD with all its output in LOG. Shows the lines worth
# seeing as they come (a package pip collects, a file the compiler starts on)
# and, after 10 s without one, how long the step has been at it; on failure
# the end of LOG.
step() {
  local log=$1; shift
  local started=$SECONDS
  if ! "$@" 2>&1 | tee "$log" | progress "$started"; then
    tail -n 40 "$log" >&2
    say "FAILED: $*" >&2
    exit 1
  fi
}

progress() {
  local started=$1 shown=$SECONDS line rc
  while :; do
    if IFS= read -r -t 10 line; then
      if [[ $line =~ ^Collecting\ ([^ ]+) ]]; then
        echo "setup:   ${BASH_REMATCH[1]}"
      elif [[ $line =~ ^Installing\ collected\ packages ]]; then
        echo "setup:   installing them"
      elif [[ $line =~ \ -c\ ([^ ]+\.cpp) ]]; then
        echo "setup:   compiling ${BASH_REMATCH[1]}"
      else
        (( SECONDS - shown < 10 )) && continue
        echo "setup:   still at it ($((SECONDS - started)) s)"
      fi
      shown=$SECONDS
    else
      rc=$?
      (( rc > 128 )) || return 0  # end of the output
      echo "setup:   still at it ($((SECONDS - started)) s)"
      shown=$SECONDS
    fi
  done
}

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
  say "finding CPython 3.13"
  py=$(find_python)
  if [ -z "$py" ] && command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
    echo "setup: no CPython 3.13 found; installing it with apt-get" >&2
    apt-get update -qq && apt-get install -y -qq python3.13 python3.13-dev python3.13-venv g++ >/dev/null
    py=$(find_python)
  fi
  [ -n "$py" ] || { echo "setup: CPython 3.13 not found (tried python3.13, pyenv, /usr/bin)" >&2; exit 1; }
  say "making .venv with $py ($("$py" -c 'import platform; print(platform.python_version())'))"
  rm -rf .venv
  "$py" -m venv .venv
fi
mkdir -p .venv/log

stamp=.venv/.requirements.stamp
if [ ! -f "$stamp" ] || ! cmp -s requirements-dev.txt "$stamp"; then
  say "installing the pinned packages of requirements-dev.txt into .venv (1-2 min the first time)"
  step .venv/log/pip.log .venv/bin/python -m pip install --disable-pip-version-check --progress-bar off -r requirements-dev.txt
  cp requirements-dev.txt "$stamp"
fi

# stale SO FILE...: SO is missing or older than one of the files, so build_ext
# below has work to do (it tracks the same sources and headers).
stale() {
  local so=$1; shift
  [ ! -f "$so" ] || [ -n "$(find "$@" -type f -newer "$so" -print -quit)" ]
}
suffix=$(.venv/bin/python -c 'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
if stale "quotra/quotra$suffix" quotra/client quotra/native/*.h quotra/native/*.hpp \
    || stale "quotra/_monitor$suffix" quotra/health quotra/client/*.hpp \
    || stale "quotra/_quiet$suffix" quotra/hooks quotra/client/*.hpp \
    || stale "quotra/_pricetape$suffix" quotra/native; then
  say "building the extensions in place: quotra.quotra, quotra._monitor, quotra._quiet, quotra._pricetape"
  step .venv/log/build.log .venv/bin/python setup.py build_ext --inplace -j 2
fi

# The editable install points .venv at this checkout's package directory, so it
# imports the in-place build above; only the project's metadata (console
# scripts, packages) needs it redone.
stamp=.venv/.editable.stamp
if [ ! -f "$stamp" ] || ! cat pyproject.toml setup.py | cmp -s - "$stamp" || [ ! -x .venv/bin/quotra-demo ]; then
  say "installing quotra into .venv in editable mode (its console scripts and metadata)"
  step .venv/log/editable.log .venv/bin/python -m pip install --disable-pip-version-check --no-deps --no-build-isolation -e .
  cat pyproject.toml setup.py > "$stamp"
fi
