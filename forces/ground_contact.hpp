// The ground: a straight line through (0, height) rising at `slope`, in contact with every
// segment along its whole length (forces/contact_law.hpp). The rope lies above the line.
//
// The penetration is linear along a segment, so the normal force per metre is too, and the
// friction per metre is piecewise quadratic between the points where the slip saturates: each
// piece is integrated exactly, by two-point Gauss-Legendre, into the body's force and moment.
#pragma once

#include "forces/contact_law.hpp"
#include "forces/segments.hpp"

struct GroundContact {
  Segments segments;
  double height = 0.0;  // m, at x = 0
  double slope = 0.0;   // rad
  ContactLaw law;
  // The line's upward unit normal and its direction along +x, from the slope (ground_contact sets
  // them): every body and evaluation needs them, the slope's sine and cosine only once.
  Point up = {0.0, 1.0};
  Point along = {1.0, 0.0};
};

// The ground through (0, height) at `slope` in contact with `segments` under `law`.
GroundContact ground_contact(const Segments& segments, double height, double slope,
                             const ContactLaw& law);

extern const ForceElementType ground_contact_element;

inline ForceElement ground_contact_on_every_body(const GroundContact& ground) {
  return {&ground_contact_element, &ground, nullptr};
}

// Height of `point` above the ground, along the ground's normal (negative: below it).
double height_above_ground(const GroundContact& ground, const Point& point);

// The ground's force on `body` (world axes, moment about the body's origin): what the element
// adds to the body's applied force.
Triple ground_force_on(const GroundContact& ground, const Body& body);

// The rate at which the ground's dampers and friction take energy from `body`, W (>= 0): the
// element's power less what its springs store.
double ground_dissipation_on(const GroundContact& ground, const Body& body);
