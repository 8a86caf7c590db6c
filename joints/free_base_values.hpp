// The free planar base's algebra as value functions: its table operations (free_planar_base.cpp)
// and its fused step (the root's turn in the right-hand side) both evaluate these, so each
// expression exists once. T turns body-frame triples into world-frame ones:
// T (x, y, r) = (c x - s y, s x + c y, r).
#pragma once

#include "mbs/mbs.hpp"

namespace free_base_values {

// Inverse of K = T A T^T, the articulated inertia seen by the world-frame coordinates, by
// cofactors (expansion along the first row). K is positive definite for any physical A.
inline Sym3 joint_inertia_inverse(const Sym3& a, double s, double c) {
  const double t = (a[0] - a[3]) * c - 2.0 * a[1] * s;
  const double k11 = t * c + a[3];
  const double k12 = t * s + a[1];
  const double k22 = a[0] - t * c;
  const double k13 = c * a[2] - s * a[4];
  const double k23 = c * a[4] + s * a[2];
  const double k33 = a[5];
  const double x = k33 * k22 - k23 * k23;
  const double y = k33 * k12 - k23 * k13;
  const double z = k23 * k12 - k22 * k13;
  const double det = x * k11 - y * k12 + z * k13;
  const double r = 1.0 / det;
  return {r * x,
          -(r * y),
          r * z,
          r * (k33 * k11 - k13 * k13),
          -(r * (k23 * k11 - k13 * k12)),
          r * (k22 * k11 - k12 * k12)};
}

// qdot = J (p - T b).
inline Triple joint_rates(double s, double c, const Triple& b, const Sym3& j, const double* p) {
  const double w0 = c * b[0] - s * b[1];
  const double w1 = c * b[1] + s * b[0];
  const double d0 = p[0] - w0;
  const double d1 = p[1] - w1;
  const double d2 = p[2] - b[2];
  return {d2 * j[2] + d1 * j[1] + d0 * j[0], d2 * j[4] + d1 * j[3] + d0 * j[1],
          d2 * j[5] + d1 * j[4] + d0 * j[2]};
}

// velocity = T^T qdot.
inline Triple body_velocity(double s, double c, const double* qdot) {
  return {qdot[1] * s + qdot[0] * c, qdot[1] * c - s * qdot[0], qdot[2]};
}

// composite momentum = T^T p.
inline Triple composite_momentum(double s, double c, const double* p) {
  return {c * p[0] + s * p[1], c * p[1] - p[0] * s, p[2]};
}

// World-frame force on the translations; the angle gets the moving-point term
// (H0 u1 - H1 u0, as for the revolute link) and the only spring. All three coordinates are damped.
inline Triple momentum_rates(const Body& body, double s, double c, const Triple& f, const Triple& h,
                             const Triple& u, const double* qdot) {
  const auto& damping = body.joint_damping;
  return {(c * f[0] - s * f[1]) - qdot[0] * damping[0],
          (c * f[1] + s * f[0]) - qdot[1] * damping[1],
          h[0] * u[1] + f[2] - h[1] * u[0] - qdot[2] * damping[2] -
              (body.q[2] - body.joint_rest[2]) * body.joint_stiffness[2]};
}

}  // namespace free_base_values
