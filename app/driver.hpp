// Integration driver: each frame advances a simulation by its frame span of simulated time with
// GSL's adaptive fourth-order Runge-Kutta stepper; the window program also reports simulated and
// wall-clock time. No window toolkit in here, so frames can be advanced and checked without one.
#pragma once

#include <ostream>

#include "app/simulation.hpp"

constexpr int32_t report_period = 1;

// How one frame's integration ended.
enum class FrameEnd {
  reached,        // the time is the frame's end
  evolve_failed,  // the evolve call returned an error; the frame's loop stopped there
  core_failure,   // the right-hand side met a failure of the core (see sim.rope.mbs.status)
  diverged,       // an accepted state failed the divergence guard; the state holds it
  interrupted,    // sim.interrupt_check asked to stop; time, state and step size are the frame's
                  // start again
};

// One frame's integration, from sim.time to sim.time + sim.frame_span, with no report and no frame
// count. Every accepted step is checked by the divergence guard, then by sim.interrupt_check when
// set. Afterwards the bodies' records hold the placements and velocities of the frame's last
// evaluation (after an interruption: of the restored state).
FrameEnd integrate_frame(Simulation& sim);

// Puts an interruptible simulation (sim.interrupt_check set) back at the start of the frame that
// integrate_frame just left unfinished (diverged or failed), with the bodies' records of that
// state: the last whole frame, from which a run can be continued with other settings. False, and
// nothing changed, when the simulation is not interruptible (no frame start was kept).
bool undo_unfinished_frame(Simulation& sim);

enum class FrameOutcome {
  quiet,     // integrated and counted, not a report frame
  reported,  // the SimTime and RealTime lines were written (the caller requests a redraw)
  stopped,   // diverged, a core failure or interrupted: nothing written, frame not counted;
             // the caller ends
};

// One frame: integrate, count the frame and, on a report frame, write the SimTime and RealTime
// lines. A failing evolve call prints "Hamilton failed." and ends the frame's loop; the next
// frame tries again. When it returns `stopped`, `end` (if given) says why.
FrameOutcome advance_frame(Simulation& sim, std::ostream& out, FrameEnd* end = nullptr);

constexpr const char* interruption_message = "Interrupted; the unfinished frame was undone.";

// The console line for a frame that stopped the run: the divergence, the core's failure or the
// interruption.
const char* stop_message(const Simulation& sim, FrameEnd end);

// Wall-clock milliseconds since the process started, from a monotonic clock.
long clock_ms();
