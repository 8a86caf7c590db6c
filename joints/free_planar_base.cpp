// Free planar base (type 1): three coordinates, the world x and y of the body origin and the
// body's absolute angle, with their conjugate momenta in world axes. It hangs from the fixed
// world and hands nothing to a parent. T below turns body-frame triples into world-frame ones:
// T (x, y, r) = (c x - s y, s x + c y, r).
#include <cmath>

#include "joints/free_base_values.hpp"
#include "joints/joint_operations.hpp"
#include "mbs/body_values.hpp"

using namespace free_base_values;

namespace free_planar_base {

void construct(Body& body) {
  body.transmitted_inertia = {};
  body.articulated_inertia = {};
  body.inertia = {0.04, 0.0, 0.0, 0.04, 0.0008, 2.1333333333333335e-05};
  body.com = {0.02, 0.0};
  body.joint_damping = {0.0, 0.0, 0.0};
  body.joint_stiffness = {0.0, 0.0, 0.0};
  body.joint_rest = {0.0, 0.0, 0.0};
  body.own_forces = 0;
}

void joint_transform(Body& body) {
  const double angle = body.q[2];
  body.joint[joint_sin] = std::sin(angle);
  body.joint[joint_cos] = std::cos(angle);
}

// The ground does not move.
void parent_velocity(Body& body) {
  body.parent_velocity = {0.0, 0.0, 0.0};
}

void body_velocity(Body& body) {
  body.velocity =
      free_base_values::body_velocity(body.joint[joint_sin], body.joint[joint_cos], body.qdot);
}

void invert_joint_inertia(Body& body) {
  body.joint_inertia_inverse =
      joint_inertia_inverse(body.articulated_inertia, body.joint[joint_sin], body.joint[joint_cos]);
}

void joint_velocity(Body& body) {
  const Triple qdot = joint_rates(body.joint[joint_sin], body.joint[joint_cos], body.momentum_bias,
                                  body.joint_inertia_inverse, body.p);
  for (int i = 0; i < 3; ++i) body.qdot[i] = qdot[i];
}

// The pose follows from the coordinates alone.
void absolute_placement(Body& body) {
  body.sin_abs = body.joint[joint_sin];
  body.cos_abs = body.joint[joint_cos];
  body.position = {body.q[0], body.q[1]};
  body.angle = body.q[2];
}

void composite_momentum(Body& body) {
  body.composite_momentum =
      free_base_values::composite_momentum(body.joint[joint_sin], body.joint[joint_cos], body.p);
}

void joint_momentum_rate(Body& body) {
  const Triple pdot =
      momentum_rates(body, body.joint[joint_sin], body.joint[joint_cos], body.total_force,
                     body.composite_momentum, body.velocity, body.qdot);
  for (int i = 0; i < 3; ++i) body.pdot[i] = pdot[i];
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

// The root's turn in the right-hand side, when the root is a free base: the same operations as
// its table steps, called directly, with what one hands the next kept in locals. The record is
// left as the table steps leave it.
namespace free_planar_base {

// Pass 1 and, at once, pass 2: the root is the last body inward and the first outward, so nothing
// lies between its two steps.
void inertia_and_velocity_step(Body& body) {
  const double angle = body.q[2];
  const double s = std::sin(angle), c = std::cos(angle);
  body.joint[joint_sin] = s;
  body.joint[joint_cos] = c;
  accumulate_inertia(body);
  const Sym3 j = joint_inertia_inverse(body.articulated_inertia, s, c);
  body.joint_inertia_inverse = j;
  const Triple qdot = joint_rates(s, c, body.momentum_bias, j, body.p);
  for (int i = 0; i < 3; ++i) body.qdot[i] = qdot[i];
  body.parent_velocity = {0.0, 0.0, 0.0};
  body.velocity = free_base_values::body_velocity(s, c, qdot.data());
  body.sin_abs = s;
  body.cos_abs = c;
  body.position = {body.q[0], body.q[1]};
  body.angle = angle;
}

// Pass 3: the force elements, the children's forces, the momentum rates.
void force_step(Body& body) {
  apply_force_elements(body);
  // accumulate_force, with the total kept for the momentum rates rather than read back.
  const Triple own = body_values::rotate_to_body(body.sin_abs, body.cos_abs, body.applied_force);
  const Triple total = body_values::total_force(body, own);
  body.body_force = own;
  body.total_force = total;
  const double s = body.joint[joint_sin], c = body.joint[joint_cos];
  const Triple h = free_base_values::composite_momentum(s, c, body.p);
  body.composite_momentum = h;
  const Triple pdot = momentum_rates(body, s, c, total, h, body.velocity, body.qdot);
  for (int i = 0; i < 3; ++i) body.pdot[i] = pdot[i];
}

}  // namespace free_planar_base
