#include "tools/csv_output.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// glibc's custom streams: the write function returns the bytes taken, 0 on error.
ssize_t sink_write(void* cookie, const char* data, size_t size) {
  const CsvOutput::Sink& sink = *static_cast<CsvOutput::Sink*>(cookie);
  if (sink.fd < 0) return static_cast<ssize_t>(size);  // discarded: the rows go nowhere
  return write_all(sink.fd, data, size, sink.stop) ? static_cast<ssize_t>(size) : 0;
}

// The descriptor belongs to the target (or is standard output): the stream does not close it.
int sink_close(void*) {
  return 0;
}

// The first error is the one worth reporting.
void mark_failed(CsvOutput& out) {
  if (!out.failed) out.error_number = errno;
  out.failed = true;
}

std::string destination(const CsvOutput& out) {
  return out.to_stdout ? "standard output" : "output '" + out.target.path + "'";
}

}  // namespace

bool open_csv_output(CsvOutput& out, const OutputPlan* plan, const volatile std::sig_atomic_t* stop,
                     std::string& error) {
  out.file = nullptr;
  out.target = AtomicFile{};
  out.failed = false;
  out.error_number = 0;
  out.to_stdout = plan == nullptr;
  std::string reason;
  if (plan && !open_atomic(out.target, *plan, reason)) {
    error = "cannot write output '" + plan->requested + "': " + reason;
    return false;
  }
  out.sink = {plan ? out.target.fd : STDOUT_FILENO, stop};
  out.file = fopencookie(&out.sink, "w", {nullptr, sink_write, nullptr, sink_close});
  if (!out.file) {
    error = "cannot write " + destination(out) + ": " + std::strerror(errno);
    discard_atomic(out.target);
    return false;
  }
  std::setvbuf(out.file, nullptr, _IOFBF, 1 << 16);
  return true;
}

void write_csv_header(CsvOutput& out, const StateLayout& layout) {
  write_csv_header(out, layout, {});
}

void write_csv_header(CsvOutput& out, const StateLayout& layout,
                      std::span<const ReadingColumns* const> columns) {
  std::string header = "t";
  for (int i = 0; i < layout.coordinates; ++i) header += ",q" + std::to_string(i);
  for (int i = 0; i < layout.coordinates; ++i) header += ",p" + std::to_string(i);
  for (const char* slot : carriage_slot_names) header += std::string(",") + slot;
  for (const ReadingColumns* column : columns) header += column->headers;
  header += "\n";
  if (std::fputs(header.c_str(), out.file) < 0) mark_failed(out);
}

namespace {

constexpr ReadingColumns column_table[] = {
    // The whole rope's contact force (ground and pegs), N, world axes.
    {"contact", ",contact_x,contact_y", 2,
     [](const WorldReadings& r, double* v) {
       v[0] = r.contact_total[0];
       v[1] = r.contact_total[1];
     }},
    // The drag's rate of work on the rope, W.
    {"drag", ",drag_power", 1, [](const WorldReadings& r, double* v) { v[0] = r.drag_power; }},
    // What contact dampers, friction and drag have taken out so far, J.
    {"dissipated", ",energy_dissipated", 1,
     [](const WorldReadings& r, double* v) { v[0] = r.energy_dissipated; }},
};

}  // namespace

std::span<const ReadingColumns> reading_columns() {
  return column_table;
}

const ReadingColumns* find_reading_columns(std::string_view name) {
  for (const ReadingColumns& column : column_table)
    if (name == column.name) return &column;
  return nullptr;
}

std::string reading_column_names() {
  std::string names;
  for (const ReadingColumns& column : column_table)
    names += std::string(names.empty() ? "" : ", ") + column.name;
  return names;
}

void write_placements_header(CsvOutput& out, int bodies) {
  std::string header = "t";
  for (int k = 0; k < bodies; ++k) {
    const std::string body = std::to_string(k);
    header += ",x" + body + ",y" + body + ",angle" + body;
  }
  header += ",x_end,y_end\n";
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
  // Nothing more reaches the target: the buffered rows are dropped with the stream.
  out.sink.fd = -1;
  std::fclose(out.file);
  out.file = nullptr;
  if (!out.to_stdout) discard_atomic(out.target);
}

bool finish_csv_output(CsvOutput& out, std::string& error) {
  if (!out.file) return true;
  if (std::fflush(out.file) != 0) mark_failed(out);
  std::fclose(out.file);
  out.file = nullptr;
  if (!out.to_stdout) {
    if (out.failed)
      discard_atomic(out.target);
    else if (!commit_atomic(out.target))
      mark_failed(out);
  }
  if (out.failed)
    error = "cannot write " + destination(out) + ": " + std::strerror(out.error_number);
  return !out.failed;
}
