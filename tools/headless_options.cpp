#include "tools/headless_options.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "app/rope_parameters.hpp"

namespace {

// The whole text must be a number; an empty or partly numeric text is not.
bool parse_double(const std::string& text, double& value) {
  if (text.empty()) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtod(text.c_str(), &end);
  return *end == '\0' && errno != ERANGE;
}

bool parse_count(const std::string& text, long& value) {
  if (text.empty() || !(text[0] >= '0' && text[0] <= '9')) return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtol(text.c_str(), &end, 10);
  return *end == '\0' && errno != ERANGE;
}

bool fail(std::string& error, std::string message) {
  error = std::move(message);
  return false;
}

bool parse_time(const std::string& name, const std::string& text, double& value,
                std::string& error) {
  if (!parse_double(text, value))
    return fail(error, name + " needs a number of seconds, got '" + text + "'");
  if (!std::isfinite(value)) return fail(error, name + " must be finite, got '" + text + "'");
  if (value < 0.0) return fail(error, name + " must not be negative, got '" + text + "'");
  return true;
}

// K=X@T: carriage K, target X (m), from simulated time T (s).
bool parse_move(const std::string& text, TargetMove& move, std::string& error) {
  const std::string form = "--target needs K=X@T (carriage 1 or 2, target in m, time in s), got '";
  const size_t equals = text.find('=');
  const size_t at = text.find('@');
  if (equals == std::string::npos || at == std::string::npos || at < equals)
    return fail(error, form + text + "'");
  const std::string k = text.substr(0, equals);
  const std::string x = text.substr(equals + 1, at - equals - 1);
  const std::string t = text.substr(at + 1);
  if (k != "1" && k != "2") return fail(error, "--target carriage must be 1 or 2, got '" + k + "'");
  move.carriage = k[0] - '0';
  if (!parse_double(x, move.target)) return fail(error, form + text + "'");
  if (!std::isfinite(move.target))
    return fail(error, "--target position must be finite, got '" + x + "'");
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

bool is_option(const std::string& arg, const char* name) {
  return arg == name || arg.rfind(std::string(name) + "=", 0) == 0;
}

}  // namespace

bool parse_headless_options(int argc, const char* const argv[], HeadlessOptions& options,
                            std::string& error) {
  options = HeadlessOptions{};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    }
    if (arg == "--quiet") {
      options.quiet = true;
      continue;
    }
    const char* names[] = {"--duration", "--output", "--every", "--target", "--model", "--set",
                           "--frames",   "--video",  "--fps",   "--size",   "--speed"};
    const char* name = nullptr;
    for (const char* candidate : names)
      if (is_option(arg, candidate)) name = candidate;
    if (!name) return fail(error, "unknown option '" + arg + "'");
    // The value follows '=' or is the next argument.
    std::string value;
    const size_t equals = arg.find('=');
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else {
      if (i + 1 >= argc) return fail(error, std::string("missing value for ") + name);
      value = argv[++i];
    }
    const std::string option = name;
    if (option == "--duration") {
      if (!parse_time("--duration", value, options.duration, error)) return false;
      if (options.duration > longest_duration)
        return fail(error, "--duration must be at most 1e9 s, got '" + value + "'");
    } else if (option == "--output") {
      if (value.empty()) return fail(error, "--output needs a file name");
      options.output = value;
    } else if (option == "--frames" || option == "--video") {
      if (value.empty()) return fail(error, option + " needs a name");
      (option == "--frames" ? options.frames_dir : options.video) = value;
    } else if (option == "--fps" || option == "--speed") {
      double& number = option == "--fps" ? options.fps : options.speed;
      if (!parse_double(value, number) || !std::isfinite(number) || number <= 0.0 ||
          (option == "--fps" && number > 1000.0))
        return fail(error, option + " needs a positive number" +
                               (option == "--fps" ? " up to 1000" : "") + ", got '" + value + "'");
    } else if (option == "--size") {
      if (!parse_size(value, options.width, options.height))
        return fail(error, "--size needs WxH, each from 16 to 8192 pixels, got '" + value + "'");
    } else if (option == "--model") {
      if (value.empty()) return fail(error, "--model needs a file name");
      options.model = value;
    } else if (option == "--set") {
      const size_t equals_at = value.find('=');
      if (equals_at == std::string::npos || equals_at == 0)
        return fail(error, "--set needs KEY=VALUE, got '" + value + "'");
      options.settings.push_back({value.substr(0, equals_at), value.substr(equals_at + 1)});
    } else if (option == "--every") {
      if (!parse_count(value, options.every) || options.every < 1 || options.every > INT_MAX)
        return fail(error, "--every needs a positive integer, got '" + value + "'");
    } else {
      TargetMove move;
      if (!parse_move(value, move, error)) return false;
      options.moves.push_back(move);
    }
  }
  sort_moves(options.moves);
  return true;
}

std::string headless_usage() {
  std::string keys;
  for (const ParameterKey& key : parameter_keys())
    keys += std::string(keys.empty() ? "" : ", ") + key.name;
  return "usage: rope-headless [--model FILE] [--set KEY=VALUE]... [--duration SECONDS]\n"
         "                     [--output FILE] [--every N] [--target K=X@T]... [--quiet] [--help]\n"
         "Runs the rope simulation without a window, with the window program's integrator and\n"
         "0.01 s frames, and writes the trajectory as CSV: t, the n joint coordinates q0.., their\n"
         "n momenta p0.., then x1,v1,x2,v2 (n = 27 for the default rope of 24 links).\n"
         "  --model FILE        rope parameters from a TOML model file (see models/rope.toml)\n"
         "  --set KEY=VALUE     one parameter, after the model file; per-carriage keys take\n"
         "                      one value or two separated by a comma; repeatable\n"
         "  --duration SECONDS  simulated time to run (default 10)\n"
         "  --output FILE       write the CSV to FILE (default standard output); the file\n"
         "                      appears only when the run ends\n"
         "  --every N           write every Nth frame (default 1); t = 0 is always written\n"
         "  --target K=X@T      from the first frame starting at or after time T, drive\n"
         "                      carriage K (1 or 2) towards x = X, as a mouse drag does;\n"
         "                      repeatable\n"
         "  --frames DIR        also write PNG frames of the run into DIR (made if missing)\n"
         "  --video FILE        also write a .gif or .mp4 of the run (needs ffmpeg)\n"
         "  --fps N             frames per second of the pictures (default 50)\n"
         "  --size WxH          picture size in pixels (default 700x500, the window's)\n"
         "  --speed S           simulated seconds per second of video (default 1: real speed)\n"
         "  --quiet             no progress, no summary on standard error\n"
         "  --help              this text\n"
         "Keys: " +
         keys +
         ".\n"
         "Exit status: 0 done, 1 the simulation diverged (rows so far are kept) or the output\n"
         "could not be written, 2 bad input.\n";
}
