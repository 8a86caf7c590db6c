// Simulations as records: any number side by side, in one thread or in several, each exactly the
// trajectory it has alone; a failing one reports a status and leaves the others running.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <sstream>
#include <thread>
#include <tuple>
#include <vector>

#include "stepping/driver.hpp"
#include "stepping/measures.hpp"
#include "stepping/placements.hpp"
#include "stepping/simulation.hpp"

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
  EXPECT_TRUE(state_diverged(*sim, sim->state.data()));
}

// A 40 m rope of 1000 links (momenta growing as the cube of the link count) and a 4 mm rope between
// carriages 0.6 m apart, held at their ends: motion, not divergence, under every method.
TEST(Simulations, RopesHeldAtTheirEndsSagUnderEveryMethod) {
  for (const auto& [links, length, far] : {std::tuple{1000, 0.04, 40.04}, {3, 0.001, 0.6}}) {
    RopeParameters parameters;
    parameters.links = links;
    parameters.link_length = length;
    parameters.carriage_start = parameters.carriage_target = {0.0, far};
    for (const IntegrationMethod* method : method_table()) {
      SCOPED_TRACE(std::string(method->name) + ", links " + std::to_string(links));
      Simulation sim;
      ASSERT_EQ(start_simulation(sim, parameters), MbsStatus::ok);
      if (use_integrator(sim, {method, 1e-6, 1e-6}) != MethodStatus::ok) continue;
      for (int frame = 0; frame < 20; ++frame) ASSERT_EQ(integrate_frame(sim), FrameEnd::reached);
      EXPECT_LT(sim.state[1], 0.0);  // the base has begun to sag
    }
  }
}

// Before any frame the readings are the initial state's: the chain lies straight along +x from
// the origin, 0.04 m per body, so carriage 1 (at -0.2 m) is pulled towards 0 and carriage 2 (at
// 0.6 m) towards 1.0 m, each by 5000 N/m times the gap.
TEST(Readings, AFreshSimulationReportsItsInitialState) {
  Simulation sim;
  ASSERT_EQ(start_simulation(sim), MbsStatus::ok);
  for (std::size_t k = 0; k < sim.rope.bodies.size(); ++k) {
    const Body& body = sim.rope.bodies[k];
    EXPECT_DOUBLE_EQ(body.position[0], 0.04 * static_cast<double>(k)) << "body " << k;
    EXPECT_EQ(body.position[1], 0.0) << "body " << k;
    EXPECT_EQ(body.cos_abs, 1.0) << "body " << k;
  }
  const std::array<double, 2> forces = end_spring_forces(sim);
  EXPECT_NEAR(forces[0], 1000.0, 1e-9);
  EXPECT_NEAR(forces[1], 2000.0, 1e-9);
}

// Rates at another state are for analysis: what the simulation reports stays its own state's.
TEST(Readings, RatesAtAnotherStateLeaveTheReadingsAsTheyWere) {
  auto sim = started(scripts[0]);
  set_target(*sim, 2, scripts[0].move_to);
  for (int frame = 0; frame < 30; ++frame) ASSERT_EQ(integrate_frame(*sim), FrameEnd::reached);
  const std::array<double, 2> forces = end_spring_forces(*sim);
  std::vector<Point> positions;
  for (const Body& body : sim->rope.bodies) positions.push_back(body.position);
  const double energy = total_energy(*sim);

  std::vector<double> own(sim->state.size()), rates(sim->state.size());
  ASSERT_EQ(state_rates(*sim, sim->state.data(), own.data()), MbsStatus::ok);
  std::vector<double> other = sim->state;
  for (int i = 0; i < sim->layout.coordinates; ++i) other[i] += 0.1;
  const int x1 = sim->layout.carriages_start;
  other[x1] += 0.3;  // carriage 1 moved
  ASSERT_EQ(state_rates(*sim, other.data(), rates.data()), MbsStatus::ok);
  EXPECT_LT(rates[x1 + 1], own[x1 + 1] - 100.0);

  EXPECT_EQ(end_spring_forces(*sim), forces);
  for (std::size_t k = 0; k < positions.size(); ++k)
    EXPECT_EQ(sim->rope.bodies[k].position, positions[k]) << "body " << k;
  EXPECT_EQ(total_energy(*sim), energy);
  for (int i = 0; i < sim->layout.coordinates; ++i) EXPECT_EQ(sim->rope.mbs.q[i], sim->state[i]);
}

// Start-up puts q, p and the carriages where the layout says, for one link, the default rope and
// many links. The rope starts bent and moving so that no two blocks hold the same numbers.
TEST(Layout, StartUpFillsTheSlotsTheLayoutNames) {
  const struct {
    int links, coordinates, dimension;
  } ropes[] = {{1, 4, 12}, {24, 27, 58}, {200, 203, 410}};
  for (const auto& rope : ropes) {
    RopeParameters parameters;
    parameters.links = rope.links;
    parameters.initial_angles = 0.1;
    parameters.initial_rates = 0.2;
    Simulation sim;
    ASSERT_EQ(start_simulation(sim, parameters), MbsStatus::ok);
    const StateLayout& l = sim.layout;
    EXPECT_EQ(l.coordinates, rope.coordinates);
    EXPECT_EQ(l.dimension, rope.dimension);
    EXPECT_EQ(l.coordinates, sim.rope.mbs.coordinate_count);
    ASSERT_EQ(sim.state.size(), static_cast<size_t>(l.dimension));
    for (int i = 0; i < l.coordinates; ++i) {
      EXPECT_EQ(sim.state[i], sim.rope.mbs.q[i]) << rope.links << " links: q" << i;
      EXPECT_EQ(sim.state[l.momenta_start + i], sim.rope.mbs.p[i]) << rope.links << ": p" << i;
    }
    for (int i = 0; i < l.carriage_slots; ++i)
      EXPECT_EQ(sim.state[l.carriages_start + i], sim.rope.carriages.carriage_state[i]) << i;
  }
}

// The placements make one chain: each body's far end is where the next hangs, the last one's is
// the point carriage 2 holds, and each angle has its cosine and sine. Ropes with one length for
// all and with a length per body, started bent and moved.
TEST(Placements, BodiesJoinEndToEndAndTheLastEndsAtTheHeldPoint) {
  RopeParameters uneven;
  uneven.links = 5;
  uneven.link_length.values = {0.1, 0.2, 0.12, 0.25, 0.15, 0.18};
  RopeParameters payload;
  payload.payload_mass = 0.1;
  for (RopeParameters parameters : {RopeParameters{}, uneven, payload}) {
    parameters.initial_angles = 0.15;
    Simulation sim;
    ASSERT_EQ(start_simulation(sim, parameters), MbsStatus::ok);
    set_target(sim, 2, 0.3);
    for (int frame = 0; frame < 40; ++frame) ASSERT_EQ(integrate_frame(sim), FrameEnd::reached);
    Placements placements;
    read_placements(sim, placements);
    const auto& bodies = placements.bodies;
    ASSERT_EQ(bodies.size(), static_cast<size_t>(parameters.links + 1));
    double largest_angle = 0.0;  // bent, so that a swapped sine would show
    for (size_t k = 0; k < bodies.size(); ++k) {
      largest_angle = std::fmax(largest_angle, std::fabs(bodies[k].angle));
      EXPECT_NEAR(bodies[k].cos_angle, std::cos(bodies[k].angle), 1e-12) << k;
      EXPECT_NEAR(bodies[k].sin_angle, std::sin(bodies[k].angle), 1e-12) << k;
      const Point end = placement_point(bodies[k], {bodies[k].length, 0.0});
      const Point next = k + 1 < bodies.size() ? bodies[k + 1].origin : placements.far_end;
      EXPECT_NEAR(end[0], next[0], 1e-12) << k;
      EXPECT_NEAR(end[1], next[1], 1e-12) << k;
    }
    EXPECT_GT(largest_angle, 0.05);
  }
}

}  // namespace
