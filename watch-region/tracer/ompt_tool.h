// The libomp half's callbacks that live in files of their own: the tasks'
// (ompt_tasks.cpp), registered with the rest in ompt_tool.cpp.
#pragma once

// The build names the header: <omp-tools.h> where the compiler has it, or
// its path in clang's resource folder (Debian's libomp-dev) for g++.
#include OMP_TOOLS_HEADER

namespace tracer {

void on_task_create(ompt_data_t *parent, const ompt_frame_t *frame, ompt_data_t *task, int flags,
                    int dependences, const void *code);
void on_task_schedule(ompt_data_t *prior, ompt_task_status_t status, ompt_data_t *next);

} // namespace tracer
