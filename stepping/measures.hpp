// Quantities worth plotting, computed from a simulation's current state.
#pragma once

#include <array>

#include "stepping/simulation.hpp"

// Mechanical energy of the whole system, J: the chain's kinetic energy 1/2 p.qdot, the carriages'
// 1/2 M v^2, gravity on every body's centre of mass, the joint springs, the chain-end couplings
// and the drive springs. Dampers only ever take energy out. Runs one right-hand side on the state
// (refresh_readings: the readings stay the state's); returns NaN if the core reports a failure.
double total_energy(Simulation& sim);

// The spring force along x of each chain-end coupling, N, as the carriage feels it (positive
// pulls the carriage towards +x); placements of the last evaluation.
std::array<double, 2> end_spring_forces(const Simulation& sim);

// World x and y of the chain's two ends: the base's origin and the last link's far end.
std::array<Point, 2> chain_ends(const Simulation& sim);
