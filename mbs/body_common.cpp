// Computations every body performs whatever its joint: its own momentum, the accumulation of what
// the children hand up, the force elements' hook, and the frame transforms.
// All arithmetic in the order written, so results match to the last bit.
#include "mbs/body_values.hpp"
#include "mbs/mbs.hpp"

// body_momentum = inertia * velocity, for the rigid-body form of inertia (m12 = 0, m22 = m11).
void compute_body_momentum(Body& body) {
  body.body_momentum = body_values::body_momentum(body.inertia, body.velocity);
}

void accumulate_momentum(Body& body) {
  body.composite_momentum = body.body_momentum;
  for (const Body* child = body.first_child; child; child = child->next_sibling) {
    for (int i = 0; i < 3; ++i) body.composite_momentum[i] += child->transmitted_momentum[i];
  }
}

// The sums are kept in locals and stored once: the same additions in the same order, without a
// store and reload per child (the compiler cannot tell that a child is not the body itself).
void accumulate_inertia(Body& body) {
  Sym3 inertia = body.inertia;
  Triple bias = {0.0, 0.0, 0.0};
  for (const Body* child = body.first_child; child; child = child->next_sibling) {
    for (int i = 0; i < 6; ++i) inertia[i] += child->transmitted_inertia[i];
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

double body_weight(const Mbs& mbs, const Body& body) {
  double weight = 0.0;
  bool first = true;
  for (const ForceElement& element : mbs.force_elements) {
    if (!element.type->weight_of || !element.acts_on(body)) continue;
    const double w = element.type->weight_of(element, body);
    weight = first ? w : weight + w;
    first = false;
  }
  return weight;
}

void add_own_forces(const Body& body, Triple& applied) {
  for (const ForceElement& element : body.system->force_elements)
    if (element.type->add_force && element.acts_on(body))
      element.type->add_force(element, body, applied);
}

void apply_force_elements(Body& body) {
  const Mbs* system = body.system;
  const double weight = system ? body_weight(*system, body) : 0.0;
  body.applied_force = body_values::weight(weight, body.com, body.sin_abs, body.cos_abs);
  if (body.own_forces != 0) add_own_forces(body, body.applied_force);
}
