// Where rope-headless writes: devices and FIFOs in place, symbolic links followed, permission bits
// kept; closed standard descriptors and a hang-up never let messages into the data or lose rows;
// a long untouched run never reports an instability.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <thread>
#include <utility>

#include "stepping/simulation.hpp"
#include "headless_run.hpp"

namespace {

constexpr size_t row_width = 1 + state_layout(rope_body_count - 1).dimension;

class HeadlessOutput : public HeadlessFolders {
 protected:
  void SetUp() override {
    HeadlessFolders::SetUp();
    reference = run_to(folder + "/reference.csv");
  }
  // A short run written to `path` (which a device or FIFO test must not read back).
  HeadlessRun run_only(const std::string& path) {
    return run_headless({"--duration", "0.05", "--quiet", "--output", path}, scratch);
  }
  // The same, expected to succeed; returns what the path then holds.
  std::string run_to(const std::string& path) {
    const HeadlessRun run = run_only(path);
    EXPECT_EQ(run.status, 0) << run.err;
    return read_file(path);
  }
  std::string reference;
};

mode_t mode_of(const std::string& path, bool follow = true) {
  struct stat info {};
  EXPECT_EQ(follow ? stat(path.c_str(), &info) : lstat(path.c_str(), &info), 0) << path;
  return info.st_mode;
}

TEST_F(HeadlessOutput, FifoReaderReceivesTheWholeCsv) {
  const std::string fifo = folder + "/pipe";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::string received;
  std::thread reader([&] { received = read_file(fifo); });
  const HeadlessRun run = run_only(fifo);
  reader.join();
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(received, reference);
  EXPECT_TRUE(S_ISFIFO(mode_of(fifo)));
}

TEST_F(HeadlessOutput, SymbolicLinksAreFollowedAndKept) {
  struct Case {
    const char* name;
    bool target_exists;
  };
  for (const Case& c : {Case{"existing", true}, Case{"dangling", false}}) {
    const std::string target = folder + "/" + c.name + ".csv";
    const std::string link = folder + "/" + c.name + "-link.csv";
    if (c.target_exists) {
      ASSERT_EQ(run_to(target), reference);
    }
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(truncate(target.c_str(), 0) == 0, c.target_exists);
    run_to(link);
    EXPECT_TRUE(S_ISLNK(mode_of(link, false))) << c.name;
    EXPECT_EQ(read_file(target), reference) << c.name;
  }
}

TEST_F(HeadlessOutput, ReplacedFileKeepsItsPermissionBits) {
  const std::string path = folder + "/private.csv";
  run_to(path);
  ASSERT_EQ(chmod(path.c_str(), 0600), 0);
  ASSERT_EQ(truncate(path.c_str(), 0), 0);
  EXPECT_EQ(run_to(path), reference);
  EXPECT_EQ(mode_of(path) & 07777, 0600u);
}

// Device nodes made in the test's own folder (making them needs root): the null device swallows
// the rows and stays a device; the full device reports its error, which must not pass as success.
TEST_F(HeadlessOutput, DevicesAreWrittenInPlaceAndTheirErrorsReported) {
  const std::string null_device = folder + "/null", full_device = folder + "/full";
  if (mknod(null_device.c_str(), S_IFCHR | 0666, makedev(1, 3)) != 0 ||
      mknod(full_device.c_str(), S_IFCHR | 0666, makedev(1, 7)) != 0)
    GTEST_SKIP() << "cannot make device nodes here: " << std::strerror(errno);
  const HeadlessRun swallowed = run_only(null_device);
  EXPECT_EQ(swallowed.status, 0) << swallowed.err;
  EXPECT_TRUE(S_ISCHR(mode_of(null_device)));
  const HeadlessRun full = run_only(full_device);
  EXPECT_EQ(full.status, 1);
  EXPECT_NE(full.err.find("No space left on device"), std::string::npos) << full.err;
  EXPECT_TRUE(S_ISCHR(mode_of(full_device)));
  EXPECT_EQ(folder_entries(folder).size(), 3u) << "no temporary file left behind";
}

// While the CSV goes to standard output, another output naming the same file (directly or through
// a link) would mix into it: refused before anything is written.
TEST_F(HeadlessOutput, OtherOutputsRefuseTheFileStandardOutputGoesTo) {
  const std::string standard_output = scratch + "/stdout.txt";  // where the runner sends it
  const std::string link = folder + "/to-stdout.gif";
  ASSERT_EQ(symlink(standard_output.c_str(), link.c_str()), 0);
  for (const auto& [option, path] :
       {std::pair{"--save-state", standard_output}, std::pair{"--video", link},
        std::pair{"--placements", standard_output}}) {
    const HeadlessRun run = run_headless({"--duration", "0.05", option, path}, scratch);
    EXPECT_EQ(run.status, 2) << option;
    EXPECT_NE(run.err.find("is standard output, where the CSV goes"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "") << option;
  }
}

// With standard error closed, the start-up line and the summary must go nowhere, not into the CSV.
TEST_F(HeadlessOutput, ClosedStandardDescriptorsKeepMessagesOutOfTheData) {
  const std::string path = folder + "/closed-stderr.csv";
  const HeadlessRun run = run_headless({"--duration", "0.05", "--output", path}, scratch, 2);
  EXPECT_EQ(run.status, 0);
  const std::string text = read_file(path);
  EXPECT_EQ(text, reference);
  const auto rows = parse_csv_rows(text);
  ASSERT_EQ(rows.size(), 6u);
  for (const auto& row : rows) EXPECT_EQ(row.size(), row_width);

  EXPECT_NE(run_headless({"--help"}, scratch, 1).status, 0) << "help written to a closed output";
  EXPECT_NE(run_headless({"--duration", "0.05"}, scratch, 1).status, 0);
}

TEST_F(HeadlessOutput, HangUpKeepsTheRowsSoFarLikeInterrupt) {
  const std::string path = folder + "/hung-up.csv";
  const pid_t pid = start_headless({"--duration", "1e6", "--quiet", "--output", path}, scratch);
  sleep(1);
  kill(pid, SIGHUP);
  const HeadlessRun run = finish_headless(pid, scratch);
  EXPECT_EQ(run.status, 128 + SIGHUP) << run.err;
  const auto rows = parse_csv_rows(read_file(path));
  ASSERT_GE(rows.size(), 2u);
  for (const auto& row : rows) EXPECT_EQ(row.size(), row_width);
}

// The rope left alone settles and the integrator's step grows; the rejected trial steps that come
// with it must not be taken for a divergence. (Shorter under the sanitizers, which run it ~20x
// slower; the first false alarm used to come at 87 s.)
TEST_F(HeadlessOutput, UntouchedRopeRunsForMinutesWithoutAnAlarm) {
#ifdef ROPE_SANITIZED
  const char* duration = "100";
#else
  const char* duration = "300";
#endif
  const std::string path = folder + "/long.csv";
  const HeadlessRun run =
      run_headless({"--duration", duration, "--every", "5000", "--output", path}, scratch);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err.find("instability"), std::string::npos);
  const auto rows = parse_csv_rows(read_file(path));
  ASSERT_FALSE(rows.empty());
  EXPECT_NEAR(rows.back()[0], std::atof(duration), 1e-6);
}

}  // namespace
