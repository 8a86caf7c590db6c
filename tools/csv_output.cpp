#include "tools/csv_output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

std::string directory_of(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
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
    if (length < 0) {
      error = std::strerror(errno);
      return false;
    }
    const std::string next(target.data(), static_cast<size_t>(length));
    path = next[0] == '/' ? next : directory_of(path) + "/" + next;
  }
  error = std::strerror(ELOOP);
  return false;
}

// A device, a FIFO or anything else that is not a plain file is written where it is: replacing it
// by a new file would destroy it (and a FIFO's reader would never see the data).
bool open_in_place(CsvOutput& out, const std::string& path, std::string& error) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0 || !(out.file = fdopen(fd, "w"))) {
    error = std::strerror(errno);
    if (fd >= 0) close(fd);
    return false;
  }
  out.path = path;
  return true;
}

// A plain file is written to a temporary file beside it and renamed over it at the end. An
// existing file keeps its permission bits (and, where allowed, its owner); one the user may not
// write is left alone.
bool open_replacement(CsvOutput& out, const std::string& target, const struct stat* existing,
                      std::string& error) {
  if (existing) {
    const int probe = open(target.c_str(), O_WRONLY | O_CLOEXEC);
    if (probe < 0) {
      error = std::strerror(errno);
      return false;
    }
    close(probe);
  }
  std::string pattern = directory_of(target) + "/." + base_of(target) + ".XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = mkstemp(name.data());
  if (fd < 0) {
    error = std::strerror(errno);
    return false;
  }
  if (existing) {
    fchmod(fd, existing->st_mode & 07777);
    if (fchown(fd, existing->st_uid, existing->st_gid) != 0) fchmod(fd, existing->st_mode & 0777);
  } else {
    const mode_t mask = umask(0);  // the mode a plain fopen would have given
    umask(mask);
    fchmod(fd, 0666 & ~mask);
  }
  out.file = fdopen(fd, "w");
  if (!out.file) {
    error = std::strerror(errno);
    close(fd);
    unlink(name.data());
    return false;
  }
  out.path = target;
  out.temp_path = name.data();
  return true;
}

}  // namespace

// The first error is the one worth reporting.
static void mark_failed(CsvOutput& out) {
  if (!out.failed) out.error_number = errno;
  out.failed = true;
}

bool open_csv_output(CsvOutput& out, const std::string& path, std::string& error) {
  out = CsvOutput{};
  if (path.empty()) {
    out.file = stdout;
    return true;
  }
  std::string reason;
  bool opened = false;
  struct stat info {};
  if (stat(path.c_str(), &info) == 0) {
    if (S_ISDIR(info.st_mode))
      reason = "it is a directory";
    else if (!S_ISREG(info.st_mode))
      opened = open_in_place(out, path, reason);
    else {
      // realpath follows every link, /proc's descriptor links included.
      std::vector<char> real(PATH_MAX + 1);
      if (!realpath(path.c_str(), real.data()))
        reason = std::strerror(errno);
      else
        opened = open_replacement(out, real.data(), &info, reason);
    }
  } else if (errno == ENOENT) {
    std::string target = path;  // a dangling link gets its target created
    if (resolve_links(target, reason)) opened = open_replacement(out, target, nullptr, reason);
  } else {
    reason = std::strerror(errno);
  }
  if (!opened) error = "cannot write output '" + path + "': " + reason;
  return opened;
}

void write_csv_header(CsvOutput& out, int coordinates) {
  std::string header = "t";
  for (int i = 0; i < coordinates; ++i) header += ",q" + std::to_string(i);
  for (int i = 0; i < coordinates; ++i) header += ",p" + std::to_string(i);
  header += ",x1,v1,x2,v2\n";
  if (std::fputs(header.c_str(), out.file) < 0) mark_failed(out);
}

// %.17g gives back every double exactly when read again.
void write_csv_row(CsvOutput& out, double t, const double* state, int dimension) {
  bool ok = std::fprintf(out.file, "%.17g", t) > 0;
  for (int i = 0; i < dimension && ok; ++i) ok = std::fprintf(out.file, ",%.17g", state[i]) > 0;
  if (!ok || std::fputc('\n', out.file) == EOF) mark_failed(out);
}

void discard_csv_output(CsvOutput& out) {
  if (!out.file) return;
  if (out.file != stdout) std::fclose(out.file);
  out.file = nullptr;
  if (!out.temp_path.empty()) unlink(out.temp_path.c_str());
}

bool finish_csv_output(CsvOutput& out, std::string& error) {
  if (!out.file) return true;
  std::FILE* file = out.file;
  out.file = nullptr;
  if (std::fflush(file) != 0) mark_failed(out);
  if (out.path.empty()) {
    if (out.failed)
      error = std::string("cannot write to standard output: ") + std::strerror(out.error_number);
    return !out.failed;
  }
  if (std::fclose(file) != 0) mark_failed(out);
  if (out.temp_path.empty()) {  // written in place
    if (out.failed)
      error = "cannot write output '" + out.path + "': " + std::strerror(out.error_number);
    return !out.failed;
  }
  if (!out.failed && std::rename(out.temp_path.c_str(), out.path.c_str()) != 0) mark_failed(out);
  if (out.failed) {
    error = "cannot write output '" + out.path + "': " + std::strerror(out.error_number);
    unlink(out.temp_path.c_str());
  }
  return !out.failed;
}
