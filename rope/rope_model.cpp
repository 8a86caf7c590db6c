#include "rope/rope_model.hpp"

#include <new>

#include "joints/joint_types.hpp"

namespace {

// A uniform rod hanging from its joint point at the origin, lying along +x: mass m, length L,
// centre of mass at (L/2, 0), inertia about the origin (m, 0, -m cy, m, m cx, m L^2/3).
void set_rod(Body& body, double m, double length) {
  const double half = length / 2.0;
  body.inertia = {m, 0.0, 0.0, m, m * half, rod_inertia_about_end(m, length)};
  body.com = {half, 0.0};
}

// A point mass mp at the rod's far end (L, 0): mass, first moment m cx and the moment of inertia
// about the origin each gain their share, and the centre of mass moves towards the end.
void add_payload(Body& body, double mp, double length) {
  Sym3& m = body.inertia;
  const double mass = m[0] + mp;
  const double moment_x = m[4] + mp * length;
  m = {mass, 0.0, 0.0, mass, moment_x, m[5] + mp * length * length};
  body.com = {moment_x / mass, 0.0};
}

// Link k hangs from the far end of body k - 1; its joint is revolute joint k - 1 of the lists.
void set_link(Body& body, size_t k, const RopeParameters& parameters) {
  set_rod(body, parameters.link_mass[k], parameters.link_length[k]);
  body.joint[offset_x] = parameters.link_length[k - 1];
  body.joint[offset_y] = 0.0;
  body.joint_damping[0] = parameters.joint_damping[k - 1];
  body.joint_stiffness[0] = parameters.joint_stiffness[k - 1];
  body.joint_rest[0] = parameters.joint_rest_angle[k - 1];
}

MbsStatus build_chain(RopeModel& rope, const RopeParameters& parameters) {
  const size_t count = static_cast<size_t>(parameters.links) + 1;
  try {
    rope.bodies.resize(count);
  } catch (const std::bad_alloc&) {
    return MbsStatus::out_of_memory;
  }
  auto& bodies = rope.bodies;
  init_body(bodies[0], free_planar_base_kind);
  set_rod(bodies[0], parameters.link_mass[0], parameters.link_length[0]);
  for (size_t k = 1; k < count; ++k) {
    init_body(bodies[k], revolute_link_kind);
    set_link(bodies[k], k, parameters);
  }
  if (parameters.payload_mass > 0.0)
    add_payload(bodies.back(), parameters.payload_mass, parameters.link_length[count - 1]);
  for (size_t k = 1; k < count; ++k) attach_body(bodies[k], bodies[k - 1]);
  set_root(rope.mbs, bodies[0]);
  rope.gravity.acceleration = parameters.gravity;
  return init_coordinates(rope.mbs);
}

// The base's x, y, angle, then the joint angles; and every coordinate's rate. By default the
// chain starts straight along +x from the origin, at rest.
void set_initial_conditions(RopeModel& rope, const RopeParameters& parameters) {
  Mbs& mbs = rope.mbs;
  rope.bodies[0].joint_damping[2] = 0.0;
  for (int i = 0; i < 3; ++i) mbs.q[i] = parameters.initial_base[i];
  for (int i = 3; i < mbs.coordinate_count; ++i) mbs.q[i] = parameters.initial_angles[i - 3];
  for (int i = 0; i < mbs.coordinate_count; ++i) mbs.qdot[i] = parameters.initial_rates[i];
}

// Carriage 1 holds the base's origin, carriage 2 the far end of the last link; far_end_coupling
// "point" makes the far end's force act there, with its moment.
void set_carriages(Carriages& c, const RopeParameters& parameters) {
  for (int k = 0; k < 2; ++k) {
    c.carriage_mass[k] = parameters.carriage_mass[k];
    c.drive_stiffness[k] = parameters.drive_stiffness[k];
    c.drive_damping[k] = parameters.drive_damping[k];
    c.drive_target[k] = parameters.carriage_target[k];
    c.carriage_state[2 * k] = parameters.carriage_start[k];
    c.carriage_state[2 * k + 1] = 0.0;
    AnchorSpring& coupling = c.coupling[k];
    coupling.anchor = c.carriage_anchor + 2 * k;
    coupling.stiffness_x = parameters.end_stiffness_x[k];
    coupling.damping_x = parameters.end_damping_x[k];
    coupling.stiffness_y = parameters.end_stiffness_y[k];
    coupling.damping_y = parameters.end_damping_y[k];
    coupling.stiffness_angle = parameters.end_stiffness_angle[k];
    coupling.damping_angle = parameters.end_damping_angle[k];
  }
  c.coupling[0].held = {0.0, 0.0};
  c.coupling[1].held = {parameters.link_length[static_cast<size_t>(parameters.links)], 0.0};
  c.coupling[1].force_at_held_point = parameters.far_end_coupling == FarEndCoupling::point;
  place_carriages(c, c.carriage_state);
}

ContactLaw contact_law(const RopeParameters& parameters) {
  return {parameters.contact_stiffness, parameters.contact_damping, parameters.friction,
          parameters.friction_speed};
}

// Every body is a segment of its link length along its x axis, from its joint point.
void set_world(RopeModel& rope, const RopeParameters& parameters) {
  const size_t count = rope.bodies.size();
  rope.segment_length.resize(count);
  for (size_t k = 0; k < count; ++k) rope.segment_length[k] = parameters.link_length[k];
  const Segments segments = {rope.bodies.data(), rope.segment_length.data(), count};
  rope.ground = ground_contact(segments, parameters.ground_height.value_or(0.0),
                               parameters.ground_slope, contact_law(parameters));
  rope.peg_table = parameters.pegs;
  rope.pegs = {segments, rope.peg_table.data(), rope.peg_table.size() / 3, contact_law(parameters)};
  Fluid& fluid = rope.fluid;
  fluid = {};
  fluid.segments = segments;
  fluid.gravity = &rope.gravity.acceleration;
  fluid.density = parameters.fluid_density;
  fluid.has_surface = parameters.fluid_surface.has_value();
  fluid.surface = parameters.fluid_surface.value_or(0.0);
  fluid.diameter = parameters.rope_diameter;
  fluid.drag_normal = parameters.drag_normal;
  fluid.drag_tangential = parameters.drag_tangential;
  fluid.flow = parameters.flow;
}

// After the carriages' couplings, so that a rope without a world keeps its order of forces.
void register_world(RopeModel& rope, const RopeParameters& parameters) {
  std::vector<ForceElement>& elements = rope.mbs.force_elements;
  if (parameters.ground_height) elements.push_back(ground_contact_on_every_body(rope.ground));
  if (rope.pegs.count != 0) elements.push_back(peg_contact_on_every_body(rope.pegs));
  if (parameters.fluid_density > 0.0) elements.push_back(fluid_on_every_body(rope.fluid));
}

MbsStatus register_force_elements(RopeModel& rope, const RopeParameters& parameters) {
  try {
    rope.mbs.force_elements = {gravity_on_every_body(rope.gravity),
                               anchor_spring_on(rope.carriages.coupling[0], rope.bodies.front()),
                               anchor_spring_on(rope.carriages.coupling[1], rope.bodies.back())};
    set_world(rope, parameters);
    register_world(rope, parameters);
  } catch (const std::bad_alloc&) {
    return MbsStatus::out_of_memory;
  }
  refresh_run_parameters(rope.mbs);
  return MbsStatus::ok;
}

}  // namespace

MbsStatus assemble_rope(RopeModel& rope, const RopeParameters& parameters) {
  const MbsStatus built = build_chain(rope, parameters);
  if (built != MbsStatus::ok) return built;
  set_initial_conditions(rope, parameters);
  set_carriages(rope.carriages, parameters);
  return register_force_elements(rope, parameters);
}
