#include "tools/csv_output.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
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

// mkstemp makes the file private; give it the mode a plain fopen would have.
void apply_default_mode(int fd) {
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
}

}  // namespace

bool open_csv_output(CsvOutput& out, const std::string& path, std::string& error) {
  out = CsvOutput{};
  if (path.empty()) {
    out.file = stdout;
    return true;
  }
  struct stat info {};
  if (stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    error = "cannot write output '" + path + "': it is a directory";
    return false;
  }
  std::string pattern = directory_of(path) + "/." + base_of(path) + ".XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = mkstemp(name.data());
  if (fd < 0) {
    error = "cannot write output '" + path + "': " + std::strerror(errno);
    return false;
  }
  apply_default_mode(fd);
  out.file = fdopen(fd, "w");
  if (!out.file) {
    error = "cannot write output '" + path + "': " + std::strerror(errno);
    close(fd);
    unlink(name.data());
    return false;
  }
  out.path = path;
  out.temp_path = name.data();
  return true;
}

void write_csv_header(CsvOutput& out, int coordinates) {
  std::string header = "t";
  for (int i = 0; i < coordinates; ++i) header += ",q" + std::to_string(i);
  for (int i = 0; i < coordinates; ++i) header += ",p" + std::to_string(i);
  header += ",x1,v1,x2,v2\n";
  if (std::fputs(header.c_str(), out.file) < 0) out.failed = true;
}

// %.17g gives back every double exactly when read again.
void write_csv_row(CsvOutput& out, double t, const double* state, int dimension) {
  char line[32 * 64];
  int length = std::snprintf(line, sizeof line, "%.17g", t);
  for (int i = 0; i < dimension && length < static_cast<int>(sizeof line); ++i)
    length += std::snprintf(line + length, sizeof line - length, ",%.17g", state[i]);
  if (length + 1 >= static_cast<int>(sizeof line)) {
    out.failed = true;
    return;
  }
  line[length++] = '\n';
  if (std::fwrite(line, 1, length, out.file) != static_cast<size_t>(length)) out.failed = true;
}

bool finish_csv_output(CsvOutput& out, std::string& error) {
  if (!out.file) return true;
  std::FILE* file = out.file;
  out.file = nullptr;
  if (std::fflush(file) != 0) out.failed = true;
  if (out.path.empty()) {
    if (out.failed) error = std::string("cannot write to standard output: ") + std::strerror(errno);
    return !out.failed;
  }
  if (std::fclose(file) != 0) out.failed = true;
  if (!out.failed && std::rename(out.temp_path.c_str(), out.path.c_str()) != 0) out.failed = true;
  if (out.failed) {
    error = "cannot write output '" + out.path + "': " + std::strerror(errno);
    unlink(out.temp_path.c_str());
  }
  return !out.failed;
}
