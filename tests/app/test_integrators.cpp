// The integration methods: each lands near a reference that two methods agree on, the implicit
// ones keep their cost as the joints stiffen, and a method change starts from the state as it is.
#include <gtest/gtest.h>
#include <malloc.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <functional>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <tuple>
#include <vector>

#include "stepping/driver.hpp"
#include "stepping/measures.hpp"
#include "stepping/simulation.hpp"
#include "stepping/solver_vectors.hpp"
#include "stepping/step_preconditioner.hpp"
#include "tests/app/newton_check.hpp"

namespace {

long long evaluations = 0;  // right-hand sides of the last run
long long steps = 0;        // accepted in the last run

// The native build's row called `name`.
const IntegrationMethod* row(const char* name) {
  const IntegrationMethod* found = find_method(name);
  if (!found) ADD_FAILURE() << "no method " << name;
  return found ? found : &rk4_method;
}

// The ropes of the accuracy table, by the keys that differ from the default rope's.
struct RopeKeys {
  const char* name;
  std::vector<std::pair<const char*, double>> keys;
  bool point_coupled = false;
};
const std::vector<RopeKeys> ropes = {
    {"soft", {}},
    {"springy", {{"joint_stiffness", 550}}},
    {"stiff", {{"joint_stiffness", 55000}}},
    {"stiffest", {{"joint_stiffness", 5.5e6}}},
    // The 1 m rope given by its physics, as models/fine_rope.toml gives it.
    {"fine",
     {{"links", 99},
      {"rope_length", 1.0},
      {"mass_per_metre", 1.0},
      {"bending_stiffness", 0.22},
      {"bending_damping", 4e-4}},
     true},
};

// The rope called `name`, cut into `links` links if that is given.
RopeParameters rope_parameters(std::string_view name, double links = 0) {
  RopeParameters parameters;
  std::string error;
  for (const RopeKeys& rope : ropes) {
    if (rope.name != name) continue;
    for (const auto& [key, value] : rope.keys)
      EXPECT_TRUE(set_parameter(parameters, key, {value}, error)) << error;
    if (links > 0) {
      EXPECT_TRUE(set_parameter(parameters, "links", {links}, error)) << error;
    }
    if (rope.point_coupled) parameters.far_end_coupling = FarEndCoupling::point;
  }
  EXPECT_TRUE(check_parameters(parameters, error)) << error;
  return parameters;
}

// One second of rope (0.5 s for the evaluation counts) with both carriages driven at t = 0, as in
// the work-precision runs. Returns the state at each frame's end; `evaluations` counts the
// right-hand sides.
std::vector<std::vector<double>> frame_states(const RopeParameters& parameters,
                                              const char* method, double tolerance, int frames) {
  Simulation sim;
  EXPECT_EQ(start_simulation(sim, parameters), MbsStatus::ok);
  EXPECT_EQ(use_integrator(sim, {row(method), tolerance, tolerance}), MethodStatus::ok);
  set_target(sim, 1, -0.5);
  set_target(sim, 2, 0.9);
  std::vector<std::vector<double>> states;
  for (int frame = 0; frame < frames; ++frame) {
    EXPECT_EQ(integrate_frame(sim), FrameEnd::reached) << sim.integration_failure;
    states.push_back(sim.state);
  }
  evaluations = sim.evaluations;
  steps = sim.accepted_steps;
  return states;
}

// The state after the run above.
std::vector<double> run(const RopeParameters& parameters, const char* method, double tolerance,
                        int frames = 100) {
  return frame_states(parameters, method, tolerance, frames).back();
}

double largest_difference(const std::vector<double>& a, const std::vector<double>& b) {
  if (a.size() != b.size()) return INFINITY;
  double largest = 0.0;
  for (size_t i = 0; i < a.size(); ++i) largest = std::max(largest, std::fabs(a[i] - b[i]));
  return largest;
}

// The stored references: each rope's state after the run above, by rk8pd at 1e-12, kept where rk4
// at 1e-12 agreed (bench/accuracy_references.py makes them).
std::vector<double> reference(std::string_view rope) {
  std::ifstream file(ROPE_SOURCE_DIR "/tests/data/accuracy_references.csv");
  std::string line;
  while (std::getline(file, line)) {
    std::istringstream fields(line);
    std::string name, field;
    std::getline(fields, name, ',');
    if (name != rope) continue;
    std::getline(fields, field, ',');  // how far rk4 landed
    std::vector<double> state;
    while (std::getline(fields, field, ',')) state.push_back(std::stod(field));
    return state;
  }
  ADD_FAILURE() << "no reference for " << rope;
  return {};
}

struct AccuracyCase {
  const char* method;
  const char* rope;
  int tolerance_exponent;  // the tolerance is 10^this
};

void PrintTo(const AccuracyCase& c, std::ostream* out) {
  *out << c.method << " on the " << c.rope << " rope at 1e" << c.tolerance_exponent;
}

std::string case_name(const testing::TestParamInfo<AccuracyCase>& info) {
  return std::string(info.param.method) + "_" + info.param.rope + "_1em" +
         std::to_string(-info.param.tolerance_exponent);
}

class MethodAccuracy : public testing::TestWithParam<AccuracyCase> {};

// What a tolerance means: after a second of the driven rope, no state component is more than ten
// times the tolerance off.
TEST_P(MethodAccuracy, LandsWithinTenTimesItsTolerance) {
  const AccuracyCase& c = GetParam();
  const double tolerance = std::pow(10.0, c.tolerance_exponent);
  const double error =
      largest_difference(run(rope_parameters(c.rope), c.method, tolerance), reference(c.rope));
  EXPECT_LT(error, 10 * tolerance);
}

// The stiff and fine ropes' cases take seconds each and run in the release build only (the
// CMake filter names them by their rope).
INSTANTIATE_TEST_SUITE_P(
    EveryMethod, MethodAccuracy,
    testing::Values(AccuracyCase{"rk4", "soft", -7}, AccuracyCase{"rkf45", "soft", -7},
                    AccuracyCase{"rk8pd", "soft", -7}, AccuracyCase{"dirk", "soft", -4},
                    AccuracyCase{"dirk", "soft", -7}, AccuracyCase{"bdf", "soft", -4},
                    AccuracyCase{"bdf", "soft", -6}, AccuracyCase{"auto", "soft", -7},
                    AccuracyCase{"dirk", "springy", -7}, AccuracyCase{"auto", "springy", -4},
                    AccuracyCase{"rk4", "stiff", -7}, AccuracyCase{"rkf45", "stiff", -7},
                    AccuracyCase{"rk8pd", "stiff", -7}, AccuracyCase{"dirk", "stiff", -10},
                    AccuracyCase{"bdf", "stiff", -6}, AccuracyCase{"auto", "stiff", -8},
                    AccuracyCase{"rkf45", "stiffest", -4}, AccuracyCase{"dirk", "stiffest", -10},
                    AccuracyCase{"bdf", "stiffest", -4}, AccuracyCase{"bdf", "stiffest", -10},
                    AccuracyCase{"auto", "stiffest", -6}, AccuracyCase{"rk4", "fine", -4},
                    AccuracyCase{"dirk", "fine", -4}, AccuracyCase{"bdf", "fine", -6},
                    AccuracyCase{"auto", "fine", -4}),
    case_name);

// At a tight tolerance dirk's steps are set by accuracy, several a frame, and a frame starts with
// the step the last one's error allowed: grown past it, every frame began with a failed step and
// the run ended 1.9 times the tolerance off (now 0.17).
TEST(MethodAccuracy, DirkLandsInsideATightTolerance) {
  const double error =
      largest_difference(run(rope_parameters("springy"), "dirk", 1e-8), reference("springy"));
  EXPECT_LT(error, 1e-8);
}

// auto is as accurate as the more accurate of the methods it chooses between: on the 99-link fine
// rope at 1e-4 dirk (bdf lands 70 times further off); on the stiff rope at 1e-8 rkf45, held at its
// stability limit (dirk at the tolerance itself lands 160 times further off).
TEST(AutoMethod, AsAccurateAsTheMoreAccurateMethodItChoosesBetween) {
  for (const auto& [rope, tolerance, other] :
       {std::tuple{"fine", 1e-4, "dirk"}, std::tuple{"stiff", 1e-8, "rkf45"}}) {
    const std::vector<double> known = reference(rope);
    const double by_auto = largest_difference(run(rope_parameters(rope), "auto", tolerance), known);
    EXPECT_LT(by_auto, 2 * largest_difference(run(rope_parameters(rope), other, tolerance), known))
        << rope;
  }
}

// Frame by frame through the start's whip too, where the fine rope, stiff from its start, runs
// dirk: against dirk at 1e-10, auto's worst of the first four frames at 1e-4 is within twice
// rkf45's (it was 2.8 times when dirk's first step was a whole frame).
TEST(AutoMethod, AsAccurateAsTheExplicitPairThroughTheStartsWhip) {
  const RopeParameters fine = rope_parameters("fine");
  const int frames = 4;
  const std::vector<std::vector<double>> known = frame_states(fine, "dirk", 1e-10, frames);
  auto worst_frame = [&](const char* method) {
    const std::vector<std::vector<double>> states = frame_states(fine, method, 1e-4, frames);
    double worst = 0.0;
    for (int frame = 0; frame < frames; ++frame)
      worst = std::max(worst, largest_difference(states[frame], known[frame]));
    return worst;
  };
  EXPECT_LT(worst_frame("auto"), 2 * worst_frame("rkf45"));
}

// An explicit step is bounded by the stiffest joint's period; an implicit one is not.
TEST(MethodCost, ImplicitMethodsStayCheapOnAStiffRope) {
  const RopeParameters stiff = rope_parameters("stiffest");
  constexpr long long bound = 50000;  // right-hand sides over 0.5 s (bdf's measured 37,948)
  run(stiff, "bdf", 1e-6, 50);
  EXPECT_LT(evaluations, bound);
  run(stiff, "dirk", 1e-6, 50);
  EXPECT_LT(evaluations, bound);
  run(stiff, "rk4", 1e-6, 50);
  EXPECT_GT(evaluations, 40 * bound);
  // A frame does not start with the step cut to land on the last one's end: dirk's steps at 1e-5
  // span about a frame once the start's whip has passed (measured 139 in the first 100 frames;
  // 220 when each frame took two).
  run(stiff, "dirk", 1e-5, 100);
  EXPECT_LT(steps, 170);
}

// The 1 m rope given by its physics, cut into `links` rods of about 1/links m: each joint is
// stiffer (EI / l) and lighter than the last as the rope is cut finer.
Simulation* fine_rope(Simulation& sim, int links, const char* method) {
  EXPECT_EQ(start_simulation(sim, rope_parameters("fine", links)), MbsStatus::ok);
  EXPECT_EQ(use_integrator(sim, {row(method), 1e-6, 1e-6}), MethodStatus::ok);
  return &sim;
}

// The implicit steps on a long rope cost time linear in its bodies: a step of a 2,000-link rope
// takes a few right-hand sides (measured: 3.3), where a Jacobian by difference quotients would take
// one per state component, 4,010.
TEST(MethodCost, ImplicitStepsOnALongRopeTakeAFewEvaluations) {
  Simulation sim;
  fine_rope(sim, 2000, "bdf");
  ASSERT_EQ(integrate_frame(sim), FrameEnd::reached);
  EXPECT_LT(sim.evaluations, 20 * sim.accepted_steps);
}

// A long fine rope dragged by both carriages: dirk's error test once took what its Newton
// iterations left behind for the method's error and gave up in the first frame at 500 links.
TEST(MethodCost, ImplicitMethodsStepALongFineRopeBeingDragged) {
  for (const char* method : {"bdf", "dirk"}) {
    SCOPED_TRACE(method);
    Simulation sim;
    fine_rope(sim, 500, method);
    set_target(sim, 1, -0.5);
    set_target(sim, 2, 0.9);
    for (int frame = 0; frame < 3; ++frame)
      ASSERT_EQ(integrate_frame(sim), FrameEnd::reached) << sim.integration_failure;
  }
}

// Joints stiff by their dampers alone: dirk gave up on these in the first frame (at 1e3 N m s/rad
// at t = 0.0056 s) for the same reason, and at 1e6 after repeated error test failures.
TEST(MethodCost, DirkStepsRopesWhoseJointsAreDampingStiff) {
  for (const double damping : {700.0, 1e3, 1e4, 1e6}) {
    SCOPED_TRACE(damping);
    RopeParameters parameters;
    parameters.joint_damping = damping;
    Simulation sim;
    ASSERT_EQ(start_simulation(sim, parameters), MbsStatus::ok);
    ASSERT_EQ(use_integrator(sim, {row("dirk"), 1e-6, 1e-6}), MethodStatus::ok);
    for (int frame = 0; frame < 30; ++frame)
      ASSERT_EQ(integrate_frame(sim), FrameEnd::reached) << sim.integration_failure;
  }
}

// And memory linear: the rope, its state and the method's vectors take some kilobytes a link
// (measured: 2.4); a dense Newton matrix would be 8 (2 n)^2 bytes, 320 GB here. glibc's own count
// of what is allocated, so not under the sanitizers, whose allocator keeps its own.
TEST(MethodCost, ImplicitMethodOnAHundredThousandLinksTakesMemoryLinearInThem) {
  constexpr int links = 100000;
  const auto heap = [] {
    const struct mallinfo2 m = mallinfo2();
    return static_cast<double>(m.uordblks + m.hblkhd);
  };
  const double before = heap();
  Simulation sim;
  fine_rope(sim, links, "dirk");
  const double per_link = (heap() - before) / links;
  EXPECT_GT(per_link, 100.0) << "glibc's count saw nothing";
  EXPECT_LT(per_link, 5e3);
}

// A zigzag rope that nothing takes energy from or gives it to: every damper off, no world, the
// far end held at its point.
RopeParameters undamped_zigzag() {
  RopeParameters p;
  p.joint_damping = 0.0;
  p.drive_damping = p.end_damping_x = p.end_damping_y = p.end_damping_angle = {0.0, 0.0};
  p.far_end_coupling = FarEndCoupling::point;
  p.initial_angles.values.assign(static_cast<size_t>(p.links), 0.3);
  for (size_t j = 1; j < p.initial_angles.values.size(); j += 2) p.initial_angles.values[j] = -0.3;
  return p;
}

// A state changed from outside between frames (an undone frame, a state set by hand, a resumed
// run) is where a method goes on from, not its own history (an implicit method's past states, an
// explicit pair's last derivative): state, time and step size are all it keeps from one frame to
// the next, the undamped rope's energy kept from frame to frame included.
TEST(MethodCost, MethodsFollowAStateSetFromOutside) {
  const std::pair<const char*, RopeParameters> cases[] = {
      {"bdf", {}}, {"rkf45", {}}, {"rk8pd", undamped_zigzag()}};
  for (const auto& [method, parameters] : cases) {
    SCOPED_TRACE(method);
    Simulation moved, fresh;
    for (Simulation* sim : {&moved, &fresh}) {
      ASSERT_EQ(start_simulation(*sim, parameters), MbsStatus::ok);
      ASSERT_EQ(use_integrator(*sim, {row(method), 1e-6, 1e-6}), MethodStatus::ok);
    }
    for (int frame = 0; frame < 10; ++frame) ASSERT_EQ(integrate_frame(moved), FrameEnd::reached);
    moved.state = fresh.state;
    moved.time = fresh.time;
    moved.step_size = fresh.step_size;
    for (int frame = 0; frame < 10; ++frame) {
      ASSERT_EQ(integrate_frame(moved), FrameEnd::reached);
      ASSERT_EQ(integrate_frame(fresh), FrameEnd::reached);
    }
    EXPECT_EQ(moved.state, fresh.state);
  }
}

// Whatever the method evaluated last (an implicit method's last evaluation is a Newton iterate),
// the readings after a frame are those of the state it reports: the same as a fresh rope's that
// is given that state.
TEST(MethodReadings, DescribeTheAcceptedState) {
  for (const IntegrationMethod* method : method_table()) {
    SCOPED_TRACE(method->name);
    Simulation run, fresh;
    ASSERT_EQ(start_simulation(run), MbsStatus::ok);
    ASSERT_EQ(start_simulation(fresh), MbsStatus::ok);
    ASSERT_EQ(use_integrator(run, {method, 1e-6, 1e-6}), MethodStatus::ok);
    set_target(run, 2, 0.9);
    set_target(fresh, 2, 0.9);
    for (int frame = 0; frame < 37; ++frame) ASSERT_EQ(run_frame(run, nullptr), FrameEnd::reached);
    ASSERT_EQ(set_state(fresh, run.state.data()), MbsStatus::ok);
    for (size_t k = 0; k < run.rope.bodies.size(); ++k) {
      EXPECT_EQ(run.rope.bodies[k].position, fresh.rope.bodies[k].position) << "body " << k;
      EXPECT_EQ(run.rope.bodies[k].angle, fresh.rope.bodies[k].angle) << "body " << k;
      EXPECT_EQ(run.rope.bodies[k].velocity, fresh.rope.bodies[k].velocity) << "body " << k;
    }
    EXPECT_EQ(end_spring_forces(run), end_spring_forces(fresh));
    EXPECT_EQ(total_energy(run), total_energy(fresh));
    EXPECT_EQ(run.frame_count, 37);
  }
}

// A change of method starts the new one from the current state with its own first step under the
// tolerances asked for: after any history of switches the run is a fresh run of the last method
// from that state. Switching to what is in force changes nothing.
TEST(MethodSwitches, StartTheNewMethodAfreshUnderItsOwnTolerances) {
  const std::vector<RunSettings> histories[] = {
      {{row("rk4"), 1e-2, 1e-2}, {row("dirk"), 1e-6, 1e-6}, {row("rk4"), 1e-6, 1e-6}},
      {{row("bdf"), 1e-4, 1e-4}, {row("rk8pd"), 1e-8, 1e-8}},
      {{row("rkf45"), 1e-3, 1e-3}, {row("rkf45"), 1e-7, 1e-7}},
  };
  for (const std::vector<RunSettings>& history : histories) {
    const RunSettings& last = history.back();
    SCOPED_TRACE(last.method->name);
    Simulation switched, fresh;
    ASSERT_EQ(start_simulation(switched), MbsStatus::ok);
    ASSERT_EQ(start_simulation(fresh), MbsStatus::ok);
    for (const RunSettings& settings : history) {
      ASSERT_EQ(use_integrator(switched, settings), MethodStatus::ok);
      for (int frame = 0; frame < 5; ++frame)
        ASSERT_EQ(run_frame(switched, nullptr), FrameEnd::reached);
    }
    // The last method's own start, then the same frames from the same state.
    ASSERT_EQ(use_integrator(fresh, last), MethodStatus::ok);
    ASSERT_EQ(set_state(fresh, switched.state.data()), MbsStatus::ok);
    fresh.time = switched.time;
    const double step = fresh.step_size;
    ASSERT_EQ(use_integrator(switched, last), MethodStatus::ok);  // in force already: no change
    EXPECT_EQ(switched.settings.absolute_tolerance, last.absolute_tolerance);
    EXPECT_NE(switched.step_size, step) << "the method was restarted by a switch to itself";
    switched.step_size = step;
    for (int frame = 0; frame < 5; ++frame) {
      ASSERT_EQ(run_frame(switched, nullptr), FrameEnd::reached);
      ASSERT_EQ(run_frame(fresh, nullptr), FrameEnd::reached);
    }
    EXPECT_EQ(switched.state, fresh.state);
  }
}

// Left alone, every method's error drifts the energy (by 2e-10 to 4e-6 of it in two frames at
// 1e-6 and 1e-8). A damper however weak, or the far end's force off its stretch's point, frees it.
TEST(EnergyKeeping, EveryMethodEndsItsFramesOnTheEnergyItStartedWith) {
  for (const IntegrationMethod* method : method_table()) {
    SCOPED_TRACE(method->name);
    Simulation sim;
    ASSERT_EQ(start_simulation(sim, undamped_zigzag()), MbsStatus::ok);
    ASSERT_EQ(use_integrator(sim, {method, 1e-4, 1e-4}), MethodStatus::ok);
    const double start = total_energy(sim);
    for (int frame = 0; frame < 3; ++frame) ASSERT_EQ(run_frame(sim, nullptr), FrameEnd::reached);
    EXPECT_LT(std::fabs(total_energy(sim) - start), 1e-13 * start);
  }
  RopeParameters design = undamped_zigzag(), one_damper = undamped_zigzag();
  design.far_end_coupling = FarEndCoupling::design;
  one_damper.joint_damping.values.assign(24, 0.0);
  one_damper.joint_damping.values[7] = 1e-9;
  EXPECT_TRUE(conserves_energy(undamped_zigzag()));
  EXPECT_FALSE(conserves_energy(design));
  EXPECT_FALSE(conserves_energy(one_damper));
}

// auto's phases follow the measured stiffness: on the default rope the explicit pair's frames cost
// less than any implicit frame would and it runs them all; on a stiff 25-link rope the implicit
// method (dirk, for a rope this short) runs nearly all.
TEST(AutoMethod, RunsThePhaseTheRopesStiffnessCallsFor) {
  struct Case {
    double stiffness;
    bool mostly_implicit;
  };
  for (const Case c : {Case{5.5, false}, Case{5.5e6, true}}) {
    SCOPED_TRACE(c.stiffness);
    RopeParameters parameters;
    parameters.joint_stiffness = c.stiffness;
    Simulation sim;
    ASSERT_EQ(start_simulation(sim, parameters), MbsStatus::ok);
    ASSERT_EQ(use_integrator(sim, {row("auto"), 1e-6, 1e-6}), MethodStatus::ok);
    set_target(sim, 1, -0.5);
    set_target(sim, 2, 0.9);
    // The implicit phase starts only after an explicit frame held at its stability limit,
    // |lambda| h >= 1, or at the first frame of a stiff rope.
    double explicit_steps = 0.0;
    for (int frame = 0; frame < 100; ++frame) {
      ASSERT_EQ(integrate_frame(sim), FrameEnd::reached);
      const SavedValues now = saved_method_values(sim);
      const bool implicit = find_saved(now, "phase")->word == std::string("implicit");
      if (frame == 0) {
        EXPECT_EQ(implicit, c.mostly_implicit);
      }
      if (implicit && explicit_steps > 0.0) {
        EXPECT_GE(find_saved(now, "stiffest_rate")->real * sim.frame_span / explicit_steps, 1.0)
            << "frame " << frame;
      }
      explicit_steps = implicit ? 0.0 : static_cast<double>(find_saved(now, "frame_steps")->whole);
    }
    const SavedValues record = saved_method_values(sim);
    const auto whole = [&](const char* name) { return find_saved(record, name)->whole; };
    EXPECT_EQ(whole("explicit_frames") + whole("implicit_frames"), 100);
    const int64_t in_phase = whole(c.mostly_implicit ? "implicit_frames" : "explicit_frames");
    EXPECT_GE(in_phase, c.mostly_implicit ? 60 : 100) << method_summary(sim);
    EXPECT_NE(method_summary(sim).find("dirk"), std::string::npos) << method_summary(sim);
    const char* phase = c.mostly_implicit ? "implicit" : "explicit";
    EXPECT_EQ(find_saved(record, "phase")->word, phase) << "phase at the end";
  }
}

// The first frame is implicit past 1,000 stable explicit steps a frame, and below 1e-9, where the
// implicit method cannot be handed a hundredth of the tolerance, past 10,000 (550 N m/rad needs a
// tenth of what 55000 needs, about 1,200; 5.5e6 about 19,000).
TEST(AutoMethod, FirstFramesPhaseWeighsTheStiffnessAgainstTheTolerance) {
  for (const auto& [stiffness, tolerance, phase] :
       {std::tuple{550.0, 1e-8, "explicit"}, std::tuple{55000.0, 1e-6, "implicit"},
        std::tuple{55000.0, 1e-8, "implicit"}, std::tuple{55000.0, 1e-10, "explicit"},
        std::tuple{5.5e6, 1e-10, "implicit"}}) {
    RopeParameters parameters;
    parameters.joint_stiffness = stiffness;
    Simulation sim;
    ASSERT_EQ(start_simulation(sim, parameters), MbsStatus::ok);
    ASSERT_EQ(use_integrator(sim, {row("auto"), tolerance, tolerance}), MethodStatus::ok);
    ASSERT_EQ(integrate_frame(sim), FrameEnd::reached);
    EXPECT_EQ(find_saved(saved_method_values(sim), "phase")->word, phase)
        << stiffness << ", " << tolerance;
  }
}

// In the start's whip implicit frames at a tight tolerance cost many times what they cost later,
// so a rope stiff from its start stays implicit through it (at 5.5e6 N m/rad and 1e-10 auto went
// to rkf45 from frame 14 to 18 when its guess of the explicit cost was read from frame 11).
TEST(AutoMethod, StaysImplicitThroughTheStartsWhip) {
  Simulation sim;
  ASSERT_EQ(start_simulation(sim, rope_parameters("stiffest")), MbsStatus::ok);
  ASSERT_EQ(use_integrator(sim, {row("auto"), 1e-10, 1e-10}), MethodStatus::ok);
  set_target(sim, 1, -0.5);
  set_target(sim, 2, 0.9);
  for (int frame = 0; frame < 25; ++frame) ASSERT_EQ(integrate_frame(sim), FrameEnd::reached);
  EXPECT_EQ(find_saved(saved_method_values(sim), "explicit_frames")->whole, 0)
      << method_summary(sim);
}

// At rest the joints' and the chain ends' spring-dampers and the applied forces' turning of the
// chain (its tension and weight) are the whole of the Jacobian's stiff part, and the tree solve
// with its low-rank correction for the ends inverts the implicit step's Newton matrix I - gamma J
// exactly on the rope's rows (the carriages' pull on the anchors is left to the Krylov iterations,
// so the test's carriage residuals are zero): checked against J by difference quotients.
TEST(StepPreconditioner, InvertsTheNewtonMatrixOfTheStiffSprings) {
  struct Case {
    const char* name;
    bool ends_held;
    double gravity, stretch;  // the far end's spring stretched along x by `stretch` m
  };
  for (const Case& held :
       {Case{"joint springs alone", false, 0.0, 0.0}, Case{"ends held too", true, 0.0, 0.0},
        Case{"pulled taut, under gravity", true, 9.81, 0.2}}) {
    SCOPED_TRACE(held.name);
    RopeParameters parameters;
    parameters.links = 3;
    parameters.joint_stiffness = 55000.0;
    parameters.joint_damping = 0.5;
    parameters.gravity = held.gravity;
    parameters.far_end_coupling = FarEndCoupling::point;
    for (CarriagePair* coupling : {&parameters.end_stiffness_x, &parameters.end_damping_x,
                                   &parameters.end_stiffness_y, &parameters.end_damping_y,
                                   &parameters.end_stiffness_angle, &parameters.end_damping_angle})
      if (!held.ends_held) *coupling = {0.0, 0.0};
    // The far end sits off y = 0: no spring along y there (its damper stays), so none is
    // stretched.
    parameters.end_stiffness_y[1] = 0.0;
    parameters.initial_angles.values = {0.3, -0.5, 0.2};
    Simulation sim;
    ASSERT_EQ(start_simulation(sim, parameters), MbsStatus::ok);
    const int n = sim.layout.coordinates;
    std::vector<double> y = sim.state;
    const Body& last = sim.rope.bodies[sim.rope.bodies.size() - 1];
    y[2 * n] = y[0];
    y[2 * n + 2] = held_point_in_world(sim.rope.carriages.coupling[1], last)[0] + held.stretch;
    const std::vector<double> jacobian = jacobian_by_differences(sim, y, 1e-6);
    const std::vector<double> r = newton_probe(sim);
    std::vector<double> z(r.size());
    StepPreconditioner preconditioner;
    ASSERT_TRUE(make_step_preconditioner(preconditioner, sim));
    for (const double gamma : {1e-5, 1e-3}) {
      ASSERT_EQ(set_up_step_preconditioner(sim, preconditioner, y.data(), gamma), MbsStatus::ok);
      EXPECT_EQ(preconditioner.end_rows, held.ends_held ? 6 : 0);
      ASSERT_EQ(solve_step_preconditioner(sim, preconditioner, r.data(), z.data()), MbsStatus::ok);
      EXPECT_LT(newton_residual(sim, jacobian, gamma, r, z), 1e-6) << "gamma " << gamma;
    }
  }
}

// The implicit solvers' vector operations give what the library's own give, to the last bit, in
// its special cases too: coefficients of 1 and -1, equal and opposite ones, results in place.
TEST(SolverVectors, GiveWhatTheLibrarysOwnGiveToTheLastBit) {
  SUNContext context = nullptr;
  ASSERT_EQ(SUNContext_Create(nullptr, &context), 0);
  using Operation = std::function<double(N_Vector, N_Vector, N_Vector)>;  // on x, y, z
  std::vector<Operation> operations = {[](N_Vector x, N_Vector y, N_Vector z) {
    N_VDiv(x, y, z), N_VProd(z, y, y), N_VAbs(y, y), N_VInv(y, y), N_VAddConst(y, 0.3, y);
    const double dot = N_VDotProd(x, y), largest = N_VMaxNorm(y);
    return N_VConst(0.1, x), dot + largest;
  }};
  for (const double a : {1.0, -1.0, 0.3})
    for (const double b : {1.0, -1.0, 0.7, a, -a})
      for (const int into : {0, 1, 2})  // z, x, y
        operations.push_back([=](N_Vector x, N_Vector y, N_Vector z) {
          N_VLinearSum(a, x, b, y, into == 0 ? z : into == 1 ? x : y);
          return N_VScale(b, y, into == 2 ? y : z), 0.0;
        });
  const int n = 40;
  auto outcome = [&](const Operation& operation, bool compiled) {
    std::vector<N_Vector> v;
    for (int k = 0; k < 3; ++k) {
      v.push_back(N_VNew_Serial(n, context));
      if (compiled) use_compiled_vector_operations(v.back());
      for (int i = 0; i < n; ++i) NV_Ith_S(v[k], i) = std::sin(1.3 * i + k) * std::pow(10.0, i % 4);
    }
    std::vector<uint64_t> bits = {std::bit_cast<uint64_t>(operation(v[0], v[1], v[2]))};
    for (N_Vector w : v) {
      for (int i = 0; i < n; ++i) bits.push_back(std::bit_cast<uint64_t>(NV_Ith_S(w, i)));
      N_VDestroy(w);
    }
    return bits;
  };
  for (std::size_t k = 0; k < operations.size(); ++k)
    EXPECT_EQ(outcome(operations[k], true), outcome(operations[k], false)) << "operation " << k;
  SUNContext_Free(&context);
}

TEST(MethodNames, RoundTripAndRefuseOthers) {
  std::string names;
  for (const IntegrationMethod* method : method_table()) {
    EXPECT_EQ(find_method(method->name), method) << method->name;
    EXPECT_GT(std::string(method->description).size(), 20u) << method->name;
    names += std::string(names.empty() ? "" : ", ") + method->name;
  }
  EXPECT_EQ(method_names(), names);
  EXPECT_EQ(method_table().front(), &rk4_method);  // the default comes first in help texts
  EXPECT_EQ(find_method("euler"), nullptr);
  EXPECT_EQ(find_method("RK4"), nullptr);
  std::string error;
  for (const auto& [absolute, relative] : std::vector<std::pair<double, double>>{{0.0, 1e-6},
                                                                                 {1e-6, -1.0},
                                                                                 {NAN, 1e-6},
                                                                                 {1e-6, INFINITY},
                                                                                 {2.0, 1e-6},
                                                                                 {1e-14, 1e-6},
                                                                                 {1e-6, 1e-300}})
    EXPECT_FALSE(check_tolerances(absolute, relative, error)) << absolute << ", " << relative;
}

}  // namespace
