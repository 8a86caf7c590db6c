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
#include <cstdint>
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

std::vector<std::string> ffmpeg_arguments(const VideoOutput& video, VideoFormat format,
                                          double fps) {
  // A stream in place goes out through ffmpeg's standard output; a file by its temporary name.
  const std::string output = video.target.temp_path.empty() ? "pipe:1" : video.target.temp_path;
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
  args.push_back(output);
  return args;
}

}  // namespace

bool video_can_stream(VideoFormat format) {
  return format == VideoFormat::gif;
}

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

namespace {

bool fail_to_start(VideoOutput& video, const std::string& reason, std::string& error) {
  error = "cannot start ffmpeg: " + reason;
  discard_atomic(video.target);
  return false;
}

// ffmpeg gets the read end of the pipe as its standard input and, when the video is streamed in
// place, the target as its standard output; otherwise its standard output joins its standard
// error, keeping the CSV on ours clean. Its own process group keeps a terminal's Ctrl-C away from
// it; signals this program ignores (a broken pipe) are reset for it.
int spawn_ffmpeg(VideoOutput& video, const std::string& ffmpeg, std::vector<std::string>& args,
                 int input) {
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, input, STDIN_FILENO);
  const int output = video.target.temp_path.empty() ? video.target.fd : STDERR_FILENO;
  posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t defaults, none;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
  const int spawned =
      posix_spawn(&video.pid, ffmpeg.c_str(), &actions, &attributes, argv.data(), environ);
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
  return spawned;
}

// ffmpeg leads its own process group: stopping the group stops whatever it started too.
void stop_ffmpeg(pid_t pid) {
  kill(-pid, SIGKILL);
}

// A signal while waiting means the user wants out now: ffmpeg is stopped and the video dropped.
bool wait_for_ffmpeg(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
    stop_ffmpeg(pid);
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

bool open_video(VideoOutput& video, const OutputPlan& plan, int width, int height, double fps,
                const volatile std::sig_atomic_t* stop, std::string& error) {
  video = VideoOutput{};
  VideoFormat format;
  const std::string ffmpeg = find_ffmpeg();
  if (!video_format_of(plan.path, format) && !video_format_of(plan.requested, format)) {
    error = "--video needs a .gif or .mp4 file name, got '" + plan.requested + "'";
    return false;
  }
  if (ffmpeg.empty()) {
    error = "--video needs the ffmpeg program, and there is none on the PATH (Debian: ffmpeg)";
    return false;
  }
  video.width = width;
  video.height = height;
  video.format = format;
  video.stop = stop;
  std::string reason;
  if (!open_atomic(video.target, plan, reason)) {
    error = "cannot write video '" + plan.requested + "': " + reason;
    return false;
  }
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return fail_to_start(video, std::strerror(errno), error);
  std::vector<std::string> args = ffmpeg_arguments(video, format, fps);
  const int spawned = spawn_ffmpeg(video, ffmpeg, args, ends[0]);
  close(ends[0]);
  if (video.target.temp_path.empty()) {  // ffmpeg holds the target now
    close(video.target.fd);
    video.target.fd = -1;
  }
  if (spawned != 0) {
    close(ends[1]);
    return fail_to_start(video, std::strerror(spawned), error);
  }
  // Non-blocking, so that a stalled ffmpeg cannot hold a write past a stop.
  fcntl(ends[1], F_SETFL, fcntl(ends[1], F_GETFL) | O_NONBLOCK);
  video.pipe = ends[1];
  return true;
}

bool write_video_frame(VideoOutput& video, const unsigned char* pixels, int stride) {
  const size_t row = static_cast<size_t>(video.width) * 4;
  const auto* bytes = reinterpret_cast<const char*>(pixels);
  const bool packed = static_cast<size_t>(stride) == row;  // rows back to back: one write
  if (packed && !write_all(video.pipe, bytes, row * video.height, video.stop)) video.failed = true;
  for (int y = 0; !packed && y < video.height && !video.failed; ++y)
    video.failed = !write_all(video.pipe, bytes + static_cast<size_t>(y) * stride, row, video.stop);
  return !video.failed;
}

namespace {

bool read_at(int fd, off_t at, unsigned char* bytes, size_t count) {
  return pread(fd, bytes, count, at) == static_cast<ssize_t>(count);
}

bool gif_complete(int fd, off_t size) {
  unsigned char head[6], trailer = 0;
  return size > 6 && read_at(fd, 0, head, 6) && std::memcmp(head, "GIF8", 4) == 0 &&
         read_at(fd, size - 1, &trailer, 1) && trailer == 0x3B;
}

uint64_t big_endian(const unsigned char* bytes, int count) {
  uint64_t value = 0;
  for (int i = 0; i < count; ++i) value = value << 8 | bytes[i];
  return value;
}

// Top-level boxes: a 32-bit size and a type, or size 1 and a 64-bit size after the type.
bool mp4_complete(int fd, off_t size) {
  const uint64_t end = static_cast<uint64_t>(size);
  uint64_t at = 0;
  bool index = false;
  unsigned char header[16];
  while (at < end) {
    if (end - at < 8 || !read_at(fd, static_cast<off_t>(at), header, 8)) return false;
    uint64_t box = big_endian(header, 4);
    if (box == 1 && !(end - at >= 16 && read_at(fd, static_cast<off_t>(at) + 8, header + 8, 8)))
      return false;
    if (box == 1) box = big_endian(header + 8, 8);
    if (box < 8 || box > end - at) return false;  // size 0 (to the end) is not what ffmpeg ends on
    index = index || std::memcmp(header + 4, "moov", 4) == 0;
    at += box;
  }
  return index;
}

}  // namespace

bool video_file_complete(const std::string& path, VideoFormat format) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd < 0) return false;
  const bool complete = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
                        (format == VideoFormat::gif ? gif_complete(fd, info.st_size)
                                                    : mp4_complete(fd, info.st_size));
  close(fd);
  return complete;
}

namespace {

// What ffmpeg left is checked as well as its status: it may report a full disk and still exit 0.
// A video streamed in place has gone already and cannot be read back.
const char* video_problem(const VideoOutput& video, bool encoded) {
  if (video.failed) return "a frame could not be written";
  if (!encoded) return "ffmpeg failed";
  if (!video.target.temp_path.empty() && !video_file_complete(video.target.temp_path, video.format))
    return "ffmpeg left an incomplete video (is the disk full?)";
  return nullptr;
}

}  // namespace

bool finish_video(VideoOutput& video, std::string& error) {
  if (video.pipe < 0) return true;
  close(video.pipe);
  video.pipe = -1;
  if (video.failed) stop_ffmpeg(video.pid);  // it stopped reading: it may never end by itself
  const char* problem = video_problem(video, wait_for_ffmpeg(video.pid));
  if (!problem && commit_atomic(video.target)) return true;
  const int error_number = errno;
  discard_atomic(video.target);
  error = "cannot write video '" + video.target.path +
          "': " + (problem ? problem : std::strerror(error_number));
  return false;
}

void abandon_video(VideoOutput& video) {
  if (video.pipe < 0) return;
  close(video.pipe);
  video.pipe = -1;
  stop_ffmpeg(video.pid);
  waitpid(video.pid, nullptr, 0);
  discard_atomic(video.target);
}
