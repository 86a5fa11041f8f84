#!/usr/bin/env bash
# Builds the documentation site (mkdocs.yml, docs/) with `mkdocs build --strict`:
# a broken link, anchor, snippet or API reference fails it. Sets up .venv first
# (scripts/setup.sh). The site goes to a temporary directory, removed after
# the build, unless a directory is given:
#
#   scripts/docs.sh            # check only (what .ci/run does)
#   scripts/docs.sh site       # keep the site in site/ (kept out of git)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

if [ $# -gt 0 ]; then
  out=$1
else
  out=$(mktemp -d "${TMPDIR:-/tmp}/quotra-site.XXXXXX")
  trap 'rm -rf "$out"' EXIT
fi
export NO_MKDOCS_2_WARNING=1
if ! .venv/bin/mkdocs build --strict --site-dir "$out" >"$out.log" 2>&1; then
  cat "$out.log" >&2
  rm -f "$out.log"
  echo "docs: FAILED: mkdocs build --strict (above)" >&2
  exit 1
fi
rm -f "$out.log"
echo "docs: mkdocs build --strict: OK ($(find "$out" -name index.html | wc -l) pages)"
