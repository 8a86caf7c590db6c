// Output files of the programs (trajectory CSV, video, checkpoints), all by one rule: a plain
// file (new, existing, or the target of a symbolic link) is written under a temporary name beside
// it and renamed into place only when complete, keeping an existing file's permission bits, so a
// reader never sees half a file and a failed run never replaces a good one. A FIFO or a device is
// written where it is when the format can be streamed, and refused otherwise.
//
// Writes wait for a slow reader in short polls and give up once a stop is asked for and the
// reader has taken nothing for a moment, so a stalled pipe never keeps a program from ending.
#pragma once

#include <sys/types.h>

#include <csignal>
#include <cstddef>
#include <string>

// Where one output goes, checked before anything is written.
struct OutputPlan {
  std::string requested;  // as the user gave it, for messages
  std::string path;       // where the data lands: links followed, folder made absolute
  bool in_place = false;  // a FIFO or a device: written where it is
  bool exists = false;
  mode_t mode = 0;  // of the existing file
  uid_t owner = 0;
  gid_t group = 0;
  dev_t device = 0;  // of the existing file, to tell two names of one file apart
  ino_t inode = 0;
};

// Checks that `path` can be written: not a folder, in a folder that exists, writable by this
// user when it exists; a non-regular file only when `can_stream`. False with a one-line reason.
bool plan_output(const std::string& path, bool can_stream, OutputPlan& plan, std::string& error);

// True when two plans end in the same file (by name, or as two names of one existing file).
bool same_destination(const OutputPlan& a, const OutputPlan& b);

// True when `path` (links followed) names the file open on descriptor `fd`: a pipe, a terminal or
// a file that another output is already streaming to.
bool names_open_file(const std::string& path, int fd);

struct AtomicFile {
  int fd = -1;
  std::string path;       // final name
  std::string temp_path;  // empty when written in place
};

// Creates the temporary file (mode of the file it replaces, or what a new file would get), or
// opens an in-place target. False with a reason; nothing is left on disk.
bool open_atomic(AtomicFile& file, const OutputPlan& plan, std::string& error);
// Closes (when still open) and renames into place. False with errno set when that fails; the
// temporary file is then removed.
bool commit_atomic(AtomicFile& file);
// Closes (when still open) and removes the temporary file: the target stays as it was.
void discard_atomic(AtomicFile& file);

// Writes all of `data` to `fd`. Waits for a slow reader; once *stop is nonzero (a signal asked
// the program to end) it gives up when the reader has taken nothing for about 0.1 s, with errno
// EINTR. False with errno set on failure.
bool write_all(int fd, const char* data, size_t size, const volatile std::sig_atomic_t* stop);
