#include "app/rope_model.hpp"

#include <iostream>

static void build_chain(RopeModel& rope) {
  auto& bodies = rope.bodies;
  init_body(bodies[0], free_planar_base_kind);
  for (int k = 1; k < rope_body_count; ++k) init_body(bodies[k], revolute_link_kind);
  // After the constructs, which clear the field.
  bodies[0].carriage_link = 1;
  bodies[rope_body_count - 1].carriage_link = 2;
  for (int k = 1; k < rope_body_count; ++k) attach_body(bodies[k], bodies[k - 1]);
  set_root(rope.mbs, bodies[0]);
  init_coordinates(rope.mbs);
  std::cout << "MBS initialized. Number of Coordinates=" << rope.mbs.coordinate_count << std::endl;
}

// The chain starts straight along +x from 0 to 1.0, at rest.
static void set_initial_conditions(RopeModel& rope) {
  Mbs& mbs = rope.mbs;
  rope.bodies[0].joint_damping[2] = 0.0;
  for (int i = 0; i < mbs.coordinate_count; ++i) mbs.q[i] = 0.0;
  for (int i = 0; i < mbs.coordinate_count; ++i) mbs.qdot[i] = 0.0;
}

static void set_parameters(Carriages& c) {
  for (int k = 0; k < 2; ++k) {
    c.carriage_mass[k] = 100.0;
    c.drive_stiffness[k] = 100000.0;
    c.drive_damping[k] = 1000.0;
    c.stiffness_x[k] = 5000.0;
    c.damping_x[k] = 100.0;
    c.stiffness_y[k] = 1000.0;
    c.damping_y[k] = 10.0;
    c.stiffness_angle[k] = 3.0;
    c.damping_angle[k] = 0.01;
  }
  c.drive_target[0] = -0.2;
  c.drive_target[1] = 0.6;
  const double carriage_state[carriage_state_count] = {-0.2, 0.0, 0.6, 0.0};
  for (int i = 0; i < carriage_state_count; ++i) c.carriage_state[i] = carriage_state[i];
}

void assemble_rope(RopeModel& rope) {
  build_chain(rope);
  set_initial_conditions(rope);
  set_parameters(rope.carriages);
}
