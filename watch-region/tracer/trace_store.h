// The tracer's record of one run, as its libgomp half, its libomp half and
// its wrapper of pthread_create feed it. While the program runs it keeps,
// with a clock read and a few stores an event and no lock, allocation or
// output:
// - a fixed table of events, kept whole until it fills; the events after
//   that are counted, with the time of the first one left out
//   (event_table.cpp);
// - for every call site, exact counts and totals of every launch's fork,
//   work, imbalance and join, and their medians (site_stats.cpp);
// - the slowest region's moments, thread by thread, wherever it falls
//   (regions.cpp).
// All of it is written out once, when the process ends (trace_file.cpp).
#pragma once

#include "clock.h"
#include "trace_format.h"
#include "waits.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <limits>

// Records EVENT at TIME (by default now), on the calling thread.
void record(Event event, std::int64_t region = 0, int thread = -1, std::int64_t link = 0,
            std::int64_t site = 0, std::int64_t time = now());

// A wait of KIND (a task's body: Wait::task) at the call site LINK, in
// REGION, from START to END, recorded as one event where its length fits
// the thread field, else as its begin and end.
void record_wait(tracer::Wait kind, std::int64_t region, std::int64_t link, std::int64_t start,
                 std::int64_t end);

// The first threads of a team each write their moments into a slot of their
// own, a cache line each, with no atomic operation; the threads beyond them
// fold theirs into shared atomics. A slot is the region's when its tag is,
// so that no slot needs clearing before a launch.
constexpr int detailed_threads = 64;

struct alignas(64) ThreadMoments {
    std::int64_t tag;
    std::int64_t body_start;
    std::int64_t body_end;
    std::int64_t kernel_thread;
    // The thread's ideal clock at the body's end, and its useful time in it.
    tracer::Clock ideal_end;
    std::int64_t useful;
};

// Where a team's threads meet, each kept to the latest ideal clock that
// reaches it (waits.h): every thread's arrival at the team's barriers, by
// the barrier's parity (a thread arrives at the next barrier only once every
// thread has left this one, and clocks only grow, so that two places need
// no clearing between barriers); the ends of its tasks and of the bodies of
// the threads beyond the detailed ones; and the last release of its ordered
// block. Beside each barrier's clock, in its cache line, its arrivals so
// far, in one word that one atomic addition a thread keeps: the sum of their
// times from the launch, shifted past how many they are
// (arrival_count_bits), which the last to arrive reads and clears (every
// thread has arrived at the barrier before that parity's next). And, in a
// line of their own, the last of its tasks to end: when, from the launch,
// shifted past the number of the thread that ran it (task_thread_bits).
constexpr int arrival_count_bits = 10;
using Arrivals = std::atomic<std::uint64_t>;
constexpr int task_thread_bits = 16;
struct alignas(64) Meetings {
    std::array<tracer::MeetingClock, 2> barriers;
    std::array<Arrivals, 2> arrivals;
    alignas(64) std::atomic<std::uint64_t> last_task;
    tracer::MeetingClock tasks_ended;
    tracer::MeetingClock bodies_ended;
    tracer::MeetingClock ordered;
};

// One launch of a team, from the launch to its return. The team threads
// write their own moments; the launching thread reads them after the join.
// Trivially constructed: a table of regions is all zeros and costs nothing
// until it is used, and a region on a stack is made ready by reset() alone,
// which leaves the threads' slots as they are: a slot is read only once its
// thread has written it for this launch.
// NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init)
struct Region {
    // What every team thread reads, in one cache line: for the libgomp half,
    // the program's body and data (after the word GOMP_parallel_reductions
    // reads first), and the region's number.
    void *first_word;
    void (*body)(void *);
    void *data;
    std::int64_t id;
    std::int64_t parent;
    std::int64_t launch;
    int level;
    int site;
    // Written by thread 0, where the runtime says how large the team is.
    int team_size;
    std::array<ThreadMoments, detailed_threads> threads;
    // The threads beyond the detailed ones.
    std::atomic<int> more_threads;
    std::atomic<std::int64_t> last_start;
    std::atomic<std::int64_t> last_end;
    std::atomic<std::int64_t> shortest;
    std::atomic<std::int64_t> longest;
    // The launching thread's ideal clock at the launch, and the launch's
    // return address.
    tracer::Clock launched;
    const void *call_site;
    // A combined parallel loop's schedule (loops.h's Schedule; 0: none),
    // chunk size and step, which the team threads' first chunks are taken by.
    std::uint8_t loop_schedule;
    std::int64_t loop_chunk;
    std::int64_t loop_step;
    Meetings meet;

    void reset();
};

// On the launching thread, just before the runtime starts the team: numbers
// the region, ties it to the region the thread is in (its parent) and to the
// call site, and records the launch.
void region_begin(Region &region, const void *call_site);
// On the launching thread, after the join: records the return and folds the
// region into its call site's statistics.
void region_end(Region &region);
// On a team thread, around its run of the body; the thread is in the region
// in between, so that a region it launches there is the region's child.
// TEAM_SIZE is the team's, as the runtime tells THREAD.
void body_begin(Region &region, int thread, int team_size);
void body_end(Region &region, int thread);
// The region the calling thread is in, innermost, with what the waits need:
// its barriers passed, its useful time when the body started, and its
// number in the team and the team's size; null outside every region.
struct Inside {
    Region *region;
    std::int64_t started;
    tracer::Clock useful_at_start;
    unsigned barriers;
    int thread;
    int team_size;
};
Inside *innermost();
// Counts a thread created with pthread_create.
void count_thread_created();
// A region for the libomp half, whose regions outlive any one call: one of a
// fixed ring of them, enough for the regions that can run at once.
Region &spare_region();

// Set once LLVM's runtime has accepted the tool interface's half: from then
// on it reports the regions, and libgomp's entry points (which libomp also
// exports) record nothing, so that no region is counted twice.
extern bool runtime_reports_regions;
