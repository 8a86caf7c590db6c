#!/usr/bin/python3
"""What a tolerance bounds: the largest error over the whole state (coordinates, momenta, the
carriages' positions and velocities) after 1 s, divided by the tolerance, per method, rope and
tolerance. References: rk8pd at 1e-12, checked against rk4 at 1e-12. Prints a Markdown table.

    /usr/bin/python3 bench/tolerance_table.py build/release/tools/rope-headless
"""
import os
import subprocess
import sys
import tempfile

import numpy as np

METHODS = ["rk4", "rkf45", "rk8pd", "bdf", "dirk", "auto"]
ROPES = {"default rope": [], "550": ["--set", "joint_stiffness=550"],
         "55000": ["--set", "joint_stiffness=55000"]}
TOLERANCES = [1e-4, 1e-6, 1e-8, 1e-10]


def last_state(program, folder, args):
    out = os.path.join(folder, "run.csv")
    subprocess.run([program, "--quiet", "--duration", "1", "--every", "100", "--output", out] + args,
                   check=True)
    return np.loadtxt(out, delimiter=",", skiprows=1)[-1, 1:]


def main():
    program = sys.argv[1]
    with tempfile.TemporaryDirectory() as folder:
        print("| rope | tolerance | " + " | ".join(METHODS) + " |")
        print("|---|---|" + "---|" * len(METHODS))
        for rope, keys in ROPES.items():
            reference = last_state(program, folder, keys + ["--integrator", "rk8pd", "--tolerance", "1e-12"])
            check = last_state(program, folder, keys + ["--integrator", "rk4", "--tolerance", "1e-12"])
            print(f"<!-- {rope}: rk8pd and rk4 at 1e-12 differ by {np.abs(reference - check).max():.1e} -->")
            for tolerance in TOLERANCES:
                ratios = []
                for method in METHODS:
                    state = last_state(program, folder,
                                       keys + ["--integrator", method, "--tolerance", str(tolerance)])
                    ratios.append(np.abs(state - reference).max() / tolerance)
                print(f"| {rope} | {tolerance:.0e} | " + " | ".join(f"{r:.2g}" for r in ratios) + " |")


if __name__ == "__main__":
    main()
