// The rope simulation library in one include.
//
//   RopeParameters  the rope's parameters with their defaults (rope_parameters.hpp); set_parameter
//                   and read_model_file (model_file.hpp) change them by key.
//   Simulation      one running rope: model, ODE state, integrator, time (simulation.hpp);
//                   start_simulation builds it, set_target drives a carriage, hamilton_rhs is
//                   its right-hand side.
//   integrate_frame advances one 0.01 s frame and says how it ended (driver.hpp); a scripted
//                   run's target moves and frame count are in script.hpp.
//   Measures        total_energy, end_spring_forces, chain_ends (measures.hpp); the world's
//                   contact forces, drag power and energy dissipated (measures.hpp).
//   Results         sim.time, sim.state (q, p, then x1, v1, x2, v2), and every body's
//                   placement in sim.rope.bodies: the state's, from start-up and after every
//                   frame; state_rates evaluates elsewhere without changing them.
#pragma once

#include "stepping/driver.hpp"
#include "stepping/measures.hpp"
#include "rope/model_file.hpp"
#include "rope/rope_model.hpp"
#include "rope/rope_parameters.hpp"
#include "stepping/script.hpp"
#include "stepping/simulation.hpp"
