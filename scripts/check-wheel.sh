#!/usr/bin/env bash
# Wheel check: builds the manylinux wheel (scripts/build-wheel.sh), shows what
# auditwheel says of it, and uses it as a user without a compiler would:
#
#  1. installs it binary-only (`--only-binary :all:`) with the `service` extra into
#     a fresh virtual environment, with a PATH on which no C or C++ compiler can
#     be found (the environment's bin and a few symlinked tools), and runs
#     `quotra-demo --seconds 3 --plain` from a directory outside the checkout;
#  2. for each picows release the module supports (QUOTRA_PICOWS_VERSIONS in
#     quotra/client/picows_abi.hpp): installs that release into the same environment and
#     runs the streaming and real-server test files, from a copy of tests/ outside
#     the checkout so that they import the installed wheel, and the demo again;
#  3. with picows 2.1.2 installed (a release of another layout), checks that
#     `import quotra.quotra` raises ImportError naming the installed and the
#     supported releases.
#
# Packages come from the package index (pip's cache helps); the demo and the tests
# talk only to 127.0.0.1. Called by .ci/run.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/build-wheel.sh

say() { echo "check-wheel: $*"; }
fail() { echo "check-wheel: FAILED: $*" >&2; exit 1; }

wheel=$(ls "$root"/wheelhouse/quotra-*.whl)
.venv/bin/auditwheel show "$wheel" | awk '{ print "  | " $0 }'
# What it holds and its size (README.md states it): no C++ sources, stripped objects.
.venv/bin/python scripts/check-dist.py "$wheel" | awk '{ print "  | " $0 }' \
  || fail "the wheel holds C++ sources or unstripped objects (above)"

mapfile -t versions < <(sed -n 's/^#define QUOTRA_PICOWS_VERSIONS //p' quotra/client/picows_abi.hpp | grep -o '"[^"]*"' | tr -d '"')
[ "${#versions[@]}" -gt 0 ] || fail "no picows releases found in quotra/client/picows_abi.hpp"
refused=2.1.2

work=$(mktemp -d "${TMPDIR:-/tmp}/quotra-wheel-check.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir "$work/outside" "$work/tools"
unset PYTHONPATH SSL_CERT_FILE
env=$work/venv
.venv/bin/python -m venv "$env"

# The PATH every command below runs with: the environment's own bin and a few
# plain tools, no compiler.
for tool in sh env; do ln -s "$(command -v "$tool")" "$work/tools/$tool"; done
nocc_path="$env/bin:$work/tools"
found=$(PATH=$nocc_path; hash -r; for c in cc gcc g++ c++ clang clang++; do type -P "$c" || true; done)
[ -z "$found" ] || fail "a compiler is on the check's PATH: $found"
say "no cc, gcc, g++, c++, clang or clang++ on the PATH: $nocc_path"

# run [timeout N] CMD...: CMD (a path) with the compiler-free PATH, from outside the checkout.
run() {
  local limit=()
  if [ "$1" = timeout ]; then limit=(timeout "$2"); shift 2; fi
  (cd "$work/outside" && "${limit[@]}" env PATH="$nocc_path" "$@")
}
quiet() {
  local log=$1; shift
  "$@" >"$log" 2>&1 || { tail -n 40 "$log" >&2; fail "$*"; }
}
pip_install() {
  quiet "$work/pip.log" run "$env/bin/python" -m pip install --disable-pip-version-check --only-binary :all: "$@"
}

demo() {
  local rc=0 quotes
  run timeout 60 "$env/bin/quotra-demo" --seconds 3 --plain >"$work/demo.out" 2>"$work/demo.err" || rc=$?
  [ "$rc" = 0 ] || { awk '{ print "  | " $0 }' "$work/demo.out" "$work/demo.err"; fail "quotra-demo exited $rc ($1)"; }
  quotes=$(sed -n 's/^demo: \([0-9]*\) quotes .*/\1/p' "$work/demo.out")
  [ "${quotes:-0}" -gt 0 ] || { cat "$work/demo.out"; fail "quotra-demo showed no quotes ($1)"; }
  grep -q ' quotes=[1-9][0-9]* ' "$work/demo.out" || fail "quotra-demo printed no instrument with quotes ($1)"
  say "$1: quotra-demo --seconds 3 --plain: exit 0, $quotes quotes"
}

# -- 1. the wheel, binary-only, with the service extra --------------------------
pip_install "$wheel[service]"
where=$(run "$env/bin/python" -c 'import quotra.quotra as q; print(q.__file__)')
case "$where" in "$env/"*) ;; *) fail "quotra.quotra imported from $where, not from the wheel's environment" ;; esac
say "installed $(basename "$wheel")[service] binary-only; quotra.quotra from the environment"
demo "picows $(run "$env/bin/python" -c 'import picows; print(picows.__version__)')"

# The test tooling, at the working copy's pins (picows excepted: installed below).
# nkeys (the bridge's NKEY signing) is published as a source distribution
# only; it is pure Python, so building it needs no compiler either.
grep -hv -e '^-r' -e '^picows==' requirements.txt requirements-dev.txt > "$work/constraints.txt"
pip_install -c "$work/constraints.txt" --no-binary nkeys "$wheel[test]"
# The tests and the pytest settings, outside the checkout: nothing there shadows
# the installed package.
cp -r tests "$work/tests"
cp pyproject.toml "$work/"
rm -rf "$work/tests/__pycache__"

# -- 2. every supported picows release -----------------------------------------
for v in "${versions[@]}"; do
  pip_install "picows==$v"
  got=$(run "$env/bin/python" -c 'import picows; print(picows.__version__)')
  [ "$got" = "$v" ] || fail "picows $v asked for, $got installed"
  # As the tests see it: their directory first on sys.path, conftest imported.
  where=$(cd "$work" && env PATH="$nocc_path" "$env/bin/python" -c '
import sys; sys.path.insert(0, "tests")
import conftest, quotra.quotra as q; print(q.__file__)')
  case "$where" in "$env/"*) ;; *) fail "picows $v: the tests import quotra.quotra from $where" ;; esac
  started=$SECONDS
  rc=0
  (cd "$work" && env PATH="$nocc_path" "$env/bin/python" -m pytest -q -p no:cacheprovider \
     tests/test_streaming.py tests/test_real_servers.py) >"$work/pytest.log" 2>&1 || rc=$?
  summary=$(grep -E '^=*[ ]*[0-9]+ (passed|failed)' "$work/pytest.log" | tail -n 1 || true)
  [ "$rc" = 0 ] || { tail -n 60 "$work/pytest.log" >&2; fail "picows $v: streaming and real-server tests: exit $rc"; }
  say "picows $v: tests/test_streaming.py tests/test_real_servers.py against the wheel: $summary ($((SECONDS - started)) s)"
  demo "picows $v"
done

# -- 3. a release of another layout is refused at import ------------------------
pip_install "picows==$refused"
rc=0
run "$env/bin/python" -c '
import sys
try:
    import quotra.quotra
except ImportError as e:
    print(e)
    sys.exit(0)
sys.exit("import quotra.quotra succeeded")' >"$work/refused.out" 2>&1 || rc=$?
awk '{ print "  | " $0 }' "$work/refused.out"
[ "$rc" = 0 ] || fail "picows $refused: import quotra.quotra exited $rc instead of raising ImportError"
grep -qF "picows $refused:" "$work/refused.out" || fail "picows $refused: the ImportError does not name the installed release"
for v in "${versions[@]}"; do
  grep -qF "$v" "$work/refused.out" || fail "picows $refused: the ImportError does not name $v among the supported releases"
done
say "picows $refused: import quotra.quotra raises ImportError naming it and ${versions[*]}"
say "OK"
