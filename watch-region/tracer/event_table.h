// The table of events: a fixed table of records, which keeps the first
// events, the last, or (with the regions' side) the slowest regions whole;
// the events it has no room for are counted, with the time of the first one
// left out. record() (trace_store.h) writes it.
#pragma once

#include "output.h"
#include "trace_store.h"

#include <cstddef>
#include <cstdint>
#include <limits>

namespace tracer {

// 2^18 events: some 40,000 regions of a team of two, in 10 MiB.
constexpr std::size_t capacity = 1 << 18;

// Which events the table keeps, and how many at most: WATCH_REGION_KEEP
// (first, last, slowest or report) and WATCH_REGION_EVENTS (1 to capacity),
// read once, at load. A value not understood is the default's. With report,
// only what the report reads of it: the tracer's load and the threads'
// creations (the regions' side keeps the slowest region whole).
enum class Keep : std::uint8_t { first, last, slowest, report };
struct Keeping {
    Keep mode;
    std::size_t events;
};
Keeping keeping_from(const char *mode, const char *events);
extern Keep keep_mode;
// Sets what the table keeps, before any event is recorded, or with
// forget_events() after.
void keep_events(Keeping asked);
Keeping keeping();
// "keep MODE EVENTS".
void write_keeping(Output &output);
// With slowest: the events of regions, which the table does not keep (the
// regions' side keeps the slowest whole), as many as were recorded.
bool is_region_event(Event event);
std::int64_t region_events();

// The calling thread's kernel thread id, asked for once: zero until then,
// so that it costs nothing at load.
extern __thread std::int32_t kernel_thread_id;
inline std::int32_t kernel_thread()
{
    if (kernel_thread_id == 0) {
        kernel_thread_id = gettid();
    }
    return kernel_thread_id;
}

// The events kept, counted once for the trace's table, at most ROOM of them
// (the rest counted as left out), none of a thread's from its first at a
// time after UNTIL (the exit's: a runtime may report a thread's last events
// as the process ends, while the trace is written): a slot filled later by
// a thread still running changes nothing, and with last, nothing is written
// to the table after it. Then the events of the chunk at INDEX among them, USED of them,
// or none beyond the last.
std::size_t count_kept(std::size_t room = capacity,
                       std::int64_t until = std::numeric_limits<std::int64_t>::max());
const Record *kept_in_chunk(std::size_t index, std::size_t &used);

// Calls VISIT with each event that count_kept() counted.
template <typename Visit> void visit_kept(Visit visit)
{
    std::size_t used = 0;
    for (std::size_t index = 0; const Record *events = kept_in_chunk(index, used); ++index) {
        for (std::size_t event = 0; event < used; ++event) {
            visit(events[event]); // NOLINT(cppcoreguidelines-pro-bounds-pointer-arithmetic)
        }
    }
}
// The events left out, and the time of the first (0: none).
std::int64_t total_left_out();
std::int64_t first_left_out();
// Counts COUNT events left out, the first at TIME.
void count_left_out(std::int64_t count, std::int64_t time);

// "left_out COUNT FIRST" when events were left out.
void write_left_out(Output &output);
// "table COUNT SIZE", then the events count_kept() counted, as they are in
// memory.
void write_table(Output &output);

// Forgets every event, as a child that fork made must: the calling thread
// is then its process's only thread.
void forget_events();

} // namespace tracer
