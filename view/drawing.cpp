#include <GL/glu.h>
#include <GL/glut.h>

#include <cmath>

#include "scene/world_picture.hpp"
#include "stepping/placements.hpp"
#include "stepping/simulation.hpp"
#include "view/controls.hpp"
#include "view/viewer.hpp"

constexpr double near_plane = 0.1;      // m
constexpr double display_far_plane = 3000.0;
constexpr double reshape_far_plane = 100.0;
constexpr double degrees_per_radian = 57.29577951308232;
constexpr GLfloat link_box_thickness = 0.01f;
constexpr double carriage_radius = 0.01;
constexpr int carriage_slices = 10;
constexpr int carriage_stacks = 10;
constexpr int peg_segments = 64;  // sides of the polygon that draws a peg's disc

static Placements placements;  // read at each display

// Each body a thin red box along its own x axis from its joint to its far end, at the placement
// the last evaluation left.
static void draw_bodies() {
  glPushMatrix();
  glColor4f(1.0f, 0.0f, 0.0f, 0.0f);
  read_placements(*view.simulation, placements);
  for (const BodyPlacement& body : placements.bodies) {
    const auto link_box_length = static_cast<GLfloat>(body.length);
    const auto link_box_offset = static_cast<GLfloat>(body.length / 2.0);
    glPushMatrix();
    glTranslatef(static_cast<GLfloat>(body.origin[0]), static_cast<GLfloat>(body.origin[1]),
                 0.0f);
    glRotatef(static_cast<GLfloat>(degrees_per_radian * body.angle), 0.0f, 0.0f, 1.0f);
    glTranslatef(link_box_offset, 0.0f, 0.0f);
    glScalef(link_box_length, link_box_thickness, link_box_thickness);
    glutSolidCube(1.0);
    glPopMatrix();
  }
  glPopMatrix();
}

// Each carriage a small black sphere on the horizontal axis.
static void draw_carriages() {
  const double* carriage_state = view.simulation->rope.carriages.carriage_state;
  const double positions[2] = {carriage_state[0], carriage_state[2]};
  for (const double x : positions) {
    glColor4f(0.0f, 0.0f, 0.0f, 1.0f);
    glPushMatrix();
    glTranslatef(static_cast<GLfloat>(x), 0.0f, 0.0f);
    glutSolidSphere(carriage_radius, carriage_slices, carriage_stacks);
    glPopMatrix();
  }
}

static void set_colour(Colour8 colour, double opacity = 1.0) {
  glColor4ub(colour.r, colour.g, colour.b, static_cast<GLubyte>(std::lround(255.0 * opacity)));
}

static void fill_polygon(const Polygon& polygon) {
  if (polygon.count == 0) return;
  glBegin(GL_POLYGON);
  for (int i = 0; i < polygon.count; ++i) glVertex2d(polygon.corners[i][0], polygon.corners[i][1]);
  glEnd();
}

static void fill_disc(const Disc& disc) {
  glBegin(GL_TRIANGLE_FAN);
  glVertex2d(disc.centre[0], disc.centre[1]);
  for (int i = 0; i <= peg_segments; ++i) {
    const double angle = 6.283185307179586 * i / peg_segments;
    glVertex2d(disc.centre[0] + disc.radius * std::cos(angle),
               disc.centre[1] + disc.radius * std::sin(angle));
  }
  glEnd();
}

// The world under the rope on the plane z = 0 (scene/world_picture.hpp): the fluid's tint and
// surface, then the ground and the pegs, flat colours as the pictures have them (no lighting) and
// no depth written, so the rope's boxes and the carriages always show over them.
static void draw_world() {
  const RopeParameters& parameters = view.simulation->parameters;
  if (!has_world(parameters)) return;
  const WorldPicture world =
      world_picture(parameters, region_around_view(view.camera, view.aspect));
  glDisable(GL_LIGHTING);
  glDepthMask(GL_FALSE);
  glEnable(GL_BLEND);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  set_colour(fluid_colour, fluid_opacity);
  fill_polygon(world.fluid);
  glDisable(GL_BLEND);  // the rope's red has alpha 0
  if (world.has_surface) {
    set_colour(surface_colour);
    glLineWidth(static_cast<GLfloat>(surface_line_width));
    glBegin(GL_LINES);
    for (const Point& end : world.surface) glVertex2d(end[0], end[1]);
    glEnd();
  }
  set_colour(ground_colour);
  fill_polygon(world.ground);
  set_colour(peg_colour);
  for (const Disc& peg : world.pegs) fill_disc(peg);
  glDepthMask(GL_TRUE);
  glEnable(GL_LIGHTING);
}

void on_display() {
  glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  gluPerspective(field_of_view_y, view.aspect, near_plane, display_far_plane);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  // Straight along -z at the point below the eye, y up.
  gluLookAt(view.camera.x, view.camera.y, view.camera.distance, view.camera.x, view.camera.y, 0.0,
            0.0, 1.0, 0.0);
  draw_world();
  draw_bodies();
  draw_carriages();
  glDisable(GL_BLEND);
  glutSwapBuffers();
}

void on_reshape(int width, int height) {
  reshape_view(width, height);
  glViewport(0, 0, width, height);
  glMatrixMode(GL_PROJECTION);
  glLoadIdentity();
  gluPerspective(field_of_view_y, view.aspect, near_plane, reshape_far_plane);
  glMatrixMode(GL_MODELVIEW);
  glLoadIdentity();
  // Aimed at the origin until the next frame's own camera.
  gluLookAt(view.camera.x, view.camera.y, view.camera.distance, 0.0, 0.0, 0.0, 0.0, 1.0, 0.0);
}
