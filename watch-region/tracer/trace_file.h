// The trace's file (trace_file.cpp).
#pragma once

#include <cstdint>

namespace tracer {

// Writes the trace to the file that WATCH_REGION_TRACE or
// WATCH_REGION_TRACE_DIR names, if either is set, as at exit; the process
// ends at EXIT_TIME.
void write_trace(std::int64_t exit_time);
// Writes the trace to PATH.
void write_trace_file(const char *path, std::int64_t exit_time);
// What a child that fork made does: forgets its parent's record, which is
// the parent's to write, and starts its own.
void forget_after_fork();

} // namespace tracer
