// The integration methods in the web build: only the window program's rk4 (GSL's old interface,
// built from source for the page). The other methods need SUNDIALS and GSL's odeiv2, which the
// page does not carry; asking for one fails as if its objects could not be made, and the
// simulation keeps rk4.
#include <cmath>
#include <string>

#include "app/integrators.hpp"
#include "app/simulation.hpp"

struct AlternativeIntegrator {};

void AlternativeIntegratorDeleter::operator()(AlternativeIntegrator* integrator) const {
  delete integrator;
}

namespace {
constexpr const char* names[] = {"rk4", "rkf45", "rk8pd", "bdf", "dirk"};  // Method's order
}  // namespace

const char* method_name(Method method) {
  const auto index = static_cast<unsigned>(method);
  return index < std::size(names) ? names[index] : "?";
}

bool method_from_name(std::string_view name, Method& method) {
  for (unsigned index = 0; index < std::size(names); ++index)
    if (name == names[index]) {
      method = static_cast<Method>(index);
      return true;
    }
  return false;
}

std::string method_names() {
  std::string list;
  for (const char* name : names) list += std::string(list.empty() ? "" : ", ") + name;
  return list;
}

bool check_tolerances(double absolute, double relative, std::string& error) {
  for (const double tolerance : {absolute, relative})
    if (!(std::isfinite(tolerance) && tolerance > 0.0 && tolerance <= 1.0)) {
      error = "tolerances need finite numbers greater than 0 and at most 1";
      return false;
    }
  return true;
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
