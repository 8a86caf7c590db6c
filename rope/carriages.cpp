#include "rope/carriages.hpp"

namespace {

// Drive spring towards the target, damping on the carriage's own velocity, and the reaction of
// the end's coupling along x (relative velocity in its damping).
double carriage_acceleration(const Carriages& c, int k, double x, double v, const HeldEnd& end) {
  const AnchorSpring& coupling = c.coupling[k];
  const double force = (c.drive_target[k] - x) * c.drive_stiffness[k] - c.drive_damping[k] * v -
                       (x - end.position) * coupling.stiffness_x -
                       (v - end.velocity) * coupling.damping_x;
  return force * (1.0 / c.carriage_mass[k]);
}

double square(double x) {
  return x * x;
}

}  // namespace

void place_carriages(Carriages& c, const double state[carriage_state_count]) {
  for (int i = 0; i < carriage_state_count; ++i) c.carriage_state[i] = state[i];
  c.carriage_anchor[0] = state[0];
  c.carriage_anchor[1] = 0.0;
  c.carriage_anchor[2] = state[2];
  c.carriage_anchor[3] = 0.0;
}

void carriage_rates(const Carriages& c, const Body& first, const Body& last,
                    double rates[carriage_state_count]) {
  const HeldEnd ends[2] = {held_end(c.coupling[0], first), held_end(c.coupling[1], last)};
  for (int k = 0; k < 2; ++k) {
    const double x = c.carriage_state[2 * k], v = c.carriage_state[2 * k + 1];
    rates[2 * k] = v;
    rates[2 * k + 1] = carriage_acceleration(c, k, x, v, ends[k]);
  }
}

double carriage_kinetic_energy(const Carriages& c) {
  double energy = 0.0;
  for (int k = 0; k < 2; ++k) {
    const double v = c.carriage_state[2 * k + 1];
    energy += 0.5 * c.carriage_mass[k] * v * v;
  }
  return energy;
}

double drive_energy(const Carriages& c) {
  double energy = 0.0;
  for (int k = 0; k < 2; ++k)
    energy += 0.5 * c.drive_stiffness[k] * square(c.drive_target[k] - c.carriage_state[2 * k]);
  return energy;
}
