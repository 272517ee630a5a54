// The tracer's half for LLVM's libomp, which announces its regions to an
// OpenMP tool: libomp calls ompt_start_tool in a preloaded library. The
// launch is the region's begin on the encountering thread, with the call
// site the runtime gives, and its return the region's end; each team
// thread's body runs from its implicit task's begin to the start of its wait
// at the closing barrier, and its join is the end of that wait. A team of one
// has no barrier: its task's end closes both.
#include "trace_store.h"

// The build names the header: <omp-tools.h> where the compiler has it, or
// its path in clang's resource folder (Debian's libomp-dev) for g++.
#include OMP_TOOLS_HEADER

namespace {

// The implicit tasks a thread is running, innermost last: the region and
// the thread's number in its team, and whether the body has ended.
struct Task {
    Region *region;
    int thread;
    bool ended;
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
            Task{region, static_cast<int>(index), false};
        body_begin(*region, static_cast<int>(index), static_cast<int>(team_size));
    }
    else if (Task *task = innermost(); task != nullptr) {
        end_body(*task);
        --task_count;
    }
}

void on_barrier_wait(ompt_sync_region_t kind, ompt_scope_endpoint_t endpoint,
                     ompt_data_t * /*parallel*/, ompt_data_t * /*task*/, const void * /*code*/)
{
    Task *task = innermost();
    if (task == nullptr || (kind != ompt_sync_region_barrier_implicit &&
                            kind != ompt_sync_region_barrier_implicit_parallel)) {
        return;
    }
    if (endpoint == ompt_scope_begin) {
        end_body(*task);
    }
    else {
        record(Event::join, task->region->id, task->thread);
    }
}

int initialize(ompt_function_lookup_t lookup, int /*device*/, ompt_data_t * /*tool*/)
{
    auto set_callback = reinterpret_cast<ompt_set_callback_t>(lookup("ompt_set_callback"));
    set_callback(ompt_callback_parallel_begin,
                 reinterpret_cast<ompt_callback_t>(on_parallel_begin));
    set_callback(ompt_callback_parallel_end, reinterpret_cast<ompt_callback_t>(on_parallel_end));
    set_callback(ompt_callback_implicit_task, reinterpret_cast<ompt_callback_t>(on_implicit_task));
    set_callback(ompt_callback_sync_region_wait,
                 reinterpret_cast<ompt_callback_t>(on_barrier_wait));
    runtime_reports_regions = true;
    return 1;
}

void finalize(ompt_data_t * /*tool*/) {}

ompt_start_tool_result_t tool{initialize, finalize, {}};

} // namespace

extern "C" [[gnu::visibility("default")]] ompt_start_tool_result_t *
ompt_start_tool(unsigned /*version*/, const char * /*runtime*/)
{
    return &tool;
}
