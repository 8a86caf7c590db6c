#include "state/checkpoint.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>

#include "rope/model_file.hpp"
#include "rope/state_layout.hpp"
#include "stepping/script.hpp"
#include "stepping/measures.hpp"
#include "rope/toml_parameters.hpp"

namespace {

// %.17g reads back to the same double; a float without a point or exponent would read as a TOML
// integer and lose the sign of -0.0, so it gets ".0".
std::string number_text(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  std::string number(text);
  if (number.find_first_of(".e") == std::string::npos) number += ".0";
  return number;
}

std::string array_text(const std::vector<double>& values) {
  constexpr size_t per_line = 4;
  if (values.size() <= per_line) {
    std::string text = "[";
    for (size_t i = 0; i < values.size(); ++i) text += (i ? ", " : "") + number_text(values[i]);
    return text + "]";
  }
  std::string text = "[";
  for (size_t i = 0; i < values.size(); ++i)
    text += (i % per_line == 0 ? "\n  " : " ") + number_text(values[i]) + ",";
  return text + "\n]";
}

std::string values_text(const std::vector<double>& values) {
  return values.size() == 1 ? number_text(values[0]) : array_text(values);
}

// [[x, y, r], ...], one triple a line.
std::string triples_text(const std::vector<double>& values) {
  if (values.empty()) return "[]";
  std::string text = "[";
  for (size_t i = 0; i + 2 < values.size(); i += 3)
    text += "\n  " + array_text({values[i], values[i + 1], values[i + 2]}) + ",";
  return text + "\n]";
}

// The physics keys are left out: the per-body values they derived are written instead, which
// build the same rope, exactly, for any reader. An optional key not given is left out too.
std::string parameters_text(const RopeParameters& parameters) {
  std::string text = "[parameters]\n";
  for (const ParameterKey& key : parameter_keys()) {
    if (is_physics_key(key.name)) continue;
    const ParameterValue value = get_parameter(parameters, key.name);
    if (is_optional_key(key.name) && value.numbers.empty()) continue;
    text += std::string(key.name) + " = ";
    if (key.shape == ValueShape::word)
      text += "\"" + value.word + "\"";
    else if (key.shape == ValueShape::count)
      text += std::to_string(parameters.links);
    else if (key.shape == ValueShape::triples)
      text += triples_text(value.numbers);
    else
      text += values_text(value.numbers);
    text += "\n";
  }
  return text;
}

// --- Reading ------------------------------------------------------------------------------------

bool fail(std::string& error, std::string message) {
  error = std::move(message);
  return false;
}

bool finite_numbers(const toml::node& node, std::vector<double>& values) {
  const toml::array* array = node.as_array();
  if (!array) return false;
  for (const toml::node& element : *array) {
    if (!element.is_number()) return false;
    values.push_back(*element.value<double>());
    if (!std::isfinite(values.back())) return false;
  }
  return true;
}

bool finite_number(const toml::node& node, double& value) {
  if (!node.is_number()) return false;
  value = *node.value<double>();
  return std::isfinite(value);
}

bool read_format(const toml::node& node, Checkpoint&) {
  return node.is_string() && *node.value<std::string>() == checkpoint_format;
}
// A run may go on for as long as a scripted run may last, and no further.
bool read_time(const toml::node& node, Checkpoint& c) {
  return finite_number(node, c.time) && duration_in_range(c.time);
}
bool read_step_size(const toml::node& node, Checkpoint& c) {
  return finite_number(node, c.step_size) && c.step_size >= 0.0;
}
bool read_frame_count(const toml::node& node, Checkpoint& c) {
  const auto count = node.value_exact<int64_t>();
  if (!count || *count < 0 || *count > largest_frame_count) return false;
  c.frame_count = *count;
  return true;
}
bool read_targets(const toml::node& node, Checkpoint& c) {
  std::vector<double> values;
  if (!finite_numbers(node, values) || values.size() != 2) return false;
  c.targets = {values[0], values[1]};
  return true;
}
bool read_state(const toml::node& node, Checkpoint& c) {
  c.state.clear();
  return finite_numbers(node, c.state);
}

bool read_energy_dissipated(const toml::node& node, Checkpoint& c) {
  return finite_number(node, c.energy_dissipated);
}

bool read_integrator(const toml::node& node, Checkpoint& c) {
  const IntegrationMethod* method =
      node.is_string() ? find_method(*node.value<std::string>()) : nullptr;
  if (method) c.settings.method = method;
  return method != nullptr;
}
bool read_tolerances(const toml::node& node, Checkpoint& c) {
  std::vector<double> values;
  std::string unused;
  if (!finite_numbers(node, values) || values.size() != 2 ||
      !check_tolerances(values[0], values[1], unused))
    return false;
  c.settings.absolute_tolerance = values[0];
  c.settings.relative_tolerance = values[1];
  return true;
}

// A method's record: one inline table of words, whole numbers and reals.
bool read_saved_value(const std::string& name, const toml::node& node, SavedValues& values) {
  SavedValue value{.name = name};
  if (const auto word = node.value_exact<std::string>()) {
    value.kind = SavedValue::Kind::word;
    value.word = *word;
  } else if (const auto whole = node.value_exact<int64_t>()) {
    value.kind = SavedValue::Kind::whole;
    value.whole = *whole;
    value.real = static_cast<double>(*whole);
  } else if (const auto real = node.value_exact<double>()) {
    value.real = *real;
  } else {
    return false;
  }
  values.push_back(std::move(value));
  return true;
}

bool read_method_values(const IntegrationMethod& method, const toml::node& node, Checkpoint& c,
                        std::string& needs) {
  const toml::table* table = node.as_table();
  bool readable = table != nullptr;
  SavedValues read;
  if (table)
    for (const auto& [key, value] : *table)
      readable = readable && read_saved_value(std::string(key.str()), value, read);
  c.method_values.clear();
  const bool made = method.read_saved(read, c.method_values, needs);
  if (!readable || !made) return false;
  c.saved_for = &method;
  return true;
}

std::string saved_value_text(const SavedValue& value) {
  if (value.kind == SavedValue::Kind::word) return "\"" + value.word + "\"";
  if (value.kind == SavedValue::Kind::whole) return std::to_string(value.whole);
  return number_text(value.real);
}

std::string method_values_text(const IntegrationMethod& method, const SavedValues& values) {
  std::string text = std::string(method.name) + " = {";
  for (size_t i = 0; i < values.size(); ++i)
    text += (i ? ", " : " ") + values[i].name + " = " + saved_value_text(values[i]);
  return text + " }\n";
}

// The run's keys, each with what it needs. One more block (a key or a table) is one more row.
struct RunKey {
  const char* name;
  bool (*read)(const toml::node&, Checkpoint&);
  const char* needs;
  bool optional = false;  // absent: the default
};

constexpr RunKey run_keys[] = {
    {"format", read_format, "the text \"rope checkpoint 1\""},
    {"time", read_time, "a number of seconds from 0 to 1e9"},
    {"step_size", read_step_size, "a finite number of seconds, 0 or more"},
    {"frame_count", read_frame_count, "a whole number from 0 to 9007199254740992"},
    {"targets", read_targets, "an array of two finite numbers"},
    {"state", read_state, "an array of finite numbers"},
    {"integrator", read_integrator, "a method name"},
    {"tolerances", read_tolerances, "[absolute, relative], each in (0, 1]"},
    {"energy_dissipated", read_energy_dissipated, "a finite number of joules", true},
};

// A method that keeps a record of its own has its key too, under its name.
bool read_run_key(const std::string& name, const toml::node& node, const std::string& at,
                  Checkpoint& checkpoint, std::string& error) {
  for (const RunKey& key : run_keys)
    if (name == key.name) {
      if (key.read(node, checkpoint)) return true;
      return fail(error, at + "key '" + name + "' needs " + key.needs);
    }
  const IntegrationMethod* method = find_method(name);
  if (!method || !method->read_saved)
    return fail(error, at + "unknown key '" + excerpt(name) + "' in a checkpoint");
  std::string needs;
  if (read_method_values(*method, node, checkpoint, needs)) return true;
  return fail(error, at + "key '" + name + "' needs " + needs);
}

bool read_parameters(const toml::node& node, const std::string& source, Checkpoint& checkpoint,
                     std::string& error) {
  const toml::table* table = node.as_table();
  if (!table) return fail(error, source + ": 'parameters' must be a table");
  checkpoint.parameters = RopeParameters{};
  if (!read_parameter_table(*table, source, checkpoint.parameters, error)) return false;
  // A finished rope's values, not keys a user gave: a change made on resuming may give a physics
  // key that derives them afresh.
  checkpoint.parameters.per_body_given = {};
  std::string reason;
  if (check_parameters(checkpoint.parameters, reason)) return true;
  return fail(error, source + ": parameters: " + reason);
}

bool check_complete(const toml::table& table, const std::string& source,
                    const Checkpoint& checkpoint, std::string& error) {
  for (const RunKey& key : run_keys)
    if (!key.optional && !table.contains(key.name))
      return fail(error, source + ": not a complete checkpoint: no key '" + key.name + "'");
  if (!table.contains("parameters"))
    return fail(error, source + ": not a complete checkpoint: no [parameters] table");
  const auto dimension = static_cast<size_t>(state_layout(checkpoint.parameters.links).dimension);
  if (checkpoint.state.size() != dimension)
    return fail(error, source + ": key 'state' has " + std::to_string(checkpoint.state.size()) +
                           " values; a rope of " + std::to_string(checkpoint.parameters.links) +
                           " links needs " + std::to_string(dimension));
  return true;
}

}  // namespace

Checkpoint checkpoint_of(const Simulation& sim) {
  const Carriages& c = sim.rope.carriages;
  Checkpoint checkpoint{sim.parameters,
                        sim.time,
                        sim.step_size,
                        sim.frame_count,
                        {c.drive_target[0], c.drive_target[1]},
                        sim.state,
                        sim.settings,
                        sim.settings.method,
                        saved_method_values(sim)};
  checkpoint.energy_dissipated = sim.dissipation.energy;
  return checkpoint;
}

std::string checkpoint_text(const Checkpoint& checkpoint) {
  std::string text =
      "# A rope checkpoint: continue it with rope-headless --resume FILE or ropesim.Rope.load.\n";
  text += "format = \"" + std::string(checkpoint_format) + "\"\n";
  text += "time = " + number_text(checkpoint.time) + "  # s\n";
  text += "step_size = " + number_text(checkpoint.step_size) + "  # s\n";
  text += "frame_count = " + std::to_string(checkpoint.frame_count) + "\n";
  text += "targets = " + array_text({checkpoint.targets[0], checkpoint.targets[1]}) + "  # m\n";
  text += "integrator = \"" + std::string(checkpoint.settings.method->name) + "\"\n";
  text +=
      "tolerances = " +
      array_text({checkpoint.settings.absolute_tolerance, checkpoint.settings.relative_tolerance}) +
      "  # absolute, relative\n";
  if (checkpoint.saved_for == checkpoint.settings.method && !checkpoint.method_values.empty())
    text += method_values_text(*checkpoint.saved_for, checkpoint.method_values);
  if (has_world(checkpoint.parameters))
    text += "energy_dissipated = " + number_text(checkpoint.energy_dissipated) + "  # J\n";
  text += "# q (n), p (n), then x1, v1, x2, v2\n";
  text += "state = " + array_text(checkpoint.state) + "\n\n";
  return text + parameters_text(checkpoint.parameters);
}

bool read_checkpoint_text(std::string_view text, const std::string& source, Checkpoint& checkpoint,
                          std::string& error) {
  if (nested_too_deep(text)) return fail(error, source + ": nested too deep for a checkpoint");
  toml::table table;
  try {
    table = toml::parse(text, source);
  } catch (const toml::parse_error& problem) {
    return fail(error, where(source, problem.source()) + std::string(problem.description()));
  } catch (const std::bad_alloc&) {
    return fail(error, source + ": not enough memory to read the checkpoint");
  }
  // A model file or other TOML handed over by mistake is told so, not picked apart key by key.
  const toml::node* format = table.get("format");
  if (!format)
    return fail(error, source + ": not a rope checkpoint (no 'format = \"" +
                           checkpoint_format + "\"' line)");
  Checkpoint unused;
  if (!read_format(*format, unused))
    return fail(error, source + ": not a rope checkpoint: key 'format' needs the text \"" +
                           checkpoint_format + "\"");
  // The parameters first: the state's length is checked against them.
  if (const toml::node* parameters = table.get("parameters"))
    if (!read_parameters(*parameters, source, checkpoint, error)) return false;
  for (const auto& [key, node] : table) {
    const std::string name(key.str());
    if (name == "parameters") continue;
    if (!read_run_key(name, node, where(source, key.source()), checkpoint, error)) return false;
  }
  return check_complete(table, source, checkpoint, error);
}

bool read_checkpoint_file(const std::string& path, Checkpoint& checkpoint, std::string& error) {
  std::string text;
  return read_small_file(path, largest_checkpoint_file, "checkpoint", text, error) &&
         read_checkpoint_text(text, path, checkpoint, error);
}

bool resume_simulation(Simulation& sim, const Checkpoint& checkpoint, std::string& error) {
  const MbsStatus started = start_simulation(sim, checkpoint.parameters);
  if (started != MbsStatus::ok) return fail(error, mbs_status_message(started));
  const MethodStatus chosen = use_integrator(sim, checkpoint.settings);
  if (chosen != MethodStatus::ok)
    return fail(error, method_status_message(chosen, checkpoint.settings));
  sim.time = checkpoint.time;
  if (checkpoint.step_size > 0.0) sim.step_size = checkpoint.step_size;
  sim.frame_count = checkpoint.frame_count;
  const IntegrationMethod* method = checkpoint.settings.method;
  if (checkpoint.saved_for == method && method->restore)
    method->restore(*sim.integrator.objects, checkpoint.method_values);
  for (int k = 0; k < 2; ++k) sim.rope.carriages.drive_target[k] = checkpoint.targets[k];
  const MbsStatus restored = set_state(sim, checkpoint.state.data());
  if (restored != MbsStatus::ok) return fail(error, mbs_status_message(restored));
  sim.dissipation.energy = checkpoint.energy_dissipated;
  return true;
}
