// What the distributed force elements (ground, pegs, fluid) see of a body: a straight segment from
// its origin along its x axis, and the loads they spread along it. The elements integrate force
// per metre along each segment into a force and a moment about the body's origin.
#pragma once

#include <cmath>
#include <cstddef>
#include <functional>
#include <utility>

#include "mbs/mbs.hpp"

// Body i of a contiguous array of `count` bodies carries a segment of length[i] along its x axis
// from its origin; bodies outside the array carry none.
struct Segments {
  const Body* first = nullptr;
  const double* length = nullptr;
  std::size_t count = 0;
};

// A segment in world axes as its body's record places it and moves it: the point at arc length s
// is start + s axis and moves at velocity + rate s normal.
struct SegmentMotion {
  Point start;
  Point axis;    // unit, along the segment
  Point normal;  // unit, the axis turned by +90 degrees
  double length;
  Point velocity;  // of the start
  double rate;     // rad/s
};

// std::less orders any two pointers; a difference is taken only inside the array.
inline double segment_length(const Segments& segments, const Body& body) {
  const std::less<const Body*> before;
  if (!segments.first || before(&body, segments.first)) return 0.0;
  if (!before(&body, segments.first + segments.count)) return 0.0;
  return segments.length[&body - segments.first];
}

inline SegmentMotion segment_motion(const Segments& segments, const Body& body) {
  const Triple w = rotate_to_world(body, body.velocity);
  return {body.position,
          {body.cos_abs, body.sin_abs},
          {-body.sin_abs, body.cos_abs},
          segment_length(segments, body),
          {w[0], w[1]},
          w[2]};
}

inline Point point_at(const SegmentMotion& m, double s) {
  return {m.start[0] + s * m.axis[0], m.start[1] + s * m.axis[1]};
}

inline Point velocity_at(const SegmentMotion& m, double s) {
  return {m.velocity[0] + m.rate * s * m.normal[0], m.velocity[1] + m.rate * s * m.normal[1]};
}

inline double dot(const Point& a, const Point& b) {
  return a[0] * b[0] + a[1] * b[1];
}

inline double cross(const Point& a, const Point& b) {
  return a[0] * b[1] - a[1] * b[0];
}

// A stretch [begin, end] of a segment's arc length; empty when end <= begin.
struct Stretch {
  double begin;
  double end;
  bool empty() const { return !(end > begin); }
};

// The part of `stretch` where f0 + f1 s > 0.
inline Stretch where_positive(Stretch stretch, double f0, double f1) {
  if (f1 == 0.0) return f0 > 0.0 ? stretch : Stretch{0.0, 0.0};
  const double root = -f0 / f1;
  if (f1 > 0.0)
    stretch.begin = std::fmax(stretch.begin, root);
  else
    stretch.end = std::fmin(stretch.end, root);
  return stretch;
}

// Two-point Gauss-Legendre nodes and weight on a stretch: exact for cubics in s.
struct GaussPair {
  double node[2];
  double weight;
};

inline GaussPair gauss_pair(const Stretch& stretch) {
  const double middle = 0.5 * (stretch.begin + stretch.end);
  const double half = 0.5 * (stretch.end - stretch.begin);
  const double offset = half / std::sqrt(3.0);
  return {{middle - offset, middle + offset}, half};
}

// Splits a stretch at up to two interior points, in order; returns the number of pieces.
inline int split_stretch(const Stretch& stretch, double a, double b, Stretch pieces[3]) {
  if (a > b) std::swap(a, b);
  int count = 0;
  double from = stretch.begin;
  for (const double cut : {a, b}) {
    if (!(cut > from && cut < stretch.end)) continue;
    pieces[count++] = {from, cut};
    from = cut;
  }
  pieces[count++] = {from, stretch.end};
  return count;
}

// A force per metre f at arc length s, weighted: its share of the body's force (world axes) and
// of the moment about the body's origin.
inline void add_load(Triple& applied, const SegmentMotion& m, double s, const Point& f,
                     double weight) {
  applied[0] = applied[0] + weight * f[0];
  applied[1] = applied[1] + weight * f[1];
  applied[2] = applied[2] + weight * s * cross(m.axis, f);
}

// How a displacement (x, y, angle) of the body moves the point at s along `direction`: the row
// of the stiffness a spring along `direction` at that point spreads over the body.
inline Triple lever(const SegmentMotion& m, double s, const Point& direction) {
  return {direction[0], direction[1], s * cross(m.axis, direction)};
}

// matrix += weight a a^T (upper triangle, row by row).
inline void add_outer(Sym3& matrix, double weight, const Triple& a) {
  matrix[0] += weight * a[0] * a[0];
  matrix[1] += weight * a[0] * a[1];
  matrix[2] += weight * a[0] * a[2];
  matrix[3] += weight * a[1] * a[1];
  matrix[4] += weight * a[1] * a[2];
  matrix[5] += weight * a[2] * a[2];
}
