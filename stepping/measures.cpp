#include "stepping/measures.hpp"

#include <cmath>
#include <limits>

namespace {

double square(double x) {
  return x * x;
}

double chain_kinetic_energy(const Mbs& mbs) {
  double twice = 0.0;
  for (int i = 0; i < mbs.coordinate_count; ++i) twice += mbs.p[i] * mbs.qdot[i];
  return 0.5 * twice;
}

// Weight on the height of each centre of mass, and the torsional springs of the joints.
double chain_potential_energy(const RopeModel& rope) {
  double energy = 0.0;
  for (const Body& body : rope.bodies) {
    const Point com = point_to_world(body, body.com);
    energy += body.inertia[0] * rope.mbs.gravity * com[1];
    for (int i = 0; i < body.type->coordinate_count; ++i)
      energy += 0.5 * body.joint_stiffness[i] * square(body.q[i] - body.joint_rest[i]);
  }
  return energy;
}

double carriage_energy(const Carriages& c, const std::array<Point, 2>& ends,
                       const std::array<double, 2>& end_angles) {
  double energy = 0.0;
  for (int k = 0; k < 2; ++k) {
    const double x = c.carriage_state[2 * k], v = c.carriage_state[2 * k + 1];
    energy += 0.5 * c.carriage_mass[k] * v * v;
    energy += 0.5 * c.drive_stiffness[k] * square(c.drive_target[k] - x);
    energy += 0.5 * c.stiffness_x[k] * square(x - ends[k][0]);
    energy += 0.5 * c.stiffness_y[k] * square(ends[k][1]);
    energy += 0.5 * c.stiffness_angle[k] * square(end_angles[k]);
  }
  return energy;
}

}  // namespace

std::array<Point, 2> chain_ends(const Simulation& sim) {
  const Body& last = sim.rope.bodies.back();
  const double* held = sim.rope.carriages.held_point;
  return {sim.rope.bodies.front().position, point_to_world(last, {held[0], held[1]})};
}

double total_energy(Simulation& sim) {
  if (refresh_readings(sim) != MbsStatus::ok) return std::numeric_limits<double>::quiet_NaN();
  const RopeModel& rope = sim.rope;
  const std::array<double, 2> end_angles = {rope.bodies.front().angle, rope.bodies.back().angle};
  return chain_kinetic_energy(rope.mbs) + chain_potential_energy(rope) +
         carriage_energy(rope.carriages, chain_ends(sim), end_angles);
}

std::array<double, 2> end_spring_forces(const Simulation& sim) {
  const std::array<Point, 2> ends = chain_ends(sim);
  const Carriages& c = sim.rope.carriages;
  std::array<double, 2> forces{};
  for (int k = 0; k < 2; ++k)
    forces[k] = -(c.carriage_state[2 * k] - ends[k][0]) * c.stiffness_x[k];
  return forces;
}
