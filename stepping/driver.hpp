// Integration driver: each frame advances a simulation by its frame span of simulated time with
// the simulation's method. No window toolkit and no wall clock in here, so frames can be advanced
// and checked without them.
#pragma once

#include <ostream>

#include "stepping/script.hpp"
#include "stepping/simulation.hpp"

constexpr int32_t report_period = 1;

// How one frame's integration ended.
enum class FrameEnd {
  reached,       // the time is the frame's end
  step_failed,   // the method could not take a step (sim.integration_failure says why)
  core_failure,  // the right-hand side met a failure of the core (see sim.rope.mbs.status)
  diverged,      // an accepted state failed the divergence guard; the state holds it
  interrupted,   // sim.interrupt_check asked to stop; time, state and step size are the frame's
                 // start again
};

// One frame's integration, from sim.time to sim.time + sim.frame_span, with no moves, no count
// and no report. Every accepted step is checked by the divergence guard, then by
// sim.interrupt_check when set. Afterwards the bodies' records, and every reading, describe
// sim.state.
FrameEnd integrate_frame(Simulation& sim);

// Puts the simulation back at the start of the frame that integrate_frame just left unfinished
// (diverged or failed), with the bodies' records of that state: the last whole frame, from which
// a run can be continued with other settings. False, and nothing changed, before any frame.
bool undo_unfinished_frame(Simulation& sim);

// The one frame loop's body, shared by every program: the script's moves due at the frame's
// start (none without a script), the frame's integration and, when it reached its end, the frame
// count. What to print and whether to go on is the caller's.
FrameEnd run_frame(Simulation& sim, Script* script);

enum class FrameOutcome {
  quiet,       // integrated and counted, not a report frame; or a failed step, reported
  report_due,  // integrated and counted, a report frame (the window reports and redraws)
  stopped,     // diverged, a core failure or interrupted: nothing written, frame not counted;
               // the caller ends
};

// The window program's frame without its report: run_frame, and whether the frame is one to
// report. A failed step prints "Hamilton failed." and the next frame tries again. When it returns
// `stopped`, `end` (if given) says why.
FrameOutcome advance_frame(Simulation& sim, std::ostream& out, FrameEnd* end = nullptr);

constexpr const char* interruption_message = "Interrupted; the unfinished frame was undone.";
constexpr const char* step_failure_message = "Hamilton failed.";

// The console line for a frame that stopped the run: the divergence, the core's failure, a failed
// step or the interruption.
const char* stop_message(const Simulation& sim, FrameEnd end);
