// Ropes other than the uniform straight one: per-body values, a payload, an initial shape and
// motion, the far end held at the point itself, and checkpoints that resume exactly.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "state/checkpoint.hpp"
#include "stepping/driver.hpp"
#include "stepping/measures.hpp"
#include "stepping/simulation.hpp"

namespace {

std::unique_ptr<Simulation> started(const RopeParameters& parameters) {
  auto sim = std::make_unique<Simulation>();
  std::string error;
  EXPECT_TRUE(check_parameters(parameters, error)) << error;
  EXPECT_EQ(start_simulation(*sim, parameters), MbsStatus::ok);
  return sim;
}

void run_frames(Simulation& sim, int frames) {
  for (int frame = 0; frame < frames; ++frame) ASSERT_EQ(integrate_frame(sim), FrameEnd::reached);
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

std::vector<double> spread(size_t count, double first, double step) {
  std::vector<double> values(count);
  for (size_t k = 0; k < count; ++k) values[k] = first + step * static_cast<double>(k);
  return values;
}

TEST(PerBodyValues, ArraysOfEqualValuesGiveTheScalarRopeBitForBit) {
  RopeParameters scalar;
  scalar.links = 12;
  RopeParameters arrays = scalar;
  arrays.link_length.values.assign(13, 0.04);
  arrays.link_mass.values.assign(13, 0.04);
  arrays.joint_stiffness.values.assign(12, 5.5);
  arrays.joint_damping.values.assign(12, 0.01);
  arrays.joint_rest_angle.values.assign(12, 0.0);
  arrays.initial_angles.values.assign(12, 0.0);
  arrays.initial_rates.values.assign(15, 0.0);
  auto a = started(scalar), b = started(arrays);
  set_target(*a, 2, 0.9);
  set_target(*b, 2, 0.9);
  run_frames(*a, 50);
  run_frames(*b, 50);
  EXPECT_TRUE(same_bits(a->state, b->state));
}

TEST(PerBodyValues, WrongCountsNameTheKeyAndTheExpectedCount) {
  struct Case {
    const char* key;
    size_t count;
    const char* expected;
  };
  for (const Case& c : {Case{"link_length", 5, "needs one, or 7"}, Case{"joint_damping", 7, "or 6"},
                        Case{"initial_rates", 6, "or 9"}}) {
    RopeParameters parameters;
    parameters.links = 6;
    std::string error;
    ASSERT_TRUE(set_parameter(parameters, c.key, std::vector<double>(c.count, 0.01), error));
    EXPECT_FALSE(check_parameters(parameters, error)) << c.key;
    EXPECT_NE(error.find(std::string("'") + c.key + "'"), std::string::npos) << error;
    EXPECT_NE(error.find(c.expected), std::string::npos) << error;
  }
  RopeParameters parameters;
  std::string error;
  EXPECT_FALSE(set_parameter(parameters, "link_mass", std::vector<double>{0.1, 0.0, 0.1}, error));
  EXPECT_NE(error.find("at index 1"), std::string::npos) << error;
}

// Each pair both ways round; the message names both keys. (Ropes they give: tests/python.)
TEST(PhysicsKeys, APhysicsKeyWithThePerBodyKeyItDerivesIsRefusedNamingBoth) {
  for (const auto& [physics, derived] : {std::pair{"rope_length", "link_length"},
                                         {"mass_per_metre", "link_mass"},
                                         {"bending_stiffness", "joint_stiffness"},
                                         {"bending_damping", "joint_damping"}})
    for (const auto& [first, second] : {std::pair{physics, derived}, {derived, physics}}) {
      RopeParameters parameters;
      std::string error;
      ASSERT_TRUE(set_parameter(parameters, first, "0.5", error)) << error;
      EXPECT_FALSE(set_parameter(parameters, second, "0.5", error)) << first << " " << second;
      EXPECT_NE(error.find(std::string("'") + second + "' cannot be given with '" + first + "'"),
                std::string::npos)
          << error;
    }
}

// Relative drift of the total energy over 1 s of a rope whose only forces are conservative.
double energy_drift(RopeParameters parameters) {
  parameters.joint_damping = 0.0;
  parameters.drive_damping = {0.0, 0.0};
  parameters.end_damping_x = {0.0, 0.0};
  parameters.end_damping_y = {0.0, 0.0};
  parameters.end_damping_angle = {0.0, 0.0};
  auto sim = started(parameters);
  const double start = total_energy(*sim);
  run_frames(*sim, 100);
  return std::fabs(total_energy(*sim) - start) / std::fabs(start);
}

RopeParameters free_chain() {
  RopeParameters parameters;
  parameters.links = 10;
  parameters.joint_stiffness = 0.0;
  parameters.end_stiffness_x = {0.0, 0.0};
  parameters.end_stiffness_y = {0.0, 0.0};
  parameters.end_stiffness_angle = {0.0, 0.0};
  parameters.initial_angles = 0.3;  // a curled chain, so that the links swing as they fall
  return parameters;
}

// The integrator's tolerance is 1e-6 per step; a uniform chain drifts by some 1e-9 over a second.
// A wrong inertia or centre of mass for an uneven body or the payload would be a modelling error
// the size of the payload's energy, orders of magnitude above that.
TEST(PerBodyValues, UnevenChainWithPayloadConservesEnergyLikeTheUniformOne) {
  const double uniform = energy_drift(free_chain());
  RopeParameters uneven = free_chain();
  uneven.link_length.values = spread(11, 0.02, 0.005);
  uneven.link_mass.values = spread(11, 0.08, -0.006);
  uneven.payload_mass = 0.3;
  const double drift = energy_drift(uneven);
  std::printf("relative energy drift over 1 s: uniform %.3g, uneven with payload %.3g\n", uniform,
              drift);
  EXPECT_LT(drift, 1e-6);
  EXPECT_LT(drift, 100.0 * uniform + 1e-12) << "uniform " << uniform;
}

TEST(FarEndCoupling, PointCouplingConservesEnergyWithEveryDamperOff) {
  RopeParameters parameters;
  parameters.links = 10;
  parameters.end_stiffness_angle = {0.0, 0.0};
  parameters.far_end_coupling = FarEndCoupling::point;
  const double point = energy_drift(parameters);
  parameters.far_end_coupling = FarEndCoupling::design;
  const double design = energy_drift(parameters);
  RecordProperty("point_drift", std::to_string(point));
  RecordProperty("design_drift", std::to_string(design));
  std::printf("relative energy drift over 1 s: point %.3g, design %.3g\n", point, design);
  EXPECT_LT(point, 1e-6);
}

TEST(InitialState, RatesReappearAsTheFirstEvaluationsCoordinateRates) {
  RopeParameters parameters;
  parameters.links = 8;
  parameters.initial_angles.values = spread(8, 0.05, -0.01);
  parameters.initial_base = {0.1, -0.2, 0.3};
  parameters.initial_rates.values = spread(11, -0.5, 0.1);
  auto sim = started(parameters);
  std::vector<double> rates(sim->state.size());
  ASSERT_EQ(state_rates(*sim, sim->state.data(), rates.data()), MbsStatus::ok);
  for (int i = 0; i < sim->layout.coordinates; ++i) {
    EXPECT_NEAR(rates[i], parameters.initial_rates[i], 1e-12) << i;
    EXPECT_EQ(sim->state[i], i < 3 ? parameters.initial_base[i] : parameters.initial_angles[i - 3]);
  }
}

// Joint springs with a little damping and no gravity: a bent chain straightens out.
TEST(InitialState, BentChainWithSpringsReturnsTowardsStraight) {
  RopeParameters parameters;
  parameters.links = 8;
  parameters.gravity = 0.0;
  parameters.joint_damping = 0.002;
  parameters.end_stiffness_x = {0.0, 0.0};
  parameters.end_stiffness_y = {0.0, 0.0};
  parameters.end_stiffness_angle = {0.0, 0.0};
  parameters.initial_angles = 0.1;
  auto sim = started(parameters);
  run_frames(*sim, 300);
  for (int i = 3; i < sim->layout.coordinates; ++i) EXPECT_LT(std::fabs(sim->state[i]), 0.05) << i;
}

// Every method, the implicit ones with their Newton history included: the resumed run goes on
// bit for bit as the original, and so do its readings.
TEST(Checkpoints, ResumedSimulationRepeatsTheOriginalBitForBit) {
  RopeParameters parameters;
  parameters.links = 9;
  parameters.link_mass.values = spread(10, 0.03, 0.002);
  parameters.payload_mass = 0.1;
  for (const IntegrationMethod* method : method_table()) {
    SCOPED_TRACE(method->name);
    auto original = started(parameters);
    ASSERT_EQ(use_integrator(*original, {method, 1e-7, 1e-8}), MethodStatus::ok);
    set_target(*original, 1, -0.4);
    run_frames(*original, 60);
    Checkpoint read;
    std::string error;
    ASSERT_TRUE(
        read_checkpoint_text(checkpoint_text(checkpoint_of(*original)), "test", read, error))
        << error;
    auto resumed = std::make_unique<Simulation>();
    ASSERT_TRUE(resume_simulation(*resumed, read, error)) << error;
    EXPECT_EQ(resumed->frame_count, original->frame_count);
    EXPECT_EQ(resumed->settings.method, method);  // the method travels with the checkpoint
    EXPECT_EQ(resumed->settings.relative_tolerance, 1e-8);
    run_frames(*original, 60);
    run_frames(*resumed, 60);
    EXPECT_TRUE(same_bits(original->state, resumed->state));
    EXPECT_EQ(original->step_size, resumed->step_size);
    EXPECT_EQ(original->rope.bodies.back().position, resumed->rope.bodies.back().position);
  }
}

TEST(Checkpoints, DamagedOrForeignTextIsRefusedWithItsReason) {
  auto sim = started(RopeParameters{});
  const std::string good = checkpoint_text(checkpoint_of(*sim));
  auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    text.replace(text.find(from), from.size(), to);
    return text;
  };
  struct Case {
    std::string text;
    std::string reason;
  };
  const Case cases[] = {
      {good.substr(0, good.size() / 2), ""},  // truncated: a parse error or a missing key
      {replaced("frame_count", "frame_counter"), "unknown key 'frame_counter'"},
      {replaced("links = 24", "links = 23"), "key 'state' has 58 values"},
      {replaced("links = 24", "links = 0"), "key 'links'"},
      {replaced("rope checkpoint 1", "something else"), "key 'format'"},
      {replaced("step_size = ", "step_size = -"), "key 'step_size'"},
      {"links = 24\n", "not a rope checkpoint (no 'format = \"rope checkpoint 1\"' line)"},
      {replaced("format = \"rope checkpoint 1\"", "format = 1"), "not a rope checkpoint"},
      {replaced("integrator = \"rk4\"", "integrator = \"euler\""), "key 'integrator'"},
  };
  for (const Case& c : cases) {
    Checkpoint checkpoint;
    std::string error;
    EXPECT_FALSE(read_checkpoint_text(c.text, "cp.toml", checkpoint, error)) << c.reason;
    EXPECT_EQ(error.rfind("cp.toml", 0), 0u) << error;
    EXPECT_NE(error.find(c.reason), std::string::npos) << error;
  }
}

// auto's record is read through its row: every count bounded as the frame count is, so a crafted
// file cannot overflow one; a method without a record has no key of its own.
TEST(Checkpoints, AutoRecordIsCheckedByItsRow) {
  auto sim = started(RopeParameters{});
  ASSERT_EQ(use_integrator(*sim, {find_method("auto"), 1e-6, 1e-6}), MethodStatus::ok);
  run_frames(*sim, 7);
  const std::string good = checkpoint_text(checkpoint_of(*sim));
  auto with = [&](const std::string& pattern, const std::string& value) {
    return std::regex_replace(good, std::regex(pattern), value);
  };
  const std::string needs = "key 'auto' needs auto's phase";
  struct Case {
    std::string text;
    std::string refused;  // empty: read
  };
  const Case cases[] = {
      {with("explicit_frames = [0-9]+", "explicit_frames = 9007199254740992"), ""},
      {with("explicit_frames = [0-9]+", "explicit_frames = 9007199254740993"), needs},
      {with("frames_since_trial = [0-9]+", "frames_since_trial = 9223372036854775807"), needs},
      {with("trial_wait = [0-9]+", "trial_wait = 1.0e1"), needs},
      {with("votes = [0-9]+", "votes = -1"), needs},
      {with("phase = \"[a-z]+\"", "phase = \"sideways\""), needs},
      {with("stiffest_rate = [^,]+", "stiffest_rate = -1.0"), needs},
      {with("stiffest_rate = [^,]+", "stiffest_rate = 7"), ""},  // a whole number is a real one
      {with(" \\}", ", more = 1 }"), needs},
      {with("auto = \\{.*\\}", "auto = 3"), needs},
      {with("auto = ", "rk4 = "), "unknown key 'rk4'"},
  };
  for (const Case& c : cases) {
    Checkpoint checkpoint;
    std::string error;
    EXPECT_EQ(read_checkpoint_text(c.text, "cp.toml", checkpoint, error), c.refused.empty())
        << c.text;
    EXPECT_NE(error.find(c.refused), std::string::npos) << error;
  }
  Checkpoint read;
  std::string error;
  ASSERT_TRUE(read_checkpoint_text(good, "cp.toml", read, error)) << error;
  EXPECT_EQ(checkpoint_text(read), good);  // the record written back as it was read
}

}  // namespace
