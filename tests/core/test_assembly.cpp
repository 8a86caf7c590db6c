// Assembly, joint construction and coordinate layout, the descriptor table, the system's ground,
// and the rope model's assembly.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <type_traits>

#include "rope/rope_model.hpp"
#include "joints/joint_operations.hpp"
#include "joints/slaved_record.hpp"
#include "test_support.hpp"

using namespace core_test;

namespace {

class Assembly : public testing::Test {};

// --- The rope ----------------------------------------------------------------------------------

// The core and the model print nothing: the programs decide what to say.
TEST_F(Assembly, RopeHas27CoordinatesAndAssemblesSilently) {
  testing::internal::CaptureStdout();
  auto rope = std::make_unique<RopeModel>();
  EXPECT_EQ(assemble_rope(*rope), MbsStatus::ok);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(rope->mbs.coordinate_count, 27);
  EXPECT_EQ(count_coordinates(rope->bodies[0]), 27);
}

TEST_F(Assembly, RopeIsOneChainWithItsLayoutAndCarriageLinks) {
  auto rope = assembled_rope();
  const Mbs& mbs = rope->mbs;
  EXPECT_EQ(mbs.root, &rope->bodies[0]);
  EXPECT_EQ(rope->bodies[0].type, &joint_types[free_planar_base_kind]);
  EXPECT_EQ(rope->bodies[0].parent, &mbs.ground);
  EXPECT_EQ(rope->bodies[0].q, mbs.q);
  for (int k = 1; k < rope_body_count; ++k) {
    const Body& body = rope->bodies[k];
    EXPECT_EQ(body.type, &joint_types[revolute_link_kind]) << k;
    EXPECT_EQ(body.parent, &rope->bodies[k - 1]) << k;
    EXPECT_EQ(rope->bodies[k - 1].first_child, &body) << k;
    EXPECT_EQ(rope->bodies[k - 1].last_child, &body) << k;
    EXPECT_EQ(body.next_sibling, nullptr) << k;
    // Link k holds index k + 2 in all five arrays.
    EXPECT_EQ(body.q, mbs.q + k + 2) << k;
    EXPECT_EQ(body.p, mbs.p + k + 2) << k;
    EXPECT_EQ(body.qdot, mbs.qdot + k + 2) << k;
    EXPECT_EQ(body.pdot, mbs.pdot + k + 2) << k;
  }
  EXPECT_EQ(rope->bodies[rope_body_count - 1].first_child, nullptr);
  // Gravity on every body, then carriage 1 on the base's origin and carriage 2 on the last
  // link's far end.
  ASSERT_EQ(mbs.force_elements.size(), 3u);
  EXPECT_EQ(mbs.force_elements[0].type, &gravity_element);
  EXPECT_EQ(mbs.force_elements[0].body, nullptr);
  EXPECT_EQ(mbs.force_elements[1].body, &rope->bodies[0]);
  EXPECT_EQ(mbs.force_elements[2].body, &rope->bodies[rope_body_count - 1]);
  EXPECT_EQ(rope->carriages.coupling[0].held, (Point{0.0, 0.0}));
  EXPECT_EQ(rope->carriages.coupling[1].held, (Point{0.04, 0.0}));
  // Initial conditions: straight and at rest; the base's angle undamped.
  for (int i = 0; i < 27; ++i) {
    EXPECT_EQ(mbs.q[i], 0.0);
    EXPECT_EQ(mbs.qdot[i], 0.0);
  }
  EXPECT_EQ(rope->bodies[0].joint_damping[2], 0.0);
  const Carriages& c = rope->carriages;
  EXPECT_EQ(c.drive_target[0], -0.2);
  EXPECT_EQ(c.drive_target[1], 0.6);
  EXPECT_EQ(c.carriage_state[0], -0.2);
  EXPECT_EQ(c.carriage_state[2], 0.6);
  for (int k = 0; k < 2; ++k) {
    EXPECT_EQ(c.carriage_mass[k], 100.0);
    EXPECT_EQ(c.coupling[k].stiffness_x, 5000.0);
    EXPECT_EQ(c.coupling[k].damping_x, 100.0);
    EXPECT_EQ(c.coupling[k].stiffness_y, 1000.0);
    EXPECT_EQ(c.coupling[k].damping_y, 10.0);
    EXPECT_EQ(c.coupling[k].stiffness_angle, 3.0);
    EXPECT_EQ(c.coupling[k].damping_angle, 0.01);
    EXPECT_EQ(c.coupling[k].anchor, c.carriage_anchor + 2 * k);
  }
}

// --- init_coordinates ---------------------------------------------------------------------------

// The core reports through the status and writes nothing.
TEST_F(Assembly, LoneFreeBaseHasThreeCoordinates) {
  Body base;
  init_body(base, free_planar_base_kind);
  Mbs mbs;
  set_root(mbs, base);
  testing::internal::CaptureStdout();
  EXPECT_EQ(init_coordinates(mbs), MbsStatus::ok);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_EQ(mbs.status, MbsStatus::ok);
  EXPECT_EQ(mbs.coordinate_count, 3);
  EXPECT_EQ(base.q, mbs.q);
  EXPECT_EQ(base.system, &mbs);
  EXPECT_EQ(mbs.storage.size(), 12u);
}

TEST_F(Assembly, CoordinateArraysAreZeroFilledAndDistinct) {
  auto tree = build_branched_tree();
  const Mbs& mbs = tree->mbs;
  ASSERT_EQ(mbs.coordinate_count, 10);
  for (const double* a : {mbs.q, mbs.p, mbs.qdot, mbs.pdot})
    for (int i = 0; i < mbs.coordinate_count; ++i) EXPECT_EQ(a[i], 0.0);
  // Four separate ranges of n entries.
  const double* arrays[] = {mbs.q, mbs.p, mbs.qdot, mbs.pdot};
  for (int i = 0; i < 4; ++i)
    for (int j = i + 1; j < 4; ++j)
      EXPECT_GE(std::abs(arrays[i] - arrays[j]), mbs.coordinate_count);
}

// Parent (3 coordinates), then A and A's subtree, then B and B's subtree.
TEST_F(Assembly, PreorderLayoutWithTwoChildren) {
  //   0 parent (free base) -+- 1 A -+- 2 A1
  //                         |       +- 3 A2
  //                         +- 4 B --- 5 B1
  auto tree = build_tree({{free_planar_base_kind, -1},
                          {revolute_link_kind, 0},
                          {revolute_link_kind, 1},
                          {revolute_link_kind, 1},
                          {revolute_link_kind, 0},
                          {revolute_link_kind, 4}});
  const Mbs& mbs = tree->mbs;
  EXPECT_EQ(mbs.coordinate_count, 8);
  const int expected_start[] = {0, 3, 4, 5, 6, 7};
  for (int b = 0; b < 6; ++b) {
    const Body& body = (*tree)[b];
    EXPECT_EQ(body.q - mbs.q, expected_start[b]) << b;
    EXPECT_EQ(body.p - mbs.p, expected_start[b]) << b;
    EXPECT_EQ(body.qdot - mbs.qdot, expected_start[b]) << b;
    EXPECT_EQ(body.pdot - mbs.pdot, expected_start[b]) << b;
  }
  for (const Body& body : tree->bodies) EXPECT_EQ(body.system, &tree->mbs);
  // assign_coordinates on a subtree returns the first index after it.
  Mbs other;
  other.storage.assign(4 * 8, 0.0);
  other.q = other.storage.data();
  other.p = other.q + 8;
  other.qdot = other.q + 16;
  other.pdot = other.q + 24;
  EXPECT_EQ(assign_coordinates(other, (*tree)[1], 2), 5);
  EXPECT_EQ((*tree)[3].q - other.q, 4);
  EXPECT_EQ(count_coordinates((*tree)[4]), 2);
}

TEST_F(Assembly, ChildListLinksAfterTwoAttaches) {
  Body b, c1, c2;
  init_body(b, revolute_link_kind);
  init_body(c1, revolute_link_kind);
  init_body(c2, revolute_link_kind);
  attach_body(c1, b);
  attach_body(c2, b);
  EXPECT_EQ(b.first_child, &c1);
  EXPECT_EQ(b.last_child, &c2);
  EXPECT_EQ(c1.next_sibling, &c2);
  EXPECT_EQ(c1.prev_sibling, nullptr);
  EXPECT_EQ(c2.prev_sibling, &c1);
  EXPECT_EQ(c2.next_sibling, nullptr);
  EXPECT_EQ(c1.parent, &b);
  EXPECT_EQ(c2.parent, &b);
  EXPECT_EQ(b.parent, nullptr);
}

// A fresh body belongs to no tree and no system until it is attached or made a root.
TEST_F(Assembly, InitBodyClearsLinksAndSystem) {
  Body body;
  Body stray;
  Mbs other;
  body.first_child = body.last_child = body.next_sibling = body.prev_sibling = &stray;
  body.parent = &stray;
  body.system = &other;
  init_body(body, revolute_link_kind);
  EXPECT_EQ(body.first_child, nullptr);
  EXPECT_EQ(body.last_child, nullptr);
  EXPECT_EQ(body.next_sibling, nullptr);
  EXPECT_EQ(body.prev_sibling, nullptr);
  EXPECT_EQ(body.parent, nullptr);
  EXPECT_EQ(body.system, nullptr);
}

// Each number names its own descriptor, with the coordinates of its kind.
TEST_F(Assembly, EveryKindNumberGivesItsDescriptor) {
  const int coordinates[joint_kind_count] = {1, 3, 1, 1};
  for (int kind = 0; kind < joint_kind_count; ++kind) {
    Body body;
    EXPECT_EQ(init_body(body, kind), MbsStatus::ok) << kind;
    EXPECT_EQ(body.type, &joint_types[kind]) << kind;
    EXPECT_EQ(body.type->coordinate_count, coordinates[kind]) << kind;
  }
}

// A number that names no kind is refused, not taken for some kind; the body is left as it was.
TEST_F(Assembly, UnknownKindNumberIsAStatus) {
  for (const int number : {-1, static_cast<int>(joint_kind_count), 7, 1000}) {
    Body body;
    EXPECT_EQ(find_joint_type(number), nullptr) << number;
    EXPECT_EQ(init_body(body, number), MbsStatus::unknown_joint_kind) << number;
    EXPECT_EQ(body.type, nullptr) << number;
  }
  EXPECT_STRNE(mbs_status_message(MbsStatus::unknown_joint_kind), "Unknown status.");
}

TEST_F(Assembly, OnlyReachableBodiesGetCoordinates) {
  Body root, child, stray;
  init_body(root, free_planar_base_kind);
  init_body(child, revolute_link_kind);
  init_body(stray, revolute_link_kind);
  attach_body(child, root);
  Mbs mbs;
  set_root(mbs, root);
  ASSERT_EQ(init_coordinates(mbs), MbsStatus::ok);
  EXPECT_EQ(mbs.coordinate_count, 4);
  EXPECT_EQ(stray.q, nullptr);
  EXPECT_EQ(stray.system, nullptr);
  EXPECT_EQ(stray.parent, nullptr);
}

// --- Constructs ---------------------------------------------------------------------

// init_body runs its kind's construct: from the same stale values, init_body and the kind's
// construct called directly agree on every field that some construct sets.
TEST_F(Assembly, InitBodyRunsItsKindsConstruct) {
  Body stale;
  auto fill = [](auto&... fields) { (fields.fill(7.0), ...); };
  fill(stale.inertia, stale.transmitted_inertia, stale.articulated_inertia,
       slaved_record(stale).reduced_coupling, slaved_record(stale).coupling_a,
       slaved_record(stale).coupling_b, stale.com, stale.joint, stale.joint_damping,
       stale.joint_stiffness, stale.joint_rest, stale.momentum_bias,
       stale.transmitted_momentum_bias, stale.velocity, slaved_record(stale).rate_gain,
       slaved_record(stale).rate_transfer);
  stale.own_forces = 7;
  for (int kind :
       {revolute_link_kind, free_planar_base_kind, slaved_revolute_kind, tip_joint_kind}) {
    Body body = stale;
    Body expected = stale;
    init_body(body, kind);
    joint_types[kind].construct(expected);
    EXPECT_EQ(body.inertia, expected.inertia) << kind;
    EXPECT_EQ(body.transmitted_inertia, expected.transmitted_inertia) << kind;
    EXPECT_EQ(body.articulated_inertia, expected.articulated_inertia) << kind;
    EXPECT_EQ(slaved_record(body).reduced_coupling, slaved_record(expected).reduced_coupling)
        << kind;
    EXPECT_EQ(slaved_record(body).coupling_a, slaved_record(expected).coupling_a) << kind;
    EXPECT_EQ(slaved_record(body).coupling_b, slaved_record(expected).coupling_b) << kind;
    EXPECT_EQ(body.com, expected.com) << kind;
    EXPECT_EQ(body.joint, expected.joint) << kind;
    EXPECT_EQ(body.joint_damping, expected.joint_damping) << kind;
    EXPECT_EQ(body.joint_stiffness, expected.joint_stiffness) << kind;
    EXPECT_EQ(body.joint_rest, expected.joint_rest) << kind;
    EXPECT_EQ(body.momentum_bias, expected.momentum_bias) << kind;
    EXPECT_EQ(body.transmitted_momentum_bias, expected.transmitted_momentum_bias) << kind;
    EXPECT_EQ(body.velocity, expected.velocity) << kind;
    EXPECT_EQ(slaved_record(body).rate_gain, slaved_record(expected).rate_gain) << kind;
    EXPECT_EQ(slaved_record(body).rate_transfer, slaved_record(expected).rate_transfer) << kind;
    EXPECT_EQ(body.own_forces, expected.own_forces) << kind;
  }
}

TEST_F(Assembly, RevoluteLinkConstruct) {
  Body body;
  body.transmitted_inertia = {1, 1, 1, 1, 1, 1};
  body.articulated_inertia = {1, 1, 1, 1, 1, 1};
  body.own_forces = 2;
  init_body(body, revolute_link_kind);
  EXPECT_EQ(body.inertia, (Sym3{0.04, 0.0, 0.0, 0.04, 0.0008, 2.1333333333333335e-05}));
  EXPECT_NE(body.inertia[5], 0.04 * 0.04 * 0.04 / 3.0);  // the literal, not the product
  EXPECT_EQ(body.com, (Point{0.02, 0.0}));
  EXPECT_EQ(body.joint[offset_x], 0.04);
  EXPECT_EQ(body.joint[offset_y], 0.0);
  EXPECT_EQ(body.joint_damping[0], 0.01);
  EXPECT_EQ(body.joint_stiffness[0], 5.5);
  EXPECT_EQ(body.joint_rest[0], 0.0);
  EXPECT_EQ(body.own_forces, 0);
  EXPECT_EQ(body.transmitted_inertia, (Sym3{}));
  EXPECT_EQ(body.articulated_inertia, (Sym3{}));
}

TEST_F(Assembly, FreePlanarBaseConstruct) {
  Body body;
  body.own_forces = 1;
  init_body(body, free_planar_base_kind);
  EXPECT_EQ(body.inertia, (Sym3{0.04, 0.0, 0.0, 0.04, 0.0008, 2.1333333333333335e-05}));
  EXPECT_EQ(body.com, (Point{0.02, 0.0}));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(body.joint_damping[i], 0.0);
    EXPECT_EQ(body.joint_stiffness[i], 0.0);
    EXPECT_EQ(body.joint_rest[i], 0.0);
  }
  EXPECT_EQ(body.own_forces, 0);
}

// --- Descriptors and ground ---------------------------------------------------------

// Each system has its own ground, the world at rest at the origin, and hangs its root from it.
TEST_F(Assembly, GroundIsTheWorldAtRest) {
  static_assert(!std::is_copy_constructible_v<Mbs> && !std::is_move_constructible_v<Mbs> &&
                    !std::is_copy_assignable_v<Mbs> && !std::is_move_assignable_v<Mbs>,
                "bodies point into the system: it must stay where it was built");
  Mbs mbs;
  const Body& ground = mbs.ground;
  EXPECT_EQ(ground.velocity, (Triple{}));
  EXPECT_EQ(ground.sin_abs, 0.0);
  EXPECT_EQ(ground.cos_abs, 1.0);
  EXPECT_EQ(ground.position, (Point{}));
  EXPECT_EQ(ground.angle, 0.0);
  EXPECT_TRUE(mbs.force_elements.empty());
  EXPECT_EQ(mbs.status, MbsStatus::ok);
  Body root;
  init_body(root, revolute_link_kind);
  set_root(mbs, root);
  EXPECT_EQ(mbs.root, &root);
  EXPECT_EQ(root.parent, &mbs.ground);
}

// Whatever the kind, the passes may call its unconditional slots, and its coordinates lie where
// its count puts them: a base carrying one body of every other kind holds 3 + 1 + 1 + 1.
TEST_F(Assembly, EveryKindServesThePasses) {
  for (int kind = 0; kind < joint_kind_count; ++kind) {
    const JointType& type = joint_types[kind];
    for (JointOperation op : {type.construct, type.joint_transform, type.parent_velocity,
                              type.joint_velocity, type.absolute_placement})
      EXPECT_NE(op, nullptr) << kind;
  }
  auto tree = build_tree({{free_planar_base_kind, -1},
                          {revolute_link_kind, 0},
                          {slaved_revolute_kind, 1},
                          {tip_joint_kind, 2}});
  EXPECT_EQ(tree->mbs.coordinate_count, 6);
  for (int k = 1; k < 4; ++k) EXPECT_EQ((*tree)[k].q - tree->mbs.q, k + 2) << k;
  EXPECT_EQ(find_joint_type(joint_kind_count), nullptr);
  Body body;
  EXPECT_EQ(init_body(body, joint_kind_count), MbsStatus::unknown_joint_kind);
  EXPECT_EQ(body.type, nullptr);
}

// The passes call a kind's run slots once it fills inertia_run, and its root_force once it fills
// root_inertia_and_velocity, without a test: a kind fills each group whole or leaves it empty.
TEST_F(Assembly, FusedSlotsAreFilledInWholeGroups) {
  for (int kind = 0; kind < joint_kind_count; ++kind) {
    const JointType& t = joint_types[kind];
    const bool runs = t.inertia_run != nullptr;
    EXPECT_EQ(t.continues_inward_run != nullptr, runs) << kind;
    EXPECT_EQ(t.continues_outward_run != nullptr, runs) << kind;
    EXPECT_EQ(t.velocity_run != nullptr, runs) << kind;
    EXPECT_EQ(t.force_run != nullptr, runs) << kind;
    EXPECT_EQ(t.store_records != nullptr, runs) << kind;
    EXPECT_EQ(t.pack_parameters != nullptr, runs) << kind;
    EXPECT_EQ(t.momentum_velocity_run != nullptr, runs) << kind;
    EXPECT_EQ(t.momentum_sum_run != nullptr, runs) << kind;
    EXPECT_EQ(t.root_force != nullptr, t.root_inertia_and_velocity != nullptr) << kind;
  }
  // The rope's two kinds take the fused paths.
  EXPECT_NE(joint_types[revolute_link_kind].inertia_run, nullptr);
  EXPECT_NE(joint_types[free_planar_base_kind].root_inertia_and_velocity, nullptr);
}

}  // namespace
