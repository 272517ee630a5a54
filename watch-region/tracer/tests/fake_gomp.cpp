// A stand-in for libgomp, for gomp_tests: the entries that gomp_tests' team
// calls, found by the tracer's interposers as the next definitions after the
// program, as libgomp's are. A team is real threads, the caller thread 0; a
// barrier, a critical section, an ordered block and a lock make a thread
// wait as libgomp's do; a task is deferred, its data copied as libgomp
// copies it, and run by its creator at its next taskwait or barrier. A
// loop's chunks are handed out from the team's one loop under way, set up by
// the first thread that starts it (the threads meet at a barrier between
// loops), as libgomp's and, for ompt_tests, libomp's dispatch entries do.
#include <algorithm>
#include <array>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using Body = void (*)(void *);

struct Team {
    unsigned size;
    std::mutex mutex;
    std::condition_variable all_arrived;
    unsigned arrived = 0;
    unsigned long passed = 0; // the barriers the team has passed
    // The loop under way: the next iteration, the end (past the last), the
    // step, the chunk's size; and how many loops have been set up.
    long long next = 0, end = 0, step = 1, chunk = 1;
    int loops = 0;
};

struct Task {
    Body body;
    void *data;
};

thread_local Team *team = nullptr;
thread_local int number = 0;
thread_local int loops_started = 0;
thread_local std::vector<Task> deferred;
std::mutex critical;
std::mutex ordered;

void run_deferred()
{
    std::vector<Task> tasks;
    tasks.swap(deferred);
    for (const Task &task : tasks) {
        task.body(task.data);
        std::free(task.data); // NOLINT(cppcoreguidelines-no-malloc,hicpp-no-malloc)
    }
}

void as_member(Team *members, int thread, int loops, Body body, void *data)
{
    team = members;
    number = thread;
    loops_started = loops;
    body(data);
}

void run_team(Body body, void *data, unsigned threads, const std::array<long long, 4> *loop)
{
    Team *outer = team;
    const int outer_number = number;
    const int outer_loops = loops_started;
    Team members{threads == 0 ? 2 : threads, {}, {}};
    if (loop != nullptr) {
        members.next = (*loop)[0];
        members.end = (*loop)[1];
        members.step = (*loop)[2];
        members.chunk = (*loop)[3];
        members.loops = 1;
    }
    const int loops = members.loops;
    std::vector<std::thread> workers;
    for (unsigned thread = 1; thread < members.size; ++thread) {
        workers.emplace_back(as_member, &members, static_cast<int>(thread), loops, body, data);
    }
    as_member(&members, 0, loops, body, data);
    for (std::thread &worker : workers) {
        worker.join();
    }
    team = outer;
    number = outer_number;
    loops_started = outer_loops;
}

void start_loop(long long start, long long end, long long step, long long chunk)
{
    const std::lock_guard<std::mutex> held(team->mutex);
    if (loops_started++ == team->loops) {
        ++team->loops;
        team->next = start;
        team->end = end;
        team->step = step;
        team->chunk = chunk;
    }
}

// The next chunk, FROM to TO past its last iteration; false when none is left.
template <typename Number> bool next_chunk(Number *from, Number *until)
{
    const std::lock_guard<std::mutex> held(team->mutex);
    const bool upward = team->step > 0;
    if (upward ? team->next >= team->end : team->next <= team->end) {
        return false;
    }
    *from = static_cast<Number>(team->next);
    const long long next = team->next + team->chunk * team->step;
    team->next = upward ? std::min(next, team->end) : std::max(next, team->end);
    *until = static_cast<Number>(team->next);
    return true;
}

} // namespace

extern "C" {

void GOMP_parallel(Body body, void *data, unsigned threads, unsigned /*flags*/)
{
    run_team(body, data, threads, nullptr);
}

// The team's loop set up before its threads start, as libgomp's is.
void GOMP_parallel_loop_dynamic(Body body, void *data, unsigned threads, long start, long end,
                                long step, long chunk, unsigned /*flags*/)
{
    const std::array<long long, 4> loop{start, end, step, chunk};
    run_team(body, data, threads, &loop);
}

bool GOMP_loop_dynamic_next(long *from, long *until) { return next_chunk(from, until); }
bool GOMP_loop_guided_start(long start, long end, long step, long chunk, long *from, long *until)
{
    start_loop(start, end, step, chunk);
    return next_chunk(from, until);
}
bool GOMP_loop_guided_next(long *from, long *until) { return next_chunk(from, until); }
bool GOMP_loop_start(long start, long end, long step, long /*schedule*/, long chunk, long *from,
                     long *until, std::uintptr_t * /*reductions*/, void ** /*memory*/)
{
    start_loop(start, end, step, chunk);
    return from == nullptr || next_chunk(from, until);
}
bool GOMP_loop_ull_runtime_start(bool upward, unsigned long long start, unsigned long long end,
                                 unsigned long long step, unsigned long long *from,
                                 unsigned long long *until)
{
    constexpr long long runtime_chunk = 2;
    start_loop(static_cast<long long>(start), static_cast<long long>(end),
               upward ? static_cast<long long>(step) : -static_cast<long long>(0 - step),
               runtime_chunk);
    return next_chunk(from, until);
}
bool GOMP_loop_ull_runtime_next(unsigned long long *from, unsigned long long *until)
{
    return next_chunk(from, until);
}
// The runtime schedule: dynamic, chunks of 2.
void omp_get_schedule(int *kind, int *chunk)
{
    *kind = 2;
    *chunk = 2;
}

// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): libomp's names
// libomp's, bounds included, steps of 1 or -1.
void __kmpc_dispatch_init_4(void * /*location*/, std::int32_t /*thread*/, int /*schedule*/,
                            std::int32_t lower, std::int32_t upper, std::int32_t step,
                            std::int32_t chunk)
{
    start_loop(lower, upper + step, step, chunk);
}
int __kmpc_dispatch_next_4(void * /*location*/, std::int32_t /*thread*/, std::int32_t *last,
                           std::int32_t *lower, std::int32_t *upper, std::int32_t *stride)
{
    *last = 0;
    *stride = static_cast<std::int32_t>(team->step);
    const bool more = next_chunk(lower, upper);
    *upper -= *stride;
    return more ? 1 : 0;
}
void __kmpc_dispatch_init_8(void * /*location*/, std::int32_t /*thread*/, int /*schedule*/,
                            std::int64_t lower, std::int64_t upper, std::int64_t step,
                            std::int64_t chunk)
{
    start_loop(lower, upper + step, step, chunk);
}
int __kmpc_dispatch_next_8(void * /*location*/, std::int32_t /*thread*/, std::int32_t *last,
                           std::int64_t *lower, std::int64_t *upper, std::int64_t *stride)
{
    *last = 0;
    *stride = team->step;
    const bool more = next_chunk(lower, upper);
    *upper -= *stride;
    return more ? 1 : 0;
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)

int omp_get_thread_num() { return number; }
int omp_get_num_threads() { return team != nullptr ? static_cast<int>(team->size) : 1; }

void GOMP_barrier()
{
    run_deferred();
    std::unique_lock<std::mutex> held(team->mutex);
    const unsigned long barrier = team->passed;
    if (++team->arrived == team->size) {
        team->arrived = 0;
        ++team->passed;
        team->all_arrived.notify_all();
    }
    team->all_arrived.wait(held, [barrier] { return team->passed != barrier; });
}

void GOMP_critical_start() { critical.lock(); }
void GOMP_critical_end() { critical.unlock(); }
void GOMP_critical_name_start(void ** /*name*/) { critical.lock(); }
void GOMP_critical_name_end(void ** /*name*/) { critical.unlock(); }
void GOMP_ordered_start() { ordered.lock(); }
void GOMP_ordered_end() { ordered.unlock(); }
// A lock is a std::mutex of the program's.
void omp_set_lock(void *lock) { static_cast<std::mutex *>(lock)->lock(); }
void omp_unset_lock(void *lock) { static_cast<std::mutex *>(lock)->unlock(); }
int omp_test_lock(void *lock) { return static_cast<std::mutex *>(lock)->try_lock() ? 1 : 0; }

void GOMP_taskwait() { run_deferred(); }

void GOMP_task(Body body, void *data, void (*copy)(void *, void *), long size, long align,
               bool /*if_clause*/, unsigned /*flags*/, void ** /*depend*/, int /*priority*/,
               void * /*detach*/)
{
    // NOLINTNEXTLINE(cppcoreguidelines-no-malloc,hicpp-no-malloc): freed once run
    void *block = std::aligned_alloc(static_cast<std::size_t>(align),
                                     static_cast<std::size_t>((size + align - 1) / align * align));
    if (copy != nullptr) {
        copy(block, data);
    }
    else {
        std::memcpy(block, data, static_cast<std::size_t>(size));
    }
    deferred.push_back({body, block});
}
}
