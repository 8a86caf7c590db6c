// A program built against the installed package: a rope of 10 links, 1 s with a target move.
#include <ropesim.hpp>

#include <cstdio>

int main() {
  RopeParameters parameters;
  parameters.links = 10;
  Simulation sim;
  if (start_simulation(sim, parameters) != MbsStatus::ok) return 1;
  set_target(sim, 2, 0.5);
  for (int frame = 0; frame < 100; ++frame)
    if (run_frame(sim, nullptr) != FrameEnd::reached) return 1;
  std::printf("t=%g coordinates=%d x2=%.3f\n", sim.time, sim.layout.coordinates,
              sim.state[sim.layout.carriages_start + 2]);
  return 0;
}
