"""The rope's shape at a few times of one run, from simulate(..., placements=True): the carriages
pull the ends apart, then carriage 2 runs in and the rope swings.

    PYTHONPATH=build/release/python /usr/bin/python3 examples/plot_shapes.py docs/shapes.png
"""

import sys

import matplotlib

matplotlib.use("Agg")  # no display needed
import matplotlib.pyplot as plt
import numpy as np

import ropesim

MOVES = [(1, -0.3, 0.0), (2, 0.7, 0.0), (2, 0.2, 1.0)]  # (carriage, target x, time)
SHOWN = (0.0, 0.5, 1.0, 1.25, 1.5, 2.0, 3.0)  # s


def main(output):
    rope = ropesim.Rope()
    times, states, placements = rope.simulate(3.0, every=5, targets=MOVES, placements=True)
    n = rope.coordinate_count
    figure, axis = plt.subplots(figsize=(8, 4.5), constrained_layout=True)
    colours = plt.cm.viridis(np.linspace(0.0, 0.9, len(SHOWN)))
    for colour, t in zip(colours, SHOWN):
        row = int(np.argmin(np.abs(times - t)))
        # Body origins, base first, then the far end: the rope as a line.
        x, y = placements[row, :, 0], placements[row, :, 1]
        axis.plot(x, y, "-", color=colour, label=f"{times[row]:.2f} s")
        carriages = states[row, [2 * n, 2 * n + 2]]
        axis.plot(carriages, [0.0, 0.0], "s", color=colour, markersize=6)
    axis.set_aspect("equal")
    axis.set_xlabel("x (m)")
    axis.set_ylabel("y (m)")
    axis.set_title("Rope shapes; squares: the carriages (carriage 2 runs in at 1 s)")
    axis.legend(loc="lower right", fontsize="small")
    figure.savefig(output, dpi=90)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "shapes.png")
