#include "view/controls.hpp"

#include <cmath>
#include <cstdlib>

#include "stepping/simulation.hpp"

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

double cursor_to_world_x(int x) {
  return column_to_world_x(view.camera, view.aspect, view.window_width, x);
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
