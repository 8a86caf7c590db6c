"""The rope's world against laws derived by hand, where a run takes seconds: the capstan."""

import math

import pytest

import ropesim


def capstan_rope(links, friction):
    """No gravity, no bending stiffness: from carriage 1 at (-0.5, 0) along y = 0 over the top of
    a peg of radius 0.05 at x = 0.3, half round it and back along y = -0.1 to carriage 2, also at
    x = -0.5, whose coupling lifts the end to y = 0. Each body starts along the path's tangent at
    its middle, 2 mm clear of the peg."""
    radius, clear, straight = 0.05, 2e-3, 0.8
    arc_radius = radius + clear
    length = 2 * straight + math.pi * arc_radius
    body = length / (links + 1)
    angles = []
    for k in range(links + 1):
        s = (k + 0.5) * body
        angles.append(0.0 if s < straight else
                      -min(s - straight, math.pi * arc_radius) / arc_radius)
    return ropesim.Rope(
        links=links, rope_length=length, mass_per_metre=0.1, gravity=0.0, joint_stiffness=0.0,
        joint_damping=1e-5, end_stiffness_angle=0.0, end_stiffness_y=1e3,
        far_end_coupling="point", carriage_start=-0.5, carriage_target=-0.5,
        initial_base=[-0.5, 0.0, 0.0], initial_angles=[b - a for a, b in zip(angles, angles[1:])],
        pegs=[[0.3, -radius - clear, radius]], contact_stiffness=1e7, friction=friction,
        friction_speed=1e-3, integrator="bdf", tolerance=1e-6)


def tensions_and_wrap(rope):
    """Each free end's tension from its coupling's pull along x and the end body's angle (no
    bending stiffness, no gravity: the free spans are straight), and the angle the rope turns
    between them."""
    placements = rope.placements()
    first, last = placements[0, 2], placements[-1, 2]
    pull_1, pull_2 = rope.end_forces()
    return abs(pull_1 / math.cos(first)), abs(pull_2 / math.cos(last)), abs(last - first)


@pytest.mark.parametrize("friction", [0.3, 0.15])
def test_a_rope_slipping_round_a_peg_keeps_the_capstan_ratio(friction):
    """Carriage 2 walks away at 2 cm/s, ten times friction_speed, so the rope slips round the peg
    with friction saturated: the tensions' ratio is e^(mu theta), within 2 % at 200 bodies."""
    rope = capstan_rope(199, friction)
    ratios = []
    for frame in range(300):
        rope.set_target(2, -0.5 - 0.0002 * (frame + 1))
        rope.advance(1)
        if frame >= 200 and frame % 20 == 0:
            slack_side, pulled_side, wrap = tensions_and_wrap(rope)
            ratios.append(pulled_side / slack_side / math.exp(friction * wrap))
    assert ratios == pytest.approx([1.0] * len(ratios), abs=0.02)
