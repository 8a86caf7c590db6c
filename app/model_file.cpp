#include "app/model_file.hpp"

#include <toml++/toml.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

std::string where(const std::string& source, const toml::source_region& region) {
  return source + ":" + std::to_string(region.begin.line) + ":" +
         std::to_string(region.begin.column) + ": ";
}

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

}  // namespace

bool read_model_text(std::string_view text, const std::string& source, RopeParameters& parameters,
                     std::string& error) {
  toml::table table;
  try {
    table = toml::parse(text, source);
  } catch (const toml::parse_error& problem) {
    error = where(source, problem.source()) + std::string(problem.description());
    return false;
  }
  for (const auto& [key, node] : table) {
    const std::string name(key.str());
    const std::string at = where(source, key.source());
    if (!is_parameter_key(name)) {
      error = at + "unknown key '" + name + "'";
      return false;
    }
    std::vector<double> values;
    if (!numbers_of(node, values)) {
      error = at + "key '" + name + "' needs a number, not " + type_words(node);
      return false;
    }
    std::string reason;
    if (!set_parameter(parameters, name, values, reason)) {
      error = at + reason;
      return false;
    }
  }
  return true;
}

bool read_model_file(const std::string& path, RopeParameters& parameters, std::string& error) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (!in || !(text << in.rdbuf())) {
    error = path + ": cannot read the model file: " + std::strerror(errno);
    return false;
  }
  return read_model_text(text.str(), path, parameters, error);
}
