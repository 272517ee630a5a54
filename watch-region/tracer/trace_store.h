// The tracer's record of one run: a fixed table of events filled while the
// program runs, with one clock read and one store per event, and written out
// once, when the process ends. Nothing here locks, allocates or prints while
// a region runs.
#pragma once

#include <cstdint>

// The trace format's version, the first line of every trace.
constexpr int trace_version = 1;

enum class Event : std::uint8_t {
// NOLINTNEXTLINE(cppcoreguidelines-macro-usage): the list is read as an X-macro
#define EVENT(name) name,
#include "events.def"
#undef EVENT
};

// Records EVENT now, on the calling thread, for team thread THREAD (or -1);
// LINK ties a creation to the created thread's first instruction.
void record(Event event, int thread = -1, long link = -1);

// Set once LLVM's runtime has accepted the tool interface's half: from then
// on it reports the regions, and libgomp's entry points (which libomp also
// exports) record nothing, so that no region is counted twice.
extern bool runtime_reports_regions;
