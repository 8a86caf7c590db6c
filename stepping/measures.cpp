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

// The joints' torsional springs.
double joint_spring_energy(const RopeModel& rope) {
  double energy = 0.0;
  for (const Body& body : rope.bodies)
    for (int i = 0; i < body.type->coordinate_count; ++i)
      energy += 0.5 * body.joint_stiffness[i] * square(body.q[i] - body.joint_rest[i]);
  return energy;
}

// Every force element's potential energy, in the order they act.
double element_energy(const Mbs& mbs) {
  double energy = 0.0;
  for (const ForceElement& element : mbs.force_elements)
    if (element.type->potential_energy) energy += element.type->potential_energy(element, mbs);
  return energy;
}

}  // namespace

std::array<Point, 2> chain_ends(const Simulation& sim) {
  const Carriages& c = sim.rope.carriages;
  return {held_point_in_world(c.coupling[0], sim.rope.bodies.front()),
          held_point_in_world(c.coupling[1], sim.rope.bodies.back())};
}

double total_energy(Simulation& sim) {
  if (refresh_readings(sim) != MbsStatus::ok) return std::numeric_limits<double>::quiet_NaN();
  const RopeModel& rope = sim.rope;
  return chain_kinetic_energy(rope.mbs) + element_energy(rope.mbs) + joint_spring_energy(rope) +
         carriage_energy(rope.carriages);
}

std::array<double, 2> end_spring_forces(const Simulation& sim) {
  const std::array<Point, 2> ends = chain_ends(sim);
  const Carriages& c = sim.rope.carriages;
  std::array<double, 2> forces{};
  for (int k = 0; k < 2; ++k)
    forces[k] = -(c.carriage_state[2 * k] - ends[k][0]) * c.coupling[k].stiffness_x;
  return forces;
}
