// Time in the runtime, accounted one way for every half of the tracer: the
// libgomp half's interposed entries, the libomp half's callbacks and the MPI
// half's calls each only say where a scope begins and ends, and these keep
// the thread's useful time and ideal clock (waits.h), its waits by site, and
// the trace's events of them:
// - a wait: from the thread's entering the runtime to its leaving it, after
//   which its ideal clock goes on from what it waited for (the other
//   threads' arrival at a barrier, a lock's last release, the end of its
//   tasks); the tasks it runs meanwhile are its useful time, not the wait's;
// - a task's body: the program's time, however deep in the runtime the
//   thread started it, begun once the task was made and its thread free;
// - a lock-like object (a lock, a critical section's name, an ordered
//   block): each release keeps the holder's ideal clock, which the next
//   holder waits for.
// Each is a few stores and no clock read of its own: the halves read the
// clock, once at each end.
//
// The functions on a wait's way are marked hot, which keeps them together
// in a few pages of code: libgomp ends each barrier with a system call (its
// last thread's futex wake), and a kernel that isolates its page tables on a
// processor without context identifiers empties the TLB at every one, so
// that each page the way back touches costs its thread a page walk.
#pragma once

#include "helpers.h"
#include "trace_store.h"

#include <algorithm>
#include <cstdint>

namespace tracer {

// The number of REGION, the one a wait or task is in, and its call site's
// (0 and -1 outside every region).
inline std::int64_t number_of(const Region *region) { return region != nullptr ? region->id : 0; }
inline int site_of_region(const Region *region) { return region != nullptr ? region->site : -1; }

// What a wait was: its kind, the call site that waited, the function called
// there (where it is known), whether it is counted among the site's waits (a
// test that took a lock did not wait, but is still recorded), and for the
// last to arrive at a barrier, the delay it caused (-1: not the last).
struct Waited {
    Wait kind;
    const void *site;
    const char *function = nullptr;
    bool counted = true;
    std::int64_t caused = -1;
};

// The thread in INSIDE, THREAD, arrives at START at its team's next
// barrier; its k-th barrier in the team is every other thread's k-th.
// Returns the barrier's parity and, for the last to arrive (the one whose
// arrival completes the count), the delay it caused: the others' waits for
// it, the sum of its arrival less theirs (at least 0, where its clock read
// came before another's count). Teams of 2^arrival_count_bits threads or
// more are not counted, and an arrival is taken as 4.9 hours after the
// launch at most, so that the sum holds in its word.
struct Arrival {
    unsigned parity;
    std::int64_t caused;
};
[[gnu::hot]] inline Arrival arrive_at_barrier(Inside &inside, const ThreadTime &thread,
                                              std::int64_t start)
{
    const unsigned parity = inside.barriers++ & 1U;
    Meetings &meet = inside.region->meet;
    constexpr std::uint64_t one = 1;
    const bool counted = inside.team_size >= 2 && inside.team_size < (1 << arrival_count_bits);
    // The addition first: it takes the line of the clocks for writing at
    // once, where the clocks' reads (the last barrier's, the thread's ideal
    // clock goes on from) would take it for reading first.
    constexpr std::int64_t latest = std::int64_t{1} << (64 - 2 * arrival_count_bits);
    const std::int64_t arrival = std::clamp<std::int64_t>(start - inside.region->launch, 0, latest);
    const std::uint64_t before =
        counted ? meet.arrivals[parity].fetch_add(
                      (static_cast<std::uint64_t>(arrival) << arrival_count_bits) + 1,
                      std::memory_order_acq_rel)
                : 0;
    meet.barriers[parity].raise(ideal(thread));
    if (!counted ||
        static_cast<int>(before & ((one << arrival_count_bits) - 1)) + 1 < inside.team_size) {
        return {parity, -1};
    }
    meet.arrivals[parity].store(0, std::memory_order_relaxed);
    const auto others = static_cast<std::int64_t>(before >> arrival_count_bits);
    return {parity,
            std::max<std::int64_t>(std::int64_t{inside.team_size - 1} * arrival - others, 0)};
}

// A task's body run by THREAD (its number in the team) ends at END in
// REGION: the region's last task to end, if no later one has.
inline void note_task_end(Region &region, int thread, std::int64_t end)
{
    constexpr std::uint64_t thread_mask = (std::uint64_t{1} << task_thread_bits) - 1;
    const auto since = static_cast<std::uint64_t>(std::max<std::int64_t>(end - region.launch, 0));
    atomic_max(region.meet.last_task,
               since << task_thread_bits | (static_cast<std::uint64_t>(thread) & thread_mask));
}

// Whom a wait for tasks from START, counted as WAITED, waited for: the thread
// that ran its region's last task to end, where that ended during the wait
// on another thread than the waiting one, INSIDE's.
inline Caused task_waited_for(const Inside &inside, std::int64_t start, std::int64_t waited)
{
    constexpr std::uint64_t thread_mask = (std::uint64_t{1} << task_thread_bits) - 1;
    const std::uint64_t last = inside.region->meet.last_task.load(std::memory_order_relaxed);
    const auto number = static_cast<int>(last & thread_mask);
    const int thread = number == static_cast<int>(thread_mask) ? other_threads : number;
    const auto ended = static_cast<std::int64_t>(last >> task_thread_bits);
    if (last == 0 || ended < start - inside.region->launch || thread == inside.thread ||
        waited <= 0) {
        return {};
    }
    return {thread, waited};
}

// A wait under way on the calling thread: the region it is in, innermost
// (null: none), and the thread's useful time when it started.
struct RuntimeWait {
    ThreadTime *thread;
    Inside *inside;
    std::int64_t start;
    std::int64_t useful;
};

// The calling thread THREAD enters the runtime at START to wait.
[[gnu::hot]] inline RuntimeWait begin_wait(ThreadTime &thread, std::int64_t start)
{
    enter_runtime(thread, start);
    return {&thread, innermost(), start, thread.useful.all};
}

// WAIT ends at END, the thread's ideal clock at least WAITED_FOR: recorded
// as WHAT, and counted without the tasks the thread ran meanwhile.
[[gnu::hot]] inline void end_wait(const RuntimeWait &wait, std::int64_t end, Clock waited_for,
                                  const Waited &what)
{
    ThreadTime &thread = *wait.thread;
    wait_until(thread, waited_for);
    const std::int64_t in_tasks = thread.useful.all - wait.useful;
    leave_runtime(thread, end);
    const Region *region = wait.inside != nullptr ? wait.inside->region : nullptr;
    record_wait(what.kind, number_of(region), reinterpret_cast<std::intptr_t>(what.site),
                wait.start, end);
    if (what.counted) {
        const std::int64_t waited = end - wait.start - in_tasks;
        Caused late{};
        if (wait.inside != nullptr && what.caused >= 0) {
            late = {wait.inside->thread, what.caused};
        }
        else if (wait.inside != nullptr &&
                 (what.kind == Wait::taskwait || what.kind == Wait::taskgroup)) {
            late = task_waited_for(*wait.inside, wait.start, waited);
        }
        count_wait(thread, what.kind, what.site, site_of_region(region), waited, what.function,
                   late);
    }
}

// A task's body that a thread runs: when it started, and how deep in the
// runtime the thread was then, where it is again when the body ends.
struct TaskRun {
    std::int64_t start;
    int depth;
};

// THREAD starts at START a task's body, made with the ideal clock CREATED:
// it starts once the task is made and the thread is free.
inline TaskRun begin_task(ThreadTime &thread, std::int64_t start, Clock created)
{
    const TaskRun run{start, thread.depth};
    if (run.depth == 0) {
        enter_runtime(thread, start);
    }
    wait_until(thread, created);
    thread.depth = 1;
    leave_runtime(thread, start);
    return run;
}

// The body RUN ends at END: the task made at CREATED_AT in REGION (null:
// none) is among the region's tasks that have ended, and the thread goes on
// from its end.
inline void end_task(ThreadTime &thread, const TaskRun &run, Region *region, const void *created_at,
                     std::int64_t end)
{
    enter_runtime(thread, end);
    if (region != nullptr) {
        region->meet.tasks_ended.raise(ideal(thread));
        const Inside *inside = innermost();
        note_task_end(*region, inside != nullptr ? inside->thread : other_threads, end);
    }
    record_wait(Wait::task, number_of(region), reinterpret_cast<std::intptr_t>(created_at),
                run.start, end);
    count_wait(thread, Wait::task, created_at, site_of_region(region), end - run.start);
    thread.depth = run.depth + 1;
    leave_runtime(thread, end);
}

// Where a runtime says that an object was released only once it is free,
// the next holder may hear of its acquisition first: each holder takes a
// turn as it acquires the object, and each release is given once its clock
// is kept, so that the holder of turn N reads the clock after release N.
struct HandOver {
    std::atomic<std::uint64_t> taken;
    std::atomic<std::uint64_t> given;
};

// A lock-like object: the ideal clock of its last release and its holders'
// turns (null for a team's ordered block, and for the objects beyond the
// table, which share one clock: SHARED).
struct Guard {
    MeetingClock *released = nullptr;
    HandOver *turns = nullptr;
    bool shared = false;
};
Guard guard_of(const void *object);
inline Guard ordered_guard(Region &region) { return {&region.meet.ordered, nullptr, false}; }

// Waits for the release before this holder's turn, as a holder does that
// may hear of its acquisition before the last release (spin_lock.h's
// moment, given up after a quarter of a second, once: the turns go on).
void await_turn(HandOver &turns);

// The ideal clock that an acquisition of GUARD waits for: its last release,
// in TURN where the runtime reports releases late.
inline Clock last_release(Guard guard, bool in_turn)
{
    if (in_turn && guard.turns != nullptr) {
        await_turn(*guard.turns);
    }
    return guard.released->read();
}

// THREAD releases GUARD at TIME: its clock kept for the next holder, and,
// IN_TURN, the next turn given.
inline void release(Guard guard, const ThreadTime &thread, std::int64_t time, bool in_turn)
{
    guard.released->set(ideal_at(thread, time));
    if (in_turn && guard.turns != nullptr) {
        guard.turns->given.fetch_add(1, std::memory_order_release);
    }
}

// Forgets every object's releases, as a child that fork made must.
void forget_guards();

} // namespace tracer
