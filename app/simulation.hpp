// One simulation of the rope: its model, the ODE state that the integrator advances, the
// integrator objects, time, step size and frame count. Everything that changes while a rope runs
// lives in this record, so several simulations can run side by side, in one thread or in many.
//
// The ODE state is q (n joint coordinates), p (n momenta, conjugate to q in the same order), then
// x1, v1, x2, v2 of the carriages; n is 3 + links (the free base has three coordinates).
#pragma once

#include <gsl/gsl_odeiv.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "app/integrators.hpp"
#include "app/rope_model.hpp"
#include "app/rope_parameters.hpp"

// The evolve call, replaceable per simulation so that tests and tools can watch or fail it.
using EvolveApply = int (*)(gsl_odeiv_evolve*, gsl_odeiv_control*, gsl_odeiv_step*,
                            const gsl_odeiv_system*, double*, double, double*, double[]);

// Asked after every accepted step; true asks the frame to stop early. A stiff or very long rope
// can take minutes per frame, and a program must still answer Ctrl-C within a fraction of a
// second.
using InterruptCheck = bool (*)(void* context);

// GSL's objects, each released by its own free function.
struct GslDeleter {
  void operator()(gsl_odeiv_step* step) const { gsl_odeiv_step_free(step); }
  void operator()(gsl_odeiv_evolve* evolve) const { gsl_odeiv_evolve_free(evolve); }
  void operator()(gsl_odeiv_control* control) const { gsl_odeiv_control_free(control); }
};

struct Simulation {
  RopeParameters parameters;  // what the rope was built from, for checkpoints
  RopeModel rope;
  int coordinate_count = 0;   // n
  int dimension = 0;          // 2 n + 4
  std::vector<double> state;  // the ODE state, advanced in place by the integrator
  gsl_odeiv_system system{};  // hamilton_rhs, with this record as its parameters

  std::unique_ptr<gsl_odeiv_step, GslDeleter> step;
  std::unique_ptr<gsl_odeiv_evolve, GslDeleter> evolve;
  std::unique_ptr<gsl_odeiv_control, GslDeleter> control;  // absolute and relative tolerance 1e-6
  EvolveApply evolve_apply = gsl_odeiv_evolve_apply;
  int evolve_status = 0;  // GSL's status from the last evolve call that failed (GSL_SUCCESS: none)

  // Null: never asked. An interrupted frame leaves the simulation as the frame found it.
  InterruptCheck interrupt_check = nullptr;
  void* interrupt_context = nullptr;

  // The integration method (use_integrator changes it). Null `alternative`: the GSL objects above,
  // the window program's integrator.
  RunSettings settings;
  long long accepted_steps = 0;  // over the simulation's life, every method
  std::unique_ptr<AlternativeIntegrator, AlternativeIntegratorDeleter> alternative;
  std::vector<double> frame_start;  // state at the frame's start; outside a frame, scratch rates

  double time = 0.0;           // s
  double frame_span = 0.01;    // s of simulated time per frame
  double step_size = 0.00025;  // s; the control adjusts it and it carries over between frames
  int32_t frame_count = 0;

  // Wall clock of the frame report: captured at the first reported frame.
  bool clock_started = false;
  double start_clock = 0.0;  // ms

  Simulation() = default;
  Simulation(const Simulation&) = delete;  // the bodies and GSL point into the record
  Simulation& operator=(const Simulation&) = delete;
};

// Builds the rope from `parameters` (checked by the caller: set_parameter and the model file
// refuse bad values), creates the integrator objects, runs the set-up passes and fills the state.
// The bodies' records then hold the initial state's placements and velocities, so that readings
// are true before the first frame. Returns ok, or the core's reason for failing (memory, including
// the integrator objects when GSL's error handler is off).
MbsStatus start_simulation(Simulation& sim, const RopeParameters& parameters = {});

inline int momenta_start(const Simulation& sim) {
  return sim.coordinate_count;
}
inline int carriages_start(const Simulation& sim) {
  return 2 * sim.coordinate_count;
}

// dy/dt of the whole system; params is the Simulation. t is not read: the equations are
// autonomous. Returns GSL_SUCCESS, or GSL_EBADFUNC when the core reports a failure (left in
// sim.rope.mbs.status), which stops the evolve call. The bodies' records get this evaluation's
// placements only through update_body_records(sim.rope.mbs): the integrator does not need them.
int hamilton_rhs(double t, const double y[], double dydt[], void* params);

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

// Divergence guard over an accepted state of `dimension` components: true when it holds a NaN or
// an infinity, or when it has plainly blown up (see the definition for the measure).
bool state_diverged(const double y[], int dimension);

constexpr const char* divergence_message = "Simulation aborted due to instability.";
// The line the programs print once the model is assembled, followed by the coordinate count.
constexpr const char* startup_line_prefix = "MBS initialized. Number of Coordinates=";
