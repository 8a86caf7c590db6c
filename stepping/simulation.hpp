// One simulation of the rope: its model, the ODE state that the integrator advances, the
// integrator objects, time, step size and frame count. Everything that changes while a rope runs
// lives in this record, so several simulations can run side by side, in one thread or in many.
// The ODE state is laid out as rope/state_layout.hpp says.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rope/rope_model.hpp"
#include "rope/rope_parameters.hpp"
#include "rope/state_layout.hpp"
#include "stepping/integrators.hpp"

// Asked after every accepted step; true asks the frame to stop early. A stiff or very long rope
// can take minutes per frame, and a program must still answer Ctrl-C within a fraction of a
// second.
using InterruptCheck = bool (*)(void* context);

// What the divergence guard measures a state against, worked out once from the parameters (see
// state_diverged).
struct DivergenceBound {
  double reach = 0.0;                  // m: no part of a whole rope is farther from a carriage
  double rope_length = 0.0;            // m, the base included
  double rope_mass = 0.0;              // kg, the payload included
  double weight = 0.0;                 // N
  double coupling_stiffness = 0.0;     // N/m, both ends' along x and y together
  double wound_energy = 0.0;           // J, the joint and end-angle springs a turn from rest
  double given_energy = 0.0;           // J, the most kinetic energy a state was given from outside
  std::vector<double> momentum_scale;  // per coordinate, sqrt(2 M_ii) bounded from above
};

// What the world's contact dampers, friction and drag have taken from the rope, accumulated along
// the accepted steps (stepping/measures.hpp).
struct Dissipation {
  double energy = 0.0;              // J so far
  double power = 0.0;               // W at the last accepted state
  double frame_start_energy = 0.0;  // J, back to which an undone frame goes
  bool active = false;              // the rope has a world: the driver accumulates
};

struct Simulation {
  RopeParameters parameters;  // what the rope was built from, for checkpoints
  RopeModel rope;
  DivergenceBound bound;      // the divergence guard's limits for this rope
  StateLayout layout;         // where q, p and the carriages sit in the state
  std::vector<double> state;  // the ODE state, advanced in place by the integrator
  int64_t evaluations = 0;    // right-hand sides the methods have taken, over the simulation's life

  // The integration method (use_integrator changes it) and the settings it runs under.
  RunSettings settings;
  MethodInUse integrator;
  long long accepted_steps = 0;     // over the simulation's life, every method
  std::string integration_failure;  // why the last failed step failed
  bool step_interrupted = false;    // the last failed step was stopped by interrupt_check

  // Null: never asked. An interrupted frame leaves the simulation as the frame found it.
  InterruptCheck interrupt_check = nullptr;
  void* interrupt_context = nullptr;

  std::vector<double> frame_start;    // state, time and step size at the frame's start
  bool frame_start_kept = false;      // a frame has started since the simulation did
  std::vector<double> scratch_rates;  // rates of the evaluations that refresh the readings

  double time = 0.0;           // s
  double frame_span = 0.01;    // s of simulated time per frame
  double step_size = 0.00025;  // s; the control adjusts it and it carries over between frames
  int64_t frame_count = 0;     // completed frames
  Dissipation dissipation;
  // Nothing in the rope takes energy out or puts it in (no damper, no world, couplings that store
  // what they take): each frame then ends on the energy it started with (stepping/driver.cpp).
  bool keeps_energy = false;

  Simulation() = default;
  Simulation(const Simulation&) = delete;  // the bodies and the method point into the record
  Simulation& operator=(const Simulation&) = delete;
};

// Builds the rope from `parameters` (checked by the caller: set_parameter and the model file
// refuse bad values), runs the set-up passes, fills the state and gives it the rk4 method.
// The bodies' records then hold the initial state's placements and velocities, so that readings
// are true before the first frame. Returns ok, or the core's reason for failing (memory, including
// the method's objects when GSL's error handler is off).
MbsStatus start_simulation(Simulation& sim, const RopeParameters& parameters = {});

// dy/dt of the whole system; params is the Simulation. t is not read: the equations are
// autonomous. Returns 0, or GSL's GSL_EBADFUNC when the core reports a failure (left in
// sim.rope.mbs.status), which stops the step. The bodies' records get this evaluation's
// placements only through update_body_records(sim.rope.mbs): the integrator does not need them.
int hamilton_rhs(double t, const double y[], double dydt[], void* params);

// hamilton_rhs as the methods take it, counted in sim.evaluations: what they hand their solvers.
// The readings' and the preconditioner's own evaluations are not the method's work and go to
// hamilton_rhs directly.
int method_rhs(double t, const double y[], double dydt[], void* params);

// Puts the bodies' records, the core's arrays and the carriages back where sim.state has them (one
// evaluation into scratch storage, outside a frame only). Returns the core's status.
MbsStatus refresh_readings(Simulation& sim);

// dy/dt at any state `y` (dimension components), for analysis: the simulation's readings are left
// as sim.state has them. Returns ok or the failure the core met at `y`.
MbsStatus state_rates(Simulation& sim, const double y[], double dydt[]);

// Replaces the whole ODE state (dimension components, finite: the caller checks) and refreshes
// the readings. Returns the core's status at the new state.
MbsStatus set_state(Simulation& sim, const double y[]);

// Sets the joint coordinates q and their rates qdot (n values each; null qdot: at rest) and
// computes the momenta from them with the set-up passes, as start-up does; the carriages keep
// their state. Returns the core's status.
MbsStatus set_configuration(Simulation& sim, const double q[], const double qdot[]);

// Drive target of carriage 1 or 2 (m along x): what a mouse drag does. Read at the next
// evaluation.
void set_target(Simulation& sim, int carriage, double x);

// True when no force of `parameters`' rope takes energy out or puts it in between the drive
// targets' moves: every damper off, no ground, pegs or fluid, and the far end held at its point,
// where the coupling's spring stores all the work its force does.
bool conserves_energy(const RopeParameters& parameters);

// Divergence guard over an accepted state `y` of `sim`'s rope: true when it holds a NaN or an
// infinity, when the rope has left its carriages far behind, or when a momentum or a carriage's
// speed is beyond what the energy the rope can hold allows (see the definition). The measure does
// not depend on where the rope is, how often it turned, or how many links it has.
bool state_diverged(const Simulation& sim, const double y[]);

constexpr const char* divergence_message = "Simulation aborted due to instability.";
// The line the programs print once the model is assembled, followed by the coordinate count.
constexpr const char* startup_line_prefix = "MBS initialized. Number of Coordinates=";
