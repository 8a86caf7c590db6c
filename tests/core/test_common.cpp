// Common body computations: the force elements' hook (gravity and the anchor springs that hold
// the rope's ends), body momentum, the accumulations, and the frame transforms. Expected values are computed by hand in the test.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "forces/anchor_spring.hpp"
#include "test_support.hpp"

using namespace core_test;

namespace {

// Anchors and springs of the two ends' couplings, read live by their elements.
double anchor[4];
Gravity test_gravity;
AnchorSpring spring[2];

class Common : public testing::Test {
 protected:
  void SetUp() override {
    const double a[4] = {0.35, -0.15, 1.2, 0.05};
    for (int i = 0; i < 4; ++i) anchor[i] = a[i];
    test_gravity = Gravity{};
    spring[0] = {anchor, {0.0, 0.0}, false, 5000.0, 100.0, 1000.0, 10.0, 3.0, 0.01};
    spring[1] = {anchor + 2, {0.04, 0.0}, false, 4000.0, 80.0, 900.0, 9.0, 2.5, 0.02};
    lone_system.force_elements = {gravity_on_every_body(test_gravity)};
  }
  // A body outside any tree, held by spring k (0 at its origin, 1 at its far end) under gravity.
  void hold(Body& body, int k) {
    lone_system.force_elements.push_back(anchor_spring_on(spring[k], body));
    body.system = &lone_system;
    body.own_forces = 1;
  }
  Mbs lone_system;
};

// Places a body by hand: world pose and body-frame velocity.
void place(Body& body, double x, double y, double angle, const Triple& velocity) {
  body.position = {x, y};
  body.angle = angle;
  body.sin_abs = std::sin(angle);
  body.cos_abs = std::cos(angle);
  body.velocity = velocity;
}

TEST_F(Common, GravityAloneWithoutCarriage) {
  Body body;
  init_body(body, revolute_link_kind);
  body.system = &lone_system;
  place(body, 0.3, 0.4, 0.0, {0.5, 0.6, 0.7});
  apply_force_elements(body);
  EXPECT_EQ(body.applied_force[0], 0.0);
  EXPECT_NEAR(body.applied_force[1], -0.392266, 1e-15);
  EXPECT_NEAR(body.applied_force[2], -0.00784532, 1e-15);
  // Turned and with the centre of mass off the axis: moment = x_com,world * (-m g).
  set_mass_properties(body, 0.7, 0.1, 0.03, 0.01);
  place(body, 0.3, 0.4, 0.8, {0.5, 0.6, 0.7});
  test_gravity.acceleration = 2.0;
  apply_force_elements(body);
  const double x_com = std::cos(0.8) * 0.1 - std::sin(0.8) * 0.03;
  EXPECT_DOUBLE_EQ(body.applied_force[1], -1.4);
  EXPECT_NEAR(body.applied_force[2], -1.4 * x_com, 1e-15);
  // An element that holds another body adds nothing to this one.
  Body other;
  hold(other, 0);
  body.own_forces = 1;
  apply_force_elements(body);
  EXPECT_NEAR(body.applied_force[2], -1.4 * x_com, 1e-15);
  EXPECT_EQ(body.applied_force[0], 0.0);
}

// A body held by carriage 1 at its anchor, at rest, angle 0: gravity alone, the system's own.
// Run through the passes on a free base placed at the anchor.
TEST_F(Common, CarriageOneAtAnchorAtRestGivesGravityAlone) {
  auto tree = build_tree({{free_planar_base_kind, -1}});
  Body& base = (*tree)[0];
  tree->mbs.force_elements.push_back(anchor_spring_on(spring[0], base));
  refresh_run_parameters(tree->mbs);
  tree->mbs.q[0] = anchor[0];
  tree->mbs.q[1] = anchor[1];
  EXPECT_EQ(run_rhs_passes(tree->mbs), MbsStatus::ok);
  EXPECT_EQ(base.applied_force[0], 0.0);
  EXPECT_EQ(base.applied_force[1], -(standard_gravity * 0.04));
  EXPECT_EQ(base.applied_force[2], 0.02 * -(standard_gravity * 0.04));
  tree->gravity.acceleration = 1.625;
  refresh_run_parameters(tree->mbs);
  run_rhs_passes(tree->mbs);
  EXPECT_EQ(base.applied_force[1], -(1.625 * 0.04));
  EXPECT_EQ(base.applied_force[2], 0.02 * -(1.625 * 0.04));
}

// A body that belongs to no system has no elements: no force at all, not even a weight.
TEST_F(Common, BodyOutsideAnySystemGetsNoForce) {
  Body lone;
  init_body(lone, revolute_link_kind);
  place(lone, 0.3, 0.4, 0.5, {0.5, 0.6, 0.7});
  lone.applied_force = {1.0, 2.0, 3.0};
  apply_force_elements(lone);
  EXPECT_EQ(lone.applied_force[0], 0.0);
  EXPECT_EQ(lone.applied_force[1], 0.0);
  EXPECT_EQ(lone.applied_force[2], 0.0);
}

// Carriage 1 pulled off its anchor and moving: springs from the body origin to anchor 1, dampers on
// the origin's world velocity, rotational spring-damper on the absolute angle.
TEST_F(Common, CarriageOneDisplacedByHand) {
  Body body;
  init_body(body, free_planar_base_kind);
  hold(body, 0);
  const double x = 0.5, y = 0.1, angle = 0.6;
  const Triple u = {0.3, -0.4, 1.5};  // body axes
  place(body, x, y, angle, u);
  apply_force_elements(body);
  const double m = 0.04, g = standard_gravity;
  const double wx = std::cos(angle) * u[0] - std::sin(angle) * u[1];
  const double wy = std::sin(angle) * u[0] + std::cos(angle) * u[1];
  const double fx = (anchor[0] - x) * 5000.0 - 100.0 * wx;
  const double fy = -m * g + (anchor[1] - y) * 1000.0 - 10.0 * wy;
  const double moment = -m * g * 0.02 * std::cos(angle) - 3.0 * angle - 0.01 * u[2];
  EXPECT_NEAR(body.applied_force[0], fx, 1e-12);
  EXPECT_NEAR(body.applied_force[1], fy, 1e-12);
  EXPECT_NEAR(body.applied_force[2], moment, 1e-15);
}

// Carriage 2 pulled off its anchor and moving: the extension is measured at (offset_x, 0), the
// damping uses the origin's velocity, and the spring adds no moment.
TEST_F(Common, CarriageTwoDisplacedByHand) {
  Body body;
  init_body(body, revolute_link_kind);
  hold(body, 1);
  const double x = 1.1, y = 0.02, angle = -0.4;
  const Triple u = {-0.2, 0.7, 2.5};
  place(body, x, y, angle, u);
  apply_force_elements(body);
  const double m = 0.04, g = standard_gravity;
  const double tip_x = x + 0.04 * std::cos(angle), tip_y = y + 0.04 * std::sin(angle);
  const double wx = std::cos(angle) * u[0] - std::sin(angle) * u[1];
  const double wy = std::sin(angle) * u[0] + std::cos(angle) * u[1];
  const double fx = (anchor[2] - tip_x) * 4000.0 - 80.0 * wx;
  const double fy = -m * g + (anchor[3] - tip_y) * 900.0 - 9.0 * wy;
  const double moment = -m * g * 0.02 * std::cos(angle) - 2.5 * angle - 0.02 * u[2];
  EXPECT_NEAR(body.applied_force[0], fx, 1e-12);
  EXPECT_NEAR(body.applied_force[1], fy, 1e-12);
  EXPECT_NEAR(body.applied_force[2], moment, 1e-15);
}

// The same through the passes: a base (carriage 1) with two links, the last on carriage 2; the
// expected forces from independent kinematics (poses and velocities from q and the returned qdot).
TEST_F(Common, CarriageForcesThroughThePasses) {
  auto tree = build_chain(2);
  Body& base = (*tree)[0];
  Body& last = (*tree)[2];
  Mbs& mbs = tree->mbs;
  mbs.force_elements.push_back(anchor_spring_on(spring[0], base));
  mbs.force_elements.push_back(anchor_spring_on(spring[1], last));
  refresh_run_parameters(mbs);
  const std::vector<double> q = {0.2, -0.1, 0.3, 0.5, -0.7};
  const std::vector<double> p = {0.01, -0.02, 0.0003, 0.0001, -0.0002};
  copy_into(mbs.q, q);
  copy_into(mbs.p, p);
  run_rhs_passes(mbs);
  const std::vector<double> qdot = copy_of(mbs.qdot, 5);
  const KinematicModel model(tree->bodies, mbs);
  const std::vector<Pose> pose = model.poses(q);
  const double m = 0.04, g = standard_gravity;
  {
    const auto v = model.point_velocity(q, qdot, 0, 0.0, 0.0);
    const double fx = (anchor[0] - pose[0].x) * 5000.0 - 100.0 * v[0];
    const double fy = -m * g + (anchor[1] - pose[0].y) * 1000.0 - 10.0 * v[1];
    const double moment =
        -m * g * 0.02 * std::cos(pose[0].angle) - 3.0 * pose[0].angle - 0.01 * v[2];
    EXPECT_NEAR(base.applied_force[0], fx, 1e-11);
    EXPECT_NEAR(base.applied_force[1], fy, 1e-11);
    EXPECT_NEAR(base.applied_force[2], moment, 1e-13);
  }
  {
    const auto v = model.point_velocity(q, qdot, 2, 0.0, 0.0);
    const auto [tip_x, tip_y] = model.point_world(q, 2, 0.04, 0.0);
    const double fx = (anchor[2] - tip_x) * 4000.0 - 80.0 * v[0];
    const double fy = -m * g + (anchor[3] - tip_y) * 900.0 - 9.0 * v[1];
    const double moment =
        -m * g * 0.02 * std::cos(pose[2].angle) - 2.5 * pose[2].angle - 0.02 * v[2];
    EXPECT_NEAR(last.applied_force[0], fx, 1e-11);
    EXPECT_NEAR(last.applied_force[1], fy, 1e-11);
    EXPECT_NEAR(last.applied_force[2], moment, 1e-13);
  }
  // The coupling values are read live: a moved anchor changes the next evaluation.
  const double before = base.applied_force[0];
  anchor[0] += 0.01;
  run_rhs_passes(mbs);
  EXPECT_NEAR(base.applied_force[0] - before, 0.01 * 5000.0, 1e-9);
}

TEST_F(Common, BodyMomentumIsInertiaTimesVelocity) {
  Body body;
  init_body(body, revolute_link_kind);
  set_mass_properties(body, 0.3, 0.12, -0.04, 0.02);
  body.velocity = {0.4, -1.2, 2.1};
  compute_body_momentum(body);
  const Sym3& m = body.inertia;
  const Triple& v = body.velocity;
  EXPECT_DOUBLE_EQ(body.body_momentum[0], m[0] * v[0] + m[2] * v[2]);
  EXPECT_DOUBLE_EQ(body.body_momentum[1], m[3] * v[1] + m[4] * v[2]);
  EXPECT_DOUBLE_EQ(body.body_momentum[2], m[2] * v[0] + m[4] * v[1] + m[5] * v[2]);
}

// Three children: sums over all of them.
TEST_F(Common, AccumulationsWithThreeChildren) {
  auto tree = build_tree({{revolute_link_kind, -1},
                          {revolute_link_kind, 0},
                          {revolute_link_kind, 0},
                          {revolute_link_kind, 0}});
  Body& parent = (*tree)[0];
  for (int c = 1; c <= 3; ++c) {
    Body& child = (*tree)[c];
    for (int i = 0; i < 6; ++i) {
      child.transmitted_inertia[i] = c * 10.0 + i;
    }
    for (int i = 0; i < 3; ++i) {
      child.transmitted_momentum_bias[i] = c + 0.1 * i;
      child.transmitted_momentum[i] = 2.0 * c + 0.1 * i;
      child.transmitted_force[i] = 3.0 * c + 0.1 * i;
    }
  }
  parent.body_momentum = {0.5, 0.25, 0.125};
  parent.applied_force = {1.0, 2.0, 3.0};
  parent.sin_abs = 0.0;
  parent.cos_abs = 1.0;
  accumulate_inertia(parent);
  accumulate_momentum(parent);
  accumulate_force(parent);
  for (int i = 0; i < 6; ++i)
    EXPECT_EQ(parent.articulated_inertia[i], parent.inertia[i] + 60.0 + 3 * i);
  for (int i = 0; i < 3; ++i) {
    EXPECT_DOUBLE_EQ(parent.momentum_bias[i], 6.0 + 0.3 * i);
    EXPECT_DOUBLE_EQ(parent.composite_momentum[i], parent.body_momentum[i] + 12.0 + 0.3 * i);
    EXPECT_DOUBLE_EQ(parent.total_force[i], parent.applied_force[i] + 18.0 + 0.3 * i);
  }
  EXPECT_EQ(parent.body_force, parent.applied_force);
  // A body without children.
  Body& leaf = (*tree)[1];
  accumulate_inertia(leaf);
  accumulate_momentum(leaf);
  EXPECT_EQ(leaf.articulated_inertia, leaf.inertia);
  EXPECT_EQ(leaf.momentum_bias, (Triple{}));
}

TEST_F(Common, FrameTransforms) {
  Body body;
  place(body, 0.7, -0.2, 1.1, {});
  const double c = std::cos(1.1), s = std::sin(1.1);
  const Point p = point_to_world(body, {0.3, 0.4});
  EXPECT_NEAR(p[0], 0.7 + c * 0.3 - s * 0.4, 1e-15);
  EXPECT_NEAR(p[1], -0.2 + s * 0.3 + c * 0.4, 1e-15);
  const Triple w = rotate_to_world(body, {0.3, 0.4, 0.5});
  EXPECT_NEAR(w[0], c * 0.3 - s * 0.4, 1e-15);
  EXPECT_NEAR(w[1], s * 0.3 + c * 0.4, 1e-15);
  EXPECT_EQ(w[2], 0.5);
  const Triple back = rotate_to_body(body, w);
  EXPECT_NEAR(back[0], 0.3, 1e-15);
  EXPECT_NEAR(back[1], 0.4, 1e-15);
  EXPECT_EQ(back[2], 0.5);
}

}  // namespace
