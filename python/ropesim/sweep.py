"""Parameter sweeps on Dask: one simulation per grid point, on a local cluster of worker
processes or on an existing scheduler."""

import itertools

import numpy as np

SUMMARIES = ("sag", "mid_height", "peak_end_force", "energy", "x1", "x2")


def _grid_points(grid):
    names = list(grid)
    for values in itertools.product(*(grid[name] for name in names)):
        yield dict(zip(names, values))


def run_point(base, point, duration, targets=()):
    """One simulation of ``base`` parameters updated by ``point``; returns its summaries:
    sag (m, how far the lowest body origin hangs below the carriages' line at the end),
    mid_height (m, the middle body's height at the end), peak_end_force (N, the largest
    chain-end coupling force seen at any frame), energy (J, at the end), x1 and x2 (m)."""
    from . import Diverged, Rope

    rope = Rope(**{**base, **point})
    diverged = False
    peak = 0.0
    try:
        peak = rope.run_measuring(duration, targets)
    except Diverged:
        diverged, peak = True, float("nan")
    placements = rope.placements()
    carriages = rope.carriages
    return {
        **point,
        "diverged": diverged,
        "sag": -float(placements[:, 1].min()),
        "mid_height": float(placements[len(placements) // 2, 1]),
        "peak_end_force": peak,
        "energy": rope.energy(),
        "x1": float(carriages[0]),
        "x2": float(carriages[2]),
    }


def sweep(base, grid, duration, targets=(), scheduler=None, workers=2):
    """Runs ``run_point`` for every point of ``grid`` ({name: [values]}) on Dask and returns a
    NumPy structured array, one row per point in grid order. ``scheduler`` is an existing
    scheduler's address; without it a local cluster of ``workers`` processes is started and
    stopped. Every row equals the same simulation run alone, whatever the number of workers."""
    from dask.distributed import Client, LocalCluster

    points = list(_grid_points(grid))
    cluster = None
    if scheduler is None:
        cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        scheduler = cluster
    try:
        with Client(scheduler) as client:
            futures = client.map(run_point, [dict(base)] * len(points), points,
                                 [duration] * len(points), [list(targets)] * len(points),
                                 pure=False)
            rows = client.gather(futures)
    finally:
        if cluster is not None:
            cluster.close()
    return _table(grid, rows)


def _table(grid, rows):
    fields = [(name, np.float64) for name in grid]
    fields += [("diverged", np.bool_)] + [(name, np.float64) for name in SUMMARIES]
    table = np.zeros(len(rows), dtype=fields)
    for i, row in enumerate(rows):
        for name, _ in fields:
            value = row[name]
            table[i][name] = value if np.ndim(value) == 0 else np.nan
    return table
