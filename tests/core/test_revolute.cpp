// The revolute link (type 0): values worked out by hand for a lone link and a pair at rest, and
// edge cases. Tests that read intermediates (applied force, reduced inertia, composite momentum)
// run the table path, which fills them; the fused kernels match it bit for bit (test_kernels.cpp).
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "test_support.hpp"

using namespace core_test;

namespace {

class Revolute : public testing::Test {};

// A single link with its defaults hung from the ground, at q = 0, p = 0: it does not move yet,
// and its momentum changes at the moment of its weight about the joint.
TEST_F(Revolute, LoneLinkAtRest) {
  auto tree = build_tree({{revolute_link_kind, -1}});
  Body& link = (*tree)[0];
  ASSERT_EQ(link.own_forces, 0);
  run_rhs_table_passes(tree->mbs);
  EXPECT_EQ(*link.qdot, 0.0);
  EXPECT_NEAR(*link.pdot, -0.00784532, 1e-12);
  EXPECT_DOUBLE_EQ(*link.pdot, -(9.80665 * 0.04) * 0.02);
  EXPECT_EQ(link.position, (Point{0.04, 0.0}));
  EXPECT_EQ(link.angle, 0.0);
  EXPECT_EQ(link.sin_abs, 0.0);
  EXPECT_EQ(link.cos_abs, 1.0);
  EXPECT_EQ(link.velocity, (Triple{}));
  // Expected: (0, -0.392266, -0.00784532).
  EXPECT_EQ(link.applied_force[0], 0.0);
  EXPECT_NEAR(link.applied_force[1], -0.392266, 1e-12);
  EXPECT_NEAR(link.applied_force[2], -0.00784532, 1e-12);
}

// A leaf link: A = inertia, j = 46875, N = (0.04, 0, 0.01).
TEST_F(Revolute, LeafLinkJointInertiaAndReducedInertia) {
  auto tree = build_tree({{revolute_link_kind, -1}});
  Body& link = (*tree)[0];
  run_rhs_table_passes(tree->mbs);
  EXPECT_EQ(link.articulated_inertia, link.inertia);
  EXPECT_EQ(link.momentum_bias, (Triple{}));
  EXPECT_EQ(link.joint_inertia_inverse[0], 1.0 / 2.1333333333333335e-05);
  EXPECT_DOUBLE_EQ(link.joint_inertia_inverse[0], 46875.0);
  EXPECT_DOUBLE_EQ(link.reduced_inertia[0], 0.04);
  EXPECT_EQ(link.reduced_inertia[1], 0.0);
  EXPECT_NEAR(link.reduced_inertia[3], 0.01, 1e-15);
  EXPECT_EQ(link.reduced_inertia[3], 0.04 - 0.0008 * 0.0008 * link.joint_inertia_inverse[0]);
  // Entries 13, 23, 33 of N are not written and stay 0.
  EXPECT_EQ(link.reduced_inertia[2], 0.0);
  EXPECT_EQ(link.reduced_inertia[4], 0.0);
  EXPECT_EQ(link.reduced_inertia[5], 0.0);
  // No children: total force = body force.
  EXPECT_EQ(link.total_force, link.body_force);
}

// q = 0, offset (0.04, 0): the velocity and inertia transfers reduce to shifts along x.
TEST_F(Revolute, TransfersAtZeroAngle) {
  auto tree = build_tree({{revolute_link_kind, -1}, {revolute_link_kind, 0}});
  Body& parent = (*tree)[0];
  Body& child = (*tree)[1];
  parent.velocity = {0.3, -0.7, 1.9};
  child.type->joint_transform(child);
  child.type->parent_velocity(child);
  EXPECT_EQ(child.parent_velocity, (Triple{0.3, -0.7 + 0.04 * 1.9, 1.9}));
  run_rhs_table_passes(tree->mbs);
  const Sym3& n = child.reduced_inertia;
  const Sym3& t = child.transmitted_inertia;
  EXPECT_DOUBLE_EQ(t[0], n[0]);
  EXPECT_DOUBLE_EQ(t[1], n[1]);
  EXPECT_DOUBLE_EQ(t[2], 0.04 * n[1]);
  EXPECT_DOUBLE_EQ(t[3], n[3]);
  EXPECT_DOUBLE_EQ(t[4], 0.04 * n[3]);
  EXPECT_DOUBLE_EQ(t[5], 0.04 * 0.04 * n[3]);
}

// q is never wrapped: 2 pi gives the same sine and cosine as 0 (to rounding) but the angle grows.
TEST_F(Revolute, FullTurnKeepsRotationButAngleGrows) {
  auto tree = build_tree({{revolute_link_kind, -1}, {revolute_link_kind, 0}});
  Mbs& mbs = tree->mbs;
  mbs.q[0] = 0.0;
  mbs.q[1] = 2.0 * pi;
  // The joint record's sin and cos are table-path intermediates (the fused kernels keep them in
  // the system's pass data).
  run_rhs_table_passes(mbs);
  const Body& child = (*tree)[1];
  EXPECT_NEAR(child.joint[joint_sin], 0.0, 1e-15);
  EXPECT_EQ(child.joint[joint_cos], 1.0);
  EXPECT_EQ(child.angle, 2.0 * pi);
  EXPECT_NEAR(child.sin_abs, 0.0, 1e-15);
  EXPECT_NEAR(child.position[0], 0.08, 1e-15);
  mbs.q[0] = 2.0 * pi;
  run_rhs_passes(mbs);
  update_body_records(mbs);
  EXPECT_EQ(child.angle, 4.0 * pi);
  EXPECT_EQ((*tree)[0].angle, 2.0 * pi);
}

// The absolute placement composes the parent's by the angle-sum rule.
TEST_F(Revolute, AbsolutePlacementComposesTheChain) {
  auto tree =
      build_tree({{revolute_link_kind, -1}, {revolute_link_kind, 0}, {revolute_link_kind, 1}});
  Mbs& mbs = tree->mbs;
  const double q[] = {0.4, -1.3, 2.2};
  for (int i = 0; i < 3; ++i) mbs.q[i] = q[i];
  run_rhs_passes(mbs);
  update_body_records(mbs);
  double angle = 0.0, x = 0.0, y = 0.0;
  for (int b = 0; b < 3; ++b) {
    x += 0.04 * std::cos(angle);
    y += 0.04 * std::sin(angle);
    angle += q[b];
    const Body& body = (*tree)[b];
    EXPECT_NEAR(body.position[0], x, 1e-15) << b;
    EXPECT_NEAR(body.position[1], y, 1e-15) << b;
    EXPECT_DOUBLE_EQ(body.angle, angle) << b;
    EXPECT_NEAR(body.sin_abs, std::sin(angle), 1e-15) << b;
    EXPECT_NEAR(body.cos_abs, std::cos(angle), 1e-15) << b;
  }
}

// q = rest and qdot = 0: no spring or damper contribution. Otherwise -k (q - rest) - d qdot.
TEST_F(Revolute, SpringAndDamperTerms) {
  auto make = [] {
    auto tree = build_tree({{revolute_link_kind, -1}, {revolute_link_kind, 0}});
    tree->mbs.q[0] = 0.3;
    tree->mbs.q[1] = -0.5;
    tree->mbs.p[0] = 0.0;
    tree->mbs.p[1] = 0.0;
    return tree;
  };
  auto with_rest = make();
  auto without_spring = make();
  for (Body& body : with_rest->bodies) body.joint_rest[0] = *body.q;
  for (Body& body : without_spring->bodies) {
    body.joint_stiffness[0] = 0.0;
    body.joint_damping[0] = 0.0;
  }
  refresh_run_parameters(with_rest->mbs);
  refresh_run_parameters(without_spring->mbs);
  run_rhs_passes(with_rest->mbs);
  run_rhs_passes(without_spring->mbs);
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(with_rest->mbs.qdot[i], 0.0);
    EXPECT_EQ(with_rest->mbs.pdot[i], without_spring->mbs.pdot[i]) << i;
  }
  // Away from rest and moving: the difference is exactly the spring-damper term.
  auto moving = make();
  auto moving_free = make();
  for (auto* tree : {moving.get(), moving_free.get()}) {
    tree->mbs.p[0] = 2e-4;
    tree->mbs.p[1] = -1e-4;
  }
  for (Body& body : moving_free->bodies) {
    body.joint_stiffness[0] = 0.0;
    body.joint_damping[0] = 0.0;
  }
  refresh_run_parameters(moving_free->mbs);
  run_rhs_passes(moving->mbs);
  run_rhs_passes(moving_free->mbs);
  for (int i = 0; i < 2; ++i) {
    const double qdot = moving->mbs.qdot[i];
    ASSERT_NE(qdot, 0.0);
    EXPECT_EQ(qdot, moving_free->mbs.qdot[i]);
    EXPECT_NEAR(moving->mbs.pdot[i] - moving_free->mbs.pdot[i],
                -5.5 * moving->mbs.q[i] - 0.01 * qdot, 1e-15)
        << i;
  }
}

// The composite momentum's joint component equals p (by the definition of qdot).
TEST_F(Revolute, CompositeMomentumJointComponentIsP) {
  auto tree = build_chain(4);
  std::mt19937_64 rng(4);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  Mbs& mbs = tree->mbs;
  for (int i = 0; i < mbs.coordinate_count; ++i) {
    mbs.q[i] = u(rng);
    mbs.p[i] = 1e-3 * u(rng);
  }
  run_rhs_table_passes(mbs);
  for (int b = 1; b < 5; ++b) {
    const Body& body = (*tree)[b];
    const Sym3& a = body.articulated_inertia;
    const Triple& v = body.velocity;
    const double h2 = a[2] * v[0] + a[4] * v[1] + a[5] * v[2] + body.momentum_bias[2];
    EXPECT_EQ(body.composite_momentum[2], *body.p);
    EXPECT_NEAR(h2, *body.p, 1e-15) << b;
  }
}

}  // namespace
