// Computations every body performs whatever its joint: its own momentum, the accumulation of what
// the children hand up, gravity and the carriage spring-dampers, and the frame transforms.
// All arithmetic in the order written, so results match to the last bit.
#include "mbs/body_values.hpp"
#include "mbs/mbs.hpp"

namespace {
constexpr int carriage_1 = 0;
constexpr int carriage_2 = 1;
}  // namespace

void bind_carriage_coupling(Mbs& mbs, const double* carriage_anchor, const double* stiffness_x,
                            const double* damping_x, const double* stiffness_y,
                            const double* damping_y, const double* stiffness_angle,
                            const double* damping_angle) {
  mbs.coupling = {carriage_anchor, stiffness_x,     damping_x,    stiffness_y,
                  damping_y,       stiffness_angle, damping_angle};
}

void bind_far_end_hold(Mbs& mbs, const double* held_point, bool force_at_held_point) {
  mbs.coupling.held_point = held_point;
  mbs.coupling.force_at_held_point = force_at_held_point;
}

// body_momentum = inertia * velocity, for the rigid-body form of inertia (m12 = 0, m22 = m11).
void compute_body_momentum(Body& body) {
  const Sym3& m = body.inertia;
  const double vx = body.velocity[0], vy = body.velocity[1], w = body.velocity[2];
  body.body_momentum[0] = w * m[2] + m[0] * vx;
  body.body_momentum[1] = m[0] * vy + w * m[4];
  body.body_momentum[2] = m[5] * w + vx * m[2] + m[4] * vy;
}

// A body without children keeps its previous coupling blocks; otherwise they are the last child's.
static void copy_child_coupling(Body& body, const Body& child) {
  body.child_coupling_a = child.coupling_a;
  body.child_coupling_b = child.coupling_b;
}

void accumulate_momentum(Body& body) {
  body.composite_momentum = body.body_momentum;
  for (const Body* child = body.first_child; child; child = child->next_sibling) {
    for (int i = 0; i < 3; ++i) body.composite_momentum[i] += child->transmitted_momentum[i];
    copy_child_coupling(body, *child);
  }
}

// The sums are kept in locals and stored once: the same additions in the same order, without a
// store and reload per child (the compiler cannot tell that a child is not the body itself).
void accumulate_inertia(Body& body) {
  Sym3 inertia = body.inertia;
  Triple bias = {0.0, 0.0, 0.0};
  for (const Body* child = body.first_child; child; child = child->next_sibling) {
    for (int i = 0; i < 6; ++i) inertia[i] += child->transmitted_inertia[i];
    copy_child_coupling(body, *child);
    for (int i = 0; i < 3; ++i) bias[i] += child->transmitted_momentum_bias[i];
  }
  body.articulated_inertia = inertia;
  body.momentum_bias = bias;
}

void accumulate_force(Body& body) {
  const Triple own = rotate_to_body(body, body.applied_force);
  body.body_force = own;
  body.total_force = body_values::total_force(body, own);
}

Point point_to_world(const Body& body, const Point& point) {
  const double c = body.cos_abs, s = body.sin_abs;
  const double x = point[0], y = point[1];
  return {x * c - y * s + body.position[0], y * c + s * x + body.position[1]};
}

Triple rotate_to_world(const Body& body, const Triple& triple) {
  const double c = body.cos_abs, s = body.sin_abs;
  const double x = triple[0], y = triple[1];
  return {x * c - y * s, y * c + s * x, triple[2]};
}

Triple rotate_to_body(const Body& body, const Triple& triple) {
  return body_values::rotate_to_body(body.sin_abs, body.cos_abs, triple);
}

// The coupling of the body's system, or null (recorded) when there is none to use.
static const CarriageCoupling* bound_coupling(const Body& body) {
  const Mbs* system = body.system;
  if (system && system->coupling.anchor) return &system->coupling;
  record_failure(body, MbsStatus::coupling_unbound);
  return nullptr;
}

// Carriage 1 holds the body at its origin: springs along world x and y towards the anchor,
// dampers on the origin's world velocity, and a rotational spring-damper towards angle 0.
static void add_carriage_1_coupling(Body& body) {
  const CarriageCoupling* bound = bound_coupling(body);
  if (!bound) return;
  const CarriageCoupling& coupling = *bound;
  Triple& f = body.applied_force;
  const Triple w = rotate_to_world(body, body.velocity);
  const int k = carriage_1;
  f[0] = (coupling.anchor[0] - body.position[0]) * coupling.stiffness_x[k] + f[0] -
         w[0] * coupling.damping_x[k];
  f[1] = (coupling.anchor[1] - body.position[1]) * coupling.stiffness_y[k] + f[1] -
         w[1] * coupling.damping_y[k];
  f[2] = f[2] - body.angle * coupling.stiffness_angle[k] - w[2] * coupling.damping_angle[k];
}

static Point held_point(const Body& body, const CarriageCoupling& coupling) {
  if (!coupling.held_point) return {body.joint[offset_x], 0.0};
  return {coupling.held_point[0], coupling.held_point[1]};
}

// The spring-damper at the held point r (world axes, from the origin): force F there, with the
// point's velocity v + w x r in the damping, and its moment r x F about the origin.
static void add_point_coupling(Body& body, const CarriageCoupling& coupling, const Point& tip) {
  Triple& f = body.applied_force;
  const Triple w = rotate_to_world(body, body.velocity);
  const double rx = tip[0] - body.position[0], ry = tip[1] - body.position[1];
  const double vx = w[0] - w[2] * ry, vy = w[1] + w[2] * rx;
  const int k = carriage_2;
  const double fx =
      (coupling.anchor[2] - tip[0]) * coupling.stiffness_x[k] - vx * coupling.damping_x[k];
  const double fy =
      (coupling.anchor[3] - tip[1]) * coupling.stiffness_y[k] - vy * coupling.damping_y[k];
  f[0] = f[0] + fx;
  f[1] = f[1] + fy;
  f[2] = f[2] + (rx * fy - ry * fx) - coupling.stiffness_angle[k] * body.angle -
         w[2] * coupling.damping_angle[k];
}

// Carriage 2 holds the body at its held point (the far end of a link). By default the spring
// extension is measured there, the damping uses the origin's velocity, and the spring adds no
// moment. A kind without a joint offset has no far point: the failure is recorded and the body
// gets gravity alone.
static void add_carriage_2_coupling(Body& body) {
  if (!body.type->has_joint_offset) {
    record_failure(body, MbsStatus::carriage_on_free_base);
    return;
  }
  const CarriageCoupling* bound = bound_coupling(body);
  if (!bound) return;
  const CarriageCoupling& coupling = *bound;
  const Point tip = point_to_world(body, held_point(body, coupling));
  if (coupling.force_at_held_point) {
    add_point_coupling(body, coupling, tip);
    return;
  }
  Triple& f = body.applied_force;
  const Triple w = rotate_to_world(body, body.velocity);
  const int k = carriage_2;
  f[0] =
      (coupling.anchor[2] - tip[0]) * coupling.stiffness_x[k] + f[0] - w[0] * coupling.damping_x[k];
  f[1] =
      (coupling.anchor[3] - tip[1]) * coupling.stiffness_y[k] + f[1] - w[1] * coupling.damping_y[k];
  f[2] = f[2] - coupling.stiffness_angle[k] * body.angle - w[2] * coupling.damping_angle[k];
}

void add_carriage_coupling(Body& body) {
  if (body.carriage_link == 1) add_carriage_1_coupling(body);
  if (body.carriage_link == 2) add_carriage_2_coupling(body);
}

// Gravity along -y (moment of the weight about the body origin), plus the carriage couplings.
void apply_external_forces(Body& body, double gravity) {
  body.applied_force = body_values::weight(body, body.sin_abs, body.cos_abs, gravity);
  add_carriage_coupling(body);
}
