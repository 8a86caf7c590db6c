"""Convergence in links: the 1 m rope of models/fine_rope.toml (given by its physics, far end held
at the point) cut into 100 to 1,600 links, both carriages driven (to -0.5 and 0.9 m) from t = 0.
Prints the height of the rope's mid-point (0.5 m along it) every 0.1 s over 1 s for each count,
the largest difference between successive counts and the observed order log2(d_k / d_k+1).

    PYTHONPATH=build/release/python /usr/bin/python3 bench/convergence_in_links.py [TOL] [LINKS...]

TOL is bdf's tolerance (default 1e-7; its global error is some hundred times larger, which bounds
how small a difference between counts can be seen).
"""
import math
import sys
import time

import ropesim

MODEL = "models/fine_rope.toml"
DURATION, EVERY = 1.0, 10  # s, frames between rows
TARGETS = [(1, -0.5, 0.0), (2, 0.9, 0.0)]


def mid_heights(links, integrator="bdf", tolerance=1e-7):
    """The mid-point's height at every row: on the body that holds the arc length 0.5 m."""
    rope = ropesim.Rope(MODEL, links=links, integrator=integrator, tolerance=tolerance)
    length = 1.0 / (links + 1)  # every rod of the rope
    body, along = divmod(0.5, length)
    body = int(body)
    _, _, shapes = rope.simulate(DURATION, every=EVERY, targets=TARGETS, placements=True)
    return [y + along * math.sin(angle) for _, y, angle in shapes[:, body, :]]


def main(tolerance, counts):
    heights = {}
    for links in counts:
        started = time.perf_counter()
        heights[links] = mid_heights(links, tolerance=tolerance)
        print(f"{links} links: {time.perf_counter() - started:.1f} s of wall time", flush=True)
    times = [round(0.1 * k, 1) for k in range(len(heights[counts[0]]))]
    print("| t (s) | " + " | ".join(f"{links} links" for links in counts) + " |")
    print("|---" * (len(counts) + 1) + "|")
    for row, t in enumerate(times):
        print(f"| {t} | " + " | ".join(f"{heights[n][row]:.6f}" for n in counts) + " |")
    steps = []
    for coarse, fine in zip(counts, counts[1:]):
        gap = max(abs(a - b) for a, b in zip(heights[coarse], heights[fine]))
        steps.append(gap)
        print(f"largest difference {coarse} -> {fine} links: {gap:.3e} m")
    for (a, b), gap, finer in zip(zip(counts, counts[1:]), steps, steps[1:]):
        print(f"observed order at {b} links: {math.log2(gap / finer):.2f}")


if __name__ == "__main__":
    arguments = sys.argv[1:]
    tolerance = float(arguments.pop(0)) if arguments and "e" in arguments[0] else 1e-7
    main(tolerance, [int(n) for n in arguments] or [100, 200, 400, 800, 1600])
