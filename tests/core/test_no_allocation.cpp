// No allocation during run_rhs_passes (nor during the set-up passes), and an allocation refused
// while the coordinates are laid out is reported, not fatal. This executable replaces the global
// operator new and delete with counting versions that can refuse; only this program uses them.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>

#include "rope/rope_model.hpp"
#include "test_support.hpp"

namespace {
std::atomic<long> allocations{0};
std::atomic<bool> refuse_allocations{false};

void* counted_allocation(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (refuse_allocations.load(std::memory_order_relaxed)) throw std::bad_alloc();
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}

void* counted_aligned_allocation(std::size_t size, std::align_val_t alignment) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (refuse_allocations.load(std::memory_order_relaxed)) throw std::bad_alloc();
  const std::size_t a = static_cast<std::size_t>(alignment);
  const std::size_t rounded = ((size ? size : 1) + a - 1) / a * a;
  if (void* p = std::aligned_alloc(a, rounded)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) {
  return counted_allocation(size);
}
void* operator new[](std::size_t size) {
  return counted_allocation(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return counted_allocation(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return counted_allocation(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new(std::size_t size, std::align_val_t alignment) {
  return counted_aligned_allocation(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment) {
  return counted_aligned_allocation(size, alignment);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}

namespace {

using namespace core_test;

class NoAllocation : public testing::Test {};

// The counter does count: a sanity check of the replacement.
TEST_F(NoAllocation, CounterSeesAnAllocation) {
  const long before = allocations.load();
  auto p = std::make_unique<double[]>(16);
  EXPECT_GT(allocations.load(), before);
  EXPECT_NE(p.get(), nullptr);
}

TEST_F(NoAllocation, RopeRightHandSideAllocatesNothing) {
  auto rope = assembled_rope();
  rope->carriages.carriage_anchor[0] = -0.2;
  rope->carriages.carriage_anchor[2] = 0.6;
  Mbs& mbs = rope->mbs;
  for (int i = 0; i < mbs.coordinate_count; ++i) {
    mbs.q[i] = 0.01 * i;
    mbs.qdot[i] = 0.02 * i;
  }
  const long before_setup = allocations.load();
  run_setup_passes(mbs);
  EXPECT_EQ(allocations.load(), before_setup) << "run_setup_passes allocated";
  const long before = allocations.load();
  for (int k = 0; k < 1000; ++k) run_rhs_passes(mbs);
  EXPECT_EQ(allocations.load(), before) << "run_rhs_passes allocated";
}

// The ground, pegs and fluid on every body: their forces, energies and stiffnesses use the
// storage the rope set up.
TEST_F(NoAllocation, RopeInAWorldAllocatesNothing) {
  RopeParameters parameters;
  parameters.ground_height = -0.05;
  parameters.friction = 0.4;
  parameters.pegs = {0.3, -0.06, 0.03, 0.6, -0.1, 0.05};
  parameters.fluid_density = 1000.0;
  parameters.fluid_surface = -0.02;
  auto rope = assembled_rope(parameters);
  Mbs& mbs = rope->mbs;
  for (int i = 3; i < mbs.coordinate_count; ++i) mbs.q[i] = -0.05;  // curled down into all three
  run_setup_passes(mbs);
  const long before = allocations.load();
  double energy = 0.0;
  for (int k = 0; k < 100; ++k) {
    run_rhs_passes(mbs);
    update_body_records(mbs);
    for (const ForceElement& element : mbs.force_elements) {
      if (element.type->potential_energy) energy += element.type->potential_energy(element, mbs);
      Sym3 stiffness{}, damping{};
      if (element.type->body_stiffness)
        for (const Body& body : rope->bodies)
          element.type->body_stiffness(element, body, stiffness, damping);
    }
  }
  EXPECT_EQ(allocations.load(), before) << "the world's elements allocated";
  EXPECT_EQ(mbs.force_elements.size(), 6u);
  EXPECT_GT(energy, 0.0);
}

// Every kind, branching included.
TEST_F(NoAllocation, TreeWithEveryKindAllocatesNothing) {
  auto tree = build_tree({{free_planar_base_kind, -1},
                          {revolute_link_kind, 0},
                          {revolute_link_kind, 1},
                          {revolute_link_kind, 1},
                          {slaved_revolute_kind, 0},
                          {slaved_revolute_kind, 4},
                          {tip_joint_kind, 5}});
  Mbs& mbs = tree->mbs;
  for (int i = 0; i < mbs.coordinate_count; ++i) mbs.q[i] = 0.3 + 0.1 * i;
  const long before = allocations.load();
  run_setup_passes(mbs);
  for (int k = 0; k < 100; ++k) run_rhs_passes(mbs);
  EXPECT_EQ(allocations.load(), before);
}

// Without memory for the arrays or the visiting orders, init_coordinates reports it and leaves the
// system empty; the bodies keep no coordinates. The same system lays out once memory is there.
TEST_F(NoAllocation, RefusedMemoryIsReportedByInitCoordinates) {
  Body base, link;
  init_body(base, free_planar_base_kind);
  init_body(link, revolute_link_kind);
  attach_body(link, base);
  Mbs mbs;
  set_root(mbs, base);
  refuse_allocations = true;
  const MbsStatus status = init_coordinates(mbs);
  refuse_allocations = false;
  EXPECT_EQ(status, MbsStatus::out_of_memory);
  EXPECT_EQ(mbs.status, MbsStatus::out_of_memory);
  EXPECT_STREQ(mbs_status_message(status), "Out of memory: cannot allocate the coordinate arrays.");
  EXPECT_EQ(mbs.coordinate_count, 0);
  EXPECT_EQ(mbs.q, nullptr);
  EXPECT_TRUE(mbs.inward_order.empty());
  EXPECT_EQ(link.q, nullptr);
  EXPECT_EQ(init_coordinates(mbs), MbsStatus::ok);
  EXPECT_EQ(mbs.coordinate_count, 4);
  EXPECT_EQ(link.q, mbs.q + 3);
}

}  // namespace
