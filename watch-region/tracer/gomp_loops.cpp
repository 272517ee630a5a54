// The libgomp half's loops whose chunks are handed out at run time
// (loops.h): each entry that starts such a loop, or hands a thread its next
// chunk, runs the real one and counts the chunk it gave on the thread's own
// counters; the call that gives none ends the loop for the thread. A
// combined parallel loop's first chunk comes from a next entry, with the
// loop's schedule and step noted at its launch (gomp_entries.cpp). Under
// libomp, which hands its chunks out through kmp_dispatch.cpp's entries,
// each entry only calls the real one.
#include "gomp_entries.h"

#include <cstdint>

using namespace tracer;
using namespace gomp;

namespace {

using Ull = unsigned long long;

int team_thread()
{
    auto *function = reinterpret_cast<int (*)()>(real(Entry::thread_number));
    return function != nullptr ? function() : -1;
}

// What the runtime schedule is, and its chunk size.
Schedule runtime_schedule(std::int64_t &chunk)
{
    auto *function = reinterpret_cast<void (*)(int *, int *)>(real(Entry::omp_get_schedule));
    int kind = 0;
    int size = 0;
    if (function != nullptr) {
        function(&kind, &size);
    }
    chunk = size;
    return schedule_of_kind(kind);
}

} // namespace

namespace tracer {

// The calling thread opens a loop of SCHEDULE, with what runtime resolves to.
LoopTaken &begin_loop(Schedule schedule, std::int64_t chunk, bool upward, std::uint64_t step)
{
    std::int64_t resolved_chunk = 0;
    const Schedule resolved =
        schedule == Schedule::runtime ? runtime_schedule(resolved_chunk) : Schedule::none;
    return open_loop(team_thread(), schedule, chunk, upward, step, resolved, resolved_chunk);
}

} // namespace tracer

namespace {

std::uint64_t size_of(long step)
{
    return step < 0 ? 0 - static_cast<std::uint64_t>(step) : static_cast<std::uint64_t>(step);
}

// A chunk FROM to TO taken, where the real entry gave one (MORE), else the
// loop's end for the thread.
template <typename Number>
bool took(LoopTaken &loop, bool more, const Number *from, const Number *until)
{
    if (more) {
        take_chunk(loop, static_cast<std::uint64_t>(*from), static_cast<std::uint64_t>(*until));
    }
    else {
        close_loop(loop);
    }
    return more;
}

// The loop a next entry hands the calling thread a chunk of: the one it
// opened, or else its region's combined loop, begun by this first chunk.
LoopTaken &loop_of_team()
{
    LoopTaken *const open = open_loop_now();
    if (open != nullptr) {
        return *open;
    }
    const Inside *inside = innermost();
    const Region *region = inside != nullptr ? inside->region : nullptr;
    if (region == nullptr || region->loop_schedule == 0) {
        return begin_loop(Schedule::none, 0, true, 0);
    }
    return begin_loop(static_cast<Schedule>(region->loop_schedule), region->loop_chunk,
                      region->loop_step > 0, size_of(region->loop_step));
}

// A first entry: the real one, with ARGUMENTS, and the loop opened where it
// hands out chunks (a loop of the static schedule counts none: its chunks
// come from entries not interposed). FROM null asks for no chunk.
template <Entry entry, typename Number, typename... Arguments>
bool first(Schedule schedule, std::int64_t chunk, bool upward, std::uint64_t step, Number *from,
           Number *until, Arguments... arguments)
{
    auto *real_entry = reinterpret_cast<bool (*)(Arguments...)>(real(entry));
    if (real_entry == nullptr) {
        return false;
    }
    if (runtime_reports_regions || from == nullptr ||
        (schedule != Schedule::dynamic && schedule != Schedule::guided &&
         schedule != Schedule::runtime)) {
        return real_entry(arguments...);
    }
    LoopTaken &loop = begin_loop(schedule, chunk, upward, step);
    return took(loop, real_entry(arguments...), from, until);
}

template <Entry entry, typename Number> bool next(Number *from, Number *until)
{
    auto *real_entry = reinterpret_cast<bool (*)(Number *, Number *)>(real(entry));
    if (real_entry == nullptr) {
        return false;
    }
    if (runtime_reports_regions) {
        return real_entry(from, until);
    }
    LoopTaken &loop = loop_of_team();
    return took(loop, real_entry(from, until), from, until);
}

// GOMP_loop_start's schedule: libgomp's kinds, the monotonic flag aside.
Schedule schedule_given(long schedule)
{
    constexpr unsigned long monotonic = 0x80000000UL;
    switch (static_cast<unsigned long>(schedule) & ~monotonic) {
    case 0:
        return Schedule::runtime;
    case 1:
        return Schedule::fixed;
    case 2:
        return Schedule::dynamic;
    case 3:
        return Schedule::guided;
    default:
        return Schedule::automatic;
    }
}

} // namespace

#pragma GCC visibility push(default)
extern "C" {

// NOLINTBEGIN(cppcoreguidelines-macro-usage): made from the list
#define INTERPOSE_loop_first(symbol)                                                               \
    bool symbol(long start, long end, long step, long chunk, long *from, long *until)              \
    {                                                                                              \
        return first<Entry::symbol>(schedule_of(Entry::symbol), chunk, step > 0, size_of(step),    \
                                    from, until, start, end, step, chunk, from, until);            \
    }
#define INTERPOSE_runtime_loop_first(symbol)                                                       \
    bool symbol(long start, long end, long step, long *from, long *until)                          \
    {                                                                                              \
        return first<Entry::symbol>(Schedule::runtime, 0, step > 0, size_of(step), from, until,    \
                                    start, end, step, from, until);                                \
    }
#define INTERPOSE_any_loop_first(symbol)                                                           \
    bool symbol(long start, long end, long step, long schedule, long chunk, long *from,            \
                long *until, std::uintptr_t *reductions, void **memory)                            \
    {                                                                                              \
        return first<Entry::symbol>(schedule_given(schedule), chunk, step > 0, size_of(step),      \
                                    from, until, start, end, step, schedule, chunk, from, until,   \
                                    reductions, memory);                                           \
    }
#define INTERPOSE_loop_next(symbol)                                                                \
    bool symbol(long *from, long *until) { return next<Entry::symbol>(from, until); }
#define INTERPOSE_ull_loop_first(symbol)                                                           \
    bool symbol(bool upward, Ull start, Ull end, Ull step, Ull chunk, Ull *from, Ull *until)       \
    {                                                                                              \
        return first<Entry::symbol>(schedule_of(Entry::symbol), static_cast<std::int64_t>(chunk),  \
                                    upward, upward ? step : 0 - step, from, until, upward, start,  \
                                    end, step, chunk, from, until);                                \
    }
#define INTERPOSE_ull_runtime_loop_first(symbol)                                                   \
    bool symbol(bool upward, Ull start, Ull end, Ull step, Ull *from, Ull *until)                  \
    {                                                                                              \
        return first<Entry::symbol>(Schedule::runtime, 0, upward, upward ? step : 0 - step, from,  \
                                    until, upward, start, end, step, from, until);                 \
    }
#define INTERPOSE_ull_any_loop_first(symbol)                                                       \
    bool symbol(bool upward, Ull start, Ull end, Ull step, long schedule, Ull chunk, Ull *from,    \
                Ull *until, std::uintptr_t *reductions, void **memory)                             \
    {                                                                                              \
        return first<Entry::symbol>(schedule_given(schedule), static_cast<std::int64_t>(chunk),    \
                                    upward, upward ? step : 0 - step, from, until, upward, start,  \
                                    end, step, schedule, chunk, from, until, reductions, memory);  \
    }
#define INTERPOSE_ull_loop_next(symbol)                                                            \
    bool symbol(Ull *from, Ull *until) { return next<Entry::symbol>(from, until); }
#include "interpose_none.h"
#define KIND(kind, body_argument, team_size_argument, flags_argument)
#define ENTRY(symbol, version, kind) INTERPOSE_##kind(symbol)
#include "entries.def"
// NOLINTEND(cppcoreguidelines-macro-usage)
}
#pragma GCC visibility pop
