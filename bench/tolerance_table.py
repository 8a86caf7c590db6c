#!/usr/bin/python3
"""What a tolerance bounds: the largest error over the whole state (coordinates, momenta, the
carriages' positions and velocities) after 1 s of the driven rope, divided by the tolerance, per
method, rope and tolerance, against the stored references of the accuracy tests
(tests/data/accuracy_references.csv: rk8pd at 1e-12, checked against rk4 at 1e-12). Prints a
Markdown table, and each run's wall time in a second one.

    /usr/bin/python3 bench/tolerance_table.py build/release/tools/rope-headless [rk4,rkf45,...]
"""
import os
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from accuracy_references import ROPES, final_state  # noqa: E402

METHODS = ["rk4", "rkf45", "rk8pd", "bdf", "dirk", "auto"]
TOLERANCES = [1e-4, 1e-6, 1e-8, 1e-10]
SLOWEST = 60.0  # s: a method slower than this on a rope is not run at tighter tolerances


def references():
    found = {}
    with open(os.path.join(HERE, "..", "tests", "data", "accuracy_references.csv")) as lines:
        for line in lines:
            if not line.startswith("#"):
                fields = line.strip().split(",")
                found[fields[0]] = np.array([float(x) for x in fields[2:]])
    return found


def timed_final_state(program, folder, rope, method, tolerance):
    start = time.monotonic()
    state = final_state(program, folder, rope, method, tolerance)
    return state, time.monotonic() - start


def main():
    program = os.path.abspath(sys.argv[1])
    methods = sys.argv[2].split(",") if len(sys.argv) > 2 else METHODS
    os.chdir(os.path.join(HERE, ".."))  # the ropes' model paths are the checkout's
    known = references()
    ratios, times = [], []
    with tempfile.TemporaryDirectory() as folder:
        for rope in ROPES:
            too_slow = set()
            for tolerance in TOLERANCES:
                ratio_row, time_row = [], []
                for method in methods:
                    if method in too_slow:
                        ratio_row.append("-")
                        time_row.append("-")
                        continue
                    state, seconds = timed_final_state(program, folder, rope, method, tolerance)
                    ratio_row.append(f"{np.abs(state - known[rope]).max() / tolerance:.2g}")
                    time_row.append(f"{seconds:.2f}")
                    if seconds > SLOWEST:
                        too_slow.add(method)
                label = f"| {rope} | {tolerance:.0e} | "
                ratios.append(label + " | ".join(ratio_row) + " |")
                times.append(label + " | ".join(time_row) + " |")
                print(ratios[-1], file=sys.stderr, flush=True)
    header = "| rope | tolerance | " + " | ".join(methods) + " |\n|---|---|" + "---|" * len(methods)
    print(header + "\n" + "\n".join(ratios) + "\n\nWall time (s):\n\n" + header + "\n" + "\n".join(times))


if __name__ == "__main__":
    main()
