// The interactive rope simulator: the rope (the default one, or a model file and --set keys as
// rope-headless takes them), its integrator and initial state, then the window and the toolkit's
// event loop, which never returns.
#include <GL/glut.h>

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "rope/model_file.hpp"
#include "stepping/rest_state.hpp"
#include "stepping/simulation.hpp"
#include "view/controls.hpp"
#include "view/viewer.hpp"

namespace {

constexpr const char* usage =
    "usage: rope [--model FILE] [--set KEY=VALUE]... [toolkit options]\n"
    "  --model FILE     the rope's parameters from a TOML model file\n"
    "  --set KEY=VALUE  one parameter, after the model file; repeatable\n";

struct WindowRope {
  RopeParameters parameters;
  ModelRunChoice run;
};

// Takes --model and --set out of argv, leaving the toolkit's own options for glutInit. The model
// file is read first, whatever the order, so that --set overrides it.
bool read_options(int& argc, char** argv, WindowRope& rope, std::string& error) {
  std::string model;
  bool model_given = false;
  std::vector<ParameterSetting> settings;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const bool model_option = std::strcmp(argv[i], "--model") == 0;
    if (!model_option && std::strcmp(argv[i], "--set") != 0) {
      argv[kept++] = argv[i];
      continue;
    }
    if (i + 1 == argc) {
      error = std::string(argv[i]) + " needs a value";
      return false;
    }
    const std::string value = argv[++i];
    if (model_option && model_given) {
      error = "--model given twice";
      return false;
    }
    if (model_option) {
      model = value;
      model_given = true;
    } else if (!split_setting(value, settings.emplace_back())) {
      error = "--set needs KEY=VALUE, got '" + value + "'";
      return false;
    }
  }
  argc = kept;
  return load_rope_parameters(model, settings, rope.parameters, rope.run, error);
}

bool asked_for_help(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  static Simulation simulation;  // lives as long as the event loop that drives it
  if (asked_for_help(argc, argv)) {
    std::cout << usage;
    return 0;
  }
  WindowRope rope;
  std::string error;
  if (!read_options(argc, argv, rope, error)) {
    std::cerr << "rope: " << error << "\n" << usage;
    return 2;
  }
  const MbsStatus started = start_simulation(simulation, rope.parameters);
  if (started != MbsStatus::ok) {
    std::cout << mbs_status_message(started) << std::endl;
    return 1;
  }
  if (!place_initial_state(simulation, error)) {
    std::cerr << "rope: " << error << std::endl;
    return 1;
  }
  if (rope.run.method || rope.run.tolerance_given)
    use_integrator(simulation, with_model_choice(simulation.settings, rope.run, false, false));
  std::cout << startup_line_prefix << simulation.layout.coordinates << std::endl;
  view.simulation = &simulation;
  open_window(argc, argv);
  register_callbacks();
  glutMainLoop();
  return 0;
}
