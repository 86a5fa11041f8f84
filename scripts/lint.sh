#!/usr/bin/env bash
# The static checks, each reported on a line of its own with its time:
#   ruff check, ruff format --check   quotra/ tests/ bench/ scripts/ (pyproject.toml)
#   mypy --strict                     the Python packages (pyproject.toml's [tool.mypy])
#   stubtest                          the stubs against the built extension modules
#                                     (allowed differences: scripts/stubtest-allowlist.txt)
#   clang-format --dry-run -Werror    the C++ (.clang-format)
#   clang-tidy                        the C++ (.clang-tidy), one process per file
#
#   scripts/lint.sh          every check; exits 1 if any failed
#
# The tools are the pinned ones of requirements-dev.txt, in .venv (scripts/setup.sh,
# which also builds the modules stubtest imports).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
bin="$root/.venv/bin"

python_paths=(quotra tests bench scripts)
typed=(quotra/bridge quotra/record quotra/service quotra/demo quotra/metrics.py quotra/monitor.py)
[ -f quotra/feed.py ] && typed+=(quotra/feed.py)
stubbed=(quotra.quotra quotra._monitor quotra._quiet quotra._pricetape quotra.pricetape_pb2)
mapfile -t cxx < <(ls quotra/client/*.cpp quotra/client/*.hpp quotra/native/*.cpp quotra/native/*.hpp \
                      quotra/native/*.h quotra/health/*.cpp quotra/hooks/*.cpp 2>/dev/null)
mapfile -t units < <(ls quotra/client/*.cpp quotra/native/*.cpp quotra/health/*.cpp quotra/hooks/*.cpp)
py_include=$("$bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
jobs=$(nproc 2>/dev/null || echo 2)

failed=()
# check NAME CMD...: runs CMD, its output shown only when it fails.
check() {
    local name=$1 out rc=0 started=$SECONDS
    shift
    out=$("$@" 2>&1) || rc=$?
    if [ $rc -eq 0 ]; then
        echo "lint: $name: ok ($((SECONDS - started)) s)"
    else
        printf '%s\n' "$out"
        echo "lint: $name: FAILED ($((SECONDS - started)) s)"
        failed+=("$name")
    fi
}

# tidy FILE: clang-tidy of one translation unit (headers through it), quiet
# unless it finds something.
tidy() {
    "$bin/clang-tidy" --quiet "$1" -- -x c++ -std=c++20 -fno-strict-aliasing -I"$py_include" 2>/dev/null
}
export -f tidy
export bin py_include

check "ruff check" "$bin/ruff" check --no-cache "${python_paths[@]}"
check "ruff format --check" "$bin/ruff" format --no-cache --check "${python_paths[@]}"
check "mypy --strict" "$bin/mypy" --strict --cache-dir=/dev/null "${typed[@]}"
check "stubtest" "$bin/python" -m mypy.stubtest --allowlist scripts/stubtest-allowlist.txt "${stubbed[@]}"
check "clang-format" "$bin/clang-format" --dry-run -Werror "${cxx[@]}"
check "clang-tidy" xargs -P "$jobs" -n 1 bash -c 'tidy "$0"' <<< "$(printf '%s\n' "${units[@]}")"

if [ ${#failed[@]} -gt 0 ]; then
    echo "lint: FAILED: ${failed[*]}"
    exit 1
fi
echo "lint: clean"
