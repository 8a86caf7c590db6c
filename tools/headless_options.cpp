#include "tools/headless_options.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <tuple>
#include <utility>

#include "rope/rope_parameters.hpp"

namespace {

// Numbers follow the one rule of the model keys (parse_number); counts are plain digits.
bool parse_double(const std::string& text, double& value) {
  return parse_number(text, value);
}

bool parse_count(const std::string& text, long& value) {
  if (text.empty() || text.size() > 18 || text.find_first_not_of("0123456789") != std::string::npos)
    return false;
  value = std::stol(text);
  return true;
}

std::string shown(const std::string& text) {
  return "'" + excerpt(text) + "'";
}

bool fail(std::string& error, std::string message) {
  error = std::move(message);
  return false;
}

bool parse_time(const std::string& name, const std::string& text, double& value,
                std::string& error) {
  if (!parse_double(text, value))
    return fail(error, name + " needs a number of seconds, got " + shown(text));
  if (!std::isfinite(value)) return fail(error, name + " must be finite, got " + shown(text));
  if (value < 0.0) return fail(error, name + " must not be negative, got " + shown(text));
  return true;
}

// K=X@T: carriage K, target X (m), from simulated time T (s).
bool parse_move(const std::string& text, TargetMove& move, std::string& error) {
  const std::string form = "--target needs K=X@T (carriage 1 or 2, target in m, time in s), got ";
  const size_t equals = text.find('=');
  const size_t at = text.find('@');
  if (equals == std::string::npos || at == std::string::npos || at < equals)
    return fail(error, form + shown(text));
  const std::string k = text.substr(0, equals);
  const std::string x = text.substr(equals + 1, at - equals - 1);
  const std::string t = text.substr(at + 1);
  if (k != "1" && k != "2") return fail(error, "--target carriage must be 1 or 2, got " + shown(k));
  move.carriage = k[0] - '0';
  if (!parse_double(x, move.target)) return fail(error, form + shown(text));
  if (!std::isfinite(move.target))
    return fail(error, "--target position must be finite, got " + shown(x));
  return parse_time("--target time", t, move.time, error);
}

// WxH, each a whole number of pixels from 16 to 8192.
bool parse_size(const std::string& text, int& width, int& height) {
  const size_t x = text.find('x');
  if (x == std::string::npos) return false;
  long w = 0, h = 0;
  if (!parse_count(text.substr(0, x), w) || !parse_count(text.substr(x + 1), h)) return false;
  if (w < 16 || h < 16 || w > 8192 || h > 8192) return false;
  width = static_cast<int>(w);
  height = static_cast<int>(h);
  return true;
}

// Every value is taken as text and checked by the rules above, so that a message names the
// option and numbers follow one rule everywhere. The defaults shown in the help are the
// HeadlessOptions defaults.
struct RawOptions {
  std::string duration = "10", output, every = "1", model, frames, video;
  std::string fps = "50", size = "700x500", speed = "1";
  std::string integrator = "rk4", tolerance = "1e-6";
  std::string save_state, resume, placements, columns;
  std::vector<std::string> targets, settings;
  bool quiet = false;
  bool version = false;
};

std::string key_list() {
  std::string keys;
  for (const ParameterKey& key : parameter_keys())
    keys += std::string(keys.empty() ? "" : ", ") + key.name;
  return keys;
}

// One line per method of this build: its name and what it is for.
std::string method_list() {
  size_t width = 0;
  for (const IntegrationMethod* row : method_table())
    width = std::max(width, std::strlen(row->name));
  std::string text;
  for (const IntegrationMethod* row : method_table())
    text += "  " + std::string(row->name) + std::string(width + 2 - std::strlen(row->name), ' ') +
            row->description + "\n";
  return text;
}

// Breaks a comma list into lines of at most 80 characters.
std::string wrapped(const std::string& list) {
  std::string text, line;
  size_t start = 0;
  while (start < list.size()) {
    size_t end = list.find(", ", start);
    end = end == std::string::npos ? list.size() : end + 2;
    if (line.size() + (end - start) > 80) {
      text += line.substr(0, line.size() - 1) + "\n";  // the line ends without its space
      line.clear();
    }
    line += list.substr(start, end - start);
    start = end;
  }
  return text + line;
}

std::unique_ptr<CLI::App> make_app(RawOptions& raw) {
  auto app = std::make_unique<CLI::App>(
      "Runs the rope simulation without a window, by default with the window program's\n"
      "integrator, in 0.01 s frames, and writes the trajectory as CSV: t, the n joint\n"
      "coordinates q0.., their n momenta p0.., then x1,v1,x2,v2 (n = 27 for the default rope of\n"
      "24 links).",
      "rope-headless");
  auto text = [&](const char* name, std::string& value, const char* type, const char* help) {
    return app->add_option(name, value, help)
        ->type_name(type)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  };
  text("--model", raw.model, "FILE", "rope parameters from a TOML model file; - is stdin");
  app->add_option("--set", raw.settings, "one parameter, after the model file; repeatable")
      ->type_name("KEY=VALUE")
      ->allow_extra_args(false);
  text("--duration", raw.duration, "SECONDS", "simulated time to run")->capture_default_str();
  text("--output", raw.output, "FILE", "the CSV's file (default: standard output)");
  text("--every", raw.every, "N", "write every Nth frame (t = 0 always)")->capture_default_str();
  app->add_option("--target", raw.targets, "from time T drive carriage K towards x = X")
      ->type_name("K=X@T")
      ->allow_extra_args(false);
  text("--integrator", raw.integrator, "NAME",
       "the integration method, one of those below; overrides a model file's")
      ->capture_default_str();
  text("--tolerance", raw.tolerance, "ABS[,REL]",
       "error tolerances; REL defaults to ABS; overrides a model file's")
      ->capture_default_str();
  text("--frames", raw.frames, "DIR", "also PNG frames into a new or empty DIR");
  text("--video", raw.video, "FILE", "also a .gif or .mp4 video (needs ffmpeg)");
  text("--fps", raw.fps, "N", "pictures per second of video, up to 1000")->capture_default_str();
  text("--size", raw.size, "WxH", "picture size, 16 to 8192 pixels a side")->capture_default_str();
  text("--speed", raw.speed, "S", "simulated seconds per second of video")->capture_default_str();
  text("--placements", raw.placements, "FILE",
       "also every row's body placements as CSV: t, then x, y, angle of each body, the far end");
  text("--columns", raw.columns, "NAMES",
       "also the world's readings after the state's: contact,drag,dissipated or a part");
  text("--save-state", raw.save_state, "FILE",
       "save a checkpoint at the end, on a signal or on divergence");
  text("--resume", raw.resume, "FILE", "continue a saved checkpoint for --duration more seconds");
  app->add_flag("--quiet", raw.quiet, "no progress or summary on standard error");
  app->set_help_flag("-h,--help", "this text");
  app->add_flag("--version", raw.version, "the version, then nothing else");
  app->footer(
      "The CSV file appears only when the run ends (a FIFO or a device is written as it goes).\n"
      "--set KEY=VALUE: a per-carriage key takes one value or two separated by a comma; pegs\n"
      "take x,y,radius triples separated by semicolons (pegs='0.3,-0.2,0.05;0.6,-0.2,0.05').\n"
      "--target K=X@T: from the first frame at or after T s, carriage K (1 or 2) is driven\n"
      "towards x = X m, as a mouse drag does.\n"
      "--resume FILE: the rope, time, state and targets come from FILE; the CSV starts at its\n"
      "time, and --target moves whose time has passed are already in its targets.\n"
      "--columns: contact adds contact_x,contact_y (the ground's and pegs' force on the whole\n"
      "rope, N), drag adds drag_power (W), dissipated adds energy_dissipated (J, taken by contact\n"
      "dampers, friction and drag since the start).\n"
      "Integrators:\n" +
      method_list() + "Keys: " + wrapped(key_list()) +
      ".\n"
      "Exit status: 0 done, 1 the simulation diverged (rows so far are kept) or an output\n"
      "could not be written, 2 bad input (nothing written), 128 + N stopped by signal N\n"
      "(SIGINT, SIGTERM, SIGHUP; rows so far are kept).");
  app->allow_extras();
  return app;
}

// CLI11 names a missing value "--duration: 1 required SECONDS missing".
std::string parse_problem(const CLI::ParseError& problem) {
  const std::string text = problem.what();
  const size_t colon = text.find(':');
  if (colon != std::string::npos && text.find("required") != std::string::npos &&
      text.find("missing") != std::string::npos)
    return "missing value for " + text.substr(0, colon);
  return excerpt(text);
}

bool check_times(const RawOptions& raw, HeadlessOptions& options, std::string& error) {
  if (!parse_time("--duration", raw.duration, options.duration, error)) return false;
  if (options.duration > longest_script_duration)
    return fail(error, "--duration must be at most 1e9 s, got " + shown(raw.duration));
  if (!parse_count(raw.every, options.every) || options.every < 1 || options.every > INT_MAX)
    return fail(error, "--every needs a positive integer, got " + shown(raw.every));
  for (const std::string& text : raw.targets) {
    TargetMove move;
    if (!parse_move(text, move, error)) return false;
    options.moves.push_back(move);
  }
  sort_moves(options.moves);
  return true;
}

bool check_names(const CLI::App& app, const RawOptions& raw, HeadlessOptions& options,
                 std::string& error) {
  // Given but empty: the options are left empty when not given, so ask CLI11 which were.
  for (const auto& [name, value] :
       {std::pair{"--output", &raw.output}, std::pair{"--model", &raw.model},
        std::pair{"--frames", &raw.frames}, std::pair{"--video", &raw.video},
        std::pair{"--save-state", &raw.save_state}, std::pair{"--resume", &raw.resume},
        std::pair{"--placements", &raw.placements}})
    if (value->empty() && app.count(name) > 0)
      return fail(error, std::string(name) + " needs a file name");
  options.output = raw.output;
  options.model = raw.model;
  options.frames_dir = raw.frames;
  options.video = raw.video;
  options.save_state = raw.save_state;
  options.placements = raw.placements;
  options.resume = raw.resume;
  if (!options.resume.empty() && (!options.model.empty() || !raw.settings.empty()))
    return fail(error,
                "--resume takes the rope's parameters from its checkpoint; --model and "
                "--set cannot be given with it");
  for (const std::string& setting : raw.settings)
    if (!split_setting(setting, options.settings.emplace_back()))
      return fail(error, "--set needs KEY=VALUE, got " + shown(setting));
  return true;
}

// NAME and ABS[,REL]; both tolerances finite, from the smallest a double can meet to 1.
bool check_integrator(const CLI::App& app, const RawOptions& raw, HeadlessOptions& options,
                      std::string& error) {
  options.method_given = app.count("--integrator") > 0;
  options.tolerance_given = app.count("--tolerance") > 0;
  const IntegrationMethod* method = find_method(raw.integrator);
  if (!method)
    return fail(error,
                "--integrator needs one of " + method_names() + ", got " + shown(raw.integrator));
  options.run.method = method;
  const size_t comma = raw.tolerance.find(',');
  const std::string absolute = raw.tolerance.substr(0, comma);
  const std::string relative =
      comma == std::string::npos ? absolute : raw.tolerance.substr(comma + 1);
  std::string reason;
  if (!parse_double(absolute, options.run.absolute_tolerance) ||
      !parse_double(relative, options.run.relative_tolerance) ||
      !check_tolerances(options.run.absolute_tolerance, options.run.relative_tolerance, reason))
    return fail(error, "--tolerance needs ABS or ABS,REL, numbers from 1e-13 to 1, got " +
                           shown(raw.tolerance));
  return true;
}

// NAME[,NAME...], each once, from the column table.
bool check_columns(const CLI::App& app, const RawOptions& raw, HeadlessOptions& options,
                   std::string& error) {
  if (app.count("--columns") == 0) return true;
  const std::string needs = "--columns needs names from " + reading_column_names() + ", got ";
  size_t start = 0;
  while (true) {
    const size_t comma = raw.columns.find(',', start);
    const std::string name = raw.columns.substr(start, comma - start);
    const ReadingColumns* column = find_reading_columns(name);
    if (!column) return fail(error, needs + shown(name));
    if (std::find(options.columns.begin(), options.columns.end(), column) != options.columns.end())
      return fail(error, "--columns names " + shown(name) + " twice");
    options.columns.push_back(column);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

bool check_pictures(const RawOptions& raw, HeadlessOptions& options, std::string& error) {
  for (auto [name, text, number] : {std::tuple{"--fps", &raw.fps, &options.fps},
                                    std::tuple{"--speed", &raw.speed, &options.speed}}) {
    const bool is_fps = std::string(name) == "--fps";
    if (!parse_double(*text, *number) || !std::isfinite(*number) || *number <= 0.0 ||
        (is_fps && *number > 1000.0))
      return fail(error, std::string(name) + " needs a positive number" +
                             (is_fps ? " up to 1000" : "") + ", got " + shown(*text));
  }
  if (!parse_size(raw.size, options.width, options.height))
    return fail(error, "--size needs WxH, each from 16 to 8192 pixels, got " + shown(raw.size));
  return true;
}

}  // namespace

bool parse_headless_options(int argc, const char* const argv[], HeadlessOptions& options,
                            std::string& error) {
  options = HeadlessOptions{};
  RawOptions raw;
  const std::unique_ptr<CLI::App> app = make_app(raw);
  try {
    app->parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    options.help = true;
    return true;
  } catch (const CLI::ParseError& problem) {
    return fail(error, parse_problem(problem));
  }
  if (!app->remaining().empty())
    return fail(error, "unknown option " + shown(app->remaining().front()));
  options.quiet = raw.quiet;
  if (raw.version) {
    options.version = true;
    return true;
  }
  return check_times(raw, options, error) && check_names(*app, raw, options, error) &&
         check_integrator(*app, raw, options, error) && check_columns(*app, raw, options, error) &&
         check_pictures(raw, options, error);
}

std::string headless_usage() {
  RawOptions raw;
  return make_app(raw)->help();
}

std::string headless_version() { return std::string("rope-headless ") + ROPESIM_VERSION + "\n"; }
