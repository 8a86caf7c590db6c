// The joint kinds' operations, which the kind table (joint_types.cpp) lists: each kind's
// own in a namespace of its name, and those that several kinds share. Helpers stay file-local.
#pragma once

#include <cstddef>

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

namespace revolute_link {
void construct(Body& body);
void invert_joint_inertia(Body& body);
void transmit_inertia(Body& body);
void transmit_momentum_bias(Body& body);
void joint_velocity(Body& body);
void joint_momentum_rate(Body& body);
void transmit_force(Body& body);
void composite_momentum(Body& body);
void transmit_momentum(Body& body);
void initial_joint_momentum(Body& body);

// The right-hand-side passes fused over a run of links (mbs/passes.cpp cuts the runs as the two
// continuation operations allow), with the same results as the table operations. Pass 1 and 3
// take a run in inward order (the first link may have any children, every later one has the link
// before it as its only child); pass 2 takes one in outward order (every link after the first is
// a child of the link before it).
// What the passes hand each other goes through mbs.run_state and mbs.run_motion; the kernels
// stream these compact arrays in order and need no prefetching. Pass 2 writes placement and
// velocity into the records listed in mbs.kept_records only; store_records writes them for a
// whole run (with streaming stores when `stream`, for trees too large for the caches).
void inertia_run(Mbs& mbs, const PassRun& run);
void velocity_run(Mbs& mbs, const PassRun& run);
void force_run(Mbs& mbs, const PassRun& run);
void store_records(Mbs& mbs, const PassRun& run, bool stream);
void momentum_velocity_run(Mbs& mbs, const PassRun& run);
void momentum_sum_run(Mbs& mbs, const PassRun& run);
bool continues_inward_run(const Body& body, const Body& previous);
bool continues_outward_run(const Body& body, const Body& previous);
// The run's parameters and weights into the compact arrays (mbs.run_joint, run_inertia and
// run_force_parameters), by inward position.
void pack_parameters(Mbs& mbs, const PassRun& run);
}  // namespace revolute_link

namespace free_planar_base {
void construct(Body& body);
void joint_transform(Body& body);
void parent_velocity(Body& body);
void body_velocity(Body& body);
void invert_joint_inertia(Body& body);
void joint_velocity(Body& body);
void joint_momentum_rate(Body& body);
void absolute_placement(Body& body);
void composite_momentum(Body& body);
void initial_joint_momentum(Body& body);

// The right-hand side's steps of a free base at the root, fused as the link kernels are, with the
// same results and record as the table operations: pass 1 followed at once by pass 2 (the root
// ends the inward order and starts the outward one), and pass 3.
void inertia_and_velocity_step(Body& body);
void force_step(Body& body);
}  // namespace free_planar_base

namespace slaved_revolute {
void construct(Body& body);
void joint_transform(Body& body);
void transmit_inertia(Body& body);
void transmit_momentum_bias(Body& body);
void transmit_force(Body& body);
void composite_momentum(Body& body);
void transmit_momentum(Body& body);
}  // namespace slaved_revolute

namespace tip_joint {
void construct(Body& body);
}  // namespace tip_joint
