// Start-up as the program runs it before the window opens (integrator, model, initial state),
// repeatable within one test process.
#pragma once

#include <gtest/gtest.h>

#include <sstream>

#include "app/driver.hpp"
#include "app/simulation.hpp"

inline void start_simulation() {
  static bool integrator_created = false;
  if (!integrator_created) {
    create_integrator();
    integrator_created = true;
  }
  testing::internal::CaptureStdout();  // the start-up line
  init_model();
  testing::internal::GetCapturedStdout();
  init_state();
  reset_driver();
}

// Runs n frames, discarding the report lines.
inline void run_frames(int n) {
  std::ostringstream sink;
  for (int i = 0; i < n; ++i) advance_frame(sink);
}
