#!/usr/bin/python3
"""Writes tests/data/accuracy_references.csv: each rope's state after 1 s with both carriages driven from
t = 0 (to -0.5 and 0.9 m), by rk8pd at 1e-12, kept only where rk4 at 1e-12 agrees to 1e-9.
The accuracy table of tests/app/test_integrators.cpp compares every method against these.

    /usr/bin/python3 bench/accuracy_references.py build/release/tools/rope-headless
"""
import os
import subprocess
import sys
import tempfile

import numpy as np

ROPES = {
    "soft": [],
    "springy": ["--set", "joint_stiffness=550"],
    "stiff": ["--set", "joint_stiffness=55000"],
    "stiffest": ["--set", "joint_stiffness=5.5e6"],
    "fine": ["--model", "models/fine_rope.toml", "--set", "links=99"],
}
AGREEMENT = 1e-9


def final_state(program, folder, rope, method, tolerance=1e-12):
    """The state after 1 s of the driven rope; model paths are the checkout's (run from there)."""
    out = os.path.join(folder, "run.csv")
    subprocess.run([program, "--quiet", "--duration", "1", "--target", "1=-0.5@0", "--target",
                    "2=0.9@0", "--integrator", method, "--tolerance", str(tolerance),
                    "--output", out] + ROPES[rope], check=True)
    return np.loadtxt(out, delimiter=",", skiprows=1)[-1, 1:]


def main():
    program = sys.argv[1]
    here = os.path.dirname(os.path.abspath(__file__))
    root = os.path.dirname(here)
    os.chdir(root)  # model paths are the checkout's
    lines = ["# rope, how far rk4 at 1e-12 lands from rk8pd at 1e-12, then rk8pd's state after 1 s "
             "(q, p, x1, v1, x2, v2)"]
    with tempfile.TemporaryDirectory() as folder:
        for rope in ROPES:
            reference = final_state(program, folder, rope, "rk8pd")
            check = final_state(program, folder, rope, "rk4")
            gap = np.abs(reference - check).max()
            print(f"{rope}: rk8pd and rk4 differ by {gap:.1e}", file=sys.stderr)
            if gap > AGREEMENT:
                sys.exit(f"{rope}: the references disagree by {gap:.1e}")
            lines.append(",".join([rope, f"{gap:.1e}"] + [repr(float(x)) for x in reference]))
    with open(os.path.join(root, "tests", "data", "accuracy_references.csv"), "w") as out:
        out.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
