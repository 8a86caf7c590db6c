// Benchmark entry. With the peers built, their agreement with the dense solve and the engine's is
// checked first, and nothing is timed when any of them disagrees.
#include <benchmark/benchmark.h>

#include <cstdio>

#ifdef ROPE_PEERS
#include "peer_checks.hpp"
#endif

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
#ifdef ROPE_PEERS
  if (!check_agreement()) {
    std::fprintf(stderr, "The peers and the engine do not describe the same motion: no timing.\n");
    return 1;
  }
#endif
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
