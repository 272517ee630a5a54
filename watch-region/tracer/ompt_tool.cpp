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
#include "trace_store.h"

#include <algorithm>
#include <cstdint>
#include <sched.h>

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

// A wait in progress on this thread: a barrier's parity, and when it
// started, with the thread's useful time then (tasks run meanwhile are not
// the wait's).
struct Waiting {
    std::int64_t start;
    std::int64_t useful;
    unsigned parity;
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

void begin_wait(ompt_sync_region_t kind)
{
    ThreadTime &thread = this_thread();
    const std::int64_t start = now();
    enter_runtime(thread, start);
    Inside *inside = ::innermost();
    Waiting waiting{start, thread.useful.all, 0};
    if (is_barrier(kind) && inside != nullptr) {
        waiting.parity = inside->barriers++ & 1U;
        inside->region->meet.barriers[waiting.parity].raise(ideal(thread));
    }
    if (wait_count < max_waits) {
        waits[static_cast<std::size_t>(wait_count)] = waiting;
    }
    ++wait_count;
}

void end_wait(ompt_sync_region_t kind, const void *code)
{
    if (wait_count == 0) {
        return;
    }
    --wait_count;
    ThreadTime &thread = this_thread();
    const std::int64_t end = now();
    if (wait_count >= max_waits) {
        leave_runtime(thread, end); // too deep to be timed
        return;
    }
    const Waiting &waiting = waits[static_cast<std::size_t>(wait_count)];
    const Inside *inside = ::innermost();
    if (inside != nullptr) {
        const Meetings &meet = inside->region->meet;
        wait_until(thread, is_barrier(kind) ? later(meet.barriers[waiting.parity].read(),
                                                    meet.tasks_ended.read())
                                            : meet.tasks_ended.read());
    }
    const std::int64_t in_tasks = thread.useful.all - waiting.useful;
    leave_runtime(thread, end);
    record_wait(kind_of(kind), inside != nullptr ? inside->region->id : 0,
                reinterpret_cast<std::intptr_t>(code), waiting.start, end);
    count_wait(thread, kind_of(kind), code, inside != nullptr ? inside->region->site : -1,
               end - waiting.start - in_tasks);
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
            record(Event::join, task->region->id, task->thread);
            return;
        }
    }
    if (endpoint == ompt_scope_begin) {
        begin_wait(kind);
    }
    else {
        end_wait(kind, code);
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

// The release before this holder's turn, whose callback may come after the
// object is free: a moment's wait for it (a thread descheduled between the
// two). A release never reported (a lock destroyed while held) is given up
// after a quarter of a second, once: the turns go on from this one.
void await_release(const void *object)
{
    HandOver *turns = hand_over(object);
    if (turns == nullptr) {
        return;
    }
    const std::uint64_t turn = turns->taken.fetch_add(1, std::memory_order_relaxed);
    constexpr std::int64_t patience = 250'000'000;
    const std::int64_t since = now();
    std::uint64_t given = turns->given.load(std::memory_order_acquire);
    while (given < turn) {
        if (now() - since > patience) {
            turns->given.compare_exchange_strong(given, turn, std::memory_order_relaxed);
            return;
        }
        sched_yield();
        given = turns->given.load(std::memory_order_acquire);
    }
}

void acquired(ompt_mutex_t kind, ompt_wait_id_t object, const void *code, bool taken)
{
    if (acquiring == 0) {
        return;
    }
    ThreadTime &thread = this_thread();
    const std::int64_t end = now();
    enter_runtime(thread, std::max(acquiring, thread.since));
    if (taken) {
        await_release(reinterpret_cast<const void *>(object));
    }
    wait_until(thread, released(reinterpret_cast<const void *>(object)).read());
    leave_runtime(thread, end);
    const Inside *inside = ::innermost();
    record_wait(mutex_wait(kind), inside != nullptr ? inside->region->id : 0,
                reinterpret_cast<std::intptr_t>(code), acquiring, end);
    // A test that took the lock did not wait.
    if (!is_test(kind)) {
        count_wait(thread, mutex_wait(kind), code, inside != nullptr ? inside->region->site : -1,
                   end - acquiring);
    }
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
    const ThreadTime &thread = this_thread();
    const auto *released_object = reinterpret_cast<const void *>(object);
    released(released_object).set(ideal_at(thread, now()));
    if (HandOver *turns = hand_over(released_object); turns != nullptr) {
        turns->given.fetch_add(1, std::memory_order_release);
    }
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
