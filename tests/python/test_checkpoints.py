"""Ropes from Python beyond the uniform straight one: per-body lists and arrays, ropes given by
their physics, a settable state, set_configuration, and checkpoints (save, load, pickle) that
continue exactly."""

import os
import pickle
import shutil
import subprocess
import sys
import tempfile

import numpy as np
import pytest

import ropesim

LINKS = 6
UNEVEN = {"links": LINKS, "link_length": np.linspace(0.03, 0.05, LINKS + 1),
          "link_mass": [0.05] * (LINKS + 1), "payload_mass": 0.2, "far_end_coupling": "point"}


def test_lists_and_arrays_of_equal_values_equal_the_scalar_rope():
    scalar = ropesim.Rope(links=LINKS, joint_stiffness=2.0)
    arrays = ropesim.Rope(links=LINKS, joint_stiffness=np.full(LINKS, 2.0),
                          link_length=[0.04] * (LINKS + 1))
    _, a = scalar.simulate(0.3)
    _, b = arrays.simulate(0.3)
    assert a.tobytes() == b.tobytes()


@pytest.mark.parametrize("parameters, message", [
    ({"link_length": [0.04] * 3}, "key 'link_length' has 3 values; it needs one, or 7"),
    ({"joint_damping": [0.01] * (LINKS - 1) + [-1.0]}, "at index 5"),
    ({"initial_base": [0.0, 0.0]}, "key 'initial_base' needs three numbers"),
    ({"far_end_coupling": "glued"}, "key 'far_end_coupling' needs \"design\" or \"point\""),
    ({"link_mass": ["heavy"]}, "key 'link_mass' needs"),
])
def test_bad_per_body_values_raise_value_error_naming_the_key(parameters, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(")):
        ropesim.Rope(links=LINKS, **parameters)


def test_state_setter_and_set_configuration():
    rope = ropesim.Rope(**UNEVEN)
    n, d = rope.coordinate_count, rope.state.size
    for bad in (np.zeros(3), np.full(d, np.nan), ["a"] * d):
        with pytest.raises(ValueError):
            rope.state = bad
    state = rope.state.copy()
    state[2 * n] = -0.3
    rope.state = state
    assert rope.carriages[0] == -0.3
    q = np.zeros(n)
    q[3:] = 0.05
    qdot = np.linspace(-0.2, 0.2, n)
    rope.set_configuration(q, qdot)
    assert np.array_equal(rope.q, q)
    np.testing.assert_allclose(rope.rhs(rope.state)[:n], qdot, rtol=0, atol=1e-12)
    with pytest.raises(ValueError, match="qdot needs"):
        rope.set_configuration(q, qdot[:-1])


L = 0.7 / (LINKS + 1)  # each body's length


@pytest.mark.parametrize("physics, lists", [
    ({"links": LINKS, "rope_length": 0.7, "mass_per_metre": 1.3, "bending_stiffness": 0.22,
      "bending_damping": 4e-4},
     {"link_length": [L] * (LINKS + 1), "link_mass": [1.3 * L] * (LINKS + 1),
      "joint_stiffness": [0.22 / L] * LINKS, "joint_damping": [4e-4 / L] * LINKS}),
    # links last: the values follow the final count. Without rope_length, l is link_length.
    ({"rope_length": 0.7, "links": LINKS}, {"link_length": [L] * (LINKS + 1)}),
    ({"link_length": 0.05, "mass_per_metre": 2.0}, {"link_length": 0.05, "link_mass": 2.0 * 0.05}),
])
def test_physics_keys_give_the_per_body_rope_also_after_a_checkpoint(tmp_path, physics, lists):
    rope = ropesim.Rope(**physics)
    _, a = ropesim.Rope(links=rope.coordinate_count - 3, **lists).simulate(0.2)
    _, b = rope.simulate(0.2)
    assert a.tobytes() == b.tobytes()
    rope.save(tmp_path / "rope.toml")
    ropesim.Rope.load(tmp_path / "rope.toml").save(tmp_path / "again.toml")
    assert (tmp_path / "again.toml").read_bytes() == (tmp_path / "rope.toml").read_bytes()
    _, a = rope.simulate(0.1)
    _, b = ropesim.Rope.load(tmp_path / "again.toml").simulate(0.1)
    assert a.tobytes() == b.tobytes()


@pytest.mark.parametrize("model, parameters, words", [
    (None, {"rope_length": 1.0, "link_length": 0.04}, "'link_length' cannot be given with 'rope_"),
    ("fine_rope.toml", {"joint_damping": 0.01}, "'joint_damping' cannot be given with 'bending_"),
    (None, {"links": 1, "link_length": [0.1, 0.2], "bending_stiffness": 0.2}, "one length"),
])
def test_physics_keys_refuse_what_they_cannot_derive(model, parameters, words):
    path = model and os.path.join(os.environ["ROPE_SOURCE_DIR"], "models", model)
    with pytest.raises(ValueError, match=words):
        ropesim.Rope(path, **parameters)


@pytest.mark.parametrize("method", ropesim.METHODS)
def test_saved_and_loaded_rope_continues_exactly(tmp_path, method):
    # The frame count travels too: rows of every 10th frame fall where the unbroken run has them,
    # from Python and from rope-headless alike.
    whole, rope = (ropesim.Rope(integrator=method, **UNEVEN) for _ in range(2))
    times, a = whole.simulate(0.45, every=10, targets=[(2, 0.8, 0.1)])
    rope.simulate(0.15, every=10, targets=[(2, 0.8, 0.1)])
    rope.save(tmp_path / "rope.toml")
    assert os.listdir(tmp_path) == ["rope.toml"]
    assert "\nframe_count = 15\n" in (tmp_path / "rope.toml").read_text()
    loaded = ropesim.Rope.load(tmp_path / "rope.toml")
    resumed_times, b = loaded.simulate(0.3, every=10)
    assert np.allclose(resumed_times, [0.15, 0.2, 0.3, 0.4])
    assert a[-3:].tobytes() == b[-3:].tobytes()
    csv = subprocess.run([os.environ["ROPE_HEADLESS"], "--quiet", "--resume", tmp_path / "rope.toml",
                          "--duration", "0.3", "--every", "10"], capture_output=True, text=True,
                         check=True).stdout
    assert [float(row.split(",")[0]) for row in csv.splitlines()[1:]] == list(resumed_times)


@pytest.mark.parametrize("parameters", [
    {}, UNEVEN, {"links": 3, "link_mass": [0.05] * 4, "gravity": 5.0},
    {"links": 40, "rope_length": 1.2, "mass_per_metre": 0.5, "bending_stiffness": 0.1},
    {"links": 9, "bending_damping": 1e-3, "link_mass": np.linspace(0.02, 0.06, 10)}])
def test_a_rope_built_from_its_parameters_is_the_same_rope(parameters):
    rope = ropesim.Rope(**parameters)
    assert set(parameters) <= set(rope.parameters)  # the physics keys too
    again = ropesim.Rope(**rope.parameters)
    assert again.state.tobytes() == rope.state.tobytes()
    assert again.rhs(again.state).tobytes() == rope.rhs(rope.state).tobytes()
    assert repr(dict(again.parameters)) == repr(dict(rope.parameters))
    assert all(np.ndim(value) == 0 or len(set(value)) > 1  # a uniform chain is one number
               for value in rope.parameters.values() if not isinstance(value, tuple))


def test_parameters_read_back_and_a_changed_rope_goes_on_from_the_state():
    rope = ropesim.Rope(**UNEVEN)
    values = rope.parameters
    assert values["links"] == LINKS and isinstance(values["links"], int)
    assert values["link_length"].tolist() == UNEVEN["link_length"].tolist()
    assert values["payload_mass"] == 0.2 and values["far_end_coupling"] == "point"
    assert values["carriage_mass"] == (100.0, 100.0)
    with pytest.raises(TypeError):
        values["payload_mass"] = 1.0
    rope.simulate(0.2, targets=[(2, 0.8, 0.1)])
    same, stiffer = rope.changed(), rope.changed(joint_stiffness=50.0)
    assert stiffer.parameters["joint_stiffness"] == 50.0
    assert rope.parameters["joint_stiffness"] == 5.5  # the original is left as it was
    assert stiffer.time == rope.time and stiffer.state.tobytes() == rope.state.tobytes()
    _, a = rope.simulate(0.2)
    _, b = same.simulate(0.2)
    _, c = stiffer.simulate(0.2)
    assert a.tobytes() == b.tobytes() and not np.array_equal(a, c)


def test_world_keys_read_back_and_a_world_rope_continues_exactly_after_a_checkpoint(tmp_path):
    world = {"ground_height": -0.2, "ground_slope": 0.1, "friction": 0.4, "fluid_density": 1000.0,
             "fluid_surface": 0.05, "flow": (0.2, 0.0), "pegs": np.array([[0.3, -0.1, 0.03],
                                                                         [0.5, -0.15, 0.02]])}
    assert "ground_height" not in ropesim.Rope(**UNEVEN).parameters  # absent: no ground
    rope = ropesim.Rope(integrator="bdf", **UNEVEN, **world)
    values = rope.parameters
    assert values["pegs"] == ((0.3, -0.1, 0.03), (0.5, -0.15, 0.02))
    assert values["ground_height"] == -0.2 and values["flow"] == (0.2, 0.0)
    rope.simulate(0.15)
    rope.save(tmp_path / "rope.toml")
    _, a = rope.simulate(0.15)
    _, b = ropesim.Rope.load(tmp_path / "rope.toml").simulate(0.15)
    assert a.tobytes() == b.tobytes()


def test_continued_script_skips_moves_already_past():
    # Continuing with the same move list keeps a target set by hand since; a move still to come
    # acts as usual.
    moves = [(1, -0.4, 0.1), (2, 0.9, 0.7)]
    scripted, by_hand = ropesim.Rope(links=LINKS), ropesim.Rope(links=LINKS)
    scripted.simulate(0.5, targets=moves)
    by_hand.simulate(0.5, targets=moves)
    for rope in (scripted, by_hand):
        rope.set_target(1, 0.3)
    _, a = scripted.simulate(0.5, targets=moves)
    _, b = by_hand.simulate(0.5, targets=moves[1:])
    assert a.tobytes() == b.tobytes()


def test_damaged_checkpoint_raises_value_error(tmp_path):
    rope = ropesim.Rope(links=LINKS)
    rope.save(tmp_path / "rope.toml")
    text = (tmp_path / "rope.toml").read_text()
    (tmp_path / "bad.toml").write_text(text.replace("links = 6", "links = 7"))
    with pytest.raises(ValueError, match="key 'state' has"):
        ropesim.Rope.load(tmp_path / "bad.toml")


CONTINUE = """
import pickle, sys
rope = pickle.loads(sys.stdin.buffer.read())
_, states = rope.simulate(0.4)
sys.stdout.buffer.write(states.tobytes())
"""


def test_pickled_rope_continues_identically_in_another_process():
    rope = ropesim.Rope(**UNEVEN)
    rope.simulate(0.3, targets=[(1, -0.4, 0.0)])
    there = subprocess.run([sys.executable, "-c", CONTINUE], input=pickle.dumps(rope),
                           capture_output=True, check=True, env=os.environ)
    _, here = rope.simulate(0.4)
    assert there.stdout == here.tobytes()


def test_sweep_point_continues_from_a_saved_rope():
    base = ropesim.Rope(links=LINKS)
    base.simulate(0.2)
    row = ropesim.run_point(base, {"joint_damping": 0.02}, 0.1)
    alone = ropesim.Rope._restored(base._rope.checkpoint(), joint_damping=0.02)
    alone.simulate(0.1)
    assert row["status"] == "ok"
    assert row["x2"] == alone.carriages[2]


@pytest.mark.parametrize("source, error, words", [
    (lambda folder: "/dev/zero", OSError, "not a regular file"),
    (lambda folder: os.mkfifo(folder / "fifo") or folder / "fifo", OSError, "not a regular file"),
    (lambda folder: (folder / "huge").touch() or os.truncate(folder / "huge", 2**30 + 1)
     or folder / "huge", OSError, "larger than"),  # sparse: no disk space taken
    (lambda folder: "-", FileNotFoundError, "-"),  # a file's name, not standard input
])
def test_what_is_no_checkpoint_is_refused_at_once(tmp_path, monkeypatch, source, error, words):
    monkeypatch.chdir(tmp_path)
    with pytest.raises(error, match=words):
        ropesim.Rope.load(source(tmp_path))


def test_save_through_a_link_writes_its_target(tmp_path):
    os.symlink("target.toml", tmp_path / "rope.toml")
    ropesim.Rope(links=LINKS).save(tmp_path / "rope.toml")
    assert os.path.islink(tmp_path / "rope.toml") and (tmp_path / "target.toml").is_file()


@pytest.fixture(scope="module")
def package_nobody_reads():
    """The built package copied where anyone may read it: the checkout may not be (/root)."""
    with tempfile.TemporaryDirectory() as folder:
        shutil.copytree(os.path.dirname(ropesim.__file__), os.path.join(folder, "ropesim"))
        subprocess.run(["chmod", "-R", "a+rX", folder], check=True)
        yield folder


@pytest.mark.skipif(os.geteuid() != 0, reason="acting as nobody needs root")
@pytest.mark.parametrize("name, mode, error", [
    ("locked/rope.toml", None, "PermissionError"),  # a folder it may not write in
    ("rope.toml", 0o644, "PermissionError"),  # a file it may not write, in a folder it may
    ("own.toml", 0o606, ""),  # its own file, its mode kept
])
def test_save_writes_with_the_users_permissions(package_nobody_reads, name, mode, error):
    with tempfile.TemporaryDirectory() as folder:
        os.chmod(folder, 0o777)
        os.mkdir(os.path.join(folder, "locked"), 0o755)
        path = os.path.join(folder, name)
        if mode:
            ropesim.Rope(links=1).save(path)
            os.chmod(path, mode)
            os.chown(path, 0 if error else 65534, 0)
        save = "import sys, ropesim; ropesim.Rope(links=2).save(sys.argv[1])"
        run = subprocess.run([sys.executable, "-c", save, path], user=65534, group=65534,
                             extra_groups=[], capture_output=True, text=True,
                             cwd=package_nobody_reads,
                             env={**os.environ, "PYTHONPATH": package_nobody_reads})
        assert (run.returncode == 0) == (error == "") and error in run.stderr, run.stderr
        assert sorted(os.listdir(folder)) == sorted({"locked", name.split("/")[0]})
        assert not mode or os.stat(path).st_mode & 0o7777 == mode
