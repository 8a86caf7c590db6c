// The trajectory file: rows of %.17g numbers, written through the programs' output-file rule
// (temporary file renamed into place at the end; FIFOs and devices written in place) or to
// standard output, with writes that give up on a stalled reader once a stop is asked for.
#pragma once

#include <csignal>
#include <cstdio>
#include <span>
#include <string>
#include <string_view>

#include "io/output_file.hpp"
#include "rope/state_layout.hpp"
#include "stepping/measures.hpp"

struct CsvOutput {
  std::FILE* file = nullptr;
  AtomicFile target;  // unused for standard output
  bool to_stdout = false;
  bool failed = false;   // a write error happened
  int error_number = 0;  // errno of the first one
  // Where the buffered stream's writes go; the stream points at it, so a CsvOutput stays put
  // while open.
  struct Sink {
    int fd = -1;
    const volatile std::sig_atomic_t* stop = nullptr;
  } sink;
};

// Opens the output that `plan` describes, or standard output when `plan` is null. On failure
// returns false with a one-line reason in `error`, and nothing is left on disk.
bool open_csv_output(CsvOutput& out, const OutputPlan* plan, const volatile std::sig_atomic_t* stop,
                     std::string& error);

// Header: t, then q0..q{n-1}, p0.., then the carriages' slots (x1,v1,x2,v2).
void write_csv_header(CsvOutput& out, const StateLayout& layout);
void write_csv_row(CsvOutput& out, double t, const double* state, int dimension);
// Header of the placements: t, then x, y, angle of every body (base first), then the far end's
// x and y.
void write_placements_header(CsvOutput& out, int bodies);

// Columns a run adds after the state's on request (--columns): a name, its headers and what it
// reads from the world's readings.
struct ReadingColumns {
  const char* name;
  const char* headers;  // each with its leading comma
  int count;
  void (*read)(const WorldReadings& readings, double* values);
};
std::span<const ReadingColumns> reading_columns();
const ReadingColumns* find_reading_columns(std::string_view name);
// "contact, drag, dissipated", for messages.
std::string reading_column_names();

// The header with the requested columns after the state's.
void write_csv_header(CsvOutput& out, const StateLayout& layout,
                      std::span<const ReadingColumns* const> columns);

// Drops what was written: the temporary file goes, an existing file stays as it was.
void discard_csv_output(CsvOutput& out);

// Flushes, closes and renames into place. False with a reason when anything could not be written
// (the temporary file is then removed).
bool finish_csv_output(CsvOutput& out, std::string& error);
