// Benchmarks of the engine itself: the right-hand side of the rope, the passes on chains of any
// length, and the whole frame loop.
#include <benchmark/benchmark.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <vector>

#include "stepping/driver.hpp"
#include "stepping/simulation.hpp"
#include "chain_model.hpp"

namespace {

// The rope exactly as the window program starts it, at t = 0.
std::unique_ptr<Simulation> start_rope() {
  auto sim = std::make_unique<Simulation>();
  start_simulation(*sim);
  return sim;
}

void run_frames(Simulation& sim, int frames) {
  for (int frame = 0; frame < frames; ++frame) integrate_frame(sim);
}

// One hamilton_rhs call on the rope after 1 s of simulated motion.
void rope_rhs(benchmark::State& state) {
  auto sim = start_rope();
  run_frames(*sim, 100);
  std::vector<double> y = sim->state, dydt(y.size());
  for (auto _ : state) {
    hamilton_rhs(0.0, y.data(), dydt.data(), sim.get());
    benchmark::DoNotOptimize(dydt.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(rope_rhs);

// One hamilton_rhs call on a rope of N links, 1 m long, lying straight along the ground and
// sliding along it at 0.1 m/s: every body in contact, with friction (world 1), or in water instead
// (world 2), against the same rope with no world (world 0).
void rope_rhs_in_the_world(benchmark::State& state) {
  RopeParameters p;
  p.links = static_cast<int>(state.range(0));
  p.link_length = 1.0 / (p.links + 1);
  p.link_mass = 1.0 / (p.links + 1);
  p.carriage_start = p.carriage_target = {0.0, 1.0};
  if (state.range(1) == 1) {
    p.ground_height = 1e-4;  // every body 0.1 mm deep
    p.friction = 0.3;
  } else if (state.range(1) == 2) {
    p.fluid_density = 1000.0;
  }
  auto sim = std::make_unique<Simulation>();
  start_simulation(*sim, p);
  std::vector<double> q(sim->state.begin(), sim->state.begin() + sim->layout.coordinates);
  std::vector<double> rates(q.size(), 0.0);
  rates[0] = 0.1;
  set_configuration(*sim, q.data(), rates.data());
  std::vector<double> y = sim->state, dydt(y.size());
  for (auto _ : state) {
    hamilton_rhs(0.0, y.data(), dydt.data(), sim.get());
    benchmark::DoNotOptimize(dydt.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(rope_rhs_in_the_world)->ArgsProduct({{24, 1000, 10000}, {0, 1, 2}});

// One run_rhs_passes on a chain of N bodies. The base angle changes every iteration (two values
// in turn), as an integrator would change the state.
void chain_rhs(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  auto chain = std::make_unique<Chain>();
  if (!build_chain(*chain, n)) {
    state.SkipWithError(mbs_status_message(chain->mbs.status));
    return;
  }
  set_moving_state(*chain);
  Mbs& mbs = chain->mbs;
  const double angle = mbs.q[2];
  long long iteration = 0;
  for (auto _ : state) {
    mbs.q[2] = angle + 1e-9 * static_cast<double>(iteration++ & 1);
    run_rhs_passes(mbs);
    benchmark::DoNotOptimize(mbs.pdot[mbs.coordinate_count - 1]);
    benchmark::ClobberMemory();
  }
  // Time per iteration divided by N: an inverted rate, shown in seconds with its prefix ("30.1ns").
  state.counters["time_per_body"] = benchmark::Counter(
      n, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(chain_rhs)->Arg(25)->Arg(100)->Arg(1000)->Arg(10000)->Arg(100000)->Arg(1000000);

// 10 s of simulated time through the frame loop of the window program, without the window.
void rope_simulate_10s(benchmark::State& state) {
  std::ostream no_report(nullptr);
  long long evaluations = 0;
  double wall = 0.0;  // s, the frames alone
  for (auto _ : state) {
    state.PauseTiming();
    auto sim = start_rope();
    state.ResumeTiming();
    const auto started = std::chrono::steady_clock::now();
    for (int frame = 0; frame < 1000; ++frame) advance_frame(*sim, no_report);
    wall += std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    evaluations += sim->evaluations;
  }
  const double simulated = 10.0 * static_cast<double>(state.iterations());
  // Simulated seconds per wall second: a plain number (a rate counter would print it as "/s").
  state.counters["real_time_factor"] = simulated / wall;
  state.counters["rhs_per_sim_second"] = static_cast<double>(evaluations) / simulated;
}
BENCHMARK(rope_simulate_10s)->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
