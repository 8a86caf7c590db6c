"""Compares the page's golden run (the rows it wrote into #results, saved by drive.py) with the
native golden trajectory. The browser's C library rounds sin and cos differently from glibc in
the last bit now and then, so the two agree closely, not bit for bit: every component within
1e-9 at t = 0.5 s (one target move in), within 1e-6 at t = 2 s (both moves, the differences grown
through the chaotic swing). Usage: compare_golden.py rows.csv golden.csv"""
import sys


def rows_of(lines):
    return [[float(v) for v in line.split(",")] for line in lines if line.strip()]


rows_path, golden_path = sys.argv[1:3]
with open(rows_path, encoding="utf-8") as f:
    text = f.read()
if not text.strip():
    sys.exit("the page wrote no rows")
if "error" in text:
    sys.exit("the page reported: " + text.strip().splitlines()[-1])
web = rows_of(text.splitlines())
with open(golden_path, encoding="utf-8") as f:
    native = rows_of(f.read().splitlines()[1:])

if len(web) != len(native) or any(len(a) != len(b) for a, b in zip(web, native)):
    sys.exit(f"shape differs: {len(web)} rows from the page, {len(native)} in the golden file")

limits = {0.5: 1e-9, 2.0: 1e-6}
failed = False
for a, b in zip(web, native):
    if abs(a[0] - b[0]) > 1e-12:
        sys.exit(f"times differ: {a[0]} and {b[0]}")
    difference = max(abs(x - y) for x, y in zip(a[1:], b[1:]))
    limit = next((v for t, v in limits.items() if abs(b[0] - t) < 1e-9), None)
    verdict = "" if limit is None else (" ok" if difference <= limit else f" OVER {limit:g}")
    failed |= verdict.startswith(" OVER")
    print(f"t = {b[0]:.2f} s: max |difference| = {difference:.3g}{verdict}")
sys.exit(1 if failed else 0)
