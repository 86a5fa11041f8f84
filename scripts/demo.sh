#!/usr/bin/env bash
# Live quote demo: sets everything up (scripts/setup.sh), starts the local
# market-data service, streams quotes from it through a Quotra client and shows
# them as a live table, for --seconds (default 20) or until Ctrl-C.
#
#   scripts/demo.sh [--seconds N] [--instruments ABC,XYZ] [--rate R] [--plain] ...
#
# Options are those of `python -m quotra.demo --help`.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
# exec: Ctrl-C and SIGTERM go straight to the demo process, whose client handles them.
exec .venv/bin/python -m quotra.demo "$@"
