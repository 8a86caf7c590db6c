// The camera that the window and the headless renderer share: the eye at (x, y, distance) looks
// along -z at the point (x, y) of the drawing plane z = 0, y up, with a 45 degree vertical field of
// view. A point of the plane at (px, py) lands at normalised device coordinates
// ((px - x) / (distance tan(fovy/2) aspect), (py - y) / (distance tan(fovy/2))).
#pragma once

#include <array>

struct Camera {
  double x = 0.0;  // m; the eye and the point it looks at
  double y = -0.3;
  double distance = 2.0;  // m; the eye's z, its distance from the drawing plane
};

constexpr double field_of_view_y = 45.0;  // degrees
// Half the vertical field of view in radians (pi/8 to six decimals): tan of it turns a normalised
// position into a distance on the drawing plane.
constexpr double half_field_of_view = 0.392699;

// World x on the drawing plane under pixel column `column` of a view `width` pixels wide.
double column_to_world_x(const Camera& camera, float aspect, int width, int column);

// Pixel position (column, row counted from the top; fractional, pixel centres at +0.5) of the
// point (x, y) of the drawing plane in a width x height view.
std::array<double, 2> world_to_pixel(const Camera& camera, int width, int height, double x,
                                     double y);

// Metres of the drawing plane per pixel (the same along both axes) in a view `height` tall.
double metres_per_pixel(const Camera& camera, int height);
