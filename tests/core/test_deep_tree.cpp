// Deep trees: a chain of ROPE_DEEP_CHAIN_BODIES bodies (a free base and revolute links, default
// 1,000,000) runs the set-up and right-hand-side passes without exhausting the stack. The
// sanitizer build may set a smaller (still deep) size through the compile definition.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "test_support.hpp"

#ifndef ROPE_DEEP_CHAIN_BODIES
#define ROPE_DEEP_CHAIN_BODIES 1000000
#endif

using namespace core_test;

namespace {

class DeepTree : public testing::Test {};

TEST_F(DeepTree, MillionBodyChainEvaluates) {
  const int count = ROPE_DEEP_CHAIN_BODIES;
  BodyArray bodies(count);
  init_body(bodies[0], free_planar_base_kind);
  for (int k = 1; k < count; ++k) init_body(bodies[k], revolute_link_kind);
  for (int k = 1; k < count; ++k) attach_body(bodies[k], bodies[k - 1]);
  Mbs mbs;
  set_root(mbs, bodies[0]);
  const Gravity gravity;
  mbs.force_elements = {gravity_on_every_body(gravity)};
  ASSERT_EQ(init_coordinates(mbs), MbsStatus::ok);
  ASSERT_EQ(mbs.coordinate_count, count + 2);
  EXPECT_EQ(bodies[count - 1].q, mbs.q + count + 1);

  // At rest, straight: p = 0 from the set-up, qdot = 0 back from the right-hand side.
  ASSERT_EQ(run_setup_passes(mbs), MbsStatus::ok);
  for (int i = 0; i < mbs.coordinate_count; ++i) ASSERT_EQ(mbs.p[i], 0.0) << i;
  ASSERT_EQ(run_rhs_passes(mbs), MbsStatus::ok);
  update_body_records(mbs);
  for (int i = 0; i < mbs.coordinate_count; ++i) ASSERT_EQ(mbs.qdot[i], 0.0) << i;
  // The leaf link carries only its own weight's moment; the base the whole chain's weight.
  EXPECT_NEAR(mbs.pdot[count + 1], -0.00784532, 1e-12);
  EXPECT_NEAR(mbs.pdot[1], -count * 0.04 * standard_gravity, 1e-9 * count);
  EXPECT_EQ(bodies[count - 1].position[0], bodies[count - 2].position[0] + 0.04);

  // Moving and bent: everything stays finite, and the set-up / right-hand-side round trip holds
  // for the last links.
  for (int i = 0; i < mbs.coordinate_count; ++i) {
    mbs.q[i] = 1e-3 * std::sin(0.001 * i);
    mbs.qdot[i] = 1e-3 * std::cos(0.01 * i);
  }
  const std::vector<double> qdot(mbs.qdot, mbs.qdot + mbs.coordinate_count);
  run_setup_passes(mbs);
  run_rhs_passes(mbs);
  bool finite = true;
  for (int i = 0; i < mbs.coordinate_count; ++i)
    finite = finite && std::isfinite(mbs.qdot[i]) && std::isfinite(mbs.pdot[i]);
  EXPECT_TRUE(finite);
  for (int i = mbs.coordinate_count - 10; i < mbs.coordinate_count; ++i)
    EXPECT_NEAR(mbs.qdot[i], qdot[i], 1e-6) << i;
}

// Large arrays sit on 2 MiB boundaries, so that huge pages can back them whole; small ones come
// from the ordinary allocator. Either way the elements are zero-initialised, survive growth, and
// an impossible size fails with bad_alloc (which the set-up turns into out_of_memory).
TEST(LargeArrayStorage, HugeBlocksAlignedAndValuesKept) {
  const std::size_t huge = large_array::huge_page_bytes;
  struct Case {
    std::size_t count;
    bool on_huge_boundary;
  };
  for (const Case c : {Case{10, false}, Case{huge / sizeof(double), true},
                       Case{3 * huge / sizeof(double) + 5, true}}) {
    LargeArray<double> values(c.count);
    EXPECT_EQ(values.back(), 0.0) << c.count;
    values.back() = 7.0;
    values.push_back(8.0);  // grows into a new block
    EXPECT_EQ(values[c.count - 1], 7.0) << c.count;
    if (c.on_huge_boundary) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(values.data()) % huge, 0u) << c.count;
    }
  }
  BodyArray bodies(huge / sizeof(Body) + 1);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(bodies.data()) % huge, 0u);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&bodies[1]) % alignof(Body), 0u);
  EXPECT_THROW(LargeArrayAllocator<Body>{}.allocate(std::size_t(-1) / 64), std::bad_alloc);
}

}  // namespace
