// rope-headless runs: the CSV layout, determinism, agreement with the window program's frame
// advance, scripted target moves and the divergence guard.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <memory>
#include <ostream>

#include "stepping/driver.hpp"
#include "stepping/simulation.hpp"
#include "headless_run.hpp"

namespace {

// The default rope's state: q (27), p (27), then x1, v1, x2, v2.
constexpr StateLayout rope_layout = state_layout(rope_body_count - 1);
constexpr int ode_dimension = rope_layout.dimension;
constexpr int carriages_offset = rope_layout.carriages_start;
constexpr int row_width = 1 + ode_dimension;  // t, then the 58 state components
constexpr int x1_column = 1 + carriages_offset;
constexpr int v1_column = x1_column + 1;
constexpr int x2_column = x1_column + 2;

class HeadlessRunTest : public HeadlessFolders {
 protected:
  // Runs to completion and returns the CSV text.
  std::string trajectory(std::vector<std::string> args) {
    const std::string path = folder + "/run.csv";
    args.insert(args.end(), {"--quiet", "--output", path});
    const HeadlessRun run = run_headless(args, scratch);
    EXPECT_EQ(run.status, 0) << run.err;
    return read_file(path);
  }
  void check_divergence(const char* move, const std::vector<std::vector<double>>& calm);
};

TEST_F(HeadlessRunTest, WritesHeaderTheInitialRowAndEveryNthFrame) {
  const std::string path = folder + "/rope.csv";
  const HeadlessRun run =
      run_headless({"--duration", "0.05", "--every", "2", "--output", path}, scratch);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "");
  // Only the finished file is left: the temporary one was renamed.
  EXPECT_EQ(folder_entries(folder), std::vector<std::string>{"rope.csv"});
  const std::string text = read_file(path);
  std::string header = "t";
  for (const char* block : {"q", "p"})
    for (int i = 0; i < 27; ++i) header += std::string(",") + block + std::to_string(i);
  header += ",x1,v1,x2,v2\n";
  EXPECT_EQ(text.substr(0, header.size()), header);
  // Frames 2 and 4 of 5, after the row for t = 0.
  const auto rows = parse_csv_rows(text);
  ASSERT_EQ(rows.size(), 3u);
  for (const auto& row : rows) EXPECT_EQ(row.size(), static_cast<size_t>(row_width));
  EXPECT_EQ(rows[0][0], 0.0);
  EXPECT_NEAR(rows[1][0], 0.02, 1e-12);
  EXPECT_NEAR(rows[2][0], 0.04, 1e-12);
  // The initial state: straight chain at rest, carriages at -0.2 and 0.6.
  EXPECT_EQ(rows[0][x1_column], -0.2);
  EXPECT_EQ(rows[0][x2_column], 0.6);
  // Summary on standard error.
  EXPECT_NE(run.err.find("real-time factor: "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("right-hand-side evaluations: "), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("accepted steps: "), std::string::npos) << run.err;
}

// Every row's placements describe that row's state: the base at (q0, q1) turned by q2, each body
// turned by the sum of the joint angles up to it, the far end one link length beyond the last.
TEST_F(HeadlessRunTest, PlacementsFollowTheRowsOfTheTrajectory) {
  const std::string placements = folder + "/placements.csv";
  const auto rows = parse_csv_rows(trajectory(
      {"--duration", "0.3", "--every", "10", "--target", "2=0.9@0", "--placements", placements}));
  const std::string text = read_file(placements);
  EXPECT_EQ(text.substr(0, text.find('\n')).substr(0, 22), "t,x0,y0,angle0,x1,y1,a");
  const auto placed = parse_csv_rows(text);
  ASSERT_EQ(placed.size(), rows.size());
  ASSERT_EQ(rows.size(), 4u);  // t = 0, 0.1, 0.2, 0.3
  constexpr int bodies = 25;
  for (size_t r = 0; r < rows.size(); ++r) {
    const std::vector<double>& q = rows[r];  // t, q0, q1, ...
    const std::vector<double>& at = placed[r];
    ASSERT_EQ(at.size(), 1u + 3 * bodies + 2);
    EXPECT_EQ(at[0], q[0]);
    EXPECT_EQ(at[1], q[1]);
    EXPECT_EQ(at[2], q[2]);
    double angle = 0.0;
    for (int k = 0; k < bodies; ++k) {
      angle += q[3 + k];
      EXPECT_EQ(at[3 + 3 * k], angle) << "row " << r << ", body " << k;
    }
    const double* last = &at[1 + 3 * (bodies - 1)];
    EXPECT_NEAR(at[1 + 3 * bodies], last[0] + 0.04 * std::cos(last[2]), 1e-12);
    EXPECT_NEAR(at[2 + 3 * bodies], last[1] + 0.04 * std::sin(last[2]), 1e-12);
  }
  EXPECT_GT(std::fabs(placed.back()[1 + 3 * bodies] - placed.front()[1 + 3 * bodies]), 0.01);
}

TEST_F(HeadlessRunTest, QuietRunWritesOnlyTheCsvToStandardOutput) {
  const HeadlessRun run = run_headless({"--duration", "0.02", "--quiet"}, scratch);
  ASSERT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out.rfind("t,q0,", 0), 0u) << "the start-up line must not reach the CSV";
  EXPECT_EQ(parse_csv_rows(run.out).size(), 3u);
}

TEST_F(HeadlessRunTest, SameOptionsGiveIdenticalBytes) {
  const std::vector<std::string> args = {"--duration", "0.5", "--target", "2=0.8@0.2"};
  const std::string first = trajectory(args);
  const std::string second = trajectory(args);
  EXPECT_GT(first.size(), 1000u);
  EXPECT_TRUE(first == second);
}

// --columns adds the world's readings after the state's, in the order asked, and leaves the
// state's columns as they were: on a rope without a world they read 0.
TEST_F(HeadlessRunTest, ReadingColumnsFollowTheStateInTheOrderAsked) {
  struct Case {
    std::vector<std::string> world;
    bool zero;
  };
  for (const Case& row :
       {Case{{}, true},
        Case{{"--set", "ground_height=-0.2", "--set", "fluid_density=1000"}, false}}) {
    std::vector<std::string> args = {"--duration", "0.3", "--every", "10"};
    args.insert(args.end(), row.world.begin(), row.world.end());
    const std::string plain = trajectory(args);
    args.insert(args.end(), {"--columns", "drag,dissipated,contact"});
    const std::string with = trajectory(args);
    const std::string header = with.substr(0, with.find('\n'));
    EXPECT_EQ(header, plain.substr(0, plain.find('\n')) +
                          ",drag_power,energy_dissipated,contact_x,contact_y");
    const auto plain_rows = parse_csv_rows(plain), rows = parse_csv_rows(with);
    ASSERT_EQ(rows.size(), plain_rows.size());
    for (size_t r = 0; r < rows.size(); ++r) {
      ASSERT_EQ(rows[r].size(), static_cast<size_t>(row_width + 4));
      EXPECT_EQ(std::vector<double>(rows[r].begin(), rows[r].begin() + row_width), plain_rows[r]);
    }
    // By 0.3 s the rope sinking in water has hit the ground: drag resists, the ground pushes up.
    if (row.zero) {
      for (int c = 0; c < 4; ++c) EXPECT_EQ(rows.back()[row_width + c], 0.0) << c;
    } else {
      EXPECT_LT(rows.back()[row_width], 0.0);
      EXPECT_GT(rows.back()[row_width + 1], 0.0);
      EXPECT_GT(rows.back()[row_width + 3], 0.0);
    }
  }
}

// The window program advances with advance_frame; the runner must produce the very same states.
TEST_F(HeadlessRunTest, TrajectoryEqualsTheWindowProgramsFrameAdvance) {
  constexpr int frames = 40;
  const auto rows = parse_csv_rows(trajectory({"--duration", "0.4"}));
  ASSERT_EQ(rows.size(), static_cast<size_t>(frames + 1));

  auto sim = std::make_unique<Simulation>();
  ASSERT_EQ(start_simulation(*sim), MbsStatus::ok);
  std::ostream no_report(nullptr);
  for (int frame = 0; frame <= frames; ++frame) {
    if (frame > 0) advance_frame(*sim, no_report);
    const auto& row = rows[frame];
    // %.17g reads back as the same double, so the comparison is exact.
    ASSERT_EQ(row[0], sim->time) << "frame " << frame;
    for (int i = 0; i < ode_dimension; ++i)
      ASSERT_EQ(row[1 + i], sim->state[i]) << "frame " << frame << ", component " << i;
  }
}

// Carriage 1's target moves from -0.2 to -0.1 (d = 0.1 m) for the frame starting at t = 0.30.
// Over that frame the carriage's offset from the unmoved run obeys its own equation,
//   dx'' = (drive_stiffness d - (drive_damping + damping_x) dv - (drive_stiffness + stiffness_x)
//   dx) / m
//        = 1000 d - 11 dv - 1050 dx,
// up to the chain end's response (50 dP + dU per unit mass), which within one frame is well below
// 0.5 % of the 1000 d drive term (dP stays below 1 cm): hence the 1 % tolerance.
TEST_F(HeadlessRunTest, TargetMoveShiftsTheCarriageAsItsEquationPredicts) {
  const auto still = parse_csv_rows(trajectory({"--duration", "0.32"}));
  const std::string moved_text = trajectory({"--duration", "0.32", "--target", "1=-0.1@0.295"});
  const auto moved = parse_csv_rows(moved_text);
  ASSERT_EQ(still.size(), 33u);
  ASSERT_EQ(moved.size(), 33u);
  for (int row = 0; row <= 30; ++row)
    for (int i = 0; i < row_width; ++i) ASSERT_EQ(still[row][i], moved[row][i]) << row;

  const double d = 0.1, tau = moved[31][0] - moved[30][0];
  const double gamma = 5.5, omega0_sq = 1050.0;
  const double omega = std::sqrt(omega0_sq - gamma * gamma);
  const double settled = 1000.0 * d / omega0_sq;
  const double decay = std::exp(-gamma * tau);
  const double dx =
      settled * (1.0 - decay * (std::cos(omega * tau) + gamma / omega * std::sin(omega * tau)));
  const double dv = settled * decay * omega0_sq / omega * std::sin(omega * tau);
  EXPECT_NEAR(moved[31][x1_column] - still[31][x1_column], dx, 0.01 * dx);
  EXPECT_NEAR(moved[31][v1_column] - still[31][v1_column], dv, 0.01 * dv);
  // Carriage 2 feels the move only through the whole chain: far less within one frame.
  EXPECT_LT(std::fabs(moved[31][x2_column] - still[31][x2_column]), 0.01 * dx);

  // T on the frame grid applies from that frame too; T just after it, from the next one.
  EXPECT_TRUE(trajectory({"--duration", "0.32", "--target", "1=-0.1@0.3"}) == moved_text);
  const auto later = parse_csv_rows(trajectory({"--duration", "0.32", "--target", "1=-0.1@0.301"}));
  for (int i = 0; i < row_width; ++i) ASSERT_EQ(later[31][i], still[31][i]);
  EXPECT_NE(later[32][x1_column], still[32][x1_column]);
}

// Dragging carriage 2 a kilometre (or a thousand kilometres) away tears the chain apart; the
// guard stops the run and the rows computed until then are kept.
TEST_F(HeadlessRunTest, DivergenceKeepsTheRowsSoFarAndExitsWithStatus1) {
  const auto calm = parse_csv_rows(trajectory({"--duration", "0.5"}));
  for (const char* move : {"2=1000@0.5", "2=1e6@0.5"}) {
    SCOPED_TRACE(move);
    check_divergence(move, calm);
  }
}

void HeadlessRunTest::check_divergence(const char* move,
                                       const std::vector<std::vector<double>>& calm) {
  const std::string path = folder + "/torn.csv";
  const HeadlessRun run =
      run_headless({"--duration", "2", "--target", move, "--output", path}, scratch);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("Simulation aborted due to instability.\n"), std::string::npos) << run.err;
  EXPECT_EQ(run.out, "");
  const auto rows = parse_csv_rows(read_file(path));
  ASSERT_GE(rows.size(), calm.size());
  ASSERT_LT(rows.size(), 201u) << "the guard should have fired before t = 2";
  for (size_t row = 0; row < calm.size(); ++row) EXPECT_EQ(rows[row], calm[row]);
  for (const auto& row : rows) {
    ASSERT_EQ(row.size(), static_cast<size_t>(row_width));
    for (double value : row) ASSERT_TRUE(std::isfinite(value));
  }
  // Only the two finished files, no temporary left behind.
  EXPECT_EQ(folder_entries(folder).size(), 2u);
  unlink(path.c_str());
}

}  // namespace

namespace {

// Two target moves over 2 s, every 10th frame, checked in from the window program's rope: any
// change to the engine, its speed work included, must leave every digit of it as it is.
const std::vector<std::string> golden_options = {
    "--duration", "2", "--every", "10", "--target", "1=-0.5@0.5", "--target", "2=0.9@1.2"};

TEST_F(HeadlessRunTest, GoldenTrajectoryByteForByteWithAndWithoutTheShippedModel) {
  const std::string golden = read_file(ROPE_SOURCE_DIR "/tests/data/golden_rope.csv");
  ASSERT_FALSE(golden.empty());
  EXPECT_EQ(trajectory(golden_options), golden);
  std::vector<std::string> with_model = golden_options;
  with_model.insert(with_model.end(), {"--model", ROPE_SOURCE_DIR "/models/rope.toml"});
  EXPECT_EQ(trajectory(with_model), golden);
  // A --set that names the default value changes nothing either.
  std::vector<std::string> with_set = golden_options;
  with_set.insert(with_set.end(), {"--set", "carriage_start=-0.2,0.6", "--set", "links=24"});
  EXPECT_EQ(trajectory(with_set), golden);
}

TEST_F(HeadlessRunTest, LinkCountAndParametersShapeTheRun) {
  const std::string text = trajectory({"--duration", "0.2", "--set", "links=5", "--set",
                                       "carriage_start=-0.1,0.3", "--set", "gravity=0"});
  const std::string header = text.substr(0, text.find('\n'));
  EXPECT_EQ(header, "t,q0,q1,q2,q3,q4,q5,q6,q7,p0,p1,p2,p3,p4,p5,p6,p7,x1,v1,x2,v2");
  const auto rows = parse_csv_rows(text);
  ASSERT_EQ(rows.size(), 21u);
  EXPECT_EQ(rows[0].size(), 21u);
  EXPECT_EQ(rows[0][17], -0.1);  // x1 and x2 start where they were set
  EXPECT_EQ(rows[0][19], 0.3);
  // Without gravity and with the chain at rest on the x axis, the ends stay on it: only the
  // carriage springs act, along x.
  for (const auto& row : rows) EXPECT_EQ(row[2], 0.0) << "base y at t = " << row[0];
}

}  // namespace
