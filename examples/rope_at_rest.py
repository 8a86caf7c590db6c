"""The rope of rope_on_ground.py started straight (the default) and with initial_state="rest":
the straight start (along x from the origin, 0.2 m off carriage 1) is yanked to the carriages and
falls, the rest start stays put. Prints the largest speed of any joint in the first 0.5 s of each,
from the moves between 0.01 s frames.

    PYTHONPATH=build/release/python /usr/bin/python3 examples/rope_at_rest.py docs/world_rest.png
"""

import sys

import matplotlib

matplotlib.use("Agg")  # no display needed
import matplotlib.pyplot as plt
import numpy as np

import ropesim

GROUND = -0.2  # m
WORLD = dict(ground_height=GROUND, friction=0.5, joint_stiffness=0.2, end_stiffness_angle=0.0,
             far_end_coupling="point")
SHOWN = (0.0, 0.05, 0.1, 0.2, 0.3, 0.5)  # s


def main(output):
    figure, axes = plt.subplots(2, 1, figsize=(7, 4), sharex=True, constrained_layout=True)
    for axis, start in zip(axes, ("straight", "rest")):
        rope = ropesim.Rope(**WORLD, initial_state=start)
        times, _, shapes = rope.simulate(0.5, placements=True)
        # Joints' and ends' speeds, frame to frame.
        speeds = np.linalg.norm(np.diff(shapes[:, :, :2], axis=0), axis=2) / np.diff(times)[:, None]
        print(f'initial_state="{start}": largest speed in the first 0.5 s {speeds.max():.3g} m/s')

        axis.axhspan(GROUND - 0.15, GROUND, color=np.array([150, 130, 105]) / 255)
        colours = plt.cm.viridis(np.linspace(0.0, 0.85, len(SHOWN)))
        for colour, t in zip(colours, SHOWN):
            row = int(np.argmin(np.abs(times - t)))
            axis.plot(shapes[row, :, 0], shapes[row, :, 1], "-", color=colour,
                      label=f"{times[row]:.2f} s")
        axis.plot([-0.2, 0.6], [0.0, 0.0], "ks", markersize=5)
        axis.set_xlim(-0.3, 1.25)
        axis.set_ylim(GROUND - 0.15, 0.15)
        axis.set_aspect("equal")
        axis.set_ylabel("y (m)")
        axis.set_title(f'initial_state="{start}": largest speed {speeds.max():.2g} m/s',
                       fontsize="medium")
    axes[1].set_xlabel("x (m)")
    axes[1].legend(loc="center right", ncol=2, fontsize="x-small")
    figure.savefig(output, dpi=100)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "world_rest.png")
