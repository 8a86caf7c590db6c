#include <gtest/gtest.h>

#include "app/rope_model.hpp"

TEST(Assembly, RopeHas27Coordinates) {
  testing::internal::CaptureStdout();
  RopeModel rope;
  assemble_rope(rope);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "MBS initialized. Number of Coordinates=27\n");
  EXPECT_EQ(rope.mbs.coordinate_count, 27);
}
