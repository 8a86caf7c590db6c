// Slaved revolute joint (type 2): a revolute joint without momentum of its own. Its rate is set
// from the parent's velocity w so that a tip point, described by the child's coupling block
// (coupling_a: parent velocity -> squared tip speed), moves as slowly as possible:
// qdot = g . w, with g solving a13 u0 + a23 u1 + a33 u2 = 0 for u = E w.
// E (rate_transfer) has rows (1, 0, 0), (0, 1, 0), (g0, g1, 0).
#include <cmath>

#include "joints/joint_frame.hpp"
#include "joints/joint_operations.hpp"
#include "joints/slaved_record.hpp"

namespace {

// A tip coupling smaller than this (1/a33 above 1e4) means the tip sits on the joint axis and
// the rate that stills it is undefined.
constexpr double largest_coupling_reciprocal = 10000.0;

// A symmetric matrix with zero third row and column, turned into the parent's axes and moved
// to the parent's origin.
Sym3 to_parent_matrix(const JointFrame& r, double x11, double x12, double x22) {
  const double t = (x11 - x22) * r.c - (x12 + x12) * r.s;
  const double y11 = x22 + t * r.c;
  const double y12 = t * r.s + x12;
  const double y22 = x11 - t * r.c;
  return {y11,
          y12,
          y12 * r.ox - y11 * r.oy,
          y22,
          y22 * r.ox - y12 * r.oy,
          (y22 * r.ox) * r.ox + (y11 * r.oy) * r.oy - (y12 * r.ox) * r.oy - (y12 * r.ox) * r.oy};
}

}  // namespace

namespace slaved_revolute {

void construct(Body& body) {
  SlavedRecord& record = slaved_record(body);
  body.transmitted_inertia = {};
  body.articulated_inertia = {};
  record.rate_transfer = {1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0};
  record.reduced_coupling = {1.0, 0.0, 0.0, 1.0, 0.0, 0.0};
  body.momentum_bias = {0.0, 0.0, 0.0};
  record.rate_gain = {0.0, 0.0, -1.0};
  // Uniform rod, 1 kg, 0.25 m, about its end: 23 = m cx, 33 = m l^2 / 3 = 1/48.
  body.inertia = {1.0, 0.0, 0.0, 1.0, 0.125, 0.020833333333333332};
  body.com = {0.125, 0.0};
  body.joint[offset_x] = 0.25;
  body.joint[offset_y] = 0.0;
  body.joint_damping[0] = 0.0;
  body.joint_stiffness[0] = 0.0;
  body.joint_rest[0] = 0.0;
  body.own_forces = 0;
}

// The joint rotation of this kind is taken in single precision.
void joint_transform(Body& body) {
  const float q = static_cast<float>(*body.q);
  body.joint[joint_sin] = static_cast<float>(std::sin(q));
  body.joint[joint_cos] = static_cast<float>(std::cos(q));
}

// Eliminates this joint's coordinate from the child's coupling block (alpha, with its rate beta),
// fixes the rate gain g, and hands the parent the reduced block and its exact time derivative.
// Reads the qdot that the previous evaluation left. File-local, like the helpers above.
// A tip on the joint axis is recorded as a singularity; the numbers that follow are meaningless.
// The block is the last child's, taken in the same inward pass (the children are done); a body
// without children keeps the copies it holds.
static void reduce_coupling(Body& body) {
  SlavedRecord& record = slaved_record(body);
  const Body* last = nullptr;
  for (const Body* child = body.first_child; child; child = child->next_sibling) last = child;
  if (last) {
    record.child_coupling_a = slaved_record(*last).coupling_a;
    record.child_coupling_b = slaved_record(*last).coupling_b;
  }
  const Sym3& alpha = record.child_coupling_a;
  const Sym3& beta = record.child_coupling_b;
  const double r = 1.0 / alpha[5];
  if (r > largest_coupling_reciprocal) record_failure(body, MbsStatus::singular);
  const double rho = -((r * beta[5]) * r);  // d(1/a33)/dt

  const double g0 = -(r * alpha[2]);
  const double g1 = -(r * alpha[4]);
  record.rate_gain = {g0, g1, -1.0};
  record.rate_transfer[6] = g0;
  record.rate_transfer[7] = g1;

  const double z11 = alpha[2] * g0 + alpha[0];
  const double z12 = alpha[2] * g1 + alpha[1];
  const double z22 = alpha[4] * g1 + alpha[3];
  record.reduced_coupling[0] = z11;
  record.reduced_coupling[1] = z12;
  record.reduced_coupling[3] = z22;
  const JointFrame rot = joint_frame_of(body);
  record.coupling_a = to_parent_matrix(rot, z11, z12, z22);

  const double g0_rate = -(rho * alpha[2]) - r * beta[2];
  const double g1_rate = -(rho * alpha[4]) - r * beta[4];
  record.rate_transfer_rate = {0.0, 0.0, 0.0, 0.0, 0.0, 0.0, g0_rate, g1_rate, 0.0};

  const double z11_rate = (beta[2] * g0 + g0_rate * alpha[2]) + beta[0];
  const double z12_rate = (g1_rate * alpha[2] + beta[2] * g1) + beta[1];
  const double z22_rate = (g1 * beta[4] + g1_rate * alpha[4]) + beta[3];
  record.reduced_coupling_rate = {z11_rate, z12_rate, 0.0, z22_rate, 0.0, 0.0};

  // d/dt of the rotated block: the rotation at rate qdot adds the commutator terms.
  const double qdot = *body.qdot;
  const double m11 = z11_rate - 2.0 * z12 * qdot;
  const double m12 = z12_rate + (z11 - z22) * qdot;
  const double m22 = z22_rate + 2.0 * z12 * qdot;
  record.coupling_b = to_parent_matrix(rot, m11, m12, m22);
}

// The inertia presented to the parent under the constraint u = E w: E^T A E.
void transmit_inertia(Body& body) {
  reduce_coupling(body);
  const Sym3& a = body.articulated_inertia;
  const Triple& g = slaved_record(body).rate_gain;
  const double g0 = g[0], g1 = g[1];
  const double n11 = a[2] * g0 + ((g0 * g0) * a[5] + a[0]) + a[2] * g0;
  const double n12 = ((g1 * a[5] + a[4]) * g0 + g1 * a[2]) + a[1];
  const double n22 = (g1 * a[4] + g1 * a[4]) + (g1 * a[5]) * g1 + a[3];
  body.reduced_inertia[0] = n11;
  body.reduced_inertia[1] = n12;
  body.reduced_inertia[3] = n22;
  body.transmitted_inertia = to_parent_matrix(joint_frame_of(body), n11, n12, n22);
}

// No joint momentum, hence no bias.
void transmit_momentum_bias(Body& body) {
  body.transmitted_momentum_bias = {0.0, 0.0, 0.0};
}

void composite_momentum(Body& body) {
  const Sym3& a = body.articulated_inertia;
  const Triple& u = body.velocity;
  body.composite_momentum = {a[0] * u[0] + a[1] * u[1] + u[2] * a[2],
                             a[3] * u[1] + u[2] * a[4] + a[1] * u[0],
                             a[5] * u[2] + u[0] * a[2] + a[4] * u[1]};
}

// The subtree's force carried to the parent through E^T, with the terms from the rate of E and
// from the motion of the joint point, and the joint's own spring-damper. The joint torque tau acts
// on this body (through E^T it adds g[0] tau, g[1] tau) and, reversed, on the parent (tau g[2]):
// the generalized force tau g that keeps a conservative joint spring conservative. With the
// construct's zero stiffness and damping the body's share vanishes.
void transmit_force(Body& body) {
  const Triple& f = body.total_force;
  const Triple& h = body.composite_momentum;
  const Triple& u = body.velocity;
  const SlavedRecord& record = slaved_record(body);
  const Triple& g = record.rate_gain;
  const double g0_rate = record.rate_transfer_rate[6];
  const double g1_rate = record.rate_transfer_rate[7];
  const double tau =
      (body.joint_rest[0] - *body.q) * body.joint_stiffness[0] - body.joint_damping[0] * *body.qdot;
  const double fx =
      ((((u[1] * g[0]) * h[0] + (-(u[0] * g[0])) * h[1]) + (g0_rate - g[1] * u[2]) * h[2]) +
       g[0] * (f[2] + tau)) +
      f[0];
  const double fy =
      ((((g[1] * (f[2] + tau) + (g[1] * u[1] + g1_rate) * h[0]) + (-(g[1] * u[0])) * h[1]) +
        (g[0] * u[2]) * h[2]) +
       f[1]);
  const double fm =
      ((tau * g[2] + (-u[1]) * h[0]) + u[0] * h[1]) + (g[1] * u[0] - u[1] * g[0]) * h[2];
  body.transmitted_force = to_parent_force_moment_last(joint_frame_of(body), fx, fy, fm);
}

// Set-up: E^T H carried to the parent.
void transmit_momentum(Body& body) {
  reduce_coupling(body);
  const Triple& h = body.composite_momentum;
  const Triple& g = slaved_record(body).rate_gain;
  const double e0 = g[0] * h[2] + h[0];
  const double e1 = g[1] * h[2] + h[1];
  body.transmitted_momentum = to_parent_force_moment_last(joint_frame_of(body), e0, e1, 0.0);
}

}  // namespace slaved_revolute

void slaved_joint_velocity(Body& body) {
  const Triple& g = slaved_record(body).rate_gain;
  const Triple& w = body.parent_velocity;
  *body.qdot = g[2] * w[2] + g[1] * w[1] + g[0] * w[0];
}
