#include "app/driver.hpp"

#include <algorithm>
#include <chrono>

namespace {
const auto process_start = std::chrono::steady_clock::now();
}  // namespace

long clock_ms() {
  const auto elapsed = std::chrono::steady_clock::now() - process_start;
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

// Time and step size travel with the state (after it), so that an interrupted frame can be undone
// whole: the next frame then runs exactly as it would have.
static void save_frame_start(Simulation& sim) {
  double* saved = sim.frame_start.data();
  std::copy(sim.state.begin(), sim.state.end(), saved);
  saved[sim.dimension] = sim.time;
  saved[sim.dimension + 1] = sim.step_size;
}

// One evaluation at the restored state puts the bodies where that state has them.
static void restore_frame_start(Simulation& sim) {
  double* saved = sim.frame_start.data();
  sim.time = saved[sim.dimension];
  sim.step_size = saved[sim.dimension + 1];
  std::copy(saved, saved + sim.dimension, sim.state.begin());
  sim.system.function(sim.time, sim.state.data(), saved, sim.system.params);
}

// One accepted step of the simulation's method towards t1.
static int accepted_step(Simulation& sim, double t1) {
  if (sim.alternative) return alternative_step(sim, t1);
  return sim.evolve_apply(sim.evolve.get(), sim.control.get(), sim.step.get(), &sim.system,
                          &sim.time, t1, &sim.step_size, sim.state.data());
}

// Each call returns only after a step that the method accepted, so the guard sees accepted
// states and never the trial stages of a rejected step.
static FrameEnd integrate_to_frame_end(Simulation& sim) {
  const double t1 = sim.time + sim.frame_span;
  const bool interruptible = sim.interrupt_check != nullptr;
  if (interruptible) save_frame_start(sim);
  while (sim.time < t1) {
    const int status = accepted_step(sim, t1);
    if (status != 0 && integrator_interrupted(sim)) {
      restore_frame_start(sim);
      return FrameEnd::interrupted;
    }
    if (status != 0) {
      sim.evolve_status = status;
      return sim.rope.mbs.status != MbsStatus::ok ? FrameEnd::core_failure
                                                  : FrameEnd::evolve_failed;
    }
    ++sim.accepted_steps;
    if (state_diverged(sim.state.data(), sim.dimension)) return FrameEnd::diverged;
    if (interruptible && sim.time < t1 && sim.interrupt_check(sim.interrupt_context)) {
      restore_frame_start(sim);
      return FrameEnd::interrupted;
    }
  }
  return FrameEnd::reached;
}

// Drawing and measuring code reads the bodies' records after a frame: they get the placements of
// the frame's last evaluation, once per frame rather than once per evaluation.
FrameEnd integrate_frame(Simulation& sim) {
  const FrameEnd end = integrate_to_frame_end(sim);
  update_body_records(sim.rope.mbs);
  return end;
}

bool undo_unfinished_frame(Simulation& sim) {
  if (sim.interrupt_check == nullptr) return false;
  restore_frame_start(sim);
  update_body_records(sim.rope.mbs);
  return true;
}

FrameOutcome advance_frame(Simulation& sim, std::ostream& out, FrameEnd* end) {
  if (!sim.clock_started) {
    sim.clock_started = true;
    sim.start_clock = static_cast<double>(clock_ms());
  }
  const FrameEnd frame_end = integrate_frame(sim);
  if (end) *end = frame_end;
  // An interrupted frame was undone: like a failure it is neither counted nor reported.
  if (frame_end == FrameEnd::diverged || frame_end == FrameEnd::core_failure ||
      frame_end == FrameEnd::interrupted)
    return FrameOutcome::stopped;
  if (frame_end == FrameEnd::evolve_failed) out << "Hamilton failed." << std::endl;
  ++sim.frame_count;
  if (sim.frame_count % report_period != 0) return FrameOutcome::quiet;
  out << "SimTime :  " << sim.time << " s." << std::endl;
  out << "RealTime : " << (static_cast<double>(clock_ms()) - sim.start_clock) * 0.001 << " s."
      << std::endl;
  return FrameOutcome::reported;
}

const char* stop_message(const Simulation& sim, FrameEnd end) {
  if (end == FrameEnd::core_failure) return mbs_status_message(sim.rope.mbs.status);
  if (end == FrameEnd::interrupted) return interruption_message;
  return divergence_message;
}
