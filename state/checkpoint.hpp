// Checkpoints: everything a run needs to continue exactly where it stopped, as readable TOML.
// Top-level keys hold the run (format, time, step size, frame count, drive targets, ODE state);
// the [parameters] table holds the rope's parameters under the model file's keys. Numbers are
// written with 17 significant digits (always as floats, so -0.0 keeps its sign), which read back
// to the same doubles: a resumed run repeats the original bit for bit.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "stepping/simulation.hpp"

constexpr const char* checkpoint_format = "rope checkpoint 1";
// A checkpoint of the largest rope (a million links, every per-body key its own array) is under
// 200 MB; anything larger is refused before it is parsed, which takes many times its size.
constexpr size_t largest_checkpoint_file = size_t{256} << 20;  // bytes
// Exactly representable as a double: frame numbers stay exact wherever they go.
constexpr int64_t largest_frame_count = int64_t{1} << 53;

struct Checkpoint {
  RopeParameters parameters;
  double time = 0.0;       // s
  double step_size = 0.0;  // s, the step-size control's next step (0: the method's own start)
  int64_t frame_count = 0;
  CarriagePair targets{};     // m, the carriages' drive targets
  std::vector<double> state;  // the ODE state, 2 n + 4 values
  RunSettings settings;       // the integration method and its tolerances
  // The record of a method that keeps one (auto's phase and measures), under its name; empty for
  // the others. Read from a file, it is checked by its method's row and taken only when that is
  // the checkpoint's method.
  const IntegrationMethod* saved_for = nullptr;
  SavedValues method_values;
  double energy_dissipated = 0.0;  // J, what the world has taken so far; written with a world only
};

// What `sim` holds now.
Checkpoint checkpoint_of(const Simulation& sim);

std::string checkpoint_text(const Checkpoint& checkpoint);

// Reads and checks a whole checkpoint: the format line, every key present and none unknown, the
// parameters valid, the state as long as the parameters' rope needs and finite. False with a
// one-line reason that starts with `source`.
bool read_checkpoint_text(std::string_view text, const std::string& source, Checkpoint& checkpoint,
                          std::string& error);
// The same from a regular file of at most largest_checkpoint_file bytes.
bool read_checkpoint_file(const std::string& path, Checkpoint& checkpoint, std::string& error);

// Builds the rope of the checkpoint's parameters with its method and puts time, step size, frame
// count, targets and state back. False with the reason when the rope or its method cannot be made.
bool resume_simulation(Simulation& sim, const Checkpoint& checkpoint, std::string& error);
