// The integration methods of the page: rk4 only (GSL's old interface, compiled from source for
// the page). The others need SUNDIALS and GSL's odeiv2, which the page does not carry.
#include "stepping/integrators.hpp"

namespace {
constexpr const IntegrationMethod* rows[] = {&rk4_method};
}  // namespace

std::span<const IntegrationMethod* const> method_table() {
  return rows;
}
