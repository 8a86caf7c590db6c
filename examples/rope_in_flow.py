"""A rope held at both ends in a current: initial_state="rest" starts it where the drag, its
weight and buoyancy balance, and it streams there. Prints the drag the ends hold against the
drag worked out link by link from the shape and against 1/2 rho C_n d U^2 L.

    PYTHONPATH=build/release/python /usr/bin/python3 examples/rope_in_flow.py docs/world_flow.png
"""

import sys

import matplotlib

matplotlib.use("Agg")  # no display needed
import matplotlib.pyplot as plt
import numpy as np

import ropesim

RHO, U, SURFACE = 1000.0, 1.0, 0.05  # kg/m^3, m/s, m
LINK, D, CN, CT = 0.04, 0.01, 1.2, 0.01  # link length, diameter, drag coefficients (defaults)
# A soft rope with free end angles between carriages 0.4 m apart, so that it hangs in a loop.
ROPE = dict(fluid_density=RHO, fluid_surface=SURFACE, joint_stiffness=0.2,
            end_stiffness_angle=0.0, far_end_coupling="point", carriage_start=[0.0, 0.4],
            carriage_target=[0.0, 0.4], initial_state="rest")


def outline(bodies):
    """Body origins, then the far end of the last link."""
    end = bodies[-1, :2] + LINK * np.array([np.cos(bodies[-1, 2]), np.sin(bodies[-1, 2])])
    return np.append(bodies[:, 0], end[0]), np.append(bodies[:, 1], end[1])


def drag_from_shape(bodies):
    """Drag on a rope at rest, link by link: normal and along parts of the relative flow."""
    along = np.column_stack([np.cos(bodies[:, 2]), np.sin(bodies[:, 2])])
    u = -np.array([U, 0.0])  # the rope's velocity less the flow
    u_t = along @ u
    u_n = u - u_t[:, None] * along
    normal = -0.5 * RHO * CN * D * np.linalg.norm(u_n, axis=1)[:, None] * u_n
    tangential = -0.5 * RHO * CT * np.pi * D * (np.abs(u_t) * u_t)[:, None] * along
    return LINK * (normal + tangential).sum(axis=0)


def main(output):
    still = ropesim.Rope(**ROPE).placements()
    rope = ropesim.Rope(**ROPE, flow=[U, 0.0])
    rope.advance(100)  # 1 s: it stays streaming where it started
    bodies = rope.placements()
    held = sum(rope.end_forces())  # the rope pulls the carriages downstream
    across = 0.5 * RHO * CN * D * U**2 * LINK * len(bodies)
    print(f"current {U} m/s: the ends hold {held:.4f} N along the flow; drag from the shape "
          f"{drag_from_shape(bodies)[0]:.4f} N; 1/2 rho C_n d U^2 L = {across:.4f} N "
          f"(all of the rope across the flow)")

    figure, axis = plt.subplots(figsize=(7, 4), constrained_layout=True)
    axis.axhspan(-1.0, SURFACE, color=np.array([40, 110, 230]) / 255, alpha=0.2, lw=0)
    axis.axhline(SURFACE, color=np.array([20, 80, 200]) / 255, lw=2)
    axis.plot(*outline(still), "--", color="tab:gray", label="still water")
    axis.plot(*outline(bodies), "-", color="tab:red", lw=2, label=f"current {U} m/s to the right")
    axis.plot([0.0, 0.4], [0.0, 0.0], "ks", markersize=6)
    axis.annotate("", xy=(0.85, -0.25), xytext=(0.6, -0.25),
                  arrowprops=dict(arrowstyle="->", color=np.array([20, 80, 200]) / 255))
    axis.set_xlim(-0.3, 1.0)
    axis.set_ylim(-0.5, 0.1)
    axis.set_aspect("equal")
    axis.set_xlabel("x (m)")
    axis.set_ylabel("y (m)")
    axis.set_title("A rope in a current, held by its carriages (squares)")
    axis.legend(loc="lower right", fontsize="small")
    figure.savefig(output, dpi=100)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "world_flow.png")
