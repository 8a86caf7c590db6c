#!/usr/bin/env bash
# The page in headless Chromium (driven over its DevTools pipe by drive.py): builds it with
# web/build.sh into OUT, runs the golden script in the page and compares it with the native golden
# trajectory, then takes a picture of the page at t = 2 s and checks that the rope hangs between
# the carriages. Exits 77 (skipped) when emcc or chromium is missing. Usage: page.sh SOURCE_DIR OUT
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
python3 - "$out/page.ppm" <<'CHECK'
# At t = 2 s the rope hangs in a curve from its two carriages: red pixels spread over many rows
# (the starting pose is a straight line three pixels high), with the carriages' black discs on
# the topmost red row's level.
import sys

with open(sys.argv[1], "rb") as f:
    magic, width, height, depth = f.readline(), *map(int, f.readline().split()), int(f.readline())
    data = f.read()
assert magic.strip() == b"P6" and depth == 255


def pixel(x, y):
    at = 3 * (y * width + x)
    return data[at:at + 3]


red_rows = [y for y in range(height) for x in range(width)
            if pixel(x, y)[0] > 200 and pixel(x, y)[1] < 80 and pixel(x, y)[2] < 80]
if not red_rows:
    sys.exit("no rope drawn")
top, bottom = min(red_rows), max(red_rows)
black = [(x, y) for y in range(max(0, top - 8), min(height, top + 8)) for x in range(width)
         if max(pixel(x, y)) < 40]
print(f"rope from row {top} to {bottom}; {len(black)} dark pixels next to its top")
if bottom - top < 40:
    sys.exit("the rope does not sag")
if len(black) < 20:
    sys.exit("no carriages beside the rope's ends")
CHECK
echo "picture: $out/page.png"
