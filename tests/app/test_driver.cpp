// The integration driver and the window program's frame: frame spans, the carried-over step
// size, the report lines and a failing step.
#include <chrono>
#include <cmath>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/app/start_up.hpp"
#include "view/frame_report.hpp"

namespace {

class Driver : public testing::Test {
 protected:
  void SetUp() override { start_default_simulation(); }
  // The window program's frame, with its report.
  FrameOutcome window_frame(std::ostream& out, FrameEnd* end = nullptr) {
    return ::window_frame(sim(), clock_, out, end);
  }

 private:
  FrameClock clock_;
};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST_F(Driver, EachFrameAdvancesOneFrameSpanAndReportsIt) {
  std::vector<std::string> time_lines;
  for (int n = 1; n <= 100; ++n) {
    std::ostringstream out;
    EXPECT_EQ(window_frame(out), FrameOutcome::report_due);  // report period 1: every frame reports
    // The evolve call lands each frame exactly on sim().time + 0.01, so only the rounding of the
    // running sum separates sim().time from n * 0.01: about n * 1e-18 s, far below 1e-12.
    EXPECT_NEAR(sim().time, n * 0.01, 1e-12) << "frame " << n;
    EXPECT_EQ(sim().frame_count, n);
    const std::vector<std::string> lines = lines_of(out.str());
    ASSERT_EQ(lines.size(), 2u) << out.str();
    time_lines.push_back(lines[0]);
  }
  EXPECT_EQ(time_lines[0], "SimTime :  0.01 s.");
  EXPECT_EQ(time_lines[1], "SimTime :  0.02 s.");
  EXPECT_EQ(time_lines[99], "SimTime :  1 s.");  // six significant digits hide the rounding
}

TEST_F(Driver, ReportLinesHaveTheirExactText) {
  std::ostringstream out;
  window_frame(out);
  // Labels padded so the numbers line up; seconds in the stream's default format.
  const std::regex report(R"(SimTime :  0\.01 s\.\nRealTime : (0|[0-9]+(\.[0-9]+)?(e-0[0-9])?) s\.\n)");
  EXPECT_TRUE(std::regex_match(out.str(), report)) << out.str();
}

// rk4's row with a step of the test's own: the driver only ever steps through a row.
const IntegrationMethod& rk4_row() { return rk4_method; }

template <int (*step)(MethodObjects&, Simulation&, double)>
void use_rk4_stepping_with() {
  static IntegrationMethod row = [] {
    IntegrationMethod r = rk4_row();
    r.step = step;
    return r;
  }();
  ASSERT_EQ(use_method(sim(), row, sim().settings), MethodStatus::ok);
}

// Forwards to rk4 and records the step size each call starts from.
std::vector<double> step_sizes_at_entry;
std::vector<double> times_at_entry;
int recording_step(MethodObjects& objects, Simulation& s, double t1) {
  step_sizes_at_entry.push_back(s.step_size);
  times_at_entry.push_back(s.time);
  return rk4_row().step(objects, s, t1);
}

TEST_F(Driver, StepSizeCarriesOverFromFrameToFrame) {
  step_sizes_at_entry.clear();
  times_at_entry.clear();
  use_rk4_stepping_with<recording_step>();
  run_frames(1);
  const double left_by_first_frame = sim().step_size;
  const size_t first_frame_calls = step_sizes_at_entry.size();
  ASSERT_GT(first_frame_calls, 1u);
  EXPECT_EQ(step_sizes_at_entry[0], 0.00025);
  // The control has changed it, so a driver that restarted from 0.00025 would be caught.
  ASSERT_NE(left_by_first_frame, 0.00025);
  run_frames(1);
  ASSERT_GT(step_sizes_at_entry.size(), first_frame_calls);
  EXPECT_EQ(times_at_entry[first_frame_calls], 0.01);  // the second frame's first call
  EXPECT_EQ(step_sizes_at_entry[first_frame_calls], left_by_first_frame);
}

// Fails without advancing time; gives up failing after many calls so that a driver that
// retried without end would finish and be caught by the call count instead of hanging.
int failing_calls = 0;
int failing_step(MethodObjects&, Simulation& s, double t1) {
  ++failing_calls;
  if (failing_calls > 1000) s.time = t1;
  s.integration_failure = "a test's failure";
  return -1;
}

// The window says so and tries again on the next frame; the failed frame is not counted.
TEST_F(Driver, FailingStepEndsTheFrameAndTheNextFrameTriesAgain) {
  failing_calls = 0;
  use_rk4_stepping_with<failing_step>();
  std::ostringstream out;
  FrameEnd end = FrameEnd::reached;
  EXPECT_EQ(advance_frame(sim(), out, &end), FrameOutcome::quiet);
  EXPECT_EQ(end, FrameEnd::step_failed);
  EXPECT_EQ(failing_calls, 1);
  EXPECT_EQ(out.str(), "Hamilton failed.\n");
  EXPECT_EQ(sim().frame_count, 0);
  EXPECT_EQ(sim().time, 0.0);

  ASSERT_EQ(use_method(sim(), rk4_row(), sim().settings), MethodStatus::ok);
  std::ostringstream next;
  window_frame(next);
  EXPECT_EQ(lines_of(next.str()).at(0), "SimTime :  0.01 s.");
  EXPECT_EQ(sim().frame_count, 1);
}

// Takes a known wall-clock time per frame and lands on t1 in one call.
int slow_step(MethodObjects&, Simulation& s, double t1) {
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  s.time = t1;
  return 0;
}

double real_time_of(const std::string& report) {
  const std::vector<std::string> lines = lines_of(report);
  EXPECT_EQ(lines.size(), 2u) << report;
  const std::string prefix = "RealTime : ";
  EXPECT_EQ(lines.back().rfind(prefix, 0), 0u) << report;
  return std::stod(lines.back().substr(prefix.size()));
}

// The wall clock starts at the first frame, not at process start: after a pause of 0.3 s before
// the first frame, its RealTime still covers only that frame's work (at least the 0.02 s the
// evolve call sleeps, far less than the pause); the second frame's covers both frames.
TEST_F(Driver, RealTimeCountsFromTheFirstFrame) {
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  use_rk4_stepping_with<slow_step>();
  std::ostringstream first, second;
  window_frame(first);
  window_frame(second);
  const double first_time = real_time_of(first.str());
  const double second_time = real_time_of(second.str());
  EXPECT_GE(first_time, 0.019);
  EXPECT_LT(first_time, 0.2);
  EXPECT_GE(second_time, first_time + 0.019);
}

// After a frame the bodies' records hold the placements of its last evaluation. GSL's evolve call
// ends each step with an evaluation at the accepted state (its derivative starts the next step), so
// each body's angle is exactly the sum of the joint angles up to it in the frame's final state, not
// the angle it started with. The right-hand side alone leaves link records untouched.
TEST_F(Driver, AfterAFrameTheRecordsFollowTheState) {
  const RopeModel& rope = sim().rope;
  const double start_angle = rope.bodies.back().angle;
  set_target(sim(), 2, 0.4);
  run_frames(50);
  const double* q = sim().state.data();
  double angle = 0.0;
  for (std::size_t k = 0; k < rope.bodies.size(); ++k) {
    angle += q[k + 2];  // the base's absolute angle, then each link's joint angle
    EXPECT_EQ(rope.bodies[k].angle, angle) << "body " << k;
  }
  EXPECT_GT(std::fabs(angle - start_angle), 0.05);  // the rope did move
}

}  // namespace

// An interruption mid-frame undoes the frame: the next frames run bit for bit as if it had never
// been asked for, and the bodies stand where the restored state has them.
TEST(DriverInterrupt, InterruptedFrameIsUndoneWhole) {
  Simulation plain, interrupted;
  ASSERT_EQ(start_simulation(plain), MbsStatus::ok);
  ASSERT_EQ(start_simulation(interrupted), MbsStatus::ok);
  for (Simulation* s : {&plain, &interrupted}) {
    set_target(*s, 2, 1.5);
    for (int frame = 0; frame < 5; ++frame) ASSERT_EQ(integrate_frame(*s), FrameEnd::reached);
  }
  const std::vector<double> before = interrupted.state;
  const double time_before = interrupted.time, step_before = interrupted.step_size;
  int asked = 0;
  interrupted.interrupt_context = &asked;
  interrupted.interrupt_check = [](void* count) { return ++*static_cast<int*>(count) == 2; };
  ASSERT_EQ(integrate_frame(interrupted), FrameEnd::interrupted);
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(interrupted.state, before);
  EXPECT_EQ(interrupted.time, time_before);
  EXPECT_EQ(interrupted.step_size, step_before);
  EXPECT_EQ(interrupted.rope.bodies[7].position[0], plain.rope.bodies[7].position[0]);

  // Through advance_frame the undone frame is neither counted nor reported.
  std::ostringstream out;
  FrameEnd end = FrameEnd::reached;
  asked = 0;
  EXPECT_EQ(advance_frame(interrupted, out, &end), FrameOutcome::stopped);
  EXPECT_EQ(end, FrameEnd::interrupted);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(interrupted.frame_count, 0);
  EXPECT_STREQ(stop_message(interrupted, end), interruption_message);
  EXPECT_EQ(interrupted.state, before);

  interrupted.interrupt_check = [](void*) { return false; };
  for (int frame = 0; frame < 5; ++frame) {
    ASSERT_EQ(integrate_frame(plain), FrameEnd::reached);
    ASSERT_EQ(integrate_frame(interrupted), FrameEnd::reached);
  }
  EXPECT_EQ(interrupted.state, plain.state);
  EXPECT_EQ(interrupted.time, plain.time);
}
