// Value forms of the computations every body performs (body_common.cpp), for the fused kernels:
// the same expressions in the same order as the operations on the body record.
#pragma once

#include "mbs/mbs.hpp"

namespace body_values {

// A world-axes triple in body axes, for a body at absolute angle (sin s, cos c).
inline Triple rotate_to_body(double s, double c, const Triple& triple) {
  const double x = triple[0], y = triple[1];
  return {y * s + c * x, c * y - x * s, triple[2]};
}

// Gravity along -y in world axes, with the moment of the weight about the body origin.
inline Triple weight(double m, const Point& com, double s, double c, double gravity) {
  return {0.0, -(gravity * m), (c * com[0] - s * com[1]) * (-(gravity * m))};
}

inline Triple weight(const Body& body, double s, double c, double gravity) {
  return weight(body.inertia[0], body.com, s, c, gravity);
}

}  // namespace body_values
