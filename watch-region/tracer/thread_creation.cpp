// Thread creation, for the libgomp and libomp halves alike: pthread_create is
// interposed and the new thread's start routine wrapped, so that the wait
// for a core between the creation and the thread's first instruction shows.
#include "table_memory.h"
#include "trace_store.h"

#include <dlfcn.h>
#include <pthread.h>

namespace {

using create_function = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
create_function real_create = nullptr;

// What a created thread must run, kept in a slot of a table made before any
// region, since nothing may be allocated while one runs.
struct Start {
    void *(*routine)(void *);
    void *argument;
};
constexpr std::size_t start_slots = 1 << 12;
std::array<Start, start_slots> starts;
std::atomic<long> created{0};

void *traced_start(void *slot)
{
    const long link = reinterpret_cast<std::intptr_t>(slot);
    record(Event::first_instruction, 0, -1, link);
    const Start start = starts[static_cast<std::size_t>(link) % start_slots];
    return start.routine(start.argument);
}

create_function find()
{
    return reinterpret_cast<create_function>(dlsym(RTLD_NEXT, "pthread_create"));
}

create_function real()
{
    if (real_create == nullptr) {
        real_create = find();
    }
    return real_create;
}

// Found at load, the variable written before it is read: a page first read
// is mapped to the zero page, and its first write then faults again.
__attribute__((constructor)) void find_create() { real_create = find(); }

} // namespace

extern "C" [[gnu::visibility("default")]] int pthread_create(pthread_t *thread,
                                                             const pthread_attr_t *attributes,
                                                             void *(*routine)(void *),
                                                             void *argument)
{
    if (tracer::creating_own_thread) {
        return real()(thread, attributes, routine, argument);
    }
    const long link = created.fetch_add(1, std::memory_order_relaxed);
    starts[static_cast<std::size_t>(link) % start_slots] = Start{routine, argument};
    count_thread_created();
    record(Event::create_call, 0, -1, link);
    const int result = real()(thread, attributes, traced_start,
                              reinterpret_cast<void *>(static_cast<std::intptr_t>(link)));
    record(Event::create_return, 0, -1, link);
    return result;
}
