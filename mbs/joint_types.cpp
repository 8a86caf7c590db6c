#include "joints/joint_operations.hpp"
#include "mbs/mbs.hpp"

JointType joint_types[4];
Body ground;

void init_joint_types() {
  joint_types[revolute_link_kind] = revolute_link_type;
  joint_types[free_planar_base_kind] = free_planar_base_type;
  joint_types[slaved_revolute_kind] = slaved_revolute_type;
  joint_types[tip_joint_kind] = tip_joint_type;
  // The world frame at rest at the origin; every other field stays zero.
  ground.velocity = {0.0, 0.0, 0.0};
  ground.acceleration = {0.0, 0.0, 0.0};
  ground.sin_abs = 0.0;
  ground.cos_abs = 1.0;
  ground.position = {0.0, 0.0};
}
