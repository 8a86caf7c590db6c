// Times run_rhs_passes on the benchmark chain against a hand-written planar articulated-body
// timer for the same chain, built from its own folder (ROPE_YARDSTICK_DIR). The two alternate in
// batches of about 2 ms inside one process, so that both see the same machine: on a shared
// machine the absolute speed drifts by 10-30 % between seconds, far more than the gap measured.
//
// Usage: yardstick_pairs [N [PAIRS]]   (default 25 bodies, 200 pairs of batches)
// Prints the median time per evaluation of each, and the median over the pairs of our time over
// the hand-written one.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <random>
#include <vector>

#include "chain_model.hpp"
#include "model.hpp"

namespace {

double now_ns() {
  return std::chrono::duration<double, std::nano>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// The hand-written timer's own inputs: random angles and rates, every other call with all angles
// moved by 1e-6, so that nothing can be reused between calls.
struct HandInputs {
  std::vector<double> q, q_moved, u, qdd;
};

HandInputs hand_inputs(int bodies) {
  const std::size_t n = static_cast<std::size_t>(bodies) + 2;
  std::mt19937_64 rng(42);
  std::uniform_real_distribution<double> angle(-0.5, 0.5), rate(-1, 1);
  HandInputs in{std::vector<double>(n), std::vector<double>(n), std::vector<double>(n),
                std::vector<double>(n)};
  for (std::size_t i = 0; i < n; ++i) {
    in.q[i] = angle(rng);
    in.u[i] = rate(rng);
    in.q_moved[i] = in.q[i] + 1e-6;
  }
  return in;
}

// The same loop as the chain_rhs benchmark: the base angle changes between evaluations.
double time_ours(Mbs& mbs, long evaluations, double& sink) {
  const double angle = mbs.q[2];
  const double start = now_ns();
  for (long k = 0; k < evaluations; ++k) {
    mbs.q[2] = angle + 1e-9 * static_cast<double>(k & 1);
    run_rhs_passes(mbs);
    sink += mbs.pdot[mbs.coordinate_count - 1];
  }
  const double elapsed = now_ns() - start;
  mbs.q[2] = angle;
  return elapsed / static_cast<double>(evaluations);
}

double time_hand(FD& hand, HandInputs& in, long evaluations, double& sink) {
  const double start = now_ns();
  for (long k = 0; k < evaluations; ++k) {
    hand.eval((k & 1) ? in.q_moved.data() : in.q.data(), in.u.data(), in.qdd.data());
    sink += in.qdd.back();
  }
  return (now_ns() - start) / static_cast<double>(evaluations);
}

}  // namespace

int main(int argc, char** argv) {
  const int bodies = argc > 1 ? std::atoi(argv[1]) : 25;
  const int pairs = argc > 2 ? std::atoi(argv[2]) : 200;
  if (bodies < 2 || pairs < 1) {
    std::fprintf(stderr, "usage: yardstick_pairs [N >= 2 [PAIRS >= 1]]\n");
    return 2;
  }
  auto chain = std::make_unique<Chain>();
  if (!build_chain(*chain, bodies)) {
    std::fprintf(stderr, "yardstick_pairs: %s\n", mbs_status_message(chain->mbs.status));
    return 1;
  }
  set_moving_state(*chain);
  std::unique_ptr<FD> hand = make_aba2_o2(bodies);
  HandInputs in = hand_inputs(bodies);
  // About 2 ms per batch at some 30-40 ns per body.
  const long evaluations = std::max(2L, 2'000'000L / (40L * bodies));
  double sink = 0.0;
  for (int warm = 0; warm < 3; ++warm) {
    time_hand(*hand, in, evaluations, sink);
    time_ours(chain->mbs, evaluations, sink);
  }
  std::vector<double> hand_ns, ours_ns, ratios;
  for (int k = 0; k < pairs; ++k) {
    hand_ns.push_back(time_hand(*hand, in, evaluations, sink));
    ours_ns.push_back(time_ours(chain->mbs, evaluations, sink));
    ratios.push_back(ours_ns.back() / hand_ns.back());
  }
  std::printf(
      "N = %d: hand-written %.1f ns, run_rhs_passes %.1f ns (%.2f ns per body), "
      "ratio %.3f\n",
      bodies, median(hand_ns), median(ours_ns), median(ours_ns) / bodies, median(ratios));
  return sink == 0.123456789 ? 3 : 0;
}
