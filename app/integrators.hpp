// Integration methods, chosen per simulation as run settings (they are not rope parameters: the
// same rope can be run with any of them). The default is the window program's: GSL's classic
// fourth-order Runge-Kutta with step doubling under a 1e-6 control, whose trajectory the others
// are measured against.
//
//   rk4    GSL's classic Runge-Kutta, step doubling for the error (the window program's)
//   rkf45  GSL's embedded Runge-Kutta-Fehlberg 4(5) pair: cheap steps for loose tolerances
//   rk8pd  GSL's embedded Prince-Dormand 8(9) pair: few steps for tight tolerances
//   bdf    SUNDIALS CVODE's variable-order backward differentiation formulas with Newton
//          iterations on a dense difference-quotient Jacobian: an implicit method whose step is
//          not bounded by the stiffest joint, so a stiff rope costs about what a soft one does
//   dirk   SUNDIALS ARKODE's fifth-order diagonally implicit Runge-Kutta method, L-stable, on the
//          same Newton iterations: higher order than bdf for the same stiff ropes
//
// Every method advances one accepted step at a time and never steps past the frame's end, so
// the driver's divergence guard and interruption check see every accepted state.
#pragma once

#include <string>
#include <string_view>

#include "mbs/mbs.hpp"

struct Simulation;

enum class Method { rk4, rkf45, rk8pd, bdf, dirk };

struct RunSettings {
  Method method = Method::rk4;
  double absolute_tolerance = 1e-6;
  double relative_tolerance = 1e-6;
};

const char* method_name(Method method);
bool method_from_name(std::string_view name, Method& method);
// "rk4, rkf45, rk8pd, bdf, dirk", for messages and help.
std::string method_names();

// Tolerances are finite, greater than 0 and at most 1. False with a reason otherwise.
bool check_tolerances(double absolute, double relative, std::string& error);

// The integrator objects of a method other than the default rk4, owned by the Simulation.
struct AlternativeIntegrator;
struct AlternativeIntegratorDeleter {
  void operator()(AlternativeIntegrator* integrator) const;
};

// Gives the simulation the integrator `settings` names, starting from its current state and step
// size. rk4 keeps the default objects (with the control's tolerances replaced when they differ).
// Returns ok or out_of_memory; the simulation keeps its previous integrator on failure.
MbsStatus use_integrator(Simulation& sim, const RunSettings& settings);

// One accepted step of a method other than rk4, from sim.time towards t1 and never past it:
// advances sim.time, sim.state and sim.step_size. Returns 0, or nonzero when the method failed
// (or the interruption check fired inside a step: see integrator_interrupted).
int alternative_step(Simulation& sim, double t1);

// True when the last failed step was the interruption check firing inside it (an implicit step
// evaluates the right-hand side many times and may take long).
bool integrator_interrupted(const Simulation& sim);
