// The carriages: point masses sliding along the horizontal axis, each pulled by a stiff drive
// spring towards a target the user drags, each holding one end of the rope through an anchor
// spring-damper (forces/anchor_spring.hpp) whose anchor sits under it on the axis.
//
// Carriage 1 (index 0) holds the base body's origin; carriage 2 (index 1) holds the far end of the
// last link. Their state (x1, v1, x2, v2) follows the rope's coordinates and momenta in the ODE
// state.
#pragma once

#include "forces/anchor_spring.hpp"

constexpr int carriage_state_count = 4;  // x1, v1, x2, v2

struct Carriages {
  double drive_target[2];
  double carriage_mass[2];    // kg
  double drive_stiffness[2];  // N/m, carriage towards its target
  double drive_damping[2];    // N s/m, on the carriage's own velocity
  double carriage_state[carriage_state_count];
  double carriage_anchor[4];  // (x1, y1, x2, y2): the points the rope's ends are pulled to
  AnchorSpring coupling[2];   // each end's spring-damper, anchored at carriage_anchor
};

// Takes the carriages' state from `state` (x1, v1, x2, v2) and puts the anchors under them.
void place_carriages(Carriages& c, const double state[carriage_state_count]);

// The carriages' rates (v1, a1, v2, a2) from their drives and the reaction of the rope's ends,
// whose bodies' records hold the placements of the evaluation.
void carriage_rates(const Carriages& c, const Body& first, const Body& last,
                    double rates[carriage_state_count]);

// Both carriages' kinetic energy, and their drive springs' energy (J); the couplings' energy is
// their elements'.
double carriage_kinetic_energy(const Carriages& c);
double drive_energy(const Carriages& c);
