// Every kind of entries.def that a file of interposers does not make an
// interposer of: each INTERPOSE_kind that the file has not defined is
// defined as nothing, so that each file defines only its own. Included
// after them, before entries.def.
// NOLINTBEGIN(cppcoreguidelines-macro-usage): made from the list
#ifndef INTERPOSE_plain
#define INTERPOSE_plain(symbol)
#endif
#ifndef INTERPOSE_reductions
#define INTERPOSE_reductions(symbol)
#endif
#ifndef INTERPOSE_sections
#define INTERPOSE_sections(symbol)
#endif
#ifndef INTERPOSE_loop
#define INTERPOSE_loop(symbol)
#endif
#ifndef INTERPOSE_runtime_loop
#define INTERPOSE_runtime_loop(symbol)
#endif
#ifndef INTERPOSE_start
#define INTERPOSE_start(symbol)
#endif
#ifndef INTERPOSE_loop_start
#define INTERPOSE_loop_start(symbol)
#endif
#ifndef INTERPOSE_runtime_loop_start
#define INTERPOSE_runtime_loop_start(symbol)
#endif
#ifndef INTERPOSE_sections_start
#define INTERPOSE_sections_start(symbol)
#endif
#ifndef INTERPOSE_end
#define INTERPOSE_end(symbol)
#endif
#ifndef INTERPOSE_query
#define INTERPOSE_query(symbol)
#endif
#ifndef INTERPOSE_barrier
#define INTERPOSE_barrier(symbol)
#endif
#ifndef INTERPOSE_critical_start
#define INTERPOSE_critical_start(symbol)
#endif
#ifndef INTERPOSE_critical_end
#define INTERPOSE_critical_end(symbol)
#endif
#ifndef INTERPOSE_critical_name_start
#define INTERPOSE_critical_name_start(symbol)
#endif
#ifndef INTERPOSE_critical_name_end
#define INTERPOSE_critical_name_end(symbol)
#endif
#ifndef INTERPOSE_ordered_start
#define INTERPOSE_ordered_start(symbol)
#endif
#ifndef INTERPOSE_ordered_end
#define INTERPOSE_ordered_end(symbol)
#endif
#ifndef INTERPOSE_set_lock
#define INTERPOSE_set_lock(symbol)
#endif
#ifndef INTERPOSE_unset_lock
#define INTERPOSE_unset_lock(symbol)
#endif
#ifndef INTERPOSE_test_lock
#define INTERPOSE_test_lock(symbol)
#endif
#ifndef INTERPOSE_taskwait
#define INTERPOSE_taskwait(symbol)
#endif
#ifndef INTERPOSE_taskgroup_end
#define INTERPOSE_taskgroup_end(symbol)
#endif
#ifndef INTERPOSE_copy_start
#define INTERPOSE_copy_start(symbol)
#endif
#ifndef INTERPOSE_schedule_query
#define INTERPOSE_schedule_query(symbol)
#endif
#ifndef INTERPOSE_task
#define INTERPOSE_task(symbol)
#endif
#ifndef INTERPOSE_loop_first
#define INTERPOSE_loop_first(symbol)
#endif
#ifndef INTERPOSE_runtime_loop_first
#define INTERPOSE_runtime_loop_first(symbol)
#endif
#ifndef INTERPOSE_any_loop_first
#define INTERPOSE_any_loop_first(symbol)
#endif
#ifndef INTERPOSE_loop_next
#define INTERPOSE_loop_next(symbol)
#endif
#ifndef INTERPOSE_ull_loop_first
#define INTERPOSE_ull_loop_first(symbol)
#endif
#ifndef INTERPOSE_ull_runtime_loop_first
#define INTERPOSE_ull_runtime_loop_first(symbol)
#endif
#ifndef INTERPOSE_ull_any_loop_first
#define INTERPOSE_ull_any_loop_first(symbol)
#endif
#ifndef INTERPOSE_ull_loop_next
#define INTERPOSE_ull_loop_next(symbol)
#endif
// NOLINTEND(cppcoreguidelines-macro-usage)
