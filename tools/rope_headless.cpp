// rope-headless: the window program's simulation without the window. Same model, right-hand side,
// GSL objects and 0.01 s frames, so the trajectory is the one the window would show; written as
// CSV. A model file and --set change the rope.
#include <dirent.h>
#include <fcntl.h>
#include <gsl/gsl_errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iostream>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "state/checkpoint.hpp"
#include "stepping/driver.hpp"
#include "stepping/placements.hpp"
#include "stepping/rest_state.hpp"
#include "rope/model_file.hpp"
#include "stepping/script.hpp"
#include "stepping/simulation.hpp"
#include "render/frame_renderer.hpp"
#include "render/video_output.hpp"
#include "tools/csv_output.hpp"
#include "tools/headless_options.hpp"

namespace {

constexpr int exit_bad_input = 2;
constexpr int exit_failure = 1;
constexpr long long most_pictures = 1000000;

// How a run ended.
enum class RunEnd {
  finished,         // every frame was integrated and written
  signal,           // SIGINT, SIGTERM or SIGHUP (stop_signal says which)
  diverged,         // the divergence guard or a failure of the core stopped the run
  csv_failed,       // a row could not be written (a closed pipe, a full disk)
  pictures_failed,  // a picture could not be written
};

HeadlessOptions options;
CsvOutput csv;
CsvOutput placements_csv;           // --placements: written row for row with the CSV
Placements placements;              // the bodies' placements of the row being written
std::vector<double> placement_row;  // x, y, angle of every body, then the far end's x, y
WorldReadings world;                // --columns: the readings of the row being written
std::vector<double> reading_row;    // the state, then the requested readings
volatile std::sig_atomic_t stop_signal = 0;
std::string method_refused;  // why the chosen method cannot run this rope

void on_stop_signal(int signal) {
  stop_signal = signal;
}

// Without SA_RESTART a write blocked on a stalled reader, or an open waiting for a FIFO's reader,
// returns at once on the signal. A closed pipe shows as a write error, which ends the run with a
// message, rather than killing the program before it can tidy up.
void install_signal_handlers() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

// The progress bar on a terminal: moved at most every 0.1 s of wall time, between frames and,
// for a run whose frames take long (a stiff rope), between the integrator's steps too.
struct Progress {
  bool shown = false;
  std::chrono::steady_clock::time_point start;
  double last_draw = 0.0;  // s of wall time since start
};
Progress progress;

void draw_progress(const Simulation& sim, double wall);

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void report_progress(const Simulation& sim) {
  if (!progress.shown || seconds_since(progress.start) - progress.last_draw <= 0.1) return;
  progress.last_draw = seconds_since(progress.start);
  draw_progress(sim, progress.last_draw);
}

// Asked by the driver after every accepted step (and by an implicit method inside its steps): a
// stiff rope may take minutes per frame.
bool stop_requested(void* simulation) {
  report_progress(*static_cast<const Simulation*>(simulation));
  return stop_signal != 0;
}

int bad_input(const std::string& problem) {
  std::cerr << "rope-headless: " << problem << "\n"
            << "Try 'rope-headless --help' for the options." << std::endl;
  return exit_bad_input;
}

// The model file first, then each --set in command-line order. The file's integrator and
// tolerance apply where --integrator and --tolerance do not.
bool load_parameters(RopeParameters& parameters, std::string& error) {
  ModelRunChoice run;
  if (!load_rope_parameters(options.model, options.settings, parameters, run, error)) return false;
  options.run =
      with_model_choice(options.run, run, options.method_given, options.tolerance_given);
  return true;
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

// The real-time factor counts this run's simulated time: a resumed run's earlier part took none
// of this run's wall time.
void print_summary(const Simulation& sim, double simulated, double wall) {
  std::cerr << "simulated time: " << sim.time << " s\n"
            << "wall time: " << wall << " s\n"
            << "real-time factor: " << (wall > 0.0 ? simulated / wall : INFINITY) << "\n"
            << "right-hand-side evaluations: " << sim.evaluations << "\n"
            << "accepted steps: " << sim.accepted_steps << "\n"
            << "integrator: " << method_summary(sim) << ", tolerances "
            << sim.settings.absolute_tolerance << " (absolute), " << sim.settings.relative_tolerance
            << " (relative)" << std::endl;
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

// Where the outputs go, each checked before the run: a bad destination costs nothing.
struct Destinations {
  OutputPlan csv;  // unused for standard output
  OutputPlan video;
  OutputPlan state;  // the checkpoint of --save-state
  OutputPlan placements;
};
Destinations destinations;

bool is_frame_file(const char* name) {
  unsigned index = 0;
  int length = 0;
  return std::sscanf(name, "frame_%u.png%n", &index, &length) == 1 && name[length] == '\0' &&
         std::strncmp(name, "frame_", 6) == 0;
}

long count_frame_files(const std::string& folder) {
  DIR* listing = opendir(folder.c_str());
  if (!listing) return 0;
  long count = 0;
  while (const dirent* entry = readdir(listing)) count += is_frame_file(entry->d_name);
  closedir(listing);
  return count;
}

// A folder that exists (or is made now), that this user can write into, and that holds no frames
// of another run to be mixed with these.
bool check_frames_folder(std::string& error) {
  const std::string& folder = options.frames_dir;
  struct stat info {};
  if (stat(folder.c_str(), &info) == 0 && !S_ISDIR(info.st_mode)) {
    error = "--frames needs a folder, and '" + excerpt(folder) + "' is not one";
    return false;
  }
  if (mkdir(folder.c_str(), 0777) != 0 && errno != EEXIST) {
    error = "cannot make the folder '" + excerpt(folder) + "': " + std::strerror(errno);
    return false;
  }
  if (access(folder.c_str(), W_OK | X_OK) != 0) {
    error = "cannot write into the folder '" + excerpt(folder) + "': " + std::strerror(errno);
    return false;
  }
  const long existing = count_frame_files(folder);
  if (existing > 0) {
    error = "--frames folder '" + excerpt(folder) + "' already holds " + std::to_string(existing) +
            " frame files; give an empty or new folder";
    return false;
  }
  return true;
}

// Picture k shows t = k speed / fps, up to the run's last frame.
long long picture_count(const Simulation& sim) {
  const double end = static_cast<double>(frames_for(sim, options.duration)) * sim.frame_span;
  return static_cast<long long>(std::floor(end * options.fps / options.speed + 1e-6)) + 1;
}

bool check_video(std::string& error) {
  VideoFormat format;
  if (!video_format_of(options.video, format)) {
    error = "--video needs a .gif or .mp4 file name, got '" + excerpt(options.video) + "'";
    return false;
  }
  if (find_ffmpeg().empty()) {
    error = "--video needs the ffmpeg program, and there is none on the PATH (Debian: ffmpeg)";
    return false;
  }
  std::string reason;
  if (!plan_output(options.video, video_can_stream(format), destinations.video, reason)) {
    error = "cannot write video '" + excerpt(options.video) + "': " + reason;
    return false;
  }
  return true;
}

// An output already planned, that a further one must not land on.
struct PlannedOutput {
  const char* option;
  const std::string* path;  // empty: not asked for
  const OutputPlan* plan;
};

// One more output (`what` for messages): planned, and not on any of the earlier ones.
bool check_further_output(const char* option, const std::string& path, const char* what,
                          OutputPlan& plan, std::initializer_list<PlannedOutput> earlier,
                          std::string& error) {
  std::string reason;
  if (!plan_output(path, true, plan, reason)) {
    error = std::string("cannot write ") + what + " '" + excerpt(path) + "': " + reason;
    return false;
  }
  for (const PlannedOutput& other : earlier)
    if (!other.path->empty() && same_destination(*other.plan, plan)) {
      error = std::string(option) + " and " + other.option + " name the same file '" +
              excerpt(path) + "'";
      return false;
    }
  return true;
}

// While the CSV goes to standard output, no other output may land there too (/dev/stdout, a link
// to it, the file it is redirected to): the two would be mixed into one stream.
bool check_not_standard_output(std::string& error) {
  if (!options.output.empty()) return true;
  for (const auto& [option, path] : {std::pair{"--save-state", &options.save_state},
                                     std::pair{"--video", &options.video},
                                     std::pair{"--placements", &options.placements}})
    if (!path->empty() && names_open_file(*path, STDOUT_FILENO)) {
      error = std::string(option) + " '" + excerpt(*path) +
              "' is standard output, where the CSV goes; give --output FILE for the CSV";
      return false;
    }
  return true;
}

bool same_file(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The model file and the checkpoint are read before the run and must outlive it: no output may
// replace them.
bool check_inputs_kept(std::initializer_list<PlannedOutput> outputs, std::string& error) {
  for (const auto& [option, input] : {std::pair{"--model", &options.model},
                                      std::pair{"--resume", &options.resume}}) {
    struct stat read {};
    if (input->empty() || *input == "-" || stat(input->c_str(), &read) != 0) continue;
    for (const PlannedOutput& output : outputs)
      if (!output.path->empty() && output.plan->exists && output.plan->device == read.st_dev &&
          output.plan->inode == read.st_ino) {
        error = std::string(output.option) + " and " + option + " name the same file '" +
                excerpt(*output.path) + "'";
        return false;
      }
  }
  return true;
}

// The frames folder's frame_NNNNN.png files are the pictures' own: no other output may land on
// one. (An output's folder exists, so a frames folder still to be made holds none of them.)
bool check_frames_kept(std::initializer_list<PlannedOutput> outputs, std::string& error) {
  struct stat frames {}, folder {};
  if (options.frames_dir.empty() || stat(options.frames_dir.c_str(), &frames) != 0) return true;
  for (const PlannedOutput& output : outputs) {
    if (output.path->empty()) continue;
    const std::string& path = output.plan->path;
    const size_t slash = path.rfind('/');
    const std::string parent = slash == 0 ? "/" : path.substr(0, slash);
    if (slash == std::string::npos || !is_frame_file(path.c_str() + slash + 1) ||
        stat(parent.c_str(), &folder) != 0 || !same_file(frames, folder))
      continue;
    error = std::string(output.option) + " '" + excerpt(*output.path) +
            "' is one of the --frames folder's own picture files";
    return false;
  }
  return true;
}

bool check_destinations(const Simulation& sim, std::string& error) {
  std::string reason;
  if (!check_not_standard_output(error)) return false;
  if (!options.output.empty() && !plan_output(options.output, true, destinations.csv, reason)) {
    error = "cannot write output '" + excerpt(options.output) + "': " + reason;
    return false;
  }
  if (!options.video.empty() && !check_video(error)) return false;
  if (!options.output.empty() && !options.video.empty() &&
      same_destination(destinations.csv, destinations.video)) {
    error = "--output and --video name the same file '" + excerpt(options.video) + "'";
    return false;
  }
  const PlannedOutput csv_output{"--output", &options.output, &destinations.csv};
  const PlannedOutput video_output{"--video", &options.video, &destinations.video};
  const PlannedOutput state_output{"--save-state", &options.save_state, &destinations.state};
  if (!options.save_state.empty() &&
      !check_further_output("--save-state", options.save_state, "checkpoint", destinations.state,
                            {csv_output, video_output}, error))
    return false;
  if (!options.placements.empty() &&
      !check_further_output("--placements", options.placements, "placements",
                            destinations.placements, {csv_output, video_output, state_output},
                            error))
    return false;
  const PlannedOutput placements_output{"--placements", &options.placements,
                                        &destinations.placements};
  const std::initializer_list<PlannedOutput> outputs = {csv_output, video_output, state_output,
                                                        placements_output};
  if (!check_inputs_kept(outputs, error) || !check_frames_kept(outputs, error)) return false;
  const bool pictures_wanted = !options.frames_dir.empty() || !options.video.empty();
  if (pictures_wanted && picture_count(sim) > most_pictures) {
    error = "the run would make " + std::to_string(picture_count(sim)) + " pictures, more than " +
            std::to_string(most_pictures) + "; shorten --duration, lower --fps or raise --speed";
    return false;
  }
  return options.frames_dir.empty() || check_frames_folder(error);
}

bool start_pictures(const Simulation& sim, std::string& error) {
  pictures.wanted = !options.frames_dir.empty() || !options.video.empty();
  if (!pictures.wanted) return true;
  // A resumed run's pictures go on from its time, at the same instants as one long run's.
  pictures.next = static_cast<long long>(std::ceil(sim.time * options.fps / options.speed - 1e-6));
  if (!init_renderer(pictures.renderer, options.width, options.height)) {
    error = "cannot make a picture of " + std::to_string(options.width) + "x" +
            std::to_string(options.height) + " pixels";
    return false;
  }
  return options.video.empty() || open_video(pictures.video, destinations.video, options.width,
                                             options.height, options.fps, &stop_signal, error);
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
      pictures.error = "cannot write video '" + excerpt(options.video) +
                       "': " + (stop_signal ? "ffmpeg stalled" : "ffmpeg stopped reading");
    if (!pictures.error.empty()) {
      std::cerr << "rope-headless: " << pictures.error << std::endl;
      return false;
    }
    ++pictures.next;
  }
  return true;
}

// A resumed run keeps its checkpoint's method and tolerances except where the command line names
// its own.
RunSettings chosen_settings(const Checkpoint* resumed) {
  if (!resumed) return options.run;
  RunSettings settings = resumed->settings;
  if (options.method_given) settings.method = options.run.method;
  if (options.tolerance_given) {
    settings.absolute_tolerance = options.run.absolute_tolerance;
    settings.relative_tolerance = options.run.relative_tolerance;
  }
  return settings;
}

// The console lines of the window program (start-up line, failure messages) go to standard
// error, keeping standard output for the CSV; --quiet drops the start-up line.
bool set_up_simulation(Simulation& sim, const RopeParameters& parameters,
                       const Checkpoint* resumed) {
  std::string error;
  if (resumed && !resume_simulation(sim, *resumed, error)) {
    std::cerr << "rope-headless: " << error << std::endl;
    return false;
  }
  const MbsStatus started = resumed ? MbsStatus::ok : start_simulation(sim, parameters);
  if (started != MbsStatus::ok) {
    std::cerr << mbs_status_message(started) << std::endl;
    return false;
  }
  if (!resumed && !place_initial_state(sim, error)) {
    std::cerr << "rope-headless: " << error << std::endl;
    return false;
  }
  sim.interrupt_check = stop_requested;
  sim.interrupt_context = &sim;
  const RunSettings settings = chosen_settings(resumed);
  const MethodStatus chosen = use_integrator(sim, settings);
  if (chosen == MethodStatus::ok) {
    if (!options.quiet) std::cerr << startup_line_prefix << sim.layout.coordinates << std::endl;
    return true;
  }
  const std::string message = method_status_message(chosen, settings);
  if (chosen == MethodStatus::out_of_memory)
    std::cerr << "rope-headless: " << message << std::endl;
  else
    method_refused = message;  // a choice the user can change: bad input
  return false;
}

// The CSV and the placements end together: both kept, or both dropped.
void discard_rows() {
  discard_csv_output(csv);
  discard_csv_output(placements_csv);
}

bool finish_rows(std::string& error) {
  const bool csv_done = finish_csv_output(csv, error);
  std::string placements_error;
  const bool placements_done = finish_csv_output(placements_csv, placements_error);
  if (csv_done && !placements_done) error = placements_error;
  return csv_done && placements_done;
}

// Every body's world placement, from the records, which hold the accepted state's after a frame.
void write_placements(const Simulation& sim) {
  if (!placements_csv.file) return;
  read_placements(sim, placements);
  placement_row.clear();
  for (const BodyPlacement& body : placements.bodies)
    placement_row.insert(placement_row.end(), {body.origin[0], body.origin[1], body.angle});
  placement_row.insert(placement_row.end(), {placements.far_end[0], placements.far_end[1]});
  write_csv_row(placements_csv, sim.time, placement_row.data(),
                static_cast<int>(placement_row.size()));
}

// False at the first row that could not be written: there is no point running on.
// The state's row, with the requested readings after it.
void write_state_row(const Simulation& sim) {
  if (options.columns.empty()) {
    write_csv_row(csv, sim.time, sim.state.data(), sim.layout.dimension);
    return;
  }
  read_world(sim, world);
  std::copy(sim.state.begin(), sim.state.end(), reading_row.begin());
  double* next = reading_row.data() + sim.layout.dimension;
  for (const ReadingColumns* column : options.columns) {
    column->read(world, next);
    next += column->count;
  }
  write_csv_row(csv, sim.time, reading_row.data(), static_cast<int>(next - reading_row.data()));
}

bool write_state(const Simulation& sim) {
  write_state_row(sim);
  write_placements(sim);
  if (!csv.failed && !placements_csv.failed) return true;
  if (!stop_signal) {
    std::string error;
    finish_rows(error);
    std::cerr << "rope-headless: " << error << std::endl;
  }
  return false;
}

// The lines for a frame that stopped the run, on standard error.
void report_stop(const Simulation& sim, FrameEnd frame_end) {
  std::cerr << stop_message(sim, frame_end) << std::endl;
  if (frame_end == FrameEnd::step_failed)
    std::cerr << "rope-headless: the integrator failed at t = " << sim.time
              << " s: " << sim.integration_failure << "." << std::endl;
  std::cerr << "rope-headless: stopped at t = " << sim.time << " s; the rows so far are kept."
            << std::endl;
}

// One frame: target moves, integration, the row when due, pictures. Returns whether to go on.
bool run_frame(Simulation& sim, Script& script, RunEnd& end) {
  const FrameEnd frame_end = run_frame(sim, &script);
  if (frame_end == FrameEnd::interrupted) {
    end = RunEnd::signal;
    return false;
  }
  if (frame_end != FrameEnd::reached) {
    report_stop(sim, frame_end);
    end = RunEnd::diverged;
    return false;
  }
  if (sim.frame_count % options.every == 0 && !write_state(sim)) {
    end = stop_signal ? RunEnd::signal : RunEnd::csv_failed;
    return false;
  }
  if (!take_due_pictures(sim)) {
    end = stop_signal ? RunEnd::signal : RunEnd::pictures_failed;
    return false;
  }
  end = stop_signal ? RunEnd::signal : RunEnd::finished;
  return end == RunEnd::finished;
}

// Advances frame by frame, writing every Nth row, until the end or the first failure or signal.
RunEnd run_frames(Simulation& sim) {
  progress.shown = !options.quiet && isatty(STDERR_FILENO);
  progress.start = std::chrono::steady_clock::now();
  const auto start = std::chrono::steady_clock::now();
  const double start_time = sim.time;
  Script script{options.moves};
  start_script(script, sim);
  RunEnd end = stop_signal ? RunEnd::signal : RunEnd::finished;
  const long long frames = frames_for(sim, options.duration);
  for (long long frame = 1; frame <= frames && end == RunEnd::finished; ++frame) {
    if (!run_frame(sim, script, end)) break;
    report_progress(sim);
  }
  const double wall = seconds_since(start);
  if (progress.shown) {
    draw_progress(sim, wall);
    std::cerr << "\n";
  }
  if (!options.quiet && end == RunEnd::finished) print_summary(sim, sim.time - start_time, wall);
  return end;
}

// The video keeps the frames so far whenever the run stopped early, as the CSV keeps its rows;
// one whose own frames could not be written is dropped. False when the video failed.
bool close_video(RunEnd end) {
  if (end == RunEnd::pictures_failed) {
    abandon_video(pictures.video);
    return false;
  }
  std::string error;
  if (finish_video(pictures.video, error)) return true;
  std::cerr << "rope-headless: " << error << std::endl;
  return false;
}

// A run that failed to write any of its outputs replaces none: the CSV's temporary file goes.
int close_outputs(const Simulation& sim, RunEnd end) {
  const bool video_ok = close_video(end);
  if (end == RunEnd::csv_failed) return exit_failure;
  std::string error;
  if ((end == RunEnd::finished && !video_ok) || end == RunEnd::pictures_failed) {
    discard_rows();
    return exit_failure;
  }
  if (!finish_rows(error) && !stop_signal) {
    std::cerr << "rope-headless: " << error << std::endl;
    return exit_failure;
  }
  if (end == RunEnd::signal || stop_signal) {
    std::cerr << "rope-headless: stopped by signal " << stop_signal << " at t = " << sim.time
              << " s; the rows so far are kept." << std::endl;
    return 128 + stop_signal;
  }
  return end == RunEnd::finished && video_ok ? 0 : exit_failure;
}

// The checkpoint of a completed frame: the run's end, or the frame a signal or a divergence left
// unfinished undone. Written whole under a temporary name, then renamed.
bool save_checkpoint(const Simulation& sim) {
  AtomicFile file;
  std::string error;
  if (!open_atomic(file, destinations.state, error)) {
    std::cerr << "rope-headless: cannot write checkpoint: " << error << std::endl;
    return false;
  }
  const std::string text = checkpoint_text(checkpoint_of(sim));
  const bool written = write_all(file.fd, text.data(), text.size(), &stop_signal);
  if (!written) discard_atomic(file);
  if (written && commit_atomic(file)) return true;
  std::cerr << "rope-headless: cannot write checkpoint '" << excerpt(options.save_state)
            << "': " << std::strerror(errno) << std::endl;
  return false;
}

// A diverged run's checkpoint holds its last whole frame: from there it can be continued with
// another method or tolerance.
bool save_last_whole_frame(Simulation& sim) {
  if (!undo_unfinished_frame(sim)) return false;
  std::cerr << "rope-headless: the checkpoint holds the last whole frame, t = " << sim.time << " s."
            << std::endl;
  return save_checkpoint(sim);
}

int finish_run(Simulation& sim, RunEnd end) {
  const bool wanted = !options.save_state.empty();
  bool saved = true;
  if (wanted && (end == RunEnd::finished || end == RunEnd::signal)) saved = save_checkpoint(sim);
  if (wanted && end == RunEnd::diverged) saved = save_last_whole_frame(sim);
  const int status = close_outputs(sim, end);
  return status == 0 && !saved ? exit_failure : status;
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
  std::cout << (options.version ? headless_version() : headless_usage()) << std::flush;
  if (stdout_was_closed || !std::cout) {
    std::cerr << "rope-headless: cannot write the help to standard output" << std::endl;
    return exit_failure;
  }
  return 0;
}

}  // namespace

namespace {

int run_headless(int argc, char** argv) {
  stdout_was_closed = reopen_closed_standard_descriptors() & (1u << STDOUT_FILENO);
  install_signal_handlers();
  gsl_set_error_handler_off();  // a GSL error comes back as a status, never as an abort
  std::string error;
  if (!parse_headless_options(argc, argv, options, error)) return bad_input(error);
  if (options.help || options.version) return write_help();
  RopeParameters parameters;
  Checkpoint resumed;
  if (!options.resume.empty()) {
    if (!read_checkpoint_file(options.resume, resumed, error)) return bad_input(error);
  } else if (!load_parameters(parameters, error)) {
    return bad_input(error);
  }
  if (options.output.empty() && stdout_was_closed) {
    std::cerr << "rope-headless: standard output is closed; give --output FILE" << std::endl;
    return exit_failure;
  }
  auto sim = std::make_unique<Simulation>();
  if (!check_destinations(*sim, error)) return bad_input(error);
  if (!open_csv_output(csv, options.output.empty() ? nullptr : &destinations.csv, &stop_signal,
                       error))
    return stop_signal ? 128 + stop_signal : bad_input(error);
  if (!options.placements.empty() &&
      !open_csv_output(placements_csv, &destinations.placements, &stop_signal, error)) {
    discard_rows();
    return stop_signal ? 128 + stop_signal : bad_input(error);
  }
  if (!set_up_simulation(*sim, parameters, options.resume.empty() ? nullptr : &resumed)) {
    discard_rows();
    return method_refused.empty() ? exit_failure : bad_input(method_refused);
  }
  if (!start_pictures(*sim, error)) {
    discard_rows();
    return bad_input(error);
  }
  write_csv_header(csv, sim->layout, options.columns);
  int reading_count = 0;
  for (const ReadingColumns* column : options.columns) reading_count += column->count;
  reading_row.assign(static_cast<size_t>(sim->layout.dimension + reading_count), 0.0);
  if (placements_csv.file)
    write_placements_header(placements_csv, static_cast<int>(sim->rope.bodies.size()));
  RunEnd end = RunEnd::finished;
  if (!write_state(*sim))
    end = stop_signal ? RunEnd::signal : RunEnd::csv_failed;
  else if (!take_due_pictures(*sim))
    end = stop_signal ? RunEnd::signal : RunEnd::pictures_failed;
  else
    end = run_frames(*sim);
  return finish_run(*sim, end);
}

}  // namespace

// Memory can run out anywhere a rope of a million links allocates (its records, a checkpoint's
// text, an output's buffers): that ends the run with a message, never an abort.
int main(int argc, char** argv) {
  try {
    return run_headless(argc, argv);
  } catch (const std::bad_alloc&) {
    std::string unused;
    finish_rows(unused);  // the rows so far are kept, as on any other stop
    std::cerr << "rope-headless: out of memory; the rows so far are kept." << std::endl;
    return exit_failure;
  }
}
