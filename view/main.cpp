// The interactive rope simulator: the default rope, its integrator and initial state, then the
// window and the toolkit's event loop, which never returns.
#include <GL/glut.h>

#include <iostream>

#include "stepping/simulation.hpp"
#include "view/controls.hpp"
#include "view/viewer.hpp"

int main(int argc, char** argv) {
  static Simulation simulation;  // lives as long as the event loop that drives it
  const MbsStatus started = start_simulation(simulation);
  if (started != MbsStatus::ok) {
    std::cout << mbs_status_message(started) << std::endl;
    return 1;
  }
  std::cout << startup_line_prefix << simulation.layout.coordinates << std::endl;
  view.simulation = &simulation;
  open_window(argc, argv);
  register_callbacks();
  glutMainLoop();
  return 0;
}
