#include <string>

#include "stepping/integrators.hpp"

bool check_tolerances(double absolute, double relative, std::string& error) {
  for (const double tolerance : {absolute, relative})
    if (!(tolerance >= smallest_tolerance && tolerance <= 1.0)) {  // false for NaN as well
      error = "tolerances need numbers from 1e-13 (the smallest a double-precision run can meet) "
              "to 1";
      return false;
    }
  return true;
}
