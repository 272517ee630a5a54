// The trace's file (trace_file.cpp).
#pragma once

#include <array>
#include <csignal>
#include <cstdint>

namespace tracer {

// Writes the trace to the file that WATCH_REGION_TRACE or
// WATCH_REGION_TRACE_DIR names, if either is set, as at exit; the process
// ends at EXIT_TIME, stopped by the signal STOPPED_BY if not 0.
void write_trace(std::int64_t exit_time, int stopped_by = 0);
// Writes the trace to PATH.
void write_trace_file(const char *path, std::int64_t exit_time, int stopped_by = 0);

// The signals that stop a run, and on which the trace is written before the
// process ends as the signal would have ended it.
inline constexpr std::array stop_signals{SIGINT, SIGTERM, SIGHUP};
// Whether the tracer takes a stop signal whose disposition is CURRENT: only
// from the default, never from a program's handler or a SIG_IGN it was
// started with (as under nohup).
bool takes_over(const struct sigaction &current);
// Takes each stop signal that takes_over() allows.
void catch_stop_signals();
// What a child that fork made does: forgets its parent's record, which is
// the parent's to write, and starts its own.
void forget_after_fork();

} // namespace tracer
