// The tracer's half for LLVM's libomp, which announces its regions to an
// OpenMP tool: libomp calls ompt_start_tool in a preloaded library. The
// launch is the region's begin on the encountering thread and its return the
// region's end; each team thread's body runs from its implicit task's begin
// to the start of its wait at the closing barrier, and its join is the end of
// that wait. A team of one has no barrier: its task's end closes both.
#include "trace_store.h"

// The build names the header: <omp-tools.h> where the compiler has it, or
// its path in clang's resource folder (Debian's libomp-dev) for g++.
#include OMP_TOOLS_HEADER

namespace {

int thread_of(const ompt_data_t *task)
{
    return task == nullptr ? -1 : static_cast<int>(task->value);
}

void on_parallel_begin(ompt_data_t * /*task*/, const ompt_frame_t * /*frame*/,
                       ompt_data_t * /*region*/, unsigned /*requested*/, int /*flags*/,
                       const void * /*code*/)
{
    record(Event::launch);
}

void on_parallel_end(ompt_data_t * /*region*/, ompt_data_t * /*task*/, int /*flags*/,
                     const void * /*code*/)
{
    record(Event::launch_return);
}

void on_implicit_task(ompt_scope_endpoint_t endpoint, ompt_data_t * /*region*/, ompt_data_t *task,
                      unsigned /*team_size*/, unsigned index, int flags)
{
    if ((flags & ompt_task_initial) != 0) {
        return;
    }
    if (endpoint == ompt_scope_begin) {
        task->value = index;
        record(Event::body_start, static_cast<int>(index));
    }
    else {
        record(Event::task_end, thread_of(task));
    }
}

void on_barrier_wait(ompt_sync_region_t kind, ompt_scope_endpoint_t endpoint,
                     ompt_data_t * /*region*/, ompt_data_t *task, const void * /*code*/)
{
    if (kind != ompt_sync_region_barrier_implicit &&
        kind != ompt_sync_region_barrier_implicit_parallel) {
        return;
    }
    record(endpoint == ompt_scope_begin ? Event::body_end : Event::join, thread_of(task));
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

extern "C" ompt_start_tool_result_t *ompt_start_tool(unsigned /*version*/, const char * /*runtime*/)
{
    return &tool;
}
