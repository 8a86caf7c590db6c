// A spring-damper that holds a point of one body towards an anchor: along world x and y, with
// a rotational spring-damper pulling the body's absolute angle towards 0. The anchor is read live,
// so whoever moves it (a carriage) moves the spring's end.
//
// Two ways to hold the point. By default the stretch is measured at the held point but the force
// acts at the body's origin, without its moment, damped by the origin's velocity. With
// `force_at_held_point` the spring-damper acts at the held point itself, with its moment, damped by
// that point's velocity.
#pragma once

#include "mbs/mbs.hpp"

struct AnchorSpring {
  const double* anchor = nullptr;  // (x, y), world, read live
  Point held{};                    // the held point in the body's axes
  bool force_at_held_point = false;
  double stiffness_x = 0.0, damping_x = 0.0;          // N/m, N s/m
  double stiffness_y = 0.0, damping_y = 0.0;          // N/m, N s/m
  double stiffness_angle = 0.0, damping_angle = 0.0;  // N m/rad, N m s/rad
};

extern const ForceElementType anchor_spring_element;

inline ForceElement anchor_spring_on(const AnchorSpring& spring, const Body& body) {
  return {&anchor_spring_element, &spring, &body};
}

// The held point's world x, and the x velocity of the point whose velocity the damping reads:
// what the anchor feels of the body along x.
struct HeldEnd {
  double position;  // m
  double velocity;  // m/s
};
HeldEnd held_end(const AnchorSpring& spring, const Body& body);

// The held point in world axes.
Point held_point_in_world(const AnchorSpring& spring, const Body& body);
