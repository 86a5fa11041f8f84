#!/usr/bin/env bash
# Packaging check: builds the sdist and the wheel with the standard build
# front-end and installs them the way a user would, each into a fresh virtual
# environment, and uses them from a directory outside the checkout:
#
#  0. scripts/check-dist.py: the wheel holds no C++ source and only stripped
#     shared objects, the sdist every source and header;
#  1. the wheel with the `service` extra: `import quotra.quotra` comes from that
#     environment; `quotra-demo --seconds 3 --plain` exits 0 and shows quotes;
#     `quotra-service` says where to connect;
#  2. the sdist, client only (no extra): building it from the sdist fails if a
#     header or the schema is missing from it; `import quotra.quotra` works, no
#     certificate or test tooling came along, and `quotra-demo` and
#     `quotra-service` exit 2 with one line naming the extra to install.
#
# Packages come from the package index (pip's cache helps); the demo and the
# service talk only to 127.0.0.1. Called by .ci/run after the test suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

work=$(mktemp -d "${TMPDIR:-/tmp}/quotra-package.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/outside"
# Both compiler jobs of build_ext, for every build below (pip's included).
printf '[build_ext]\nparallel = 2\n' > "$work/build.cfg"
export DIST_EXTRA_CONFIG="$work/build.cfg"
unset PYTHONPATH SSL_CERT_FILE

say() { echo "check-package: $*"; }
fail() { echo "check-package: FAILED: $*" >&2; exit 1; }
# quiet LOG CMD...: runs CMD with its output in LOG, shown only if it fails.
quiet() {
  local log=$1; shift
  "$@" >"$log" 2>&1 || { tail -n 40 "$log" >&2; fail "$*"; }
}
# venv NAME REQUIREMENT: a fresh environment with REQUIREMENT installed in it.
venv() {
  .venv/bin/python -m venv "$work/$1"
  quiet "$work/$1.log" "$work/$1/bin/python" -m pip install --disable-pip-version-check "$2"
}
# outside [timeout N] ENV CMD...: runs ENV's CMD in a directory outside the
# checkout, within N seconds if given.
outside() {
  local limit=()
  if [ "$1" = timeout ]; then limit=(timeout "$2"); shift 2; fi
  local env=$1 cmd=$2; shift 2
  (cd "$work/outside" && "${limit[@]}" "$work/$env/bin/$cmd" "$@")
}

started=$SECONDS
quiet "$work/build.log" .venv/bin/python -m build --outdir "$work/dist" .
sdist=$(ls "$work"/dist/quotra-*.tar.gz)
wheel=$(ls "$work"/dist/quotra-*.whl)
say "built $(basename "$sdist") and $(basename "$wheel") ($((SECONDS - started)) s)"
# The wheel: no C++ sources, stripped shared objects; the sdist: every source.
.venv/bin/python scripts/check-dist.py "$wheel" "$sdist" | awk '{ print "  | " $0 }' \
  || fail "the wheel or the sdist holds what it should not, or lacks what it should (above)"

# -- 1. the wheel with the service extra ---------------------------------------
venv wheel "$wheel[service]"
where=$(outside wheel python -c 'import quotra.quotra as q; print(q.__file__)')
case "$where" in "$work/wheel/"*) ;; *) fail "quotra.quotra imported from $where, not from the wheel's environment" ;; esac
say "wheel[service]: import quotra.quotra from outside the checkout: OK"

rc=0
outside timeout 60 wheel quotra-demo --seconds 3 --plain >"$work/demo.out" 2>"$work/demo.err" || rc=$?
awk '{ print "  | " $0 }' "$work/demo.out" "$work/demo.err"
[ "$rc" = 0 ] || fail "quotra-demo exited $rc"
quotes=$(sed -n 's/^demo: \([0-9]*\) quotes .*/\1/p' "$work/demo.out")
[ "${quotes:-0}" -gt 0 ] || fail "quotra-demo showed no quotes"
grep -q ' quotes=[1-9][0-9]* ' "$work/demo.out" || fail "quotra-demo printed no instrument with quotes"
say "wheel[service]: quotra-demo --seconds 3 --plain: exit 0, $quotes quotes"

rc=0
outside timeout 30 wheel quotra-service --duration 1 --ca-file "$work/ca.pem" >"$work/service.out" 2>"$work/service.err" || rc=$?
awk '{ print "  | " $0 }' "$work/service.out" "$work/service.err"
[ "$rc" = 0 ] || fail "quotra-service exited $rc"
# Its first line says where to connect and which CA certificate to trust.
head -n 1 "$work/service.out" | outside wheel python -c '
import json, sys
line = json.loads(sys.stdin.readline())
assert line["url"].startswith("wss://127.0.0.1:"), line
assert line["ca_file"] == sys.argv[1], line' "$work/ca.pem" || fail "quotra-service did not say where to connect"
grep -q 'BEGIN CERTIFICATE' "$work/ca.pem" || fail "quotra-service wrote no CA certificate"
say "wheel[service]: quotra-service --duration 1: exit 0, printed its wss:// URL and the CA certificate to trust"

# -- 2. the sdist, client only -------------------------------------------------
started=$SECONDS
venv sdist "$sdist"
outside sdist python -c 'import quotra.quotra'
say "sdist: built and installed ($((SECONDS - started)) s); import quotra.quotra from outside the checkout: OK"
extra=$(outside sdist python -c '
import importlib.util as u
print(" ".join(m for m in ("trustme", "cryptography", "pytest", "hypothesis", "build", "nats") if u.find_spec(m)))')
[ -z "$extra" ] || fail "a client-only install pulled in: $extra"

for cmd in "quotra-demo --seconds 1" "quotra-service --duration 1"; do
  rc=0
  # shellcheck disable=SC2086  # the command and its options, split on purpose
  outside timeout 30 sdist $cmd >"$work/missing.out" 2>"$work/missing.err" || rc=$?
  awk '{ print "  | " $0 }' "$work/missing.err"
  [ "$rc" = 2 ] || fail "$cmd without trustme exited $rc, not 2"
  [ "$(wc -l <"$work/missing.err")" = 1 ] || fail "$cmd without trustme: not exactly one line on stderr"
  grep -qF "pip install 'quotra[service]'" "$work/missing.err" || fail "$cmd without trustme does not name the fix"
  say "sdist: $cmd without trustme: exit 2, one line naming pip install 'quotra[service]'"
done
rc=0
outside timeout 30 sdist quotra-bridge --instruments ABC >"$work/missing.out" 2>"$work/missing.err" || rc=$?
awk '{ print "  | " $0 }' "$work/missing.err"
[ "$rc" = 2 ] || fail "quotra-bridge without nats-py exited $rc, not 2"
[ "$(wc -l <"$work/missing.err")" = 1 ] || fail "quotra-bridge without nats-py: not exactly one line on stderr"
grep -qF "pip install 'quotra[bridge]'" "$work/missing.err" || fail "quotra-bridge without nats-py does not name the fix"
say "sdist: quotra-bridge without nats-py: exit 2, one line naming pip install 'quotra[bridge]'"
say "OK"
