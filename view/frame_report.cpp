#include "view/frame_report.hpp"

namespace {

double seconds_since_start(const FrameClock& clock) {
  const auto elapsed = std::chrono::steady_clock::now() - clock.start;
  const auto whole_ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
  return static_cast<double>(whole_ms) * 0.001;
}

}  // namespace

FrameOutcome window_frame(Simulation& sim, FrameClock& clock, std::ostream& out, FrameEnd* end) {
  if (!clock.started) {
    clock.started = true;
    clock.start = std::chrono::steady_clock::now();
  }
  const FrameOutcome outcome = advance_frame(sim, out, end);
  if (outcome != FrameOutcome::report_due) return outcome;
  out << "SimTime :  " << sim.time << " s." << std::endl;
  out << "RealTime : " << seconds_since_start(clock) << " s." << std::endl;
  return outcome;
}
