#include "render/video_output.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <vector>

extern char** environ;

namespace {

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Beside the target, hidden, unique: ffmpeg is told the container, so the name needs no extension.
std::string temporary_name(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string pattern = folder + "/." + base + ".XXXXXX";
  const int fd = mkstemp(pattern.data());
  if (fd < 0) return "";
  close(fd);
  return pattern;
}

std::vector<std::string> ffmpeg_arguments(const VideoOutput& video, VideoFormat format,
                                          double fps) {
  char size[32], rate[32];
  std::snprintf(size, sizeof size, "%dx%d", video.width, video.height);
  std::snprintf(rate, sizeof rate, "%.17g", fps);
  std::vector<std::string> args = {
      "ffmpeg",   "-hide_banner", "-loglevel",   "error", "-nostdin",   "-y", "-f", "rawvideo",
      "-pix_fmt", "bgra",         "-video_size", size,    "-framerate", rate, "-i", "-"};
  if (format == VideoFormat::mp4) {
    // H.264 in 4:2:0 needs even sides: an odd size gets one white row or column more.
    args.insert(args.end(),
                {"-vf", "pad=ceil(iw/2)*2:ceil(ih/2)*2:color=white", "-c:v", "libx264", "-preset",
                 "veryfast", "-pix_fmt", "yuv420p", "-movflags", "+faststart", "-f", "mp4"});
  } else {
    args.insert(args.end(),
                {"-vf", "split[a][b];[a]palettegen=reserve_transparent=0[p];[b][p]paletteuse", "-f",
                 "gif"});
  }
  args.push_back(video.temp_path);
  return args;
}

}  // namespace

bool video_format_of(const std::string& path, VideoFormat& format) {
  const std::string name = lower(path);
  if (ends_with(name, ".gif"))
    format = VideoFormat::gif;
  else if (ends_with(name, ".mp4"))
    format = VideoFormat::mp4;
  else
    return false;
  return true;
}

std::string find_ffmpeg() {
  const char* path = std::getenv("PATH");
  std::string folders = path ? path : "";
  size_t start = 0;
  while (start <= folders.size()) {
    const size_t colon = folders.find(':', start);
    std::string candidate = folders.substr(start, colon - start);
    if (candidate.empty()) candidate.push_back('.');  // an empty entry is the current folder
    candidate.append("/ffmpeg");
    struct stat info {};
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        access(candidate.c_str(), X_OK) == 0)
      return candidate;
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return "";
}

bool open_video(VideoOutput& video, const std::string& path, int width, int height, double fps,
                std::string& error) {
  video = VideoOutput{};
  VideoFormat format;
  const std::string ffmpeg = find_ffmpeg();
  if (!video_format_of(path, format)) {
    error = "--video needs a .gif or .mp4 file name, got '" + path + "'";
    return false;
  }
  if (ffmpeg.empty()) {
    error = "--video needs the ffmpeg program, and there is none on the PATH (Debian: ffmpeg)";
    return false;
  }
  video.path = path;
  video.width = width;
  video.height = height;
  video.temp_path = temporary_name(path);
  if (video.temp_path.empty()) {
    error = "cannot write video '" + path + "': " + std::strerror(errno);
    return false;
  }
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    error = std::string("cannot start ffmpeg: ") + std::strerror(errno);
    unlink(video.temp_path.c_str());
    return false;
  }
  std::vector<std::string> args = ffmpeg_arguments(video, format, fps);
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, ends[0], STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, STDERR_FILENO, STDOUT_FILENO);  // keep the CSV clean
  const int spawned =
      posix_spawn(&video.pid, ffmpeg.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(ends[0]);
  if (spawned != 0) {
    close(ends[1]);
    unlink(video.temp_path.c_str());
    error = std::string("cannot start ffmpeg: ") + std::strerror(spawned);
    return false;
  }
  video.pipe = fdopen(ends[1], "w");
  // A dead ffmpeg must show as a write error, not end rope-headless.
  std::signal(SIGPIPE, SIG_IGN);
  return true;
}

bool write_video_frame(VideoOutput& video, const unsigned char* pixels, int stride) {
  const size_t row = static_cast<size_t>(video.width) * 4;
  for (int y = 0; y < video.height && !video.failed; ++y)
    if (std::fwrite(pixels + static_cast<size_t>(y) * stride, 1, row, video.pipe) != row)
      video.failed = true;
  return !video.failed;
}

bool finish_video(VideoOutput& video, std::string& error) {
  if (!video.pipe) return true;
  const bool written = !video.failed && std::fflush(video.pipe) == 0;
  std::fclose(video.pipe);
  video.pipe = nullptr;
  int status = 0;
  waitpid(video.pid, &status, 0);
  const bool encoded = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (written && encoded) {
    const mode_t mask = umask(0);  // the mode a new file would have had, not mkstemp's 0600
    umask(mask);
    chmod(video.temp_path.c_str(), 0666 & ~mask);
    if (std::rename(video.temp_path.c_str(), video.path.c_str()) == 0) return true;
  }
  unlink(video.temp_path.c_str());
  error = "cannot write video '" + video.path + "': " +
          (encoded ? (written ? std::strerror(errno) : "a frame could not be written")
                   : "ffmpeg failed");
  return false;
}

void abandon_video(VideoOutput& video) {
  if (!video.pipe) return;
  std::fclose(video.pipe);
  video.pipe = nullptr;
  kill(video.pid, SIGTERM);
  waitpid(video.pid, nullptr, 0);
  unlink(video.temp_path.c_str());
}
