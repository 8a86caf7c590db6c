// The joint-kind descriptors, indexed by kind. Every entry is the address of a function, so the
// table is fixed at compile time (constinit): it never changes and is ready before any code runs.
#include "joints/joint_operations.hpp"
#include "mbs/mbs.hpp"

constinit const JointType joint_types[4] = {
    // revolute_link_kind
    {
        revolute_link::construct,                   // allocate nothing, set the rod's defaults
        revolute_joint_transform,                   // sin q, cos q
        revolute_parent_velocity,                   // parent's velocity in this frame
        revolute_body_velocity,                     // plus qdot
        revolute_link::invert_joint_inertia,        // 1 / a33
        revolute_link::transmit_inertia,            // reduced articulated inertia, parent's frame
        revolute_link::transmit_momentum_bias,      // momentum bias in the parent's frame
        revolute_link::joint_velocity,              // qdot from p
        revolute_link::joint_momentum_rate,         // pdot
        revolute_link::transmit_force,              // total force in the parent's frame
        revolute_absolute_placement,                // world pose from the parent's
        revolute_link::composite_momentum,          // A u + b
        revolute_link::transmit_momentum,           // set-up: composite momentum to the parent
        revolute_link::initial_joint_momentum,      // set-up: p = H[2]
        revolute_link::transmit_acceleration_bias,  // acceleration slots: filled, never invoked
        revolute_link::body_acceleration,
        revolute_link::joint_acceleration,
        revolute_link::composite_force,
        1,  // coordinate_count
        5,  // reserved
    },
    // free_planar_base_kind
    {
        free_planar_base::construct,               // the base's defaults
        free_planar_base::joint_transform,         // sin, cos of the angle coordinate
        free_planar_base::parent_velocity,         // zero: the ground is at rest
        free_planar_base::body_velocity,           // T^T qdot
        free_planar_base::invert_joint_inertia,    // (T A T^T)^-1
        do_nothing,                                // transmit_inertia: nothing goes to the ground
        do_nothing,                                // transmit_momentum_bias
        free_planar_base::joint_velocity,          // qdot = J (p - T b)
        free_planar_base::joint_momentum_rate,     // pdot
        do_nothing,                                // transmit_force
        free_planar_base::absolute_placement,      // pose from q
        free_planar_base::composite_momentum,      // T^T p
        do_nothing,                                // transmit_momentum
        free_planar_base::initial_joint_momentum,  // set-up: p = T H
        nullptr,                                   // no acceleration recursion
        nullptr,
        nullptr,
        nullptr,
        3,  // coordinate_count
        5,  // reserved
    },
    // slaved_revolute_kind
    {
        slaved_revolute::construct,               // the 1 kg, 0.25 m rod's defaults
        slaved_revolute::joint_transform,         // single-precision sin q, cos q
        revolute_parent_velocity,                 // as the revolute link
        revolute_body_velocity,                   // as the revolute link
        nullptr,                                  // no joint inertia to invert
        slaved_revolute::transmit_inertia,        // E^T A E in the parent's frame
        slaved_revolute::transmit_momentum_bias,  // zero
        slaved_joint_velocity,                    // qdot = g . w
        nullptr,                                  // no momentum, no momentum rate
        slaved_revolute::transmit_force,          // constrained force transfer
        revolute_absolute_placement,              // as the revolute link
        slaved_revolute::composite_momentum,      // A u
        slaved_revolute::transmit_momentum,       // set-up: E^T H to the parent
        nullptr,                                  // no joint momentum to initialise
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        1,  // coordinate_count
        5,  // reserved
    },
    // tip_joint_kind
    {
        tip_joint::construct,      // the 1 kg, 0.25 m rod's defaults and the unit-point block
        revolute_joint_transform,  // as the revolute link
        revolute_parent_velocity,  // as the revolute link
        nullptr,                   // velocity stays the construct's zero
        nullptr,
        nullptr,
        nullptr,
        slaved_joint_velocity,  // qdot = g . w
        nullptr,
        do_nothing,                   // transmit_force: nothing reaches the parent
        revolute_absolute_placement,  // as the revolute link
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        nullptr,
        1,  // coordinate_count
        5,  // reserved
    },
};
