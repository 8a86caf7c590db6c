"""Parameter sweeps on Dask: one simulation per grid point, on a local cluster of worker
processes or on an existing scheduler. Every point comes back with a status: one bad value, a
diverging rope or a crashed worker costs that point only."""

import ast
import itertools
import math
import numbers
import os
import sys
import time as _clock

import numpy as np

from . import PER_CARRIAGE_KEYS, Diverged, EngineError, Rope, _count, _duration, _flag, _float
from . import _Bar, _moves
from . import parameter_keys

SUMMARIES = ("sag", "mid_height", "peak_end_force", "energy", "x1", "x2")
# ok: ran to the end; diverged: the rope blew up (summaries at the state where it stopped);
# engine_error: another failure of the engine; error: the point could not run (a bad value, a
# worker that crashed); timeout: not finished when the sweep's timeout ran out.
STATUSES = ("ok", "diverged", "engine_error", "error", "timeout")

NO_FILE_MESSAGE = (
    "ropesim.sweep starts worker processes, and each of them imports the main program again; "
    "this one has no file to import (it was read from standard input). Save it as a script "
    "with the sweep under if __name__ == \"__main__\":, or pass the scheduler of a running "
    "cluster.")
# Worker processes that have not joined by then will not: their errors are on standard error.
WORKER_START_LIMIT = 60.0  # s

GUARD_MESSAGE = (
    "ropesim.sweep starts worker processes, and each of them imports the main script again. "
    "Put the script's sweep under\n\n    if __name__ == \"__main__\":\n\n"
    "so that the workers do not start sweeps of their own.")


def _grid_points(grid):
    names = list(grid)
    for values in itertools.product(*(grid[name] for name in names)):
        yield dict(zip(names, values))


def _empty_summaries():
    return {name: math.nan for name in SUMMARIES}


def _summaries(rope, peak):
    placements = rope.placements()
    carriages = rope.carriages
    return {
        "sag": -float(placements[:, 1].min()),
        "mid_height": float(placements[len(placements) // 2, 1]),
        "peak_end_force": peak,
        "energy": rope.energy(),
        "x1": float(carriages[0]),
        "x2": float(carriages[2]),
    }


def _method(integrator, tolerance, rope=None):
    """The method a point runs with: what was asked for, else the base rope's, else rk4 at 1e-6."""
    name, absolute, relative = rope.integrator if rope is not None else ("rk4", 1e-6, 1e-6)
    return {"integrator": name if integrator is None else integrator,
            "tolerance": (absolute, relative) if tolerance is None else tolerance}


def _rope_for(base, point, integrator, tolerance):
    if isinstance(base, Rope):
        rope = base._continued(point)
        # Switching anew would restart an implicit method's history: only when asked.
        if integrator is not None or tolerance is not None:
            rope.use_integrator(**_method(integrator, tolerance, rope))
        return rope
    if isinstance(base, dict):
        return Rope(**_method(integrator, tolerance), **{**base, **point})
    return Rope(base, integrator=integrator, tolerance=tolerance, **point)


def run_point(base, point, duration, targets=(), integrator=None, tolerance=None):
    """One simulation of ``base`` (a dict of parameters, a model file's path, or a Rope to
    continue) updated by ``point``, with ``integrator`` and ``tolerance`` as for ``Rope`` (left
    out: a base rope's own, else the model file's, else rk4 at 1e-6).
    Returns the point with its status (see STATUSES), a message and its summaries:
    sag (m, how far the lowest body origin hangs below the carriages' line at the end),
    mid_height (m, the middle body's height at the end), peak_end_force (N, the largest
    chain-end coupling force seen at any frame), energy (J, at the end), x1 and x2 (m).
    A point that stops early has the summaries of where it stopped and a NaN peak."""
    row = {**point, "status": "ok", "message": "", **_empty_summaries()}
    try:
        rope = _rope_for(base, point, integrator, tolerance)
    except (TypeError, ValueError) as error:
        return {**row, "status": "error", "message": str(error)}
    peak = math.nan
    try:
        peak = rope.run_measuring(duration, targets)
    except Diverged as error:
        row.update(status="diverged", message=str(error))
    except EngineError as error:
        row.update(status="engine_error", message=str(error))
    return {**row, **_summaries(rope, peak)}


def sweep(base, grid, duration, targets=(), scheduler=None, workers=2, timeout=None,
          integrator=None, tolerance=None, progress=False):
    """Runs ``run_point`` for every point of ``grid`` ({name: [values]}, a per-carriage key's
    values may be pairs) on Dask and returns a NumPy structured array, one row per point in grid
    order: the grid's values, ``status`` and ``message`` (see STATUSES), ``diverged`` and the
    summaries. ``base`` is a dict of parameters, a model file's path, or a Rope (saved or loaded:
    every point continues from its state, with the point's parameters changed); neither it nor
    the grid may hold ``model``. ``scheduler`` is an existing scheduler's address; without it a local
    cluster of ``workers`` processes (an integer, 1 or more) is started and stopped.
    ``timeout`` (s, or None for no limit) bounds the whole sweep: points not done by then come
    back with status ``timeout``. Every finished row equals the same simulation run alone,
    whatever the number of workers. ``integrator`` and ``tolerance`` choose the integration
    method for every point, as for ``Rope``; left out, a base rope's own, else rk4 at 1e-6.
    ``progress=True`` shows a bar on the terminal that moves as points finish.

    In a script, call it under ``if __name__ == "__main__":`` (the worker processes import the
    main script again); without the guard it raises RuntimeError at once."""
    base, grid = _checked_sweep(base, grid)
    duration = _duration(duration)
    targets = [(m.carriage, m.target, m.time) for m in _moves(targets)]
    if scheduler is None:
        workers = _count("workers", workers, 1)
    if timeout is not None and not (isinstance(timeout, numbers.Real) and timeout > 0):
        raise ValueError(f"timeout must be a positive number of seconds or None, got {timeout!r}")
    timeout = None if timeout is None else _float("timeout", timeout)
    progress = _flag("progress", progress)
    # A bad method fails here, at once.
    Rope(links=1, **_method(integrator, tolerance, base if isinstance(base, Rope) else None))
    _refuse_unguarded_start()
    deadline = None if timeout is None else _clock.monotonic() + timeout
    points = list(_grid_points(grid))
    method = (integrator, tolerance)
    rows = _run_on_dask(base, points, duration, targets, method, scheduler, workers, deadline,
                        progress)
    return _table(grid, rows)


def _checked_sweep(base, grid):
    if isinstance(base, (str, os.PathLike)):
        base = os.fspath(base)
    elif isinstance(base, dict):
        if "model" in base:
            raise ValueError("base may not hold 'model': pass the model file's path as base")
        base = dict(base)
    elif not isinstance(base, Rope):
        raise TypeError("base must be a dict of parameters, a model file's path or a Rope, "
                        f"got {base!r}")
    if not isinstance(grid, dict) or not grid:
        raise ValueError("grid must be a non-empty dict {name: [values]}")
    known = set(parameter_keys())
    for name, values in grid.items():
        if name == "model" or name not in known:
            raise ValueError(f"grid key {name!r} is not a rope parameter")
        if isinstance(values, (str, bytes)) or len(values) == 0:
            raise ValueError(f"grid key {name!r} needs a non-empty list of values")
    return base, {name: list(values) for name, values in grid.items()}


def _run_on_dask(base, points, duration, targets, method, scheduler, workers, deadline,
                 progress):
    from dask.distributed import Client, LocalCluster

    cluster = None
    if scheduler is None:
        cluster = LocalCluster(n_workers=0, threads_per_worker=1, processes=True,
                               dashboard_address=None)
        scheduler = cluster
    try:
        with Client(scheduler) as client:
            if cluster is not None:
                _start_workers(cluster, client, workers, deadline)
            n = len(points)
            futures = client.map(run_point, [base] * n, points, [duration] * n, [targets] * n,
                                 [method[0]] * n, [method[1]] * n, pure=False)
            return _collect(client, futures, points, deadline, progress)
    finally:
        if cluster is not None:
            _close(cluster)


def _close(cluster):
    from dask.distributed import TimeoutError as DaskTimeout

    try:
        cluster.close(timeout=10)
    except (DaskTimeout, TimeoutError):
        pass  # workers stuck restarting; the sweep's own outcome matters more


def _start_workers(cluster, client, workers, deadline):
    """A worker that fails to start is restarted without end: give up after a while instead."""
    from dask.distributed import TimeoutError as DaskTimeout

    limit = WORKER_START_LIMIT
    if deadline is not None:
        limit = max(1.0, min(limit, deadline - _clock.monotonic()))
    cluster.scale(workers)
    try:
        client.wait_for_workers(workers, timeout=limit)
    except (DaskTimeout, TimeoutError):
        raise RuntimeError(f"the sweep's {workers} worker processes did not start within "
                           f"{limit:g} s; their errors are on standard error") from None


def _remaining(deadline):
    return None if deadline is None else max(0.0, deadline - _clock.monotonic())


def _wait_for_all(futures, deadline):
    from dask.distributed import TimeoutError as DaskTimeout
    from dask.distributed import wait

    try:
        wait(futures, timeout=_remaining(deadline))
    except (DaskTimeout, TimeoutError):
        pass  # the unfinished points say so in their status


def _wait_showing_progress(futures, deadline):
    """As _wait_for_all, with a terminal bar moved as each point finishes, on a local cluster
    and a remote scheduler alike."""
    from dask.distributed import TimeoutError as DaskTimeout
    from dask.distributed import wait

    pending = set(futures)
    bar = _Bar("sweep", "point", total=len(futures))
    try:
        while pending and (deadline is None or _remaining(deadline) > 0):
            try:
                _, pending = wait(pending, timeout=_remaining(deadline),
                                  return_when="FIRST_COMPLETED")
            except (DaskTimeout, TimeoutError):
                return
            bar.move_to(len(futures) - len(pending), len(futures))
    finally:
        bar.close()


def _collect(client, futures, points, deadline, progress):
    if progress:
        _wait_showing_progress(futures, deadline)
    else:
        _wait_for_all(futures, deadline)
    rows = [_row_of(future, point) for future, point in zip(futures, points)]
    client.cancel([future for future in futures if not future.done()])
    return rows


def _row_of(future, point):
    failed = {**point, **_empty_summaries()}
    if not future.done():
        return {**failed, "status": "timeout", "message": "not finished within the timeout"}
    if future.status == "finished":
        return future.result()
    try:
        error = future.exception(timeout=10)
    except Exception as fetching:
        error = fetching
    return {**failed, "status": "error", "message": f"{type(error).__name__}: {error}"}


# --- The main-script guard ------------------------------------------------------------------

def _is_main_guard(statement):
    if not isinstance(statement, ast.If) or not isinstance(statement.test, ast.Compare):
        return False
    test = statement.test
    if len(test.ops) != 1 or not isinstance(test.ops[0], ast.Eq):
        return False
    sides = [test.left, test.comparators[0]]
    names = [s.id for s in sides if isinstance(s, ast.Name)]
    texts = [s.value for s in sides if isinstance(s, ast.Constant)]
    return names == ["__name__"] and texts == ["__main__"]


def _main_script_line():
    """The line of the main script's top-level code that is running now, or None when the
    main script is not running (an interactive prompt, a function called later)."""
    main = sys.modules.get("__main__")
    if main is None or getattr(main, "__file__", None) is None:
        return None
    frame = sys._getframe(1)
    while frame is not None:
        if frame.f_code.co_name == "<module>" and frame.f_globals is vars(main):
            return frame.f_lineno
        frame = frame.f_back
    return None


def _refuse_unguarded_start():
    """Worker processes import the main script again: a sweep started by the script's top-level
    code outside the guard would start again in every worker, without end."""
    main = sys.modules.get("__main__")
    if getattr(main, "__name__", None) == "__mp_main__":
        raise RuntimeError(GUARD_MESSAGE)  # we are a worker importing the script
    path = getattr(main, "__file__", None)
    if path is not None and getattr(main.__spec__, "name", None) is None \
            and not os.path.isfile(path):
        raise RuntimeError(NO_FILE_MESSAGE)
    line = _main_script_line()
    if line is None:
        return
    try:
        with open(sys.modules["__main__"].__file__, encoding="utf-8") as source:
            tree = ast.parse(source.read())
    except (OSError, SyntaxError, ValueError):
        return
    for statement in tree.body:
        if statement.lineno <= line <= statement.end_lineno:
            if not _is_main_guard(statement):
                raise RuntimeError(GUARD_MESSAGE)
            return


# --- The table ------------------------------------------------------------------------------

def _grid_field(name, values):
    if name in PER_CARRIAGE_KEYS:
        return (name, np.float64, (2,))
    if any(np.ndim(value) > 0 for value in values):  # per-body arrays: kept whole
        return (name, object)
    if all(_whole(value) for value in values):  # links and other counts stay integers
        return (name, np.int64)
    return (name, np.float64)


def _whole(value):
    return isinstance(value, numbers.Integral) and not isinstance(value, bool)


def _grid_value(name, value):
    """The value as the table stores it: a pair for a per-carriage key (one number is both),
    NaN for what is no number (the row's status says why)."""
    try:
        if np.ndim(value) > 0 and name not in PER_CARRIAGE_KEYS:
            return np.array(value, dtype=np.float64)
        if name in PER_CARRIAGE_KEYS:
            pair = np.broadcast_to(np.asarray(value, dtype=np.float64), (2,))
            return pair if np.ndim(value) <= 1 else (math.nan, math.nan)
        return int(value) if _whole(value) else float(value)
    except (TypeError, ValueError):
        return (math.nan, math.nan) if name in PER_CARRIAGE_KEYS else math.nan


def _table(grid, rows):
    fields = [_grid_field(name, values) for name, values in grid.items()]
    fields += [("status", "U12"), ("message", object), ("diverged", np.bool_)]
    fields += [(name, np.float64) for name in SUMMARIES]
    table = np.zeros(len(rows), dtype=fields)
    for i, row in enumerate(rows):
        for name in grid:
            table[name][i] = _grid_value(name, row[name])
        table[i]["status"] = row["status"]
        table[i]["message"] = row["message"]
        table[i]["diverged"] = row["status"] == "diverged"
        for name in SUMMARIES:
            table[i][name] = row[name]
    return table
