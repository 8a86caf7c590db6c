#!/usr/bin/env bash
# The page in headless Chromium: builds it with web/build.sh into OUT, then runs page.test.mjs
# (puppeteer-core from tests/web/node_modules, which ./test.sh installs with npm ci from the
# committed lock file). Exits 77 (skipped) when emcc, chromium, node or the npm packages are
# missing. Usage: page.sh SOURCE_DIR OUT
set -euo pipefail
source_dir=$1
out=$2
for program in emcc chromium node; do
  if ! command -v "$program" >/dev/null; then
    echo "skipped: $program is not installed (./test.sh installs it)"
    exit 77
  fi
done
if [[ ! -d $source_dir/tests/web/node_modules/puppeteer-core ]]; then
  echo "skipped: no puppeteer-core (run: npm ci --prefix $source_dir/tests/web)"
  exit 77
fi

"$source_dir/web/build.sh" "$out"
node "$source_dir/tests/web/page.test.mjs" "$out/index.html" "$source_dir/tests/data/golden_rope.csv" "$out"
echo "pictures: $out/page.png $out/drag-1x.png $out/drag-2x.png"
