// The tracer's half for libgomp, its interposers linked into this program
// and the "libgomp" after it a stand-in (fake_gomp.cpp): gomp_tests. A table
// of regions of a team of two, each making its thread 0 wait one way, for
// thread 1 or for a task it runs meanwhile: what the record holds of each,
// read back through the store: the region's launch, bodies and return,
// every wait's kind and region, thread 0's wait as counted, its useful
// time and its ideal clock, against the times the threads took as they ran,
// and who came last to a barrier and the delay it caused.
// Each check that fails prints what it got and what it expected; the exit
// status is 1 if any did.
#include "event_table.h"
#include "loop_lines.h"
#include "regions.h"
#include "waits.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <thread>

extern "C" {
// libgomp's entries, as compiled code calls them: the tracer's interposers.
void GOMP_parallel(void (*body)(void *), void *data, unsigned threads, unsigned flags);
void GOMP_barrier();
void GOMP_critical_start();
void GOMP_critical_end();
void GOMP_critical_name_start(void **name);
void GOMP_critical_name_end(void **name);
void GOMP_ordered_start();
void GOMP_ordered_end();
void omp_set_lock(void *lock);
void omp_unset_lock(void *lock);
void GOMP_taskwait();
void GOMP_task(void (*body)(void *), void *data, void (*copy)(void *, void *), long size,
               long align, bool if_clause, unsigned flags, void **depend, int priority,
               void *detach);
void GOMP_parallel_loop_dynamic(void (*body)(void *), void *data, unsigned threads, long start,
                                long end, long step, long chunk, unsigned flags);
bool GOMP_loop_dynamic_next(long *from, long *until);
bool GOMP_loop_guided_start(long start, long end, long step, long chunk, long *from, long *until);
bool GOMP_loop_guided_next(long *from, long *until);
bool GOMP_loop_start(long start, long end, long step, long schedule, long chunk, long *from,
                     long *until, std::uintptr_t *reductions, void **memory);
bool GOMP_loop_ull_runtime_start(bool upward, unsigned long long start, unsigned long long end,
                                 unsigned long long step, unsigned long long *from,
                                 unsigned long long *until);
bool GOMP_loop_ull_runtime_next(unsigned long long *from, unsigned long long *until);
// The stand-in's own, which the tracer leaves alone.
int omp_get_thread_num();
}

namespace {

using namespace tracer;

int failures = 0;
constexpr auto unit = std::chrono::milliseconds(20);
constexpr std::int64_t margin = 5'000'000; // a thread's own descheduling

void expect(const char *row, const char *what, std::int64_t got, std::int64_t expected,
            std::int64_t within = 0)
{
    if (got < expected - within || got > expected + within) {
        std::fprintf(stderr, "%s: %s: %lld, not %lld (within %lld)\n", row, what,
                     static_cast<long long>(got), static_cast<long long>(expected),
                     static_cast<long long>(within));
        ++failures;
    }
}

// What the threads measured: thread 0's start, its call that waits (from,
// to) and its end, the tasks it ran in that call, and thread 1's program
// time until it let thread 0 on; and what the record says of thread 0's
// useful time and ideal clock over its body.
struct Times {
    std::int64_t start, from, until, end, tasks, other, useful, ideal, called;
};
Times times{};
std::atomic<bool> held{false};

void task_body(void * /*data*/)
{
    const std::int64_t start = now();
    std::this_thread::sleep_for(unit);
    times.tasks += now() - start;
}

// A region of a team of two. Thread 1 takes what thread 0 then waits for,
// says so, holds it for a unit and gives it back (CALL); or (TAKE null) works
// a unit and arrives at CALL, a barrier, which thread 0 calls at once. Or
// (TASK) thread 0 makes a task of a unit and runs it at CALL, a taskwait.
struct Row {
    const char *name;
    void (*take)();
    void (*call)();
    bool task;
    Wait kind;
};

void play(bool by_thread_1, const Row &row)
{
    if (by_thread_1) {
        if (row.task) {
            return;
        }
        times.other = now();
        if (row.take != nullptr) {
            row.take();
            held = true;
        }
        std::this_thread::sleep_for(unit);
        times.called = now();
        times.other = times.called - times.other;
        row.call();
        return;
    }
    while (row.take != nullptr && !held) {
        std::this_thread::yield();
    }
    if (row.task) {
        int data = 0;
        GOMP_task(task_body, &data, nullptr, sizeof data, alignof(int), true, 0, nullptr, 0,
                  nullptr);
    }
    times.from = now();
    (row.take != nullptr ? row.take : row.call)();
    times.until = now();
    if (row.take != nullptr) {
        row.call();
    }
}

std::mutex program_lock;
void *name = nullptr;

// The late ones that the calling thread's sites have counted: instances
// where thread 1 came last, all instances, and the delays caused.
struct LateCount {
    std::int64_t by_thread_1, count, delay;
};
LateCount late_counted()
{
    const ThreadTime &thread = this_thread();
    LateCount sum{};
    for (int index = 0; index < thread.sites_used; ++index) {
        const WaitSite &site = (*thread.sites)[static_cast<std::size_t>(index)];
        for (const Late &late : site.late) {
            sum.by_thread_1 += late.thread == 1 ? static_cast<std::int64_t>(late.count) : 0;
            sum.count += static_cast<std::int64_t>(late.count);
            sum.delay += static_cast<std::int64_t>(late.delay);
        }
    }
    return sum;
}
// The region's late ones, both threads' together.
std::array<std::atomic<std::int64_t>, 3> late_in_region{};

// At the barrier thread 1 comes last, its call after thread 0's by the
// delay it caused; a taskwait whose task its own thread ran waited for no
// one. Clears them for the next.
void expect_late(const Row &row)
{
    const std::int64_t barriers = row.kind == Wait::barrier ? 1 : 0;
    expect(row.name, "instances thread 1 came last to", late_in_region[0], barriers);
    expect(row.name, "instances anyone came last to", late_in_region[1], barriers);
    expect(row.name, "the delay caused", late_in_region[2], barriers * (times.called - times.from),
           margin);
    for (auto &late : late_in_region) {
        late = 0;
    }
}

void body(void *data)
{
    const Row &row = *static_cast<const Row *>(data);
    const bool thread_0 = omp_get_thread_num() == 0;
    const ThreadTime &thread = this_thread();
    const std::int64_t start = now();
    const Clock useful = useful_at(thread, start);
    const Clock ideal = ideal_at(thread, start);
    if (thread_0) {
        times.start = start;
    }
    const LateCount late_before = late_counted();
    play(!thread_0, row);
    const LateCount late_after = late_counted();
    late_in_region[0] += late_after.by_thread_1 - late_before.by_thread_1;
    late_in_region[1] += late_after.count - late_before.count;
    late_in_region[2] += late_after.delay - late_before.delay;
    if (thread_0) {
        times.end = now();
        times.useful = useful_at(thread, times.end).all - useful.all;
        times.ideal = ideal_at(thread, times.end).all - ideal.all;
    }
}

// The calling thread's waits of KIND as counted, in nanoseconds.
std::int64_t counted(Wait kind)
{
    const ThreadTime &thread = this_thread();
    std::int64_t total = 0;
    for (int index = 0; index < thread.sites_used; ++index) {
        const WaitSite &site = (*thread.sites)[static_cast<std::size_t>(index)];
        total += site.kind == kind ? static_cast<std::int64_t>(site.total) : 0;
    }
    return total;
}

} // namespace

// A combined loop's body, its first chunk taken by a next entry.
void combined_body(void * /*data*/)
{
    long from = 0;
    long until = 0;
    while (GOMP_loop_dynamic_next(&from, &until)) {
    }
}

// Three loops in one body, each begun by a start entry of its own form.
void loops_body(void * /*data*/)
{
    long from = 0;
    long until = 0;
    for (bool more = GOMP_loop_guided_start(10, 0, -3, 1, &from, &until); more;
         more = GOMP_loop_guided_next(&from, &until)) {
    }
    GOMP_barrier();
    unsigned long long up_from = 0;
    unsigned long long up_to = 0;
    for (bool more = GOMP_loop_ull_runtime_start(true, 0, 7, 1, &up_from, &up_to); more;
         more = GOMP_loop_ull_runtime_next(&up_from, &up_to)) {
    }
    GOMP_barrier();
    constexpr long dynamic = 2;
    for (bool more = GOMP_loop_start(0, 20, 1, dynamic, 5, &from, &until, nullptr, nullptr); more;
         more = GOMP_loop_dynamic_next(&from, &until)) {
    }
}

// Each loop's chunks and iterations, over its team of two, as the stand-in
// hands them out: a combined loop of 0 to 10 by 2 in chunks of 3 (its step
// noted at the launch), a guided one down from 10 to 0 by 3 (a last chunk
// shorter than a step), a runtime one of unsigned numbers that resolves to
// dynamic, 2, and a dynamic one of chunks of 5 begun by GOMP_loop_start.
void loops()
{
    GOMP_parallel_loop_dynamic(combined_body, nullptr, 2, 0, 10, 2, 3, 0);
    GOMP_parallel(loops_body, nullptr, 2, 0);
    // ORDER SCHEDULE CHUNK RESOLVED RESOLVED_CHUNK THREADS CHUNKS ITERATIONS
    failures += loops_missing(std::array{"0 dynamic 3 - 0 2 2 5", "0 guided 1 - 0 2 4 4",
                                         "1 runtime 0 dynamic 2 2 4 7", "2 dynamic 5 - 0 2 4 20"});
}

int main()
{
    keep_events({Keep::first, capacity});
    loops();
    const std::array<Row, 6> rows{{
        {"a barrier", nullptr, GOMP_barrier, false, Wait::barrier},
        {"a critical section", GOMP_critical_start, GOMP_critical_end, false, Wait::critical},
        {"a named critical section", [] { GOMP_critical_name_start(&name); },
         [] { GOMP_critical_name_end(&name); }, false, Wait::critical},
        {"an ordered block", GOMP_ordered_start, GOMP_ordered_end, false, Wait::ordered},
        {"a lock", [] { omp_set_lock(&program_lock); }, [] { omp_unset_lock(&program_lock); },
         false, Wait::lock},
        {"a task run at a taskwait", nullptr, GOMP_taskwait, true, Wait::taskwait},
    }};
    for (const Row &row : rows) {
        held = false;
        times = Times{};
        const std::int64_t before = now();
        const std::int64_t counted_before = counted(row.kind);
        Row played = row;
        GOMP_parallel(body, &played, 2, 0);
        // The region's events, and its waits of the row's kind.
        const std::int64_t region = regions_launched.load();
        std::array<int, 3> seen{}; // launch and return, body starts by thread, body ends
        int waits = 0;
        int tasks = 0;
        count_kept();
        visit_kept([&](const Record &event) {
            if (event.time < before) {
                return;
            }
            const bool in_region = event.region == region;
            const auto one_if = [](bool holds) { return holds ? 1 : 0; };
            seen[0] += one_if(
                in_region && (event.event == Event::launch || event.event == Event::launch_return));
            seen[1] |= in_region && event.event == Event::body_start ? 1 << event.thread : 0;
            seen[2] += one_if(in_region && event.event == Event::body_end);
            waits += one_if(in_region && event.event == Event::wait &&
                            event.site == static_cast<int>(row.kind) && event.link != 0);
            tasks += one_if(in_region && event.event == Event::task);
        });
        expect(row.name, "launch and return", seen[0], 2);
        expect(row.name, "bodies started, threads 0 and 1", seen[1], 3);
        expect(row.name, "bodies ended", seen[2], 2);
        // Both threads wait, or thread 0 alone at its taskwait.
        expect(row.name, "waits in the region", waits, row.task ? 1 : 2);
        expect(row.name, "tasks in the region", tasks, row.task ? 1 : 0);
        // Thread 0's wait is its call less the tasks run in it; the rest of
        // its body is useful; its clock goes on from its own useful time
        // before the wait, or from thread 1's, whichever is later.
        const std::int64_t wait = times.until - times.from - times.tasks;
        expect_late(row);
        expect(row.name, "thread 0's wait counted", counted(row.kind) - counted_before, wait,
               margin);
        expect(row.name, "thread 0's useful time", times.useful, times.end - times.start - wait,
               margin);
        const std::int64_t before_wait = times.from - times.start + times.tasks;
        expect(row.name, "thread 0's ideal clock", times.ideal,
               (row.task ? before_wait : std::max(before_wait, times.other)) + times.end -
                   times.until,
               margin);
    }
    return failures == 0 ? 0 : 1;
}
