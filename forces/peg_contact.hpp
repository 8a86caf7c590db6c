// Pegs: fixed round obstacles, each a disc (x, y, radius), in contact with every segment by the
// ground's law (forces/contact_law.hpp) along the chord of the segment inside the disc. The
// penetration there is the radius less the distance from the centre, not a polynomial in the arc
// length: the chord is cut at the point nearest the centre and each half integrated by
// three-point Gauss-Legendre. Each segment meets each peg: O(segments x pegs).
#pragma once

#include "forces/contact_law.hpp"
#include "forces/segments.hpp"

struct PegContact {
  Segments segments;
  const double* pegs = nullptr;  // x, y, radius of each peg, in a row
  std::size_t count = 0;
  ContactLaw law;
};

extern const ForceElementType peg_contact_element;

inline ForceElement peg_contact_on_every_body(const PegContact& pegs) {
  return {&peg_contact_element, &pegs, nullptr};
}

// How deep the straight segment from `a` to `b` reaches into the disc (centre, radius): the
// radius less its nearest distance to the centre (negative: clear of it).
double segment_depth_in_disc(const Point& a, const Point& b, const Point& centre, double radius);

// The pegs' force on `body` (world axes, moment about the body's origin).
Triple peg_force_on(const PegContact& pegs, const Body& body);

// The rate at which the pegs' dampers and friction take energy from `body`, W (>= 0).
double peg_dissipation_on(const PegContact& pegs, const Body& body);
