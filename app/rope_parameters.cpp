#include "app/rope_parameters.hpp"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

enum class Range { positive, non_negative, finite };

// How a key reaches its field: links is a count, the rest are one double or one per carriage.
struct KeySlot {
  ParameterKey key;
  Range range;
  double RopeParameters::*scalar;
  CarriagePair RopeParameters::*pair;
};

const std::vector<KeySlot>& key_slots() {
  using P = RopeParameters;
  static const std::vector<KeySlot> slots = {
      {{"links", "", "revolute links after the free base (1 or more)"},
       Range::positive,
       nullptr,
       nullptr},
      {{"link_length", "m", "length of every body, the base included"},
       Range::positive,
       &P::link_length,
       nullptr},
      {{"link_mass", "kg", "mass of every body (uniform rod)"},
       Range::positive,
       &P::link_mass,
       nullptr},
      {{"joint_stiffness", "N m/rad", "torsional spring of each revolute joint"},
       Range::non_negative,
       &P::joint_stiffness,
       nullptr},
      {{"joint_damping", "N m s/rad", "torsional damper of each revolute joint"},
       Range::non_negative,
       &P::joint_damping,
       nullptr},
      {{"joint_rest_angle", "rad", "joint angle at which the spring is relaxed"},
       Range::finite,
       &P::joint_rest_angle,
       nullptr},
      {{"gravity", "m/s^2", "acceleration of gravity along -y"},
       Range::finite,
       &P::gravity,
       nullptr},
      {{"carriage_mass", "kg", "mass of each carriage"},
       Range::positive,
       nullptr,
       &P::carriage_mass},
      {{"drive_stiffness", "N/m", "spring from each carriage to its target"},
       Range::non_negative,
       nullptr,
       &P::drive_stiffness},
      {{"drive_damping", "N s/m", "damper on each carriage's velocity"},
       Range::non_negative,
       nullptr,
       &P::drive_damping},
      {{"end_stiffness_x", "N/m", "spring along x from each chain end to its carriage"},
       Range::non_negative,
       nullptr,
       &P::end_stiffness_x},
      {{"end_damping_x", "N s/m", "damper along x of each chain end"},
       Range::non_negative,
       nullptr,
       &P::end_damping_x},
      {{"end_stiffness_y", "N/m", "spring pulling each chain end towards y = 0"},
       Range::non_negative,
       nullptr,
       &P::end_stiffness_y},
      {{"end_damping_y", "N s/m", "damper along y of each chain end"},
       Range::non_negative,
       nullptr,
       &P::end_damping_y},
      {{"end_stiffness_angle", "N m/rad", "rotational spring of each end body towards angle 0"},
       Range::non_negative,
       nullptr,
       &P::end_stiffness_angle},
      {{"end_damping_angle", "N m s/rad", "rotational damper of each end body"},
       Range::non_negative,
       nullptr,
       &P::end_damping_angle},
      {{"carriage_start", "m", "initial position of each carriage"},
       Range::finite,
       nullptr,
       &P::carriage_start},
      {{"carriage_target", "m", "initial drive target of each carriage"},
       Range::finite,
       nullptr,
       &P::carriage_target},
  };
  return slots;
}

const KeySlot* find_slot(std::string_view name) {
  for (const KeySlot& slot : key_slots())
    if (name == slot.key.name) return &slot;
  return nullptr;
}

bool fail(std::string& error, std::string message) {
  error = std::move(message);
  return false;
}

std::string quoted(std::string_view key) {
  std::string text(1, '\'');
  text += excerpt(key);
  text += '\'';
  return text;
}

bool in_range(double value, Range range) {
  if (!std::isfinite(value)) return false;
  if (range == Range::positive) return value > 0.0;
  if (range == Range::non_negative) return value >= 0.0;
  return true;
}

const char* range_words(Range range) {
  if (range == Range::positive) return "a finite number greater than 0";
  if (range == Range::non_negative) return "a finite number, 0 or more";
  return "a finite number";
}

bool set_links(RopeParameters& parameters, const std::vector<double>& values, std::string& error) {
  const double n = values.size() == 1 ? values[0] : 0.0;
  if (values.size() != 1 || !(n >= 1.0 && n <= most_links) || n != std::floor(n))
    return fail(error, "key 'links' needs a whole number from 1 to " + std::to_string(most_links));
  parameters.links = static_cast<int>(n);
  return true;
}

}  // namespace

bool parse_number(std::string_view text, double& value) {
  const std::string copy(text);
  if (copy.empty() || std::isspace(static_cast<unsigned char>(copy[0]))) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtod(copy.c_str(), &end);
  return *end == '\0' && errno != ERANGE;
}

std::string excerpt(std::string_view text) {
  constexpr size_t longest = 80;
  if (text.size() <= longest) return std::string(text);
  return std::string(text.substr(0, longest - 3)) + "... (" + std::to_string(text.size()) +
         " characters)";
}

const std::vector<ParameterKey>& parameter_keys() {
  static const std::vector<ParameterKey> keys = [] {
    std::vector<ParameterKey> list;
    for (const KeySlot& slot : key_slots()) list.push_back(slot.key);
    return list;
  }();
  return keys;
}

bool is_parameter_key(std::string_view name) {
  return find_slot(name) != nullptr;
}

bool set_parameter(RopeParameters& parameters, std::string_view key,
                   const std::vector<double>& values, std::string& error) {
  const KeySlot* slot = find_slot(key);
  if (!slot) return fail(error, "unknown key " + quoted(key));
  if (!slot->scalar && !slot->pair) return set_links(parameters, values, error);
  const size_t most = slot->pair ? 2 : 1;
  if (values.empty() || values.size() > most)
    return fail(error, "key " + quoted(key) +
                           (slot->pair ? " needs one number or two (one per carriage)"
                                       : " needs one number"));
  for (double value : values)
    if (!in_range(value, slot->range))
      return fail(error, "key " + quoted(key) + " needs " + range_words(slot->range));
  if (slot->scalar) {
    parameters.*(slot->scalar) = values[0];
  } else {
    CarriagePair& pair = parameters.*(slot->pair);
    pair = {values[0], values.back()};
  }
  return true;
}

bool set_parameter(RopeParameters& parameters, std::string_view key, std::string_view text,
                   std::string& error) {
  if (!find_slot(key)) return fail(error, "unknown key " + quoted(key));
  std::vector<double> values;
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    const std::string_view part = text.substr(start, comma - start);
    double value = 0.0;
    if (!parse_number(part, value))
      return fail(error, "key " + quoted(key) + " needs a number, got " + quoted(text));
    values.push_back(value);
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return set_parameter(parameters, key, values, error);
}

double rod_inertia_about_end(double mass, double length) {
  const long double m = mass, l = length;
  return static_cast<double>(m * l * l / 3.0L);
}
