// Simulations as records: any number side by side, in one thread or in several, each exactly the
// trajectory it has alone; a failing one reports a status and leaves the others running.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "app/driver.hpp"
#include "app/simulation.hpp"

namespace {

constexpr int frames = 150;

// A scripted run: different ropes and target moves, so that a value leaking from one simulation
// into another would change the other's trajectory.
struct Script {
  int links;
  double stiffness;
  double move_to;  // carriage 2's target from frame 50
};

std::unique_ptr<Simulation> started(const Script& script) {
  RopeParameters parameters;
  parameters.links = script.links;
  parameters.joint_stiffness = script.stiffness;
  auto sim = std::make_unique<Simulation>();
  EXPECT_EQ(start_simulation(*sim, parameters), MbsStatus::ok);
  return sim;
}

void advance(Simulation& sim, const Script& script, int frame) {
  if (frame == 50) set_target(sim, 2, script.move_to);
  ASSERT_EQ(integrate_frame(sim), FrameEnd::reached);
}

std::vector<double> run_alone(const Script& script) {
  auto sim = started(script);
  for (int frame = 0; frame < frames; ++frame) advance(*sim, script, frame);
  return sim->state;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

const Script scripts[2] = {{24, 5.5, 0.9}, {7, 2.0, 0.2}};

TEST(Simulations, AlternatingInOneThreadEachGivesItsTrajectoryAlone) {
  const std::vector<double> alone[2] = {run_alone(scripts[0]), run_alone(scripts[1])};
  std::unique_ptr<Simulation> sims[2] = {started(scripts[0]), started(scripts[1])};
  for (int frame = 0; frame < frames; ++frame)
    for (int k = 0; k < 2; ++k) advance(*sims[k], scripts[k], frame);
  for (int k = 0; k < 2; ++k)
    EXPECT_TRUE(same_bits(sims[k]->state, alone[k])) << "simulation " << k;
}

TEST(Simulations, InTwoThreadsEachGivesItsTrajectoryAlone) {
  const std::vector<double> alone[2] = {run_alone(scripts[0]), run_alone(scripts[1])};
  std::vector<double> threaded[2];
  std::thread workers[2];
  for (int k = 0; k < 2; ++k)
    workers[k] = std::thread([&, k] { threaded[k] = run_alone(scripts[k]); });
  for (std::thread& worker : workers) worker.join();
  for (int k = 0; k < 2; ++k) EXPECT_TRUE(same_bits(threaded[k], alone[k])) << "simulation " << k;
}

TEST(Simulations, DivergedOneReportsAndAnotherStillRuns) {
  auto broken = started(scripts[0]);
  auto healthy = started(scripts[1]);
  const std::vector<double> alone = run_alone(scripts[1]);
  broken->state[5] = std::numeric_limits<double>::quiet_NaN();
  std::ostringstream out;
  FrameEnd end = FrameEnd::reached;
  EXPECT_EQ(advance_frame(*broken, out, &end), FrameOutcome::stopped);
  EXPECT_EQ(end, FrameEnd::diverged);
  EXPECT_STREQ(stop_message(*broken, end), "Simulation aborted due to instability.");
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(broken->frame_count, 0);
  for (int frame = 0; frame < frames; ++frame) advance(*healthy, scripts[1], frame);
  EXPECT_TRUE(same_bits(healthy->state, alone));
}

// Dragged a thousand kilometres away the rope is torn apart: the run stops on an accepted state
// with a status, it does not end the process.
TEST(Simulations, TornRopeStopsWithAStatus) {
  auto sim = started(scripts[0]);
  set_target(*sim, 2, 1e6);
  FrameEnd end = FrameEnd::reached;
  for (int frame = 0; frame < 300 && end == FrameEnd::reached; ++frame) end = integrate_frame(*sim);
  EXPECT_EQ(end, FrameEnd::diverged);
  EXPECT_TRUE(state_diverged(sim->state.data(), sim->dimension));
}

}  // namespace
