#include "rope/rope_parameters.hpp"

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "forces/ground_contact.hpp"
#include "forces/peg_contact.hpp"
#include "rope/state_layout.hpp"

namespace {

enum class Range { positive, non_negative, finite, zero, length };

using P = RopeParameters;
using Numbers = std::vector<double>;

// A field as numbers and back; the shape check has already fixed how many.
Numbers as_numbers(double value) {
  return {value};
}
Numbers as_numbers(const CarriagePair& pair) {
  return {pair[0], pair[1]};
}
Numbers as_numbers(const std::array<double, 3>& triple) {
  return {triple[0], triple[1], triple[2]};
}
Numbers as_numbers(const ChainValues& chain) {
  return chain.values;
}
Numbers as_numbers(const std::vector<double>& values) {
  return values;
}
Numbers as_numbers(const std::optional<double>& value) {
  return value ? Numbers{*value} : Numbers{};
}
void from_numbers(double& value, const Numbers& numbers) {
  value = numbers[0];
}
void from_numbers(CarriagePair& pair, const Numbers& numbers) {
  pair = {numbers[0], numbers.back()};
}
void from_numbers(std::array<double, 3>& triple, const Numbers& numbers) {
  triple = {numbers[0], numbers[1], numbers[2]};
}
void from_numbers(ChainValues& chain, const Numbers& numbers) {
  chain.values = numbers;
}
void from_numbers(std::vector<double>& values, const Numbers& numbers) {
  values = numbers;
}
void from_numbers(std::optional<double>& value, const Numbers& numbers) {
  value = numbers[0];
}

template <auto field>
Numbers get_field(const P& parameters) {
  return as_numbers(parameters.*field);
}
template <auto field>
void put_field(P& parameters, const Numbers& numbers) {
  from_numbers(parameters.*field, numbers);
}

// How a key reaches its field: links is a count and far_end_coupling a word (no accessors); the
// rest are numbers.
struct KeySlot {
  ParameterKey key;
  Range range;
  Numbers (*get)(const P&);
  void (*put)(P&, const Numbers&);
};

template <auto field>
KeySlot slot(const char* name, const char* unit, const char* meaning, ValueShape shape,
             Range range) {
  return {{name, unit, meaning, shape}, range, get_field<field>, put_field<field>};
}

const std::vector<KeySlot>& key_slots() {
  using S = ValueShape;
  static const std::vector<KeySlot> slots = {
      {{"links", "", "revolute links after the free base (1 or more)", S::count},
       Range::positive,
       nullptr,
       nullptr},
      slot<&P::link_length>("link_length", "m", "length of each body, base first", S::per_body,
                            Range::length),
      slot<&P::link_mass>("link_mass", "kg", "mass of each body (uniform rod), base first",
                          S::per_body, Range::positive),
      slot<&P::joint_stiffness>("joint_stiffness", "N m/rad",
                                "torsional spring of each revolute joint", S::per_joint,
                                Range::non_negative),
      slot<&P::joint_damping>("joint_damping", "N m s/rad",
                              "torsional damper of each revolute joint", S::per_joint,
                              Range::non_negative),
      slot<&P::joint_rest_angle>("joint_rest_angle", "rad",
                                 "joint angle at which the spring is relaxed", S::per_joint,
                                 Range::finite),
      slot<&P::rope_length>("rope_length", "m",
                            "length of the whole rope, base included; sets every body's length "
                            "to rope_length / (links + 1)",
                            S::single, Range::positive),
      slot<&P::mass_per_metre>("mass_per_metre", "kg/m",
                               "mass per metre of the rope; sets every body's mass to this times "
                               "its length",
                               S::single, Range::positive),
      slot<&P::bending_stiffness>("bending_stiffness", "N m^2",
                                  "bending stiffness EI of the rope; sets every joint's spring to "
                                  "EI / body length",
                                  S::single, Range::non_negative),
      slot<&P::bending_damping>("bending_damping", "N m^2 s",
                                "bending damping of the rope; sets every joint's damper to this / "
                                "body length",
                                S::single, Range::non_negative),
      slot<&P::payload_mass>("payload_mass", "kg", "point mass at the far end of the last link",
                             S::single, Range::non_negative),
      slot<&P::gravity>("gravity", "m/s^2", "acceleration of gravity along -y", S::single,
                        Range::finite),
      slot<&P::carriage_mass>("carriage_mass", "kg", "mass of each carriage", S::pair,
                              Range::positive),
      slot<&P::drive_stiffness>("drive_stiffness", "N/m", "spring from each carriage to its target",
                                S::pair, Range::non_negative),
      slot<&P::drive_damping>("drive_damping", "N s/m", "damper on each carriage's velocity",
                              S::pair, Range::non_negative),
      slot<&P::end_stiffness_x>("end_stiffness_x", "N/m",
                                "spring along x from each chain end to its carriage", S::pair,
                                Range::non_negative),
      slot<&P::end_damping_x>("end_damping_x", "N s/m", "damper along x of each chain end", S::pair,
                              Range::non_negative),
      slot<&P::end_stiffness_y>("end_stiffness_y", "N/m",
                                "spring pulling each chain end towards y = 0", S::pair,
                                Range::non_negative),
      slot<&P::end_damping_y>("end_damping_y", "N s/m", "damper along y of each chain end", S::pair,
                              Range::non_negative),
      slot<&P::end_stiffness_angle>("end_stiffness_angle", "N m/rad",
                                    "rotational spring of each end body towards angle 0", S::pair,
                                    Range::non_negative),
      slot<&P::end_damping_angle>("end_damping_angle", "N m s/rad",
                                  "rotational damper of each end body", S::pair,
                                  Range::non_negative),
      slot<&P::carriage_start>("carriage_start", "m", "initial position of each carriage", S::pair,
                               Range::finite),
      slot<&P::carriage_target>("carriage_target", "m", "initial drive target of each carriage",
                                S::pair, Range::finite),
      {{"far_end_coupling", "",
        "how carriage 2 holds the far end: \"design\" (force at the last link's origin, no "
        "moment) or \"point\" (force at the far end itself)",
        S::word},
       Range::finite,
       nullptr,
       nullptr},
      slot<&P::initial_angles>("initial_angles", "rad",
                               "initial angle of each revolute joint, relative to its parent",
                               S::per_joint, Range::finite),
      slot<&P::initial_base>("initial_base", "m, m, rad", "initial x, y and angle of the base",
                             S::triple, Range::finite),
      slot<&P::initial_rates>("initial_rates", "m/s, rad/s",
                              "initial rate of each coordinate (base x, y, angle, then the joints)",
                              S::per_coordinate, Range::finite),
      {{"initial_state", "",
        "how the rope starts: \"straight\" (along its initial angles) or \"rest\" (in its "
        "static equilibrium, the carriages at their start)",
        S::word},
       Range::finite,
       nullptr,
       nullptr},
      slot<&P::ground_height>("ground_height", "m",
                              "height of the ground line at x = 0; absent: no ground", S::single,
                              Range::finite),
      slot<&P::ground_slope>("ground_slope", "rad", "slope of the ground line, rising towards +x",
                             S::single, Range::finite),
      slot<&P::contact_stiffness>("contact_stiffness", "N/m per m",
                                  "normal spring of the ground and pegs per metre of rope in "
                                  "contact",
                                  S::single, Range::non_negative),
      slot<&P::contact_damping>("contact_damping", "N s/m per m",
                                "normal damper of the ground and pegs per metre of rope in contact",
                                S::single, Range::non_negative),
      slot<&P::friction>("friction", "", "Coulomb friction coefficient mu of the ground and pegs",
                         S::single, Range::non_negative),
      slot<&P::friction_speed>("friction_speed", "m/s",
                               "slip speed below which friction is viscous (regularised Coulomb)",
                               S::single, Range::positive),
      slot<&P::pegs>("pegs", "m", "round fixed obstacles, [x, y, radius] each", S::triples,
                     Range::finite),
      slot<&P::fluid_density>("fluid_density", "kg/m^3",
                              "density of the fluid around the rope; 0: none", S::single,
                              Range::non_negative),
      slot<&P::fluid_surface>("fluid_surface", "m",
                              "height of the fluid's surface; absent: fluid everywhere", S::single,
                              Range::finite),
      slot<&P::rope_diameter>("rope_diameter", "m",
                              "diameter of the rope, for buoyancy and drag", S::single,
                              Range::non_negative),
      slot<&P::drag_normal>("drag_normal", "",
                            "quadratic drag coefficient across the rope (on the diameter)",
                            S::single, Range::non_negative),
      slot<&P::drag_tangential>("drag_tangential", "",
                                "quadratic drag coefficient along the rope (on the perimeter)",
                                S::single, Range::non_negative),
      slot<&P::flow>("flow", "m/s", "uniform velocity (x, y) of the fluid: a current or a wind",
                     S::vector, Range::finite),
      slot<&P::added_mass>("added_mass", "",
                           "added mass coefficient of the fluid; only 0 (not supported)",
                           S::single, Range::zero),
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
  if (range == Range::zero) return value == 0.0;
  if (range == Range::length) return value >= shortest_body && value <= longest_body;
  return true;
}

const char* range_words(Range range) {
  if (range == Range::positive) return "a finite number greater than 0";
  if (range == Range::non_negative) return "a finite number, 0 or more";
  if (range == Range::zero)
    return "0: added mass is not supported (the bodies' inertia keeps the rigid-body form)";
  if (range == Range::length) return "a number of metres from 1e-6 to 1e100";
  return "a finite number";
}

void derive_from_physics(P& p);

bool set_links(RopeParameters& parameters, const std::vector<double>& values, std::string& error) {
  const double n = values.size() == 1 ? values[0] : 0.0;
  if (values.size() != 1 || !(n >= 1.0 && n <= most_links) || n != std::floor(n))
    return fail(error, "key 'links' needs a whole number from 1 to " + std::to_string(most_links));
  parameters.links = static_cast<int>(n);
  derive_from_physics(parameters);
  return true;
}

// A key that takes one of two words, stored as an enumeration whose values count from 0.
struct WordKey {
  std::string_view name;
  std::array<const char*, 2> words;
  int (*get)(const P&);
  void (*put)(P&, int);
};

const WordKey word_keys[] = {
    {"far_end_coupling",
     {"design", "point"},
     [](const P& p) { return static_cast<int>(p.far_end_coupling); },
     [](P& p, int k) { p.far_end_coupling = static_cast<FarEndCoupling>(k); }},
    {"initial_state",
     {"straight", "rest"},
     [](const P& p) { return static_cast<int>(p.initial_state); },
     [](P& p, int k) { p.initial_state = static_cast<InitialState>(k); }},
};

const WordKey* find_word_key(std::string_view name) {
  for (const WordKey& key : word_keys)
    if (key.name == name) return &key;
  return nullptr;
}

bool set_word(RopeParameters& parameters, std::string_view key, std::string_view text,
              std::string& error) {
  const WordKey& word_key = *find_word_key(key);
  for (int k = 0; k < 2; ++k)
    if (text == word_key.words[static_cast<size_t>(k)]) {
      word_key.put(parameters, k);
      return true;
    }
  return fail(error, "key " + quoted(key) + " needs " + word_choices(key) + ", got " + quoted(text));
}

bool is_chain(ValueShape shape) {
  return shape == ValueShape::per_body || shape == ValueShape::per_joint ||
         shape == ValueShape::per_coordinate;
}

const char* count_words(ValueShape shape) {
  if (shape == ValueShape::pair) return " needs one number or two (one per carriage)";
  if (shape == ValueShape::triple) return " needs three numbers (x, y, angle)";
  if (shape == ValueShape::vector) return " needs two numbers (x, y)";
  if (shape == ValueShape::triples) return " needs triples of numbers (x, y, radius)";
  if (is_chain(shape)) return " needs one number or an array of numbers";
  return " needs one number";
}

bool count_fits(ValueShape shape, size_t count) {
  if (shape == ValueShape::pair) return count == 1 || count == 2;
  if (shape == ValueShape::triple) return count == 3;
  if (shape == ValueShape::vector) return count == 2;
  if (shape == ValueShape::triples) return count % 3 == 0;
  if (is_chain(shape)) return count >= 1;
  return count == 1;
}

// A peg's radius is greater than 0; its centre is anywhere.
bool check_pegs(const std::vector<double>& values, std::string& error) {
  for (size_t i = 0; i < values.size(); ++i) {
    const bool radius = i % 3 == 2;
    if (in_range(values[i], radius ? Range::positive : Range::finite)) continue;
    return fail(error, "key 'pegs' needs " +
                           std::string(radius ? "a radius greater than 0" : "a finite x and y") +
                           " at peg " + std::to_string(i / 3));
  }
  return true;
}

// One value keeps the message of a plain number; in an array the entry's index is named too.
bool check_entries(const KeySlot& slot, const std::vector<double>& values, std::string& error) {
  if (slot.key.shape == ValueShape::triples) return check_pegs(values, error);
  for (size_t i = 0; i < values.size(); ++i) {
    if (in_range(values[i], slot.range)) continue;
    std::string message = "key " + quoted(slot.key.name) + " needs " + range_words(slot.range);
    if (values.size() > 1) message += " at index " + std::to_string(i);
    return fail(error, message);
  }
  return true;
}

const char* chain_words(ValueShape shape) {
  if (shape == ValueShape::per_body) return "one per body, base first";
  if (shape == ValueShape::per_joint) return "one per revolute joint";
  return "one per coordinate";
}

// --- A rope given by its physics ----------------------------------------------------------------

// Each physics key and the per-body value it derives, in the order of per_body_given.
struct Derivation {
  const char* physics;
  const char* per_body;
  std::optional<double> P::*given;
  ChainValues P::*field;
};

constexpr Derivation derivations[] = {
    {"rope_length", "link_length", &P::rope_length, &P::link_length},
    {"mass_per_metre", "link_mass", &P::mass_per_metre, &P::link_mass},
    {"bending_stiffness", "joint_stiffness", &P::bending_stiffness, &P::joint_stiffness},
    {"bending_damping", "joint_damping", &P::bending_damping, &P::joint_damping},
};

// Every body has one length: the rope's shared by links + 1 bodies, or link_length as one number.
bool uniform(const P& p) {
  return p.rope_length || p.link_length.values.size() == 1;
}

double body_length(const P& p) {
  if (p.rope_length) return *p.rope_length / static_cast<double>(p.links + 1);
  return p.link_length.values[0];
}

// A rod of length l cut from the rope weighs (mass per metre) l. Bent to curvature κ the rope
// stores EI κ²/2 per metre; a joint turning by θ bends the length l between two rods' middles to
// κ = θ / l, storing EI θ² / (2 l): a torsional spring of EI / l. The damping likewise.
double derived_value(const P& p, size_t i, double l) {
  const double given = *(p.*derivations[i].given);
  if (i == 0) return l;
  return i == 1 ? given * l : given / l;
}

void derive_from_physics(P& p) {
  if (!uniform(p)) return;  // check_parameters refuses a physics key without one body length
  const double l = body_length(p);
  for (size_t i = 0; i < std::size(derivations); ++i)
    if (p.*derivations[i].given) p.*derivations[i].field = derived_value(p, i, l);
}

// A physics key and the per-body key it derives describe the same thing twice.
bool refuse_both(const P& p, std::string_view key, std::string& error) {
  for (size_t i = 0; i < std::size(derivations); ++i) {
    const Derivation& d = derivations[i];
    const bool clash =
        (key == d.physics && p.per_body_given[i]) || (key == d.per_body && p.*d.given);
    if (!clash) continue;
    const char* other = key == d.physics ? d.per_body : d.physics;
    return fail(error, "key " + quoted(key) + " cannot be given with " + quoted(other) + ": " +
                           quoted(d.physics) + " derives " + quoted(d.per_body) +
                           "; give one of them");
  }
  return true;
}

void note_given(P& p, std::string_view key) {
  for (size_t i = 0; i < std::size(derivations); ++i)
    if (key == derivations[i].per_body) p.per_body_given[i] = true;
}

bool check_derived(const P& p, std::string& error) {
  for (size_t i = 0; i < std::size(derivations); ++i) {
    const Derivation& d = derivations[i];
    if (!(p.*d.given)) continue;
    if (!uniform(p))
      return fail(error, "key " + quoted(d.physics) +
                             " needs every body to have one length: give rope_length, or "
                             "link_length as one number");
    // Changed behind set_parameter's back (links set directly, say): the rope would not be the
    // one the keys describe.
    if (p.*d.field != ChainValues(derived_value(p, i, body_length(p))))
      return fail(error, "key " + quoted(d.per_body) + " is not what " + quoted(d.physics) +
                             " derives for " + std::to_string(p.links) +
                             " links; set links and the physics keys with set_parameter");
    const KeySlot* slot = find_slot(d.per_body);
    if (!check_entries(*slot, (p.*d.field).values, error))
      return fail(error, error + ", derived from " + quoted(d.physics));
  }
  return true;
}

// Numbers separated by commas, appended to `values`.
bool parse_numbers(std::string_view text, std::vector<double>& values) {
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    double value = 0.0;
    if (!parse_number(text.substr(start, comma - start), value)) return false;
    values.push_back(value);
    if (comma == std::string_view::npos) return true;
    start = comma + 1;
  }
}

// "x,y,r;x,y,r": groups of three numbers separated by semicolons.
bool parse_triples(std::string_view text, std::vector<double>& values) {
  size_t start = 0;
  while (true) {
    const size_t semicolon = text.find(';', start);
    const size_t before = values.size();
    if (!parse_numbers(text.substr(start, semicolon - start), values)) return false;
    if (values.size() - before != 3) return false;
    if (semicolon == std::string_view::npos) return true;
    start = semicolon + 1;
  }
}

// --- The rope's start against the ground and the pegs -------------------------------------------

// A start on a surface, to rounding, is not inside it.
constexpr double touching_depth = 1e-9;  // m

// Each body of the initial shape, base first, as the segment from its joint point to its far end.
template <typename Visit>
void each_initial_segment(const P& p, Visit&& visit) {
  Point from = {p.initial_base[0], p.initial_base[1]};
  double angle = p.initial_base[2];
  for (size_t k = 0; k <= static_cast<size_t>(p.links); ++k) {
    if (k > 0) angle += p.initial_angles[k - 1];
    const Point to = {from[0] + p.link_length[k] * std::cos(angle),
                      from[1] + p.link_length[k] * std::sin(angle)};
    visit(k, from, to);
    from = to;
  }
}

std::string metres(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3g m", value);
  return text;
}

bool check_start_above_ground(const P& p, std::string& error) {
  if (!p.ground_height) return true;
  GroundContact ground;
  ground.height = *p.ground_height;
  ground.slope = p.ground_slope;
  bool inside = false;
  each_initial_segment(p, [&](size_t k, const Point& from, const Point& to) {
    const double depth =
        -std::fmin(height_above_ground(ground, from), height_above_ground(ground, to));
    if (inside || !(depth > touching_depth)) return;
    inside = true;
    error = "key 'ground_height' puts the rope's start inside the ground: body " +
            std::to_string(k) + " lies " + metres(depth) + " below it";
  });
  return !inside;
}

bool check_start_clear_of_pegs(const P& p, std::string& error) {
  bool inside = false;
  each_initial_segment(p, [&](size_t k, const Point& from, const Point& to) {
    for (size_t i = 0; i + 2 < p.pegs.size() && !inside; i += 3) {
      const double depth =
          segment_depth_in_disc(from, to, {p.pegs[i], p.pegs[i + 1]}, p.pegs[i + 2]);
      if (!(depth > touching_depth)) continue;
      inside = true;
      error = "key 'pegs' puts peg " + std::to_string(i / 3) + " over the rope's start: body " +
              std::to_string(k) + " reaches " + metres(depth) + " into it";
    }
  });
  return !inside;
}

}  // namespace

size_t expected_count(const RopeParameters& parameters, ValueShape shape) {
  const size_t links = static_cast<size_t>(parameters.links);
  if (shape == ValueShape::per_body) return links + 1;
  if (shape == ValueShape::per_joint) return links;
  if (shape == ValueShape::per_coordinate)
    return static_cast<size_t>(state_layout(parameters.links).coordinates);
  return 1;
}

bool check_parameters(const RopeParameters& parameters, std::string& error) {
  for (const KeySlot& slot : key_slots()) {
    if (!is_chain(slot.key.shape)) continue;
    const size_t count = slot.get(parameters).size();
    const size_t expected = expected_count(parameters, slot.key.shape);
    if (count == 1 || count == expected) continue;
    return fail(error, "key " + quoted(slot.key.name) + " has " + std::to_string(count) +
                           " values; it needs one, or " + std::to_string(expected) + " (" +
                           chain_words(slot.key.shape) + ", for " +
                           std::to_string(parameters.links) + " links)");
  }
  // A rope that starts at rest is pushed out of the ground and the pegs by the search for its rest.
  if (parameters.initial_state == InitialState::rest) return check_derived(parameters, error);
  return check_derived(parameters, error) && check_start_above_ground(parameters, error) &&
         check_start_clear_of_pegs(parameters, error);
}

bool is_optional_key(std::string_view name) {
  return is_physics_key(name) || name == "ground_height" || name == "fluid_surface";
}

bool is_physics_key(std::string_view name) {
  return std::any_of(std::begin(derivations), std::end(derivations),
                     [&](const Derivation& d) { return name == d.physics; });
}

const char* derived_key(std::string_view physics) {
  for (const Derivation& d : derivations)
    if (physics == d.physics) return d.per_body;
  return nullptr;
}

ParameterValue get_parameter(const RopeParameters& parameters, std::string_view key) {
  const KeySlot* slot = find_slot(key);
  if (!slot) return {};
  if (slot->key.shape == ValueShape::count) return {{static_cast<double>(parameters.links)}, ""};
  if (slot->key.shape == ValueShape::word) {
    const WordKey& word_key = *find_word_key(key);
    return {{}, word_key.words[static_cast<size_t>(word_key.get(parameters))]};
  }
  return {slot->get(parameters), ""};
}

bool parse_number(std::string_view text, double& value) {
  const std::string copy(text);
  if (copy.empty() || std::isspace(static_cast<unsigned char>(copy[0]))) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtod(copy.c_str(), &end);
  // Too small for a normal double is still a number (tiny or 0), as a model file reads it; whether
  // it is in range is the caller's check. Too large is not.
  const bool overflow = errno == ERANGE && std::fabs(value) > DBL_MIN;
  return *end == '\0' && !overflow;
}

std::string excerpt(std::string_view text) {
  constexpr size_t longest = 80;
  if (text.size() <= longest) return std::string(text);
  return std::string(text.substr(0, longest - 3)) + "... (" + std::to_string(text.size()) +
         " characters)";
}

bool has_world(const RopeParameters& parameters) {
  return parameters.ground_height.has_value() || !parameters.pegs.empty() ||
         parameters.fluid_density > 0.0;
}

std::string word_choices(std::string_view key) {
  const WordKey* word_key = find_word_key(key);
  if (!word_key) return "";
  return std::string("\"") + word_key->words[0] + "\" or \"" + word_key->words[1] + "\"";
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

const ParameterKey* find_parameter_key(std::string_view name) {
  const KeySlot* slot = find_slot(name);
  return slot ? &slot->key : nullptr;
}

bool set_parameter(RopeParameters& parameters, std::string_view key,
                   const std::vector<double>& values, std::string& error) {
  const KeySlot* slot = find_slot(key);
  if (!slot) return fail(error, "unknown key " + quoted(key));
  const ValueShape shape = slot->key.shape;
  if (shape == ValueShape::count) return set_links(parameters, values, error);
  if (shape == ValueShape::word)
    return fail(error, "key " + quoted(key) + " needs " + word_choices(key) + ", not a number");
  if (!count_fits(shape, values.size()))
    return fail(error, "key " + quoted(key) + count_words(shape));
  if (!check_entries(*slot, values, error)) return false;
  if (!refuse_both(parameters, key, error)) return false;
  slot->put(parameters, values);
  note_given(parameters, key);
  derive_from_physics(parameters);
  return true;
}

bool set_parameter(RopeParameters& parameters, std::string_view key, std::string_view text,
                   std::string& error) {
  const KeySlot* slot = find_slot(key);
  if (!slot) return fail(error, "unknown key " + quoted(key));
  if (slot->key.shape == ValueShape::word) return set_word(parameters, key, text, error);
  std::vector<double> values;
  if (slot->key.shape == ValueShape::triples) {
    if (!parse_triples(text, values))
      return fail(error, "key " + quoted(key) + " needs triples x,y,radius separated by ';', got " +
                             quoted(text));
  } else if (!parse_numbers(text, values)) {
    return fail(error, "key " + quoted(key) + " needs a number, got " + quoted(text));
  }
  return set_parameter(parameters, key, values, error);
}

double rod_inertia_about_end(double mass, double length) {
  const long double m = mass, l = length;
  return static_cast<double>(m * l * l / 3.0L);
}
