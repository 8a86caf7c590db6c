// The window program's frame with its console report: the simulated time and the wall-clock time
// since the first frame. No GL in here, so the report is checked without a display.
#pragma once

#include <chrono>
#include <ostream>

#include "stepping/driver.hpp"

// The report's wall clock. It starts at the first frame, so the window's opening is not counted.
struct FrameClock {
  bool started = false;
  std::chrono::steady_clock::time_point start{};
};

// advance_frame, then on a report frame the SimTime and RealTime lines (RealTime in whole
// milliseconds since the first frame). Returns what advance_frame returned; `end` as there.
FrameOutcome window_frame(Simulation& sim, FrameClock& clock, std::ostream& out,
                          FrameEnd* end = nullptr);
