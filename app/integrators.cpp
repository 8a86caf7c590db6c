#include "app/integrators.hpp"

#include <arkode/arkode_arkstep.h>
#include <cvode/cvode.h>
#include <gsl/gsl_odeiv2.h>
#include <nvector/nvector_serial.h>
#include <sunlinsol/sunlinsol_dense.h>
#include <sunmatrix/sunmatrix_dense.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "app/simulation.hpp"

// The objects of one method and what it last saw of the simulation: whoever changes the state
// between steps (an undone frame, a state set from outside, a resumed run) makes the method start
// afresh from the new state rather than from its stale history.
struct AlternativeIntegrator {
  Method method = Method::rkf45;
  Simulation* sim = nullptr;
  std::vector<double> seen_state;
  double seen_time = std::numeric_limits<double>::quiet_NaN();
  bool interrupted = false;

  gsl_odeiv2_system system{};
  gsl_odeiv2_step* step = nullptr;
  gsl_odeiv2_control* control = nullptr;
  gsl_odeiv2_evolve* evolve = nullptr;

  SUNContext context = nullptr;
  void* cvode = nullptr;
  void* arkode = nullptr;
  N_Vector y = nullptr;  // wraps sim->state: CVODE writes each accepted state into it
  SUNMatrix jacobian = nullptr;
  SUNLinearSolver solver = nullptr;

  ~AlternativeIntegrator() {
    if (evolve) gsl_odeiv2_evolve_free(evolve);
    if (control) gsl_odeiv2_control_free(control);
    if (step) gsl_odeiv2_step_free(step);
    if (cvode) CVodeFree(&cvode);
    if (arkode) ARKStepFree(&arkode);
    if (solver) SUNLinSolFree(solver);
    if (jacobian) SUNMatDestroy(jacobian);
    if (y) N_VDestroy(y);
    if (context) SUNContext_Free(&context);
  }
};

void AlternativeIntegratorDeleter::operator()(AlternativeIntegrator* integrator) const {
  delete integrator;
}

namespace {

int odeiv2_rhs(double t, const double y[], double dydt[], void* params) {
  const Simulation& sim = *static_cast<const Simulation*>(params);
  return sim.system.function(t, y, dydt, sim.system.params);
}

// The check runs inside the right-hand side too: one implicit step evaluates it dozens of times
// (a Jacobian column each), and a long chain's step can take seconds.
int sundials_rhs(sunrealtype t, N_Vector y, N_Vector ydot, void* data) {
  AlternativeIntegrator& integrator = *static_cast<AlternativeIntegrator*>(data);
  const Simulation& sim = *integrator.sim;
  if (sim.interrupt_check && sim.interrupt_check(sim.interrupt_context)) {
    integrator.interrupted = true;
    return -1;
  }
  const int status =
      sim.system.function(t, N_VGetArrayPointer(y), N_VGetArrayPointer(ydot), sim.system.params);
  return status == 0 ? 0 : -1;  // a failure of the core is not cured by a smaller step
}

void silent(int, const char*, const char*, char*, void*) {}

// A stiff joint is a lightly damped oscillator of high frequency: its eigenvalues lie near the
// imaginary axis, where the formulas of order 3 to 5 are unstable and the step collapses to the
// explicit methods' size (measured at joint_stiffness 55000: 1.4 million evaluations for 2 s at
// orders up to 4 or 5, 2,300 at order 2). The second-order formula is A-stable.
constexpr int most_bdf_order = 2;

// The diagonally implicit Runge-Kutta methods are L-stable at every order, so they keep a high
// order on a stiff rope; at joint_stiffness 55000 the fifth-order table reached a given error in
// the least time (orders 3 and 4 measured too).
constexpr int dirk_order = 5;

bool create_odeiv2(AlternativeIntegrator& integrator, const RunSettings& settings) {
  Simulation& sim = *integrator.sim;
  const size_t dimension = static_cast<size_t>(sim.dimension);
  const gsl_odeiv2_step_type* type =
      settings.method == Method::rk8pd ? gsl_odeiv2_step_rk8pd : gsl_odeiv2_step_rkf45;
  integrator.system = {odeiv2_rhs, nullptr, dimension, &sim};
  integrator.step = gsl_odeiv2_step_alloc(type, dimension);
  integrator.control =
      gsl_odeiv2_control_y_new(settings.absolute_tolerance, settings.relative_tolerance);
  integrator.evolve = gsl_odeiv2_evolve_alloc(dimension);
  return integrator.step && integrator.control && integrator.evolve;
}

// The shared parts of the two SUNDIALS methods: the state vector over sim->state and a dense
// linear solver for the Newton iterations.
bool create_sundials_parts(AlternativeIntegrator& integrator) {
  Simulation& sim = *integrator.sim;
  const auto dimension = static_cast<sunindextype>(sim.dimension);
  if (SUNContext_Create(nullptr, &integrator.context) != 0) return false;
  integrator.y = N_VMake_Serial(dimension, sim.state.data(), integrator.context);
  if (!integrator.y) return false;
  integrator.jacobian = SUNDenseMatrix(dimension, dimension, integrator.context);
  if (!integrator.jacobian) return false;
  integrator.solver = SUNLinSol_Dense(integrator.y, integrator.jacobian, integrator.context);
  return integrator.solver != nullptr;
}

bool create_cvode(AlternativeIntegrator& integrator, const RunSettings& settings) {
  if (!create_sundials_parts(integrator)) return false;
  const Simulation& sim = *integrator.sim;
  integrator.cvode = CVodeCreate(CV_BDF, integrator.context);
  void* cvode = integrator.cvode;
  return cvode && CVodeInit(cvode, sundials_rhs, sim.time, integrator.y) == CV_SUCCESS &&
         CVodeSetErrHandlerFn(cvode, silent, nullptr) == CV_SUCCESS &&
         CVodeSetUserData(cvode, &integrator) == CV_SUCCESS &&
         CVodeSStolerances(cvode, settings.relative_tolerance, settings.absolute_tolerance) ==
             CV_SUCCESS &&
         CVodeSetMaxNumSteps(cvode, -1) == CV_SUCCESS &&
         CVodeSetMaxOrd(cvode, most_bdf_order) == CV_SUCCESS &&
         CVodeSetLinearSolver(cvode, integrator.solver, integrator.jacobian) == CV_SUCCESS;
}

bool create_arkode(AlternativeIntegrator& integrator, const RunSettings& settings) {
  if (!create_sundials_parts(integrator)) return false;
  Simulation& sim = *integrator.sim;
  integrator.arkode =
      ARKStepCreate(nullptr, sundials_rhs, sim.time, integrator.y, integrator.context);
  void* arkode = integrator.arkode;
  return arkode && ARKStepSetErrHandlerFn(arkode, silent, nullptr) == ARK_SUCCESS &&
         ARKStepSetUserData(arkode, &integrator) == ARK_SUCCESS &&
         ARKStepSetOrder(arkode, dirk_order) == ARK_SUCCESS &&
         ARKStepSStolerances(arkode, settings.relative_tolerance, settings.absolute_tolerance) ==
             ARK_SUCCESS &&
         ARKStepSetMaxNumSteps(arkode, -1) == ARK_SUCCESS &&
         ARKStepSetLinearSolver(arkode, integrator.solver, integrator.jacobian) == ARK_SUCCESS;
}

bool replace_rk4_control(Simulation& sim, const RunSettings& settings) {
  gsl_odeiv_control* control =
      gsl_odeiv_control_y_new(settings.absolute_tolerance, settings.relative_tolerance);
  if (!control) return false;
  sim.control.reset(control);
  return true;
}

// Starts the method afresh when the state is not the one its last step left.
void follow_outside_changes(AlternativeIntegrator& integrator) {
  const Simulation& sim = *integrator.sim;
  const size_t bytes = sim.state.size() * sizeof(double);
  if (sim.time == integrator.seen_time &&
      std::memcmp(sim.state.data(), integrator.seen_state.data(), bytes) == 0)
    return;
  if (integrator.cvode) {
    CVodeReInit(integrator.cvode, sim.time, integrator.y);
  } else if (integrator.arkode) {
    ARKStepReInit(integrator.arkode, nullptr, sundials_rhs, sim.time, integrator.y);
  } else {
    gsl_odeiv2_step_reset(integrator.step);
    gsl_odeiv2_evolve_reset(integrator.evolve);
  }
}

void remember_state(AlternativeIntegrator& integrator) {
  const Simulation& sim = *integrator.sim;
  std::copy(sim.state.begin(), sim.state.end(), integrator.seen_state.begin());
  integrator.seen_time = sim.time;
}

// CVODE and ARKODE step alike, each through its own entry points (their success, one-step and
// stop-time codes agree: 0, 2 and 1).
struct SundialsStepping {
  int (*set_stop_time)(void* solver, sunrealtype stop);
  int (*evolve)(void* solver, sunrealtype until, N_Vector y, sunrealtype* reached, int task);
  int (*current_step)(void* solver, sunrealtype* step);
};
constexpr SundialsStepping cvode_stepping{CVodeSetStopTime, CVode, CVodeGetCurrentStep};
constexpr SundialsStepping arkode_stepping{ARKStepSetStopTime, ARKStepEvolve,
                                           ARKStepGetCurrentStep};
static_assert(CV_SUCCESS == ARK_SUCCESS && CV_ONE_STEP == ARK_ONE_STEP &&
              CV_TSTOP_RETURN == ARK_TSTOP_RETURN);

int sundials_step(AlternativeIntegrator& integrator, void* solver, const SundialsStepping& stepping,
                  double t1) {
  Simulation& sim = *integrator.sim;
  sunrealtype reached = sim.time;
  if (stepping.set_stop_time(solver, t1) != CV_SUCCESS) return -1;
  const int flag = stepping.evolve(solver, t1, integrator.y, &reached, CV_ONE_STEP);
  if (flag < 0) return flag;
  sim.time = flag == CV_TSTOP_RETURN ? t1 : reached;
  stepping.current_step(solver, &sim.step_size);
  return 0;
}

int odeiv2_step(AlternativeIntegrator& integrator, double t1) {
  Simulation& sim = *integrator.sim;
  return gsl_odeiv2_evolve_apply(integrator.evolve, integrator.control, integrator.step,
                                 &integrator.system, &sim.time, t1, &sim.step_size,
                                 sim.state.data());
}

int take_step(AlternativeIntegrator& integrator, double t1) {
  if (integrator.cvode) return sundials_step(integrator, integrator.cvode, cvode_stepping, t1);
  if (integrator.arkode) return sundials_step(integrator, integrator.arkode, arkode_stepping, t1);
  return odeiv2_step(integrator, t1);
}

}  // namespace

MbsStatus use_integrator(Simulation& sim, const RunSettings& settings) {
  if (settings.method == Method::rk4) {
    const bool default_control = settings.absolute_tolerance == sim.settings.absolute_tolerance &&
                                 settings.relative_tolerance == sim.settings.relative_tolerance;
    if (!default_control && !replace_rk4_control(sim, settings)) return MbsStatus::out_of_memory;
    sim.alternative.reset();
    sim.settings = settings;
    return MbsStatus::ok;
  }
  std::unique_ptr<AlternativeIntegrator, AlternativeIntegratorDeleter> integrator(
      new AlternativeIntegrator);
  integrator->method = settings.method;
  integrator->sim = &sim;
  integrator->seen_state.assign(sim.state.size(), 0.0);
  const bool created = settings.method == Method::bdf    ? create_cvode(*integrator, settings)
                       : settings.method == Method::dirk ? create_arkode(*integrator, settings)
                                                         : create_odeiv2(*integrator, settings);
  if (!created) return MbsStatus::out_of_memory;
  remember_state(*integrator);
  sim.alternative = std::move(integrator);
  sim.settings = settings;
  return MbsStatus::ok;
}

int alternative_step(Simulation& sim, double t1) {
  AlternativeIntegrator& integrator = *sim.alternative;
  integrator.interrupted = false;
  follow_outside_changes(integrator);
  const int status = take_step(integrator, t1);
  remember_state(integrator);
  return status;
}

bool integrator_interrupted(const Simulation& sim) {
  return sim.alternative && sim.alternative->interrupted;
}
