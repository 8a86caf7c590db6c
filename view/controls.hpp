// View values and the mapping from window events to simulation inputs. No GL in here: the window
// callbacks (window.cpp, drawing.cpp) only forward to these functions, so the mapping can be
// checked without a display.
#pragma once

#include <cstdint>
#include <ostream>

#include "scene/camera.hpp"
#include "view/frame_report.hpp"

struct Simulation;

// The window's values and the simulation it shows. The toolkit's callbacks take no user data, so
// they reach both through this one record.
struct ViewState {
  Simulation* simulation = nullptr;
  int32_t window_width = 700;  // pixels
  int32_t window_height = 500;
  float aspect = 1.0f;  // window width / height
  Camera camera;
  int32_t selected_carriage = 1;  // 1 or 2: whose target a drag moves
  FrameClock clock;               // of the frame report
};

extern ViewState view;

constexpr int left_button = 0;  // the toolkit's button numbers
constexpr int right_button = 2;
constexpr int dumped_coordinate_count = 25;  // base x, y, angle and links 1 to 22

// New window size. A zero or negative size keeps the previous aspect (no division by zero).
void reshape_view(int width, int height);
// Left selects carriage 1, right carriage 2; other buttons keep the selection. Press and release
// alike.
void select_carriage(int button);
// Sets the selected carriage's target to the world x under the cursor column x. Nothing changes
// while the window has no width.
void drag_carriage_target(int x);
// World x on the drawing plane under cursor column x.
double cursor_to_world_x(int x);
// Writes q[0..24], one value a line.
void dump_coordinates(std::ostream& out);
// Key a dumps the coordinates and ends the program with status 0; every other key does nothing.
void key_command(unsigned char key, std::ostream& out);
