"""What a rope reports: true from the first moment, untouched by analysis calls, never a copy that
silently swallows writes, never shared between two Python objects."""

import copy
import pickle

import numpy as np
import pytest

import ropesim


def test_a_fresh_rope_reports_its_initial_state():
    rope = ropesim.Rope()
    # The chain lies straight along +x from the origin, 0.04 m per body.
    placements = rope.placements()
    assert np.allclose(placements[:, 0], 0.04 * np.arange(25), rtol=0, atol=1e-15)
    assert np.all(placements[:, 1:] == 0.0)
    # Carriage 1 at -0.2 m is pulled towards the chain's start at 0, carriage 2 at 0.6 m towards
    # its far end at 1.0 m: 5000 N/m times the gap.
    assert rope.end_forces() == pytest.approx((1000.0, 2000.0), abs=1e-9)


def test_rhs_at_another_state_leaves_every_reading_as_it_was():
    rope = ropesim.Rope()
    rope.set_target(2, 0.9)
    rope.advance(30)
    before = (rope.end_forces(), rope.placements(), rope.energy(), rope.state.copy())
    other = rope.state + 0.05
    assert not np.array_equal(rope.rhs(other), rope.rhs(rope.state))
    after = (rope.end_forces(), rope.placements(), rope.energy(), rope.state)
    assert after[0] == before[0]
    assert np.array_equal(after[1], before[1])
    assert after[2] == before[2]
    assert np.array_equal(after[3], before[3])


@pytest.mark.parametrize("integrator, every", [("rk4", 1), ("rk4", 3), ("dirk", 2)])
def test_simulated_placements_are_each_rows_accepted_state(integrator, every):
    # dirk evaluates trial states after the last accepted one: the rows must not show them.
    ropes = [ropesim.Rope(links=6, integrator=integrator) for _ in range(2)]
    for rope in ropes:
        rope.set_target(2, 0.9)
    times, states, placements = ropes[0].simulate(0.3, every=every, placements=True)
    assert placements.shape == (len(times), 8, 3)
    stepped = [ropes[1].placements()]
    for frame in range(1, 31):
        ropes[1].advance(1)
        if frame % every == 0:
            stepped.append(ropes[1].placements())
    assert placements[:, :-1].tobytes() == np.array(stepped).tobytes()
    # The far end shares the last body's angle, one link length from its origin.
    assert np.array_equal(placements[:, -1, 2], placements[:, -2, 2])
    reach = np.hypot(*(placements[:, -1, :2] - placements[:, -2, :2]).T)
    assert np.allclose(reach, 0.04, rtol=0, atol=1e-12)


@pytest.mark.parametrize("name", ["state", "q", "p", "carriages"])
def test_state_arrays_refuse_writes(name):
    rope = ropesim.Rope()
    with pytest.raises(ValueError, match="read-only"):
        getattr(rope, name)[0] = 5.0
    assert getattr(rope, name)[0] != 5.0


@pytest.mark.parametrize("duplicate", [copy.copy, copy.deepcopy, pickle.dumps])
def test_a_rope_is_never_duplicated_onto_one_engine(duplicate):
    rope = ropesim.Rope()
    if duplicate is not pickle.dumps:  # a pickle carries a checkpoint: loading makes a new engine
        with pytest.raises(TypeError):
            duplicate(rope)
    with pytest.raises(TypeError):
        duplicate(rope._rope)


HELD = dict(carriage_start=(0.0, 1.0), carriage_target=(0.0, 1.0), end_stiffness_y=(0.0, 0.0))


@pytest.mark.parametrize("world", [dict(ground_height=0.0),
                                   dict(pegs=[[0.25, -0.05, 0.05], [0.75, -0.05, 0.05]])])
def test_ground_or_pegs_under_a_rope_at_rest_carry_its_weight(world):
    # The 1 kg rope after 4 s: the contact carries its weight to 0.1 %, and the total is the sum
    # of the per-body forces. Without fluid no drag works.
    rope = ropesim.Rope(integrator="bdf", tolerance=(1e-8, 1e-8), **HELD, **world)
    rope.advance(400)
    forces = rope.contact_forces
    assert forces.shape == (25, 2)
    assert rope.contact_force == pytest.approx(tuple(forces.sum(axis=0)), abs=1e-12)
    assert rope.contact_force[1] == pytest.approx(9.80665, rel=1e-3)
    assert rope.drag_power == 0.0


def test_dissipated_energy_survives_a_pickle_and_continues_exactly():
    rope = ropesim.Rope(ground_height=-0.2, friction=0.4, fluid_density=1000.0)
    rope.advance(20)
    copy_ = pickle.loads(pickle.dumps(rope))
    assert copy_.energy_dissipated == rope.energy_dissipated > 0.0
    for r in (rope, copy_):
        r.advance(20)
    assert copy_.energy_dissipated == rope.energy_dissipated
    assert copy_.drag_power == rope.drag_power < 0.0
