// rkf45 and rk8pd: GSL's embedded Runge-Kutta pairs (odeiv2 interface) under a y-control. Cheap
// steps for loose tolerances (Fehlberg 4(5)) and few steps for tight ones (Prince-Dormand 8(9)).
#include <gsl/gsl_errno.h>
#include <gsl/gsl_odeiv2.h>

#include <new>

#include "stepping/simulation.hpp"

namespace {

struct Odeiv2 {
  gsl_odeiv2_system system{};
  gsl_odeiv2_step* step = nullptr;
  gsl_odeiv2_control* control = nullptr;
  gsl_odeiv2_evolve* evolve = nullptr;
};

Odeiv2& of(MethodObjects& objects) {
  return *reinterpret_cast<Odeiv2*>(&objects);
}

void release(MethodObjects* objects) {
  Odeiv2* odeiv2 = reinterpret_cast<Odeiv2*>(objects);
  if (odeiv2->evolve) gsl_odeiv2_evolve_free(odeiv2->evolve);
  if (odeiv2->control) gsl_odeiv2_control_free(odeiv2->control);
  if (odeiv2->step) gsl_odeiv2_step_free(odeiv2->step);
  delete odeiv2;
}

MethodObjects* create_with(const gsl_odeiv2_step_type* type, Simulation& sim,
                           const RunSettings& settings) {
  Odeiv2* odeiv2 = new (std::nothrow) Odeiv2;
  if (!odeiv2) return nullptr;
  const auto dimension = static_cast<size_t>(sim.layout.dimension);
  odeiv2->system = {method_rhs, nullptr, dimension, &sim};
  odeiv2->step = gsl_odeiv2_step_alloc(type, dimension);
  odeiv2->control =
      gsl_odeiv2_control_y_new(settings.absolute_tolerance, settings.relative_tolerance);
  odeiv2->evolve = gsl_odeiv2_evolve_alloc(dimension);
  auto* objects = reinterpret_cast<MethodObjects*>(odeiv2);
  if (odeiv2->step && odeiv2->control && odeiv2->evolve) return objects;
  release(objects);
  return nullptr;
}

MethodObjects* create_rkf45(Simulation& sim, const RunSettings& settings) {
  return create_with(gsl_odeiv2_step_rkf45, sim, settings);
}

MethodObjects* create_rk8pd(Simulation& sim, const RunSettings& settings) {
  return create_with(gsl_odeiv2_step_rk8pd, sim, settings);
}

int step(MethodObjects& objects, Simulation& sim, double t1) {
  Odeiv2& odeiv2 = of(objects);
  const int status =
      gsl_odeiv2_evolve_apply(odeiv2.evolve, odeiv2.control, odeiv2.step, &odeiv2.system,
                              &sim.time, t1, &sim.step_size, sim.state.data());
  if (status != GSL_SUCCESS) sim.integration_failure = gsl_strerror(status);
  return status;
}

// The pairs keep no history beyond the step size, which carries over.
void restart(MethodObjects& objects, Simulation&) {
  gsl_odeiv2_step_reset(of(objects).step);
  gsl_odeiv2_evolve_reset(of(objects).evolve);
}

}  // namespace

extern const IntegrationMethod rkf45_method{
    .name = "rkf45",
    .description = "Runge-Kutta-Fehlberg 4(5) pair: cheap steps for loose tolerances",
    .create = create_rkf45,
    .step = step,
    .restart = restart,
    .release = release,
    .initial_step = 0.00025,  // s
    .restarts_each_frame = false,
    .ends_on_accepted_state = false,
};

extern const IntegrationMethod rk8pd_method{
    .name = "rk8pd",
    .description = "Prince-Dormand 8(9) pair: few steps for tight tolerances",
    .create = create_rk8pd,
    .step = step,
    .restart = restart,
    .release = release,
    .initial_step = 0.00025,  // s
    .restarts_each_frame = false,
    .ends_on_accepted_state = false,
};
