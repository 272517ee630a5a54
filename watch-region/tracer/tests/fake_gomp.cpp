// A stand-in for libgomp, for gomp_tests: the entries that gomp_tests' team
// calls, found by the tracer's interposers as the next definitions after the
// program, as libgomp's are. A team is real threads, the caller thread 0; a
// barrier, a critical section, an ordered block and a lock make a thread
// wait as libgomp's do; a task is deferred, its data copied as libgomp
// copies it, and run by its creator at its next taskwait or barrier.
#include <condition_variable>
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
};

struct Task {
    Body body;
    void *data;
};

thread_local Team *team = nullptr;
thread_local int number = 0;
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

void as_member(Team *members, int thread, Body body, void *data)
{
    team = members;
    number = thread;
    body(data);
}

} // namespace

extern "C" {

void GOMP_parallel(Body body, void *data, unsigned threads, unsigned /*flags*/)
{
    Team *outer = team;
    const int outer_number = number;
    Team members{threads == 0 ? 2 : threads, {}, {}};
    std::vector<std::thread> workers;
    for (unsigned thread = 1; thread < members.size; ++thread) {
        workers.emplace_back(as_member, &members, static_cast<int>(thread), body, data);
    }
    as_member(&members, 0, body, data);
    for (std::thread &worker : workers) {
        worker.join();
    }
    team = outer;
    number = outer_number;
}

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
