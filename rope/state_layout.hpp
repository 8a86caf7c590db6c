// Where each part of the rope's ODE state lives: q (n joint coordinates: the free base's x, y and
// angle, then one angle per link), p (n momenta, conjugate to q in the same order), then x1, v1,
// x2, v2 of the carriages. Every reader of a state, a checkpoint or a CSV row finds its slots here.
#pragma once

#include <array>

#include "rope/rope_model.hpp"

constexpr int base_coordinate_count = 3;  // the free base's x, y and angle

struct StateLayout {
  int coordinates = 0;      // n
  int momenta_start = 0;    // p[0]
  int carriages_start = 0;  // x1
  int carriage_slots = 0;   // x1, v1, x2, v2
  int dimension = 0;        // every slot
};

// The layout of a rope of `links` revolute links after the free base.
constexpr StateLayout state_layout(int links) {
  const int n = links + base_coordinate_count;
  return {n, n, 2 * n, carriage_state_count, 2 * n + carriage_state_count};
}

// The carriages' slots by name, in state order.
constexpr std::array<const char*, carriage_state_count> carriage_slot_names = {"x1", "v1", "x2",
                                                                               "v2"};
