// Integration methods, chosen per simulation as run settings (they are not rope parameters: the
// same rope can be run with any of them). The default is the window program's: GSL's classic
// fourth-order Runge-Kutta with step doubling under a 1e-6 control, whose trajectory the others
// are measured against.
//
//   rk4    GSL's classic Runge-Kutta, step doubling for the error (the window program's)
//   rkf45  GSL's embedded Runge-Kutta-Fehlberg 4(5) pair: cheap steps for loose tolerances
//   rk8pd  GSL's embedded Prince-Dormand 8(9) pair: few steps for tight tolerances
//   bdf    SUNDIALS CVODE's backward differentiation formulas (orders 1 and 2) with Newton
//          iterations solved matrix-free through the body tree: an implicit method whose step is
//          not bounded by the stiffest joint, so a stiff rope costs about what a soft one does
//   dirk   SUNDIALS ARKODE's fifth-order diagonally implicit Runge-Kutta method, L-stable, on the
//          same Newton iterations: higher order than bdf for the same stiff ropes
//   auto   rkf45 while the rope is soft, bdf while the stiffest joint holds the explicit step at
//          its stability limit; chosen at each frame's start from what the run measures
//
// Each method is one row of a table of operations (IntegrationMethod), and every step of every
// program goes through the same few functions below. A row advances one accepted step at a time
// and never steps past the frame's end, so the driver's divergence guard and interruption check
// see every accepted state.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "mbs/mbs.hpp"

struct Simulation;

enum class Method { rk4, rkf45, rk8pd, bdf, dirk, auto_ };

// The two methods auto chooses between, each through its own row.
constexpr Method auto_explicit_method = Method::rkf45;
constexpr Method auto_implicit_method = Method::bdf;

// What auto has measured and chosen so far. Its decisions read nothing else, and checkpoints
// carry it, so a resumed run chooses as the uninterrupted one does. Costs are right-hand sides
// per frame.
struct AutoRecord {
  bool implicit = false;  // the phase: the implicit method steps
  int64_t votes = 0;      // frames in a row whose measure asked for the other phase
  int64_t explicit_frames = 0, implicit_frames = 0;
  int64_t frames_since_trial = 0;  // explicit frames since the implicit method last ran
  int64_t trial_wait = 10;         // before the next trial; doubles after each return
  int64_t frame_steps = 0;         // accepted steps of the frame that ran last
  int64_t frame_evaluations = 0;   // and its right-hand sides
  double stiffest_rate = 0.0;      // 1/s, |lambda| of the stiffest mode at the last estimate
  double explicit_cost = 0.0;      // of the last explicit frame (0: none ran)
  double explicit_rate = 0.0;      // 1/s, the stiffest rate then
  double implicit_cost = 0.0;      // of the last implicit frame (0: none ran)
};

struct RunSettings {
  Method method = Method::rk4;
  double absolute_tolerance = 1e-6;
  double relative_tolerance = 1e-6;
};

const char* method_name(Method method);
bool method_from_name(std::string_view name, Method& method);
// "rk4, rkf45, rk8pd, bdf, dirk, auto", for messages and help.
std::string method_names();

// Below this a tolerance asks for more than double precision holds: the step-size control then
// shrinks the step until time no longer advances.
constexpr double smallest_tolerance = 1e-13;

// Tolerances are finite, from smallest_tolerance to 1. False with a reason otherwise.
bool check_tolerances(double absolute, double relative, std::string& error);

// The objects one method keeps for one simulation; each row knows its own.
struct MethodObjects;

// One integration method: static functions and what the driver needs to know of it.
struct IntegrationMethod {
  Method method;
  // Allocates the method's objects for `sim` under `settings`, to start from sim.state at
  // sim.time. Null when memory ran out.
  MethodObjects* (*create)(Simulation& sim, const RunSettings& settings);
  // One accepted step from sim.time towards t1, never past it: advances sim.time, sim.state and
  // sim.step_size. 0, or nonzero when the step failed (its text in sim.integration_failure).
  int (*step)(MethodObjects& objects, Simulation& sim, double t1);
  // Forget the history: the next step starts from sim.state at sim.time with sim.step_size.
  void (*restart)(MethodObjects& objects, Simulation& sim);
  void (*release)(MethodObjects* objects);
  // The step size a fresh start uses (s); 0: the method estimates its own.
  double initial_step;
  // A method that carries more history than the step size (an implicit method's Newton matrix
  // and past states) restarts at every frame's start, so that a checkpoint's state, time and
  // step size continue exactly as the uninterrupted run does.
  bool restarts_each_frame;
  // The last evaluation of every step is at the accepted state: the bodies' records already
  // describe it when a frame ends.
  bool ends_on_accepted_state;
};

// The rows this build has, and the one for `method` (null when this build has none).
const IntegrationMethod* find_method(Method method);

// The method in use by one simulation: its row and its objects.
struct MethodInUse {
  const IntegrationMethod* row = nullptr;
  MethodObjects* objects = nullptr;

  MethodInUse() = default;
  MethodInUse(const MethodInUse&) = delete;
  MethodInUse& operator=(const MethodInUse&) = delete;
  ~MethodInUse() { release(); }
  void release();
};

enum class MethodStatus {
  ok,
  unavailable,    // this build has no such method
  out_of_memory,  // the method's objects could not be made
};

// Gives the simulation the method `settings` names, from its current state and with the method's
// own initial step; the same method with the same tolerances changes nothing. On failure the
// simulation keeps the method it had.
MethodStatus use_integrator(Simulation& sim, const RunSettings& settings);
// The same with a row of the caller's (tests watch or fail steps through their own rows).
MethodStatus use_method(Simulation& sim, const IntegrationMethod& row, const RunSettings& settings);

// Why use_integrator refused `settings`.
std::string method_status_message(MethodStatus status, const RunSettings& settings);

// One accepted step of the simulation's method towards t1; 0 or the method's failure status.
int method_step(Simulation& sim, double t1);

// Called at every frame's start: a method that restarts each frame does so here.
void start_method_frame(Simulation& sim);

// The method's name, and for auto how many frames each of its methods ran:
// "auto (rkf45 120 frames, bdf 80 frames)".
std::string method_summary(const Simulation& sim);
