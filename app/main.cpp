// The interactive rope simulator: the integrator, the rope and its initial state, the window and
// its callbacks, then the toolkit's event loop.
#include <GL/glut.h>

#include "app/driver.hpp"
#include "app/simulation.hpp"
#include "view/viewer.hpp"

int main(int argc, char** argv) {
  create_integrator();
  init_model();  // bodies, chain, coordinate layout; parameters and initial conditions
  init_state();  // carriage coupling, initial momenta, ode_state
  open_window(argc, argv);
  register_callbacks();
  glutMainLoop();
  return 0;
}
