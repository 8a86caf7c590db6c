// The right-hand side of rope and carriages, the initial ODE state and the divergence guard.

#include <array>
#include <cmath>
#include <limits>
#include <sstream>

#include "tests/app/start_up.hpp"

namespace {

using State = std::array<double, ode_dimension>;

State current_state() {
  State y;
  for (int i = 0; i < ode_dimension; ++i) y[i] = sim().state[i];
  return y;
}

State rates(const State& y) {
  State dydt;
  hamilton_rhs(0.0, y.data(), dydt.data(), &sim());
  return dydt;
}

class Equations : public testing::Test {
 protected:
  void SetUp() override { start_default_simulation(); }
};

TEST_F(Equations, InitialStateHoldsZeroCoordinatesZeroMomentaThenCarriages) {
  // At rest every momentum is zero; the carriages start at their targets.
  for (int i = 0; i < momenta_offset; ++i) EXPECT_EQ(sim().state[i], 0.0) << "q" << i;
  for (int i = momenta_offset; i < carriages_offset; ++i) {
    EXPECT_EQ(sim().state[i], sim().rope.mbs.p[i - momenta_offset]) << "p" << i;
    EXPECT_EQ(sim().state[i], 0.0) << "p" << i;
  }
  EXPECT_EQ(sim().state[54], -0.2);
  EXPECT_EQ(sim().state[55], 0.0);
  EXPECT_EQ(sim().state[56], 0.6);
  EXPECT_EQ(sim().state[57], 0.0);
}

TEST_F(Equations, CarriagesArePulledTowardsTheStraightChainsEnds) {
  const State dydt = rates(current_state());
  EXPECT_EQ(dydt[54], 0.0);  // carriages at rest
  EXPECT_EQ(dydt[56], 0.0);
  // On its target and at rest, carriage 1 (x = -0.2) feels only the coupling to the chain's origin
  // at 0: 5000 N/m * 0.2 m / 100 kg. Carriage 2 (x = 0.6) is pulled to the far end at
  // 25 * 0.04 = 1.0: 5000 * 0.4 / 100. The far end is a sum of 25 rotated offsets, exact to about
  // 1e-15 m; times 50 /s^2 per metre that is far below the 1e-9 allowed.
  EXPECT_NEAR(dydt[55], 10.0, 1e-9);
  EXPECT_NEAR(dydt[57], 20.0, 1e-9);
}

TEST_F(Equations, MovingATargetChangesOnlyThatCarriagesAcceleration) {
  run_frames(30);  // mid-swing, so velocities and couplings are not trivial
  const State y = current_state();
  const State before = rates(y);
  const double moves[2] = {0.3, -0.05};
  for (int k = 0; k < 2; ++k) {
    SCOPED_TRACE(k);
    const double d = moves[k];
    const double target = sim().rope.carriages.drive_target[k];
    sim().rope.carriages.drive_target[k] = target + d;
    const State after = rates(y);
    sim().rope.carriages.drive_target[k] = target;
    // Drive stiffness 100000 N/m over 100 kg. The accelerations are O(100) m/s^2, so rounding
    // of the force sum stays below 1e-10.
    EXPECT_NEAR(after[55 + 2 * k] - before[55 + 2 * k], 1000.0 * d, 1e-9);
    const int other = 55 + 2 * (1 - k);
    EXPECT_EQ(after[other], before[other]);
    for (int i = 0; i < carriages_offset; ++i) EXPECT_EQ(after[i], before[i]) << i;
  }
}

TEST_F(Equations, SameStateGivesIdenticalRatesWhateverTheTime) {
  run_frames(20);
  const State y1 = current_state();
  run_frames(7);
  const State y2 = current_state();
  State first, other, again;
  hamilton_rhs(0.0, y1.data(), first.data(), &sim());
  hamilton_rhs(5.0, y2.data(), other.data(), &sim());  // leaves y2 in every body record
  hamilton_rhs(123.0, y1.data(), again.data(), &sim());
  EXPECT_EQ(first, again);
  EXPECT_NE(first, other);
}

TEST_F(Equations, RatesPackQdotPdotAndCarriageVelocities) {
  run_frames(25);
  const State y = current_state();
  const State dydt = rates(y);
  for (int i = 0; i < rope_coordinate_count; ++i) {
    EXPECT_EQ(dydt[i], sim().rope.mbs.qdot[i]) << i;
    EXPECT_EQ(dydt[momenta_offset + i], sim().rope.mbs.pdot[i]) << i;
    EXPECT_EQ(sim().rope.mbs.q[i], y[i]) << i;  // the call leaves y's coordinates in the arrays
    EXPECT_EQ(sim().rope.mbs.p[i], y[momenta_offset + i]) << i;
  }
  EXPECT_EQ(dydt[54], y[55]);
  EXPECT_EQ(dydt[56], y[57]);
  for (int i = 0; i < rope_layout.carriage_slots; ++i)
    EXPECT_EQ(sim().rope.carriages.carriage_state[i], y[carriages_offset + i]);
  // Anchors on the horizontal axis under the carriages.
  EXPECT_EQ(sim().rope.carriages.carriage_anchor[0], y[54]);
  EXPECT_EQ(sim().rope.carriages.carriage_anchor[1], 0.0);
  EXPECT_EQ(sim().rope.carriages.carriage_anchor[2], y[56]);
  EXPECT_EQ(sim().rope.carriages.carriage_anchor[3], 0.0);
}

// --- Divergence guard ---

TEST_F(Equations, GuardFiresOnAnyNonFiniteOrBlownUpComponent) {
  const State y = current_state();
  EXPECT_FALSE(state_diverged(sim(), y.data()));
  const double bad_values[] = {std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(), 1e6, -1e6};
  for (const double bad : bad_values) {
    for (int i = 0; i < ode_dimension; ++i) {
      // An angle of any size is a number of whole turns plus an angle; only a non-finite one is
      // broken by itself.
      const bool angle = i >= 2 && i < rope_coordinate_count;
      if (angle && std::isfinite(bad)) continue;
      State broken = y;
      broken[i] = bad;
      EXPECT_TRUE(state_diverged(sim(), broken.data())) << "y[" << i << "] = " << bad;
    }
  }
}

// The rope moved 5 km along x with its carriages, or with every angle turned by 100 whole turns,
// is measured as at home; moved without its carriages it is stretched apart, and fires.
TEST_F(Equations, GuardDoesNotCareWhereTheRopeIsOrHowOftenItTurned) {
  const State y = current_state();
  const int n = rope_coordinate_count;
  State moved = y, turned = y, torn = y;
  for (const int i : {0, 2 * n, 2 * n + 2}) moved[i] += 5000.0;
  for (int i = 2; i < n; ++i) turned[i] += 200.0 * M_PI;
  torn[0] += 20000.0;
  EXPECT_FALSE(state_diverged(sim(), moved.data()));
  EXPECT_FALSE(state_diverged(sim(), turned.data()));
  EXPECT_TRUE(state_diverged(sim(), torn.data()));
}

TEST_F(Equations, TenSecondsOfMotionNeverTripTheGuard) {
  // Undisturbed sagging, then a carriage dragged to the window's edge, which stretches the rope
  // taut.
  for (int frame = 0; frame < 1000; ++frame) {
    if (frame == 300) sim().rope.carriages.drive_target[0] = -1.1598;
    ASSERT_EQ(integrate_frame(sim()), FrameEnd::reached) << "frame " << frame;
  }
  EXPECT_NEAR(sim().time, 10.0, 1e-9);
}

// The guard looks at accepted states: a NaN that gets into the state stops the frame at once,
// with the state left as it is for the caller to report.
TEST_F(Equations, NonFiniteStateStopsTheFrameAsDiverged) {
  sim().state[25] = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(integrate_frame(sim()), FrameEnd::diverged);
  EXPECT_LT(sim().time, sim().frame_span);
  std::ostringstream out;
  EXPECT_EQ(advance_frame(sim(), out), FrameOutcome::stopped);
  EXPECT_EQ(out.str(), "");
  EXPECT_EQ(sim().frame_count, 0);
}

}  // namespace
