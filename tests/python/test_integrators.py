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


def test_stiff_rope_with_an_implicit_method_matches_the_explicit_one():
    ropes = [ropesim.Rope(joint_stiffness=55000, integrator=name, tolerance=1e-9)
             for name in ("rkf45", "dirk")]
    for rope in ropes:
        rope.set_target(2, 0.9)
        rope.advance(20)
    assert ropes[1].integrator[0] == "dirk"
    assert np.abs(ropes[0].state - ropes[1].state).max() < 1e-5
