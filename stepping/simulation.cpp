#include "stepping/simulation.hpp"

#include <gsl/gsl_errno.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace {

void fill_state(Simulation& sim) {
  const Mbs& mbs = sim.rope.mbs;
  const StateLayout& l = sim.layout;
  for (int i = 0; i < l.coordinates; ++i) sim.state[i] = mbs.q[i];
  for (int i = 0; i < l.coordinates; ++i) sim.state[l.momenta_start + i] = mbs.p[i];
  for (int i = 0; i < l.carriage_slots; ++i)
    sim.state[l.carriages_start + i] = sim.rope.carriages.carriage_state[i];
}

}  // namespace

MbsStatus start_simulation(Simulation& sim, const RopeParameters& parameters) {
  sim.parameters = parameters;
  const MbsStatus assembled = assemble_rope(sim.rope, parameters);
  if (assembled != MbsStatus::ok) return assembled;
  sim.layout = state_layout(parameters.links);
  try {
    sim.state.assign(static_cast<size_t>(sim.layout.dimension), 0.0);
    sim.frame_start.assign(static_cast<size_t>(sim.layout.dimension) + 2, 0.0);
    sim.scratch_rates.assign(static_cast<size_t>(sim.layout.dimension), 0.0);
  } catch (const std::bad_alloc&) {
    return MbsStatus::out_of_memory;
  }
  const MbsStatus set_up = run_setup_passes(sim.rope.mbs);
  if (set_up != MbsStatus::ok) return set_up;
  fill_state(sim);
  sim.settings = RunSettings{};
  if (use_integrator(sim, sim.settings) != MethodStatus::ok) return MbsStatus::out_of_memory;
  return refresh_readings(sim);
}

// The integrator rewrites everything an evaluation touches from its own state, so this extra
// evaluation leaves the trajectory as it was.
MbsStatus refresh_readings(Simulation& sim) {
  if (hamilton_rhs(sim.time, sim.state.data(), sim.scratch_rates.data(), &sim) != GSL_SUCCESS)
    return sim.rope.mbs.status;
  update_body_records(sim.rope.mbs);
  return MbsStatus::ok;
}

MbsStatus state_rates(Simulation& sim, const double y[], double dydt[]) {
  const MbsStatus met =
      hamilton_rhs(sim.time, y, dydt, &sim) == GSL_SUCCESS ? MbsStatus::ok : sim.rope.mbs.status;
  refresh_readings(sim);
  return met;
}

int hamilton_rhs(double, const double y[], double dydt[], void* params) {
  Simulation& sim = *static_cast<Simulation*>(params);
  RopeModel& rope = sim.rope;
  Mbs& mbs = rope.mbs;
  const StateLayout& l = sim.layout;
  const size_t coordinate_bytes = static_cast<size_t>(l.coordinates) * sizeof(double);
  std::memcpy(mbs.q, y, coordinate_bytes);
  std::memcpy(mbs.p, y + l.momenta_start, coordinate_bytes);
  place_carriages(rope.carriages, y + l.carriages_start);

  if (run_rhs_passes(mbs) != MbsStatus::ok) return GSL_EBADFUNC;

  carriage_rates(rope.carriages, rope.bodies.front(), rope.bodies.back(),
                 dydt + l.carriages_start);
  std::memcpy(dydt, mbs.qdot, coordinate_bytes);
  std::memcpy(dydt + l.momenta_start, mbs.pdot, coordinate_bytes);
  return GSL_SUCCESS;
}

int method_rhs(double t, const double y[], double dydt[], void* params) {
  ++static_cast<Simulation*>(params)->evaluations;
  return hamilton_rhs(t, y, dydt, params);
}

MbsStatus set_state(Simulation& sim, const double y[]) {
  std::copy(y, y + sim.layout.dimension, sim.state.begin());
  return refresh_readings(sim);
}

// The set-up passes turn the rates into momenta, as at start-up; the carriages keep their state.
MbsStatus set_configuration(Simulation& sim, const double q[], const double qdot[]) {
  Mbs& mbs = sim.rope.mbs;
  const int n = sim.layout.coordinates;
  std::copy(q, q + n, mbs.q);
  for (int i = 0; i < n; ++i) mbs.qdot[i] = qdot ? qdot[i] : 0.0;
  const MbsStatus set_up = run_setup_passes(mbs);
  if (set_up != MbsStatus::ok) return set_up;
  std::copy(mbs.q, mbs.q + n, sim.state.begin());
  std::copy(mbs.p, mbs.p + n, sim.state.begin() + sim.layout.momenta_start);
  return refresh_readings(sim);
}

void set_target(Simulation& sim, int carriage, double x) {
  if (carriage == 1 || carriage == 2) sim.rope.carriages.drive_target[carriage - 1] = x;
}

namespace {

// The guard looks at the rope as it would look at home: along x from the nearest multiple of
// this to the carriages' midpoint (the equations do not change when the whole rope moves along
// x), and every angle modulo whole turns. Both are the identity for a rope within 50 m of the
// origin whose angles stay within half a turn.
constexpr double guard_cell = 100.0;  // m
constexpr double full_turn = 6.283185307179586;

struct GuardView {
  StateLayout layout;
  double x_shift;  // m
};

double guarded_value(const double y[], int i, const GuardView& view) {
  const int x1 = view.layout.carriages_start, x2 = x1 + 2;
  if (i == 0 || i == x1 || i == x2) return y[i] - view.x_shift;  // x of base, carriages
  if (i >= 2 && i < view.layout.coordinates) return std::remainder(y[i], full_turn);  // angles
  return y[i];
}

}  // namespace

// The measure is a sum of fifty magnitudes that together cover every state component: term k adds
// |y[k]|, |y[k + 50]|, ... In normal motion it stays near 100 (angles of a few radians, positions
// near 1 m, small momenta); the guard fires when the sum, truncated toward zero, reaches 10000 for
// the default rope's 58 components, and proportionally more for a longer state, whose normal sum is
// proportionally larger. Non-finite values fire it before any truncation, and the comparison is
// made in floating point, so there is no out-of-range conversion. The driver applies it to
// accepted states only: a trial stage of a step that the step-size control rejects may be far off
// without anything being wrong.
bool state_diverged(const double y[], const StateLayout& layout) {
  constexpr int term_count = 50;
  constexpr double default_dimension = 58.0;
  const int dimension = layout.dimension;
  const double threshold = 10000.0 * std::fmax(1.0, dimension / default_dimension);
  const double midpoint = 0.5 * (y[layout.carriages_start] + y[layout.carriages_start + 2]);
  const GuardView view{layout, guard_cell * std::round(midpoint / guard_cell)};
  double sum = 0.0;
  for (int k = 0; k < term_count; ++k) {
    double term = 0.0;
    for (int i = k; i < dimension; i += term_count) term += std::fabs(guarded_value(y, i, view));
    sum += term;
  }
  if (!std::isfinite(sum)) return true;
  return std::trunc(sum) >= threshold;
}
