#include "forces/anchor_spring.hpp"

namespace {

double square(double x) {
  return x * x;
}

bool held_at_origin(const AnchorSpring& spring) {
  return spring.held[0] == 0.0 && spring.held[1] == 0.0;
}

// The spring-damper at the held point r (world axes, from the origin): force F there, with the
// point's velocity v + w x r in the damping, and its moment r x F about the origin.
void add_force_at_held_point(const AnchorSpring& spring, const Body& body, const Point& tip,
                             Triple& f) {
  const Triple w = rotate_to_world(body, body.velocity);
  const double rx = tip[0] - body.position[0], ry = tip[1] - body.position[1];
  const double vx = w[0] - w[2] * ry, vy = w[1] + w[2] * rx;
  const double* anchor = spring.anchor;
  const double fx = (anchor[0] - tip[0]) * spring.stiffness_x - vx * spring.damping_x;
  const double fy = (anchor[1] - tip[1]) * spring.stiffness_y - vy * spring.damping_y;
  f[0] = f[0] + fx;
  f[1] = f[1] + fy;
  f[2] = f[2] + (rx * fy - ry * fx) - spring.stiffness_angle * body.angle -
         w[2] * spring.damping_angle;
}

// Stretch at the held point, force at the origin: springs along world x and y towards the anchor,
// dampers on the origin's world velocity, and the rotational spring-damper.
void add_force_at_origin(const AnchorSpring& spring, const Point& tip, const Body& body,
                         Triple& f) {
  const Triple w = rotate_to_world(body, body.velocity);
  const double* anchor = spring.anchor;
  f[0] = (anchor[0] - tip[0]) * spring.stiffness_x + f[0] - w[0] * spring.damping_x;
  f[1] = (anchor[1] - tip[1]) * spring.stiffness_y + f[1] - w[1] * spring.damping_y;
  f[2] = f[2] - spring.stiffness_angle * body.angle - w[2] * spring.damping_angle;
}

void add_force(const ForceElement& element, const Body& body, Triple& applied) {
  const AnchorSpring& spring = element.data_as<AnchorSpring>();
  const Point tip = held_point_in_world(spring, body);
  if (spring.force_at_held_point)
    add_force_at_held_point(spring, body, tip, applied);
  else
    add_force_at_origin(spring, tip, body, applied);
}

Point point_of_action(const ForceElement& element, const Body& body) {
  const AnchorSpring& spring = element.data_as<AnchorSpring>();
  return spring.force_at_held_point ? held_point_in_world(spring, body) : body.position;
}

double potential_energy(const ForceElement& element, const Mbs&) {
  const AnchorSpring& spring = element.data_as<AnchorSpring>();
  const Body& body = *element.body;
  const Point tip = held_point_in_world(spring, body);
  return 0.5 * spring.stiffness_x * square(spring.anchor[0] - tip[0]) +
         0.5 * spring.stiffness_y * square(spring.anchor[1] - tip[1]) +
         0.5 * spring.stiffness_angle * square(body.angle);
}

bool point_spring(const ForceElement& element, PointSpring& out) {
  const AnchorSpring& spring = element.data_as<AnchorSpring>();
  out.body = element.body;
  out.at = point_of_action(element, *element.body);
  out.stiffness = {spring.stiffness_x, spring.stiffness_y, spring.stiffness_angle};
  out.damping = {spring.damping_x, spring.damping_y, spring.damping_angle};
  return true;
}

}  // namespace

const ForceElementType anchor_spring_element = {
    .add_force = add_force,
    .point_of_action = point_of_action,
    .potential_energy = potential_energy,
    .point_spring = point_spring,
};

// A point at the body's origin is its position exactly, without a rotation's rounding.
Point held_point_in_world(const AnchorSpring& spring, const Body& body) {
  if (held_at_origin(spring)) return body.position;
  return point_to_world(body, spring.held);
}

HeldEnd held_end(const AnchorSpring& spring, const Body& body) {
  const Triple w = rotate_to_world(body, body.velocity);
  const Point tip = held_point_in_world(spring, body);
  if (!spring.force_at_held_point) return {tip[0], w[0]};
  return {tip[0], w[0] - w[2] * (tip[1] - body.position[1])};  // v + w x r, its x component
}
