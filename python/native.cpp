// ropesim._native: the rope simulation library for Python. The thin layer over one Simulation;
// ropesim/__init__.py turns end codes into exceptions and adds sweeps. The GIL is released while
// integrating, so ropes in different threads run in parallel; each rope has a lock of its own, so
// one rope shared by threads runs its calls one after another.
#include <gsl/gsl_errno.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "state/checkpoint.hpp"
#include "stepping/driver.hpp"
#include "stepping/measures.hpp"
#include "stepping/placements.hpp"
#include "stepping/rest_state.hpp"
#include "rope/model_file.hpp"
#include "stepping/script.hpp"
#include "stepping/simulation.hpp"
#include "io/output_file.hpp"

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

using Array = py::array_t<double>;

// How a run ended, for the Python layer.
enum EndCode : int {
  ran_to_the_end = 0,
  diverged = 1,
  core_failure = 2,   // the core's status: failure()
  step_failed = 3,    // the method's failure: failure()
  interrupted = 4,    // never returned: the pending exception is raised instead
};

EndCode end_code(FrameEnd end) {
  switch (end) {
    case FrameEnd::reached:
      return ran_to_the_end;
    case FrameEnd::diverged:
      return diverged;
    case FrameEnd::core_failure:
      return core_failure;
    case FrameEnd::step_failed:
      return step_failed;
    case FrameEnd::interrupted:
      return interrupted;
  }
  return core_failure;
}

Array to_array(const double* values, size_t count) {
  Array array(static_cast<py::ssize_t>(count));
  std::copy(values, values + count, array.mutable_data());
  return array;
}

// A view of the rope's state that a caller might try to change: a write raises instead of
// changing a copy nobody reads.
Array read_only(Array array) {
  array.attr("setflags")("write"_a = false);
  return array;
}

// --- Parameters ---------------------------------------------------------------------------------

ValueShape shape_of(const std::string& name) {
  const ParameterKey* key = find_parameter_key(name);
  return key ? key->shape : ValueShape::single;
}

bool is_pair_key(const std::string& name) {
  return shape_of(name) == ValueShape::pair;
}

bool takes_list(ValueShape shape) {
  return shape != ValueShape::count && shape != ValueShape::single && shape != ValueShape::word;
}

const char* shape_name(ValueShape shape) {
  switch (shape) {
    case ValueShape::count:
      return "count";
    case ValueShape::single:
      return "number";
    case ValueShape::pair:
      return "per_carriage";
    case ValueShape::triple:
      return "triple";
    case ValueShape::per_body:
      return "per_body";
    case ValueShape::per_joint:
      return "per_joint";
    case ValueShape::per_coordinate:
      return "per_coordinate";
    case ValueShape::word:
      return "word";
    case ValueShape::vector:
      return "vector";
    case ValueShape::triples:
      return "triples";
  }
  return "number";
}

std::string takes(const std::string& name) {
  switch (shape_of(name)) {
    case ValueShape::count:
      return "a whole number";
    case ValueShape::pair:
      return "one number or two (one per carriage)";
    case ValueShape::triple:
      return "three numbers (x, y, angle)";
    case ValueShape::per_body:
    case ValueShape::per_joint:
    case ValueShape::per_coordinate:
      return "a number";
    case ValueShape::word:
      return word_choices(name);
    case ValueShape::vector:
      return "two numbers (x, y)";
    case ValueShape::triples:
      return "a list of [x, y, radius] triples";
    default:
      return "a number";
  }
}

const char* list_hint(ValueShape shape) {
  if (shape == ValueShape::per_body) return " (or a list of one per body, base first)";
  if (shape == ValueShape::per_joint) return " (or a list of one per revolute joint)";
  if (shape == ValueShape::per_coordinate) return " (or a list of one per coordinate)";
  return "";
}

// Plain Python ints and floats only (the package converts NumPy scalars first); bool is an int
// to Python but never a value here.
bool is_plain_number(const py::handle& value) {
  return !py::isinstance<py::bool_>(value) &&
         (py::isinstance<py::float_>(value) || py::isinstance<py::int_>(value));
}

// A plain number as a double. An int past the largest double has none, and is refused naming
// the key (its repr may be too long to print).
double number_value(const std::string& name, const py::handle& value) {
  const double number = PyFloat_AsDouble(value.ptr());
  if (number == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    throw py::value_error("key '" + name + "' is out of range: beyond ±1.8e308");
  }
  return number;
}

// The numbers of a list or tuple of plain numbers; empty for anything else. The library checks
// how many the key takes.
std::vector<double> list_numbers(const std::string& name, const py::handle& value) {
  if (!py::isinstance<py::tuple>(value) && !py::isinstance<py::list>(value)) return {};
  std::vector<double> numbers;
  for (const py::handle item : value) {
    if (!is_plain_number(item)) return {};
    numbers.push_back(number_value(name, item));
  }
  return numbers;
}

// A list or tuple of lists or tuples of three plain numbers each, flattened; false for anything
// else. An empty list is no triples.
bool list_triples(const std::string& name, const py::handle& value, std::vector<double>& numbers) {
  if (!py::isinstance<py::tuple>(value) && !py::isinstance<py::list>(value)) return false;
  for (const py::handle triple : value) {
    const std::vector<double> three = list_numbers(name, triple);
    if (three.size() != 3) return false;
    numbers.insert(numbers.end(), three.begin(), three.end());
  }
  return true;
}

// What the key takes, strictly: links an int, every other key a number, a per-carriage, triple
// or per-body key also a list or tuple of numbers.
std::vector<double> parameter_numbers(const std::string& name, const py::handle& value) {
  if (shape_of(name) == ValueShape::triples) {
    std::vector<double> numbers;
    if (list_triples(name, value, numbers)) return numbers;
  } else if (name == "links" ? py::isinstance<py::int_>(value) && is_plain_number(value)
                             : is_plain_number(value)) {
    return {number_value(name, value)};
  }
  if (takes_list(shape_of(name)) && shape_of(name) != ValueShape::triples) {
    std::vector<double> numbers = list_numbers(name, value);
    if (!numbers.empty()) return numbers;
  }
  throw py::value_error("key '" + name + "' needs " + takes(name) + ", got " +
                        std::string(py::repr(value)) + list_hint(shape_of(name)));
}

void set_python_parameter(RopeParameters& parameters, const std::string& name,
                          const py::handle& value) {
  std::string error;
  const bool set = shape_of(name) == ValueShape::word && py::isinstance<py::str>(value)
                       ? set_parameter(parameters, name, value.cast<std::string>(), error)
                       : set_parameter(parameters, name, parameter_numbers(name, value), error);
  if (!set) throw py::value_error(error);
}

void apply_parameters(RopeParameters& parameters, const py::dict& values) {
  for (const auto& [key, value] : values) {
    if (!py::isinstance<py::str>(key)) throw py::type_error("parameter names are strings");
    const std::string name = key.cast<std::string>();
    if (!is_parameter_key(name)) throw py::value_error("unknown key '" + name + "'");
    set_python_parameter(parameters, name, value);
  }
  std::string error;
  if (!check_parameters(parameters, error)) throw py::value_error(error);
}

RopeParameters parameters_from(const std::string& model, const py::dict& values,
                               ModelRunChoice& run) {
  RopeParameters parameters;
  std::string error;
  if (model.find('\0') != std::string::npos)
    throw py::value_error("model path holds a NUL character");
  if (!model.empty() && !read_model_file(model, parameters, error, &run))
    throw py::value_error(error);
  apply_parameters(parameters, values);
  return parameters;
}

// ((x, y, r), ...) from the numbers in a row.
py::tuple triples_tuple(const std::vector<double>& numbers) {
  py::tuple triples(numbers.size() / 3);
  for (size_t i = 0; i < numbers.size() / 3; ++i)
    triples[i] = py::make_tuple(numbers[3 * i], numbers[3 * i + 1], numbers[3 * i + 2]);
  return triples;
}

// A finite float64 vector of exactly `count` values, or ValueError naming `what`.
std::vector<double> exact_vector(const py::handle& value, size_t count, const char* what) {
  const auto array = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(value);
  if (!array || array.ndim() != 1 || static_cast<size_t>(array.shape(0)) != count)
    throw py::value_error(std::string(what) + " needs " + std::to_string(count) + " numbers");
  std::vector<double> numbers(array.data(), array.data() + count);
  if (!std::all_of(numbers.begin(), numbers.end(), [](double v) { return std::isfinite(v); }))
    throw py::value_error(std::string(what) + " must hold finite numbers");
  return numbers;
}

// --- Locking and interruption -------------------------------------------------------------------

// The rope's lock, taken without holding the GIL when it must be waited for: a thread that holds
// the lock may need the GIL to look for Ctrl-C, and must not wait on a thread that waits on it.
class RopeLock {
 public:
  explicit RopeLock(std::mutex& mutex) : lock_(mutex, std::try_to_lock) {
    if (lock_.owns_lock()) return;
    py::gil_scoped_release unlocked;
    lock_.lock();
  }

 private:
  std::unique_lock<std::mutex> lock_;
};

// Ctrl-C sets a flag that only the interpreter turns into KeyboardInterrupt, in its main thread.
// A run looks for it between accepted steps and between frames, taking the GIL at most every
// 20 ms; what it meets is kept and raised once the run has let go of the rope. With the GIL taken
// the watch also tells a progress callable (frames done, frames in all), at most every 0.1 s; what
// that raises stops the run as a signal does.
class SignalWatch {
 public:
  SignalWatch(py::object progress, long long frames)
      : progress_(std::move(progress)), frames_(frames) {}
  ~SignalWatch() {
    if (!type_) return;
    Py_XDECREF(type_);
    Py_XDECREF(value_);
    Py_XDECREF(trace_);
  }
  SignalWatch(const SignalWatch&) = delete;
  SignalWatch& operator=(const SignalWatch&) = delete;

  static bool check(void* context) { return static_cast<SignalWatch*>(context)->signalled(); }

  // Between frames, without the GIL: only a count.
  void frames_done(long long done) { done_ = done; }

  // Called with the GIL held, after the run: the last progress report, then what was met.
  void raise_if_met() {
    if (!type_ && !report()) PyErr_Fetch(&type_, &value_, &trace_);
    if (!type_) return;
    PyErr_Restore(std::exchange(type_, nullptr), std::exchange(value_, nullptr),
                  std::exchange(trace_, nullptr));
    throw py::error_already_set();
  }

 private:
  static constexpr std::chrono::milliseconds period{20};
  static constexpr std::chrono::milliseconds report_period{100};

  bool signalled() {
    const auto now = std::chrono::steady_clock::now();
    if (now < next_) return false;
    next_ = now + period;
    py::gil_scoped_acquire gil;
    const bool reported = now < next_report_ || report();
    if (now >= next_report_) next_report_ = now + report_period;
    if (reported && PyErr_CheckSignals() == 0) return false;
    PyErr_Fetch(&type_, &value_, &trace_);
    return true;
  }

  // False with the callable's exception pending.
  bool report() {
    if (progress_.is_none()) return true;
    PyObject* answer = PyObject_CallFunction(progress_.ptr(), "LL", done_, frames_);
    Py_XDECREF(answer);
    return answer != nullptr;
  }

  py::object progress_;
  long long frames_;
  long long done_ = 0;
  std::chrono::steady_clock::time_point next_ = std::chrono::steady_clock::now() + period;
  std::chrono::steady_clock::time_point next_report_ = next_;
  PyObject* type_ = nullptr;
  PyObject* value_ = nullptr;
  PyObject* trace_ = nullptr;
};

// For the length of a run: the driver asks the watch after every accepted step.
class Watched {
 public:
  Watched(Simulation& sim, SignalWatch& watch) : sim_(sim) {
    sim_.interrupt_check = SignalWatch::check;
    sim_.interrupt_context = &watch;
  }
  ~Watched() {
    sim_.interrupt_check = nullptr;
    sim_.interrupt_context = nullptr;
  }
  Watched(const Watched&) = delete;
  Watched& operator=(const Watched&) = delete;

 private:
  Simulation& sim_;
};

void check_duration(double duration) {
  if (!duration_in_range(duration))
    throw py::value_error("duration must be a finite number of seconds from 0 to " +
                          std::to_string(static_cast<long long>(longest_script_duration)));
}

TargetMove checked_move(int carriage, double target, double time) {
  if (carriage != 1 && carriage != 2) throw py::value_error("carriage must be 1 or 2");
  if (!std::isfinite(target)) throw py::value_error("target must be a finite number (m)");
  if (!std::isfinite(time)) throw py::value_error("target time must be a finite number (s)");
  return TargetMove{carriage, target, time};
}

// --- Checkpoint files ---------------------------------------------------------------------------

// Raises `kind` with a message that may hold a path's bytes (decoded as the file system names
// them); with `number` set, errno's own subclass (FileNotFoundError, PermissionError...).
[[noreturn]] void raise_with(PyObject* kind, const std::string& message, int number = 0) {
  const auto text = py::reinterpret_steal<py::object>(
      PyUnicode_DecodeFSDefaultAndSize(message.data(), static_cast<py::ssize_t>(message.size())));
  if (!text) throw py::error_already_set();
  const py::object error = number != 0 ? py::handle(kind)(number, text) : py::handle(kind)(text);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

// The C library stops a name at its first NUL: the file opened would not be the one named.
void check_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) throw py::value_error("path holds a NUL character");
}

// Written as rope-headless's --save-state writes it: a plain file (or a link's target) under a
// temporary name beside it, keeping the mode of the file it replaces, renamed when complete; a
// FIFO or a device in place. Ctrl-C while a FIFO waits for its reader raises KeyboardInterrupt.
void write_checkpoint_file(const std::string& path, const std::string& text) {
  check_path(path);
  std::string reason;
  int number = 0;
  bool written = false;
  {
    py::gil_scoped_release unlocked;
    OutputPlan plan;
    AtomicFile file;
    errno = 0;
    if (!plan_output(path, true, plan, reason) || !open_atomic(file, plan, reason)) {
      number = errno;
    } else if (!write_all(file.fd, text.data(), text.size(), nullptr)) {
      number = errno;
      discard_atomic(file);
    } else {
      written = commit_atomic(file);
      number = errno;
    }
    if (!written && reason.empty()) reason = std::strerror(number);
  }
  if (written) return;
  if (number == EINTR && PyErr_CheckSignals() != 0) throw py::error_already_set();
  raise_with(PyExc_OSError, "cannot write checkpoint '" + excerpt(path) + "': " + reason, number);
}

// read_checkpoint_file's two steps, apart so that a file that cannot be read (missing, not a
// regular file, too large) raises OSError and a damaged or foreign one ValueError.
Checkpoint read_checkpoint(const std::string& path) {
  check_path(path);
  const std::string file = path == "-" ? "./-" : path;  // a file's name here, not standard input
  Checkpoint checkpoint;
  std::string text;
  std::string error;
  int number = 0;
  bool read = false;
  bool parsed = false;
  {
    py::gil_scoped_release unlocked;
    errno = 0;
    read = read_small_file(file, largest_checkpoint_file, "checkpoint", text, error);
    number = errno;
    parsed = read && read_checkpoint_text(text, path, checkpoint, error);
  }
  if (!read) {
    if (number == EINTR && PyErr_CheckSignals() != 0) throw py::error_already_set();
    raise_with(PyExc_OSError, error, number);
  }
  if (!parsed) raise_with(PyExc_ValueError, error);
  return checkpoint;
}

// --- A scripted run's rows ----------------------------------------------------------------------

// Rows of a run of `frames` frames from frame `first`, keeping the start and every frame whose
// count is a multiple of `every`.
long long row_count(long long first, long long frames, long long every) {
  return 1 + (first + frames) / every - first / every;
}

double physical_memory_bytes() {
  return static_cast<double>(sysconf(_SC_PHYS_PAGES)) * static_cast<double>(sysconf(_SC_PAGE_SIZE));
}

std::string size_text(double bytes) {
  char text[96];
  std::snprintf(text, sizeof text, "%.3g bytes (%.3g GB)", bytes, bytes / 1e9);
  return text;
}

// The result arrays of a scripted run, sized before it starts and filled row by row: times,
// states and, when asked, placements (every body's x, y, angle, then the far end's x, y and the
// last body's angle; without that angle a row is --placements' row). A run that could not keep
// its rows in the machine's memory is refused before it starts.
class RunRows {
 public:
  RunRows(const Simulation& sim, long long rows, bool placements)
      : bodies_(placements ? static_cast<py::ssize_t>(sim.rope.bodies.size()) : 0) {
    const py::ssize_t dimension = sim.layout.dimension;
    const py::ssize_t per_row = 1 + dimension + (placements ? 3 * (bodies_ + 1) : 0);
    const double bytes = static_cast<double>(rows) * static_cast<double>(per_row) * sizeof(double);
    if (bytes > physical_memory_bytes()) {
      PyErr_SetString(PyExc_MemoryError,
                      ("the run's " + std::to_string(rows) + " rows would take " +
                       size_text(bytes) + ", more than the machine's memory, " +
                       size_text(physical_memory_bytes()) +
                       ": keep fewer rows (a larger every) or run shorter")
                          .c_str());
      throw py::error_already_set();
    }
    const auto count = static_cast<py::ssize_t>(rows);
    times_ = Array(count);
    states_ = Array({count, dimension});
    if (placements) placements_ = Array({count, bodies_ + 1, py::ssize_t{3}});
    time_out_ = times_.mutable_data();
    state_out_ = states_.mutable_data();
    placement_out_ = placements ? placements_.mutable_data() : nullptr;
    if (placements) read_placements(sim, bodies_at_row_);  // sized once, before the run
  }

  // The accepted state's row: after a frame the bodies' records hold its placements. Without the
  // GIL: only the arrays' memory is written.
  void record(const Simulation& sim) {
    *time_out_++ = sim.time;
    state_out_ = std::copy(sim.state.begin(), sim.state.end(), state_out_);
    ++written_;
    if (!placement_out_) return;
    read_placements(sim, bodies_at_row_);
    for (const BodyPlacement& body : bodies_at_row_.bodies) put_placement(body.origin, body.angle);
    put_placement(bodies_at_row_.far_end, bodies_at_row_.bodies.back().angle);
  }

  // (end code, times, states, placements or None), cut to the rows written.
  py::tuple result(int code) {
    if (written_ != times_.shape(0)) {
      times_.resize({written_});
      states_.resize({written_, states_.shape(1)});
      if (placement_out_) placements_.resize({written_, bodies_ + 1, py::ssize_t{3}});
    }
    return py::make_tuple(code, times_, states_,
                          placement_out_ ? py::object(placements_) : py::object(py::none()));
  }

 private:
  void put_placement(const Point& at, double angle) {
    *placement_out_++ = at[0];
    *placement_out_++ = at[1];
    *placement_out_++ = angle;
  }

  py::ssize_t bodies_;
  py::ssize_t written_ = 0;
  Array times_, states_, placements_;
  Placements bodies_at_row_;
  double* time_out_ = nullptr;
  double* state_out_ = nullptr;
  double* placement_out_ = nullptr;
};

// --- The rope -----------------------------------------------------------------------------------

class NativeRope {
 public:
  // The model file's integrator and tolerance, when it names them; Python's own choice follows.
  NativeRope(const std::string& model, const py::dict& values)
      : sim_(std::make_unique<Simulation>()) {
    ModelRunChoice run;
    check_started(start_simulation(*sim_, parameters_from(model, values, run)));
    std::string error;
    if (!place_initial_state(*sim_, error)) throw std::runtime_error(error);
    if (run.method || run.tolerance_given)
      use_settings(with_model_choice(sim_->settings, run, false, false));
  }

  // A rope continued from a checkpoint's text, with some parameters changed (the state must
  // still fit the rope).
  static std::unique_ptr<NativeRope> restore(const std::string& text, const std::string& source,
                                             const py::dict& overrides) {
    Checkpoint checkpoint;
    std::string error;
    if (!read_checkpoint_text(text, source, checkpoint, error)) throw py::value_error(error);
    return resumed(std::move(checkpoint), overrides);
  }

  // The same from a checkpoint file, read as rope-headless --resume reads it.
  static std::unique_ptr<NativeRope> load(const std::string& path, const py::dict& overrides) {
    return resumed(read_checkpoint(path), overrides);
  }

  void save_checkpoint(const std::string& path) {
    std::string text;
    {
      RopeLock lock(mutex_);
      text = checkpoint_text(checkpoint_of(*sim_));
    }
    write_checkpoint_file(path, text);
  }

  std::string checkpoint() {
    RopeLock lock(mutex_);
    return checkpoint_text(checkpoint_of(*sim_));
  }

  void set_state(const py::handle& value) {
    RopeLock lock(mutex_);
    const std::vector<double> y =
        exact_vector(value, static_cast<size_t>(sim_->layout.dimension), "state");
    check_readable(::set_state(*sim_, y.data()));
  }

  void set_configuration(const py::handle& q, const py::handle& qdot) {
    RopeLock lock(mutex_);
    const size_t n = static_cast<size_t>(sim_->layout.coordinates);
    const std::vector<double> coordinates = exact_vector(q, n, "q");
    const std::vector<double> rates =
        qdot.is_none() ? std::vector<double>(n, 0.0) : exact_vector(qdot, n, "qdot");
    check_readable(::set_configuration(*sim_, coordinates.data(), rates.data()));
  }

  double time() {
    RopeLock lock(mutex_);
    return sim_->time;
  }

  // The integration method and its tolerances, from the current state on.
  void use_method(const std::string& name, double absolute, double relative) {
    RunSettings settings;
    std::string error;
    settings.method = find_method(name);
    if (!settings.method)
      throw py::value_error("integrator must be one of " + method_names() + ", got '" +
                            excerpt(name) + "'");
    if (!check_tolerances(absolute, relative, error)) throw py::value_error(error);
    settings.absolute_tolerance = absolute;
    settings.relative_tolerance = relative;
    use_settings(settings);
  }

  void use_settings(const RunSettings& settings) {
    RopeLock lock(mutex_);
    const MethodStatus chosen = use_integrator(*sim_, settings);
    if (chosen == MethodStatus::out_of_memory) throw std::bad_alloc();
    if (chosen != MethodStatus::ok)
      throw py::value_error(method_status_message(chosen, settings));
  }

  // The parameters in effect, under the model file's keys: what a checkpoint of this rope holds.
  // Per-body values as read-only arrays (one number when every body shares it), carriage pairs
  // and the base's triple as tuples.
  // A physics key given stands for the per-body values it derives, which are left out: the two
  // together would be refused, and Rope(**parameters) must build this rope again. A chain value
  // every body shares reads back as one number.
  py::dict parameters() {
    RopeLock lock(mutex_);
    py::dict values;
    for (const ParameterKey& key : parameter_keys()) {
      if (derived_by_a_given_key(key.name)) continue;
      const ParameterValue value = get_parameter(sim_->parameters, key.name);
      const std::vector<double>& numbers = value.numbers;
      if (is_optional_key(key.name) && numbers.empty()) continue;  // not given
      if (key.shape == ValueShape::triples)
        values[key.name] = triples_tuple(numbers);
      else if (key.shape == ValueShape::word)
        values[key.name] = value.word;
      else if (key.shape == ValueShape::count)
        values[key.name] = sim_->parameters.links;
      else if (key.shape == ValueShape::pair || key.shape == ValueShape::triple ||
               key.shape == ValueShape::vector)
        values[key.name] = py::tuple(py::cast(numbers));
      else if (std::adjacent_find(numbers.begin(), numbers.end(), std::not_equal_to<>()) ==
               numbers.end())
        values[key.name] = numbers[0];
      else
        values[key.name] = read_only(to_array(numbers.data(), numbers.size()));
    }
    return values;
  }

  bool derived_by_a_given_key(std::string_view name) const {
    for (const ParameterKey& key : parameter_keys()) {
      const char* derived = derived_key(key.name);
      if (derived && name == derived && !get_parameter(sim_->parameters, key.name).numbers.empty())
        return true;
    }
    return false;
  }

  py::tuple method() {
    RopeLock lock(mutex_);
    const RunSettings& settings = sim_->settings;
    return py::make_tuple(settings.method->name, settings.absolute_tolerance,
                          settings.relative_tolerance);
  }
  int coordinate_count() {
    RopeLock lock(mutex_);
    return sim_->layout.coordinates;
  }
  Array state() { return slice(0, sim_->layout.dimension); }
  Array q() { return slice(0, sim_->layout.coordinates); }
  Array p() { return slice(sim_->layout.momenta_start, sim_->layout.coordinates); }
  Array carriages() { return slice(sim_->layout.carriages_start, sim_->layout.carriage_slots); }

  // World x, y and angle of every body at the current state: what the window draws.
  Array placements() {
    RopeLock lock(mutex_);
    Placements now;
    read_placements(*sim_, now);
    const auto& bodies = now.bodies;
    Array array({static_cast<py::ssize_t>(bodies.size()), py::ssize_t{3}});
    auto out = array.mutable_unchecked<2>();
    for (size_t k = 0; k < bodies.size(); ++k) {
      const auto i = static_cast<py::ssize_t>(k);
      out(i, 0) = bodies[k].origin[0];
      out(i, 1) = bodies[k].origin[1];
      out(i, 2) = bodies[k].angle;
    }
    return array;
  }

  void set_target(int carriage, double x) {
    const TargetMove move = checked_move(carriage, x, 0.0);
    RopeLock lock(mutex_);
    ::set_target(*sim_, move.carriage, move.target);
  }

  // Frames of 0.01 s, as the window program advances; returns the end code. `progress` (None, or
  // a callable) is told (frames done, frames) as the run goes.
  int advance(long long frames, py::object progress) {
    if (frames < 0) throw py::value_error("frames must be 0 or more");
    RopeLock lock(mutex_);
    return run_frames(frames, {}, std::move(progress), [](long long) {});
  }

  // A scripted run as rope-headless makes it: the state at t and after every `every`th frame, with
  // `placements` also every body's placement and the far end, as --placements writes them.
  // Returns (end code, times, states, placements or None); on a failure the rows so far.
  py::tuple simulate(double duration, long long every, std::vector<TargetMove> moves,
                     bool placements, py::object progress) {
    check_duration(duration);
    if (every < 1) throw py::value_error("every must be 1 or more");
    RopeLock lock(mutex_);
    const long long frames = frames_for(*sim_, duration);
    RunRows rows(*sim_, row_count(sim_->frame_count, frames, every), placements);
    rows.record(*sim_);
    // Rows on the frames whose count is a multiple of `every`, as rope-headless writes them: a
    // loaded rope's rows fall where the saved run's would have.
    const int code = run_frames(frames, std::move(moves), std::move(progress), [&](long long) {
      if (sim_->frame_count % every == 0) rows.record(*sim_);
    });
    return rows.result(code);
  }

  // The same run keeping only the largest chain-end spring force met after any frame (N).
  // Returns (end code, peak force).
  py::tuple run_measuring(double duration, std::vector<TargetMove> moves) {
    check_duration(duration);
    RopeLock lock(mutex_);
    double peak = 0.0;
    const long long frames = frames_for(*sim_, duration);
    const int code = run_frames(frames, std::move(moves), py::none(), [&](long long) {
      for (const double force : end_spring_forces(*sim_)) peak = std::max(peak, std::abs(force));
    });
    return py::make_tuple(code, peak);
  }

  // d(state)/dt at any state; the rope's readings stay its own state's.
  Array rhs(const py::array& state) {
    const char kind = state.dtype().kind();
    if (kind != 'f' && kind != 'i' && kind != 'u')
      throw py::type_error("state must be an array of real numbers");
    const auto y = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(state);
    RopeLock lock(mutex_);
    const int dimension = sim_->layout.dimension;
    if (!y || y.ndim() != 1 || y.shape(0) != dimension)
      throw py::value_error("state needs " + std::to_string(dimension) + " numbers");
    const double* values = y.data();
    if (!std::all_of(values, values + dimension, [](double v) { return std::isfinite(v); }))
      throw py::value_error("state must hold finite numbers");
    std::vector<double> rates(static_cast<size_t>(dimension));
    const MbsStatus met = state_rates(*sim_, values, rates.data());
    if (met != MbsStatus::ok) throw std::runtime_error(mbs_status_message(met));
    return to_array(rates.data(), rates.size());
  }

  double energy() {
    RopeLock lock(mutex_);
    return total_energy(*sim_);
  }
  std::array<double, 2> end_forces() {
    RopeLock lock(mutex_);
    return end_spring_forces(*sim_);
  }
  // The world's readings at the current state: (contact force per body (bodies, 2), its total,
  // drag power, dissipation power, energy dissipated so far). The record is the rope's own.
  py::tuple world_readings() {
    RopeLock lock(mutex_);
    read_world(*sim_, world_);
    const auto bodies = static_cast<py::ssize_t>(world_.contact.size());
    Array contact({bodies, py::ssize_t{2}});
    auto out = contact.mutable_unchecked<2>();
    for (py::ssize_t k = 0; k < bodies; ++k) {
      out(k, 0) = world_.contact[static_cast<size_t>(k)][0];
      out(k, 1) = world_.contact[static_cast<size_t>(k)][1];
    }
    return py::make_tuple(contact, world_.contact_total, world_.drag_power,
                          world_.dissipation_power, world_.energy_dissipated);
  }
  // Why the last run stopped, for a core failure or a failed evolve call.
  std::string failure() {
    RopeLock lock(mutex_);
    if (sim_->rope.mbs.status != MbsStatus::ok) return mbs_status_message(sim_->rope.mbs.status);
    return std::string("the integrator failed: ") + sim_->integration_failure;
  }

 private:
  NativeRope() : sim_(std::make_unique<Simulation>()) {}

  static std::unique_ptr<NativeRope> resumed(Checkpoint checkpoint, const py::dict& overrides) {
    apply_parameters(checkpoint.parameters, overrides);
    const auto dimension = static_cast<size_t>(state_layout(checkpoint.parameters.links).dimension);
    if (checkpoint.state.size() != dimension)
      throw py::value_error("the saved state has " + std::to_string(checkpoint.state.size()) +
                            " values; the changed rope needs " + std::to_string(dimension));
    auto rope = std::unique_ptr<NativeRope>(new NativeRope());
    std::string error;
    if (!resume_simulation(*rope->sim_, checkpoint, error)) throw std::runtime_error(error);
    return rope;
  }

  static void check_started(MbsStatus started) {
    if (started == MbsStatus::out_of_memory) throw std::bad_alloc();
    if (started != MbsStatus::ok) throw std::runtime_error(mbs_status_message(started));
  }

  // A state the core cannot evaluate (a slaved joint's singularity) is refused as a value.
  static void check_readable(MbsStatus met) {
    if (met != MbsStatus::ok) throw py::value_error(mbs_status_message(met));
  }

  Array slice(int start, int count) {
    RopeLock lock(mutex_);
    return read_only(to_array(sim_->state.data() + start, static_cast<size_t>(count)));
  }

  // Whole frames with the target moves applied at each frame's start, without the GIL and
  // interruptible; `after_frame(frame)` sees each completed frame. Returns the end code, or raises
  // what a signal handler raised, the rope left at its last completed frame. The caller holds the
  // rope's lock.
  template <typename AfterFrame>
  int run_frames(long long frames, std::vector<TargetMove> moves, py::object progress,
                 AfterFrame after_frame) {
    SignalWatch watch(std::move(progress), frames);
    int code = ran_to_the_end;
    {
      Watched watched(*sim_, watch);
      py::gil_scoped_release unlocked;
      code = frame_loop(frames, moves, watch, after_frame);
    }
    watch.raise_if_met();
    return code;
  }

  template <typename AfterFrame>
  int frame_loop(long long frames, std::vector<TargetMove>& moves, SignalWatch& watch,
                 AfterFrame& after_frame) {
    // Moves due before the coming frame were applied by an earlier run (or are in a loaded
    // rope's targets): applied again they would undo what the user set since.
    Script script{std::move(moves)};
    start_script(script, *sim_);
    for (long long frame = 1; frame <= frames; ++frame) {
      const int code = end_code(run_frame(*sim_, &script));
      if (code != ran_to_the_end) return code;
      after_frame(frame);
      watch.frames_done(frame);
      if (SignalWatch::check(&watch)) return interrupted;
    }
    return ran_to_the_end;
  }

  std::unique_ptr<Simulation> sim_;
  WorldReadings world_;  // the world's readings, sized once for the rope
  std::mutex mutex_;
};

}  // namespace

// A NativeRope made by __new__ alone (or by copy's reconstruction) was never constructed: pybind11
// would hand its methods uninitialised storage, so they look at the holder first.
NativeRope& constructed(py::handle self) {
  auto* instance = reinterpret_cast<py::detail::instance*>(self.ptr());
  const py::detail::value_and_holder held = instance->get_value_and_holder();
  if (!held.holder_constructed())
    throw py::type_error("NativeRope was never constructed; use ropesim.Rope");
  return *held.value_ptr<NativeRope>();
}

template <typename R, typename... A>
auto checked(R (NativeRope::*method)(A...)) {
  return [method](py::handle self, A... args) -> R {
    return (constructed(self).*method)(std::forward<A>(args)...);
  };
}

PYBIND11_MODULE(_native, m) {
  // GSL reports an error by calling its handler, which by default aborts: under Python that would
  // end the interpreter. Errors come back as statuses instead and are raised as exceptions.
  gsl_set_error_handler_off();

  m.doc() = "The rope simulation engine; use the ropesim package, not this module.";
  py::class_<TargetMove>(m, "TargetMove")
      .def(py::init(&checked_move), "carriage"_a, "target"_a, "time"_a,
           "From the first frame starting at or after `time` (s), drive carriage 1 or 2 "
           "towards `target` (m).")
      .def_readonly("carriage", &TargetMove::carriage, "1 or 2.")
      .def_readonly("target", &TargetMove::target, "m, along x.")
      .def_readonly("time", &TargetMove::time, "s of simulated time.");
  py::class_<NativeRope>(m, "NativeRope")
      .def(py::init<const std::string&, const py::dict&>(), "model"_a, "parameters"_a)
      .def_property_readonly("time", checked(&NativeRope::time), "Simulated time, s.")
      .def("use_method", checked(&NativeRope::use_method), "name"_a, "absolute"_a, "relative"_a,
           "Integrates with the named method and tolerances from now on.")
      .def("parameters", checked(&NativeRope::parameters),
           "The parameters in effect, by the model file's keys.")
      .def_property_readonly("method", checked(&NativeRope::method),
                             "(method name, absolute tolerance, relative tolerance).")
      .def_property_readonly("coordinate_count", checked(&NativeRope::coordinate_count),
                             "n, the number of joint coordinates.")
      .def_property_readonly("state", checked(&NativeRope::state),
                             "The ODE state, read-only (2n+4,): q, p, x1, v1, x2, v2.")
      .def_property_readonly("q", checked(&NativeRope::q), "Joint coordinates, read-only (n,).")
      .def_property_readonly("p", checked(&NativeRope::p), "Momenta, read-only (n,).")
      .def_property_readonly("carriages", checked(&NativeRope::carriages),
                             "x1, v1, x2, v2, read-only (4,).")
      .def("placements", checked(&NativeRope::placements),
           "World x, y, angle of every body, (n-2, 3).")
      .def("set_target", checked(&NativeRope::set_target), "carriage"_a, "x"_a,
           "Drive carriage 1 or 2 towards x (m).")
      .def("advance", checked(&NativeRope::advance), "frames"_a, "progress"_a = py::none(),
           "Advance whole frames; returns the end code. `progress(done, frames)` is called as "
           "the run goes.")
      .def("simulate", checked(&NativeRope::simulate), "duration"_a, "every"_a, "moves"_a,
           "placements"_a = false, "progress"_a = py::none(),
           "Scripted run; returns (end code, times, states, placements or None).")
      .def("run_measuring", checked(&NativeRope::run_measuring), "duration"_a, "moves"_a,
           "Scripted run; returns (end code, peak chain-end force).")
      .def("rhs", checked(&NativeRope::rhs), "state"_a, "d(state)/dt at `state`.")
      .def("energy", checked(&NativeRope::energy), "Total mechanical energy, J.")
      .def("end_forces", checked(&NativeRope::end_forces), "Chain-end spring x forces, N.")
      .def("world_readings", checked(&NativeRope::world_readings),
           "(contact forces (bodies, 2), total, drag power, dissipation power, energy dissipated).")
      .def("failure", checked(&NativeRope::failure), "Why the last run stopped.")
      .def_static("restore", &NativeRope::restore, "text"_a, "source"_a, "overrides"_a,
                  "A rope continued from a checkpoint's text, some parameters changed.")
      .def_static("load", &NativeRope::load, "path"_a, "overrides"_a,
                  "A rope continued from a checkpoint file, some parameters changed.")
      .def("checkpoint", checked(&NativeRope::checkpoint), "The checkpoint's text (TOML).")
      .def("save_checkpoint", checked(&NativeRope::save_checkpoint), "path"_a,
           "Write the checkpoint to `path` as rope-headless --save-state does.")
      .def("set_state", checked(&NativeRope::set_state), "state"_a,
           "Replace the ODE state (2n+4 finite numbers).")
      .def("set_configuration", checked(&NativeRope::set_configuration), "q"_a, "qdot"_a,
           "Set coordinates and rates; the momenta follow.")
      .def("__copy__",
           [](const py::object&) -> py::object {
             throw py::type_error("a NativeRope cannot be copied");
           })
      .def(
          "__deepcopy__",
          [](const py::object&, const py::object&) -> py::object {
            throw py::type_error("a NativeRope cannot be copied");
          },
          "memo"_a)
      .def(
          "__reduce_ex__",
          [](const py::object&, const py::object&) -> py::object {
            throw py::type_error("a NativeRope cannot be pickled");
          },
          "protocol"_a);
  m.def(
      "parameter_keys",
      [] {
        std::vector<py::tuple> keys;
        for (const ParameterKey& key : parameter_keys())
          keys.push_back(py::make_tuple(key.name, key.unit, key.meaning, is_pair_key(key.name),
                                        shape_name(key.shape), word_choices(key.name)));
        return keys;
      },
      "(name, unit, meaning, per_carriage, shape, words) of every parameter key, in the model "
      "file's order; words: the choices of a word key, else empty.");
  m.def(
      "methods",
      [] {
        std::vector<py::tuple> methods;
        for (const IntegrationMethod* row : method_table())
          methods.push_back(py::make_tuple(row->name, row->description));
        return methods;
      },
      "(name, description) of every integration method, in the order help texts list them.");
  m.attr("LONGEST_DURATION") = longest_script_duration;
  m.attr("__version__") = ROPESIM_VERSION;
}
