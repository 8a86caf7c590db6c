#include "chain_model.hpp"

#include <cmath>

bool build_chain(Chain& chain, int body_count) {
  chain.bodies.assign(static_cast<size_t>(body_count), Body{});
  auto& bodies = chain.bodies;
  init_body(bodies[0], free_planar_base_kind);
  for (int k = 1; k < body_count; ++k) init_body(bodies[k], revolute_link_kind);
  for (int k = 1; k < body_count; ++k) attach_body(bodies[k], bodies[k - 1]);
  set_root(chain.mbs, bodies[0]);
  chain.mbs.force_elements = {gravity_on_every_body(chain.gravity)};
  return init_coordinates(chain.mbs) == MbsStatus::ok;
}

void remove_springs_and_dampers(Chain& chain) {
  for (Body& body : chain.bodies) {
    body.joint_damping = {0.0, 0.0, 0.0};
    body.joint_stiffness = {0.0, 0.0, 0.0};
  }
  refresh_run_parameters(chain.mbs);
}

void set_moving_state(Chain& chain) {
  Mbs& mbs = chain.mbs;
  const int n = mbs.coordinate_count;
  mbs.q[0] = 0.3;
  mbs.q[1] = -0.1;
  mbs.q[2] = 0.4;
  mbs.qdot[0] = 0.2;
  mbs.qdot[1] = -0.3;
  mbs.qdot[2] = 0.5;
  for (int i = 3; i < n; ++i) {
    mbs.q[i] = 0.2 * std::sin(0.7 * i);
    mbs.qdot[i] = 0.5 * std::cos(1.3 * i);
  }
  run_setup_passes(mbs);
}
