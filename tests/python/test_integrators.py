"""Integration methods from Python: chosen per rope and per sweep, refused when unknown."""
import numpy as np
import pytest

import ropesim


@pytest.mark.parametrize("integrator, tolerance, error", [
    ("euler", 1e-6, ValueError),
    ("bdf", 0.0, ValueError),
    ("bdf", (1e-6, float("nan")), ValueError),
    ("bdf", (1e-6,), TypeError),
    (3, 1e-6, TypeError),
])
def test_bad_methods_are_refused(integrator, tolerance, error):
    with pytest.raises(error):
        ropesim.Rope(integrator=integrator, tolerance=tolerance)


def test_default_is_the_window_programs_method():
    assert ropesim.Rope().integrator == ("rk4", 1e-6, 1e-6)


# A model file names its method and tolerance; the keywords override each alone.
@pytest.mark.parametrize("keywords, expected", [
    ({}, ("rkf45", 1e-5, 1e-4)),
    ({"integrator": "rk4"}, ("rk4", 1e-5, 1e-4)),
    ({"tolerance": 1e-7}, ("rkf45", 1e-7, 1e-7)),
])
def test_a_model_file_names_its_method(tmp_path, keywords, expected):
    (tmp_path / "m.toml").write_text('integrator = "rkf45"\ntolerance = [1e-5, 1e-4]\nlinks = 3\n')
    rope = ropesim.Rope(tmp_path / "m.toml", **keywords)
    assert rope.integrator == expected and rope.parameters["links"] == 3


def test_every_method_of_the_engines_table_is_documented_and_runs():
    assert ropesim.METHODS[0] == "rk4" and len(set(ropesim.METHODS)) == len(ropesim.METHODS)
    for name in ropesim.METHODS:
        assert f"    {name}: " in ropesim.Rope.use_integrator.__doc__, name
        rope = ropesim.Rope(links=2, integrator=name)
        rope.advance(2)
        assert rope.integrator[0] == name and rope.time == pytest.approx(0.02)
    with pytest.raises(ValueError, match="must be one of " + ", ".join(ropesim.METHODS)):
        ropesim.Rope(integrator="euler")


def test_stiff_rope_with_an_implicit_method_matches_the_explicit_one():
    ropes = [ropesim.Rope(joint_stiffness=55000, integrator=name, tolerance=1e-9)
             for name in ("rkf45", "dirk")]
    for rope in ropes:
        rope.set_target(2, 0.9)
        rope.advance(20)
    assert ropes[1].integrator[0] == "dirk"
    assert np.abs(ropes[0].state - ropes[1].state).max() < 1e-5
