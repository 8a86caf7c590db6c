"""A sweep of the joint stiffness on Dask, plotted: how far the rope sags after 10 s, for two
link masses. Starts a local cluster of two worker processes (or pass a scheduler's address).

    PYTHONPATH=build/release/python /usr/bin/python3 examples/plot_sweep.py docs/sweep.png
"""

import sys
import time

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt
import numpy as np

import ropesim


def main(output, scheduler=None):
    stiffness = list(np.geomspace(0.05, 50.0, 8))
    grid = {"link_mass": [0.02, 0.04], "joint_stiffness": stiffness}
    # The 1 m rope starts straight with a carriage at each end and sags a little under gravity;
    # at 0.5 s the carriages close in to 0.6 m apart and it hangs slack. More joint damping than
    # the default lets the swinging die out within the 10 s.
    base = {"carriage_start": (0.0, 1.0), "carriage_target": (0.0, 1.0), "joint_damping": 0.05}
    moves = [(1, 0.2, 0.5), (2, 0.8, 0.5)]
    start = time.perf_counter()
    table = ropesim.sweep(base, grid, duration=10.0, targets=moves, scheduler=scheduler,
                          workers=2)
    print(f"{len(table)} simulations of 10 s in {time.perf_counter() - start:.1f} s")

    figure, axis = plt.subplots(figsize=(7, 4.5), constrained_layout=True)
    for mass in grid["link_mass"]:
        rows = table[table["link_mass"] == mass]
        axis.semilogx(rows["joint_stiffness"], rows["sag"], "o-", label=f"links of {mass} kg")
    axis.set_xlabel("joint stiffness (N m/rad)")
    axis.set_ylabel("sag after 10 s (m)")
    axis.set_title("Sag against joint stiffness (1 m rope, carriages 0.6 m apart)")
    axis.legend()
    figure.savefig(output, dpi=90)


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "sweep.png", *sys.argv[2:3])
