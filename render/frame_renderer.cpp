#include "render/frame_renderer.hpp"

#include <cmath>
#include <cstdio>

#include "scene/world_picture.hpp"

namespace {

constexpr double box_thickness = 0.01;    // m, as the window's boxes
constexpr double carriage_radius = 0.01;  // m
// A payload's disc has the area of a carriage's for the mass of one default link, and its area
// grows in proportion to the mass.
constexpr double payload_reference_mass = 0.04;  // kg

void move_to(cairo_t* cr, const FrameRenderer& r, const Point& p) {
  const auto pixel = world_to_pixel(r.camera, r.width, r.height, p[0], p[1]);
  cairo_move_to(cr, pixel[0], pixel[1]);
}

void line_to(cairo_t* cr, const FrameRenderer& r, const Point& p) {
  const auto pixel = world_to_pixel(r.camera, r.width, r.height, p[0], p[1]);
  cairo_line_to(cr, pixel[0], pixel[1]);
}

// A body is a rod from its joint point to the next joint point.
void draw_body(cairo_t* cr, const FrameRenderer& r, const BodyPlacement& body) {
  const double half = box_thickness / 2.0;
  move_to(cr, r, placement_point(body, {0.0, -half}));
  line_to(cr, r, placement_point(body, {body.length, -half}));
  line_to(cr, r, placement_point(body, {body.length, half}));
  line_to(cr, r, placement_point(body, {0.0, half}));
  cairo_close_path(cr);
}

// A disc of `radius` m about the world point p.
void add_disc(cairo_t* cr, const FrameRenderer& r, const Point& p, double radius) {
  const auto centre = world_to_pixel(r.camera, r.width, r.height, p[0], p[1]);
  cairo_new_sub_path(cr);
  cairo_arc(cr, centre[0], centre[1], radius / metres_per_pixel(r.camera, r.height), 0.0,
            6.283185307179586);
}

void draw_carriage(cairo_t* cr, const FrameRenderer& r, double x) {
  add_disc(cr, r, {x, 0.0}, carriage_radius);
}

// The payload at the far end of the last link, which carriage 2 holds.
void draw_payload(cairo_t* cr, const FrameRenderer& r, double mass) {
  if (mass <= 0.0) return;
  cairo_set_source_rgb(cr, 0.1, 0.2, 0.6);
  add_disc(cr, r, r.placements.far_end, carriage_radius * std::sqrt(mass / payload_reference_mass));
  cairo_fill(cr);
}

void set_colour(cairo_t* cr, Colour8 colour, double opacity = 1.0) {
  cairo_set_source_rgba(cr, colour.r / 255.0, colour.g / 255.0, colour.b / 255.0, opacity);
}

void fill_polygon(cairo_t* cr, const FrameRenderer& r, const Polygon& polygon) {
  if (polygon.count == 0) return;
  move_to(cr, r, polygon.corners[0]);
  for (int i = 1; i < polygon.count; ++i) line_to(cr, r, polygon.corners[i]);
  cairo_close_path(cr);
  cairo_fill(cr);
}

// The world under the rope (scene/world_picture.hpp): the fluid's tint and surface, then the
// ground and the pegs over them.
void draw_world(cairo_t* cr, const FrameRenderer& r, const RopeParameters& parameters) {
  const WorldPicture world = world_picture(
      parameters, region_around_view(r.camera, static_cast<double>(r.width) / r.height));
  set_colour(cr, fluid_colour, fluid_opacity);
  fill_polygon(cr, r, world.fluid);
  if (world.has_surface) {
    set_colour(cr, surface_colour);
    cairo_set_line_width(cr, surface_line_width);
    move_to(cr, r, world.surface[0]);
    line_to(cr, r, world.surface[1]);
    cairo_stroke(cr);
  }
  set_colour(cr, ground_colour);
  fill_polygon(cr, r, world.ground);
  set_colour(cr, peg_colour);
  for (const Disc& peg : world.pegs) add_disc(cr, r, peg.centre, peg.radius);
  cairo_fill(cr);
}

void draw_time(cairo_t* cr, double time) {
  char text[64];
  std::snprintf(text, sizeof text, "t = %.2f s", time);
  cairo_select_font_face(cr, "sans-serif", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, 14.0);
  cairo_set_source_rgb(cr, 0.0, 0.0, 0.0);
  cairo_move_to(cr, 8.0, 20.0);
  cairo_show_text(cr, text);
}

}  // namespace

bool init_renderer(FrameRenderer& renderer, int width, int height) {
  renderer.width = width;
  renderer.height = height;
  renderer.surface.reset(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height));
  if (cairo_surface_status(renderer.surface.get()) != CAIRO_STATUS_SUCCESS) return false;
  renderer.context.reset(cairo_create(renderer.surface.get()));
  return cairo_status(renderer.context.get()) == CAIRO_STATUS_SUCCESS;
}

void render_frame(FrameRenderer& renderer, Simulation& sim) {
  renderer.rates.resize(sim.state.size());
  hamilton_rhs(sim.time, sim.state.data(), renderer.rates.data(), &sim);
  update_body_records(sim.rope.mbs);
  read_placements(sim, renderer.placements);
  cairo_t* cr = renderer.context.get();
  cairo_set_source_rgb(cr, 1.0, 1.0, 1.0);
  cairo_paint(cr);
  if (has_world(sim.parameters)) draw_world(cr, renderer, sim.parameters);
  cairo_set_source_rgb(cr, 1.0, 0.0, 0.0);
  for (const BodyPlacement& body : renderer.placements.bodies) draw_body(cr, renderer, body);
  cairo_fill(cr);
  draw_payload(cr, renderer, sim.parameters.payload_mass);
  cairo_set_source_rgb(cr, 0.0, 0.0, 0.0);
  const double* carriages = sim.rope.carriages.carriage_state;
  draw_carriage(cr, renderer, carriages[0]);
  draw_carriage(cr, renderer, carriages[2]);
  cairo_fill(cr);
  draw_time(cr, sim.time);
  cairo_surface_flush(renderer.surface.get());
}

const unsigned char* frame_pixels(FrameRenderer& renderer) {
  return cairo_image_surface_get_data(renderer.surface.get());
}

int frame_stride(const FrameRenderer& renderer) {
  return cairo_image_surface_get_stride(renderer.surface.get());
}

bool write_png(FrameRenderer& renderer, const std::string& path) {
  return cairo_surface_write_to_png(renderer.surface.get(), path.c_str()) == CAIRO_STATUS_SUCCESS;
}
