// Loops whose chunks are handed out at run time (schedule dynamic, guided,
// runtime): how many chunks each team thread took, and the iterations in
// them, per call site and loop, the loops numbered by their order in the
// body. Both halves feed it (gomp_loops.cpp, kmp_dispatch.cpp): a thread
// opens a loop, counts each chunk it takes on counters of its own, and adds
// them to the site's record once, when the runtime tells it the loop has no
// chunk left for it.
#pragma once

#include "output.h"

#include <cstdint>

namespace tracer {

// The schedule a loop was written with, and what "runtime" resolved to.
enum class Schedule : std::uint8_t { none, fixed, dynamic, guided, runtime, automatic };
const char *name_of(Schedule schedule);
// A schedule as omp_get_schedule gives it (libgomp and libomp alike).
Schedule schedule_of_kind(int kind);

// The chunks of a loop taken by the first threads of its team are kept by
// thread; a body's loops from the last one kept on are counted as that one.
constexpr int loop_threads = 64;
constexpr int loops_per_body = 8;
constexpr int max_loops = 256;

// The loop the calling thread takes chunks of, at its innermost region's
// level: its counts so far.
struct LoopTaken {
    std::int64_t body; // the body run it is in (its start), where the order restarts
    int order;         // loops opened in that body run, less one
    int thread;        // the thread's number in its team
    bool open;
    bool upward;        // whether the loop counts upward
    Schedule schedule;  // as written
    std::int64_t chunk; // the chunk size asked for (0: not given)
    std::uint64_t step; // the size of one iteration's step (0: one chunk is one iteration)
    std::uint64_t chunks;
    std::uint64_t iterations;
};

// The calling thread's open loop, null where it has none.
LoopTaken *open_loop_now();
// The calling thread, team thread THREAD, opens a loop: its schedule, the
// chunk asked for, its direction and step's size, and, for "runtime", what
// it resolved to.
LoopTaken &open_loop(int thread, Schedule schedule, std::int64_t chunk, bool upward,
                     std::uint64_t step, Schedule resolved, std::int64_t resolved_chunk);
// The same, the thread's number and what runtime resolved to asked of the
// runtime (gomp_loops.cpp).
LoopTaken &begin_loop(Schedule schedule, std::int64_t chunk, bool upward, std::uint64_t step);
// A chunk of the iterations FROM to TO (TO past the last); where the step is
// not known, each value one iteration.
inline void take_chunk(LoopTaken &loop, std::uint64_t from, std::uint64_t to)
{
    const bool upward = loop.step == 0 ? to >= from : loop.upward;
    const std::uint64_t distance = upward ? to - from : from - to;
    ++loop.chunks;
    loop.iterations += loop.step <= 1 ? distance : (distance + loop.step - 1) / loop.step;
}
// The loop has no chunk left for the calling thread: its counts go to the
// site's record.
void close_loop(LoopTaken &loop);

// A line per loop: "loop", the site's index, the loop's order, its schedule
// and chunk, what "runtime" resolved to and its chunk ("-" 0: not known),
// the number of threads given, and each thread's chunks:iterations; then
// "loops_left_out N" where the table could not keep N loops.
void write_loops(Output &output);
void forget_loops();

} // namespace tracer
