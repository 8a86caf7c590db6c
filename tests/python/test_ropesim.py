"""ropesim from Python: the same numbers as rope-headless, exceptions that leave the interpreter
running, threads that run ropes in parallel without sharing state, and sweeps on Dask."""

import os
import subprocess
import threading

import numpy as np
import pytest

import ropesim

HEADLESS = os.environ["ROPE_HEADLESS"]
SOURCE = os.environ["ROPE_SOURCE_DIR"]


def csv_table(text):
    header, *rows = text.splitlines()
    table = np.array([[float(x) for x in row.split(",")] for row in rows])
    return header.split(","), table[:, 0], table[:, 1:]


def headless_csv(*options):
    return csv_table(subprocess.run([HEADLESS, "--quiet", *options], check=True,
                                    capture_output=True, text=True).stdout)


@pytest.mark.parametrize("parameters, options", [
    ({}, []),
    ({"links": 7, "joint_stiffness": 2.0, "carriage_start": (-0.1, 0.4)},
     ["--set", "links=7", "--set", "joint_stiffness=2", "--set", "carriage_start=-0.1,0.4"]),
])
def test_simulate_equals_the_headless_csv_bit_for_bit(parameters, options, tmp_path):
    targets = [(1, -0.5, 0.5), (2, 0.9, 1.2)]
    shapes_file = tmp_path / "placements.csv"
    header, times, states = headless_csv("--duration", "2", "--every", "10", "--target",
                                         "1=-0.5@0.5", "--target", "2=0.9@1.2",
                                         "--placements", str(shapes_file), *options)
    rope = ropesim.Rope(**parameters)
    got_times, got_states, got_shapes = rope.simulate(2.0, every=10, targets=targets,
                                                      placements=True)
    assert got_states.shape == (21, len(header) - 1)
    assert got_times.tobytes() == times.tobytes()
    assert got_states.tobytes() == states.tobytes()
    # Each placements row, less the far end's angle, is the --placements row.
    _, shape_times, shapes = csv_table(shapes_file.read_text())
    assert shape_times.tobytes() == times.tobytes()
    assert got_shapes.reshape(21, -1)[:, :-1].tobytes() == shapes.tobytes()
    # The readings agree with the state they come from.
    n = rope.coordinate_count
    assert np.array_equal(rope.q, rope.state[:n]) and np.array_equal(rope.p, rope.state[n:2 * n])
    assert np.array_equal(rope.carriages, rope.state[2 * n:])
    assert rope.placements().shape == (n - 2, 3)


def test_version_is_the_projects_as_rope_headless_prints_it():
    with open(os.path.join(SOURCE, "CMakeLists.txt"), encoding="utf-8") as cmake:
        project = next(line for line in cmake if line.startswith("project("))
    assert f" VERSION {ropesim.__version__} " in project
    printed = subprocess.run([HEADLESS, "--version"], check=True, capture_output=True, text=True)
    assert printed.stdout == f"rope-headless {ropesim.__version__}\n"


def test_assigning_a_name_a_rope_does_not_have_raises():
    rope = ropesim.Rope(links=3)
    with pytest.raises(AttributeError, match="'joint_stiffness' is a parameter"):
        rope.joint_stiffness = 500
    with pytest.raises(AttributeError, match="'stiffnes'"):
        rope.stiffnes = 500
    state = rope.state.copy()
    state[0] = 0.25
    rope.state = state  # its own settable attribute still is
    assert rope.q[0] == 0.25 and not hasattr(rope, "joint_stiffness")


def test_model_file_and_rhs():
    rope = ropesim.Rope(model=os.path.join(SOURCE, "models", "rope.toml"))
    default = ropesim.Rope()
    assert np.array_equal(rope.rhs(rope.state), default.rhs(default.state))
    # At rest on its targets, carriage 2 is pulled to the straight chain's far end at 1.0 m:
    # 5000 N/m * 0.4 m / 100 kg.
    assert rope.rhs(rope.state)[-1] == pytest.approx(20.0, abs=1e-9)


@pytest.mark.parametrize("run", [
    lambda rope, progress: rope.simulate(3.0, every=7, targets=[(2, 0.9, 0.5)],
                                         placements=True, progress=progress),
    lambda rope, progress: rope.advance(300, progress=progress),
])
def test_a_progress_bar_leaves_the_run_as_it_was(run, capsys):
    plain, shown = ropesim.Rope(integrator="dirk"), ropesim.Rope(integrator="dirk")
    expected = run(plain, False)
    got = run(shown, True)
    assert capsys.readouterr().err.count("300/300") >= 1  # the bar, complete, on standard error
    for rope_arrays in zip(expected or (), got or ()):
        assert rope_arrays[0].tobytes() == rope_arrays[1].tobytes()
    assert shown.state.tobytes() == plain.state.tobytes() and shown.time == plain.time


def test_energy_a_rope_was_given_is_no_divergence():  # no spring could have held it
    rope = ropesim.Rope(links=3, gravity=0, end_stiffness_x=0, end_stiffness_y=0,
                        end_stiffness_angle=0, joint_stiffness=0, initial_rates=[0, 0, 1, 0, 0, 0])
    rope.advance(100)
    assert rope.time == pytest.approx(1.0)


def test_diverged_is_raised_and_another_rope_still_runs():
    torn = ropesim.Rope()
    torn.set_target(2, 1e6)
    with pytest.raises(ropesim.Diverged) as raised:
        torn.advance(300)
    assert isinstance(raised.value, RuntimeError)
    assert 0.0 < raised.value.time < 3.0
    healthy = ropesim.Rope()
    healthy.advance(50)
    assert healthy.time == pytest.approx(0.5)
    assert np.all(np.isfinite(healthy.state))


def test_two_threads_give_what_one_after_another_gives():
    def run(links, results, k):
        rope = ropesim.Rope(links=links)
        results[k] = rope.simulate(3.0, every=25, targets=[(2, 0.9, 0.5)])[1]

    serial = [None, None]
    for k, links in enumerate((24, 40)):
        run(links, serial, k)
    threaded = [None, None]
    threads = [threading.Thread(target=run, args=(links, threaded, k))
               for k, links in enumerate((24, 40))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for k in range(2):
        assert threaded[k].tobytes() == serial[k].tobytes()


@pytest.mark.parametrize("parameters, words", [
    ({"lenght": 1.0}, "unknown key 'lenght'"),
    ({"links": 0}, "key 'links'"),
    ({"link_mass": -1.0}, "greater than 0"),
    ({"joint_damping": float("nan")}, "key 'joint_damping'"),
    ({"carriage_mass": (1.0, 2.0, 3.0)}, "one number or two"),
    ({"gravity": "strong"}, "key 'gravity'"),
    ({"pegs": [(0.5, -0.2)]}, "key 'pegs' needs a list of \\[x, y, radius\\] triples"),
    ({"pegs": [(0.5, -0.2, -0.1)]}, "a radius greater than 0 at peg 0"),
    ({"pegs": [(0.5, 0.0, 0.1)]}, "puts peg 0 over the rope's start"),
    ({"added_mass": 0.5}, "added mass is not supported"),
    ({"rope_length": 1e-308}, "from 1e-6 to 1e100, derived from 'rope_length'"),
])
def test_bad_parameters_raise_value_error(parameters, words):
    with pytest.raises(ValueError, match=words):
        ropesim.Rope(**parameters)


def test_sweep_on_two_workers_equals_the_serial_results():
    # A rope of 0.6 m between carriages 0.4 m apart: it hangs slack.
    base = {"links": 14, "carriage_start": (-0.2, 0.2), "carriage_target": (-0.2, 0.2)}
    grid = {"joint_stiffness": [0.5, 5.0], "link_mass": [0.02, 0.05]}
    table = ropesim.sweep(base, grid, duration=1.0, workers=2)
    assert len(table) == 4
    for row in table:
        point = {"joint_stiffness": float(row["joint_stiffness"]), "link_mass": float(row["link_mass"])}
        alone = ropesim.run_point(base, point, 1.0)
        for name in ("sag", "mid_height", "peak_end_force", "energy", "x1", "x2"):
            assert row[name] == alone[name], name
    assert not np.any(table["diverged"]) and np.all(np.isfinite(table["energy"]))
