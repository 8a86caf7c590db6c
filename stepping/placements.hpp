// Where the rope's bodies stand: what the programs draw and export. Read from the bodies' records,
// which hold the accepted state's placements after start-up, after every frame and after
// refresh_readings.
#pragma once

#include <vector>

#include "stepping/simulation.hpp"

struct BodyPlacement {
  Point origin;                 // m: the joint point the body hangs from
  double angle;                 // rad: of the body's x axis from the world's
  double cos_angle, sin_angle;  // of angle, as the core computed them
  double length;                // m: from the joint point to the next body's
};

struct Placements {
  std::vector<BodyPlacement> bodies;  // base first
  Point far_end;                      // m: the last link's far end, which carriage 2 holds
};

// Fills `placements` from the bodies' records. It is sized to the body count, so a caller that
// keeps its record allocates only when the rope changes.
void read_placements(const Simulation& sim, Placements& placements);

// A point given in the body's axes, in the world: the core's mapping, to the bit.
Point placement_point(const BodyPlacement& body, const Point& local);
