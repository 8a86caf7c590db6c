// The integration methods of the page: rk4 only (GSL's old interface, compiled from source for
// the page). The others need SUNDIALS and GSL's odeiv2, which the page does not carry; asking for
// one is refused as not part of this build.
#include "stepping/integrators.hpp"

extern const IntegrationMethod rk4_method;

const IntegrationMethod* find_method(Method method) {
  return method == Method::rk4 ? &rk4_method : nullptr;
}
