#!/usr/bin/env bash
# The page in headless Chromium (driven over its DevTools pipe by drive.py): builds it with
# web/build.sh into OUT, runs the golden script in the page and compares it with the native golden
# trajectory, then takes a picture of the page at t = 2 s and checks that the rope hangs between
# the carriages, rebuilds it with 40 links, and drags carriage 2 with the right button. Exits 77
# (skipped) when emcc or chromium is missing. Usage: page.sh SOURCE_DIR OUT
set -euo pipefail
source_dir=$1
out=$2
for program in emcc chromium; do
  if ! command -v "$program" >/dev/null; then
    echo "skipped: $program is not installed (scripts/install-deps.sh installs it)"
    exit 77
  fi
done

"$source_dir/web/build.sh" "$out"
drive=$source_dir/tests/web/drive.py
python3 "$drive" golden "$out/index.html" "$out/golden_rows.csv"
python3 "$source_dir/tests/web/compare_golden.py" "$out/golden_rows.csv" "$source_dir/tests/data/golden_rope.csv"

python3 "$drive" picture "$out/index.html" "$out/page.png"
convert "$out/page.png" "$out/page.ppm"
python3 "$source_dir/tests/web/check_picture.py" sag "$out/page.ppm"

# 40 links from the address, as the panel sets them: 1.64 m of rope between carriages 0.8 m apart
# hangs about 0.72 m deep (221 pixels at 309 pixels per metre), where 24 links (1 m) can reach
# no deeper than 0.3 m (93 pixels), row 345 with the carriages on row 252.
python3 "$drive" picture "$out/index.html" "$out/links.png" links=40
convert "$out/links.png" "$out/links.ppm"
python3 "$source_dir/tests/web/check_picture.py" longer "$out/links.ppm" 380

# The right button drags carriage 2's target (it starts at x = 0.6 m, column 635 in this 900 x 600
# view, the carriages' row 252) to the left; a second later its disc is under the pointer.
python3 "$drive" drag "$out/index.html" "$out/drag.png" 635 560 252
convert "$out/drag.png" "$out/drag.ppm"
python3 "$source_dir/tests/web/check_picture.py" carriage "$out/drag.ppm" 560 635
echo "pictures: $out/page.png $out/drag.png"
