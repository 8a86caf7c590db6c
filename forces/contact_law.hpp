// The contact law the ground and the pegs share, per metre of segment in contact: a normal
// spring-damper on the penetration and Coulomb friction regularised below a slip speed.
//
//   normal    N = k d + c dd/dt, taken only where N > 0 (the damper never pulls),
//   friction  T = -mu N clamp(v_t / v_s, -1, 1) along the surface,
//
// with d the penetration, v_t the slip velocity and v_s the friction speed. Below v_s friction is
// a viscous damper of mu N / v_s per metre, above it Coulomb's mu N against the slip: on a slope
// that Coulomb friction would hold (tan(slope) < mu) a body creeps at v_s tan(slope) / mu.
#pragma once

#include <cmath>

struct ContactLaw {
  double stiffness = 1.0e5;      // N/m per m of segment in contact
  double damping = 300.0;        // N s/m per m
  double friction = 0.0;         // mu
  double friction_speed = 0.01;  // m/s
};

// Friction's share of mu N against a slip velocity v_t.
inline double slip_fraction(const ContactLaw& law, double slip) {
  return std::fmax(-1.0, std::fmin(1.0, slip / law.friction_speed));
}

// The two slip speeds at which the law saturates: the cuts of a stretch along which the slip
// velocity is t0 + t1 s.
struct SlipCuts {
  double low, high;
};
inline SlipCuts slip_cuts(const ContactLaw& law, double t0, double t1) {
  if (t1 == 0.0) return {-1.0, -1.0};  // slip constant along the stretch: no cut
  return {(-law.friction_speed - t0) / t1, (law.friction_speed - t0) / t1};
}

// Whether friction is in its viscous part at slip v_t, where its damping is mu N / v_s.
inline bool slip_is_viscous(const ContactLaw& law, double slip) {
  return std::fabs(slip) < law.friction_speed;
}
