#!/usr/bin/env bash
# The bridge's tests against every nats-py release the `bridge` extra allows (the
# list below; each is checked against the extra's range in pyproject.toml). Each
# release is installed into a folder of its own, put before the venv's on the path.
#   scripts/check-nats-py.sh            (after scripts/setup.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
RELEASES=(2.16.0)
py=.venv/bin/python
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for v in "${RELEASES[@]}"; do
  "$py" - "$v" <<'PY'
import sys, tomllib
from packaging.requirements import Requirement
extra = tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["bridge"]
req = next(Requirement(r) for r in extra if Requirement(r).name == "nats-py")
if not req.specifier.contains(sys.argv[1]):
    sys.exit(f"nats-py {sys.argv[1]} is outside the bridge extra's range {req.specifier}")
PY
  "$py" -m pip install -q --no-deps --target "$work/nats-py-$v" "nats-py==$v"
  got=$(PYTHONPATH="$work/nats-py-$v" "$py" -c 'from nats.aio.client import __version__; print(__version__)')
  [ "$got" = "$v" ] || { echo "check-nats-py: nats-py $v asked for, $got imported" >&2; exit 1; }
  echo "check-nats-py: nats-py $v" >&2
  PYTHONPATH="$work/nats-py-$v" "$py" -m pytest -q -p no:cacheprovider -p no:randomly \
    tests/test_bridge.py tests/test_bridge_faults.py
done
