// The regions' side of the record: the regions launched and the time spent
// in them, the threads created, and the slowest region's moments, thread by
// thread, wherever it falls. region_begin() and the rest (trace_store.h)
// keep them.
#pragma once

#include "output.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tracer {

extern std::atomic<std::int64_t> regions_launched;
extern std::atomic<std::int64_t> time_in_regions;
extern std::atomic<long> threads_created;
// An address in the OpenMP runtime the process loaded: where its entries
// were found (libgomp's) or where it called the tool in (libomp's); 0
// until one of those, for the trace's line "runtime PATH".
extern std::atomic<std::uintptr_t> runtime_address;

// "slowest", then the slowest region's events, one a line; nothing before
// the first region has returned. With slowest, the slowest regions' events,
// slowest first, as many whole regions as ROOM events hold, and the events
// of regions not written counted as left out; returns how many were written.
// The joins kept apart are those up to UNTIL (write_spans).
std::size_t write_slowest(Output &output, std::size_t room, std::int64_t until);
// Forgets the regions, as a child that fork made must.
void forget_regions();

} // namespace tracer
