// The rope: a free planar base and a chain of revolute links, held at both ends by two carriages.
// Built from a parameters record, so the window program, the headless runner, the tests and the
// benchmarks all build the same rope.
#pragma once

#include <vector>

#include "rope/rope_parameters.hpp"
#include "mbs/mbs.hpp"

// The default rope: the base and 24 links, 27 coordinates.
constexpr int rope_body_count = 25;
constexpr int rope_coordinate_count = 27;
constexpr int carriage_state_count = 4;  // x1, v1, x2, v2

// Carriage data: index 0 is carriage 1 (holds the root body's origin), index 1 is carriage 2
// (holds the far end of the last link).
struct Carriages {
  double drive_target[2];
  double carriage_mass[2];    // kg
  double drive_stiffness[2];  // N/m, carriage towards its target
  double drive_damping[2];    // N s/m, on the carriage's own velocity
  double stiffness_x[2];      // N/m, chain end to carriage along x
  double damping_x[2];        // N s/m
  double stiffness_y[2];      // N/m, chain end towards y = 0
  double damping_y[2];        // N s/m
  double stiffness_angle[2];  // N m/rad, end body's absolute angle towards 0
  double damping_angle[2];    // N m s/rad
  double carriage_state[carriage_state_count];
  double carriage_anchor[4];  // (x1, y1, x2, y2): the points the chain ends are pulled to
  double held_point[2];       // the point carriage 2 holds, in the last link's axes: its far end
  bool force_at_held_point;   // far_end_coupling "point": the force acts there, with its moment
};

struct RopeModel {
  BodyArray bodies;  // chain order: body k hangs from body k-1; sized once
  Mbs mbs;
  Carriages carriages{};
  RopeModel() = default;
  RopeModel(const RopeModel&) = delete;  // the bodies point at each other and into mbs
  RopeModel& operator=(const RopeModel&) = delete;
};

// Builds the chain (bodies, links, coordinate layout) and sets every parameter and initial
// condition. `rope` must be fresh, and the parameters must pass check_parameters (one value, or
// one per body, joint or coordinate). Returns ok, or out_of_memory when the bodies or coordinates
// cannot be had.
MbsStatus assemble_rope(RopeModel& rope, const RopeParameters& parameters = {});
