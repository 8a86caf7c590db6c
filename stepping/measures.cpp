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
  const EnergyParts parts = energy_parts(sim);
  return parts.kinetic + parts.potential;
}

EnergyParts energy_parts(const Simulation& sim) {
  const RopeModel& rope = sim.rope;
  return {chain_kinetic_energy(rope.mbs) + carriage_kinetic_energy(rope.carriages),
          element_energy(rope.mbs) + joint_spring_energy(rope) + drive_energy(rope.carriages)};
}

std::array<double, 2> end_spring_forces(const Simulation& sim) {
  const std::array<Point, 2> ends = chain_ends(sim);
  const Carriages& c = sim.rope.carriages;
  std::array<double, 2> forces{};
  for (int k = 0; k < 2; ++k)
    forces[k] = -(c.carriage_state[2 * k] - ends[k][0]) * c.coupling[k].stiffness_x;
  return forces;
}

// --- The world's readings ---------------------------------------------------------------------

namespace {

// Which of the world's elements the rope registered.
struct WorldElements {
  bool ground = false, pegs = false, fluid = false;
  bool any() const { return ground || pegs || fluid; }
};

WorldElements world_elements(const Simulation& sim) {
  WorldElements present;
  for (const ForceElement& element : sim.rope.mbs.force_elements) {
    present.ground = present.ground || element.type == &ground_contact_element;
    present.pegs = present.pegs || element.type == &peg_contact_element;
    present.fluid = present.fluid || element.type == &fluid_element;
  }
  return present;
}

Point contact_on(const Simulation& sim, const WorldElements& present, const Body& body) {
  Point force{};
  if (present.ground) {
    const Triple f = ground_force_on(sim.rope.ground, body);
    force = {force[0] + f[0], force[1] + f[1]};
  }
  if (present.pegs) {
    const Triple f = peg_force_on(sim.rope.pegs, body);
    force = {force[0] + f[0], force[1] + f[1]};
  }
  return force;
}

double drag_power_of(const Simulation& sim, const WorldElements& present) {
  double power = 0.0;
  if (present.fluid)
    for (const Body& body : sim.rope.bodies) power += fluid_drag_power_on(sim.rope.fluid, body);
  return power;
}

double dissipation_of(const Simulation& sim, const WorldElements& present) {
  double power = -drag_power_of(sim, present);
  for (const Body& body : sim.rope.bodies) {
    if (present.ground) power += ground_dissipation_on(sim.rope.ground, body);
    if (present.pegs) power += peg_dissipation_on(sim.rope.pegs, body);
  }
  return power;
}

}  // namespace

Point contact_force_on(const Simulation& sim, const Body& body) {
  return contact_on(sim, world_elements(sim), body);
}

double drag_power(const Simulation& sim) {
  return drag_power_of(sim, world_elements(sim));
}

double dissipation_power(const Simulation& sim) {
  return dissipation_of(sim, world_elements(sim));
}

void read_world(const Simulation& sim, WorldReadings& readings) {
  const WorldElements present = world_elements(sim);
  const BodyArray& bodies = sim.rope.bodies;
  readings.contact.resize(bodies.size());
  readings.contact_total = {};
  for (size_t k = 0; k < bodies.size(); ++k) {
    const Point f = contact_on(sim, present, bodies[k]);
    readings.contact[k] = f;
    readings.contact_total = {readings.contact_total[0] + f[0], readings.contact_total[1] + f[1]};
  }
  readings.drag_power = drag_power_of(sim, present);
  readings.dissipation_power = dissipation_of(sim, present);
  readings.energy_dissipated = sim.dissipation.energy;
}

// The bodies' records describe the state the frame starts from (start-up, a frame's end,
// set_state and a resumed checkpoint all leave them so): the power there is a function of the
// state alone, so a resumed run starts its first step from the same number as the original.
void start_dissipation_frame(Simulation& sim) {
  Dissipation& d = sim.dissipation;
  d.frame_start_energy = d.energy;
  const WorldElements present = world_elements(sim);
  d.active = present.any();
  if (d.active) d.power = dissipation_of(sim, present);
}

// The records follow the accepted state: rk4's last evaluation is there; the others' is a trial
// stage or a Newton iterate, so the state's placements and velocities are taken afresh. The
// dissipation reads nothing else: passes 1 and 2 do, without the forces of a whole evaluation.
static void place_at_accepted_state(Simulation& sim) {
  Mbs& mbs = sim.rope.mbs;
  const StateLayout& l = sim.layout;
  std::copy(sim.state.begin(), sim.state.begin() + l.coordinates, mbs.q);
  std::copy(sim.state.begin() + l.momenta_start, sim.state.begin() + l.carriages_start, mbs.p);
  run_velocity_passes(mbs);
}

void accumulate_dissipation(Simulation& sim, double step_start) {
  Dissipation& d = sim.dissipation;
  if (!d.active) return;
  if (!sim.integrator.row->ends_on_accepted_state) place_at_accepted_state(sim);
  update_body_records(sim.rope.mbs);
  const double power = dissipation_power(sim);
  d.energy += 0.5 * (d.power + power) * (sim.time - step_start);
  d.power = power;
}

void undo_dissipation_frame(Simulation& sim) {
  sim.dissipation.energy = sim.dissipation.frame_start_energy;
}
