#include "app/driver.hpp"

#include <chrono>

#include "app/simulation.hpp"

double sim_time = 0.0;
double frame_span = 0.01;
constexpr double initial_step_size = 0.00025;
double step_size = initial_step_size;
int32_t frame_count = 0;

gsl_odeiv_step* integration_step = nullptr;
gsl_odeiv_evolve* integration_evolve = nullptr;
gsl_odeiv_control* integration_control = gsl_odeiv_control_y_new(1e-06, 1e-06);
EvolveApply evolve_apply = gsl_odeiv_evolve_apply;

namespace {
const auto process_start = std::chrono::steady_clock::now();
bool started = false;
double start_clock = 0.0;
}  // namespace

void create_integrator() {
  integration_step = gsl_odeiv_step_alloc(gsl_odeiv_step_rk4, ode_dimension);
  integration_evolve = gsl_odeiv_evolve_alloc(ode_dimension);
}

void reset_driver() {
  sim_time = 0.0;
  step_size = initial_step_size;
  frame_count = 0;
  started = false;
  start_clock = 0.0;
  evolve_apply = gsl_odeiv_evolve_apply;
  if (integration_step) gsl_odeiv_step_reset(integration_step);
  if (integration_evolve) gsl_odeiv_evolve_reset(integration_evolve);
}

long clock_ms() {
  const auto elapsed = std::chrono::steady_clock::now() - process_start;
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

// The evolve call returns only after a step that the control accepted, so the guard sees accepted
// states and never the trial stages of a rejected step.
FrameEnd integrate_frame() {
  const double t1 = sim_time + frame_span;
  while (sim_time < t1) {
    const int status = evolve_apply(integration_evolve, integration_control, integration_step,
                                    &ode_system, &sim_time, t1, &step_size, ode_state);
    if (status != 0)
      return rope.mbs.status != MbsStatus::ok ? FrameEnd::core_failure : FrameEnd::evolve_failed;
    if (state_diverged(ode_state)) return FrameEnd::diverged;
  }
  return FrameEnd::reached;
}

FrameOutcome advance_frame(std::ostream& out) {
  if (!started) {
    started = true;
    start_clock = static_cast<double>(clock_ms());
  }
  const FrameEnd end = integrate_frame();
  if (end == FrameEnd::diverged) return FrameOutcome::diverged;
  if (end == FrameEnd::core_failure) return FrameOutcome::core_failure;
  if (end == FrameEnd::evolve_failed) out << "Hamilton failed." << std::endl;
  ++frame_count;
  if (frame_count % report_period != 0) return FrameOutcome::quiet;
  out << "SimTime :  " << sim_time << " s." << std::endl;
  out << "RealTime : " << (static_cast<double>(clock_ms()) - start_clock) * 0.001 << " s."
      << std::endl;
  return FrameOutcome::reported;
}
