// The trajectory file: rows of %.17g numbers. A plain file (new, existing, or the target of a
// symbolic link) is written to a temporary file beside it and renamed into place when the run
// ends, so a reader never sees a half-written file; a device or a FIFO is written in place.
#pragma once

#include <cstdio>
#include <string>

struct CsvOutput {
  std::FILE* file = nullptr;
  std::string path;       // final name; empty for standard output
  std::string temp_path;  // where the rows go until finish; empty when written in place
  bool failed = false;    // a write error happened
  int error_number = 0;   // errno of the first one
};

// Creates the temporary file (or takes standard output when `path` is empty). On failure returns
// false with a one-line reason in `error`, and nothing is left on disk.
bool open_csv_output(CsvOutput& out, const std::string& path, std::string& error);

// Header: t, then q0..q{coordinates-1}, p0.., then x1,v1,x2,v2.
void write_csv_header(CsvOutput& out, int coordinates);
void write_csv_row(CsvOutput& out, double t, const double* state, int dimension);

// Drops what was written: the temporary file goes, an existing file stays as it was.
void discard_csv_output(CsvOutput& out);

// Flushes, closes and renames into place. False with a reason when anything could not be written
// (the temporary file is then removed).
bool finish_csv_output(CsvOutput& out, std::string& error);
