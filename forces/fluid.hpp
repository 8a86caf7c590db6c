// A fluid around the segments, below a level surface or everywhere: buoyancy of the displaced
// volume and quadratic drag on the velocity relative to a uniform current, per metre of
// submerged segment. For a round rope of diameter d in fluid of density rho:
//
//   buoyancy    rho g pi d^2 / 4 upward,
//   normal      -1/2 rho C_n d |u_n| u_n   (u_n: relative velocity across the segment),
//   tangential  -1/2 rho C_t pi d |u_t| u_t (u_t: along it; skin friction on the perimeter).
//
// Along a segment the submerged part is a stretch, u_t is constant and u_n linear, so every
// integral is exact: two-point Gauss-Legendre on each side of the point where u_n changes sign.
#pragma once

#include "forces/segments.hpp"

struct Fluid {
  Segments segments;
  const double* gravity = nullptr;  // m/s^2 along -y, read live
  double density = 0.0;             // kg/m^3
  bool has_surface = false;         // false: fluid everywhere
  double surface = 0.0;             // m; fluid below it
  double diameter = 0.0;            // m
  double drag_normal = 0.0;         // C_n
  double drag_tangential = 0.0;     // C_t
  Point flow{};                     // m/s
};

extern const ForceElementType fluid_element;

inline ForceElement fluid_on_every_body(const Fluid& fluid) {
  return {&fluid_element, &fluid, nullptr};
}

// The fluid's force on `body` (world axes, moment about the body's origin).
Triple fluid_force_on(const Fluid& fluid, const Body& body);

// The rate of work of the fluid's drag on `body`, W, buoyancy left out: negative in still fluid;
// a current can make it positive.
double fluid_drag_power_on(const Fluid& fluid, const Body& body);
