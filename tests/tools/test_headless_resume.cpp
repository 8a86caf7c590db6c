// rope-headless checkpoints: a run saved and resumed is the long run byte for byte; a damaged
// checkpoint is bad input. Per-body arrays of equal values are the golden trajectory.
#include <gtest/gtest.h>

#include <fstream>

#include "headless_run.hpp"

namespace {

class HeadlessResume : public HeadlessFolders {
 protected:
  std::string run_ok(std::vector<std::string> args) {
    args.insert(args.begin(), "--quiet");
    const HeadlessRun run = run_headless(args, scratch);
    EXPECT_EQ(run.status, 0) << run.err;
    return run.out;
  }
};

// The rows from the given time on, the header dropped.
std::string rows_from(const std::string& csv, const std::string& time_prefix) {
  const size_t at = csv.find("\n" + time_prefix);
  return at == std::string::npos ? "" : csv.substr(at + 1);
}

TEST_F(HeadlessResume, TenSecondsEqualFourSavedAndSixResumedFromFourOn) {
  const std::vector<std::string> moves = {"--target", "1=-0.5@1.5", "--target", "2=0.9@6.5"};
  auto with = [&](std::vector<std::string> args) {
    args.insert(args.end(), moves.begin(), moves.end());
    return args;
  };
  const std::string state = folder + "/state.toml";
  const std::string whole = run_ok(with({"--duration", "10"}));
  run_ok(with({"--duration", "4", "--save-state", state}));
  const std::string resumed = run_ok(with({"--resume", state, "--duration", "6"}));
  const std::string first = resumed.substr(resumed.find('\n') + 1);
  ASSERT_EQ(first.substr(0, 2), "3.") << first.substr(0, 40);  // t = 4 s up to rounding
  const std::string tail = rows_from(whole, first.substr(0, first.find(',')) + ",");
  ASSERT_FALSE(tail.empty());
  EXPECT_EQ(first, tail);
}

// The dissipated energy travels with the checkpoint: a resumed run's readings continue the long
// run's byte for byte. A checkpoint from before the key resumes the same states from 0, and a rope
// without a world writes no such line.
TEST_F(HeadlessResume, DissipatedEnergyContinuesAcrossACheckpoint) {
  const std::string state = folder + "/state.toml";
  const std::vector<std::string> columns = {"--columns", "contact,drag,dissipated"};
  for (const char* method : {"rk4", "bdf"}) {
    auto with = [&](std::vector<std::string> args) {
      args.insert(args.end(), {"--integrator", method, "--set", "ground_height=-0.2", "--set",
                               "friction=0.4", "--set", "fluid_density=1000"});
      args.insert(args.end(), columns.begin(), columns.end());
      return args;
    };
    const std::string whole = run_ok(with({"--duration", "0.6"}));
    run_ok(with({"--duration", "0.3", "--save-state", state}));
    const std::string saved = read_file(state);
    std::string resumed = run_ok({"--resume", state, "--duration", "0.3", columns[0], columns[1]});
    resumed = resumed.substr(resumed.find('\n') + 1);
    const std::string tail = rows_from(whole, resumed.substr(0, resumed.find(',')) + ",");
    ASSERT_FALSE(tail.empty()) << method;
    EXPECT_EQ(resumed, tail) << method;

    const size_t line = saved.find("energy_dissipated = ");
    ASSERT_NE(line, std::string::npos) << method;
    std::ofstream(state) << saved.substr(0, line) + saved.substr(saved.find('\n', line) + 1);
    const auto old_rows =
        parse_csv_rows(run_ok({"--resume", state, "--duration", "0.3", columns[0], columns[1]}));
    const auto rows = parse_csv_rows("header\n" + resumed);
    ASSERT_EQ(old_rows.size(), rows.size()) << method;
    EXPECT_EQ(old_rows.front().back(), 0.0) << method;
    for (size_t r = 0; r < rows.size(); ++r)
      EXPECT_EQ(std::vector<double>(old_rows[r].begin(), old_rows[r].end() - 1),
                std::vector<double>(rows[r].begin(), rows[r].end() - 1))
          << method << " row " << r;
  }
  run_ok({"--duration", "0.1", "--save-state", state});
  EXPECT_EQ(read_file(state).find("energy_dissipated"), std::string::npos);
}

// auto's phase and measures travel with the checkpoint: taken while the stiff rope runs the
// implicit method, it resumes as the uninterrupted run goes on.
TEST_F(HeadlessResume, AutoResumedWhileImplicitContinuesTheLongRun) {
  const std::string state = folder + "/state.toml";
  auto with = [&](std::vector<std::string> args) {
    args.insert(args.end(), {"--integrator", "auto", "--set", "joint_stiffness=5.5e6", "--target",
                             "1=-0.5@0", "--target", "2=0.9@0"});
    return args;
  };
  const std::string whole = run_ok(with({"--duration", "1"}));
  run_ok(with({"--duration", "0.5", "--save-state", state}));
  EXPECT_NE(read_file(state).find("auto = { phase = \"implicit\""), std::string::npos);
  const std::string resumed = run_ok({"--resume", state, "--duration", "0.5"});
  const std::string rows = resumed.substr(resumed.find('\n') + 1);
  const std::string tail = rows_from(whole, rows.substr(0, rows.find(',')) + ",");
  ASSERT_FALSE(tail.empty());
  EXPECT_EQ(rows, tail);
}

// A resumed run's pictures carry on the long run's: the same numbers at the same instants, the
// same pixels.
TEST_F(HeadlessResume, ResumedPicturesContinueTheLongRunsPictures) {
  const std::string state = folder + "/state.toml";
  auto with = [&](std::vector<std::string> args) {
    args.insert(args.end(), {"--fps", "25", "--size", "160x120", "--target", "2=0.9@0.1"});
    return args;
  };
  run_ok(with({"--duration", "0.4", "--frames", folder + "/whole"}));
  run_ok(with({"--duration", "0.2", "--save-state", state}));
  run_ok(with({"--resume", state, "--duration", "0.2", "--frames", folder + "/resumed"}));
  const std::vector<std::string> resumed = folder_entries(folder + "/resumed");
  ASSERT_EQ(resumed.size(), 6u);  // t = 0.2, 0.24, ..., 0.4
  for (const std::string& name : resumed) {
    EXPECT_GE(name, "frame_00005.png");
    EXPECT_EQ(read_file(folder + "/resumed/" + name), read_file(folder + "/whole/" + name)) << name;
  }
}

// A diverged run's checkpoint holds its last whole frame (under 50,000 g the rope tears apart
// within 0.02 s); resumed from it, the run diverges where it did.
TEST_F(HeadlessResume, DivergedRunSavesItsLastWholeFrame) {
  const std::string state = folder + "/state.toml";
  auto with = [&](std::vector<std::string> args) {
    args.insert(args.end(), {"--quiet", "--duration", "1", "--output", folder + "/run.csv"});
    return run_headless(args, scratch);
  };
  const HeadlessRun diverged = with({"--set", "gravity=5e5", "--save-state", state});
  ASSERT_EQ(diverged.status, 1) << diverged.err;
  const size_t at = diverged.err.find("stopped at t = ");
  ASSERT_NE(at, std::string::npos) << diverged.err;
  const std::string stop = diverged.err.substr(at, diverged.err.find(';', at) - at);
  EXPECT_NE(diverged.err.find("the checkpoint holds the last whole frame, t = 0.01 s"),
            std::string::npos)
      << diverged.err;
  const HeadlessRun resumed = with({"--resume", state});
  EXPECT_EQ(resumed.status, 1);
  EXPECT_NE(resumed.err.find(stop), std::string::npos) << stop << " | " << resumed.err;
}

TEST_F(HeadlessResume, DamagedCheckpointsAndMixedOptionsAreBadInput) {
  const std::string state = folder + "/state.toml";
  run_ok({"--duration", "0.1", "--save-state", state});
  const std::string good = read_file(state);
  struct Case {
    std::string text;
    std::vector<std::string> extra;
    std::string problem;
  };
  // The same checkpoint with one top-level key's line replaced.
  auto with_line = [&](const std::string& key, const std::string& value) {
    const size_t at = good.find("\n" + key + " = ") + 1;
    return good.substr(0, at) + key + " = " + value + good.substr(good.find('\n', at));
  };
  const Case cases[] = {
      {good.substr(0, good.size() - 200), {}, "cp.toml"},
      {good + "speed = 2.0\n", {}, "unknown key"},
      {good, {"--set", "links=3"}, "--resume takes the rope's parameters"},
      {with_line("time", "1e300"), {}, "key 'time' needs a number of seconds from 0 to 1e9"},
      {with_line("frame_count", "4611686018427387904"), {}, "key 'frame_count' needs a whole"},
      {with_line("tolerances", "[1e-300, 1e-300]"), {}, "key 'tolerances' needs"},
      {good, {"--save-state", scratch + "/cp.toml"}, "--save-state and --resume name the same"},
  };
  for (const Case& c : cases) {
    const std::string damaged = scratch + "/cp.toml";
    std::ofstream(damaged) << c.text;
    std::vector<std::string> args = {"--resume", damaged, "--output", folder + "/out.csv"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const HeadlessRun run = run_headless(args, scratch);
    EXPECT_EQ(run.status, 2) << c.problem;
    EXPECT_NE(run.err.find(c.problem), std::string::npos) << run.err;
    EXPECT_EQ(folder_entries(folder).size(), 1u);  // the good checkpoint only
  }
}

// A resumed run keeps its checkpoint's method unless the command line names another; tolerances
// alone change only the tolerances. A model file's integrator and tolerance keys likewise.
TEST_F(HeadlessResume, ResumedRunKeepsTheSavedMethodUnlessNamed) {
  const std::string state = folder + "/state.toml";
  run_ok({"--duration", "0.05", "--integrator", "dirk", "--save-state", state});
  const std::string model = scratch + "/model.toml";
  std::ofstream(model) << "integrator = \"rkf45\"\ntolerance = [1e-5, 1e-4]\nlinks = 3\n";
  struct Case {
    std::vector<std::string> extra;
    std::string summary;
  };
  const Case cases[] = {
      {{"--resume", state}, "integrator: dirk, tolerances 1e-06 (absolute), 1e-06 (relative)"},
      {{"--resume", state, "--tolerance", "1e-7"}, "integrator: dirk, tolerances 1e-07 (absolute)"},
      {{"--resume", state, "--integrator", "rk8pd"}, "integrator: rk8pd, tolerances 1e-06"},
      {{"--model", model}, "integrator: rkf45, tolerances 1e-05 (absolute), 0.0001 (relative)"},
      {{"--model", model, "--integrator", "rk4"}, "integrator: rk4, tolerances 1e-05 (absolute)"},
      {{"--model", model, "--tolerance", "1e-7"}, "integrator: rkf45, tolerances 1e-07"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--duration", "0.02", "--output", folder + "/out.csv"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const HeadlessRun run = run_headless(args, scratch);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find(c.summary), std::string::npos) << run.err;
  }
}

TEST_F(HeadlessResume, GoldenTrajectoryFromArraysOfEqualValues) {
  const std::string model = scratch + "/arrays.toml";
  std::ofstream out(model);
  auto array = [](int count, const char* value) {
    std::string text = "[";
    for (int k = 0; k < count; ++k) text += std::string(k ? ", " : "") + value;
    return text + "]";
  };
  out << "link_length = " << array(25, "0.04") << "\nlink_mass = " << array(25, "0.04")
      << "\njoint_stiffness = " << array(24, "5.5") << "\njoint_damping = " << array(24, "0.01")
      << "\ninitial_angles = " << array(24, "0.0") << "\ninitial_rates = " << array(27, "0")
      << "\n";
  out.close();
  const std::string golden = read_file(ROPE_SOURCE_DIR "/tests/data/golden_rope.csv");
  EXPECT_EQ(run_ok({"--model", model, "--duration", "2", "--every", "10", "--target", "1=-0.5@0.5",
                    "--target", "2=0.9@1.2"}),
            golden);
}

}  // namespace
