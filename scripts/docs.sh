#!/usr/bin/env bash
# Builds the documentation site (mkdocs.yml, docs/) with `mkdocs build --strict`:
# a broken link, anchor, snippet or API reference fails it. Sets up .venv first
# (scripts/setup.sh). The site goes to a temporary directory, removed after
# the build, unless a directory is given:
#
#   scripts/docs.sh            # check only (what .ci/run does)
#   scripts/docs.sh site       # keep the site in site/ (kept out of git)
#   scripts/docs.sh serve      # serve it on 127.0.0.1:8000, rebuilt as docs/ or README.md change
#
# NO_MKDOCS_2_WARNING=1 silences the theme's end-of-life banner (8 lines at
# every start, nothing to act on here).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh
export NO_MKDOCS_2_WARNING=1

if [ "${1:-}" = serve ]; then
  exec .venv/bin/mkdocs serve -a 127.0.0.1:8000
fi

if [ $# -gt 0 ]; then
  out=$1
else
  out=$(mktemp -d "${TMPDIR:-/tmp}/quotra-site.XXXXXX")
  trap 'rm -rf "$out"' EXIT
fi
if ! .venv/bin/mkdocs build --strict --site-dir "$out" >"$out.log" 2>&1; then
  cat "$out.log" >&2
  rm -f "$out.log"
  echo "docs: FAILED: mkdocs build --strict (above)" >&2
  exit 1
fi
rm -f "$out.log"
echo "docs: mkdocs build --strict: OK ($(find "$out" -name index.html | wc -l) pages)"
