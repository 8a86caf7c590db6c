// rope-headless ends within a fraction of a second of SIGINT, SIGTERM or SIGHUP wherever the
// signal finds it, keeps the rows so far and leaves no temporary file; a terminal's Ctrl-C (a
// signal to the whole process group) still gets a finished video; a closed standard output stops
// the run at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "headless_run.hpp"

namespace {

using Clock = std::chrono::steady_clock;

// Generous: before, these runs ignored the signal for minutes, until SIGKILL.
constexpr double most_seconds_to_stop = 3.0;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Puts an ffmpeg that never reads its input first on the PATH while the test runs.
class StalledFfmpeg {
 public:
  explicit StalledFfmpeg(const std::string& folder) : path_(std::getenv("PATH")) {
    mkdir((folder + "/bin").c_str(), 0755);
    std::ofstream(folder + "/bin/ffmpeg") << "#!/bin/sh\nexec sleep 600\n";
    chmod((folder + "/bin/ffmpeg").c_str(), 0755);
    setenv("PATH", (folder + "/bin:" + path_).c_str(), 1);
  }
  ~StalledFfmpeg() { setenv("PATH", path_.c_str(), 1); }

 private:
  std::string path_;
};

struct SignalCase {
  std::string name;
  std::vector<std::string> args;  // besides --output
  int signal;
  bool stalled_ffmpeg;
};

void PrintTo(const SignalCase& c, std::ostream* out) {
  *out << c.name;
}

class HeadlessSignals : public HeadlessFolders, public testing::WithParamInterface<SignalCase> {};

TEST_P(HeadlessSignals, EndsAtOnceKeepingTheRowsSoFar) {
  const SignalCase& c = GetParam();
  std::vector<std::string> args = c.args;
  for (std::string& arg : args)
    if (arg.rfind("FOLDER/", 0) == 0) arg = folder + arg.substr(6);
  args.insert(args.end(), {"--quiet", "--output", folder + "/run.csv"});
  std::unique_ptr<StalledFfmpeg> ffmpeg;
  if (c.stalled_ffmpeg) ffmpeg = std::make_unique<StalledFfmpeg>(scratch);
  const pid_t pid = start_headless(args, scratch);
  ffmpeg.reset();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  const auto sent = Clock::now();
  kill(pid, c.signal);
  const HeadlessRun run = finish_headless(pid, scratch);
  EXPECT_LT(seconds_since(sent), most_seconds_to_stop);
  EXPECT_EQ(run.status, 128 + c.signal) << run.err;
  EXPECT_FALSE(parse_csv_rows(read_file(folder + "/run.csv")).empty());
  EXPECT_EQ(folder_entries(folder), std::vector<std::string>{"run.csv"})
      << "a temporary file, or a video from an ffmpeg that never read a frame";
}

INSTANTIATE_TEST_SUITE_P(
    Everywhere, HeadlessSignals,
    testing::Values(
        // Minutes per frame: the signal must be seen between the integrator's steps.
        SignalCase{"StiffRope", {"--set", "joint_stiffness=1e14"}, SIGINT, false},
        // An implicit method checks inside its long steps too, on a 10,000-link rope.
        SignalCase{"StiffRopeImplicit",
                   {"--integrator", "dirk", "--set", "links=10000", "--duration", "1e6"},
                   SIGTERM,
                   false},
        SignalCase{"LongFineRope",
                   {"--set", "links=1000", "--set", "link_length=0.00096"},
                   SIGTERM,
                   false},
        // Blocked writing a frame into a pipe nobody reads.
        SignalCase{
            "StalledFfmpeg", {"--duration", "20", "--video", "FOLDER/run.gif"}, SIGHUP, true}),
    [](const testing::TestParamInfo<SignalCase>& info) { return info.param.name; });

using HeadlessJob = HeadlessFolders;

// Ctrl-C at a terminal signals the whole process group. ffmpeg runs in a group of its own, so it
// lives to finish the video with the frames so far.
TEST_F(HeadlessJob, CtrlCToTheGroupKeepsAPlayableVideo) {
  const pid_t pid = start_headless({"--duration", "60", "--quiet", "--output", folder + "/run.csv",
                                    "--video", folder + "/run.mp4"},
                                   scratch, Launch{true, -1});
  std::this_thread::sleep_for(std::chrono::seconds(2));
  kill(-pid, SIGINT);
  const HeadlessRun run = finish_headless(pid, scratch);
  EXPECT_EQ(run.status, 128 + SIGINT) << run.err;
  const auto rows = parse_csv_rows(read_file(folder + "/run.csv"));
  ASSERT_GE(rows.size(), 2u);
  const std::string video = read_file(folder + "/run.mp4");
  ASSERT_GT(video.size(), 1000u) << run.err;
  EXPECT_EQ(video.substr(4, 4), "ftyp");
  // The container is complete: ffprobe reads a duration that covers the frames written.
  const std::string probe = "ffprobe -v error -show_entries format=duration -of csv=p=0 " + folder +
                            "/run.mp4 > " + scratch + "/duration.txt";
  ASSERT_EQ(std::system(probe.c_str()), 0);
  EXPECT_NEAR(std::atof(read_file(scratch + "/duration.txt").c_str()), rows.back()[0], 0.1);
}

// `rope-headless --video v.mp4 | head -1`: the first failed row ends the run with a message.
TEST_F(HeadlessJob, ClosedStandardOutputStopsTheRunAtOnce) {
  int ends[2];
  ASSERT_EQ(pipe2(ends, O_CLOEXEC), 0);  // the child must not hold the read end open
  const auto start = Clock::now();
  const pid_t pid = start_headless({"--duration", "20", "--quiet", "--video", folder + "/v.mp4"},
                                   scratch, Launch{false, ends[1]});
  close(ends[1]);
  char line[64];
  ASSERT_GT(read(ends[0], line, sizeof line), 0);
  close(ends[0]);
  const HeadlessRun run = finish_headless(pid, scratch);
  EXPECT_LT(seconds_since(start), 10.0) << "ran the whole 20 s before noticing";
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("cannot write standard output: Broken pipe"), std::string::npos)
      << run.err;
}

}  // namespace
