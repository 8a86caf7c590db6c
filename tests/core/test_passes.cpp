// The pass sequences: visiting orders, the slots each pass calls on each body, skipped
// empty slots, and set-up against right-hand side.
//
// Order is observed through recording descriptors, the test's own: a copy of each kind's descriptor
// whose filled slots hold a wrapper that logs (slot, body) and calls the kind's operation; empty
// slots stay empty. The bodies of a built tree are then pointed at these copies.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "rope/rope_model.hpp"
#include "test_support.hpp"

using namespace core_test;

namespace {

enum Slot {
  construct_slot,
  joint_transform_slot,
  parent_velocity_slot,
  body_velocity_slot,
  invert_joint_inertia_slot,
  transmit_inertia_slot,
  transmit_momentum_bias_slot,
  joint_velocity_slot,
  joint_momentum_rate_slot,
  transmit_force_slot,
  absolute_placement_slot,
  composite_momentum_slot,
  transmit_momentum_slot,
  initial_joint_momentum_slot,
  slot_count
};

constexpr JointOperation JointType::*slot_member[slot_count] = {
    &JointType::construct,
    &JointType::joint_transform,
    &JointType::parent_velocity,
    &JointType::body_velocity,
    &JointType::invert_joint_inertia,
    &JointType::transmit_inertia,
    &JointType::transmit_momentum_bias,
    &JointType::joint_velocity,
    &JointType::joint_momentum_rate,
    &JointType::transmit_force,
    &JointType::absolute_placement,
    &JointType::composite_momentum,
    &JointType::transmit_momentum,
    &JointType::initial_joint_momentum,
};

struct Call {
  int slot;
  const Body* body;
  bool operator==(const Call& o) const { return slot == o.slot && body == o.body; }
};

JointType recording_types[4];
std::vector<Call> calls;

// The kind of a body that carries a recording descriptor.
std::ptrdiff_t recorded_kind(const Body& body) {
  return body.type - recording_types;
}

template <int S>
void recording(Body& body) {
  calls.push_back({S, &body});
  (joint_types[recorded_kind(body)].*slot_member[S])(body);
}

// The recording descriptors hold the table operations alone: with no run or root slots, the
// right-hand side takes every body through the slots that record.
template <std::size_t... S>
void fill_recording_types(std::index_sequence<S...>) {
  for (int k = 0; k < 4; ++k) {
    recording_types[k] = JointType{};
    recording_types[k].coordinate_count = joint_types[k].coordinate_count;
    recording_types[k].reserved = joint_types[k].reserved;
    recording_types[k].has_joint_offset = joint_types[k].has_joint_offset;
    ((recording_types[k].*slot_member[S] =
          (joint_types[k].*slot_member[S]) ? &recording<static_cast<int>(S)> : nullptr),
     ...);
  }
}

// Every body of the tree records from now on. The right-hand side picks its routines by the
// descriptors' slots, so the runs are cut again: every body takes the table operations.
void install_recorders(Tree& tree) {
  for (Body& body : tree.bodies) body.type = &recording_types[body.type - joint_types];
  ASSERT_EQ(record_pass_runs(tree.mbs), MbsStatus::ok);
}

// The slots a pass calls on one body, in order, whether filled or not.
const std::vector<int> setup_a_slots = {joint_transform_slot, parent_velocity_slot,
                                        body_velocity_slot};
const std::vector<int> setup_b_slots = {transmit_momentum_slot, initial_joint_momentum_slot};
const std::vector<int> rhs_1_slots = {joint_transform_slot, invert_joint_inertia_slot,
                                      transmit_inertia_slot, transmit_momentum_bias_slot};
const std::vector<int> rhs_2_slots = {parent_velocity_slot, joint_velocity_slot, body_velocity_slot,
                                      absolute_placement_slot};
const std::vector<int> rhs_3_slots = {composite_momentum_slot, transmit_force_slot,
                                      joint_momentum_rate_slot};

// The calls expected when a pass visits `order` and calls `slots` on each body, skipping the
// slots that the body's kind leaves empty.
std::vector<Call> expected_calls(const std::vector<const Body*>& order,
                                 const std::vector<int>& slots) {
  std::vector<Call> expected;
  for (const Body* body : order)
    for (int s : slots)
      if (joint_types[recorded_kind(*body)].*slot_member[s]) expected.push_back({s, body});
  return expected;
}

std::string describe(const std::vector<Call>& list, const Tree& tree) {
  std::ostringstream text;
  for (const Call& c : list)
    text << "(slot " << c.slot << ", body " << tree.index_of(*c.body) << ") ";
  return text.str();
}

class PassOrder : public testing::Test {
 protected:
  void SetUp() override {
    fill_recording_types(std::make_index_sequence<slot_count>{});
    calls.clear();
  }
};

// A tree with every kind, a parent with two children, and a child with two children:
//   0 P (free base) -+- 1 A (revolute) -+- 2 A1 (revolute)
//                    |                  +- 3 A2 (revolute)
//                    +- 4 B (revolute) --- 5 S (slaved) --- 6 T (tip)
const std::vector<BodyEntry> order_tree_entries = {
    {free_planar_base_kind, -1}, {revolute_link_kind, 0},   {revolute_link_kind, 1},
    {revolute_link_kind, 1},     {revolute_link_kind, 0},   {slaved_revolute_kind, 4},
    {tip_joint_kind, 5}};

std::unique_ptr<Tree> build_order_tree() {
  auto tree = build_tree(order_tree_entries);
  install_recorders(*tree);
  return tree;
}

std::vector<const Body*> bodies_at(Tree& tree, const std::vector<int>& indices) {
  std::vector<const Body*> order;
  for (int i : indices) order.push_back(&tree[i]);
  return order;
}

TEST_F(PassOrder, EveryPassVisitsParentsAndChildrenInListOrder) {
  auto tree = build_order_tree();
  // Outward: parent, then A's subtree, then B's subtree. Inward: A's subtree, B's, the parent.
  const auto outward = bodies_at(*tree, {0, 1, 2, 3, 4, 5, 6});
  const auto inward = bodies_at(*tree, {2, 3, 1, 6, 5, 4, 0});
  Body& root = *tree->mbs.root;

  struct PassCase {
    const char* name;
    void (*pass)(Body&);
    const std::vector<const Body*>& order;
    const std::vector<int>& slots;
  };
  const PassCase cases[] = {{"setup_pass_a", setup_pass_a, outward, setup_a_slots},
                            {"setup_pass_b", setup_pass_b, inward, setup_b_slots},
                            {"rhs_pass_1", rhs_pass_1, inward, rhs_1_slots},
                            {"rhs_pass_2", rhs_pass_2, outward, rhs_2_slots},
                            {"rhs_pass_3", rhs_pass_3, inward, rhs_3_slots}};
  for (const PassCase& c : cases) {
    calls.clear();
    c.pass(root);
    const std::vector<Call> expected = expected_calls(c.order, c.slots);
    EXPECT_EQ(calls, expected) << c.name << "\n got:      " << describe(calls, *tree)
                               << "\n expected: " << describe(expected, *tree);
  }
}

TEST_F(PassOrder, RunFunctionsChainTheirPasses) {
  auto tree = build_order_tree();
  const auto outward = bodies_at(*tree, {0, 1, 2, 3, 4, 5, 6});
  const auto inward = bodies_at(*tree, {2, 3, 1, 6, 5, 4, 0});
  calls.clear();
  run_setup_passes(tree->mbs);
  std::vector<Call> expected = expected_calls(outward, setup_a_slots);
  for (const Call& c : expected_calls(inward, setup_b_slots)) expected.push_back(c);
  EXPECT_EQ(calls, expected);
  calls.clear();
  run_momentum_passes(tree->mbs);  // the set-up's steps, from the recorded orders
  EXPECT_EQ(calls, expected);

  calls.clear();
  run_rhs_passes(tree->mbs);
  expected = expected_calls(inward, rhs_1_slots);
  for (const Call& c : expected_calls(outward, rhs_2_slots)) expected.push_back(c);
  for (const Call& c : expected_calls(inward, rhs_3_slots)) expected.push_back(c);
  EXPECT_EQ(calls, expected);
}

// Empty slots are skipped; the tip joint's do-nothing transmit_force is called.
TEST_F(PassOrder, TipJointGetsOnlyItsFilledSlots) {
  auto tree = build_order_tree();
  const Body* tip = &(*tree)[6];
  calls.clear();
  run_setup_passes(tree->mbs);
  run_rhs_passes(tree->mbs);
  std::vector<int> tip_slots;
  for (const Call& c : calls)
    if (c.body == tip) tip_slots.push_back(c.slot);
  const std::vector<int> expected = {joint_transform_slot,    parent_velocity_slot,  // set-up A
                                     joint_transform_slot,                           // RHS 1
                                     parent_velocity_slot,    joint_velocity_slot,
                                     absolute_placement_slot,  // RHS 2
                                     transmit_force_slot};     // RHS 3
  EXPECT_EQ(tip_slots, expected);
}

TEST_F(PassOrder, RootWithoutChildrenDoesItsOwnStepsAlone) {
  auto tree = build_tree({{free_planar_base_kind, -1}});
  install_recorders(*tree);
  const auto root = bodies_at(*tree, {0});
  calls.clear();
  run_setup_passes(tree->mbs);
  std::vector<Call> expected = expected_calls(root, setup_a_slots);
  for (const Call& c : expected_calls(root, setup_b_slots)) expected.push_back(c);
  EXPECT_EQ(calls, expected);
  calls.clear();
  run_rhs_passes(tree->mbs);
  expected = expected_calls(root, rhs_1_slots);
  for (const Call& c : expected_calls(root, rhs_2_slots)) expected.push_back(c);
  for (const Call& c : expected_calls(root, rhs_3_slots)) expected.push_back(c);
  EXPECT_EQ(calls, expected);
}

// A pass started on a body visits that body's subtree only.
TEST_F(PassOrder, PassOnASubtreeStaysInIt) {
  auto tree = build_order_tree();
  calls.clear();
  rhs_pass_3((*tree)[1]);
  EXPECT_EQ(calls, expected_calls(bodies_at(*tree, {2, 3, 1}), rhs_3_slots));
  calls.clear();
  setup_pass_a((*tree)[4]);
  EXPECT_EQ(calls, expected_calls(bodies_at(*tree, {4, 5, 6}), setup_a_slots));
}

// --- Fused runs through the descriptors' slots ------------------------------------------------

// Copies of the kinds' descriptors, at addresses of their own, whose pass slots for runs log the
// run they are handed and call the kind's own; the root's steps log an empty run.
using RunSlot = RunOperation JointType::*;
struct RunCall {
  RunSlot slot;
  int32_t begin, end;
  bool operator==(const RunCall&) const = default;
};
constexpr RunSlot inertia = &JointType::inertia_run, velocity = &JointType::velocity_run,
                  force = &JointType::force_run, root = nullptr;

JointType logging_types[joint_kind_count];
std::vector<RunCall> run_calls;

const JointType& logged_kind(const JointType* type) { return joint_types[type - logging_types]; }

template <RunSlot S>
void log_run(Mbs& mbs, const PassRun& run) {
  run_calls.push_back({S, run.begin, run.end});
  (logged_kind(run.type).*S)(mbs, run);
}
void log_root_steps(Body& body) {
  run_calls.push_back({root, 0, 0});
  logged_kind(body.type).root_inertia_and_velocity(body);
}
void log_root_force(Body& body) {
  run_calls.push_back({root, 0, 0});
  logged_kind(body.type).root_force(body);
}

void install_run_loggers(Tree& tree) {
  for (int k = 0; k < joint_kind_count; ++k) {
    JointType& t = logging_types[k] = joint_types[k];
    if (t.inertia_run) {
      t.inertia_run = log_run<inertia>;
      t.velocity_run = log_run<velocity>;
      t.force_run = log_run<force>;
    }
    if (t.root_inertia_and_velocity) {
      t.root_inertia_and_velocity = log_root_steps;
      t.root_force = log_root_force;
    }
  }
  for (Body& body : tree.bodies) body.type = &logging_types[body.type - joint_types];
  ASSERT_EQ(record_pass_runs(tree.mbs), MbsStatus::ok);
}

// Inward 2 3 1 6 5 4 0: the links 2, 3 and 1 are runs of one (1 has two children), 6 and 5 go
// to the tables, 4 is a run, the base at the root takes its own steps. Outward 0 1 2 3 4 5 6:
// 1 - 2 is a chain, 3 and 4 start runs of their own. The results are the kinds' own, bit for bit.
TEST(FusedRuns, ReachedThroughTheSlotsOfAnyDescriptor) {
  auto plain = build_tree(order_tree_entries);
  auto logged = build_tree(order_tree_entries);
  install_run_loggers(*logged);
  for (Tree* tree : {plain.get(), logged.get()})
    for (int i = 0; i < tree->mbs.coordinate_count; ++i) {
      tree->mbs.q[i] = 0.1 * i - 0.3;
      tree->mbs.p[i] = 0.01 * (i % 3) - 0.01;
    }
  run_calls.clear();
  ASSERT_EQ(run_rhs_passes(logged->mbs), MbsStatus::ok);
  ASSERT_EQ(run_rhs_passes(plain->mbs), MbsStatus::ok);
  const std::vector<RunCall> expected = {
      {inertia, 0, 1},  {inertia, 1, 2}, {inertia, 2, 3}, {inertia, 5, 6}, {root, 0, 0},
      {velocity, 1, 3}, {velocity, 3, 4}, {velocity, 4, 5}, {force, 0, 1}, {force, 1, 2},
      {force, 2, 3},    {force, 5, 6},   {root, 0, 0}};
  EXPECT_EQ(run_calls, expected);
  const int n = plain->mbs.coordinate_count;
  EXPECT_TRUE(std::equal(logged->mbs.qdot, logged->mbs.qdot + n, plain->mbs.qdot));
  EXPECT_TRUE(std::equal(logged->mbs.pdot, logged->mbs.pdot + n, plain->mbs.pdot));
}

// --- Set-up against right-hand side -----------------------------------------------------------

class SetupAndRhs : public testing::Test {};

// Set-up passes on (q, qdot), then right-hand-side passes on the same q and the p the set-up
// produced, return the qdot the set-up started from. Tolerance 1e-10 relative to the largest
// rate (rounding, amplified by the rope's badly conditioned inertia: its light links); reached
// 5.5e-12 on the rope (angles up to 10 rad), 2.8e-13 on the branched tree.
double round_trip_error(Mbs& mbs, std::mt19937_64& rng, double q_scale) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  const int n = mbs.coordinate_count;
  std::vector<double> qdot(n);
  for (int i = 0; i < n; ++i) {
    mbs.q[i] = q_scale * u(rng);
    qdot[i] = 5.0 * u(rng);
  }
  copy_into(mbs.qdot, qdot);
  run_setup_passes(mbs);
  std::fill(mbs.qdot, mbs.qdot + n, 0.0);
  run_rhs_passes(mbs);
  return relative_error(copy_of(mbs.qdot, n), qdot);
}

TEST_F(SetupAndRhs, RopeReturnsTheInitialRates) {
  // The rope as assembled, carriages holding it (their forces do not enter qdot).
  auto rope = assembled_rope();
  std::mt19937_64 rng(17);
  double worst = 0.0;
  for (int trial = 0; trial < 20; ++trial)
    worst = std::max(worst, round_trip_error(rope->mbs, rng, trial < 10 ? 1.0 : 10.0));
  std::printf("rope round trip: %.2e\n", worst);
  EXPECT_LT(worst, 1e-10);
}

TEST_F(SetupAndRhs, BranchedTreeReturnsTheInitialRates) {
  auto tree = build_branched_tree();
  std::mt19937_64 rng(18);
  double worst = 0.0;
  for (int trial = 0; trial < 20; ++trial) {
    if (trial >= 10) randomise_parameters(*tree, rng);
    worst = std::max(worst, round_trip_error(tree->mbs, rng, 3.0));
  }
  std::printf("branched round trip: %.2e\n", worst);
  EXPECT_LT(worst, 1e-10);
}

// A revolute chain hung from the ground (no free base) as well.
TEST_F(SetupAndRhs, ChainFromGroundReturnsTheInitialRates) {
  std::vector<BodyEntry> entries;
  for (int k = 0; k < 6; ++k) entries.push_back({revolute_link_kind, k - 1});
  auto tree = build_tree(entries);
  std::mt19937_64 rng(19);
  double worst = 0.0;
  for (int trial = 0; trial < 10; ++trial)
    worst = std::max(worst, round_trip_error(tree->mbs, rng, 3.0));
  EXPECT_LT(worst, 1e-10);
}

}  // namespace
