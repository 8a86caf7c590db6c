// The rope's static equilibrium: where gravity, buoyancy, a steady flow's drag, the joints' and
// the couplings' springs and the contact with the ground and the pegs balance, the carriages held
// at their start positions. Friction plays no part: at rest it carries no load it was not given.
#pragma once

#include <string>

#include "stepping/simulation.hpp"

// Puts the rope into the initial state its parameters ask for: a straight start is already there;
// "rest" searches for the equilibrium from that shape and leaves the rope in it with every momentum
// and carriage velocity zero. False, with the reason in `error` and the state as it was, when the
// search does not converge.
bool place_initial_state(Simulation& sim, std::string& error);

// How the last search went, for benchmarks and docs.
struct RestSearch {
  int iterations = 0;          // pseudo-time steps taken, rejected ones included
  int krylov_iterations = 0;   // over all steps
  double largest_force = 0.0;  // N or N m: the largest generalised force left
};

// The search itself, whatever the parameters ask; `search` reports how it went.
bool settle_at_rest(Simulation& sim, std::string& error, RestSearch* search = nullptr);
