#!/usr/bin/env bash
# Sets everything up (scripts/setup.sh), then runs the test suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
# Two workers (pytest-xdist): most of the suite's time is spent waiting on
# local servers and subprocesses. `-n 0` (given after) runs it in one process.
exec .venv/bin/python -m pytest -q -p no:cacheprovider -n 2 "$@"
