// From window events to simulation inputs: reshape, carriage selection, drags and keys.
#include <unistd.h>

#include <cmath>
#include <sstream>

#include "tests/app/start_up.hpp"
#include "view/controls.hpp"

namespace {

class Controls : public testing::Test {
 protected:
  void SetUp() override {
    start_default_simulation();
    view = ViewState{};
    view.simulation = &sim();
  }
  const double* targets() const { return sim().rope.carriages.drive_target; }
};

// Half the width of the plane z = 0 seen by the camera: distance * tan(fovy / 2) * aspect, with
// tan(22.5 deg) = sqrt(2) - 1. The program uses 0.392699 for 22.5 deg (pi/8 rounded to six
// decimals, an error of 8e-8 rad, 2e-7 in the result) and a single-precision aspect (relative
// error 3e-8), hence 1e-6.
double visible_half_width(double aspect) { return 2.0 * (std::sqrt(2.0) - 1.0) * aspect; }
constexpr double mapping_tolerance = 1e-6;

TEST_F(Controls, ReshapeKeepsSizeAndAspect) {
  reshape_view(700, 500);
  EXPECT_EQ(view.window_width, 700);
  EXPECT_EQ(view.window_height, 500);
  EXPECT_EQ(view.aspect, 1.4f);
  reshape_view(1000, 500);
  EXPECT_EQ(view.window_width, 1000);
  EXPECT_EQ(view.aspect, 2.0f);
}

TEST_F(Controls, ReshapeToZeroHeightOrWidthKeepsThePreviousAspect) {
  reshape_view(1000, 500);
  reshape_view(700, 0);
  EXPECT_EQ(view.aspect, 2.0f);
  EXPECT_EQ(view.window_width, 700);
  EXPECT_EQ(view.window_height, 0);
  reshape_view(0, 500);
  EXPECT_EQ(view.aspect, 2.0f);
  EXPECT_EQ(view.window_width, 0);
}

TEST_F(Controls, DragMapsTheCursorColumnToWorldX) {
  reshape_view(700, 500);
  drag_carriage_target(350);  // the middle column looks straight down the axis
  EXPECT_EQ(targets()[0], 0.0);
  drag_carriage_target(700);
  EXPECT_NEAR(targets()[0], visible_half_width(1.4), mapping_tolerance);
  EXPECT_NEAR(targets()[0], 1.1598, 1e-4);
  drag_carriage_target(0);
  EXPECT_NEAR(targets()[0], -visible_half_width(1.4), mapping_tolerance);
  drag_carriage_target(175);  // a quarter of the way across
  EXPECT_NEAR(targets()[0], -0.5 * visible_half_width(1.4), mapping_tolerance);
}

TEST_F(Controls, BeforeAnyReshapeTheDragUsesAspectOne) {
  drag_carriage_target(700);
  EXPECT_NEAR(targets()[0], visible_half_width(1.0), mapping_tolerance);
}

TEST_F(Controls, DragFollowsTheCamerasHorizontalPosition) {
  reshape_view(700, 500);
  view.camera.x = 0.25;
  drag_carriage_target(350);
  EXPECT_EQ(targets()[0], 0.25);
}

TEST_F(Controls, DragInAWindowWithoutWidthChangesNothing) {
  reshape_view(0, 500);
  drag_carriage_target(0);
  drag_carriage_target(350);
  EXPECT_EQ(targets()[0], -0.2);
  EXPECT_EQ(targets()[1], 0.6);
}

TEST_F(Controls, LeftMovesCarriage1RightCarriage2MiddleKeepsTheSelection) {
  reshape_view(700, 500);
  drag_carriage_target(350);  // before any button: carriage 1
  EXPECT_EQ(targets()[0], 0.0);
  EXPECT_EQ(targets()[1], 0.6);

  select_carriage(right_button);
  drag_carriage_target(700);
  EXPECT_EQ(targets()[0], 0.0);
  EXPECT_NEAR(targets()[1], visible_half_width(1.4), mapping_tolerance);

  select_carriage(1);  // middle
  drag_carriage_target(0);
  EXPECT_EQ(targets()[0], 0.0);
  EXPECT_NEAR(targets()[1], -visible_half_width(1.4), mapping_tolerance);

  select_carriage(left_button);
  select_carriage(1);
  drag_carriage_target(700);
  EXPECT_NEAR(targets()[0], visible_half_width(1.4), mapping_tolerance);
  EXPECT_NEAR(targets()[1], -visible_half_width(1.4), mapping_tolerance);

  select_carriage(3);  // wheel
  select_carriage(4);
  EXPECT_EQ(view.selected_carriage, 1);
}

// Distinct values in every coordinate, so a dump that started late, stopped early or ran on
// into the last two link angles shows in the text.
void fill_coordinates() {
  for (int i = 0; i < rope_coordinate_count; ++i) sim().rope.mbs.q[i] = i + 0.5;
}

TEST_F(Controls, DumpWritesTheFirst25Coordinates) {
  fill_coordinates();
  std::ostringstream out;
  dump_coordinates(out);
  std::string expected;
  for (int i = 0; i < 25; ++i) expected += std::to_string(i) + ".5\n";
  EXPECT_EQ(out.str(), expected);
}

void key_with_stdout_on_stderr(unsigned char key) {
  dup2(STDERR_FILENO, STDOUT_FILENO);
  key_command(key, std::cout);
}

TEST_F(Controls, KeyADumpsExactly25LinesAndExitsWithStatus0) {
  fill_coordinates();
  std::string lines;
  for (int i = 0; i < 25; ++i) lines += std::to_string(i) + "\\.5\n";
  EXPECT_EXIT(key_with_stdout_on_stderr('a'), testing::ExitedWithCode(0), "^" + lines + "$");
}

TEST_F(Controls, OtherKeysDoNothing) {
  fill_coordinates();
  std::ostringstream out;
  for (const unsigned char key : {'A', 'b', 'q', ' ', '\x1b', '\0'}) key_command(key, out);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(sim().rope.mbs.q[0], 0.5);
  EXPECT_EQ(targets()[0], -0.2);
}

}  // namespace
