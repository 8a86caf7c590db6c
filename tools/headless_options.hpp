// Command line of rope-headless: what to run and where to write it.
#pragma once

#include <string>
#include <vector>

#include "rope/model_file.hpp"
#include "stepping/integrators.hpp"
#include "stepping/script.hpp"
#include "tools/csv_output.hpp"

struct HeadlessOptions {
  double duration = 10.0;  // s of simulated time
  std::string model;       // TOML model file; empty: the default rope
  std::vector<ParameterSetting> settings;
  std::string output;             // empty: standard output
  long every = 1;                 // write every Nth frame
  std::vector<TargetMove> moves;  // sorted by time, ties in command-line order
  // Pictures of the run: PNG frames into a folder and/or a .gif or .mp4 video.
  std::string frames_dir;
  std::string video;
  double fps = 50.0;  // frames per second of video
  int width = 700;    // pixels, the window's size
  int height = 500;
  double speed = 1.0;      // simulated seconds per second of video
  RunSettings run;         // integration method and tolerances
  // Given on the command line; a resumed run keeps what its checkpoint holds of the rest.
  bool method_given = false;
  bool tolerance_given = false;
  // Checkpoints: where to save the state at the run's end (or when a signal ends it), and a
  // checkpoint to continue from (its parameters replace --model and --set).
  std::string save_state;
  std::string placements;  // every row's body placements, as CSV
  std::vector<const ReadingColumns*> columns;  // --columns: readings after the state's, in order
  std::string resume;
  bool quiet = false;
  bool help = false;
  bool version = false;  // --version: print it and run nothing
};

// Parses argv. On failure returns false and sets `error` to a one-line description of the problem.
bool parse_headless_options(int argc, const char* const argv[], HeadlessOptions& options,
                            std::string& error);

// The --help text.
std::string headless_usage();

// The --version text: the program's name and the project's version.
std::string headless_version();
