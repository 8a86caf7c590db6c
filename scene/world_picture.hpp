// What the pictures show of the rope's world (docs/world.md), shared by the window, the headless
// frames and the page: the ground as a band below its line, each peg as a disc, the fluid as a
// translucent fill below its surface (the whole view with no surface) and the surface as a line.
// Shapes are in metres on the drawing plane, cut to a rectangle around the view, so each drawing
// only maps corners to its pixels; a rope without the world's keys has none of them.
#pragma once

#include <array>
#include <vector>

#include "rope/rope_parameters.hpp"
#include "scene/camera.hpp"

// One colour in 8-bit channels, so that OpenGL, Cairo and the page's canvas give the same pixels.
struct Colour8 {
  unsigned char r, g, b;
};

constexpr Colour8 ground_colour = {150, 130, 105};  // brownish grey
constexpr Colour8 peg_colour = {128, 128, 128};     // grey
constexpr Colour8 fluid_colour = {40, 110, 230};    // blue, laid over the background
constexpr double fluid_opacity = 0.2;
constexpr Colour8 surface_colour = {20, 80, 200};
constexpr double surface_line_width = 2.0;  // pixels
// The shapes reach this many view sizes beyond the view on every side.
constexpr double world_margin = 1.0;

using Point = std::array<double, 2>;

// A rectangle of the drawing plane, m.
struct Region {
  double left, right, bottom, top;
};

// What the camera shows of the drawing plane in a view of aspect width / height, grown by
// world_margin times its size on every side.
Region region_around_view(const Camera& camera, double aspect);

// A convex polygon, counterclockwise; count 0 when there is nothing to fill. A half-plane cuts a
// rectangle into at most five corners.
struct Polygon {
  std::array<Point, 5> corners{};
  int count = 0;
};

struct Disc {
  Point centre;
  double radius;  // m
};

struct WorldPicture {
  Polygon ground;  // the region below the ground line
  Polygon fluid;   // the region below the fluid's surface
  bool has_surface = false;
  std::array<Point, 2> surface{};  // the surface line across the region
  std::vector<Disc> pegs;
};


// The world of `parameters` within `region`.
WorldPicture world_picture(const RopeParameters& parameters, const Region& region);
