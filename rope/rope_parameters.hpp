// The rope's parameters: how many links, their size and mass, the joints' spring-dampers, the
// carriages and their couplings to the chain ends, gravity, a payload and the initial shape and
// motion. The defaults are the rope the window program shows. Each parameter has a key, the same
// in a model file, on the command line (--set KEY=VALUE) and in Python.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// One value per carriage: index 0 is carriage 1 (holds the root body's origin), index 1 is
// carriage 2 (holds the far end of the last link).
using CarriagePair = std::array<double, 2>;

// One value for every body (or joint, or coordinate), or one value each in chain order. Which
// count "each" means depends on the key and on the link count, so it is checked once every key
// is set (check_parameters).
struct ChainValues {
  std::vector<double> values;
  ChainValues(double value = 0.0) : values{value} {}  // NOLINT: a number means every entry
  double operator[](size_t k) const { return values.size() == 1 ? values[0] : values[k]; }
  bool operator==(const ChainValues&) const = default;
};

// How carriage 2's spring-damper holds the far end of the last link.
enum class FarEndCoupling {
  design,  // stretch measured at the far end, force applied at the link's origin, no moment
  point,   // the spring-damper acts at the far end itself, with its moment
};

// How the rope starts: straight along its initial angles, or at rest in its static equilibrium
// (found from that shape, with the carriages at their start positions).
enum class InitialState {
  straight,
  rest,
};

struct RopeParameters {
  int links = 24;                      // revolute links after the free base
  ChainValues link_length = 0.04;      // m, per body, base first; each body is a uniform rod
  ChainValues link_mass = 0.04;        // kg, per body, base first
  ChainValues joint_stiffness = 5.5;   // N m/rad, per revolute joint (links values)
  ChainValues joint_damping = 0.01;    // N m s/rad
  ChainValues joint_rest_angle = 0.0;  // rad, angle at which the joint spring is relaxed
  // A uniform rope given by its physics; each is optional, and each given one fixes a per-body
  // value for every link count (links only sets the discretisation). With l the one body length
  // (rope_length / (links + 1), else link_length as one number): link_mass = mass_per_metre l,
  // joint_stiffness = bending_stiffness / l, joint_damping = bending_damping / l. set_parameter
  // keeps the per-body values derived whenever links or one of these changes.
  std::optional<double> rope_length;        // m, the whole chain, base included
  std::optional<double> mass_per_metre;     // kg/m
  std::optional<double> bending_stiffness;  // N m^2, EI
  std::optional<double> bending_damping;    // N m^2 s
  // Which of link_length, link_mass, joint_stiffness and joint_damping (in that order) were given
  // by key: the physics key that derives one may not be given with it.
  std::array<bool, 4> per_body_given{};
  double payload_mass = 0.0;                    // kg, a point mass at the far end of the last link
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
  FarEndCoupling far_end_coupling = FarEndCoupling::design;
  // Initial shape and motion: the joint angles relative to the parent (links values), the base's
  // x, y (m) and angle (rad), and the rate of every coordinate (links + 3 values). The momenta
  // follow from them in the set-up passes.
  ChainValues initial_angles = 0.0;
  std::array<double, 3> initial_base = {0.0, 0.0, 0.0};
  ChainValues initial_rates = 0.0;
  InitialState initial_state = InitialState::straight;
  // The world around the rope (docs/world.md). The ground is a line through (0, ground_height)
  // rising at ground_slope; absent, there is none. Ground and pegs share one contact law per metre
  // of rope in contact. The fluid fills everything below fluid_surface (absent: everywhere);
  // density 0 means none.
  std::optional<double> ground_height;      // m
  double ground_slope = 0.0;                // rad
  double contact_stiffness = 1.0e5;         // N/m per m of rope in contact
  double contact_damping = 300.0;           // N s/m per m
  double friction = 0.0;                    // Coulomb's mu
  double friction_speed = 0.01;             // m/s, below which friction is viscous
  std::vector<double> pegs;                 // x, y, radius (m) of each peg, in a row
  double fluid_density = 0.0;               // kg/m^3
  std::optional<double> fluid_surface;      // m
  double rope_diameter = 0.01;              // m
  double drag_normal = 1.2;                 // C_n, across the rope
  double drag_tangential = 0.01;            // C_t, along it, on the perimeter
  std::array<double, 2> flow = {0.0, 0.0};  // m/s, the fluid's uniform velocity
  double added_mass = 0.0;                  // only 0: see docs/world.md
};

// Each body's length (link_length, or rope_length shared by the bodies), m. Shorter bodies do not
// run under any springs and masses scaled to them: a nanometre rope stalls at its first step and
// a picometre one diverges, while a micrometre one runs. Far longer ones bring the inertias
// (m L^2 / 3) and spring energies near the largest double.
constexpr double shortest_body = 1e-6;
constexpr double longest_body = 1e100;

// Largest link count accepted: a million links is already a few gigabytes of state.
constexpr int most_links = 1000000;

// The keys, in the order of the shipped model file.
// What a key takes: a count, one number, one or two (per carriage), three, one or one per body,
// joint or coordinate, a word, two numbers (x, y), or any number of triples.
enum class ValueShape {
  count,
  single,
  pair,
  triple,
  per_body,
  per_joint,
  per_coordinate,
  word,
  vector,
  triples
};

struct ParameterKey {
  const char* name;
  const char* unit;
  const char* meaning;
  ValueShape shape;
};
const std::vector<ParameterKey>& parameter_keys();
bool is_parameter_key(std::string_view name);
// The shape of a key; null for an unknown key.
const ParameterKey* find_parameter_key(std::string_view name);

// One value as text, as --set takes it: a number, or for a per-carriage key either one number
// (both carriages) or two separated by a comma; triples (pegs) are separated by semicolons,
// "x,y,r;x,y,r". On failure returns false with a reason naming
// the key in `error`.
bool set_parameter(RopeParameters& parameters, std::string_view key, std::string_view text,
                   std::string& error);
// The same from numbers already parsed: one value, or as many as the key's shape allows. A word
// key (far_end_coupling, initial_state) takes text only.
bool set_parameter(RopeParameters& parameters, std::string_view key,
                   const std::vector<double>& values, std::string& error);

// True when the rope has a ground, pegs or a fluid around it.
bool has_world(const RopeParameters& parameters);

// The words a word key takes, for messages: "\"design\" or \"point\"". Empty for other keys.
std::string word_choices(std::string_view key);

// True for rope_length, mass_per_metre, bending_stiffness and bending_damping: keys that derive
// per-body values. Checkpoints store the values they derived instead.
bool is_physics_key(std::string_view name);
// The per-body key a physics key derives (link_length for rope_length, and so on); null for any
// other key.
const char* derived_key(std::string_view physics);

// True for a key that may be absent (ground_height, fluid_surface, the physics keys): absent, it
// has no numbers, and checkpoints and Python leave it out.
bool is_optional_key(std::string_view name);

// The value of a key: its numbers (one for a uniform chain value; none for a physics key or an
// optional key not given), or for a word key its word.
struct ParameterValue {
  std::vector<double> numbers;
  std::string word;
};
ParameterValue get_parameter(const RopeParameters& parameters, std::string_view key);

// Checks what only all keys together decide: every chain value has one entry or one per body
// (links + 1, base first), joint (links) or coordinate (links + 3); a physics key other than
// rope_length has one body length to work with; the derived per-body values are in range and
// still those the physics keys give. False with a reason naming the key.
bool check_parameters(const RopeParameters& parameters, std::string& error);

// Entries of a chain value for this link count, for messages and for Python.
size_t expected_count(const RopeParameters& parameters, ValueShape shape);

// The one rule for numbers given as text, on the command line and in --set: the whole text is a
// number as strtod reads it (no leading space, nothing after it, no overflow; a number below the
// smallest normal double is read as strtod rounds it). Whether infinity or NaN is acceptable is the
// caller's range check.
bool parse_number(std::string_view text, double& value);

// Input echoed in a message is cut to about 80 characters, so a huge key or value cannot flood
// the terminal.
std::string excerpt(std::string_view text);

// Rod inertia about its end, m L^2 / 3, correctly rounded (a product of doubles would round twice).
double rod_inertia_about_end(double mass, double length);
