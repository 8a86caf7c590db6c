// Gravity: a uniform field along -y, a weight at every body's centre of mass.
#pragma once

#include "mbs/mbs.hpp"

constexpr double standard_gravity = 9.80665;  // m/s^2, along -y

struct Gravity {
  double acceleration = standard_gravity;  // m/s^2, along -y
};

extern const ForceElementType gravity_element;

// The element on every body of a system, reading `gravity` live: after changing it, refresh the
// system's compact data (refresh_run_parameters) before the next right-hand side.
inline ForceElement gravity_on_every_body(const Gravity& gravity) {
  return {&gravity_element, &gravity, nullptr};
}

// The weight's y component in world axes for a mass m under gravity g along -y.
inline double weight_of_mass(double m, double g) {
  return -(g * m);
}
