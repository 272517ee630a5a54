// The program's useful time and the runtime's waits, thread by thread: what
// the efficiency of a run is worked out from. A thread runs the program's
// own code (the initial thread outside regions, any thread in a region's
// body or a task's) except while it is inside the runtime: forking and
// joining a team, waiting at a barrier, for a critical section, an ordered
// block, a lock, or its tasks, and, for a worker, between regions.
//
// Each thread also carries its ideal clock: the longest chain of useful time
// that leads to where it is, through the order the runtime imposes (a launch
// before its team's bodies, every arrival at a barrier before every
// departure, a release before the next acquisition, a task's creation
// before its start), as if every wait and the runtime's own work took no
// time. A thread's clock is its useful time plus a lag that only a wait can
// change; the latest clock at exit is the run's ideal time.
//
// Each time is kept along two measures: the whole run, and the interval that
// the program's markers set (nothing before the first marker).
#pragma once

#include "output.h"
#include "trace_format.h"

#include <array>
#include <atomic>
#include <cstdint>

struct Region;

namespace tracer {

// A time along both measures.
struct Clock {
    std::int64_t all;
    std::int64_t marked;
};
constexpr Clock later(Clock one, Clock other)
{
    return {one.all > other.all ? one.all : other.all,
            one.marked > other.marked ? one.marked : other.marked};
}

// The latest of the clocks raised to it: where threads meet.
struct MeetingClock {
    std::atomic<std::int64_t> all;
    std::atomic<std::int64_t> marked;

    void raise(Clock clock);
    // By the one thread that holds what the clock belongs to.
    void set(Clock clock);
    Clock read() const;
    void clear();
};

// The threads' own records, one each, a cache line apart, each with its
// table of wait sites; a thread beyond the table keeps a record of its own,
// with no wait sites, which is not reported. Past its sites, a thread's
// waits are kept by kind, region and function called alone, the other
// sites, and past as many of these again by kind alone, their region not
// told apart (untold_region).
constexpr int max_wait_sites = 24;
constexpr int max_other_sites = 8;
constexpr int untold_region = -2;
constexpr int wait_buckets_per_power = 8;
constexpr int wait_buckets = 40 * wait_buckets_per_power; // to 2^40 ns, some 18 minutes

// Who kept the others waiting at a site's barriers, taskwaits and
// taskgroups: a thread (its number in the team), the instances it came last
// to and the others' waits it caused, in nanoseconds. A site keeps
// max_late_threads threads and counts the rest together as other_threads.
constexpr int max_late_threads = 4;
constexpr int other_threads = -1;
struct Late {
    int thread;
    std::uint64_t count;
    std::uint64_t delay;
};
// A wait's late one: its thread and the delay it caused (-1: none known).
struct Caused {
    int thread = other_threads;
    std::int64_t delay = -1;
};

// One call site's waits of one kind, on one thread: counts, total, the
// longest, a histogram for the median, and the late ones.
struct WaitSite {
    std::uintptr_t address;
    int region_site; // the call site of the region it waited in (-1: none)
    Wait kind;
    const char *function; // the function called there, where it is known
    std::uint64_t count;
    std::uint64_t total;
    std::uint64_t longest;
    std::array<std::uint32_t, wait_buckets> histogram;
    int late_used;
    std::array<Late, max_late_threads + 1> late; // other_threads's last
};

// A set of CPUs by number, as large as the kernel's affinity calls take by
// default (CPU_SETSIZE): one bit a CPU.
constexpr int max_cpus = 1024;
constexpr int cpus_a_word = 64;
using CpuSet = std::array<std::uint64_t, max_cpus / cpus_a_word>;

struct alignas(64) ThreadTime {
    std::int32_t kernel_thread;
    bool initial;
    // How deep in the runtime the thread is: 0 while it runs the program.
    int depth;
    // When its current stretch of useful time started.
    std::int64_t since;
    Clock useful;
    // Its ideal clock less its useful time; and a meeting it left (null:
    // none), whose clock its ideal clock goes on from, from the useful time
    // it left with, read only as its ideal clock next is (settle()): as it
    // leaves a barrier, the clock's cache line is the last arrival's, and as
    // it arrives at the next, its own.
    mutable Clock lag;
    mutable const MeetingClock *meeting;
    Clock useful_at_meeting;
    int sites_used;
    // The site its last wait of each kind was counted at, looked at first:
    // a task's end and its creator's taskwait take turns.
    std::array<int, wait_kinds> last_site;
    int others_used;
    // The sites, then the other sites. None for a thread beyond the table.
    std::array<WaitSite, max_wait_sites + max_other_sites + wait_kinds> *sites;
    // The last CPU its regions' bodies started on, plus one (0: none yet);
    // how many of its bodies started on another CPU than its body before;
    // and the CPUs they started on (those below max_cpus). Side by side,
    // so that a body's start touches one cache line for them.
    int last_cpu;
    std::int64_t migrations;
    CpuSet cpus;
};

// THREAD starts a region's body on CPU (-1: not known).
inline void count_cpu(ThreadTime &thread, int cpu)
{
    if (cpu < 0) {
        return;
    }
    if (thread.last_cpu != 0 && thread.last_cpu != cpu + 1) {
        ++thread.migrations;
    }
    thread.last_cpu = cpu + 1;
    if (cpu < max_cpus) {
        thread.cpus[static_cast<std::size_t>(cpu / cpus_a_word)] |= std::uint64_t{1}
                                                                    << (cpu % cpus_a_word);
    }
}

// The calling thread's record: made on its first call, a worker in the
// runtime, or (at load) the initial thread running the program.
ThreadTime &this_thread();

// The thread enters the runtime at TIME, or leaves it.
void enter_runtime(ThreadTime &thread, std::int64_t time);
void leave_runtime(ThreadTime &thread, std::int64_t time);
// Useful time so far, its current stretch included.
Clock useful_at(const ThreadTime &thread, std::int64_t time);
// The thread's ideal clock goes on from the meeting it left, if any.
[[gnu::hot]] inline void settle(const ThreadTime &thread)
{
    if (thread.meeting != nullptr) {
        const Clock met = thread.meeting->read();
        thread.meeting = nullptr;
        thread.lag = later(thread.lag, {met.all - thread.useful_at_meeting.all,
                                        met.marked - thread.useful_at_meeting.marked});
    }
}
// THREAD, out of the runtime, has left the meeting whose clock is MEETING,
// which lasts until its ideal clock is next read.
inline void meet_later(ThreadTime &thread, const MeetingClock &meeting)
{
    settle(thread);
    thread.meeting = &meeting;
    thread.useful_at_meeting = thread.useful;
}
// The thread's ideal clock, while it is in the runtime.
inline Clock ideal(const ThreadTime &thread)
{
    settle(thread);
    return {thread.useful.all + thread.lag.all, thread.useful.marked + thread.lag.marked};
}
// The thread's ideal clock at TIME, while it runs the program.
inline Clock ideal_at(const ThreadTime &thread, std::int64_t time);
// Sets the thread's ideal clock to CLOCK, or moves it on to AT_LEAST.
void set_ideal(ThreadTime &thread, Clock clock);
inline void wait_until(ThreadTime &thread, Clock at_least)
{
    set_ideal(thread, later(ideal(thread), at_least));
}

inline Clock ideal_at(const ThreadTime &thread, std::int64_t time)
{
    settle(thread);
    const Clock useful = useful_at(thread, time);
    return {useful.all + thread.lag.all, useful.marked + thread.lag.marked};
}

// Counts a wait of KIND at the call site SITE, in a region launched from
// REGION_SITE (-1: none), that took NANOSECONDS, and the late one it waited
// for, where it knows one.
void count_wait(ThreadTime &thread, Wait kind, const void *site, int region_site,
                std::int64_t nanoseconds, const char *function = nullptr, Caused late = {});

// The program's markers: an interval starts, or stops, at TIME.
void mark_start(std::int64_t time);
void mark_stop(std::int64_t time);
// Forgets the marks so far, and every thread's time along them: the
// program's own marks replace those set for it.
void restart_marks(std::int64_t time);
// FROM to UNTIL along both measures.
Clock span(std::int64_t from, std::int64_t until);

// The largest team launched.
void count_team(int size);

// Lines "interval ALL MARKED MARKS LARGEST_TEAM", "cpus_allowed CPUS" (the
// process's affinity at load, or at its fork), "useful KERNEL_THREAD INITIAL
// ALL MARKED IDEAL_ALL IDEAL_MARKED MIGRATIONS CPUS" per thread (CPUS: the
// numbers, comma-separated, "-" for none), "waits KIND..." and
// "wait KIND ADDRESS BASE REGION_SITE COUNT TOTAL MEDIAN MEDIAN_ERROR
// LONGEST FUNCTION object PATH" (FUNCTION: "-" where not known) per call
// site and kind, all threads' together, and "other_waits KIND REGION_SITE
// COUNT TOTAL MEDIAN MEDIAN_ERROR LONGEST FUNCTION" per kind, region and
// function of the other sites, each followed, where a thread came late
// there, by "late THREAD:COUNT:DELAY,..." (THREAD "other" for the threads
// past a site's table), the largest delay first; in
// nanoseconds, the interval from the tracer's load to EXIT_TIME.
void write_waits(Output &output, std::int64_t exit_time, const char *program);
// Forgets every thread but the caller, as a child that fork made must.
void forget_waits(std::int64_t time);

} // namespace tracer
