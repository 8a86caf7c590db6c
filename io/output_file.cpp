#include "io/output_file.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::string folder_of(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool fail(std::string& error, const std::string& reason) {
  error = reason;
  return false;
}

// Where a symbolic link finally points, following one link at a time, so that a link whose target
// does not exist yet still names where the new file goes. Relative targets are taken from the
// link's own folder.
bool resolve_links(std::string& path, std::string& error) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat info {};
    if (lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return true;
    std::vector<char> target(PATH_MAX + 1);
    const ssize_t length = readlink(path.c_str(), target.data(), PATH_MAX);
    if (length < 0) return fail(error, std::strerror(errno));
    const std::string next(target.data(), static_cast<size_t>(length));
    path = next[0] == '/' ? next : folder_of(path) + "/" + next;
  }
  return fail(error, std::strerror(ELOOP));
}

// The temporary file is made beside the target, so the final rename stays within one file system.
bool folder_takes_new_files(const std::string& path, std::string& folder, std::string& error) {
  std::vector<char> real(PATH_MAX + 1);
  if (!realpath(folder_of(path).c_str(), real.data()))
    return fail(error, "no folder '" + folder_of(path) + "': " + std::strerror(errno));
  folder = real.data();
  if (access(folder.c_str(), W_OK | X_OK) != 0)
    return fail(error, "its folder is not writable: " + std::string(std::strerror(errno)));
  return true;
}

bool plan_existing(const std::string& path, const struct stat& info, bool can_stream,
                   OutputPlan& plan, std::string& error) {
  plan.exists = true;
  plan.mode = info.st_mode;
  plan.owner = info.st_uid;
  plan.group = info.st_gid;
  plan.device = info.st_dev;
  plan.inode = info.st_ino;
  if (S_ISDIR(info.st_mode)) return fail(error, "it is a directory");
  if (access(path.c_str(), W_OK) != 0) return fail(error, std::strerror(errno));
  if (!S_ISREG(info.st_mode)) {
    if (!can_stream) return fail(error, "it is not a regular file, and this format needs one");
    plan.in_place = true;
    plan.path = path;
    return true;
  }
  // realpath follows every link, /proc's descriptor links included.
  std::vector<char> real(PATH_MAX + 1);
  if (!realpath(path.c_str(), real.data())) return fail(error, std::strerror(errno));
  std::string folder;
  if (!folder_takes_new_files(real.data(), folder, error)) return false;
  plan.path = real.data();
  return true;
}

bool plan_new(const std::string& path, OutputPlan& plan, std::string& error) {
  std::string target = path;  // a dangling link gets its target created
  if (!resolve_links(target, error)) return false;
  std::string folder;
  if (!folder_takes_new_files(target, folder, error)) return false;
  plan.path = folder + (folder == "/" ? "" : "/") + base_of(target);
  return true;
}

std::string random_suffix() {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  unsigned char bytes[6] = {};
  if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(std::rand());
  std::string suffix;
  for (const unsigned char b : bytes) suffix.push_back(letters[b % (sizeof letters - 1)]);
  return suffix;
}

// Created with mode 0666 under the process's umask, as a plain fopen would create the file; no
// process-wide state changes, so other threads may create files at the same time.
int create_temporary(const std::string& target, std::string& name) {
  const std::string prefix = folder_of(target) + "/." + base_of(target) + ".";
  for (int attempt = 0; attempt < 100; ++attempt) {
    name = prefix + random_suffix();
    const int fd = open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// An existing file's replacement keeps its permission bits and, where allowed, its owner; where
// the owner cannot be kept, neither are the set-id bits.
void keep_mode_of(int fd, const OutputPlan& plan) {
  if (!plan.exists) return;
  if (fchown(fd, plan.owner, plan.group) == 0)
    fchmod(fd, plan.mode & 07777);
  else
    fchmod(fd, plan.mode & 0777);
}

constexpr int poll_slice_ms = 20;
constexpr int stalled_after_stop_ms = 100;

// A pipe that polls writable has room for PIPE_BUF bytes: writes of that size do not block.
size_t write_chunk(int fd) {
  struct stat info {};
  return fstat(fd, &info) == 0 && S_ISREG(info.st_mode) ? size_t{1} << 20 : size_t{PIPE_BUF};
}

}  // namespace

bool plan_output(const std::string& path, bool can_stream, OutputPlan& plan, std::string& error) {
  plan = OutputPlan{};
  plan.requested = path;
  if (path.empty()) return fail(error, "no file name");
  struct stat info {};
  if (stat(path.c_str(), &info) == 0) return plan_existing(path, info, can_stream, plan, error);
  if (errno != ENOENT) return fail(error, std::strerror(errno));
  return plan_new(path, plan, error);
}

bool same_destination(const OutputPlan& a, const OutputPlan& b) {
  if (a.path == b.path) return true;
  return a.exists && b.exists && a.device == b.device && a.inode == b.inode;
}

bool names_open_file(const std::string& path, int fd) {
  struct stat named {}, open_file {};
  return stat(path.c_str(), &named) == 0 && fstat(fd, &open_file) == 0 &&
         named.st_dev == open_file.st_dev && named.st_ino == open_file.st_ino;
}

bool open_atomic(AtomicFile& file, const OutputPlan& plan, std::string& error) {
  file = AtomicFile{};
  file.path = plan.path;
  if (plan.in_place) {
    file.fd = open(plan.path.c_str(), O_WRONLY | O_CLOEXEC);
    return file.fd >= 0 || fail(error, std::strerror(errno));
  }
  std::string name;
  file.fd = create_temporary(plan.path, name);
  if (file.fd < 0) return fail(error, std::strerror(errno));
  file.temp_path = name;
  keep_mode_of(file.fd, plan);
  return true;
}

bool commit_atomic(AtomicFile& file) {
  bool ok = true;
  int error_number = 0;
  if (file.fd >= 0 && close(file.fd) != 0) {
    ok = false;
    error_number = errno;
  }
  file.fd = -1;
  if (file.temp_path.empty()) {
    errno = error_number;
    return ok;
  }
  if (ok && std::rename(file.temp_path.c_str(), file.path.c_str()) != 0) {
    ok = false;
    error_number = errno;
  }
  if (!ok) unlink(file.temp_path.c_str());
  file.temp_path.clear();
  errno = error_number;
  return ok;
}

void discard_atomic(AtomicFile& file) {
  if (file.fd >= 0) close(file.fd);
  file.fd = -1;
  if (!file.temp_path.empty()) unlink(file.temp_path.c_str());
  file.temp_path.clear();
}

bool write_all(int fd, const char* data, size_t size, const volatile std::sig_atomic_t* stop) {
  const size_t chunk = write_chunk(fd);
  int idle_ms = 0;
  while (size > 0) {
    pollfd wanted{fd, POLLOUT, 0};
    const int ready = poll(&wanted, 1, poll_slice_ms);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) {  // nothing taken in this slice, or a signal came
      if (stop && *stop && (idle_ms += poll_slice_ms) >= stalled_after_stop_ms) {
        errno = EINTR;
        return false;
      }
      continue;
    }
    const ssize_t written = write(fd, data, std::min(size, chunk));
    if (written < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
    idle_ms = 0;
  }
  return true;
}
