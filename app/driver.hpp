// Integration driver: each frame advances the simulation by frame_span of simulated time with
// GSL's adaptive fourth-order Runge-Kutta stepper and reports simulated and wall-clock time.
// No GLUT in here, so frames can be advanced and checked without a window.
#pragma once

#include <gsl/gsl_odeiv.h>

#include <cstdint>
#include <ostream>

extern double sim_time;     // s
extern double frame_span;   // s of simulated time per frame
extern double step_size;    // s; the step-size control adjusts it and it carries over between frames
extern int32_t frame_count;
constexpr int32_t report_period = 1;

extern gsl_odeiv_step* integration_step;
extern gsl_odeiv_evolve* integration_evolve;
extern gsl_odeiv_control* integration_control;  // absolute and relative tolerance 1e-6

// The evolve call, replaceable so that tests can inject failures.
using EvolveApply = int (*)(gsl_odeiv_evolve*, gsl_odeiv_control*, gsl_odeiv_step*,
                            const gsl_odeiv_system*, double*, double, double*, double[]);
extern EvolveApply evolve_apply;

// Creates the rk4 step object and the evolve object (start-up, before anything else).
void create_integrator();

// Back to the moment before the first frame: time, step size, frame count, clock start and the
// evolve call (tests run several simulations in one process).
void reset_driver();

// Wall-clock milliseconds since the process started, from a monotonic clock.
long clock_ms();

// How one frame's integration ended.
enum class FrameEnd {
  reached,        // sim_time is the frame's end
  evolve_failed,  // the evolve call returned an error; the frame's loop stopped there
  diverged,       // an accepted state failed the divergence guard; ode_state holds it
  core_failure,   // the evolve call failed on a failure of the core, left in rope.mbs.status
};

// One frame's integration, from sim_time to sim_time + frame_span, with no report and no frame
// count. Every accepted step is checked by the divergence guard.
FrameEnd integrate_frame();

enum class FrameOutcome {
  quiet,         // integrated and counted, not a report frame
  reported,      // the SimTime and RealTime lines were written (the caller requests a redraw)
  diverged,      // the state diverged: nothing written, frame not counted; the caller ends the run
  core_failure,  // as diverged, for a failure of the core (rope.mbs.status says which)
};

// One frame: integrate from sim_time to sim_time + frame_span, count the frame and, on a report
// frame, write the SimTime and RealTime lines. A failing evolve call prints "Hamilton failed."
// and ends the frame's loop; the next frame tries again.
FrameOutcome advance_frame(std::ostream& out);
