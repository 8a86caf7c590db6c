// Integration methods, chosen per simulation as run settings (they are not rope parameters: the
// same rope can be run with any of them). The default is the window program's: GSL's classic
// fourth-order Runge-Kutta with step doubling under a 1e-6 control, whose trajectory the others
// are measured against. Each method's file says what it is and when it pays.
//
// Each method is one row of a table of operations (IntegrationMethod) that owns everything about
// it: its name, its help line, its report line, and what it carries from frame to frame with how
// a checkpoint keeps that. A build's methods are the rows of its one table
// (generated from CMakeLists.txt natively, web/method_table_web.cpp for the page): help texts, name
// checks and checkpoints all read it. Every step of every program goes through the same few
// functions below. A row advances one accepted step at a time and never steps past the frame's
// end, so the driver's divergence guard and interruption check see every accepted state.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "mbs/mbs.hpp"

struct Simulation;
struct IntegrationMethod;

// The window program's method: every build carries it and every simulation starts with it.
extern const IntegrationMethod rk4_method;

struct RunSettings {
  const IntegrationMethod* method = &rk4_method;
  double absolute_tolerance = 1e-6;
  double relative_tolerance = 1e-6;
};

// The tighter of the two tolerances: what a method's tolerance-dependent choices go by.
inline double tightest_tolerance(const RunSettings& settings) {
  return std::min(settings.absolute_tolerance, settings.relative_tolerance);
}

// Below this a tolerance asks for more than double precision holds: the step-size control then
// shrinks the step until time no longer advances.
constexpr double smallest_tolerance = 1e-13;

// Tolerances are finite, from smallest_tolerance to 1. False with a reason otherwise.
bool check_tolerances(double absolute, double relative, std::string& error);

// One value of what a method carries from frame to frame, as a checkpoint holds it: a word, a
// whole number or a real number (a whole number read back is its real number too).
struct SavedValue {
  enum class Kind { word, whole, real };
  std::string name{};
  Kind kind = Kind::real;
  std::string word{};
  int64_t whole = 0;
  double real = 0.0;
};
using SavedValues = std::vector<SavedValue>;

// The value called `name`, or null.
const SavedValue* find_saved(const SavedValues& values, std::string_view name);

// The objects one method keeps for one simulation; each row knows its own.
struct MethodObjects;

// One integration method: static functions and what the driver needs to know of it.
struct IntegrationMethod {
  const char* name;         // as --integrator, Python and checkpoints spell it
  const char* description;  // one line for help texts
  // Allocates the method's objects for `sim` under `settings`, to start from sim.state at
  // sim.time. Null when memory ran out.
  MethodObjects* (*create)(Simulation& sim, const RunSettings& settings);
  // One accepted step from sim.time towards t1, never past it: advances sim.time, sim.state and
  // sim.step_size. 0, or nonzero when the step failed (its text in sim.integration_failure).
  int (*step)(MethodObjects& objects, Simulation& sim, double t1);
  // Forget the history: the next step starts from sim.state at sim.time with sim.step_size.
  void (*restart)(MethodObjects& objects, Simulation& sim);
  void (*release)(MethodObjects* objects);
  // The step size a fresh start uses (s); 0: the method estimates its own.
  double initial_step;
  // A method that carries more history than the step size (an implicit method's Newton matrix
  // and past states, an explicit pair's end derivative) restarts at every frame's start, so that
  // a checkpoint's state, time and step size continue exactly as the uninterrupted run does, and
  // a state or target changed between frames is where it goes on from.
  bool restarts_each_frame;
  // The last evaluation of every step is at the accepted state: the bodies' records already
  // describe it when a frame ends.
  bool ends_on_accepted_state;

  // The rest is for a method with a record of its own that decides its next frames (auto's phase
  // and measures); null for the others.
  // The run's report line, "auto (rkf45 120 frames, bdf 80 frames)"; null: the name alone.
  std::string (*summary)(const MethodObjects& objects) = nullptr;
  // Keeps the record as a frame starts, and puts it back when that frame is undone.
  void (*keep_frame_start)(MethodObjects& objects) = nullptr;
  void (*undo_frame)(MethodObjects& objects) = nullptr;
  // The record for a checkpoint, in the order it is written (under the method's name).
  void (*save)(const MethodObjects& objects, SavedValues& values) = nullptr;
  // The record that values read from a checkpoint (in any order) make, as `save` gives it; false
  // when they make none. `needs` says what a record needs, either way.
  bool (*read_saved)(const SavedValues& read, SavedValues& values, std::string& needs) = nullptr;
  // Takes values that read_saved gave as the record.
  void (*restore)(MethodObjects& objects, const SavedValues& values) = nullptr;
};

// This build's rows, in the order help texts list them.
std::span<const IntegrationMethod* const> method_table();
// The row called `name`, or null when this build has none.
const IntegrationMethod* find_method(std::string_view name);
// "rk4, rkf45, rk8pd, bdf, dirk, auto", for messages.
std::string method_names();

// The method in use by one simulation: its row and its objects.
struct MethodInUse {
  const IntegrationMethod* row = nullptr;
  MethodObjects* objects = nullptr;

  MethodInUse() = default;
  MethodInUse(const MethodInUse&) = delete;
  MethodInUse& operator=(const MethodInUse&) = delete;
  ~MethodInUse() { release(); }
  void release();
};

enum class MethodStatus {
  ok,
  out_of_memory,  // the method's objects could not be made
};

// Gives the simulation the method `settings` names, from its current state and with the method's
// own initial step; the same method with the same tolerances changes nothing. On failure the
// simulation keeps the method it had.
MethodStatus use_integrator(Simulation& sim, const RunSettings& settings);
// The same with a row of the caller's (tests watch or fail steps through their own rows).
MethodStatus use_method(Simulation& sim, const IntegrationMethod& row, const RunSettings& settings);

// Why use_integrator refused `settings`.
std::string method_status_message(MethodStatus status, const RunSettings& settings);

// One accepted step of the simulation's method towards t1; 0 or the method's failure status.
int method_step(Simulation& sim, double t1);

// Called at every frame's start: a method that restarts each frame does so here.
void start_method_frame(Simulation& sim);

// The method's line for the run's report: its name, or what its row's summary says.
std::string method_summary(const Simulation& sim);

// A frame's start is kept, and an unfinished frame undone, with the method's own record too.
void keep_method_frame_start(Simulation& sim);
void undo_method_frame(Simulation& sim);

// The method's record for a checkpoint (empty when it carries none).
SavedValues saved_method_values(const Simulation& sim);
