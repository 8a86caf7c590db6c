// The rope: a free planar base and a chain of revolute links, held at both ends by two carriages.
// Built from a parameters record, so the window program, the headless runner, the tests and the
// benchmarks all build the same rope.
#pragma once

#include <vector>

#include "forces/fluid.hpp"
#include "forces/gravity.hpp"
#include "forces/ground_contact.hpp"
#include "forces/peg_contact.hpp"
#include "mbs/mbs.hpp"
#include "rope/carriages.hpp"
#include "rope/rope_parameters.hpp"

// The default rope: the base and 24 links, 27 coordinates.
constexpr int rope_body_count = 25;
constexpr int rope_coordinate_count = 27;

struct RopeModel {
  BodyArray bodies;  // chain order: body k hangs from body k-1; sized once
  Mbs mbs;
  Gravity gravity;
  Carriages carriages{};
  // The world around the rope; each registered only when its keys ask for it.
  std::vector<double> segment_length;  // every body's length, chain order
  std::vector<double> peg_table;       // x, y, radius of each peg
  GroundContact ground;
  PegContact pegs;
  Fluid fluid;
  RopeModel() = default;
  RopeModel(const RopeModel&) = delete;  // the bodies point at each other and into mbs
  RopeModel& operator=(const RopeModel&) = delete;
};

// Builds the chain (bodies, links, coordinate layout) and sets every parameter and initial
// condition, and registers the rope's force elements (gravity, then the carriages' couplings of
// the first and the last body, then the ground, the pegs and the fluid where the parameters ask
// for them). `rope` must be fresh, and the parameters must pass
// check_parameters (one value, or one per body, joint or coordinate). Returns ok, or
// out_of_memory when the bodies or coordinates cannot be had.
MbsStatus assemble_rope(RopeModel& rope, const RopeParameters& parameters = {});
