// The tracer's half for LLVM's libomp, which announces its regions to an
// OpenMP tool: libomp calls ompt_start_tool in a preloaded library. The
// launch is the region's begin on the encountering thread, with the call
// site the runtime gives, and its return the region's end; each team
// thread's body runs from its implicit task's begin to the start of its wait
// at the closing barrier, and its join is the end of that wait. A team of one
// has no barrier: its task's end closes both.
//
// The runtime's other waits (barriers, taskwait, taskgroup, and entering a
// critical section, an ordered block or a lock) and the tasks' bodies come
// through the callbacks for synchronisation, mutual exclusion and tasks
// (ompt_tasks.cpp), and the program's markers (omp_control_tool) through the
// control tool's.
#include "ompt_tool.h"
#include "region_spans.h"
#include "regions.h"
#include "runtime_time.h"

#include <algorithm>
#include <cstdint>

using namespace tracer;

namespace {

// The implicit tasks a thread is running, innermost last: the region and
// the thread's number in its team, and whether the body has ended.
struct Task {
    Region *region;
    int thread;
    bool ended;
    bool closing; // in the region's closing barrier
};
constexpr int max_tasks = 64;
thread_local std::array<Task, max_tasks> tasks{};
thread_local int task_count = 0;

Task *innermost()
{
    return task_count > 0 ? &tasks[static_cast<std::size_t>(task_count - 1)] : nullptr;
}

void end_body(Task &task)
{
    if (!task.ended) {
        task.ended = true;
        body_end(*task.region, task.thread);
    }
}

void on_parallel_begin(ompt_data_t * /*task*/, const ompt_frame_t * /*frame*/,
                       ompt_data_t *parallel, unsigned /*requested*/, int /*flags*/,
                       const void *code)
{
    Region &region = spare_region();
    parallel->ptr = &region;
    region_begin(region, code);
}

void on_parallel_end(ompt_data_t *parallel, ompt_data_t * /*task*/, int /*flags*/,
                     const void * /*code*/)
{
    region_end(*static_cast<Region *>(parallel->ptr));
}

void on_implicit_task(ompt_scope_endpoint_t endpoint, ompt_data_t *parallel, ompt_data_t * /*task*/,
                      unsigned team_size, unsigned index, int flags)
{
    if ((flags & ompt_task_initial) != 0) {
        return;
    }
    if (endpoint == ompt_scope_begin) {
        if (task_count == max_tasks || parallel == nullptr) {
            return;
        }
        auto *region = static_cast<Region *>(parallel->ptr);
        tasks[static_cast<std::size_t>(task_count++)] =
            Task{region, static_cast<int>(index), false, false};
        body_begin(*region, static_cast<int>(index), static_cast<int>(team_size));
    }
    else if (Task *task = innermost(); task != nullptr) {
        end_body(*task);
        --task_count;
    }
}

// The waits in progress on this thread, innermost last, each with a
// barrier's parity and the delay the thread caused there (-1: none).
struct Waiting {
    RuntimeWait wait;
    unsigned parity;
    std::int64_t caused;
};
constexpr int max_waits = 64;
thread_local std::array<Waiting, max_waits> waits{};
thread_local int wait_count = 0;

Wait kind_of(ompt_sync_region_t kind)
{
    switch (kind) {
    case ompt_sync_region_taskwait:
        return Wait::taskwait;
    case ompt_sync_region_taskgroup:
        return Wait::taskgroup;
    default:
        return Wait::barrier;
    }
}

bool is_barrier(ompt_sync_region_t kind)
{
    return kind != ompt_sync_region_taskwait && kind != ompt_sync_region_taskgroup &&
           kind != ompt_sync_region_reduction;
}

// The region's closing barrier: so named by newer runtimes; an implicit
// barrier reported at the region's own call site (its launching thread) or
// at none (the others) by older ones.
bool closes_region(ompt_sync_region_t kind, const Task &task, const void *code)
{
    return kind == ompt_sync_region_barrier_implicit_parallel ||
           (kind == ompt_sync_region_barrier_implicit &&
            (code == nullptr || code == task.region->call_site));
}

void begin_sync_wait(ompt_sync_region_t kind)
{
    ThreadTime &thread = this_thread();
    Waiting waiting{begin_wait(thread, now()), 0, -1};
    if (Inside *inside = waiting.wait.inside; is_barrier(kind) && inside != nullptr) {
        const Arrival arrival = arrive_at_barrier(*inside, thread, waiting.wait.start);
        waiting.parity = arrival.parity;
        waiting.caused = arrival.caused;
    }
    if (wait_count < max_waits) {
        waits[static_cast<std::size_t>(wait_count)] = waiting;
    }
    ++wait_count;
}

void end_sync_wait(ompt_sync_region_t kind, const void *code)
{
    if (wait_count == 0) {
        return;
    }
    --wait_count;
    const std::int64_t end = now();
    if (wait_count >= max_waits) {
        leave_runtime(this_thread(), end); // too deep to be timed
        return;
    }
    const Waiting &waiting = waits[static_cast<std::size_t>(wait_count)];
    Clock waited_for{};
    if (const Inside *inside = waiting.wait.inside; inside != nullptr) {
        const Meetings &meet = inside->region->meet;
        waited_for = is_barrier(kind)
                         ? later(meet.barriers[waiting.parity].read(), meet.tasks_ended.read())
                         : meet.tasks_ended.read();
    }
    end_wait(waiting.wait, end, waited_for, {kind_of(kind), code, nullptr, true, waiting.caused});
}

void on_sync_wait(ompt_sync_region_t kind, ompt_scope_endpoint_t endpoint,
                  ompt_data_t * /*parallel*/, ompt_data_t * /*task*/, const void *code)
{
    // The region's closing barrier ends the body, and its end is the join;
    // a wait inside it (a task's, run meanwhile) is a wait like any other.
    Task *task = innermost();
    if (task != nullptr && closes_region(kind, *task, code)) {
        if (endpoint == ompt_scope_begin && !task->ended) {
            end_body(*task);
            task->closing = true;
            return;
        }
        if (endpoint == ompt_scope_end && task->closing) {
            task->closing = false;
            const std::int64_t time = now();
            // Kept apart first: the trace writes the table after it.
            keep_join(task->region->id, time);
            record(Event::join, task->region->id, task->thread, 0, 0, time);
            return;
        }
    }
    if (endpoint == ompt_scope_begin) {
        begin_sync_wait(kind);
    }
    else {
        end_sync_wait(kind, code);
    }
}

// Entering a lock, a critical section or an ordered block: a wait from the
// request to the acquisition, after the object's last release. A request is
// only noted: a test of a lock that fails is reported as a request and no
// more (LLVM 14 reports a test of a nested lock as a plain request, too),
// and an owner that sets its nested lock again is reported as a nest_lock.
// The thread's useful time is cut at the request once it is acquired.
thread_local std::int64_t acquiring = 0;

bool is_test(ompt_mutex_t kind)
{
    return kind == ompt_mutex_test_lock || kind == ompt_mutex_test_nest_lock;
}

Wait mutex_wait(ompt_mutex_t kind)
{
    switch (kind) {
    case ompt_mutex_critical:
        return Wait::critical;
    case ompt_mutex_ordered:
        return Wait::ordered;
    default:
        return Wait::lock;
    }
}

void on_acquire(ompt_mutex_t /*kind*/, unsigned /*hint*/, unsigned /*implementation*/,
                ompt_wait_id_t /*object*/, const void * /*code*/)
{
    acquiring = now();
}

// A lock's acquisition: a wait from its request, where the thread's useful
// time stops (or from the end of the task it ran since), to now; the turn
// taken where the object had an owner to release it (see await_turn).
void acquired(ompt_mutex_t kind, ompt_wait_id_t object, const void *code, bool taken)
{
    if (acquiring == 0) {
        return;
    }
    ThreadTime &thread = this_thread();
    const std::int64_t end = now();
    RuntimeWait wait = begin_wait(thread, std::max(acquiring, thread.since));
    wait.start = acquiring;
    const Guard guard = guard_of(reinterpret_cast<const void *>(object));
    // A test that took the lock did not wait.
    end_wait(wait, end, last_release(guard, taken),
             {mutex_wait(kind), code, nullptr, !is_test(kind)});
    acquiring = 0;
}

void on_acquired(ompt_mutex_t kind, ompt_wait_id_t object, const void *code)
{
    acquired(kind, object, code, true);
}

// The owner of a nested lock sets it again: at once, and no turn taken.
void on_nest_lock(ompt_scope_endpoint_t endpoint, ompt_wait_id_t object, const void *code)
{
    if (endpoint == ompt_scope_begin) {
        acquired(ompt_mutex_nest_lock, object, code, false);
    }
}

void on_released(ompt_mutex_t /*kind*/, ompt_wait_id_t object, const void * /*code*/)
{
    release(guard_of(reinterpret_cast<const void *>(object)), this_thread(), now(), true);
}

// omp_control_tool: start and pause or end the interval the program marks.
// Its commands, as OpenMP numbers them (omp.h is the compiler's own, and
// GCC's has none).
constexpr std::uint64_t control_start = 1;
constexpr std::uint64_t control_pause = 2;
constexpr std::uint64_t control_end = 4;

int on_control_tool(std::uint64_t command, std::uint64_t /*modifier*/, void * /*argument*/,
                    const void * /*code*/)
{
    if (command == control_start) {
        mark_start(now());
    }
    else if (command == control_pause || command == control_end) {
        mark_stop(now());
    }
    return 0;
}

// The runtime's own start, from its call for a tool to the tool's
// initialisation, on the thread that first called it: runtime time.
ThreadTime *starting = nullptr;

int initialize(ompt_function_lookup_t lookup, int /*device*/, ompt_data_t * /*tool*/)
{
    if (starting != nullptr && starting == &this_thread()) {
        leave_runtime(*starting, now());
    }
    starting = nullptr;
    runtime_address.store(reinterpret_cast<std::uintptr_t>(lookup));
    auto set_callback = reinterpret_cast<ompt_set_callback_t>(lookup("ompt_set_callback"));
    set_callback(ompt_callback_parallel_begin,
                 reinterpret_cast<ompt_callback_t>(on_parallel_begin));
    set_callback(ompt_callback_parallel_end, reinterpret_cast<ompt_callback_t>(on_parallel_end));
    set_callback(ompt_callback_implicit_task, reinterpret_cast<ompt_callback_t>(on_implicit_task));
    set_callback(ompt_callback_sync_region_wait, reinterpret_cast<ompt_callback_t>(on_sync_wait));
    set_callback(ompt_callback_mutex_acquire, reinterpret_cast<ompt_callback_t>(on_acquire));
    set_callback(ompt_callback_mutex_acquired, reinterpret_cast<ompt_callback_t>(on_acquired));
    set_callback(ompt_callback_mutex_released, reinterpret_cast<ompt_callback_t>(on_released));
    set_callback(ompt_callback_nest_lock, reinterpret_cast<ompt_callback_t>(on_nest_lock));
    set_callback(ompt_callback_task_create, reinterpret_cast<ompt_callback_t>(on_task_create));
    set_callback(ompt_callback_task_schedule, reinterpret_cast<ompt_callback_t>(on_task_schedule));
    set_callback(ompt_callback_control_tool, reinterpret_cast<ompt_callback_t>(on_control_tool));
    runtime_reports_regions = true;
    return 1;
}

void finalize(ompt_data_t * /*tool*/) {}

ompt_start_tool_result_t tool{initialize, finalize, {}};

} // namespace

extern "C" [[gnu::visibility("default")]] ompt_start_tool_result_t *
ompt_start_tool(unsigned /*version*/, const char * /*runtime*/)
{
    starting = &this_thread();
    enter_runtime(*starting, now());
    return &tool;
}
