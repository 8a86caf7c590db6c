#include "scene/world_picture.hpp"

#include <cmath>

namespace {

// The part of `region` where up . p <= level: the rectangle's corners on that side and the points
// where its edges cross the line (Sutherland-Hodgman against one edge). Less than a triangle is
// nothing.
Polygon below_line(const Region& region, const Point& up, double level) {
  const Point corners[4] = {{region.left, region.bottom},
                            {region.right, region.bottom},
                            {region.right, region.top},
                            {region.left, region.top}};
  Polygon kept;
  for (int i = 0; i < 4; ++i) {
    const Point& a = corners[i];
    const Point& b = corners[(i + 1) % 4];
    const double above_a = up[0] * a[0] + up[1] * a[1] - level;
    const double above_b = up[0] * b[0] + up[1] * b[1] - level;
    if (above_a <= 0.0) kept.corners[kept.count++] = a;
    if ((above_a < 0.0 && above_b > 0.0) || (above_a > 0.0 && above_b < 0.0)) {
      const double s = above_a / (above_a - above_b);
      kept.corners[kept.count++] = {a[0] + s * (b[0] - a[0]), a[1] + s * (b[1] - a[1])};
    }
  }
  if (kept.count < 3) kept.count = 0;
  return kept;
}

}  // namespace

Region region_around_view(const Camera& camera, double aspect) {
  const double half_height = camera.distance * std::tan(half_field_of_view);
  const double half_width = half_height * aspect;
  const double grow = 1.0 + 2.0 * world_margin;
  return {camera.x - grow * half_width, camera.x + grow * half_width, camera.y - grow * half_height,
          camera.y + grow * half_height};
}

WorldPicture world_picture(const RopeParameters& parameters, const Region& region) {
  WorldPicture picture;
  if (parameters.ground_height) {
    // Solid where the height along the ground's normal up = (-sin, cos) is negative, as the
    // contact force has it (forces/ground_contact.cpp): any slope, none of tan's overflow.
    const double slope = parameters.ground_slope;
    const Point up = {-std::sin(slope), std::cos(slope)};
    picture.ground = below_line(region, up, up[1] * *parameters.ground_height);
  }
  if (parameters.fluid_density > 0.0) {
    const double surface = parameters.fluid_surface ? *parameters.fluid_surface : region.top;
    picture.fluid = below_line(region, {0.0, 1.0}, surface);
    picture.has_surface = parameters.fluid_surface.has_value();
    picture.surface = {Point{region.left, surface}, Point{region.right, surface}};
  }
  for (std::size_t i = 0; i + 2 < parameters.pegs.size(); i += 3)
    picture.pegs.push_back({{parameters.pegs[i], parameters.pegs[i + 1]}, parameters.pegs[i + 2]});
  return picture;
}
