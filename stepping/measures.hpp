// Quantities worth plotting, computed from a simulation's current state.
#pragma once

#include <array>
#include <vector>

#include "stepping/simulation.hpp"

// Mechanical energy of the whole system, J: the chain's kinetic energy 1/2 p.qdot, the carriages'
// 1/2 M v^2, gravity on every body's centre of mass, the joint springs, the chain-end couplings
// and the drive springs. Dampers only ever take energy out. Runs one right-hand side on the state
// (refresh_readings: the readings stay the state's); returns NaN if the core reports a failure.
double total_energy(Simulation& sim);

// total_energy's two parts at the readings as they stand (no evaluation): kinetic, quadratic in
// the momenta and the carriages' velocities, and potential, of the placements alone.
struct EnergyParts {
  double kinetic = 0.0;
  double potential = 0.0;
};
EnergyParts energy_parts(const Simulation& sim);

// The spring force along x of each chain-end coupling, N, as the carriage feels it (positive
// pulls the carriage towards +x); placements of the last evaluation.
std::array<double, 2> end_spring_forces(const Simulation& sim);

// World x and y of the chain's two ends: the base's origin and the last link's far end.
std::array<Point, 2> chain_ends(const Simulation& sim);

// --- The world's readings ---------------------------------------------------------------------
// Readings of the world around the rope (ground, pegs, fluid): the contact force on every body,
// the rate of work of the fluid's drag, and the energy the world has taken from the rope so far.
// Read from the bodies' records, which describe sim.state between frames.
//
// The energy taken so far integrates the dissipation power, W = contact dampers' c (dd/dt)^2 +
// friction's -T v_t + the springs' share lost where the normal force is cut - drag power, along
// every accepted step by the trapezoid rule, from the power at the step's two ends. Each step
// then costs one more evaluation of the rope (none for rk4, whose last evaluation is at the
// accepted state), and only ropes with a world pay it. The trapezoid's error is of order
// h^3 P'' / 12 per step of size h, well inside the integrator's own where the steps resolve the
// contacts. Joint dampers, the carriages' couplings and their drives are not counted.

struct WorldReadings {
  std::vector<Point> contact;      // N, world axes, per body (base first): ground and pegs,
                                   // normal force and friction together
  Point contact_total{};           // N, the sum over the bodies
  double drag_power = 0.0;         // W; negative in still fluid
  double dissipation_power = 0.0;  // W; what the world takes out now
  double energy_dissipated = 0.0;  // J; what it has taken out so far
};

// Every reading at sim.state. `readings.contact` is sized to the body count once: a caller that
// keeps its record allocates only when the rope changes.
void read_world(const Simulation& sim, WorldReadings& readings);

// The contact force on one body (ground and pegs), N, world axes.
Point contact_force_on(const Simulation& sim, const Body& body);
// The fluid's drag's rate of work on the whole rope, W.
double drag_power(const Simulation& sim);
// The rate at which the world takes energy out, W: contact dampers and friction, less the drag's
// power (a current can make it negative).
double dissipation_power(const Simulation& sim);

// The driver's share: at a frame's start, the power at the state the frame starts from and the
// energy to go back to if the frame is undone; after each accepted step from `step_start`, the
// step's trapezoid. No-ops without a world.
void start_dissipation_frame(Simulation& sim);
void accumulate_dissipation(Simulation& sim, double step_start);
void undo_dissipation_frame(Simulation& sim);
