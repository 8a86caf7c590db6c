// Fatal conditions: one line on standard output, flushed, then the process ends.
#pragma once

// Exit status of a failure (a singular joint, a diverging state, memory that cannot be had).
constexpr int failure_status = 1;

[[noreturn]] void fatal(const char* message, int status = failure_status);
