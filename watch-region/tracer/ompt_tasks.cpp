// The libomp half's tasks (see ompt_tool.cpp): each explicit task's
// creation, and its body from its start to its end on the thread that runs
// it, however deep in other tasks' waits; the time the body runs is the
// program's.
#include "ompt_tool.h"
#include "runtime_time.h"

#include <algorithm>
#include <cstdint>

namespace tracer {

namespace {

// The tasks: each created with its creator's clock and region, from a ring
// large enough for the tasks that wait to run at once. Each thread takes its
// places a run of them at a time, so that threads seldom touch the shared
// index.
struct Created {
    Clock clock;
    Region *region;
    const void *code;
};
constexpr std::size_t ring_size = 4096;
constexpr std::size_t ring_run = 64;
std::array<Created, ring_size> created{};
std::atomic<std::size_t> next_created{0};
thread_local std::size_t next_own = 0;
thread_local std::size_t own_end = 0;

Created &spare_created()
{
    if (next_own == own_end) {
        next_own = next_created.fetch_add(ring_run, std::memory_order_relaxed);
        own_end = next_own + ring_run;
    }
    return created[next_own++ % ring_size];
}

// The task bodies a thread has started and not ended, innermost last: the
// task, what its creation said, when the body started, and how deep in the
// runtime the thread was when it started it, where it is again when the
// body ends. A task that waits (at a taskwait, a taskgroup's end or a
// taskyield) is suspended and stays here, below the tasks it runs meanwhile;
// an untied task resumed by another thread is a new start there.
struct Running {
    const ompt_data_t *task;
    Created made;
    TaskRun run;
};
constexpr int max_running = 64;
thread_local std::array<Running, max_running> running{};
thread_local int running_count = 0;

// Where TASK is among the tasks this thread runs, or -1.
int running_index(const ompt_data_t *task)
{
    for (int index = running_count - 1; index >= 0; --index) {
        if (running[static_cast<std::size_t>(index)].task == task) {
            return index;
        }
    }
    return -1;
}

void end_running(int index, ThreadTime &thread, std::int64_t end)
{
    const Running running_task = running[static_cast<std::size_t>(index)];
    // Tasks above it that never ended here (untied ones resumed elsewhere)
    // end with it.
    running_count = index;
    end_task(thread, running_task.run, running_task.made.region, running_task.made.code, end);
}

void start_running(const ompt_data_t *task, ThreadTime &thread, std::int64_t start)
{
    if (running_count == max_running) {
        return; // runtime time, as the thread was before it
    }
    const Created made = *static_cast<const Created *>(task->ptr);
    running[static_cast<std::size_t>(running_count++)] =
        Running{task, made, begin_task(thread, start, made.clock)};
}

} // namespace

void on_task_create(ompt_data_t * /*parent*/, const ompt_frame_t * /*frame*/, ompt_data_t *task,
                    int flags, int /*dependences*/, const void *code)
{
    if ((flags & ompt_task_explicit) == 0) {
        return;
    }
    const ThreadTime &thread = this_thread();
    const Inside *inside = ::innermost();
    Created &made = spare_created();
    made = Created{ideal_at(thread, now()), inside != nullptr ? inside->region : nullptr, code};
    task->ptr = &made;
}

// The thread switches from PRIOR to NEXT. The prior task's body has ended
// unless it only waits for NEXT to run (a switch or a yield to a task not
// yet started here); the next one starts, or resumes where it waited.
void on_task_schedule(ompt_data_t *prior, ompt_task_status_t status, ompt_data_t *next)
{
    const bool next_is_task = next != nullptr && next->ptr != nullptr;
    const bool next_starts = next_is_task && running_index(next) < 0;
    bool ended = false;
    switch (status) {
    case ompt_task_complete:
    case ompt_task_cancel:
    case ompt_task_detach:
        ended = true;
        break;
    case ompt_task_switch:
    case ompt_task_yield:
        // An untied task's part ends with a switch back to the task it
        // interrupted.
        ended = !next_starts;
        break;
    default: // fulfilling a detached task's event ends no body
        break;
    }
    const int index = ended && prior != nullptr ? running_index(prior) : -1;
    if (index < 0 && !next_starts) {
        return;
    }
    ThreadTime &thread = this_thread();
    const std::int64_t time = now();
    if (index >= 0) {
        end_running(index, thread, time);
    }
    if (next_starts) {
        start_running(next, thread, time);
    }
}

} // namespace tracer
