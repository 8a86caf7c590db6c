#include "mbs/fatal.hpp"

#include <cstdlib>
#include <iostream>

void fatal(const char* message, int status) {
  std::cout << message << std::endl;
  std::exit(status);
}
