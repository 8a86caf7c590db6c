// Scripted runs: target moves at given times and runs of a given duration in whole frames, the
// same for rope-headless and for Python, so that both give the same trajectory for the same
// options.
#pragma once

#include <cstddef>
#include <vector>

#include "stepping/simulation.hpp"

// From the first frame that starts at or after `time`, carriage `carriage` (1 or 2) is driven
// towards `target`: what a mouse drag does in the window.
struct TargetMove {
  int carriage = 1;
  double target = 0.0;  // m, along x
  double time = 0.0;    // s of simulated time
};

// A run's moves, sorted, and the first one not yet applied.
struct Script {
  std::vector<TargetMove> moves;
  std::size_t next = 0;
};

// Sorts the moves and starts after those a resumed or continued simulation has already applied.
void start_script(Script& script, const Simulation& sim);

// Sorts by time, ties kept in the order given.
void sort_moves(std::vector<TargetMove>& moves);

// Longest scripted run, s of simulated time (about 32 years). Beyond it the frame count no longer
// fits the frame arithmetic (1e17 s is more frames than a long long holds) and the time itself
// rounds by a sizeable part of a frame.
constexpr double longest_script_duration = 1e9;

// True for a duration a scripted run accepts: finite, from 0 to longest_script_duration.
bool duration_in_range(double duration);

// Whole frames until at least `duration` of simulated time; `duration` must be in range.
long long frames_for(const Simulation& sim, double duration);

// How many of the sorted moves were due at a frame that started before sim.time: a run resumed
// from a checkpoint has them in its targets already, and starts its walk after them.
std::size_t moves_already_applied(const Simulation& sim, const std::vector<TargetMove>& moves);

// Applies every move due at the start of the coming frame; `next` walks the sorted moves.
void apply_due_moves(Simulation& sim, const std::vector<TargetMove>& moves, std::size_t& next);
