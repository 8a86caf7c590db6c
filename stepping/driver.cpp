#include "stepping/driver.hpp"

#include <algorithm>
#include <cmath>

#include "stepping/measures.hpp"

// Time and step size travel with the state (after it), and a method with a record of its own
// keeps a copy, so that an interrupted frame can be undone whole: the next frame then runs exactly
// as it would have.
static void save_frame_start(Simulation& sim) {
  double* saved = sim.frame_start.data();
  std::copy(sim.state.begin(), sim.state.end(), saved);
  saved[sim.layout.dimension] = sim.time;
  saved[sim.layout.dimension + 1] = sim.step_size;
  keep_method_frame_start(sim);
  sim.frame_start_kept = true;
}

static void restore_frame_start(Simulation& sim) {
  const double* saved = sim.frame_start.data();
  sim.time = saved[sim.layout.dimension];
  sim.step_size = saved[sim.layout.dimension + 1];
  undo_method_frame(sim);
  undo_dissipation_frame(sim);
  std::copy(saved, saved + sim.layout.dimension, sim.state.begin());
}

static FrameEnd failed_step(Simulation& sim) {
  if (sim.step_interrupted) {
    restore_frame_start(sim);
    return FrameEnd::interrupted;
  }
  return sim.rope.mbs.status != MbsStatus::ok ? FrameEnd::core_failure : FrameEnd::step_failed;
}

// Where nothing takes or gives energy, a method's error shows as a slow drift of it: undamped, at
// 1e-8, 2 s of the 24-link rope drifted by 5e-8 to 7e-6 of its energy by method. The frame
// then ends on the energy it started with, by scaling the momenta and the carriages' velocities,
// which scales the kinetic energy by the square and leaves the placements alone. A correction
// beyond a percent is no drift (a rope all but at rest, or one the method is not resolving) and is
// left alone. Starting from the frame's own state keeps a resumed run exact.
constexpr double largest_energy_correction = 0.01;

// From the state itself, however it was set (total_energy evaluates the rope there).
static double frame_start_energy(Simulation& sim) {
  return sim.keeps_energy ? total_energy(sim) : 0.0;
}

static void end_on_energy(Simulation& sim, double energy) {
  const EnergyParts end = energy_parts(sim);
  const double scale = std::sqrt((energy - end.potential) / end.kinetic);
  if (!(std::fabs(scale - 1.0) <= largest_energy_correction)) return;  // NaN too
  const StateLayout& l = sim.layout;
  for (int i = 0; i < l.coordinates; ++i) sim.state[l.momenta_start + i] *= scale;
  for (int k = 1; k < l.carriage_slots; k += 2) sim.state[l.carriages_start + k] *= scale;
}

// Each call returns only after a step that the method accepted, so the guard sees accepted
// states and never the trial stages of a rejected step.
static FrameEnd integrate_to_frame_end(Simulation& sim, double& start_energy) {
  const double t1 = sim.time + sim.frame_span;
  start_energy = frame_start_energy(sim);
  save_frame_start(sim);
  start_method_frame(sim);
  start_dissipation_frame(sim);
  while (sim.time < t1) {
    const double step_start = sim.time;
    if (method_step(sim, t1) != 0) return failed_step(sim);
    ++sim.accepted_steps;
    if (state_diverged(sim, sim.state.data())) return FrameEnd::diverged;
    accumulate_dissipation(sim, step_start);
    if (sim.interrupt_check && sim.time < t1 && sim.interrupt_check(sim.interrupt_context)) {
      restore_frame_start(sim);
      return FrameEnd::interrupted;
    }
  }
  return FrameEnd::reached;
}

// Readings describe the accepted state: an implicit method's last evaluation is a Newton iterate
// and an embedded pair's a trial stage, so they get one evaluation at the state itself.
static void refresh_after_frame(Simulation& sim, FrameEnd end, double start_energy) {
  if (end == FrameEnd::reached && sim.keeps_energy) {
    refresh_readings(sim);
    end_on_energy(sim, start_energy);
    refresh_readings(sim);
  } else if (end == FrameEnd::reached && sim.integrator.row->ends_on_accepted_state) {
    update_body_records(sim.rope.mbs);
  } else {
    refresh_readings(sim);
  }
}

FrameEnd integrate_frame(Simulation& sim) {
  double start_energy = 0.0;
  const FrameEnd end = integrate_to_frame_end(sim, start_energy);
  refresh_after_frame(sim, end, start_energy);
  return end;
}

bool undo_unfinished_frame(Simulation& sim) {
  if (!sim.frame_start_kept) return false;
  restore_frame_start(sim);
  refresh_readings(sim);
  return true;
}

FrameEnd run_frame(Simulation& sim, Script* script) {
  if (script) apply_due_moves(sim, script->moves, script->next);
  const FrameEnd end = integrate_frame(sim);
  if (end == FrameEnd::reached) ++sim.frame_count;
  return end;
}

FrameOutcome advance_frame(Simulation& sim, std::ostream& out, FrameEnd* end) {
  const FrameEnd frame_end = run_frame(sim, nullptr);
  if (end) *end = frame_end;
  // A failed step is reported and the next frame tries again, as the window always has.
  if (frame_end == FrameEnd::step_failed) {
    out << "Hamilton failed." << std::endl;
    return FrameOutcome::quiet;
  }
  if (frame_end != FrameEnd::reached) return FrameOutcome::stopped;
  if (sim.frame_count % report_period != 0) return FrameOutcome::quiet;
  return FrameOutcome::report_due;
}

const char* stop_message(const Simulation& sim, FrameEnd end) {
  if (end == FrameEnd::core_failure) return mbs_status_message(sim.rope.mbs.status);
  if (end == FrameEnd::interrupted) return interruption_message;
  if (end == FrameEnd::step_failed) return step_failure_message;
  return divergence_message;
}
