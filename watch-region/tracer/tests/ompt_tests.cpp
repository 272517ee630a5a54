// The tracer's half for LLVM's libomp, driven as the runtime drives it:
// ompt_tests GROUP. Each check that fails prints what it got and what it
// expected; the exit status is 1 if any did.
//   tasks      the runtime's start, then a table of task switches, each
//              played on a thread of its own: the time the thread's tasks
//              run is useful, however deep
//   hand_over  a release reported after the next holder has the lock: the
//              next holder's clock still follows it
//   late       a team of two where thread 1 comes last to a barrier, then
//              runs the task that thread 0 waits for: each time the late
//              one, and the delay it caused: at the barrier its arrival
//              less thread 0's, at the taskwait thread 0's wait
//   dispatch   loops handed out by libomp's dispatch entries (a stand-in's,
//              fake_gomp.cpp), bounds included: each thread's chunks and
//              iterations
#include "clock.h"
#include "loop_lines.h"
#include "regions.h"
#include "trace_store.h"
#include "waits.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string_view>
#include <thread>
#include <vector>

#include OMP_TOOLS_HEADER

extern "C" {
ompt_start_tool_result_t *ompt_start_tool(unsigned version, const char *runtime);
// The tracer's interposers, in front of the stand-in's entries.
// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): libomp's names
void __kmpc_dispatch_init_4(void *location, std::int32_t thread, int schedule, std::int32_t lower,
                            std::int32_t upper, std::int32_t step, std::int32_t chunk);
int __kmpc_dispatch_next_4(void *location, std::int32_t thread, std::int32_t *last,
                           std::int32_t *lower, std::int32_t *upper, std::int32_t *stride);
void __kmpc_dispatch_init_8(void *location, std::int32_t thread, int schedule, std::int64_t lower,
                            std::int64_t upper, std::int64_t step, std::int64_t chunk);
int __kmpc_dispatch_next_8(void *location, std::int32_t thread, std::int32_t *last,
                           std::int64_t *lower, std::int64_t *upper, std::int64_t *stride);
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
// The stand-in's team, its threads numbered, and its barrier.
void GOMP_parallel(void (*body)(void *), void *data, unsigned threads, unsigned flags);
void GOMP_barrier();
int omp_get_thread_num();
}

namespace {

using namespace tracer;

int failures = 0;

void expect_within(std::string_view what, std::int64_t got, std::int64_t expected,
                   std::int64_t margin)
{
    if (got < expected - margin || got > expected + margin) {
        std::fprintf(stderr, "%.*s: %lld ns, not %lld within %lld\n", static_cast<int>(what.size()),
                     what.data(), static_cast<long long>(got), static_cast<long long>(expected),
                     static_cast<long long>(margin));
        ++failures;
    }
}

// The callbacks the tool asked for, by event.
std::array<ompt_callback_t, 64> callbacks{};

ompt_set_result_t set_callback(ompt_callbacks_t event, ompt_callback_t callback)
{
    callbacks.at(static_cast<std::size_t>(event)) = callback;
    return ompt_set_always;
}

ompt_interface_fn_t lookup(const char *name)
{
    return std::string_view(name) == "ompt_set_callback"
               ? reinterpret_cast<ompt_interface_fn_t>(set_callback)
               : nullptr;
}

template <typename Callback> Callback callback(ompt_callbacks_t event)
{
    return reinterpret_cast<Callback>(callbacks.at(static_cast<std::size_t>(event)));
}

constexpr auto unit = std::chrono::milliseconds(20);
constexpr std::int64_t margin = 5'000'000; // a thread's own descheduling

// The runtime asks for the tool as it starts, and initialises it once it
// has: the time between is the runtime's, the time after the program's.
void start_tool()
{
    const ThreadTime &thread = this_thread();
    const std::int64_t before = useful_at(thread, now()).all;
    ompt_start_tool_result_t *tool = ompt_start_tool(0, "tests");
    std::this_thread::sleep_for(unit);
    tool->initialize(lookup, 0, &tool->tool_data);
    const std::int64_t started = now();
    std::this_thread::sleep_for(unit);
    const std::int64_t after = now();
    expect_within("useful from the runtime's start on", useful_at(thread, after).all - before,
                  after - started, margin);
}

// What a step of a script does: run the program's code (a sleep), wait at
// a barrier or a taskwait (sleeping in it), or switch tasks.
enum class Op { run, barrier, barrier_end, taskwait, taskwait_end, create, schedule };
constexpr int implicit = -1;
struct Step {
    Op op;
    int prior = implicit; // tasks by number, or the implicit one
    ompt_task_status_t status = ompt_task_switch;
    int next = implicit;
    bool useful = false; // for run: whether its time is the program's
};
struct Script {
    std::string_view name;
    std::vector<Step> steps;
};

// Plays SCRIPT on this thread, as the launching thread of a region of one, and
// checks the useful time against that of the runs it marks useful.
void play(const Script &script)
{
    ompt_data_t parallel{};
    ompt_data_t implicit_task{};
    std::array<ompt_data_t, 8> explicit_tasks{};
    const auto task = [&](int number) {
        return number == implicit ? &implicit_task
                                  : &explicit_tasks.at(static_cast<std::size_t>(number));
    };
    const auto sync = callback<ompt_callback_sync_region_t>(ompt_callback_sync_region_wait);
    ThreadTime &thread = this_thread();
    leave_runtime(thread, now()); // a thread of the program's own, which launches the region
    callback<ompt_callback_parallel_begin_t>(ompt_callback_parallel_begin)(
        nullptr, nullptr, &parallel, 1, 0, nullptr);
    callback<ompt_callback_implicit_task_t>(ompt_callback_implicit_task)(
        ompt_scope_begin, &parallel, &implicit_task, 1, 0, ompt_task_implicit);
    const std::int64_t start = useful_at(thread, now()).all;
    std::int64_t expected = 0;
    for (const Step &step : script.steps) {
        switch (step.op) {
        case Op::run: {
            const std::int64_t before = now();
            std::this_thread::sleep_for(unit);
            expected += step.useful ? now() - before : 0;
            break;
        }
        case Op::barrier:
        case Op::barrier_end:
            sync(ompt_sync_region_barrier_explicit,
                 step.op == Op::barrier ? ompt_scope_begin : ompt_scope_end, &parallel,
                 &implicit_task, nullptr);
            break;
        case Op::taskwait:
        case Op::taskwait_end:
            sync(ompt_sync_region_taskwait,
                 step.op == Op::taskwait ? ompt_scope_begin : ompt_scope_end, &parallel,
                 &implicit_task, nullptr);
            break;
        case Op::create:
            callback<ompt_callback_task_create_t>(ompt_callback_task_create)(
                task(step.prior), nullptr, task(step.next), ompt_task_explicit, 0, nullptr);
            break;
        case Op::schedule:
            callback<ompt_callback_task_schedule_t>(ompt_callback_task_schedule)(
                task(step.prior), step.status, task(step.next));
            break;
        }
    }
    expect_within(script.name, useful_at(thread, now()).all - start, expected, margin);
    callback<ompt_callback_implicit_task_t>(ompt_callback_implicit_task)(
        ompt_scope_end, &parallel, &implicit_task, 1, 0, ompt_task_implicit);
}

Step run(bool useful) { return {Op::run, implicit, ompt_task_switch, implicit, useful}; }
Step make(int parent, int made) { return {Op::create, parent, ompt_task_switch, made}; }
Step to(int prior, ompt_task_status_t status, int next)
{
    return {Op::schedule, prior, status, next};
}
Step op(Op kind) { return {kind}; }

void tasks()
{
    constexpr auto done = ompt_task_complete;
    constexpr auto switched = ompt_task_switch;
    const std::array scripts{
        // A task run at a barrier, which makes a task and waits for it,
        // running it meanwhile: the three runs in tasks are useful, the
        // parent's wait and the barrier's are not.
        Script{"a task that makes a task",
               {make(implicit, 0), op(Op::barrier), to(implicit, switched, 0), run(true),
                make(0, 1), op(Op::taskwait), to(0, switched, 1), run(true), to(1, done, 0),
                run(false), op(Op::taskwait_end), run(true), to(0, done, implicit), run(false),
                op(Op::barrier_end), run(true)}},
        // Three deep, each waiting for the next.
        Script{"tasks three deep",
               {make(implicit, 0), op(Op::barrier), to(implicit, switched, 0), make(0, 1),
                op(Op::taskwait), to(0, switched, 1), make(1, 2), op(Op::taskwait),
                to(1, switched, 2), run(true), to(2, done, 1), op(Op::taskwait_end), run(true),
                to(1, done, 0), op(Op::taskwait_end), run(true), to(0, done, implicit),
                op(Op::barrier_end)}},
        // A task that yields to another, without waiting in the runtime.
        Script{"a yield",
               {make(implicit, 0), op(Op::barrier), to(implicit, switched, 0), make(0, 1),
                to(0, ompt_task_yield, 1), run(true), to(1, done, 0), run(true),
                to(0, done, implicit), op(Op::barrier_end)}},
        // An included task, run at once where the body makes it.
        Script{"an included task",
               {run(true), make(implicit, 0), to(implicit, switched, 0), run(true),
                to(0, done, implicit), run(true)}},
        // An untied task's first part, ending with a switch back; its
        // second part, later, is a start again.
        Script{"an untied task in parts",
               {make(implicit, 0), op(Op::barrier), to(implicit, switched, 0), run(true),
                to(0, switched, implicit), run(false), to(implicit, switched, 0), run(true),
                to(0, done, implicit), run(false), op(Op::barrier_end)}},
    };
    for (const Script &script : scripts) {
        std::thread(play, script).join();
    }
}

// Two threads take a lock in turn; the first's release is reported only
// after the second has it, as libomp may. The second's clock goes on from
// the first's useful time at its release, which is longer than its own.
void hand_over()
{
    const auto acquire = callback<ompt_callback_mutex_acquire_t>(ompt_callback_mutex_acquire);
    const auto acquired = callback<ompt_callback_mutex_t>(ompt_callback_mutex_acquired);
    const auto released = callback<ompt_callback_mutex_t>(ompt_callback_mutex_released);
    const ompt_wait_id_t lock = 1;
    std::int64_t first_clock = 0;
    std::int64_t second_clock = 0;
    std::thread first([&] {
        ThreadTime &thread = this_thread();
        leave_runtime(thread, now());
        acquire(ompt_mutex_lock, 0, 0, lock, nullptr);
        acquired(ompt_mutex_lock, lock, nullptr);
        std::this_thread::sleep_for(4 * unit);
        std::thread second([&] {
            ThreadTime &other = this_thread();
            leave_runtime(other, now());
            acquire(ompt_mutex_lock, 0, 0, lock, nullptr);
            acquired(ompt_mutex_lock, lock, nullptr);
            second_clock = ideal_at(other, now()).all;
        });
        std::this_thread::sleep_for(unit);
        first_clock = ideal_at(thread, now()).all;
        released(ompt_mutex_lock, lock, nullptr);
        second.join();
    });
    first.join();
    if (second_clock < first_clock) {
        std::fprintf(stderr, "the next holder's clock, %lld ns, before the release's, %lld\n",
                     static_cast<long long>(second_clock), static_cast<long long>(first_clock));
        ++failures;
    }
}

// The late ones the calling thread's sites counted: [0] instances where
// thread 1 came last, [1] all instances, [2] the delay caused.
void add_late(std::array<std::int64_t, 3> &counted)
{
    const ThreadTime &thread = this_thread();
    for (int index = 0; index < thread.sites_used; ++index) {
        for (const Late &late : (*thread.sites)[static_cast<std::size_t>(index)].late) {
            counted[0] += late.thread == 1 ? static_cast<std::int64_t>(late.count) : 0;
            counted[1] += static_cast<std::int64_t>(late.count);
            counted[2] += static_cast<std::int64_t>(late.delay);
        }
    }
}

void late_arrivals()
{
    const auto sync = callback<ompt_callback_sync_region_t>(ompt_callback_sync_region_wait);
    const auto implicit_task = callback<ompt_callback_implicit_task_t>(ompt_callback_implicit_task);
    ompt_data_t parallel{};
    std::array<ompt_data_t, 2> implicit_tasks{};
    ompt_data_t task{};
    std::atomic<int> step{0}; // how far the two have come
    const auto after = [&step](int reached) {
        while (step.load() < reached) {
            std::this_thread::yield();
        }
    };
    std::array<std::int64_t, 3> counted{};
    // Thread 0's arrival at the barrier, thread 1's, and thread 0's wait at
    // the taskwait.
    std::array<std::int64_t, 3> times{};
    std::thread zero([&] {
        leave_runtime(this_thread(), now());
        callback<ompt_callback_parallel_begin_t>(ompt_callback_parallel_begin)(
            nullptr, nullptr, &parallel, 2, 0, nullptr);
        implicit_task(ompt_scope_begin, &parallel, implicit_tasks.data(), 2, 0, ompt_task_implicit);
        step = 1;
        times[0] = now();
        sync(ompt_sync_region_barrier_explicit, ompt_scope_begin, &parallel, implicit_tasks.data(),
             nullptr);
        after(2);
        sync(ompt_sync_region_barrier_explicit, ompt_scope_end, &parallel, implicit_tasks.data(),
             nullptr);
        callback<ompt_callback_task_create_t>(ompt_callback_task_create)(
            implicit_tasks.data(), nullptr, &task, ompt_task_explicit, 0, nullptr);
        const std::int64_t from = now();
        sync(ompt_sync_region_taskwait, ompt_scope_begin, &parallel, implicit_tasks.data(),
             nullptr);
        step = 3;
        after(4);
        sync(ompt_sync_region_taskwait, ompt_scope_end, &parallel, implicit_tasks.data(), nullptr);
        times[2] = now() - from;
        after(5);
        add_late(counted);
        implicit_task(ompt_scope_end, &parallel, implicit_tasks.data(), 2, 0, ompt_task_implicit);
        callback<ompt_callback_parallel_end_t>(ompt_callback_parallel_end)(&parallel, nullptr, 0,
                                                                           nullptr);
    });
    std::thread one([&] {
        after(1);
        implicit_task(ompt_scope_begin, &parallel, &implicit_tasks[1], 2, 1, ompt_task_implicit);
        std::this_thread::sleep_for(unit);
        times[1] = now();
        sync(ompt_sync_region_barrier_explicit, ompt_scope_begin, &parallel, &implicit_tasks[1],
             nullptr);
        step = 2;
        sync(ompt_sync_region_barrier_explicit, ompt_scope_end, &parallel, &implicit_tasks[1],
             nullptr);
        after(3);
        const auto schedule = callback<ompt_callback_task_schedule_t>(ompt_callback_task_schedule);
        schedule(&implicit_tasks[1], ompt_task_switch, &task);
        std::this_thread::sleep_for(unit);
        schedule(&task, ompt_task_complete, &implicit_tasks[1]);
        step = 4;
        add_late(counted);
        implicit_task(ompt_scope_end, &parallel, &implicit_tasks[1], 2, 1, ompt_task_implicit);
        step = 5;
    });
    zero.join();
    one.join();
    expect_within("instances thread 1 came last to", counted[0], 2, 0);
    expect_within("instances anyone came last to", counted[1], 2, 0);
    expect_within("the delay caused", counted[2], times[1] - times[0] + times[2], 2 * margin);
}

} // namespace

// A body of two loops: a nonmonotonic dynamic one of 0 to 9 in chunks of
// 3, and a runtime one down from 20 to 11 (the stand-in's runtime schedule
// is dynamic, 2; it hands out the chunks of 1 asked for).
void dispatched(void *data)
{
    Region &region = *static_cast<Region *>(data);
    const int thread = omp_get_thread_num();
    body_begin(region, thread, 2);
    constexpr int dynamic = 35 | 1 << 30;
    constexpr int runtime = 37;
    std::int32_t last = 0;
    std::int32_t lower = 0;
    std::int32_t upper = 0;
    std::int32_t stride = 0;
    __kmpc_dispatch_init_4(nullptr, 0, dynamic, 0, 9, 1, 3);
    while (__kmpc_dispatch_next_4(nullptr, 0, &last, &lower, &upper, &stride) != 0) {
    }
    GOMP_barrier();
    std::int64_t wide_lower = 0;
    std::int64_t wide_upper = 0;
    std::int64_t wide_stride = 0;
    __kmpc_dispatch_init_8(nullptr, 0, runtime, 20, 11, -1, 1);
    while (__kmpc_dispatch_next_8(nullptr, 0, &last, &wide_lower, &wide_upper, &wide_stride) != 0) {
    }
    body_end(region, thread);
}

void dispatch()
{
    Region &region = spare_region();
    region_begin(region, reinterpret_cast<const void *>(&dispatch));
    GOMP_parallel(dispatched, &region, 2, 0);
    region_end(region);
    // ORDER SCHEDULE CHUNK RESOLVED RESOLVED_CHUNK THREADS CHUNKS ITERATIONS
    failures +=
        loops_missing(std::array{"0 dynamic 3 - 0 2 4 10", "1 runtime 1 dynamic 2 2 10 10"});
}

int main(int argc, char **argv)
{
    const std::string_view group = argc > 1 ? argv[1] : ""; // NOLINT(*-pointer-arithmetic)
    start_tool();
    if (group == "tasks") {
        tasks();
    }
    else if (group == "hand_over") {
        hand_over();
    }
    else if (group == "late") {
        late_arrivals();
    }
    else if (group == "dispatch") {
        dispatch();
    }
    else {
        std::fprintf(stderr, "usage: ompt_tests tasks|hand_over|late|dispatch\n");
        return 2;
    }
    return failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
