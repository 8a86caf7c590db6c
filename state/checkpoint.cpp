#include "state/checkpoint.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <new>

#include "rope/model_file.hpp"
#include "rope/state_layout.hpp"
#include "stepping/script.hpp"
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

bool read_integrator(const toml::node& node, Checkpoint& c) {
  return node.is_string() && method_from_name(*node.value<std::string>(), c.settings.method);
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

// auto's record, one inline table: integers for the counts, floats for the rest.
struct AutoCount {
  const char* name;
  int64_t AutoRecord::*member;
};
constexpr AutoCount auto_counts[] = {{"votes", &AutoRecord::votes},
                                     {"explicit_frames", &AutoRecord::explicit_frames},
                                     {"implicit_frames", &AutoRecord::implicit_frames},
                                     {"frames_since_trial", &AutoRecord::frames_since_trial},
                                     {"trial_wait", &AutoRecord::trial_wait},
                                     {"frame_steps", &AutoRecord::frame_steps},
                                     {"frame_evaluations", &AutoRecord::frame_evaluations}};
struct AutoMeasure {
  const char* name;
  double AutoRecord::*member;
};
constexpr AutoMeasure auto_measures[] = {{"stiffest_rate", &AutoRecord::stiffest_rate},
                                         {"explicit_cost", &AutoRecord::explicit_cost},
                                         {"explicit_rate", &AutoRecord::explicit_rate},
                                         {"implicit_cost", &AutoRecord::implicit_cost}};

bool read_auto(const toml::node& node, Checkpoint& c) {
  const toml::table* table = node.as_table();
  if (!table || table->size() != std::size(auto_counts) + std::size(auto_measures) + 1) return false;
  const auto phase = table->get_as<std::string>("phase");
  if (!phase || (phase->get() != "explicit" && phase->get() != "implicit")) return false;
  c.auto_record.implicit = phase->get() == "implicit";
  for (const AutoCount& count : auto_counts) {
    const toml::node* value = table->get(count.name);
    const auto number = value ? value->value_exact<int64_t>() : std::nullopt;
    if (!number || *number < 0) return false;
    c.auto_record.*count.member = *number;
  }
  for (const AutoMeasure& measure : auto_measures) {
    const toml::node* value = table->get(measure.name);
    double number = 0.0;
    if (!value || !finite_number(*value, number) || number < 0.0) return false;
    c.auto_record.*measure.member = number;
  }
  return true;
}

std::string auto_text(const AutoRecord& record) {
  std::string text = std::string("auto = { phase = \"") +
                     (record.implicit ? "implicit" : "explicit") + "\"";
  for (const AutoCount& count : auto_counts)
    text += std::string(", ") + count.name + " = " + std::to_string(record.*count.member);
  for (const AutoMeasure& measure : auto_measures)
    text += std::string(", ") + measure.name + " = " + number_text(record.*measure.member);
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
    {"auto", read_auto, "auto's phase, counts and measures", true},
};

bool read_run_key(const std::string& name, const toml::node& node, const std::string& at,
                  Checkpoint& checkpoint, std::string& error) {
  for (const RunKey& key : run_keys)
    if (name == key.name) {
      if (key.read(node, checkpoint)) return true;
      return fail(error, at + "key '" + name + "' needs " + key.needs);
    }
  return fail(error, at + "unknown key '" + excerpt(name) + "' in a checkpoint");
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
  return {sim.parameters,
          sim.time,
          sim.step_size,
          sim.frame_count,
          {c.drive_target[0], c.drive_target[1]},
          sim.state,
          sim.settings,
          sim.auto_record};
}

std::string checkpoint_text(const Checkpoint& checkpoint) {
  std::string text =
      "# A rope checkpoint: continue it with rope-headless --resume FILE or ropesim.Rope.load.\n";
  text += "format = \"" + std::string(checkpoint_format) + "\"\n";
  text += "time = " + number_text(checkpoint.time) + "  # s\n";
  text += "step_size = " + number_text(checkpoint.step_size) + "  # s\n";
  text += "frame_count = " + std::to_string(checkpoint.frame_count) + "\n";
  text += "targets = " + array_text({checkpoint.targets[0], checkpoint.targets[1]}) + "  # m\n";
  text += "integrator = \"" + std::string(method_name(checkpoint.settings.method)) + "\"\n";
  text +=
      "tolerances = " +
      array_text({checkpoint.settings.absolute_tolerance, checkpoint.settings.relative_tolerance}) +
      "  # absolute, relative\n";
  if (checkpoint.settings.method == Method::auto_) text += auto_text(checkpoint.auto_record);
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
  if (checkpoint.settings.method == Method::auto_) sim.auto_record = checkpoint.auto_record;
  for (int k = 0; k < 2; ++k) sim.rope.carriages.drive_target[k] = checkpoint.targets[k];
  const MbsStatus restored = set_state(sim, checkpoint.state.data());
  if (restored != MbsStatus::ok) return fail(error, mbs_status_message(restored));
  return true;
}
