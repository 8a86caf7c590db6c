"""One run of the rope, plotted: carriage positions, the rope's mid-point height and the total
energy over time, and a strip of rope shapes.

    PYTHONPATH=build/release/python /usr/bin/python3 examples/plot_run.py docs/run.png
"""

import sys

import matplotlib

matplotlib.use("Agg")  # no display needed
import matplotlib.pyplot as plt
import numpy as np

import ropesim


def main(output):
    rope = ropesim.Rope()
    moves = [(1, -0.5, 1.0), (2, 0.9, 3.0), (1, -0.2, 5.0)]  # (carriage, target x, time)
    times, carriage1, carriage2, middle, energy, shapes = [], [], [], [], [], []
    pending = list(moves)
    for frame in range(800):  # 8 s
        while pending and rope.time >= pending[0][2] - 1e-9:
            carriage, x, _ = pending.pop(0)
            rope.set_target(carriage, x)
        rope.advance(1)
        placements = rope.placements()
        times.append(rope.time)
        carriage1.append(rope.carriages[0])
        carriage2.append(rope.carriages[2])
        middle.append(placements[len(placements) // 2, 1])
        energy.append(rope.energy())
        if frame % 50 == 49:
            shapes.append((rope.time, placements[:, 0], placements[:, 1]))

    figure, axes = plt.subplots(4, 1, figsize=(8, 11), constrained_layout=True,
                                gridspec_kw={"height_ratios": [1, 1, 1, 1.4]})
    axes[0].plot(times, carriage1, label="carriage 1")
    axes[0].plot(times, carriage2, label="carriage 2")
    axes[0].set_ylabel("x (m)")
    axes[0].legend()
    axes[1].plot(times, middle, color="tab:red")
    axes[1].set_ylabel("mid-point height (m)")
    axes[2].plot(times, energy, color="tab:green")
    axes[2].set_ylabel("total energy (J)")
    axes[2].set_xlabel("t (s)")
    colours = plt.cm.viridis(np.linspace(0.0, 1.0, len(shapes)))
    for colour, (t, x, y) in zip(colours, shapes):
        axes[3].plot(x, y, color=colour, label=f"{t:.1f} s")
    axes[3].set_aspect("equal")
    axes[3].set_xlabel("x (m): the rope every 0.5 s (body origins)")
    axes[3].set_ylabel("y (m)")
    axes[3].legend(ncol=4, fontsize=7, loc="lower left")
    axes[0].set_title("The rope dragged by its carriages (moves at 1, 3 and 5 s)")
    figure.savefig(output, dpi=90)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "run.png")
