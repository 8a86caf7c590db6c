// Pictures of a simulation without a window: the window's scene (each body a thin red box along
// its own x axis, each carriage a small black disc on the horizontal axis, white background, the
// rope's world under them as scene/world_picture.hpp has it) seen through the window's camera,
// drawn with Cairo into an image, with the simulated time in a corner.
#pragma once

#include <cairo.h>

#include <memory>
#include <string>
#include <vector>

#include "scene/camera.hpp"
#include "stepping/placements.hpp"
#include "stepping/simulation.hpp"

struct CairoDeleter {
  void operator()(cairo_surface_t* surface) const { cairo_surface_destroy(surface); }
  void operator()(cairo_t* context) const { cairo_destroy(context); }
};

struct FrameRenderer {
  int width = 700;  // pixels, the window's size
  int height = 500;
  Camera camera;
  std::unique_ptr<cairo_surface_t, CairoDeleter> surface;  // 32-bit pixels, B G R A in memory
  std::unique_ptr<cairo_t, CairoDeleter> context;
  std::vector<double> rates;  // scratch for the evaluation of the state drawn
  Placements placements;      // of the state drawn
};

// A white image of the given size. False when Cairo cannot make it.
bool init_renderer(FrameRenderer& renderer, int width, int height);

// Draws the simulation's current state. The right-hand side is evaluated once at that state so
// that the placements drawn are the state's own (not those of the integrator's last trial stage).
// The integrator does not read the body records between evaluations, and none of the rope's joint
// kinds reads the previous evaluation, so the trajectory stays the same.
void render_frame(FrameRenderer& renderer, Simulation& sim);

// The image's pixels, height rows of `stride` bytes.
const unsigned char* frame_pixels(FrameRenderer& renderer);
int frame_stride(const FrameRenderer& renderer);

bool write_png(FrameRenderer& renderer, const std::string& path);
