// Independent check of the whole right-hand-side algorithm against Hamilton's equations.
//
// The test builds the mass matrix M(q) from body kinematics alone (Jacobians of every body's
// centre of mass and absolute angle, from the link offsets, centres of mass, masses and moments
// of inertia; test_support.hpp, KinematicModel), never through the passes, and checks
//   qdot = M(q)^-1 p            and            pdot = -dH/dq,
// H(q, p) = 1/2 p^T M(q)^-1 p + V(q), V = gravity (9.80665) on the centres of mass plus the joint
// springs, with damping and carriages off. dH/dq is taken by fourth-order central differences
// of H itself (each H needs a solve with M); a second route, -dH/dq_i = 1/2 v^T (dM/dq_i) v -
// dV/dq_i with v = M^-1 p and dM/dq_i by central differences of M, needs no solve per step and must
// agree.
//
// Tolerance: 1e-6 relative (largest deviation over the largest reference entry), required.
// Reached (Release, x86-64), worst trial: rope qdot 2.9e-12, pdot 6.1e-9 (central differences of
// H) and 6.5e-9 (dM route), set-up p = M qdot 8.1e-13; branched tree (random parameters) qdot
// 1.5e-14, pdot 2.1e-11 and 1.4e-11, p 5.3e-15. The rope's mass matrix is badly conditioned (its
// light links), which the difference quotients feel; the passes themselves are far better.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

#include "rope/rope_model.hpp"
#include "rope/state_layout.hpp"
#include "test_support.hpp"

using namespace core_test;

namespace {

constexpr double required_tolerance = 1e-6;

struct Check {
  double qdot_error;
  double pdot_error_h;   // against central differences of H
  double pdot_error_dm;  // against 1/2 v^T dM v - dV
  double p_error;        // set-up: p = M qdot
};

// Fourth-order central difference of f along coordinate i.
template <typename F>
double derivative(F f, std::vector<double> q, int i, double h) {
  const double q0 = q[i];
  auto at = [&](double d) {
    q[i] = q0 + d;
    return f(q);
  };
  return (at(-2 * h) - 8 * at(-h) + 8 * at(h) - at(2 * h)) / (12 * h);
}

// Runs the passes on (q, p) and compares with the kinematic model.
// `with_gradient` false skips the finite-difference gradients, whose cost grows as n^4.
Check check_hamilton(Mbs& mbs, const KinematicModel& model, const std::vector<double>& q,
                     const std::vector<double>& p, bool with_gradient = true) {
  const int n = model.size();
  copy_into(mbs.q, q);
  copy_into(mbs.p, p);
  run_rhs_passes(mbs);
  const std::vector<double> qdot = copy_of(mbs.qdot, n);
  const std::vector<double> pdot = copy_of(mbs.pdot, n);

  Check check{};
  const std::vector<double> mass = model.mass_matrix(q);
  const std::vector<double> v = solve_spd(mass, p);
  check.qdot_error = relative_error(qdot, v);

  auto hamiltonian = [&](const std::vector<double>& x) {
    const std::vector<double> w = solve_spd(model.mass_matrix(x), p);
    double t = 0.0;
    for (int i = 0; i < n; ++i) t += 0.5 * p[i] * w[i];
    return t + model.potential(x);
  };
  std::vector<double> by_h(n), by_dm(n);
  const double h = 1e-3;
  for (int i = 0; i < n && with_gradient; ++i) {
    by_h[i] = -derivative(hamiltonian, q, i, h);
    // 1/2 v^T dM_i v - dV_i
    auto kinetic_at_v = [&](const std::vector<double>& x) {
      const std::vector<double> mv = multiply(model.mass_matrix(x), v);
      double t = 0.0;
      for (int k = 0; k < n; ++k) t += 0.5 * v[k] * mv[k];
      return t;
    };
    by_dm[i] =
        derivative(kinetic_at_v, q, i, h) -
        derivative([&](const std::vector<double>& x) { return model.potential(x); }, q, i, h);
  }
  if (with_gradient) {
    check.pdot_error_h = relative_error(pdot, by_h);
    check.pdot_error_dm = relative_error(pdot, by_dm);
  }

  // Set-up passes from the same q and the rates v must produce p = M v (= the p we started from).
  copy_into(mbs.q, q);
  copy_into(mbs.qdot, v);
  run_setup_passes(mbs);
  check.p_error = relative_error(copy_of(mbs.p, n), multiply(mass, v));
  return check;
}

void expect_within(const Check& c, const char* what, int trial) {
  EXPECT_LT(c.qdot_error, required_tolerance) << what << " trial " << trial;
  EXPECT_LT(c.pdot_error_h, required_tolerance) << what << " trial " << trial;
  EXPECT_LT(c.pdot_error_dm, required_tolerance) << what << " trial " << trial;
  EXPECT_LT(c.p_error, required_tolerance) << what << " trial " << trial;
  std::printf("%s trial %d: qdot %.2e  pdot(H) %.2e  pdot(dM) %.2e  setup p %.2e\n", what, trial,
              c.qdot_error, c.pdot_error_h, c.pdot_error_dm, c.p_error);
}

// Random coordinates: base position in [-1, 1], base angle in [-pi, pi], link angles in
// [-1.5, 1.5]; momenta random of either sign and physical size, drawn as M(q) times random rates in
// [-3, 3].
void random_state(const KinematicModel& model, std::mt19937_64& rng, std::vector<double>& q,
                  std::vector<double>& p) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  q.assign(model.size(), 0.0);
  for (const auto& l : model.links()) {
    if (l.free_base) {
      q[l.qi] = u(rng);
      q[l.qi + 1] = u(rng);
      q[l.qi + 2] = pi * u(rng);
    } else {
      q[l.qi] = 1.5 * u(rng);
    }
  }
  std::vector<double> rates(model.size());
  for (double& r : rates) r = 3.0 * u(rng);
  p = multiply(model.mass_matrix(q), rates);
  // And a component not of that form: a random perturbation of every momentum entry.
  const double scale = max_abs(p);
  for (double& x : p) x += 0.1 * scale * u(rng);
}

class Hamiltonian : public testing::Test {};

// The default rope and ropes of 5 and 200 links built from parameters. At 200 links the gradient
// of H is left to the energy test (finite differences of a 203 x 203 system take minutes); the
// rates and the set-up momenta are checked against the dense mass matrix.
TEST_F(Hamiltonian, RopeRatesAgreeWithMassMatrixAndGradientOfH) {
  for (const int links : {24, 5, 200}) {
    auto rope = conservative_rope(links);
    const KinematicModel model(rope->bodies.data(), rope->bodies.size(), rope->mbs);
    ASSERT_EQ(model.size(), state_layout(links).coordinates);
    const bool with_gradient = links < 100;
    std::mt19937_64 rng(20240611);
    for (int trial = 0; trial < (with_gradient ? 4 : 1); ++trial) {
      std::vector<double> q, p;
      random_state(model, rng, q, p);
      const std::string what = "rope of " + std::to_string(links) + " links";
      expect_within(check_hamilton(rope->mbs, model, q, p, with_gradient), what.c_str(), trial);
    }
  }
}

TEST_F(Hamiltonian, BranchedTreeWithRandomParametersAgrees) {
  auto tree = build_branched_tree();
  std::mt19937_64 rng(77);
  for (int trial = 0; trial < 4; ++trial) {
    randomise_parameters(*tree, rng);
    const KinematicModel model(tree->bodies, tree->mbs);
    std::vector<double> q, p;
    random_state(model, rng, q, p);
    expect_within(check_hamilton(tree->mbs, model, q, p), "branched", trial);
  }
}

TEST_F(Hamiltonian, BranchedTreeWithDefaultParametersAgrees) {
  auto tree = build_branched_tree();
  make_conservative(*tree);
  const KinematicModel model(tree->bodies, tree->mbs);
  std::mt19937_64 rng(5);
  for (int trial = 0; trial < 2; ++trial) {
    std::vector<double> q, p;
    random_state(model, rng, q, p);
    expect_within(check_hamilton(tree->mbs, model, q, p), "branched-default", trial);
  }
}

// A lone free base: qdot = K^-1 p with K the inertia seen by the world coordinates.
TEST_F(Hamiltonian, LoneFreeBaseAgrees) {
  auto tree = build_tree({{free_planar_base_kind, -1}});
  std::mt19937_64 rng(9);
  randomise_parameters(*tree, rng);
  const KinematicModel model(tree->bodies, tree->mbs);
  std::vector<double> q, p;
  random_state(model, rng, q, p);
  expect_within(check_hamilton(tree->mbs, model, q, p), "lone-base", 0);
}

}  // namespace
