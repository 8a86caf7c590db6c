#include "headless_run.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace {

pid_t spawn_headless(const std::vector<std::string>& args, const std::string& scratch,
                     int closed_descriptor, const Launch& launch) {
  const std::string out_path = scratch + "/stdout.txt";
  const std::string err_path = scratch + "/stderr.txt";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const int flags = O_WRONLY | O_CREAT | O_TRUNC;
  if (launch.stdout_fd >= 0)
    posix_spawn_file_actions_adddup2(&actions, launch.stdout_fd, 1);
  else
    posix_spawn_file_actions_addopen(&actions, 1, out_path.c_str(), flags, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, err_path.c_str(), flags, 0644);
  if (closed_descriptor >= 0) posix_spawn_file_actions_addclose(&actions, closed_descriptor);
  std::vector<std::string> words = {ROPE_HEADLESS};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  if (launch.own_group) {
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  }
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, ROPE_HEADLESS, &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) throw std::runtime_error("cannot start " ROPE_HEADLESS);
  return pid;
}

}  // namespace

pid_t start_headless(const std::vector<std::string>& args, const std::string& scratch,
                     int closed_descriptor) {
  return spawn_headless(args, scratch, closed_descriptor, Launch{});
}

pid_t start_headless(const std::vector<std::string>& args, const std::string& scratch,
                     const Launch& launch) {
  return spawn_headless(args, scratch, -1, launch);
}

HeadlessRun finish_headless(pid_t pid, const std::string& scratch) {
  int wait_status = 0;
  waitpid(pid, &wait_status, 0);
  HeadlessRun run;
  run.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
  run.out = read_file(scratch + "/stdout.txt");
  run.err = read_file(scratch + "/stderr.txt");
  return run;
}

HeadlessRun run_headless(const std::vector<std::string>& args, const std::string& scratch,
                         int closed_descriptor) {
  return finish_headless(start_headless(args, scratch, closed_descriptor), scratch);
}

std::string make_temp_folder() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/rope-headless-test.XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot make a temporary folder");
  return pattern;
}

void remove_folder(const std::string& path) {
  for (const std::string& entry : folder_entries(path)) {
    const std::string full = path + "/" + entry;
    if (unlink(full.c_str()) != 0) remove_folder(full);
  }
  rmdir(path.c_str());
}

std::vector<std::string> folder_entries(const std::string& path) {
  std::vector<std::string> entries;
  DIR* dir = opendir(path.c_str());
  if (!dir) return entries;
  while (const dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") entries.push_back(name);
  }
  closedir(dir);
  return entries;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::vector<std::vector<double>> parse_csv_rows(const std::string& text) {
  std::vector<std::vector<double>> rows;
  std::istringstream lines(text);
  std::string line;
  std::getline(lines, line);  // header
  while (std::getline(lines, line)) {
    std::vector<double> row;
    const char* cursor = line.c_str();
    while (true) {
      char* end = nullptr;
      row.push_back(std::strtod(cursor, &end));
      if (end == cursor) throw std::runtime_error("not a number in row: " + line);
      if (*end == '\0') break;
      if (*end != ',') throw std::runtime_error("bad separator in row: " + line);
      cursor = end + 1;
    }
    rows.push_back(row);
  }
  return rows;
}
