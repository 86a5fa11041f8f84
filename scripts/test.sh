#!/usr/bin/env bash
# Sets everything up (scripts/setup.sh), then runs the test suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
exec .venv/bin/python -m pytest -q -p no:cacheprovider "$@"
