// The fused kernels against the joint-kind tables: from the same random states, run_rhs_passes
// (with update_body_records) and run_rhs_table_passes must leave qdot, pdot and every pose and
// velocity that callers read equal to the last bit. The table path leaves every record at the
// previous state, so a record the fused path failed to bring up to date before reading it would
// show in qdot or pdot.
#include <cstring>
#include <functional>
#include <string>

#include "test_support.hpp"

namespace core_test {
namespace {

// A system with its owner: a test tree or an assembled rope.
struct KernelCase {
  std::string name;
  std::function<Mbs&()> build;
  int states;
};

void PrintTo(const KernelCase& c, std::ostream* out) { *out << c.name; }

std::unique_ptr<Tree> tree_holder;
std::unique_ptr<RopeModel> rope_holder;

Mbs& chain_of(int bodies) {
  tree_holder = build_chain(bodies - 1);
  return tree_holder->mbs;
}

// Both carriages hold the rope, with anchors away from the chain ends.
Mbs& rope_with_carriages() {
  rope_holder = assembled_rope();
  Carriages& c = rope_holder->carriages;
  const double anchor[4] = {0.07, -0.02, 0.93, 0.05};
  std::memcpy(c.carriage_anchor, anchor, sizeof anchor);
  return rope_holder->mbs;
}

// Branches, links below a slaved joint, and slaved joints stilling tip points:
//   0 base -+- 1 - 2 -+- 3 - 4 - 5
//           |         +- 6 - 7 S -+- 8 - 9
//           |                     +- 10 T
//           +- 11 S --- 12 T
//           +- 13 - 14
Mbs& branched_tree_with_every_kind() {
  tree_holder = build_tree({{free_planar_base_kind, -1},
                            {revolute_link_kind, 0},
                            {revolute_link_kind, 1},
                            {revolute_link_kind, 2},
                            {revolute_link_kind, 3},
                            {revolute_link_kind, 4},
                            {revolute_link_kind, 2},
                            {slaved_revolute_kind, 6},
                            {revolute_link_kind, 7},
                            {revolute_link_kind, 8},
                            {tip_joint_kind, 7},
                            {slaved_revolute_kind, 0},
                            {tip_joint_kind, 11},
                            {revolute_link_kind, 0},
                            {revolute_link_kind, 13}});
  std::mt19937_64 rng(7);
  randomise_parameters(*tree_holder, rng);
  for (Body& body : tree_holder->bodies) body.joint_damping = {0.02, 0.03, 0.01};
  refresh_run_parameters(tree_holder->mbs);
  return tree_holder->mbs;
}

// What one evaluation leaves for its callers.
struct Results {
  std::vector<double> qdot, pdot, poses;
};

Results results_of(const Mbs& mbs) {
  const std::size_t n = static_cast<std::size_t>(mbs.coordinate_count);
  Results r{{mbs.qdot, mbs.qdot + n}, {mbs.pdot, mbs.pdot + n}, {}};
  for (const Body* body : mbs.outward_order) {
    r.poses.insert(r.poses.end(), {body->sin_abs, body->cos_abs, body->position[0],
                                   body->position[1], body->angle});
    r.poses.insert(r.poses.end(), body->velocity.begin(), body->velocity.end());
  }
  return r;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// The state both paths start from. A slaved joint reads the qdot its previous evaluation left,
// so that is part of the state too.
struct State {
  std::vector<double> q, p, qdot;
};

State random_state(const Mbs& mbs, std::mt19937_64& rng) {
  std::uniform_real_distribution<double> angle(-pi, pi), momentum(-0.01, 0.01), rate(-2.0, 2.0);
  State s;
  for (int i = 0; i < mbs.coordinate_count; ++i) {
    s.q.push_back(angle(rng));
    s.p.push_back(momentum(rng));
    s.qdot.push_back(rate(rng));
  }
  return s;
}

void load(Mbs& mbs, const State& s) {
  std::copy(s.q.begin(), s.q.end(), mbs.q);
  std::copy(s.p.begin(), s.p.end(), mbs.p);
  std::copy(s.qdot.begin(), s.qdot.end(), mbs.qdot);
}

// The system's gravity record, which its element reads live.
Gravity& gravity_record(Mbs& mbs) {
  return const_cast<Gravity&>(mbs.force_elements.front().data_as<Gravity>());
}

bool has_fused_runs(const std::vector<PassRun>& runs) {
  return std::any_of(runs.begin(), runs.end(),
                     [](const PassRun& r) { return r.kernel == PassKernel::fused_run; });
}

class KernelsMatchTables : public testing::TestWithParam<KernelCase> {};

TEST_P(KernelsMatchTables, BitForBitOverRandomStates) {
  Mbs& mbs = GetParam().build();
  ASSERT_TRUE(has_fused_runs(mbs.inward_runs));
  ASSERT_TRUE(has_fused_runs(mbs.outward_runs));
  std::mt19937_64 rng(20261208);
  std::uniform_real_distribution<double> gravity(0.0, 20.0);
  for (int k = 0; k < GetParam().states; ++k) {
    // Now and then another gravity, taken by a refresh without the set-up passes.
    if (k % 7 == 3) {
      gravity_record(mbs).acceleration = gravity(rng);
      refresh_run_parameters(mbs);
    }
    const State state = random_state(mbs, rng);
    load(mbs, state);
    ASSERT_EQ(run_rhs_passes(mbs), MbsStatus::ok);
    update_body_records(mbs);
    const Results fused = results_of(mbs);
    load(mbs, state);
    ASSERT_EQ(run_rhs_table_passes(mbs), MbsStatus::ok);
    const Results table = results_of(mbs);
    ASSERT_TRUE(same_bits(fused.qdot, table.qdot)) << "qdot, state " << k;
    ASSERT_TRUE(same_bits(fused.pdot, table.pdot)) << "pdot, state " << k;
    ASSERT_TRUE(same_bits(fused.poses, table.poses)) << "poses and velocities, state " << k;
  }
}

// The momentum passes through the fused runs give the momenta the table passes give, to the last
// bit, with right-hand sides run in between.
TEST_P(KernelsMatchTables, MomentumPassesByRunsGiveTheTablesMomenta) {
  Mbs& mbs = GetParam().build();
  std::mt19937_64 rng(20261211);
  for (int k = 0; k < std::min(GetParam().states, 200); ++k) {
    const State state = random_state(mbs, rng);
    auto momenta = [&](MbsStatus (*passes)(Mbs&)) {
      load(mbs, state);
      EXPECT_EQ(passes(mbs), MbsStatus::ok);
      return std::vector<double>(mbs.p, mbs.p + mbs.coordinate_count);
    };
    const std::vector<double> by_runs = momenta(run_momentum_passes_by_runs);
    ASSERT_EQ(run_rhs_passes(mbs), MbsStatus::ok);
    ASSERT_TRUE(same_bits(by_runs, momenta(run_momentum_passes))) << "state " << k;
  }
}

// A solve with springs through the factors an earlier one kept at the same coordinates gives the
// rates a fresh solve gives, to the last bit, with other evaluations run in between.
TEST_P(KernelsMatchTables, KeptFactorsSolveAsAFreshSolveDoes) {
  Mbs& mbs = GetParam().build();
  std::mt19937_64 rng(20261210);
  std::uniform_real_distribution<double> spring(0.0, 0.5);
  const std::size_t bodies = mbs.run_state.size();
  std::vector<double> armature(bodies), turn(bodies);
  std::vector<Sym3> added(bodies);
  for (std::size_t i = 0; i < bodies; ++i) {
    armature[i] = spring(rng);
    turn[i] = spring(rng);
    added[i] = {spring(rng), 0.0, 0.0, spring(rng), 0.0, spring(rng)};
  }
  std::vector<RunPassState> kept_states(bodies);
  KeptFactors kept{kept_states.data(), false};
  const State at = random_state(mbs, rng);
  for (int k = 0; k < 20; ++k) {
    const State other = random_state(mbs, rng);
    auto rates = [&](KeptFactors* factors) {
      load(mbs, at);
      std::copy(other.p.begin(), other.p.end(), mbs.p);
      EXPECT_EQ(run_velocity_passes_with_springs(mbs, armature.data(), turn.data(), added.data(),
                                                 factors),
                MbsStatus::ok);
      return std::vector<double>(mbs.qdot, mbs.qdot + mbs.coordinate_count);
    };
    const std::vector<double> fresh = rates(nullptr);
    load(mbs, other);
    ASSERT_EQ(run_rhs_passes(mbs), MbsStatus::ok);
    ASSERT_TRUE(same_bits(rates(&kept), fresh)) << "solve " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(
    EverySystem, KernelsMatchTables,
    testing::Values(KernelCase{"Chain25", []() -> Mbs& { return chain_of(25); }, 2000},
                    KernelCase{"Chain5000", []() -> Mbs& { return chain_of(5000); }, 40},
                    KernelCase{"RopeWithBothCarriages", rope_with_carriages, 2000},
                    KernelCase{"BranchedTreeWithSlavedAndTip", branched_tree_with_every_kind,
                               2000}),
    [](const testing::TestParamInfo<KernelCase>& info) { return info.param.name; });

}  // namespace
}  // namespace core_test
