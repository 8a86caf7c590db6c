"""Sweeps off the default path: a bad point costs that point only, bad settings are refused before
anything starts, a script without the main guard fails at once, and a timeout bounds the whole."""

import os
import subprocess
import sys
import time

import numpy as np
import pytest

import ropesim

SOURCE = os.environ["ROPE_SOURCE_DIR"]
MODEL = os.path.join(SOURCE, "models", "rope.toml")


def test_every_point_comes_back_with_its_status_and_pairs_are_stored():
    # link_mass as one value per body: stored whole, and equal to the scalar rope's run
    grid = {"carriage_mass": [[50.0, 80.0], 60.0, "heavy"], "link_mass": [[0.04] * 25]}
    table = ropesim.sweep(MODEL, grid, duration=0.2, workers=2)
    assert list(table["status"]) == ["ok", "ok", "error"]
    assert table["carriage_mass"][0].tolist() == [50.0, 80.0]
    assert table["carriage_mass"][1].tolist() == [60.0, 60.0]
    assert "carriage_mass" in table["message"][2] and np.isnan(table["energy"][2])
    assert table["link_mass"][0].tolist() == [0.04] * 25
    alone = ropesim.run_point(MODEL, {"carriage_mass": (50.0, 80.0), "link_mass": 0.04}, 0.2)
    assert table["energy"][0] == alone["energy"] and alone["status"] == "ok"


def test_a_diverging_point_keeps_its_neighbours(capsys):
    table = ropesim.sweep({"links": 5}, {"carriage_target": [(-0.2, 1e6), (-0.2, 0.3)]},
                          duration=3.0, workers=1, progress=True)
    assert "2/2" in capsys.readouterr().err  # the bar counted both points
    assert list(table["status"]) == ["diverged", "ok"]
    assert list(table["diverged"]) == [True, False]
    assert "instability" in table["message"][0] and np.isfinite(table["energy"][1])


def test_a_sweep_with_targets_moves_the_carriages_and_keeps_counts_whole():
    moves = [(2, 0.9, 0.0)]
    table = ropesim.sweep({}, {"links": [3, 4]}, duration=0.3, targets=moves, workers=1)
    assert list(table["status"]) == ["ok", "ok"]
    assert table["links"].dtype.kind == "i" and table["links"].tolist() == [3, 4]
    for row in table:
        alone = ropesim.run_point({}, {"links": int(row["links"])}, 0.3, targets=moves)
        assert row["x2"] == alone["x2"] and row["energy"] == alone["energy"]
    still = ropesim.run_point({}, {"links": 3}, 0.3)
    assert table["x2"][0] != still["x2"]


@pytest.mark.parametrize("method", [{"integrator": "dirk"}, {"tolerance": 1e-9}])
def test_a_sweep_from_a_rope_runs_its_points_with_the_method_asked_for(method):
    base = ropesim.Rope(links=4, integrator="rkf45")
    base.simulate(0.05, targets=[(2, 0.6, 0.0)])
    table = ropesim.sweep(base, {"joint_damping": [0.02]}, 0.1, workers=1, **method)
    alone = ropesim.Rope._restored(base._rope.checkpoint(), joint_damping=0.02)
    alone.use_integrator(**{"integrator": "rkf45", "tolerance": 1e-6, **method})
    alone.run_measuring(0.1)
    assert table["energy"][0] == alone.energy()


@pytest.mark.parametrize("arguments, error, words", [
    ({"workers": 0}, ValueError, "workers"),
    ({"workers": -1}, ValueError, "workers"),
    ({"workers": 1.5}, TypeError, "workers"),
    ({"timeout": 0}, ValueError, "timeout"),
    ({"progress": None}, TypeError, "progress"),
    ({"duration": float("inf")}, ValueError, "duration"),
    ({"base": {"model": MODEL}}, ValueError, "model"),
    ({"grid": {"model": [MODEL]}}, ValueError, "model"),
    ({"grid": {"lenght": [1.0]}}, ValueError, "lenght"),
    ({"targets": [(3, 0.5, 0.0)]}, ValueError, "carriage"),
])
def test_bad_settings_are_refused_before_anything_starts(arguments, error, words):
    settings = {"base": {}, "grid": {"links": [3]}, "duration": 0.1, **arguments}
    with pytest.raises(error, match=words):
        ropesim.sweep(**settings)


@pytest.mark.parametrize("progress", [False, True])
def test_a_timeout_returns_the_unfinished_points(progress):
    started = time.monotonic()
    table = ropesim.sweep({}, {"links": [3, 4]}, duration=1e6, workers=1, timeout=3,
                          progress=progress)
    assert time.monotonic() - started < 120.0  # generous: starting and stopping the cluster
    assert list(table["status"]) == ["timeout", "timeout"]


def test_a_script_without_the_main_guard_fails_at_once(tmp_path):
    script = tmp_path / "unguarded.py"
    script.write_text("import ropesim\n"
                      "ropesim.sweep({}, {'links': [3]}, duration=0.1, workers=1)\n")
    run = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                         timeout=60, env=os.environ)
    assert run.returncode != 0
    assert 'if __name__ == "__main__":' in run.stderr
    assert run.stderr.count("Traceback") == 1
