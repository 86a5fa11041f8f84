#!/usr/bin/env bash
# Runs the test suite against an AddressSanitizer + UndefinedBehaviorSanitizer
# build of the extension.
#
#   scripts/test-sanitize.sh [pytest arguments...]
#
# The instrumented module is built in a copy of the sources under
# build/sanitize/tree (the normal in-place build is left alone) and the tests run
# from that copy. The interpreter is not instrumented, so the ASan runtime is
# preloaded; PYTHONMALLOC=malloc sends every Python object through ASan's
# allocator, so a reference-count error that frees an object early shows up as
# a use after free rather than as a silent reuse of a pymalloc block.
#
# Errors (ASan or UBSan) abort the process at the first one. Leaks:
# LeakSanitizer runs at the exit of every Python process and writes its report
# to build/sanitize/logs-*; the interpreter leaks by design at exit (static
# types, interned strings, objects of modules never torn down), so its own
# leaks are counted and allowed, while any leaked block whose allocation stack
# reaches one of our modules (quotra.quotra, quotra._pricetape, quotra._monitor, quotra._quiet) within ten
# frames of malloc fails the run. Objects the
# cyclic collector tracks stay linked in its lists and are never "leaked" to
# LeakSanitizer: tests/test_leaks.py counts those.
#
# Two passes, because the interpreter is built without frame pointers:
#  1. "fast": the whole suite with fast unwinding: every ASan/UBSan error, and
#     leaks of memory our code allocates itself (our frame calls malloc);
#  2. "precise": the suites that create and destroy our objects in bulk (module,
#     pickling, pickle fuzzing, leak checks, the native price message) with
#     precise unwinding (about ten
#     times slower), so that a Python object leaked by our code is traced to
#     our frame through the interpreter's allocation functions.
# Pytest arguments given on the command line replace the selection of both.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

work="$root/build/sanitize"
tree="$work/tree"
rm -rf "$tree"
mkdir -p "$tree"
# The copy holds every file of the working copy that git tracks or would track
# (so also new files not yet added): the tests import the benchmark's stages
# (bench/), run the docs' programs (docs/, mkdocs.yml) and the project's scripts,
# and read its packaging files. Build outputs and the virtualenv are ignored by
# .gitignore and so are left behind. Outside a git checkout: the same files by
# hand, minus those ignored names.
if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z --cached --others --exclude-standard \
        | while IFS= read -r -d '' f; do
              # A file deleted in the working copy is still listed by --cached.
              if [ -f "$f" ]; then printf '%s\0' "$f"; fi
          done \
        | xargs -0 cp --parents -t "$tree"
else
    tar -cf - --exclude=./.venv --exclude=./build --exclude=./dist --exclude='*.so' --exclude='*.o' \
        --exclude=__pycache__ --exclude='*.egg-info' --exclude=./.git . | tar -xf - -C "$tree"
fi
for d in quotra/client quotra/native quotra/health quotra/hooks tests bench; do
    [ -d "$tree/$d" ] || { echo "sanitize: $d missing from the copy in $tree" >&2; exit 1; }
done
# Tests that run the project's scripts (the demo) run them in the copy, whose
# set-up step must not rebuild the module uninstrumented: there it only checks
# that the instrumented build is in place.
cat > "$tree/scripts/setup.sh" <<'SH'
#!/usr/bin/env bash
# Sanitizer copy: the instrumented module is already built here.
set -euo pipefail
cd "$(dirname "$0")/.."
ls quotra/quotra.cpython-313-*.so >/dev/null
SH
ln -sfn "$root/.venv" "$tree/.venv"

echo "sanitize: building the instrumented extension in $tree" >&2
(cd "$tree" && QUOTRA_SANITIZE=1 "$root/.venv/bin/python" setup.py -q build_ext --inplace -j 2 \
    --build-temp "$work/temp" >/dev/null)
# Every module of ours: the client, the native price message, the health reader, the quiet end.
ours=()
for m in quotra _pricetape _monitor _quiet; do
    f=$(ls "$tree"/quotra/$m.cpython-313-*.so)
    ldd "$f" | grep libasan >/dev/null || { echo "sanitize: $f is not instrumented" >&2; exit 1; }
    ours+=("$(basename "$f")")
done

asan_rt=$(g++ -print-file-name=libasan.so)
ubsan_rt=$(g++ -print-file-name=libubsan.so)
[ -f "$asan_rt" ] && [ -f "$ubsan_rt" ] || { echo "sanitize: sanitizer runtimes not found" >&2; exit 1; }

# judge LOGDIR: says how many tests ran (from LOGDIR/junit.xml); fails when none
# did, on any error report and on any leak traced to our module.
judge() {
    "$root/.venv/bin/python" - "$1" "${ours[@]}" <<'PY'
import glob, os, re, sys
import xml.etree.ElementTree as ET

logs, sos = sys.argv[1], sys.argv[2:]
name = os.path.basename(logs).removeprefix("logs-")
ran = {"tests": 0, "failures": 0, "errors": 0, "skipped": 0}
try:
    for suite in ET.parse(os.path.join(logs, "junit.xml")).getroot().iter("testsuite"):
        for key in ran:
            ran[key] += int(suite.get(key, "0"))
    passed = ran["tests"] - ran["failures"] - ran["errors"] - ran["skipped"]
    print(f"sanitize: pass '{name}': {ran['tests']} test(s) ran: {passed} passed, "
          f"{ran['failures']} failed, {ran['errors']} error(s), {ran['skipped']} skipped",
          file=sys.stderr)
except (OSError, ET.ParseError) as exc:
    # No report: pytest itself was killed (a sanitizer abort in the main process).
    print(f"sanitize: pass '{name}': no test report ({exc})", file=sys.stderr)
ours = " or ".join(sos)
errors, our_leaks, other_leaks, other_bytes = [], [], 0, 0
for path in sorted(glob.glob(os.path.join(logs, "*san.*"))):
    text = open(path, errors="replace").read()
    if re.search(r"ERROR: (AddressSanitizer|UndefinedBehaviorSanitizer)|runtime error:", text):
        errors.append((path, text))
    if "ERROR: LeakSanitizer" not in text:
        continue
    for block in re.split(r"\n(?=(?:Direct|Indirect) leak of )", text):
        m = re.match(r"(Direct|Indirect) leak of (\d+) byte", block)
        if not m:
            continue
        # Ours: a frame of our module (its file name when unsymbolised, else one
        # of our sources) within the first ten frames from malloc. Deeper down
        # it is only what called into the interpreter, e.g. an import that our
        # module's initialisation triggered, whose strings the interpreter keeps.
        near = [line for line in block.splitlines() if re.match(r"\s+#[0-9] ", line)]
        if any(any(so in line for so in sos) or re.search(r" quotra/((client|native|health)/)?\w+\.(cpp|hpp|h):\d+", line)
               for line in near):
            our_leaks.append((path, block.strip()))
        else:
            other_leaks += 1
            other_bytes += int(m.group(2))

for path, text in errors:
    print(f"sanitize: error report in {path}:\n{text}", file=sys.stderr)
for path, block in our_leaks:
    print(f"sanitize: leak through {ours} ({path}):\n{block}\n", file=sys.stderr)
print(f"sanitize: pass '{name}': {len(errors)} error report(s); {len(our_leaks)} leak(s) with a "
      f"frame in {ours}; {other_leaks} interpreter leak record(s) at exit ({other_bytes} bytes), allowed",
      file=sys.stderr)
sys.exit(1 if errors or our_leaks or ran["tests"] == 0 else 0)
PY
}

# run_pass NAME UNWIND_OPTIONS PYTEST_ARGS...
run_pass() {
    local name=$1 unwind=$2
    shift 2
    local logs="$work/logs-$name" rc=0
    rm -rf "$logs"
    mkdir -p "$logs"
    echo "sanitize: pass '$name': pytest $*" >&2
    (
        cd "$tree"
        export LD_PRELOAD="$asan_rt $ubsan_rt"
        export ASAN_OPTIONS="halt_on_error=1:abort_on_error=1:detect_leaks=1:detect_odr_violation=0:$unwind:log_path=$logs/asan"
        export UBSAN_OPTIONS="halt_on_error=1:abort_on_error=1:print_stacktrace=1:log_path=$logs/ubsan"
        exec "$root/.venv/bin/python" -m pytest -q -p no:cacheprovider --junitxml="$logs/junit.xml" "$@"
    ) || rc=$?
    judge "$logs" || rc=1
    return $rc
}

export PYTHONMALLOC=malloc
# Leaks are judged from the reports, not by each process's exit status (a test's
# subprocess would otherwise fail for the interpreter's own leaks at exit).
export LSAN_OPTIONS="exitcode=0:report_objects=0"
# Sanitized code runs several times slower: tests scale their waits by this.
export QUOTRA_SLOW=${QUOTRA_SLOW:-4}
# Memory figures mean nothing under ASan (freed blocks wait in its quarantine):
# tests check object counts only.
export QUOTRA_SANITIZED=1

status=0
if [ $# -gt 0 ]; then
    run_pass fast "fast_unwind_on_malloc=1" "$@" || status=1
    run_pass precise "fast_unwind_on_malloc=0:malloc_context_size=16" "$@" || status=1
else
    run_pass fast "fast_unwind_on_malloc=1" tests || status=1
    precise=()
    for f in tests/test_module.py tests/test_pickling.py tests/test_fuzz_pickle.py tests/test_leaks.py \
             tests/test_native_message.py tests/test_health.py; do
        [ -f "$f" ] && precise+=("$f")
    done
    run_pass precise "fast_unwind_on_malloc=0:malloc_context_size=16" "${precise[@]}" || status=1
fi
if [ $status -eq 0 ]; then echo "sanitize: clean" >&2; else echo "sanitize: FAILED" >&2; fi
exit $status
