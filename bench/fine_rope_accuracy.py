"""Work and error of bdf on the fine rope of models/fine_rope.toml, both carriages driven (to -0.5
and 0.9 m) from t = 0. Over 1 s: the wall time and the largest body-position error against bdf
at 1e-12, for each tolerance. That reference is checked first against a second method, dirk at
1e-10, over the first FRAMES frames of 0.01 s (dirk is many times slower on this rope, and an
explicit method would need millions of steps per second).

    PYTHONPATH=build/release/python /usr/bin/python3 bench/fine_rope_accuracy.py [LINKS] [FRAMES]

LINKS defaults to 1000, FRAMES to 1.
"""
import sys
import time

import numpy as np
import ropesim

MODEL = "models/fine_rope.toml"
TARGETS = [(1, -0.5, 0.0), (2, 0.9, 0.0)]
TOLERANCES = [1e-6, 1e-7, 1e-8, 1e-9]
REFERENCE = 1e-12
CHECK = 1e-10  # dirk's tolerance for the check


def positions(links, integrator, tolerance, duration, every):
    """Every body's position (x, y) at each row, and the wall time the run took."""
    rope = ropesim.Rope(MODEL, links=links, integrator=integrator, tolerance=tolerance)
    started = time.perf_counter()
    _, _, shapes = rope.simulate(duration, every=every, targets=TARGETS, placements=True)
    return shapes[:, :, :2], time.perf_counter() - started


def main(links, frames):
    span = 0.01 * frames
    near, _ = positions(links, "bdf", REFERENCE, span, 1)
    far, seconds = positions(links, "dirk", CHECK, span, 1)
    print(f"reference check over {span:g} s: bdf at {REFERENCE:g} and dirk at {CHECK:g} differ by "
          f"{np.abs(near - far).max():.2e} m (dirk took {seconds:.1f} s)", flush=True)
    reference, seconds = positions(links, "bdf", REFERENCE, 1.0, 10)
    print(f"reference: bdf at {REFERENCE:g}, 1 s in {seconds:.1f} s", flush=True)
    print("| tolerance | wall for 1 s | largest position error |")
    print("|---|---|---|")
    for tolerance in TOLERANCES:
        run, seconds = positions(links, "bdf", tolerance, 1.0, 10)
        print(f"| {tolerance:g} | {seconds:.2f} s | {np.abs(run - reference).max():.1e} m |",
              flush=True)


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 1000,
         int(sys.argv[2]) if len(sys.argv) > 2 else 1)
