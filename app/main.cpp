#include <iostream>

#include "app/driver.hpp"
#include "app/simulation.hpp"

int main() {
  create_integrator();
  init_model();
  init_state();
  return 0;
}
