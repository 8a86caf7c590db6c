// The kind table: every joint kind's descriptor, indexed by kind, and its checked lookup. Every
// entry is the address of a function, so the table is fixed at compile time (constinit): it never
// changes and is ready before any code runs.
// Slots are named: a slot out of declaration order does not compile, and an unnamed one is null.
#include "joints/joint_types.hpp"

#include "joints/joint_operations.hpp"

constinit const JointType joint_types[joint_kind_count] = {
    // revolute_link_kind
    {
        .construct = revolute_link::construct,  // allocate nothing, set the rod's defaults
        .joint_transform = revolute_joint_transform,  // sin q, cos q
        .parent_velocity = revolute_parent_velocity,  // parent's velocity in this frame
        .body_velocity = revolute_body_velocity,      // plus qdot
        .invert_joint_inertia = revolute_link::invert_joint_inertia,  // 1 / a33
        .transmit_inertia = revolute_link::transmit_inertia,  // reduced inertia, parent's frame
        .transmit_momentum_bias = revolute_link::transmit_momentum_bias,  // in the parent's frame
        .joint_velocity = revolute_link::joint_velocity,                  // qdot from p
        .joint_momentum_rate = revolute_link::joint_momentum_rate,        // pdot
        .transmit_force = revolute_link::transmit_force,  // total force in the parent's frame
        .absolute_placement = revolute_absolute_placement,  // world pose from the parent's
        .composite_momentum = revolute_link::composite_momentum,  // A u + b
        .transmit_momentum = revolute_link::transmit_momentum,  // set-up: H to the parent
        .initial_joint_momentum = revolute_link::initial_joint_momentum,  // set-up: p = H[2]
        // Fused runs: chains of links, each the only child of the next.
        .continues_inward_run = revolute_link::continues_inward_run,
        .continues_outward_run = revolute_link::continues_outward_run,
        .inertia_run = revolute_link::inertia_run,
        .velocity_run = revolute_link::velocity_run,
        .force_run = revolute_link::force_run,
        .store_records = revolute_link::store_records,
        .pack_parameters = revolute_link::pack_parameters,
        .momentum_velocity_run = revolute_link::momentum_velocity_run,
        .momentum_sum_run = revolute_link::momentum_sum_run,
        .coordinate_count = 1,
        .reserved = 5,
        .has_joint_offset = true,
    },
    // free_planar_base_kind
    {
        .construct = free_planar_base::construct,              // the base's defaults
        .joint_transform = free_planar_base::joint_transform,  // sin, cos of the angle coordinate
        .parent_velocity = free_planar_base::parent_velocity,  // zero: the ground is at rest
        .body_velocity = free_planar_base::body_velocity,      // T^T qdot
        .invert_joint_inertia = free_planar_base::invert_joint_inertia,  // (T A T^T)^-1
        .transmit_inertia = do_nothing,  // nothing goes to the ground
        .transmit_momentum_bias = do_nothing,
        .joint_velocity = free_planar_base::joint_velocity,            // qdot = J (p - T b)
        .joint_momentum_rate = free_planar_base::joint_momentum_rate,  // pdot
        .transmit_force = do_nothing,
        .absolute_placement = free_planar_base::absolute_placement,  // pose from q
        .composite_momentum = free_planar_base::composite_momentum,  // T^T p
        .transmit_momentum = do_nothing,
        .initial_joint_momentum = free_planar_base::initial_joint_momentum,  // set-up: p = T H
        // Fused steps at the root; elsewhere the table operations.
        .root_inertia_and_velocity = free_planar_base::inertia_and_velocity_step,
        .root_force = free_planar_base::force_step,
        .coordinate_count = 3,
        .reserved = 5,
    },
    // slaved_revolute_kind: no joint inertia, no momentum of its own
    {
        .construct = slaved_revolute::construct,              // the 1 kg, 0.25 m rod's defaults
        .joint_transform = slaved_revolute::joint_transform,  // single-precision sin q, cos q
        .parent_velocity = revolute_parent_velocity,          // as the revolute link
        .body_velocity = revolute_body_velocity,              // as the revolute link
        .transmit_inertia = slaved_revolute::transmit_inertia,  // E^T A E in the parent's frame
        .transmit_momentum_bias = slaved_revolute::transmit_momentum_bias,  // zero
        .joint_velocity = slaved_joint_velocity,                            // qdot = g . w
        .transmit_force = slaved_revolute::transmit_force,  // constrained force transfer
        .absolute_placement = revolute_absolute_placement,  // as the revolute link
        .composite_momentum = slaved_revolute::composite_momentum,  // A u
        .transmit_momentum = slaved_revolute::transmit_momentum,    // set-up: E^T H to the parent
        .coordinate_count = 1,
        .reserved = 5,
        .has_joint_offset = true,
    },
    // tip_joint_kind: velocity stays the construct's zero
    {
        .construct = tip_joint::construct,  // the rod's defaults and the unit-point block
        .joint_transform = revolute_joint_transform,        // as the revolute link
        .parent_velocity = revolute_parent_velocity,        // as the revolute link
        .joint_velocity = slaved_joint_velocity,            // qdot = g . w
        .transmit_force = do_nothing,                       // nothing reaches the parent
        .absolute_placement = revolute_absolute_placement,  // as the revolute link
        .coordinate_count = 1,
        .reserved = 5,
        .has_joint_offset = true,
    },
};

const JointType* find_joint_type(int type_number) {
  if (type_number < 0 || type_number >= joint_kind_count) return nullptr;
  return &joint_types[type_number];
}
