// Energy conservation along integrated trajectories, damping and carriage couplings off.
//
// The test integrates Hamilton's equations with its own fixed-step classical RK4 on (q, p), the
// rates coming from run_rhs_passes, and watches
//   E = sum over bodies of 1/2 velocity^T inertia velocity       (kinetic)
//     + sum of mass * 9.80665 * world height of the centre of mass (gravity)
//     + sum of 1/2 stiffness (q - rest)^2                          (joint springs).
// Potential energy has an arbitrary zero, so the drift |E(t) - E(0)| is measured relative to the
// smaller of |E(0)| and the largest kinetic energy met along the trajectory (the rope falls freely
// for 1 s, so the latter is about 58 J; E(0) is about 4.6 J).
//
// Tolerance: 1e-6 relative, required. Reached on the rope with a step of 2e-5 s (50 000 steps):
// 1.4e-7 (drift 6.5e-7 J). The drift falls by about 32 per halving of the step (4e-5: 3.6e-7 J
// relative to kinetic, 1e-5: 3.5e-10), so it is the integrator's, not the equations'.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

#include "rope/rope_model.hpp"
#include "forces/anchor_spring.hpp"
#include "test_support.hpp"

using namespace core_test;

namespace {

double total_energy(const BodyArray& bodies, double* kinetic = nullptr) {
  double t = 0.0, v = 0.0;
  for (const Body& body : bodies) {
    t += kinetic_energy(body);
    v += gravity_potential(body) + spring_potential(body);
  }
  if (kinetic) *kinetic = t;
  return t + v;
}

class Energy : public testing::Test {};

// `bend`: the largest initial joint angle, rad.
void check_rope_energy(int links, double bend) {
  auto rope = conservative_rope(links);
  Mbs& mbs = rope->mbs;
  std::mt19937_64 rng(31);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int i = 0; i < mbs.coordinate_count; ++i) {
    mbs.q[i] = i < 3 ? u(rng) : bend * u(rng);
    mbs.qdot[i] = 2.0 * u(rng);
  }
  run_setup_passes(mbs);

  const double h = 2e-5;
  const int steps = 50000;  // 1 s
  run_rhs_passes(mbs);
  update_body_records(mbs);
  double kinetic = 0.0;
  const double e0 = total_energy(rope->bodies, &kinetic);
  double largest_kinetic = kinetic, largest_drift = 0.0;
  Rk4 rk4(mbs);
  for (int step = 1; step <= steps; ++step) {
    rk4.step(h);
    if (step % 500 == 0 || step == steps) {
      run_rhs_passes(mbs);
      update_body_records(mbs);
      const double e = total_energy(rope->bodies, &kinetic);
      largest_kinetic = std::max(largest_kinetic, kinetic);
      largest_drift = std::max(largest_drift, std::fabs(e - e0));
    }
  }
  // Relative to the smaller of |E(0)| and the largest kinetic energy, the stricter measure.
  const double relative_drift = largest_drift / std::min(std::fabs(e0), largest_kinetic);
  std::printf("rope of %d links: E0 %.6f J, largest kinetic %.6f J, relative drift %.2e\n", links,
              e0, largest_kinetic, relative_drift);
  EXPECT_LT(relative_drift, 1e-6);
  // The rope did move: it fell and bent.
  EXPECT_GT(largest_kinetic, 10.0);
}

// Ropes of 24 links (the default), 5 and 200, held by nothing, from a random bent and moving
// state, for 1 s: the rope built from parameters must be exactly as conservative at any length.
TEST_F(Energy, RopesOfAnyLengthConserveEnergyForOneSecond) {
  for (const int links : {24, 5, 200}) {
    SCOPED_TRACE(links);
    check_rope_energy(links, links > 100 ? 0.05 : 0.3);
  }
}

// Integrates `tree` for `duration` with steps h and returns the largest |E(t) - E(0)| relative to
// the smaller of |E(0)| and the largest kinetic energy; `extra` adds further potential energy.
template <typename Extra>
double relative_energy_drift(Tree& tree, double h, int steps, Extra extra) {
  Mbs& mbs = tree.mbs;
  run_rhs_passes(mbs);
  update_body_records(mbs);
  double kinetic = 0.0;
  const double e0 = total_energy(tree.bodies, &kinetic) + extra();
  double largest_kinetic = kinetic, largest_drift = 0.0;
  Rk4 rk4(mbs);
  for (int step = 1; step <= steps; ++step) {
    rk4.step(h);
    if (step % 100 == 0 || step == steps) {
      run_rhs_passes(mbs);
      update_body_records(mbs);
      const double e = total_energy(tree.bodies, &kinetic) + extra();
      largest_kinetic = std::max(largest_kinetic, kinetic);
      largest_drift = std::max(largest_drift, std::fabs(e - e0));
    }
  }
  return largest_drift / std::min(std::fabs(e0), largest_kinetic);
}

void random_start(Tree& tree, std::mt19937_64& rng) {
  Mbs& mbs = tree.mbs;
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int i = 0; i < mbs.coordinate_count; ++i) {
    mbs.q[i] = u(rng);
    mbs.qdot[i] = 2.0 * u(rng);
  }
  run_setup_passes(mbs);
}

// A branched tree with random parameters (offsets and centres of mass off the axes), 1 s.
// Reached: about 1e-11 with h = 1e-4.
TEST_F(Energy, BranchedTreeConservesEnergy) {
  auto tree = build_branched_tree();
  std::mt19937_64 rng(8);
  randomise_parameters(*tree, rng);
  random_start(*tree, rng);
  const double drift = relative_energy_drift(*tree, 1e-4, 10000, [] { return 0.0; });
  std::printf("branched tree: relative drift %.2e\n", drift);
  EXPECT_LT(drift, 1e-6);
}

// Carriage 1 without damping is a conservative coupling: springs along world x and y from the
// held body's origin to anchor 1, and a rotational spring on its absolute angle. Held here: the
// free base and, separately, a link deep in the tree (both pulled to the same anchor).
// Reached: about 1e-11 with h = 5e-5.
TEST_F(Energy, UndampedCarriageOneCouplingConservesEnergy) {
  static double anchor[2] = {0.3, -0.2};
  static AnchorSpring spring{anchor, {0.0, 0.0}, false, 40.0, 0.0, 25.0, 0.0, 0.7, 0.0};
  auto tree = build_branched_tree();
  Body& base = (*tree)[0];
  Body& held_link = (*tree)[5];
  tree->mbs.force_elements.push_back(anchor_spring_on(spring, base));
  tree->mbs.force_elements.push_back(anchor_spring_on(spring, held_link));
  std::mt19937_64 rng(12);
  randomise_parameters(*tree, rng);
  random_start(*tree, rng);
  auto coupling_energy = [&] {
    double v = 0.0;
    for (const Body* body : {&base, &held_link}) {
      const double dx = body->position[0] - anchor[0], dy = body->position[1] - anchor[1];
      v += 0.5 * 40.0 * dx * dx + 0.5 * 25.0 * dy * dy + 0.5 * 0.7 * body->angle * body->angle;
    }
    return v;
  };
  const double drift = relative_energy_drift(*tree, 5e-5, 20000, coupling_energy);
  std::printf("carriage 1 coupling: relative drift %.2e\n", drift);
  EXPECT_LT(drift, 1e-6);
}

}  // namespace
