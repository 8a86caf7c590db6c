// rope-headless: the window program's simulation without the window. Same model, right-hand side,
// GSL objects and 0.01 s frames, so the trajectory is the one the window would show; written as
// CSV. A model file and --set change the rope.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>

#include "app/driver.hpp"
#include "app/model_file.hpp"
#include "app/script.hpp"
#include "app/simulation.hpp"
#include "render/frame_renderer.hpp"
#include "render/video_output.hpp"
#include "tools/csv_output.hpp"
#include "tools/headless_options.hpp"

namespace {

constexpr int exit_bad_input = 2;
constexpr int exit_failure = 1;
constexpr int stopped_by_failure = -1;  // run_frames: the guard or the core stopped the run

HeadlessOptions options;
CsvOutput csv;
long long rhs_evaluations = 0;
long long accepted_steps = 0;
volatile std::sig_atomic_t stop_signal = 0;

int counting_rhs(double t, const double y[], double dydt[], void* params) {
  ++rhs_evaluations;
  return hamilton_rhs(t, y, dydt, params);
}

int counting_evolve_apply(gsl_odeiv_evolve* evolve, gsl_odeiv_control* control,
                          gsl_odeiv_step* step, const gsl_odeiv_system* system, double* t,
                          double t1, double* h, double y[]) {
  const int status = gsl_odeiv_evolve_apply(evolve, control, step, system, t, t1, h, y);
  if (status == 0) ++accepted_steps;
  return status;
}

void on_stop_signal(int signal) {
  stop_signal = signal;
}

int bad_input(const std::string& problem) {
  std::cerr << "rope-headless: " << problem << "\n"
            << "Try 'rope-headless --help' for the options." << std::endl;
  return exit_bad_input;
}

// The model file first, then each --set in command-line order.
bool load_parameters(RopeParameters& parameters, std::string& error) {
  if (!options.model.empty() && !read_model_file(options.model, parameters, error)) return false;
  for (const ParameterSetting& setting : options.settings)
    if (!set_parameter(parameters, setting.key, setting.value, error)) {
      error = "--set " + setting.key + "=" + setting.value + ": " + error;
      return false;
    }
  return true;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void draw_progress(const Simulation& sim, double wall) {
  constexpr int width = 30;
  const double fraction =
      options.duration > 0.0 ? std::fmin(sim.time / options.duration, 1.0) : 1.0;
  const int filled = static_cast<int>(fraction * width);
  std::string bar(filled, '#');
  bar.append(width - filled, ' ');
  char line[160];
  std::snprintf(line, sizeof line, "\r[%s] %.2f / %.2f s simulated, %.1fx real time", bar.c_str(),
                sim.time, options.duration, wall > 0.0 ? sim.time / wall : 0.0);
  std::cerr << line << std::flush;
}

void print_summary(const Simulation& sim, double wall) {
  std::cerr << "simulated time: " << sim.time << " s\n"
            << "wall time: " << wall << " s\n"
            << "real-time factor: " << (wall > 0.0 ? sim.time / wall : INFINITY) << "\n"
            << "right-hand-side evaluations: " << rhs_evaluations << "\n"
            << "accepted steps: " << accepted_steps << std::endl;
}

// Pictures of the run, at `fps` frames per video second and `speed` simulated seconds per video
// second: frame k shows the state at t = k speed / fps (the first simulation frame at or after it).
struct Pictures {
  bool wanted = false;
  FrameRenderer renderer;
  VideoOutput video;
  long long next = 0;  // index of the next picture
  std::string error;
};
Pictures pictures;

// Checked before anything is written: a bad option costs nothing.
bool check_picture_options(std::string& error) {
  VideoFormat format;
  if (!options.video.empty() && !video_format_of(options.video, format)) {
    error = "--video needs a .gif or .mp4 file name, got '" + options.video + "'";
    return false;
  }
  if (!options.video.empty() && find_ffmpeg().empty()) {
    error = "--video needs the ffmpeg program, and there is none on the PATH (Debian: ffmpeg)";
    return false;
  }
  struct stat info {};
  if (!options.frames_dir.empty() && stat(options.frames_dir.c_str(), &info) == 0 &&
      !S_ISDIR(info.st_mode)) {
    error = "--frames needs a folder, and '" + options.frames_dir + "' is not one";
    return false;
  }
  return true;
}

bool start_pictures(std::string& error) {
  pictures.wanted = !options.frames_dir.empty() || !options.video.empty();
  if (!pictures.wanted) return true;
  if (!options.frames_dir.empty() && mkdir(options.frames_dir.c_str(), 0777) != 0 &&
      errno != EEXIST) {
    error = "cannot make the folder '" + options.frames_dir + "': " + std::strerror(errno);
    return false;
  }
  if (!init_renderer(pictures.renderer, options.width, options.height)) {
    error = "cannot make a picture of " + std::to_string(options.width) + "x" +
            std::to_string(options.height) + " pixels";
    return false;
  }
  return options.video.empty() || open_video(pictures.video, options.video, options.width,
                                             options.height, options.fps, error);
}

std::string frame_file(long long index) {
  char name[32];
  std::snprintf(name, sizeof name, "/frame_%05lld.png", index);
  return options.frames_dir + name;
}

// Every picture due by the simulation's time; false with a reason when one cannot be written.
bool take_due_pictures(Simulation& sim) {
  const double interval = options.speed / options.fps;
  const double tolerance = 1e-6 * sim.frame_span;
  while (pictures.wanted && sim.time >= static_cast<double>(pictures.next) * interval - tolerance) {
    render_frame(pictures.renderer, sim);
    if (!options.frames_dir.empty() && !write_png(pictures.renderer, frame_file(pictures.next)))
      pictures.error = "cannot write " + frame_file(pictures.next);
    else if (!options.video.empty() &&
             !write_video_frame(pictures.video, frame_pixels(pictures.renderer),
                                frame_stride(pictures.renderer)))
      pictures.error = "cannot write video '" + options.video + "': ffmpeg stopped reading";
    if (!pictures.error.empty()) {
      std::cerr << "rope-headless: " << pictures.error << std::endl;
      return false;
    }
    ++pictures.next;
  }
  return true;
}

// The console lines of the window program (start-up line, failure messages) go to standard
// error, keeping standard output for the CSV; --quiet drops the start-up line.
bool set_up_simulation(Simulation& sim, const RopeParameters& parameters) {
  const MbsStatus started = start_simulation(sim, parameters);
  if (started != MbsStatus::ok) {
    std::cerr << mbs_status_message(started) << std::endl;
    return false;
  }
  if (!options.quiet) std::cerr << startup_line_prefix << sim.coordinate_count << std::endl;
  sim.system.function = counting_rhs;
  sim.evolve_apply = counting_evolve_apply;
  return true;
}

void write_state(const Simulation& sim) {
  write_csv_row(csv, sim.time, sim.state.data(), sim.dimension);
}

// Advances frame by frame, writing every Nth; returns the signal that stopped it,
// `stopped_by_failure`, or 0.
int run_frames(Simulation& sim) {
  const bool show_progress = !options.quiet && isatty(STDERR_FILENO);
  const auto start = std::chrono::steady_clock::now();
  double last_draw = 0.0;
  size_t next_move = 0;
  const long long frames = frames_for(sim, options.duration);
  for (long long frame = 1; frame <= frames && !stop_signal; ++frame) {
    apply_due_moves(sim, options.moves, next_move);
    const FrameEnd end = integrate_frame(sim);
    if (end == FrameEnd::diverged || end == FrameEnd::core_failure) {
      std::cerr << stop_message(sim, end) << std::endl;
      return stopped_by_failure;
    }
    if (end == FrameEnd::evolve_failed) std::cerr << "Hamilton failed." << std::endl;
    if (frame % options.every == 0) write_state(sim);
    if (!take_due_pictures(sim)) return stopped_by_failure;
    if (show_progress && seconds_since(start) - last_draw > 0.1) {
      last_draw = seconds_since(start);
      draw_progress(sim, last_draw);
    }
  }
  const double wall = seconds_since(start);
  if (show_progress) {
    draw_progress(sim, wall);
    std::cerr << "\n";
  }
  if (!options.quiet && !stop_signal) print_summary(sim, wall);
  return stop_signal;
}

// A closed standard descriptor would be handed to the next file opened, and messages written to
// it would land in that file. Each closed one is pointed at /dev/null before anything else opens;
// returns which were closed (bit n for descriptor n).
unsigned reopen_closed_standard_descriptors() {
  unsigned closed = 0;
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    closed |= 1u << fd;
    const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened != fd) std::_Exit(exit_failure);  // cannot happen: fd is the lowest free number
  }
  return closed;
}

bool stdout_was_closed = false;

int write_help() {
  std::cout << headless_usage() << std::flush;
  if (stdout_was_closed || !std::cout) {
    std::cerr << "rope-headless: cannot write the help to standard output" << std::endl;
    return exit_failure;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  stdout_was_closed = reopen_closed_standard_descriptors() & (1u << STDOUT_FILENO);
  std::string error;
  if (!parse_headless_options(argc, argv, options, error)) return bad_input(error);
  if (options.help) return write_help();
  RopeParameters parameters;
  if (!load_parameters(parameters, error)) return bad_input(error);
  if (options.output.empty() && stdout_was_closed) {
    std::cerr << "rope-headless: standard output is closed; give --output FILE" << std::endl;
    return exit_failure;
  }
  if (!check_picture_options(error)) return bad_input(error);
  if (!open_csv_output(csv, options.output, error)) return bad_input(error);
  std::signal(SIGINT, on_stop_signal);
  std::signal(SIGTERM, on_stop_signal);
  std::signal(SIGHUP, on_stop_signal);

  auto sim = std::make_unique<Simulation>();
  if (!set_up_simulation(*sim, parameters)) {
    discard_csv_output(csv);
    return exit_failure;
  }
  if (!start_pictures(error)) {
    discard_csv_output(csv);
    return bad_input(error);
  }
  write_csv_header(csv, sim->coordinate_count);
  write_state(*sim);
  int stopped_by = take_due_pictures(*sim) ? run_frames(*sim) : stopped_by_failure;
  // A video of a run that diverged or was stopped keeps the frames so far, as the CSV keeps its
  // rows; one whose frames could not be written is dropped.
  if (!pictures.error.empty()) {
    abandon_video(pictures.video);
  } else if (!finish_video(pictures.video, error)) {
    std::cerr << "rope-headless: " << error << std::endl;
    stopped_by = stopped_by_failure;
  }

  // The rows written so far are kept in every case, a diverged run included.
  if (!finish_csv_output(csv, error)) {
    std::cerr << "rope-headless: " << error << std::endl;
    return exit_failure;
  }
  if (stopped_by == stopped_by_failure) return exit_failure;
  if (stopped_by) {
    std::cerr << "rope-headless: stopped by signal " << stopped_by << " at t = " << sim->time
              << " s; the rows so far are kept." << std::endl;
    return 128 + stopped_by;
  }
  return 0;
}
