// The integration methods in the web build: only the window program's rk4 (GSL's old interface,
// built from source for the page). The other methods need SUNDIALS and GSL's odeiv2, which the
// page does not carry; asking for one fails as if its objects could not be made, and the
// simulation keeps rk4.
#include "app/integrators.hpp"
#include "app/simulation.hpp"

struct AlternativeIntegrator {};

void AlternativeIntegratorDeleter::operator()(AlternativeIntegrator* integrator) const {
  delete integrator;
}

MbsStatus use_integrator(Simulation& sim, const RunSettings& settings) {
  if (settings.method != Method::rk4) return MbsStatus::out_of_memory;
  if (settings.absolute_tolerance != sim.settings.absolute_tolerance ||
      settings.relative_tolerance != sim.settings.relative_tolerance) {
    gsl_odeiv_control* control =
        gsl_odeiv_control_y_new(settings.absolute_tolerance, settings.relative_tolerance);
    if (!control) return MbsStatus::out_of_memory;
    sim.control.reset(control);
  }
  sim.settings = settings;
  return MbsStatus::ok;
}

// Never reached: no simulation here holds an alternative integrator.
int alternative_step(Simulation&, double) {
  return -1;
}

bool integrator_interrupted(const Simulation&) {
  return false;
}
