// The benchmark chain: a free planar base and N-1 revolute links with the rope's link parameters
// (uniform rods 0.04 m, 0.04 kg, joints at the far ends), hanging in gravity, no carriages.
#pragma once

#include <vector>

#include "forces/gravity.hpp"
#include "joints/joint_types.hpp"
#include "mbs/mbs.hpp"

struct Chain {
  BodyArray bodies;
  Gravity gravity;
  Mbs mbs;
};

constexpr double link_length = 0.04;  // m
constexpr double link_mass = 0.04;    // kg

// Builds the chain in place (the bodies must not move afterwards); false when the memory for its
// coordinates cannot be had.
bool build_chain(Chain& chain, int body_count);

// Removes the joint springs and dampers: the motion is then gravity alone.
void remove_springs_and_dampers(Chain& chain);

// A mid-motion state: every joint bent and moving, the base moving and turned. The coordinate
// rates are given; the momenta come from the set-up passes.
void set_moving_state(Chain& chain);
