// Every integration method of the native build, one row each, in the order help texts list them.
#include "stepping/integrators.hpp"

extern const IntegrationMethod rkf45_method, rk8pd_method, bdf_method, dirk_method, auto_method;

namespace {
constexpr const IntegrationMethod* rows[] = {&rk4_method, &rkf45_method, &rk8pd_method,
                                             &bdf_method, &dirk_method,  &auto_method};
}  // namespace

std::span<const IntegrationMethod* const> method_table() {
  return rows;
}
