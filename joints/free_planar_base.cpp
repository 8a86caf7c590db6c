// Free planar base (type 1): three coordinates, the world x and y of the body origin and the
// body's absolute angle, with their conjugate momenta in world axes. It hangs from the fixed
// world and hands nothing to a parent. T below turns body-frame triples into world-frame ones:
// T (x, y, r) = (c x - s y, s x + c y, r).
#include <cmath>

#include "joints/joint_operations.hpp"

namespace free_planar_base {

void construct(Body& body) {
  body.transmitted_inertia = {};
  body.articulated_inertia = {};
  body.inertia = {0.04, 0.0, 0.0, 0.04, 0.0008, 2.1333333333333335e-05};
  body.com = {0.02, 0.0};
  body.joint_damping = {0.0, 0.0, 0.0};
  body.joint_stiffness = {0.0, 0.0, 0.0};
  body.joint_rest = {0.0, 0.0, 0.0};
  body.carriage_link = 0;
}

void joint_transform(Body& body) {
  const double angle = body.q[2];
  body.joint[joint_sin] = std::sin(angle);
  body.joint[joint_cos] = std::cos(angle);
}

// The ground does not move.
void parent_velocity(Body& body) { body.parent_velocity = {0.0, 0.0, 0.0}; }

// velocity = T^T qdot.
void body_velocity(Body& body) {
  const double s = body.joint[joint_sin], c = body.joint[joint_cos];
  const double* qdot = body.qdot;
  body.velocity = {qdot[1] * s + qdot[0] * c, qdot[1] * c - s * qdot[0], qdot[2]};
}

// Inverse of K = T A T^T, the articulated inertia seen by the world-frame coordinates, by
// cofactors (expansion along the first row). K is positive definite for any physical A.
void invert_joint_inertia(Body& body) {
  const Sym3& a = body.articulated_inertia;
  const double s = body.joint[joint_sin], c = body.joint[joint_cos];
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
  body.joint_inertia_inverse = {r * x,
                                -(r * y),
                                r * z,
                                r * (k33 * k11 - k13 * k13),
                                -(r * (k23 * k11 - k13 * k12)),
                                r * (k22 * k11 - k12 * k12)};
}

// qdot = J (p - T b).
void joint_velocity(Body& body) {
  const double s = body.joint[joint_sin], c = body.joint[joint_cos];
  const Triple& b = body.momentum_bias;
  const Sym3& j = body.joint_inertia_inverse;
  const double* p = body.p;
  const double w0 = c * b[0] - s * b[1];
  const double w1 = c * b[1] + s * b[0];
  const double d0 = p[0] - w0;
  const double d1 = p[1] - w1;
  const double d2 = p[2] - b[2];
  body.qdot[0] = d2 * j[2] + d1 * j[1] + d0 * j[0];
  body.qdot[1] = d2 * j[4] + d1 * j[3] + d0 * j[1];
  body.qdot[2] = d2 * j[5] + d1 * j[4] + d0 * j[2];
}

// The pose follows from the coordinates alone.
void absolute_placement(Body& body) {
  body.sin_abs = body.joint[joint_sin];
  body.cos_abs = body.joint[joint_cos];
  body.position = {body.q[0], body.q[1]};
  body.angle = body.q[2];
}

// composite momentum = T^T p.
void composite_momentum(Body& body) {
  const double s = body.joint[joint_sin], c = body.joint[joint_cos];
  const double* p = body.p;
  body.composite_momentum = {c * p[0] + s * p[1], c * p[1] - p[0] * s, p[2]};
}

// World-frame force on the translations; the angle gets the moving-point term
// (H0 u1 - H1 u0, as for the revolute link) and the only spring. All three coordinates are damped.
void joint_momentum_rate(Body& body) {
  const double s = body.joint[joint_sin], c = body.joint[joint_cos];
  const Triple& f = body.total_force;
  const Triple& h = body.composite_momentum;
  const Triple& u = body.velocity;
  const double* qdot = body.qdot;
  const auto& damping = body.joint_damping;
  body.pdot[0] = (c * f[0] - s * f[1]) - qdot[0] * damping[0];
  body.pdot[1] = (c * f[1] + s * f[0]) - qdot[1] * damping[1];
  body.pdot[2] = h[0] * u[1] + f[2] - h[1] * u[0] - qdot[2] * damping[2] -
                 (body.q[2] - body.joint_rest[2]) * body.joint_stiffness[2];
}

// p = T H, the inverse of composite_momentum.
void initial_joint_momentum(Body& body) {
  const double s = body.joint[joint_sin], c = body.joint[joint_cos];
  const Triple& h = body.composite_momentum;
  body.p[0] = c * h[0] - s * h[1];
  body.p[1] = c * h[1] + s * h[0];
  body.p[2] = h[2];
}

}  // namespace free_planar_base

void do_nothing(Body&) {}
