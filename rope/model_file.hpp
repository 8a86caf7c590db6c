// Model files: TOML with one key per rope parameter (see models/rope.toml), each a number, or for
// a per-carriage key a number or an array of two, for a per-body, per-joint or per-coordinate key
// a number or an array of one value each, for far_end_coupling a string. Keys not in the file keep
// the values they had. The counts of the arrays are checked against the link count by
// check_parameters, once every source of parameters has been read.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "rope/rope_parameters.hpp"
#include "stepping/integrators.hpp"

// How a model file asks to be run: keys `integrator` (a method's name) and `tolerance` (one
// number, or [absolute, relative]). They are no rope parameters: a checkpoint keeps the method it
// ran with, and the command line's and Python's own choices override these.
struct ModelRunChoice {
  const IntegrationMethod* method = nullptr;  // null: not given
  bool tolerance_given = false;
  double absolute_tolerance = 0.0;
  double relative_tolerance = 0.0;
};

// A model file is small: anything larger, or nested deeper, is refused before it is parsed.
constexpr size_t largest_model_file = 1 << 20;  // bytes
constexpr int deepest_model_nesting = 64;       // tables, arrays and dotted-key parts

// True when `text` nests tables, arrays or dotted keys deeper than deepest_model_nesting: the
// TOML parser recurses once per level, so such text is refused before it is parsed.
bool nested_too_deep(std::string_view text);

// Reads all of a regular file of at most `limit` bytes, or standard input when `path` is "-",
// into `text`. Anything else (a FIFO, a device, a folder) or anything larger is refused with a
// one-line reason naming the file and `what` it should have been ("model file").
bool read_small_file(const std::string& path, size_t limit, const std::string& what,
                     std::string& text, std::string& error);

// Reads a regular file of at most largest_model_file bytes, or standard input when `path` is "-".
// On failure returns false with a one-line reason that names the file, line and column:
// "FILE:LINE:COLUMN: unknown key 'x'". The parameters may then be partly changed.
// `run` (may be null: checked, then dropped) gets the file's run settings.
bool read_model_file(const std::string& path, RopeParameters& parameters, std::string& error,
                     ModelRunChoice* run = nullptr);
// The same for text already in memory; `source` names it in messages.
bool read_model_text(std::string_view text, const std::string& source, RopeParameters& parameters,
                     std::string& error, ModelRunChoice* run = nullptr);
// `settings` with the model's choices where `method_given` and `tolerance_given` (the caller's
// own) leave them open.
RunSettings with_model_choice(RunSettings settings, const ModelRunChoice& run, bool method_given,
                              bool tolerance_given);

// One --set KEY=VALUE, applied after the model file in command-line order.
struct ParameterSetting {
  std::string key;
  std::string value;
};

// KEY=VALUE split at its first '='; false when there is no '=' or nothing before it.
bool split_setting(const std::string& text, ParameterSetting& setting);

// The rope a command line asks for: the model file (empty: none) first, then each setting in
// order, then every key checked together. The file's run settings go to `run`. On failure the
// reason names the file or the setting.
bool load_rope_parameters(const std::string& model, const std::vector<ParameterSetting>& settings,
                          RopeParameters& parameters, ModelRunChoice& run, std::string& error);
