"""A rope draped over a peg: it starts as a tent above the peg, initial_state="rest" finds where
it hangs, and one second of running shows it stays. Prints the peg's force and the carriages'
pulls.

    PYTHONPATH=build/release/python /usr/bin/python3 examples/rope_over_peg.py docs/world_peg.png
"""

import sys

import matplotlib

matplotlib.use("Agg")  # no display needed
import matplotlib.pyplot as plt
import numpy as np

import ropesim

PEG = (0.05, 0.12, 0.05)  # x, y, radius in m: left of the carriages' middle, 0.2 m
SLOPE = np.arccos(0.8)  # the tent's two 0.48 m legs span the carriages' 0.8 m
TENT = np.zeros(24)
TENT[11] = TENT[12] = -SLOPE  # the tent's two corners, a level link between them


def outline(bodies):
    """Body origins, then the far end of the last 0.04 m link."""
    end = bodies[-1, :2] + 0.04 * np.array([np.cos(bodies[-1, 2]), np.sin(bodies[-1, 2])])
    return np.append(bodies[:, 0], end[0]), np.append(bodies[:, 1], end[1])


def main(output):
    start = dict(pegs=[PEG], joint_stiffness=0.2, end_stiffness_angle=0.0,
                 far_end_coupling="point", initial_base=[-0.2, 0.0, SLOPE], initial_angles=TENT)
    tent = ropesim.Rope(**start).placements()
    rope = ropesim.Rope(**start, initial_state="rest")
    rest = rope.placements()
    weight = rope.parameters["gravity"] * rope.parameters["link_mass"] * len(rest)
    peg_x, peg_y = rope.contact_force
    pull_1, pull_2 = rope.end_forces()
    rope.advance(100)  # 1 s
    moved = np.abs(rope.placements()[:, :2] - rest[:, :2]).max()
    print(f"weight {weight:.3f} N; the peg carries x {peg_x:.3f} N, y {peg_y:.3f} N")
    # The carriages' pulls on the rope and the peg's x force balance.
    print(f"the rope pulls carriage 1 by {pull_1:+.3f} N and carriage 2 by {pull_2:+.3f} N "
          f"along x; left over with the peg's x: {pull_1 + pull_2 - peg_x:.1e} N")
    print(f"largest move of a joint over 1 s from rest: {moved:.1e} m")

    figure, axis = plt.subplots(figsize=(7, 4), constrained_layout=True)
    axis.add_patch(plt.Circle(PEG[:2], PEG[2], color=np.array([128, 128, 128]) / 255))
    axis.plot(*outline(tent), "--", color="tab:gray", label="start: a tent above the peg")
    axis.plot(*outline(rest), "-", color="tab:blue", lw=2, label='initial_state="rest"')
    axis.plot(*outline(rope.placements()), ":", color="tab:orange", lw=2, label="1 s later")
    axis.plot([-0.2, 0.6], [0.0, 0.0], "ks", markersize=6)
    axis.set_xlim(-0.35, 0.75)
    axis.set_ylim(-0.2, 0.35)
    axis.set_aspect("equal")
    axis.set_xlabel("x (m)")
    axis.set_ylabel("y (m)")
    axis.set_title("A rope draped over a peg; squares: the carriages")
    axis.legend(loc="upper left", fontsize="small")
    figure.savefig(output, dpi=100)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "world_peg.png")
