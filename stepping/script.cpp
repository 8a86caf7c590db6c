#include "stepping/script.hpp"

#include <algorithm>
#include <cmath>

void sort_moves(std::vector<TargetMove>& moves) {
  std::stable_sort(moves.begin(), moves.end(),
                   [](const TargetMove& a, const TargetMove& b) { return a.time < b.time; });
}

bool duration_in_range(double duration) {
  return duration >= 0.0 && duration <= longest_script_duration;  // false for NaN as well
}

// The tolerance absorbs the rounding of duration / frame_span (10 / 0.01 is 1000, not
// 1000.0000000000001 frames).
long long frames_for(const Simulation& sim, double duration) {
  return static_cast<long long>(std::ceil(duration / sim.frame_span - 1e-9));
}

// Frame start times are sums of frame spans, so "at or after T" allows for their rounding.
void apply_due_moves(Simulation& sim, const std::vector<TargetMove>& moves, std::size_t& next) {
  const double tolerance = 1e-6 * sim.frame_span;
  while (next < moves.size() && sim.time >= moves[next].time - tolerance) {
    const TargetMove& move = moves[next++];
    set_target(sim, move.carriage, move.target);
  }
}

// The last frame started one frame span before sim.time; a move due then was applied then.
std::size_t moves_already_applied(const Simulation& sim, const std::vector<TargetMove>& moves) {
  const double tolerance = 1e-6 * sim.frame_span;
  const double last_start = sim.time - sim.frame_span;
  std::size_t count = 0;
  while (count < moves.size() && last_start >= moves[count].time - tolerance) ++count;
  return count;
}

void start_script(Script& script, const Simulation& sim) {
  sort_moves(script.moves);
  script.next = moves_already_applied(sim, script.moves);
}
