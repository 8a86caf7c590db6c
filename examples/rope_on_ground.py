"""A rope hanging from its carriages onto the ground, dragged 0.5 m to the right with friction
(μ = 0.5): the shapes at a few times, and the ground's force on the rope while it slides.

    PYTHONPATH=build/release/python /usr/bin/python3 examples/rope_on_ground.py docs/world_ground.png
"""

import sys

import matplotlib

matplotlib.use("Agg")  # no display needed
import matplotlib.pyplot as plt
import numpy as np

import ropesim

GROUND = -0.2  # m
MU = 0.5
# A soft rope with free end angles, so that its middle lies on the ground.
WORLD = dict(ground_height=GROUND, friction=MU, joint_stiffness=0.2, end_stiffness_angle=0.0,
             far_end_coupling="point", initial_state="rest")
SHOWN = (0.0, 1.0, 2.0, 3.0)  # s


def main(output):
    rope = ropesim.Rope(**WORLD)
    bodies = rope.coordinate_count - 2
    weight = rope.parameters["gravity"] * rope.parameters["link_mass"] * bodies
    resting = rope.contact_force[1]
    shapes, sliding = [], []
    for frame in range(301):  # 3 s of 0.01 s frames
        t = rope.time
        if 0.5 <= t <= 2.5:  # both carriages ramp 0.5 m to the right at 0.25 m/s
            shift = 0.25 * (t - 0.5)
            rope.set_target(1, -0.2 + shift)
            rope.set_target(2, 0.6 + shift)
        if any(abs(t - s) < 1e-6 for s in SHOWN):
            shapes.append((t, rope.placements(), rope.carriages[[0, 2]]))
        if 1.0 <= t <= 2.4:  # steady sliding
            sliding.append(rope.contact_force)
        if frame < 300:
            rope.advance(1)
    friction, normal = -np.mean(sliding, axis=0)[0], np.mean(sliding, axis=0)[1]
    print(f"weight {weight:.3f} N; at rest the ground carries {resting:.3f} N, the carriages "
          f"the rest")
    print(f"sliding at 0.25 m/s: friction {friction:.3f} N, normal force {normal:.3f} N, "
          f"ratio {friction / normal:.3f} (mu = {MU})")

    figure, axis = plt.subplots(figsize=(7, 4), constrained_layout=True)
    axis.axhspan(GROUND - 0.1, GROUND, color=np.array([150, 130, 105]) / 255)
    colours = plt.cm.viridis(np.linspace(0.0, 0.85, len(shapes)))
    for colour, (t, bodies, carriages) in zip(colours, shapes):
        # Body origins, then the far end of the last 0.04 m link.
        end = bodies[-1, :2] + 0.04 * np.array([np.cos(bodies[-1, 2]), np.sin(bodies[-1, 2])])
        x, y = np.append(bodies[:, 0], end[0]), np.append(bodies[:, 1], end[1])
        axis.plot(x, y, "-", color=colour, label=f"{t:.1f} s")
        axis.plot(carriages, [0.0, 0.0], "s", color=colour, markersize=6)
    axis.set_xlim(-0.35, 1.25)
    axis.set_ylim(GROUND - 0.1, 0.1)
    axis.set_aspect("equal")
    axis.set_xlabel("x (m)")
    axis.set_ylabel("y (m)")
    axis.set_title(f"Dragged along the ground, μ = {MU}; squares: the carriages")
    axis.legend(loc="upper right", fontsize="small")
    figure.savefig(output, dpi=100)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "world_ground.png")
