// The rope's parameters: how many links, their size and mass, the joints' spring-dampers, the
// carriages and their couplings to the chain ends, and gravity. The defaults are the rope the
// window program shows. Each parameter has a key, the same in a model file, on the command line
// (--set KEY=VALUE) and in Python.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

// One value per carriage: index 0 is carriage 1 (holds the root body's origin), index 1 is
// carriage 2 (holds the far end of the last link).
using CarriagePair = std::array<double, 2>;

struct RopeParameters {
  int links = 24;                               // revolute links after the free base
  double link_length = 0.04;                    // m, every body (the base too) is a uniform rod
  double link_mass = 0.04;                      // kg
  double joint_stiffness = 5.5;                 // N m/rad, torsional spring of each revolute joint
  double joint_damping = 0.01;                  // N m s/rad
  double joint_rest_angle = 0.0;                // rad, angle at which the joint spring is relaxed
  double gravity = 9.80665;                     // m/s^2, along -y
  CarriagePair carriage_mass = {100.0, 100.0};  // kg
  CarriagePair drive_stiffness = {100000.0, 100000.0};  // N/m, carriage towards its target
  CarriagePair drive_damping = {1000.0, 1000.0};        // N s/m, on the carriage's velocity
  CarriagePair end_stiffness_x = {5000.0, 5000.0};      // N/m, chain end to its carriage along x
  CarriagePair end_damping_x = {100.0, 100.0};          // N s/m
  CarriagePair end_stiffness_y = {1000.0, 1000.0};      // N/m, chain end towards y = 0
  CarriagePair end_damping_y = {10.0, 10.0};            // N s/m
  CarriagePair end_stiffness_angle = {3.0, 3.0};        // N m/rad, end body's angle towards 0
  CarriagePair end_damping_angle = {0.01, 0.01};        // N m s/rad
  CarriagePair carriage_start = {-0.2, 0.6};            // m, initial carriage positions
  CarriagePair carriage_target = {-0.2, 0.6};           // m, initial drive targets
};

// Largest link count accepted: a million links is already a few gigabytes of state.
constexpr int most_links = 1000000;

// The keys, in the order of the shipped model file.
struct ParameterKey {
  const char* name;
  const char* unit;
  const char* meaning;
};
const std::vector<ParameterKey>& parameter_keys();
bool is_parameter_key(std::string_view name);

// One value as text, as --set takes it: a number, or for a per-carriage key either one number
// (both carriages) or two separated by a comma. On failure returns false with a reason naming
// the key in `error`.
bool set_parameter(RopeParameters& parameters, std::string_view key, std::string_view text,
                   std::string& error);
// The same from numbers already parsed: one value, or two for a per-carriage key.
bool set_parameter(RopeParameters& parameters, std::string_view key,
                   const std::vector<double>& values, std::string& error);

// The one rule for numbers given as text, on the command line and in --set: the whole text is a
// number as strtod reads it (no leading space, nothing after it, no overflow). Whether infinity or
// NaN is acceptable is the caller's range check.
bool parse_number(std::string_view text, double& value);

// Input echoed in a message is cut to about 80 characters, so a huge key or value cannot flood
// the terminal.
std::string excerpt(std::string_view text);

// Rod inertia about its end, m L^2 / 3, correctly rounded (a product of doubles would round twice).
double rod_inertia_about_end(double mass, double length);
