// Frames out of rope-headless: PNG files in a folder, or a GIF or MP4 made by piping the frames to
// the ffmpeg program. A video is written beside its target under a temporary name and renamed into
// place only when ffmpeg has finished it, so a failed run never leaves a half-written video there.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>

enum class VideoFormat { gif, mp4 };

// .gif or .mp4 (any letter case); false for anything else.
bool video_format_of(const std::string& path, VideoFormat& format);

// The ffmpeg program on the PATH, or empty.
std::string find_ffmpeg();

struct VideoOutput {
  std::FILE* pipe = nullptr;  // ffmpeg's standard input
  pid_t pid = -1;
  std::string path;       // final name
  std::string temp_path;  // what ffmpeg writes until it is done
  int width = 0, height = 0;
  bool failed = false;
};

// Starts ffmpeg on raw frames of width x height at `fps` frames per second. On failure false
// with a reason, nothing left on disk.
bool open_video(VideoOutput& video, const std::string& path, int width, int height, double fps,
                std::string& error);
// One frame of 32-bit pixels (B G R A in memory), `stride` bytes a row.
bool write_video_frame(VideoOutput& video, const unsigned char* pixels, int stride);
// Ends ffmpeg's input, waits for it and renames the video into place. False with a reason when
// ffmpeg failed or a frame could not be written; the temporary file is then removed.
bool finish_video(VideoOutput& video, std::string& error);
// Stops ffmpeg and removes what it wrote (a run that failed before the end).
void abandon_video(VideoOutput& video);
