// How well the implicit methods' tree solve inverts the Newton matrix I - gamma J of a state: J
// by central differences of the right-hand side (the kinetic energy's pull on pdot is quadratic
// in p, so one-sided ones would miss by the step), then z = P^-1 r checked against r.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "stepping/simulation.hpp"
#include "stepping/step_preconditioner.hpp"

// J at y, row-major, dimension x dimension.
inline std::vector<double> jacobian_by_differences(Simulation& sim, const std::vector<double>& y,
                                                   double step) {
  const int d = sim.layout.dimension;
  std::vector<double> up(d), down(d), jacobian(static_cast<size_t>(d) * d);
  for (int j = 0; j < d; ++j) {
    std::vector<double> above = y, below = y;
    above[j] += step;
    below[j] -= step;
    EXPECT_EQ(state_rates(sim, above.data(), up.data()), MbsStatus::ok);
    EXPECT_EQ(state_rates(sim, below.data(), down.data()), MbsStatus::ok);
    for (int i = 0; i < d; ++i) jacobian[i * d + j] = (up[i] - down[i]) / (2 * step);
  }
  return jacobian;
}

// A right-hand side for the check, nonzero on the coordinates and momenta.
inline std::vector<double> newton_probe(const Simulation& sim) {
  std::vector<double> r(sim.layout.dimension, 0.0);
  for (int i = 0; i < 2 * sim.layout.coordinates; ++i) r[i] = std::sin(1.7 * i + 0.3);
  return r;
}

// The largest |(I - gamma J) z - r| over the coordinates' and momenta's rows.
inline double newton_residual(const Simulation& sim, const std::vector<double>& jacobian,
                              double gamma, const std::vector<double>& r,
                              const std::vector<double>& z) {
  const int d = sim.layout.dimension;
  double miss = 0.0;
  for (int i = 0; i < 2 * sim.layout.coordinates; ++i) {
    double pz = z[i];
    for (int j = 0; j < d; ++j) pz -= gamma * jacobian[i * d + j] * z[j];
    miss = std::max(miss, std::fabs(pz - r[i]));
  }
  return miss;
}
