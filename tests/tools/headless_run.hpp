// Runs the rope-headless program in a child process and reads back what it wrote.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <string>
#include <vector>

struct HeadlessRun {
  int status = -1;  // exit status; -1 when it did not exit normally
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs rope-headless with `args`; its standard output and error are captured through files in
// `scratch` (a folder the test owns, not the one whose contents it checks). `closed_descriptor`
// (1 or 2) starts the program with that descriptor closed instead of captured.
HeadlessRun run_headless(const std::vector<std::string>& args, const std::string& scratch,
                         int closed_descriptor = -1);
// The same in two halves, for a test that acts on the running process.
pid_t start_headless(const std::vector<std::string>& args, const std::string& scratch,
                     int closed_descriptor = -1);
// How a test wants the process started: in a process group of its own (as a shell starts a job,
// so that the test can signal the group as a terminal's Ctrl-C does), and with standard output
// on a descriptor of the test's (a pipe) instead of the capture file.
struct Launch {
  bool own_group = false;
  int stdout_fd = -1;
};
pid_t start_headless(const std::vector<std::string>& args, const std::string& scratch,
                     const Launch& launch);
HeadlessRun finish_headless(pid_t pid, const std::string& scratch);

// A fresh empty folder under the system's temporary folder.
std::string make_temp_folder();
void remove_folder(const std::string& path);
std::vector<std::string> folder_entries(const std::string& path);
std::string read_file(const std::string& path);

// CSV rows as numbers (the header row is skipped); every row must parse completely.
std::vector<std::vector<double>> parse_csv_rows(const std::string& text);

// A test with two folders of its own: `folder` for what the program writes and the test checks,
// `scratch` for the program's captured output.
class HeadlessFolders : public testing::Test {
 protected:
  void SetUp() override {
    folder = make_temp_folder();
    scratch = make_temp_folder();
  }
  void TearDown() override {
    remove_folder(folder);
    remove_folder(scratch);
  }
  std::string folder;
  std::string scratch;
};
