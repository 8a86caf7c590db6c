#include "scene/camera.hpp"

#include <cmath>

// The plane spans +-distance tan(fovy/2) aspect horizontally about the camera's x.
double column_to_world_x(const Camera& camera, float aspect, int width, int column) {
  return std::tan(half_field_of_view) * (2.0 * column / width - 1.0) * aspect * camera.distance +
         camera.x;
}

std::array<double, 2> world_to_pixel(const Camera& camera, int width, int height, double x,
                                     double y) {
  const double half_height = camera.distance * std::tan(half_field_of_view);
  const double aspect = static_cast<double>(width) / height;
  const double ndc_x = (x - camera.x) / (half_height * aspect);
  const double ndc_y = (y - camera.y) / half_height;
  return {(1.0 + ndc_x) * width / 2.0, (1.0 - ndc_y) * height / 2.0};
}

double metres_per_pixel(const Camera& camera, int height) {
  return 2.0 * camera.distance * std::tan(half_field_of_view) / height;
}
