#include "app/simulation.hpp"

#include <gsl/gsl_errno.h>

#include <cmath>
#include <memory>

#include "app/driver.hpp"

RopeModel rope;
double ode_state[ode_dimension];
gsl_odeiv_system ode_system = {hamilton_rhs, nullptr, ode_dimension, nullptr};

void init_model() {
  // The bodies point into the system, which cannot be assigned: the rope is rebuilt in place.
  std::destroy_at(&rope);
  std::construct_at(&rope);
  assemble_rope(rope);
  frame_count = 0;
}

void init_state() {
  Carriages& c = rope.carriages;
  bind_carriage_coupling(rope.mbs, c.carriage_anchor, c.stiffness_x, c.damping_x, c.stiffness_y,
                         c.damping_y, c.stiffness_angle, c.damping_angle);
  run_setup_passes(rope.mbs);
  for (int i = 0; i < rope_coordinate_count; ++i) ode_state[i] = rope.mbs.q[i];
  for (int i = 0; i < rope_coordinate_count; ++i) ode_state[momenta_offset + i] = rope.mbs.p[i];
  for (int i = 0; i < carriage_state_count; ++i)
    ode_state[carriages_offset + i] = c.carriage_state[i];
}

// World x position and x velocity of a chain end. Carriage 1 holds body 0's origin; carriage 2
// holds the far end (offset_x, 0) of the last link, but its damping uses that link's origin
// velocity, as the chain-end force does.
struct ChainEnd {
  double position;
  double velocity;
};

static ChainEnd first_end(const Body& body) {
  const Triple a = rotate_to_world(body, body.velocity);
  return {body.position[0], a[0]};
}

static ChainEnd last_end(const Body& body) {
  const Triple b = rotate_to_world(body, body.velocity);
  const Point e = point_to_world(body, {body.joint[offset_x], 0.0});
  return {e[0], b[0]};
}

// Drive spring towards the target, damping on the carriage's own velocity, and the reaction of
// the chain-end coupling along x (relative velocity in its damping).
static double carriage_acceleration(const Carriages& c, int k, double x, double v,
                                    const ChainEnd& end) {
  const double force = (c.drive_target[k] - x) * c.drive_stiffness[k] - c.drive_damping[k] * v -
                       (x - end.position) * c.stiffness_x[k] - (v - end.velocity) * c.damping_x[k];
  return force * (1.0 / c.carriage_mass[k]);
}

int hamilton_rhs(double, const double y[], double dydt[], void*) {
  Mbs& mbs = rope.mbs;
  Carriages& c = rope.carriages;
  for (int i = 0; i < rope_coordinate_count; ++i) {
    mbs.q[i] = y[i];
    mbs.p[i] = y[momenta_offset + i];
  }
  for (int i = 0; i < carriage_state_count; ++i) c.carriage_state[i] = y[carriages_offset + i];
  const double* carriage = c.carriage_state;
  c.carriage_anchor[0] = carriage[0];
  c.carriage_anchor[1] = 0.0;
  c.carriage_anchor[2] = carriage[2];
  c.carriage_anchor[3] = 0.0;

  // A failure stays in mbs.status for the driver; the integrator is told the step is unusable.
  if (run_rhs_passes(mbs) != MbsStatus::ok) return GSL_EBADFUNC;

  const ChainEnd ends[2] = {first_end(rope.bodies[0]), last_end(rope.bodies[rope_body_count - 1])};
  for (int k = 0; k < 2; ++k) {
    const double x = carriage[2 * k], v = carriage[2 * k + 1];
    dydt[carriages_offset + 2 * k] = v;
    dydt[carriages_offset + 2 * k + 1] = carriage_acceleration(c, k, x, v, ends[k]);
  }
  for (int i = 0; i < rope_coordinate_count; ++i) {
    dydt[i] = mbs.qdot[i];
    dydt[momenta_offset + i] = mbs.pdot[i];
  }
  return GSL_SUCCESS;
}

// The measure is a sum of fifty magnitudes that together cover every state component: term k adds
// |y[k]|, |y[k + 50]|, ... In normal motion it stays near 100 (angles of a few radians, positions
// near 1 m, small momenta); the guard fires when the sum, truncated toward zero, reaches 10000.
// Non-finite values fire it before any truncation, and the comparison is made in floating point,
// so there is no out-of-range conversion. The driver applies it to accepted states only: a trial
// stage of a step that the step-size control rejects may be far off without anything being wrong.
bool state_diverged(const double y[]) {
  constexpr int term_count = 50;
  constexpr double threshold = 10000.0;
  double sum = 0.0;
  for (int k = 0; k < term_count; ++k) {
    double term = 0.0;
    for (int i = k; i < ode_dimension; i += term_count) term += std::fabs(y[i]);
    sum += term;
  }
  if (!std::isfinite(sum)) return true;
  return std::trunc(sum) >= threshold;
}
