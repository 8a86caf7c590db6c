// Non-rotating tip joint (type 3): a body hung at a fixed offset whose rate is a fixed linear
// function of the parent's velocity (by default qdot = -w2, so its absolute angle never changes).
// It loads its parent with nothing; it hands up a coupling block for a unit point at its joint
// point, which a slaved revolute parent uses to keep that point as still as possible.
#include "joints/joint_operations.hpp"
#include "joints/slaved_record.hpp"

namespace tip_joint {

void construct(Body& body) {
  SlavedRecord& record = slaved_record(body);
  body.transmitted_inertia = {};
  body.articulated_inertia = {};
  body.transmitted_momentum_bias = {0.0, 0.0, 0.0};
  body.velocity = {0.0, 0.0, 0.0};
  body.own_forces = 0;
  body.inertia = {1.0, 0.0, 0.0, 1.0, 0.125, 0.020833333333333332};
  body.joint[offset_x] = 0.25;
  body.joint[offset_y] = 0.0;
  body.com = {0.125, 0.0};
  body.joint_damping[0] = 0.0;
  body.joint_stiffness[0] = 0.0;
  body.joint_rest[0] = 0.0;
  record.rate_gain = {0.0, 0.0, -1.0};
  record.rate_transfer = {1.0, 0.0, 0.0, 0.0, 1.0, 0.0, 0.0, 0.0, 0.0};
  record.reduced_coupling = {1.0, 0.0, 0.0, 1.0, 0.0, 0.0};
  // Squared speed of the joint point for a parent velocity e: e^T coupling_a e, the inertia of a
  // unit point mass at (ox, oy) about the parent's origin. The point is fixed in the parent's axes,
  // so the block never changes.
  const double ox = body.joint[offset_x], oy = body.joint[offset_y];
  record.coupling_a = {1.0, 0.0, -oy, 1.0, ox, oy * oy + ox * ox};
  record.coupling_b = {};
}

}  // namespace tip_joint
