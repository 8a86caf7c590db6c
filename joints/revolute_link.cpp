// Revolute link (type 0): one angle q of the body frame relative to the parent's frame; the joint
// point sits at (offset_x, offset_y) in the parent's axes; a torsional spring-damper acts on q.
//
// The composite momentum of the body with its subtree is H = A u + b (A articulated inertia,
// u body velocity, b momentum bias), and the joint momentum is p = H[2]. Inward, each link hands
// its parent A with the joint direction eliminated; outward, p fixes qdot; inward again, forces
// give pdot.
#include <cmath>

#include "joints/joint_operations.hpp"

namespace {

struct Rotation {
  double s, c, ox, oy;
};

Rotation rotation_of(const Body& body) {
  const auto& j = body.joint;
  return {j[joint_sin], j[joint_cos], j[offset_x], j[offset_y]};
}

// V: a velocity in the parent's frame expressed at this body's origin in this body's axes.
Triple to_body_velocity(const Rotation& r, const Triple& e) {
  return {r.c * e[0] + r.s * e[1] + (r.ox * r.s - r.oy * r.c) * e[2],
          -r.s * e[0] + r.c * e[1] + (r.ox * r.c + r.oy * r.s) * e[2], e[2]};
}

// G = V^T: a force-like triple in this body's axes carried to the parent's axes and origin.
Triple to_parent_force(const Rotation& r, const Triple& f) {
  const double g0 = r.c * f[0] - r.s * f[1];
  const double g1 = r.s * f[0] + r.c * f[1];
  return {g0, g1, f[2] + r.ox * g1 - r.oy * g0};
}

}  // namespace

namespace revolute_link {

void construct(Body& body) {
  body.transmitted_inertia = {};
  body.articulated_inertia = {};
  // Uniform rod, 0.04 kg, 0.04 m, about its end. The 33 entry is the nearest double to 0.04^3/3;
  // computing 0.04*0.04*0.04/3 in doubles would round differently.
  body.inertia = {0.04, 0.0, 0.0, 0.04, 0.0008, 2.1333333333333335e-05};
  body.com = {0.02, 0.0};
  body.joint[offset_x] = 0.04;
  body.joint[offset_y] = 0.0;
  body.joint_damping[0] = 0.01;  // N m s/rad
  body.joint_stiffness[0] = 5.5;  // N m/rad
  body.joint_rest[0] = 0.0;
  body.carriage_link = 0;
}

void invert_joint_inertia(Body& body) { body.joint_inertia_inverse[0] = 1.0 / body.articulated_inertia[5]; }

// transmitted = V^T N V with N = A - A e3 j e3^T A; N has a zero third row and column, so only
// its 2x2 block is turned into the parent's axes and moved to the parent's origin.
void transmit_inertia(Body& body) {
  const Sym3& a = body.articulated_inertia;
  const double j = body.joint_inertia_inverse[0];
  const Rotation r = rotation_of(body);
  const double n11 = a[0] - (a[2] * j) * a[2];
  const double n12 = a[1] - (a[2] * j) * a[4];
  const double n22 = a[3] - (j * a[4]) * a[4];
  body.reduced_inertia[0] = n11;
  body.reduced_inertia[1] = n12;
  body.reduced_inertia[3] = n22;
  const double t = (n11 - n22) * r.c - 2.0 * n12 * r.s;
  const double r11 = n22 + t * r.c;
  const double r12 = n12 + t * r.s;
  const double r22 = n11 - t * r.c;
  body.transmitted_inertia = {r11,
                              r12,
                              r12 * r.ox - r11 * r.oy,
                              r22,
                              r22 * r.ox - r12 * r.oy,
                              r22 * r.ox * r.ox + r11 * r.oy * r.oy - 2.0 * r12 * r.ox * r.oy};
}

// Momentum of the subtree when the parent is at rest and every joint holds its p.
void transmit_momentum_bias(Body& body) {
  const Sym3& a = body.articulated_inertia;
  const Triple& b = body.momentum_bias;
  const double p = *body.p;
  const double t = (p - b[2]) * body.joint_inertia_inverse[0];
  body.transmitted_momentum_bias =
      to_parent_force(rotation_of(body), {t * a[2] + b[0], t * a[4] + b[1], p});
}

// p = a13 w0 + a23 w1 + a33 (w2 + qdot) + b2, solved for qdot.
void joint_velocity(Body& body) {
  const Sym3& a = body.articulated_inertia;
  const Triple& w = body.parent_velocity;
  *body.qdot = (*body.p - body.momentum_bias[2] - a[2] * w[0] - a[4] * w[1] - a[5] * w[2]) *
               body.joint_inertia_inverse[0];
}

// Angular momentum about the moving joint point changes at the applied moment minus
// (joint-point velocity x linear momentum); the joint's spring-damper acts on q.
void joint_momentum_rate(Body& body) {
  const Triple& h = body.composite_momentum;
  const Triple& u = body.velocity;
  *body.pdot = h[0] * u[1] + body.total_force[2] - h[1] * u[0] -
               body.joint_damping[0] * *body.qdot -
               body.joint_stiffness[0] * (*body.q - body.joint_rest[0]);
}

void transmit_force(Body& body) {
  body.transmitted_force = to_parent_force(rotation_of(body), body.total_force);
}

void composite_momentum(Body& body) {
  const Sym3& a = body.articulated_inertia;
  const Triple& u = body.velocity;
  const Triple& b = body.momentum_bias;
  body.composite_momentum[0] = a[2] * u[2] + a[0] * u[0] + a[1] * u[1] + b[0];
  body.composite_momentum[1] = a[4] * u[2] + a[3] * u[1] + a[1] * u[0] + b[1];
  body.composite_momentum[2] = *body.p;  // equals a13 u0 + a23 u1 + a33 u2 + b2 by definition of qdot
}

void transmit_momentum(Body& body) {
  body.transmitted_momentum = to_parent_force(rotation_of(body), body.composite_momentum);
}

void initial_joint_momentum(Body& body) { *body.p = body.composite_momentum[2]; }

// Acceleration recursion in the same layout. No pass calls these; acceleration_bias stays 0.
void transmit_acceleration_bias(Body& body) {
  const Sym3& a = body.articulated_inertia;
  const Sym3& n = body.reduced_inertia;
  const Triple& w = body.parent_velocity;
  const Triple& beta = body.acceleration_bias;
  const Triple& h = body.composite_momentum;
  const double qdot = *body.qdot;
  Triple& zeta = body.velocity_product_acceleration;
  zeta = {w[1] * qdot, -w[0] * qdot, 0.0};
  const double t = (*body.pdot - beta[2]) * body.joint_inertia_inverse[0];
  body.transmitted_acceleration_bias = to_parent_force(
      rotation_of(body),
      {t * a[2] + n[0] * zeta[0] + n[1] * zeta[1] + beta[0] - h[1] * qdot,
       t * a[4] + n[1] * zeta[0] + n[3] * zeta[1] + beta[1] + h[0] * qdot, t * a[5] + beta[2]});
}

void joint_acceleration(Body& body) {
  const Sym3& a = body.articulated_inertia;
  const Triple& zeta = body.velocity_product_acceleration;
  const Triple carried = to_body_velocity(rotation_of(body), body.parent->acceleration);
  Triple& pa = body.parent_acceleration;
  pa = {carried[0] + zeta[0], carried[1] + zeta[1], body.parent->acceleration[2]};
  *body.qddot = (*body.pdot - body.acceleration_bias[2] - a[2] * pa[0] - a[4] * pa[1] -
                 a[5] * pa[2]) *
                body.joint_inertia_inverse[0];
}

void body_acceleration(Body& body) {
  const Triple& pa = body.parent_acceleration;
  body.acceleration = {pa[0], pa[1], pa[2] + *body.qddot};
}

void composite_force(Body& body) {
  const Sym3& a = body.articulated_inertia;
  const Triple& e = body.acceleration;
  const Triple& beta = body.acceleration_bias;
  body.composite_force = {a[0] * e[0] + a[1] * e[1] + a[2] * e[2] + beta[0],
                          a[1] * e[0] + a[3] * e[1] + a[4] * e[2] + beta[1], *body.pdot};
}

}  // namespace revolute_link

void revolute_joint_transform(Body& body) {
  const double q = *body.q;
  body.joint[joint_sin] = std::sin(q);
  body.joint[joint_cos] = std::cos(q);
}

// The velocity the body frame would have with qdot = 0.
void revolute_parent_velocity(Body& body) {
  body.parent_velocity = to_body_velocity(rotation_of(body), body.parent->velocity);
}

void revolute_body_velocity(Body& body) {
  const Triple& w = body.parent_velocity;
  body.velocity = {w[0], w[1], w[2] + *body.qdot};
}

// World pose composed from the parent's by the angle-sum rule; angle is never wrapped.
void revolute_absolute_placement(Body& body) {
  const Body& parent = *body.parent;
  const Rotation r = rotation_of(body);
  body.sin_abs = parent.sin_abs * r.c + r.s * parent.cos_abs;
  body.cos_abs = r.c * parent.cos_abs - parent.sin_abs * r.s;
  body.position[0] = r.ox * parent.cos_abs - parent.sin_abs * r.oy + parent.position[0];
  body.position[1] = r.oy * parent.cos_abs + parent.sin_abs * r.ox + parent.position[1];
  body.angle = *body.q + parent.angle;
}
