"""Checks a picture of the page (a binary PPM, converted from Chromium's PNG).

  check_picture.py sag PICTURE
      At t = 2 s the rope hangs in a curve from its two carriages: red pixels spread over many
      rows (the starting pose is a straight line three pixels high), with the carriages' black
      discs on the level of the topmost red row.
  check_picture.py longer PICTURE ROW
      The rope reaches below ROW: deeper than the default 24 links can hang.
  check_picture.py carriage PICTURE COLUMN FROM
      A carriage's disc (dark pixels on the carriages' row) sits within 6 pixels of COLUMN, and
      none is left within 6 pixels of FROM, where the dragged carriage started.
"""
import sys

with open(sys.argv[2], "rb") as f:
    magic, (width, height), depth = f.readline(), map(int, f.readline().split()), int(f.readline())
    data = f.read()
assert magic.strip() == b"P6" and depth == 255


def pixel(x, y):
    at = 3 * (y * width + x)
    return data[at:at + 3]


def is_red(p):
    return p[0] > 200 and p[1] < 80 and p[2] < 80


def dark_columns(top):
    # Below the page's controls the only dark pixels are the carriages' discs.
    return [x for y in range(max(0, top - 8), min(height, top + 8)) for x in range(width)
            if max(pixel(x, y)) < 40]


red_rows = [y for y in range(height) for x in range(width) if is_red(pixel(x, y))]
if not red_rows:
    sys.exit("no rope drawn")
top, bottom = min(red_rows), max(red_rows)
dark = dark_columns(top)
print(f"rope from row {top} to {bottom}; dark pixels from column {min(dark, default=-1)} "
      f"to {max(dark, default=-1)} next to its top")

if sys.argv[1] == "sag":
    if bottom - top < 40:
        sys.exit("the rope does not sag")
    if len(dark) < 20:
        sys.exit("no carriages beside the rope's ends")
elif sys.argv[1] == "longer":
    if bottom <= int(sys.argv[3]):
        sys.exit(f"the rope reaches only row {bottom}")
elif sys.argv[1] == "carriage":
    column, start = float(sys.argv[3]), float(sys.argv[4])
    if not any(abs(x - column) <= 6 for x in dark):
        sys.exit(f"no carriage near column {column}")
    if any(abs(x - start) <= 6 for x in dark):
        sys.exit(f"a carriage is still near column {start}")
else:
    sys.exit(__doc__)
