// Operations that several joint kinds share, and each kind's descriptor table.
// A kind keeps its other operations file-local.
#pragma once

#include "mbs/mbs.hpp"

// Shared do-nothing operation: the free base and the tip joint hand nothing to a parent.
void do_nothing(Body& body);

// Revolute link operations that the slaved revolute joint and the tip joint reuse: they share
// its joint-record layout (sin, cos, offset_x, offset_y).
void revolute_joint_transform(Body& body);
void revolute_parent_velocity(Body& body);
void revolute_body_velocity(Body& body);
void revolute_absolute_placement(Body& body);

// Slaved revolute rate from the parent's velocity, qdot = rate_gain . parent_velocity; also the
// tip joint's.
void slaved_joint_velocity(Body& body);

extern const JointType revolute_link_type;
extern const JointType free_planar_base_type;
extern const JointType slaved_revolute_type;
extern const JointType tip_joint_type;
