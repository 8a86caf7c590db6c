#include "rope/model_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <toml++/toml.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "rope/toml_parameters.hpp"

std::string where(const std::string& source, const toml::source_region& region) {
  return source + ":" + std::to_string(region.begin.line) + ":" +
         std::to_string(region.begin.column) + ": ";
}

namespace {

const char* type_words(const toml::node& node) {
  if (node.is_string()) return "a string";
  if (node.is_boolean()) return "a boolean";
  if (node.is_table()) return "a table";
  if (node.is_array()) return "an array";
  return "a date or time";
}

// A number, or an array of numbers; integers are taken as they are, so 100 and 100.0 agree.
bool numbers_of(const toml::node& node, std::vector<double>& values) {
  if (const auto* array = node.as_array()) {
    for (const toml::node& element : *array) {
      if (!element.is_number()) return false;
      values.push_back(*element.value<double>());
    }
    return true;
  }
  if (!node.is_number()) return false;
  values.push_back(*node.value<double>());
  return true;
}

// An array of arrays of three numbers each, flattened.
bool triples_of(const toml::node& node, std::vector<double>& values) {
  const toml::array* array = node.as_array();
  if (!array) return false;
  for (const toml::node& triple : *array) {
    const toml::array* numbers = triple.as_array();
    if (!numbers || numbers->size() != 3 || !numbers_of(triple, values)) return false;
  }
  return true;
}

// How deep the text nests: open brackets and braces, plus the dots that join key parts on the
// current line (a dot between two digits is a decimal point). Strings and comments do not count.
// The parser recurses once per level, so an unbounded depth would overflow the stack.
class NestingScan {
 public:
  bool exceeds(std::string_view text, int limit) {
    for (size_t i = 0; i < text.size(); ++i) {
      i = step(text, i);
      if (brackets_ + dots_ > limit) return true;
    }
    return false;
  }

 private:
  // Handles the character at i; returns the index of the last character consumed.
  size_t step(std::string_view text, size_t i) {
    const char c = text[i];
    if (c == '\n') dots_ = 0;
    if (c == '#') return std::min(text.find('\n', i), text.size()) - 1;  // up to the line end
    if (c == '"' || c == '\'') return skip_string(text, i);
    if (c == '[' || c == '{') ++brackets_;
    if ((c == ']' || c == '}') && brackets_ > 0) --brackets_;
    if (c == '.' && !between_digits(text, i)) ++dots_;
    return i;
  }

  static bool between_digits(std::string_view text, size_t i) {
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    return i > 0 && i + 1 < text.size() && digit(text[i - 1]) && digit(text[i + 1]);
  }

  // Single- or triple-quoted; escapes only in the double-quoted kinds.
  static size_t skip_string(std::string_view text, size_t i) {
    const char quote = text[i];
    const std::string triple(3, quote);
    const bool multi = text.substr(i, 3) == triple;
    size_t j = i + (multi ? 3 : 1);
    for (; j < text.size(); ++j) {
      if (quote == '"' && text[j] == '\\') {
        ++j;
        continue;
      }
      if (!multi && (text[j] == quote || text[j] == '\n')) return j;
      if (multi && text.substr(j, 3) == triple) return j + 2;
    }
    return text.size() - 1;
  }

  int brackets_ = 0;
  int dots_ = 0;
};

bool read_limited(int fd, size_t limit, std::string& text) {
  char buffer[1 << 16];
  while (text.size() <= limit) {
    const ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    text.append(buffer, static_cast<size_t>(got));
  }
  return true;
}

bool too_large(const std::string& source, size_t size, size_t limit, const std::string& what,
               std::string& error) {
  if (size <= limit) return false;
  error = source + ": the " + what + " is larger than " + std::to_string(limit) + " bytes";
  return true;
}

}  // namespace

// Only a regular file (a FIFO or a device could feed it without end, or never), opened without
// waiting for a writer; the size is checked before reading and again after, for a growing file.
bool read_small_file(const std::string& path, size_t limit, const std::string& what,
                     std::string& text, std::string& error) {
  text.clear();
  error.clear();
  if (path == "-") {
    if (read_limited(STDIN_FILENO, limit, text))
      return !too_large("standard input", text.size(), limit, what, error);
    error = "standard input: cannot read the " + what + ": " + std::strerror(errno);
    return false;
  }
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0) {
    error = path + ": cannot read the " + what + ": " + std::strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  std::string problem;
  if (!S_ISREG(info.st_mode))
    problem = "it is not a regular file";
  else if (!too_large(path, static_cast<size_t>(info.st_size), limit, what, error) &&
           !read_limited(fd, limit, text))
    problem = std::strerror(errno);
  close(fd);
  if (!problem.empty()) error = path + ": cannot read the " + what + ": " + problem;
  return error.empty() && !too_large(path, text.size(), limit, what, error);
}

namespace {

bool read_integrator(const toml::node& node, ModelRunChoice& run, std::string& error) {
  const auto name = node.value<std::string>();
  run.method = name && node.is_string() ? find_method(*name) : nullptr;
  if (run.method) return true;
  error = "key 'integrator' needs one of " + method_names();
  return false;
}

bool read_tolerance(const toml::node& node, ModelRunChoice& run, std::string& error) {
  std::vector<double> values;
  std::string reason;
  if (numbers_of(node, values) && (values.size() == 1 || values.size() == 2) &&
      check_tolerances(values[0], values.back(), reason)) {
    run.tolerance_given = true;
    run.absolute_tolerance = values[0];
    run.relative_tolerance = values.back();
    return true;
  }
  error = "key 'tolerance' needs a number or [absolute, relative], numbers from 1e-13 to 1";
  return false;
}

// integrator and tolerance: how to run the rope, read beside its parameters.
bool read_run_key(const std::string& name, const toml::node& node, ModelRunChoice& run,
                  std::string& error) {
  return name == "integrator" ? read_integrator(node, run, error)
                              : read_tolerance(node, run, error);
}

}  // namespace

bool read_parameter_table(const toml::table& table, const std::string& source,
                          RopeParameters& parameters, std::string& error, ModelRunChoice* run) {
  for (const auto& [key, node] : table) {
    const std::string name(key.str());
    const std::string at = where(source, key.source());
    if (run && (name == "integrator" || name == "tolerance")) {
      if (read_run_key(name, node, *run, error)) continue;
      error = at + error;
      return false;
    }
    if (!is_parameter_key(name)) {
      error = at + "unknown key '" + excerpt(name) + "'";
      return false;
    }
    std::string reason;
    const ParameterKey* shape = find_parameter_key(name);
    if (shape->shape == ValueShape::word && node.is_string()) {
      if (set_parameter(parameters, name, std::string_view(*node.value<std::string>()), reason))
        continue;
      error = at + reason;
      return false;
    }
    std::vector<double> values;
    if (shape->shape == ValueShape::triples && !triples_of(node, values)) {
      error = at + "key '" + excerpt(name) + "' needs an array of [x, y, radius] triples";
      return false;
    }
    if (shape->shape != ValueShape::triples && !numbers_of(node, values)) {
      error = at + "key '" + excerpt(name) + "' needs a number, not " + type_words(node);
      return false;
    }
    if (!set_parameter(parameters, name, values, reason)) {
      error = at + reason;
      return false;
    }
  }
  return true;
}

bool nested_too_deep(std::string_view text) {
  return NestingScan().exceeds(text, deepest_model_nesting);
}

bool read_model_text(std::string_view text, const std::string& source, RopeParameters& parameters,
                     std::string& error, ModelRunChoice* run) {
  if (nested_too_deep(text)) {
    error = source + ": nested deeper than " + std::to_string(deepest_model_nesting) +
            " levels; a model file is flat";
    return false;
  }
  toml::table table;
  try {
    table = toml::parse(text, source);
  } catch (const toml::parse_error& problem) {
    error = where(source, problem.source()) + std::string(problem.description());
    return false;
  }
  ModelRunChoice dropped;
  return read_parameter_table(table, source, parameters, error, run ? run : &dropped);
}

bool read_model_file(const std::string& path, RopeParameters& parameters, std::string& error,
                     ModelRunChoice* run) {
  std::string text;
  error.clear();
  if (!read_small_file(path, largest_model_file, "model file", text, error)) return false;
  return read_model_text(text, path == "-" ? "standard input" : path, parameters, error, run);
}

RunSettings with_model_choice(RunSettings settings, const ModelRunChoice& run, bool method_given,
                              bool tolerance_given) {
  if (run.method && !method_given) settings.method = run.method;
  if (run.tolerance_given && !tolerance_given) {
    settings.absolute_tolerance = run.absolute_tolerance;
    settings.relative_tolerance = run.relative_tolerance;
  }
  return settings;
}

bool split_setting(const std::string& text, ParameterSetting& setting) {
  const size_t equals = text.find('=');
  if (equals == std::string::npos || equals == 0) return false;
  setting = {text.substr(0, equals), text.substr(equals + 1)};
  return true;
}

bool load_rope_parameters(const std::string& model, const std::vector<ParameterSetting>& settings,
                          RopeParameters& parameters, ModelRunChoice& run, std::string& error) {
  if (!model.empty() && !read_model_file(model, parameters, error, &run)) return false;
  for (const ParameterSetting& setting : settings)
    if (!set_parameter(parameters, setting.key, setting.value, error)) {
      error = "--set " + excerpt(setting.key + "=" + setting.value) + ": " + error;
      return false;
    }
  return check_parameters(parameters, error);
}
