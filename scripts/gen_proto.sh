#!/usr/bin/env bash
# Regenerates quotra/pricetape_pb2.py and quotra/pricetape_pb2.pyi from
# quotra/pricetape.proto with the protoc bundled in grpcio-tools
# (requirements-dev.txt). The generated files are committed; run this after
# editing the .proto and commit the result. Uses .venv (scripts/setup.sh) when
# present, else $PYTHON, else python3.13.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
py=${PYTHON:-}
if [ -z "$py" ]; then
  if [ -x .venv/bin/python ]; then py=.venv/bin/python; else py=python3.13; fi
fi
# -I . keeps the descriptor's file name "quotra/pricetape.proto", unique in the
# process-wide descriptor pool.
"$py" -m grpc_tools.protoc -I . --python_out=. --pyi_out=. quotra/pricetape.proto
# Check the generated module imports against the installed protobuf runtime
# (its gencode/runtime version check runs at import).
"$py" -c 'import quotra.pricetape_pb2 as m; m.PriceTape(); import google.protobuf as p; print("pricetape_pb2 OK with protobuf", p.__version__)'
