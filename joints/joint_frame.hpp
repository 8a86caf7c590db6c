// The frame change across a joint with a rotation and an offset, shared by the kinds that keep the
// revolute joint record (sin, cos, offset_x, offset_y). Inline, so that the table operations and
// the fused kernels compute the same expressions in the same order.
#pragma once

#include "mbs/mbs.hpp"

// Sine and cosine of the joint angle and the joint point in the parent's axes.
struct JointFrame {
  double s, c, ox, oy;
};

inline JointFrame joint_frame_of(const Body& body) {
  const auto& j = body.joint;
  return {j[joint_sin], j[joint_cos], j[offset_x], j[offset_y]};
}

// V: a velocity in the parent's frame expressed at this body's origin in this body's axes.
inline Triple to_body_velocity(const JointFrame& r, const Triple& e) {
  return {r.c * e[0] + r.s * e[1] + (r.ox * r.s - r.oy * r.c) * e[2],
          -r.s * e[0] + r.c * e[1] + (r.ox * r.c + r.oy * r.s) * e[2], e[2]};
}

// G = V^T: a force-like triple in this body's axes carried to the parent's axes and origin.
inline Triple to_parent_force(const JointFrame& r, const Triple& f) {
  const double g0 = r.c * f[0] - r.s * f[1];
  const double g1 = r.s * f[0] + r.c * f[1];
  return {g0, g1, f[2] + r.ox * g1 - r.oy * g0};
}

// The same transfer with the body's own moment added last (the slaved joint's rounding).
inline Triple to_parent_force_moment_last(const JointFrame& r, double f0, double f1, double f2) {
  const double g0 = f0 * r.c - f1 * r.s;
  const double g1 = f1 * r.c + f0 * r.s;
  return {g0, g1, g1 * r.ox - g0 * r.oy + f2};
}
