// The page's entry points: the rope library behind a few plain C functions that JavaScript calls
// through the module (numbers in, numbers out; arrays handed over as pointers into the module's
// memory). One simulation at a time, held here: this file is the program, like view/main.cpp.
#include <emscripten/emscripten.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "scene/camera.hpp"
#include "scene/world_picture.hpp"
#include "stepping/driver.hpp"
#include "stepping/placements.hpp"
#include "rope/rope_parameters.hpp"
#include "stepping/script.hpp"
#include "stepping/simulation.hpp"

namespace {

struct Page {
  RopeParameters parameters;  // what the next start builds
  std::unique_ptr<Simulation> simulation;
  Script script;  // scripted target moves, sorted at each start
  Placements bodies;                // read at each web_placements
  std::vector<double> placements;  // per body: x, y, angle (rad), length (m)
  std::array<double, 2> pixel{};
  std::vector<double> world;  // a shape of the world or the pegs, in pixels
  std::string error;
  Camera camera;  // the window program's camera
};

Page page;

}  // namespace

extern "C" {

// The reason the last web_set_parameter or web_start failed.
EMSCRIPTEN_KEEPALIVE const char* web_error() {
  return page.error.c_str();
}

// Back to the model's defaults for the next start.
EMSCRIPTEN_KEEPALIVE void web_reset_parameters() {
  page.parameters = RopeParameters{};
}

// Sets one key of the next start's parameters from its text, as a model file would: 0, or 1 with
// the model file's message in web_error().
EMSCRIPTEN_KEEPALIVE int web_set_parameter(const char* key, const char* text) {
  page.error.clear();
  return set_parameter(page.parameters, key, text, page.error) ? 0 : 1;
}

// A scripted move, applied from the first frame that starts at or after `time` (s); kept across
// starts until web_clear_moves.
EMSCRIPTEN_KEEPALIVE void web_add_move(int carriage, double target, double time) {
  page.script.moves.push_back({carriage, target, time});
}

EMSCRIPTEN_KEEPALIVE void web_clear_moves() {
  page.script.moves.clear();
}

// Builds a new rope from the parameters set so far, at t = 0. Returns 0, or 1 with the reason in
// web_error() (the previous rope is kept).
EMSCRIPTEN_KEEPALIVE int web_start() {
  page.error.clear();
  if (!check_parameters(page.parameters, page.error)) return 1;
  // The search for rest runs on the implicit methods' Krylov solver, which the page leaves out.
  if (page.parameters.initial_state == InitialState::rest) {
    page.error = "initial_state \"rest\" is not available on the page";
    return 1;
  }
  auto simulation = std::make_unique<Simulation>();
  const MbsStatus status = start_simulation(*simulation, page.parameters);
  if (status != MbsStatus::ok) {
    page.error = "the rope could not be built (" + std::string(mbs_status_message(status)) + ")";
    return 1;
  }
  page.simulation = std::move(simulation);
  start_script(page.script, *page.simulation);
  return 0;
}

// One frame of sim.frame_span (0.01 s): the due scripted moves, then the integration. Returns 0
// when the frame reached its end, 1 when the rope diverged, the core or the step failed (message
// in web_error()).
EMSCRIPTEN_KEEPALIVE int web_frame() {
  Simulation& sim = *page.simulation;
  const FrameEnd end = run_frame(sim, &page.script);
  if (end == FrameEnd::reached) return 0;
  page.error = stop_message(sim, end);
  return 1;
}

// What a drag does: carriage 1 or 2 driven towards x (m).
EMSCRIPTEN_KEEPALIVE void web_set_target(int carriage, double x) {
  set_target(*page.simulation, carriage, x);
}

EMSCRIPTEN_KEEPALIVE double web_time() {
  return page.simulation->time;
}

EMSCRIPTEN_KEEPALIVE int web_body_count() {
  return static_cast<int>(page.simulation->rope.bodies.size());
}

// Per body x, y (m), angle (rad) and length (m): where the last evaluation left them, true from
// the start. Valid until the next call.
EMSCRIPTEN_KEEPALIVE const double* web_placements() {
  read_placements(*page.simulation, page.bodies);
  const auto& bodies = page.bodies.bodies;
  page.placements.resize(4 * bodies.size());
  for (std::size_t k = 0; k < bodies.size(); ++k) {
    const BodyPlacement& body = bodies[k];
    page.placements[4 * k] = body.origin[0];
    page.placements[4 * k + 1] = body.origin[1];
    page.placements[4 * k + 2] = body.angle;
    page.placements[4 * k + 3] = body.length;
  }
  return page.placements.data();
}

// Position of carriage 1 or 2 along x (m).
EMSCRIPTEN_KEEPALIVE double web_carriage(int carriage) {
  return page.simulation->rope.carriages.carriage_state[2 * (carriage - 1)];
}

// The ODE state (web_dimension() values: q, p, x1, v1, x2, v2).
EMSCRIPTEN_KEEPALIVE int web_dimension() {
  return page.simulation->layout.dimension;
}
EMSCRIPTEN_KEEPALIVE const double* web_state() {
  return page.simulation->state.data();
}

// The window's camera: pixel (column, row from the top) of the plane point (x, y) in a width x
// height view. Valid until the next call.
EMSCRIPTEN_KEEPALIVE const double* web_world_to_pixel(int width, int height, double x, double y) {
  page.pixel = world_to_pixel(page.camera, width, height, x, y);
  return page.pixel.data();
}

// World x under pixel column `column`, as a drag in the window maps it.
EMSCRIPTEN_KEEPALIVE double web_column_to_world_x(int width, int height, int column) {
  const auto aspect = static_cast<float>(static_cast<double>(width) / static_cast<double>(height));
  return column_to_world_x(page.camera, aspect, width, column);
}

EMSCRIPTEN_KEEPALIVE double web_metres_per_pixel(int height) {
  return metres_per_pixel(page.camera, height);
}

// The running rope's world as the pictures draw it (scene/world_picture.hpp) in a width x height
// view, in pixels: `shape` 0 is the ground's band, 1 the fluid below its surface, 2 the surface
// line. The corner count n, then n (column, row) pairs; n = 0 when the rope has no such shape.
// Valid until the next call.
EMSCRIPTEN_KEEPALIVE const double* web_world_shape(int shape, int width, int height) {
  const WorldPicture world =
      world_picture(page.simulation->parameters,
                    region_around_view(page.camera, static_cast<double>(width) / height));
  Polygon line;  // the surface as a shape of two corners
  if (world.has_surface) line = {{world.surface[0], world.surface[1]}, 2};
  const Polygon& chosen = shape == 0 ? world.ground : shape == 1 ? world.fluid : line;
  page.world.assign(1, chosen.count);
  for (int i = 0; i < chosen.count; ++i) {
    const auto pixel =
        world_to_pixel(page.camera, width, height, chosen.corners[i][0], chosen.corners[i][1]);
    page.world.insert(page.world.end(), pixel.begin(), pixel.end());
  }
  return page.world.data();
}

// The running rope's pegs in a width x height view: per peg its centre's column and row and its
// radius, in pixels. Valid until the next call.
EMSCRIPTEN_KEEPALIVE int web_peg_count() {
  return static_cast<int>(page.simulation->parameters.pegs.size() / 3);
}
EMSCRIPTEN_KEEPALIVE const double* web_pegs(int width, int height) {
  const std::vector<double>& pegs = page.simulation->parameters.pegs;
  page.world.clear();
  for (std::size_t i = 0; i + 2 < pegs.size(); i += 3) {
    const auto pixel = world_to_pixel(page.camera, width, height, pegs[i], pegs[i + 1]);
    page.world.insert(page.world.end(),
                      {pixel[0], pixel[1], pegs[i + 2] / metres_per_pixel(page.camera, height)});
  }
  return page.world.data();
}

// Mean wall time of one right-hand side at the current state over `count` evaluations, in
// microseconds: for the speed comparison with the native build.
EMSCRIPTEN_KEEPALIVE double web_rhs_microseconds(int count) {
  Simulation& sim = *page.simulation;
  std::vector<double> rates(static_cast<std::size_t>(sim.layout.dimension));
  const double start = emscripten_get_now();
  for (int i = 0; i < count; ++i) hamilton_rhs(sim.time, sim.state.data(), rates.data(), &sim);
  const double elapsed = emscripten_get_now() - start;  // ms
  return 1000.0 * elapsed / count;
}

// One frame like web_frame, but of at most `span` s (the frame span, or a part of it for a rope
// whose whole frame takes longer than the page may block the browser; the parts end on other
// step boundaries, so such a run strays from whole frames within the tolerance) and giving up
// after `budget_ms` of wall time. Returns 0 when it reached its end, 1 as web_frame, 2 when the
// budget ran out first: the simulation is then as the call found it, frame count included.
EMSCRIPTEN_KEEPALIVE int web_frame_within(double budget_ms, double span) {
  Simulation& sim = *page.simulation;
  struct Deadline {
    double at;
    bool passed;
  } deadline{emscripten_get_now() + budget_ms, false};
  const double whole = sim.frame_span;
  const auto count = sim.frame_count;
  sim.frame_span = span > 0.0 && span < whole ? span : whole;
  sim.interrupt_check = [](void* context) {
    auto* d = static_cast<Deadline*>(context);
    d->passed = emscripten_get_now() >= d->at;
    return d->passed;
  };
  sim.interrupt_context = &deadline;
  const int failed = web_frame();
  sim.interrupt_check = nullptr;
  sim.interrupt_context = nullptr;
  sim.frame_span = whole;
  // The check fires only to stop the frame, which is then undone whole.
  if (deadline.passed) {
    page.error.clear();
    sim.frame_count = count;
    return 2;
  }
  return failed;
}

}  // extern "C"
