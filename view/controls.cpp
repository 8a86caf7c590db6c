#include "view/controls.hpp"

#include <cmath>
#include <cstdlib>

#include "app/simulation.hpp"

ViewState view;

void reshape_view(int width, int height) {
  view.window_height = height;
  view.window_width = width;
  // A minimised or collapsed window: keep the last sensible aspect.
  if (width > 0 && height > 0)
    view.aspect = static_cast<float>(static_cast<double>(width) / static_cast<double>(height));
}

void select_carriage(int button) {
  if (button == left_button)
    view.selected_carriage = 1;
  else if (button == right_button)
    view.selected_carriage = 2;
}

// The eye looks along -z from camera_distance: the plane z = 0 spans
// +-camera_distance * tan(fovy / 2) * aspect horizontally about camera_x.
double cursor_to_world_x(int x) {
  return std::tan(half_field_of_view) * (2.0 * x / view.window_width - 1.0) * view.aspect *
             view.camera_distance +
         view.camera_x;
}

void drag_carriage_target(int x) {
  if (view.window_width == 0) return;
  set_target(*view.simulation, view.selected_carriage, cursor_to_world_x(x));
}

void dump_coordinates(std::ostream& out) {
  const Mbs& mbs = view.simulation->rope.mbs;
  for (int i = 0; i < dumped_coordinate_count && i < mbs.coordinate_count; ++i)
    out << mbs.q[i] << std::endl;
}

void key_command(unsigned char key, std::ostream& out) {
  if (key != 'a') return;
  dump_coordinates(out);
  std::exit(0);
}
