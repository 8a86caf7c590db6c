// The default rope started as the window program starts it (model, integrator, initial state),
// afresh for every test; sim() is the simulation the test drives.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <sstream>

#include "stepping/driver.hpp"
#include "stepping/simulation.hpp"

// The default rope's ODE state: q (27), p (27), then x1, v1, x2, v2.
constexpr StateLayout rope_layout = state_layout(rope_body_count - 1);
constexpr int ode_dimension = rope_layout.dimension;             // 58
constexpr int momenta_offset = rope_layout.momenta_start;        // 27
constexpr int carriages_offset = rope_layout.carriages_start;    // 54

inline std::unique_ptr<Simulation>& current_simulation() {
  static std::unique_ptr<Simulation> simulation;
  return simulation;
}

inline Simulation& sim() { return *current_simulation(); }

inline Simulation& start_default_simulation() {
  current_simulation() = std::make_unique<Simulation>();
  EXPECT_EQ(start_simulation(sim()), MbsStatus::ok);
  return sim();
}

// Runs n frames, discarding the report lines.
inline void run_frames(int n) {
  std::ostringstream sink;
  for (int i = 0; i < n; ++i) advance_frame(sim(), sink);
}
