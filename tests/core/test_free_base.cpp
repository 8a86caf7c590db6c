// The free planar base (type 1) and the rejection of carriage 2 on it.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>

#include "forces/anchor_spring.hpp"
#include "test_support.hpp"

using namespace core_test;

namespace {

class FreeBase : public testing::Test {};

// q2 = pi/2 (s = 1, c = 0 to rounding): velocity = (qdot1, -qdot0, qdot2), composite momentum
// = (p1, -p0, p2).
TEST_F(FreeBase, QuarterTurnMapping) {
  auto tree = build_tree({{free_planar_base_kind, -1}});
  Body& base = (*tree)[0];
  Mbs& mbs = tree->mbs;
  const double qdot[] = {0.7, -1.1, 0.4};
  mbs.q[0] = 0.2;
  mbs.q[1] = -0.3;
  mbs.q[2] = pi / 2;
  for (int i = 0; i < 3; ++i) mbs.qdot[i] = qdot[i];
  setup_pass_a(base);
  EXPECT_NEAR(base.velocity[0], qdot[1], 1e-15);
  EXPECT_NEAR(base.velocity[1], -qdot[0], 1e-15);
  EXPECT_EQ(base.velocity[2], qdot[2]);

  const double p[] = {0.02, -0.05, 0.001};
  for (int i = 0; i < 3; ++i) mbs.p[i] = p[i];
  run_rhs_passes(mbs);
  EXPECT_NEAR(base.composite_momentum[0], p[1], 1e-17);
  EXPECT_NEAR(base.composite_momentum[1], -p[0], 1e-17);
  EXPECT_EQ(base.composite_momentum[2], p[2]);
  EXPECT_EQ(base.position, (Point{0.2, -0.3}));
  EXPECT_EQ(base.angle, pi / 2);
  EXPECT_EQ(base.sin_abs, 1.0);
  EXPECT_NEAR(base.cos_abs, 0.0, 1e-16);
}

// q2 = 0: the rotation is the identity.
TEST_F(FreeBase, ZeroAngleIsTheIdentity) {
  auto tree = build_tree({{free_planar_base_kind, -1}});
  Body& base = (*tree)[0];
  Mbs& mbs = tree->mbs;
  const double p[] = {0.02, -0.05, 0.001};
  for (int i = 0; i < 3; ++i) mbs.p[i] = p[i];
  run_rhs_passes(mbs);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(base.velocity[i], mbs.qdot[i]);
    EXPECT_EQ(base.composite_momentum[i], p[i]);
  }
}

// initial_joint_momentum (p = T H) then composite_momentum (T^T p) returns H.
TEST_F(FreeBase, InitialMomentumThenCompositeMomentumRoundTrip) {
  auto tree = build_tree({{free_planar_base_kind, -1}});
  Body& base = (*tree)[0];
  std::mt19937_64 rng(6);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  for (int trial = 0; trial < 20; ++trial) {
    base.q[2] = 4.0 * u(rng);
    base.type->joint_transform(base);
    const Triple h = {u(rng), u(rng), u(rng)};
    base.composite_momentum = h;
    base.type->initial_joint_momentum(base);
    // p is h turned into world axes.
    const auto [px, py] = rotate(base.q[2], h[0], h[1]);
    EXPECT_NEAR(base.p[0], px, 1e-15);
    EXPECT_NEAR(base.p[1], py, 1e-15);
    EXPECT_EQ(base.p[2], h[2]);
    base.composite_momentum = {};
    base.type->composite_momentum(base);
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(base.composite_momentum[i], h[i], 1e-15);
  }
}

// A single free body: qdot = K^-1 p, and inertia * velocity = T^T p.
TEST_F(FreeBase, LoneBodyMomentumIsInertiaTimesVelocity) {
  auto tree = build_tree({{free_planar_base_kind, -1}});
  Body& base = (*tree)[0];
  Mbs& mbs = tree->mbs;
  const double p[] = {0.03, 0.01, -0.0005};
  mbs.q[2] = 0.9;
  for (int i = 0; i < 3; ++i) mbs.p[i] = p[i];
  run_rhs_passes(mbs);
  const Sym3& m = base.inertia;
  const Triple& v = base.velocity;
  const Triple iv = {m[0] * v[0] + m[1] * v[1] + m[2] * v[2],
                     m[1] * v[0] + m[3] * v[1] + m[4] * v[2],
                     m[2] * v[0] + m[4] * v[1] + m[5] * v[2]};
  const double c = std::cos(0.9), s = std::sin(0.9);
  const Triple ttp = {c * p[0] + s * p[1], -s * p[0] + c * p[1], p[2]};
  for (int i = 0; i < 3; ++i) EXPECT_NEAR(iv[i], ttp[i], 1e-15) << i;
}

// pdot0 and pdot1 take no stiffness or rest; only the angle has a spring. Damping acts on all
// three.
TEST_F(FreeBase, OnlyTheAngleHasASpringAndAllThreeAreDamped) {
  auto plain = build_tree({{free_planar_base_kind, -1}, {revolute_link_kind, 0}});
  auto sprung = build_tree({{free_planar_base_kind, -1}, {revolute_link_kind, 0}});
  const double q[] = {0.3, -0.2, 0.5, 0.7};
  const double p[] = {0.02, 0.03, 0.001, 0.0002};
  for (auto* tree : {plain.get(), sprung.get()})
    for (int i = 0; i < 4; ++i) {
      tree->mbs.q[i] = q[i];
      tree->mbs.p[i] = p[i];
    }
  Body& base = (*sprung)[0];
  base.joint_stiffness = {11.0, 13.0, 17.0};
  base.joint_rest = {0.1, 0.2, 0.3};
  base.joint_damping = {0.5, 0.25, 0.125};
  run_rhs_passes(plain->mbs);
  run_rhs_passes(sprung->mbs);
  const double* qdot = sprung->mbs.qdot;
  for (int i = 0; i < 4; ++i) EXPECT_EQ(qdot[i], plain->mbs.qdot[i]);
  EXPECT_NEAR(sprung->mbs.pdot[0] - plain->mbs.pdot[0], -0.5 * qdot[0], 1e-15);
  EXPECT_NEAR(sprung->mbs.pdot[1] - plain->mbs.pdot[1], -0.25 * qdot[1], 1e-15);
  EXPECT_NEAR(sprung->mbs.pdot[2] - plain->mbs.pdot[2], -0.125 * qdot[2] - 17.0 * (0.5 - 0.3),
              1e-14);
}

// The free base hands nothing to the ground.
TEST_F(FreeBase, TransmitsNothing) {
  auto tree = build_chain(3);
  Mbs& mbs = tree->mbs;
  for (int i = 0; i < mbs.coordinate_count; ++i) {
    mbs.q[i] = 0.1 * (i + 1);
    mbs.qdot[i] = 0.2 * (i + 1);
  }
  run_setup_passes(mbs);
  run_rhs_passes(mbs);
  const Body& base = (*tree)[0];
  EXPECT_EQ(base.transmitted_inertia, (Sym3{}));
  EXPECT_EQ(base.transmitted_momentum_bias, (Triple{}));
  EXPECT_EQ(base.transmitted_force, (Triple{}));
  EXPECT_EQ(base.transmitted_momentum, (Triple{}));
  EXPECT_EQ(base.parent_velocity, (Triple{}));
}

// pdot0, pdot1: the world components of the total force (here gravity on the whole tree, at rest).
TEST_F(FreeBase, LinearMomentumRateIsTheTotalWeight) {
  auto tree = build_chain(5);
  Mbs& mbs = tree->mbs;
  for (int i = 0; i < mbs.coordinate_count; ++i) mbs.q[i] = 0.3 * (i % 3) - 0.2;
  run_rhs_passes(mbs);
  EXPECT_NEAR(mbs.pdot[0], 0.0, 1e-15);
  EXPECT_NEAR(mbs.pdot[1], -6 * 0.04 * standard_gravity, 1e-14);
}

// An anchor spring may hold any body at any point: a free base by a point off its origin (it has
// no joint offset to name one), a link by its origin. The spring acting at the held point adds its
// moment there.
TEST_F(FreeBase, AnchorSpringsHoldAnyBodyAtAnyPoint) {
  static double anchor[2] = {1.0, 0.0};
  static AnchorSpring at_far_point{anchor, {0.04, 0.0}, true, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0};
  static AnchorSpring at_origin{anchor, {0.0, 0.0}, false, 1.0, 1.0, 1.0, 1.0, 1.0, 1.0};
  auto tree = build_chain(2);
  Body& base = (*tree)[0];
  tree->mbs.force_elements.push_back(anchor_spring_on(at_far_point, base));
  tree->mbs.force_elements.push_back(anchor_spring_on(at_origin, (*tree)[2]));
  EXPECT_EQ(run_setup_passes(tree->mbs), MbsStatus::ok);
  EXPECT_EQ(run_rhs_passes(tree->mbs), MbsStatus::ok);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(std::isfinite(tree->mbs.pdot[i])) << i;
  // At rest, straight along x: the far point (0.04, 0) is pulled 0.96 m along x, with no moment
  // about the origin; the weight's moment alone remains.
  EXPECT_DOUBLE_EQ(base.applied_force[0], 0.96);
  EXPECT_EQ(base.applied_force[2], 0.02 * -(standard_gravity * 0.04));
}

}  // namespace
