// The revolute link's algebra as value functions: the table operations (revolute_link.cpp) and
// the fused kernels over runs of links both evaluate these, so each expression exists once.
#pragma once

#include <cmath>

#include "joints/joint_frame.hpp"
#include "mbs/mbs.hpp"

namespace revolute_values {

// N = A - A e3 j e3^T A: its 11, 12 and 22 entries (the third row and column are zero).
struct ReducedInertia {
  double n11, n12, n22;
};

inline ReducedInertia reduced_inertia(const Sym3& a, double j) {
  return {a[0] - (a[2] * j) * a[2], a[1] - (a[2] * j) * a[4], a[3] - (j * a[4]) * a[4]};
}

// V^T N V: N turned into the parent's axes and moved to the parent's origin.
inline Sym3 transmitted_inertia(const JointFrame& r, const ReducedInertia& n) {
  const double t = (n.n11 - n.n22) * r.c - 2.0 * n.n12 * r.s;
  const double r11 = n.n22 + t * r.c;
  const double r12 = n.n12 + t * r.s;
  const double r22 = n.n11 - t * r.c;
  return {r11,
          r12,
          r12 * r.ox - r11 * r.oy,
          r22,
          r22 * r.ox - r12 * r.oy,
          r22 * r.ox * r.ox + r11 * r.oy * r.oy - 2.0 * r12 * r.ox * r.oy};
}

// Momentum of the subtree when the parent is at rest and every joint holds its p.
inline Triple transmitted_momentum_bias(const JointFrame& r, const Sym3& a, const Triple& b,
                                        double p, double j) {
  const double t = (p - b[2]) * j;
  return to_parent_force(r, {t * a[2] + b[0], t * a[4] + b[1], p});
}

// p = a13 w0 + a23 w1 + a33 (w2 + qdot) + b2, solved for qdot.
inline double joint_rate(const Sym3& a, double b2, const Triple& w, double p, double j) {
  return (p - b2 - a[2] * w[0] - a[4] * w[1] - a[5] * w[2]) * j;
}

inline Triple body_velocity(const Triple& w, double qdot) { return {w[0], w[1], w[2] + qdot}; }

// World pose of a body: what the outward pass hands from a parent to its children.
struct Placement {
  double sin_abs, cos_abs;
  Point position;
  double angle;
};

inline Placement placement_of(const Body& body) {
  return {body.sin_abs, body.cos_abs, body.position, body.angle};
}

inline void store_placement(Body& body, const Placement& placement) {
  body.sin_abs = placement.sin_abs;
  body.cos_abs = placement.cos_abs;
  body.position = placement.position;
  body.angle = placement.angle;
}

// World pose composed from the parent's by the angle-sum rule; angle is never wrapped.
inline Placement placement(const JointFrame& r, const Placement& parent, double q) {
  return {parent.sin_abs * r.c + r.s * parent.cos_abs,
          r.c * parent.cos_abs - parent.sin_abs * r.s,
          {r.ox * parent.cos_abs - parent.sin_abs * r.oy + parent.position[0],
           r.oy * parent.cos_abs + parent.sin_abs * r.ox + parent.position[1]},
          q + parent.angle};
}

// H = A u + b; its rotational entry is p by definition of qdot.
inline Triple composite_momentum(const Sym3& a, const Triple& u, const Triple& b, double p) {
  return {a[2] * u[2] + a[0] * u[0] + a[1] * u[1] + b[0],
          a[4] * u[2] + a[3] * u[1] + a[1] * u[0] + b[1], p};
}

// Angular momentum about the moving joint point changes at the applied moment minus
// (joint-point velocity x linear momentum); the joint's spring-damper acts on q.
inline double momentum_rate(const Triple& h, const Triple& u, double moment, double q, double qdot,
                            double damping, double stiffness, double rest) {
  return h[0] * u[1] + moment - h[1] * u[0] - damping * qdot - stiffness * (q - rest);
}

inline double momentum_rate(const Body& body, const Triple& h, const Triple& u, double moment,
                            double q, double qdot) {
  return momentum_rate(h, u, moment, q, qdot, body.joint_damping[0], body.joint_stiffness[0],
                       body.joint_rest[0]);
}

// sin q and cos q, kept in the joint record.
inline JointFrame joint_transform(Body& body, double q) {
  body.joint[joint_sin] = std::sin(q);
  body.joint[joint_cos] = std::cos(q);
  return joint_frame_of(body);
}

inline JointFrame joint_transform(Body& body) { return joint_transform(body, *body.q); }

}  // namespace revolute_values
