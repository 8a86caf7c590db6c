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

// A symmetric inertia (or stiffness) about the body origin in world axes, in the axes of a body at
// absolute angle (sin s, cos c): T^T W T with T turning body triples into world ones.
inline Sym3 inertia_to_body_axes(double s, double c, const Sym3& w) {
  const double xx = w[0], xy = w[1], xr = w[2], yy = w[3], yr = w[4];
  return {c * c * xx + 2.0 * s * c * xy + s * s * yy,
          c * s * (yy - xx) + (c * c - s * s) * xy,
          c * xr + s * yr,
          s * s * xx - 2.0 * s * c * xy + c * c * yy,
          c * yr - s * xr,
          w[5]};
}

// The body's own momentum about its origin in body axes: its inertia times its velocity.
inline Triple body_momentum(const Sym3& m, const Triple& v) {
  const double vx = v[0], vy = v[1], w = v[2];
  return {w * m[2] + m[0] * vx, m[0] * vy + w * m[4], m[5] * w + vx * m[2] + m[4] * vy};
}

// A weight (0, w) in world axes at the centre of mass, with its moment about the body origin.
inline Triple weight(double w, const Point& com, double s, double c) {
  return {0.0, w, (c * com[0] - s * com[1]) * w};
}

// The body's own force plus what its children hand up, children in list order.
inline Triple total_force(const Body& body, const Triple& own) {
  Triple total = own;
  for (const Body* child = body.first_child; child; child = child->next_sibling)
    for (int i = 0; i < 3; ++i) total[i] += child->transmitted_force[i];
  return total;
}

}  // namespace body_values
