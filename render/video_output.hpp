// Frames out of rope-headless: a GIF or MP4 made by piping raw frames to the ffmpeg program.
// The video goes through the programs' output-file rule: written under a temporary name beside
// the target and renamed into place only when ffmpeg has finished it, so a failed run never
// leaves a half-written video there; a GIF can also be streamed into a FIFO or a device.
// ffmpeg runs in a process group of its own, so a Ctrl-C at the terminal reaches only the
// program, which then decides whether the video is finished or dropped.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <string>

#include "io/output_file.hpp"

enum class VideoFormat { gif, mp4 };

// .gif or .mp4 (any letter case); false for anything else.
bool video_format_of(const std::string& path, VideoFormat& format);

// Whether the format can be written to a pipe or a device (an MP4 needs to seek back).
bool video_can_stream(VideoFormat format);

// The ffmpeg program on the PATH, or empty.
std::string find_ffmpeg();

struct VideoOutput {
  int pipe = -1;  // ffmpeg's standard input
  pid_t pid = -1;
  AtomicFile target;
  int width = 0, height = 0;
  VideoFormat format = VideoFormat::gif;
  bool failed = false;
  const volatile std::sig_atomic_t* stop = nullptr;  // nonzero: give up on a stalled ffmpeg
};

// Starts ffmpeg on raw frames of width x height at `fps` frames per second, writing what `plan`
// describes. On failure false with a reason, nothing left on disk.
bool open_video(VideoOutput& video, const OutputPlan& plan, int width, int height, double fps,
                const volatile std::sig_atomic_t* stop, std::string& error);
// One frame of 32-bit pixels (B G R A in memory), `stride` bytes a row.
bool write_video_frame(VideoOutput& video, const unsigned char* pixels, int stride);
// Ends ffmpeg's input, waits for it and renames the video into place. False with a reason when
// ffmpeg failed, a frame could not be written, the file it left is not a whole video (ffmpeg may
// report a full disk and still exit 0), or a signal came while waiting (ffmpeg is then stopped);
// the temporary file is then removed and any earlier video stays.
bool finish_video(VideoOutput& video, std::string& error);
// Whether the file at `path` ends as a whole video of `format` does: a GIF's trailer byte, an
// MP4's boxes filling the file exactly, its index (moov) among them.
bool video_file_complete(const std::string& path, VideoFormat format);
// Stops ffmpeg and removes what it wrote (a run that failed before the end).
void abandon_video(VideoOutput& video);
