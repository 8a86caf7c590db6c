// The simulation state that the integrator advances: the rope with its carriages, the 58-component
// ODE state and the right-hand side that couples the chain's Hamiltonian equations with the
// carriages' equations.
#pragma once

#include <gsl/gsl_odeiv.h>

#include "app/rope_model.hpp"

// ode_state layout: q (27), p (27, conjugate to q in the same order), then x1, v1, x2, v2.
constexpr int ode_dimension = 58;
constexpr int momenta_offset = rope_coordinate_count;                       // 27
constexpr int carriages_offset = rope_coordinate_count + rope_coordinate_count;  // 54

extern RopeModel rope;
extern double ode_state[ode_dimension];
extern gsl_odeiv_system ode_system;

// Builds the rope with its parameters and initial conditions; prints the start-up line.
void init_model();
// Binds the carriage coupling, runs the set-up passes (their status stays in rope.mbs.status)
// and fills ode_state.
void init_state();

// dy/dt of the whole system. t and params are not read: the equations are autonomous.
int hamilton_rhs(double t, const double y[], double dydt[], void* params);

// Divergence guard over an accepted state: true when it holds a NaN or an infinity, or when it
// has plainly blown up (see the definition for the measure).
bool state_diverged(const double y[]);

constexpr const char* divergence_message = "Simulation aborted due to instability.";
