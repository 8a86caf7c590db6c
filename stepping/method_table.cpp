// Every integration method of the native build, one row each.
#include "stepping/integrators.hpp"

extern const IntegrationMethod rk4_method, rkf45_method, rk8pd_method, bdf_method, dirk_method,
    auto_method;

namespace {
constexpr const IntegrationMethod* rows[] = {&rk4_method, &rkf45_method, &rk8pd_method,
                                             &bdf_method, &dirk_method, &auto_method};
}  // namespace

const IntegrationMethod* find_method(Method method) {
  for (const IntegrationMethod* row : rows)
    if (row->method == method) return row;
  return nullptr;
}
