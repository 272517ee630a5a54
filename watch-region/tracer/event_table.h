// The table of events: a fixed table of records, kept whole until it fills;
// the events after that are counted, with the time of the first one left
// out. record() (trace_store.h) writes it.
#pragma once

#include "output.h"
#include "trace_store.h"

#include <cstddef>
#include <cstdint>

namespace tracer {

// 2^18 events: some 40,000 regions of a team of two, in 10 MiB.
constexpr std::size_t capacity = 1 << 18;

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

// The events kept, counted once for the trace's table (a slot filled later
// by a thread still running changes nothing); the events of the chunk at
// INDEX among them, USED of them, or none beyond the last.
std::size_t count_kept();
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

// "left_out COUNT FIRST" when events were left out.
void write_left_out(Output &output);
// "table COUNT SIZE", then the events kept, as they are in memory.
void write_table(Output &output);

// Forgets every event, as a child that fork made must: the calling thread
// is then its process's only thread.
void forget_events();

} // namespace tracer
