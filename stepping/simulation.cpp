#include "stepping/simulation.hpp"

#include <gsl/gsl_errno.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>

namespace {

// The coupling is registered by pointer: hamilton_rhs fills the anchors before they are read.
void bind_coupling(RopeModel& rope) {
  Carriages& c = rope.carriages;
  bind_carriage_coupling(rope.mbs, c.carriage_anchor, c.stiffness_x, c.damping_x, c.stiffness_y,
                         c.damping_y, c.stiffness_angle, c.damping_angle);
  bind_far_end_hold(rope.mbs, c.held_point, c.force_at_held_point);
}

void fill_state(Simulation& sim) {
  const Mbs& mbs = sim.rope.mbs;
  const int n = sim.coordinate_count;
  for (int i = 0; i < n; ++i) sim.state[i] = mbs.q[i];
  for (int i = 0; i < n; ++i) sim.state[n + i] = mbs.p[i];
  for (int i = 0; i < carriage_state_count; ++i)
    sim.state[2 * n + i] = sim.rope.carriages.carriage_state[i];
}

// World x position and x velocity of a chain end. Carriage 1 holds body 0's origin; carriage 2
// holds the far end of the last link, and its damping uses the velocity of the point where the
// chain-end force acts: the link's origin by default, the far end itself when the force acts
// there.
struct ChainEnd {
  double position;
  double velocity;
};

ChainEnd first_end(const Body& body) {
  const Triple a = rotate_to_world(body, body.velocity);
  return {body.position[0], a[0]};
}

ChainEnd last_end(const Body& body, const Carriages& c) {
  const Triple b = rotate_to_world(body, body.velocity);
  const Point e = point_to_world(body, {c.held_point[0], c.held_point[1]});
  if (!c.force_at_held_point) return {e[0], b[0]};
  return {e[0], b[0] - b[2] * (e[1] - body.position[1])};  // v + w x r, its x component
}

// Drive spring towards the target, damping on the carriage's own velocity, and the reaction of
// the chain-end coupling along x (relative velocity in its damping).
double carriage_acceleration(const Carriages& c, int k, double x, double v, const ChainEnd& end) {
  const double force = (c.drive_target[k] - x) * c.drive_stiffness[k] - c.drive_damping[k] * v -
                       (x - end.position) * c.stiffness_x[k] - (v - end.velocity) * c.damping_x[k];
  return force * (1.0 / c.carriage_mass[k]);
}

}  // namespace

MbsStatus start_simulation(Simulation& sim, const RopeParameters& parameters) {
  sim.parameters = parameters;
  const MbsStatus assembled = assemble_rope(sim.rope, parameters);
  if (assembled != MbsStatus::ok) return assembled;
  sim.coordinate_count = sim.rope.mbs.coordinate_count;
  sim.dimension = 2 * sim.coordinate_count + carriage_state_count;
  try {
    sim.state.assign(static_cast<size_t>(sim.dimension), 0.0);
    sim.frame_start.assign(static_cast<size_t>(sim.dimension) + 2, 0.0);
    sim.scratch_rates.assign(static_cast<size_t>(sim.dimension), 0.0);
  } catch (const std::bad_alloc&) {
    return MbsStatus::out_of_memory;
  }
  bind_coupling(sim.rope);
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
  Carriages& c = rope.carriages;
  const int n = sim.coordinate_count;
  const int carriages = 2 * n;
  const size_t coordinate_bytes = static_cast<size_t>(n) * sizeof(double);
  std::memcpy(mbs.q, y, coordinate_bytes);
  std::memcpy(mbs.p, y + n, coordinate_bytes);
  std::memcpy(c.carriage_state, y + carriages, sizeof c.carriage_state);
  const double* carriage = c.carriage_state;
  c.carriage_anchor[0] = carriage[0];
  c.carriage_anchor[1] = 0.0;
  c.carriage_anchor[2] = carriage[2];
  c.carriage_anchor[3] = 0.0;

  if (run_rhs_passes(mbs) != MbsStatus::ok) return GSL_EBADFUNC;

  const ChainEnd ends[2] = {first_end(rope.bodies.front()), last_end(rope.bodies.back(), c)};
  for (int k = 0; k < 2; ++k) {
    const double x = carriage[2 * k], v = carriage[2 * k + 1];
    dydt[carriages + 2 * k] = v;
    dydt[carriages + 2 * k + 1] = carriage_acceleration(c, k, x, v, ends[k]);
  }
  std::memcpy(dydt, mbs.qdot, coordinate_bytes);
  std::memcpy(dydt + n, mbs.pdot, coordinate_bytes);
  return GSL_SUCCESS;
}

int method_rhs(double t, const double y[], double dydt[], void* params) {
  ++static_cast<Simulation*>(params)->evaluations;
  return hamilton_rhs(t, y, dydt, params);
}

MbsStatus set_state(Simulation& sim, const double y[]) {
  std::copy(y, y + sim.dimension, sim.state.begin());
  return refresh_readings(sim);
}

// The set-up passes turn the rates into momenta, as at start-up; the carriages keep their state.
MbsStatus set_configuration(Simulation& sim, const double q[], const double qdot[]) {
  Mbs& mbs = sim.rope.mbs;
  const int n = sim.coordinate_count;
  std::copy(q, q + n, mbs.q);
  for (int i = 0; i < n; ++i) mbs.qdot[i] = qdot ? qdot[i] : 0.0;
  const MbsStatus set_up = run_setup_passes(mbs);
  if (set_up != MbsStatus::ok) return set_up;
  std::copy(mbs.q, mbs.q + n, sim.state.begin());
  std::copy(mbs.p, mbs.p + n, sim.state.begin() + n);
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
  int coordinate_count;
  double x_shift;  // m
};

double guarded_value(const double y[], int i, const GuardView& view) {
  const int n = view.coordinate_count;
  if (i == 0 || i == 2 * n || i == 2 * n + 2) return y[i] - view.x_shift;  // x of base, carriages
  if (i >= 2 && i < n) return std::remainder(y[i], full_turn);              // angles
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
bool state_diverged(const double y[], int coordinate_count) {
  constexpr int term_count = 50;
  constexpr double default_dimension = 58.0;
  const int dimension = 2 * coordinate_count + carriage_state_count;
  const double threshold = 10000.0 * std::fmax(1.0, dimension / default_dimension);
  const double midpoint = 0.5 * (y[2 * coordinate_count] + y[2 * coordinate_count + 2]);
  const GuardView view{coordinate_count, guard_cell * std::round(midpoint / guard_cell)};
  double sum = 0.0;
  for (int k = 0; k < term_count; ++k) {
    double term = 0.0;
    for (int i = k; i < dimension; i += term_count) term += std::fabs(guarded_value(y, i, view));
    sum += term;
  }
  if (!std::isfinite(sum)) return true;
  return std::trunc(sum) >= threshold;
}
