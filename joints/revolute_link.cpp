// Revolute link (type 0): one angle q of the body frame relative to the parent's frame; the joint
// point sits at (offset_x, offset_y) in the parent's axes; a torsional spring-damper acts on q.
//
// The composite momentum of the body with its subtree is H = A u + b (A articulated inertia,
// u body velocity, b momentum bias), and the joint momentum is p = H[2]. Inward, each link hands
// its parent A with the joint direction eliminated; outward, p fixes qdot; inward again, forces
// give pdot.
#include <cstddef>

#include "joints/joint_operations.hpp"
#include "joints/revolute_values.hpp"
#include "mbs/body_prefetch.hpp"
#include "mbs/body_values.hpp"

using namespace revolute_values;

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
  const ReducedInertia n = reduced_inertia(body.articulated_inertia, body.joint_inertia_inverse[0]);
  body.reduced_inertia[0] = n.n11;
  body.reduced_inertia[1] = n.n12;
  body.reduced_inertia[3] = n.n22;
  body.transmitted_inertia = revolute_values::transmitted_inertia(joint_frame_of(body), n);
}

void transmit_momentum_bias(Body& body) {
  body.transmitted_momentum_bias =
      revolute_values::transmitted_momentum_bias(joint_frame_of(body), body.articulated_inertia,
                                                 body.momentum_bias, *body.p,
                                                 body.joint_inertia_inverse[0]);
}

void joint_velocity(Body& body) {
  *body.qdot = joint_rate(body.articulated_inertia, body.momentum_bias[2], body.parent_velocity,
                          *body.p, body.joint_inertia_inverse[0]);
}

void joint_momentum_rate(Body& body) {
  *body.pdot = momentum_rate(body, body.composite_momentum, body.velocity, body.total_force[2],
                             *body.q, *body.qdot);
}

void transmit_force(Body& body) {
  body.transmitted_force = to_parent_force(joint_frame_of(body), body.total_force);
}

void composite_momentum(Body& body) {
  body.composite_momentum = revolute_values::composite_momentum(
      body.articulated_inertia, body.velocity, body.momentum_bias, *body.p);
}

void transmit_momentum(Body& body) {
  body.transmitted_momentum = to_parent_force(joint_frame_of(body), body.composite_momentum);
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
      joint_frame_of(body),
      {t * a[2] + n[0] * zeta[0] + n[1] * zeta[1] + beta[0] - h[1] * qdot,
       t * a[4] + n[1] * zeta[0] + n[3] * zeta[1] + beta[1] + h[0] * qdot, t * a[5] + beta[2]});
}

void joint_acceleration(Body& body) {
  const Sym3& a = body.articulated_inertia;
  const Triple& zeta = body.velocity_product_acceleration;
  const Triple carried = to_body_velocity(joint_frame_of(body), body.parent->acceleration);
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

void revolute_joint_transform(Body& body) { revolute_values::joint_transform(body); }

// The velocity the body frame would have with qdot = 0.
void revolute_parent_velocity(Body& body) {
  body.parent_velocity = to_body_velocity(joint_frame_of(body), body.parent->velocity);
}

void revolute_body_velocity(Body& body) {
  body.velocity = revolute_values::body_velocity(body.parent_velocity, *body.qdot);
}

void revolute_absolute_placement(Body& body) {
  store_placement(body, placement(joint_frame_of(body), placement_of(*body.parent), *body.q));
}

// Fused right-hand-side kernels over runs of links. Each link computes exactly what its table
// operations compute, but what it hands to the next link of the run (transmitted inertia and
// bias inward, velocity and placement outward, transmitted force inward) stays in locals instead
// of going through the records. The records keep only what a later pass or a caller reads: the
// articulated inertia, bias and joint inverse, the pose and velocity, qdot and pdot, and what the
// last link of a run hands its parent. Intermediates (reduced inertia, parent velocity, the
// link's forces and composite momentum, the child coupling copies) are left as they were; the
// table path (run_rhs_table_passes) fills them.
namespace {

struct HandedUp {
  Sym3 inertia;
  Triple bias;
};

// Pass 1 of one link from its accumulated inertia and bias.
[[gnu::always_inline]] inline HandedUp link_inertia_step(Body& body, const JointFrame& r,
                                                         const Sym3& a, const Triple& b) {
  body.articulated_inertia = a;
  body.momentum_bias = b;
  const double j = 1.0 / a[5];
  body.joint_inertia_inverse[0] = j;
  const ReducedInertia n = reduced_inertia(a, j);
  return {revolute_values::transmitted_inertia(r, n),
          revolute_values::transmitted_momentum_bias(r, a, b, *body.p, j)};
}

// Pass 1 of a link whose only child handed up `child_up`: the sums of accumulate_inertia.
[[gnu::always_inline]] inline HandedUp chained_inertia_step(Body& body, const HandedUp& child_up) {
  const JointFrame r = revolute_values::joint_transform(body);
  Sym3 a;
  for (int k = 0; k < 6; ++k) a[k] = body.inertia[k] + child_up.inertia[k];
  Triple b;
  for (int k = 0; k < 3; ++k) b[k] = 0.0 + child_up.bias[k];
  return link_inertia_step(body, r, a, b);
}

// Gravity and the carriage couplings in body axes. The couplings work on the record.
[[gnu::always_inline]] inline Triple link_own_force(Body& body, double gravity) {
  const double s = body.sin_abs, c = body.cos_abs;
  Triple applied = body_values::weight(body, s, c, gravity);
  if (body.carriage_link != 0) [[unlikely]] {
    body.applied_force = applied;
    add_carriage_coupling(body);
    applied = body.applied_force;
  }
  return body_values::rotate_to_body(s, c, applied);
}

// Pass 3 of one link from its total force; returns the force handed to the parent.
[[gnu::always_inline]] inline Triple link_force_step(Body& body, const Triple& total) {
  const Triple u = body.velocity;
  const Triple h = revolute_values::composite_momentum(body.articulated_inertia, u,
                                                       body.momentum_bias, *body.p);
  *body.pdot = momentum_rate(body, h, u, total[2], *body.q, *body.qdot);
  return to_parent_force(joint_frame_of(body), total);
}

template <typename Fetch>
[[gnu::always_inline]] inline void prefetch_ahead(Body* const* run, std::size_t i,
                                                  std::size_t count, bool prefetch, Fetch fetch) {
  if (prefetch && i + prefetch_distance < count) fetch(run[i + prefetch_distance]);
}

}  // namespace

namespace revolute_link {

void inertia_run(Body* const* run, std::size_t count, bool prefetch) {
  Body& first = *run[0];
  const JointFrame r = revolute_values::joint_transform(first);
  accumulate_inertia(first);
  HandedUp up = link_inertia_step(first, r, first.articulated_inertia, first.momentum_bias);
  for (std::size_t i = 1; i < count; ++i) {
    prefetch_ahead(run, i, count, prefetch, [](const Body* b) { prefetch_for_pass_1(b); });
    up = chained_inertia_step(*run[i], up);
  }
  Body& last = *run[count - 1];
  last.transmitted_inertia = up.inertia;
  last.transmitted_momentum_bias = up.bias;
}

void velocity_run(Body* const* run, std::size_t count, bool prefetch) {
  const Body& top_parent = *run[0]->parent;
  Triple parent_velocity = top_parent.velocity;
  Placement parent_placement = placement_of(top_parent);
  for (std::size_t i = 0; i < count; ++i) {
    prefetch_ahead(run, i, count, prefetch, [](const Body* b) { prefetch_for_pass_2(b); });
    Body& body = *run[i];
    const JointFrame r = joint_frame_of(body);
    const Triple w = to_body_velocity(r, parent_velocity);
    const double qdot = joint_rate(body.articulated_inertia, body.momentum_bias[2], w, *body.p,
                                   body.joint_inertia_inverse[0]);
    *body.qdot = qdot;
    parent_velocity = revolute_values::body_velocity(w, qdot);
    body.velocity = parent_velocity;
    parent_placement = placement(r, parent_placement, *body.q);
    store_placement(body, parent_placement);
  }
}

void force_run(Body* const* run, std::size_t count, double gravity, bool prefetch) {
  Body& first = *run[0];
  Triple total = link_own_force(first, gravity);
  for (const Body* child = first.first_child; child; child = child->next_sibling)
    for (int k = 0; k < 3; ++k) total[k] += child->transmitted_force[k];
  Triple up = link_force_step(first, total);
  for (std::size_t i = 1; i < count; ++i) {
    prefetch_ahead(run, i, count, prefetch, [](const Body* b) { prefetch_for_pass_3(b); });
    Body& body = *run[i];
    const Triple own = link_own_force(body, gravity);
    for (int k = 0; k < 3; ++k) total[k] = own[k] + up[k];
    up = link_force_step(body, total);
  }
  run[count - 1]->transmitted_force = up;
}

}  // namespace revolute_link
