// A library preloaded into an unmodified OpenMP program to time its regions:
// LD_PRELOAD=libregion_tracer.so WATCH_REGION_TRACE=FILE PROGRAM.
//
// It interposes libgomp's region launch, GOMP_parallel, and runs the real one
// with a trampoline around the body, and interposes pthread_create to time
// each thread's creation and its first instruction. LLVM's libomp is timed
// through its tool interface instead (ompt_tool.cpp). The events are written
// to FILE when the process ends: a line naming the format's version, then
// one line an event (events.def): event, nanoseconds on the monotonic clock,
// kernel thread id, team thread number, link.
#include "trace_store.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dlfcn.h>
#include <pthread.h>
#include <unistd.h>

namespace {

struct Record {
    std::int64_t nanoseconds;
    long kernel_thread;
    int thread;
    long link;
    Event event;
};

constexpr std::size_t capacity = 1 << 18;
std::array<Record, capacity> records;
std::atomic<std::size_t> recorded{0};

// The names the trace gives the events, from the same list as the enum; the
// list is read as an X-macro, once to count it and once for the names.
// NOLINTNEXTLINE(cppcoreguidelines-macro-usage,bugprone-macro-parentheses)
#define EVENT(name) +1
constexpr std::size_t event_count = 0
#include "events.def"
    ;
#undef EVENT
// NOLINTNEXTLINE(cppcoreguidelines-macro-usage)
#define EVENT(name) #name,
constexpr std::array<const char *, event_count> event_names{
#include "events.def"
};
#undef EVENT

std::int64_t now()
{
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    constexpr std::int64_t nanoseconds_per_second = 1000000000;
    return time.tv_sec * nanoseconds_per_second + time.tv_nsec;
}

// The real entry points, found once, before any region runs.
using launch_function = void (*)(void (*)(void *), void *, unsigned, unsigned);
using thread_number_function = int (*)();
using create_function = int (*)(pthread_t *, const pthread_attr_t *, void *(*)(void *), void *);
launch_function real_launch = nullptr;
thread_number_function thread_number = nullptr;
create_function real_create = nullptr;

// What a created thread must run, kept in a slot of a table made before any
// region, since nothing may be allocated while one runs.
struct Start {
    void *(*routine)(void *);
    void *argument;
};
constexpr std::size_t start_slots = 1 << 17;
std::array<Start, start_slots> starts;
std::atomic<long> created{0};

void *traced_start(void *slot)
{
    const long link = reinterpret_cast<std::intptr_t>(slot);
    record(Event::first_instruction, -1, link);
    const Start start = starts[static_cast<std::size_t>(link) % start_slots];
    return start.routine(start.argument);
}

struct Body {
    void (*function)(void *);
    void *data;
};

void traced_body(void *body_pointer)
{
    const auto *body = static_cast<const Body *>(body_pointer);
    const int thread = thread_number();
    record(Event::body_start, thread);
    body->function(body->data);
    record(Event::body_end, thread);
}

void write_records()
{
    // NOLINTNEXTLINE(concurrency-mt-unsafe): at exit, and nothing sets it
    const char *path = std::getenv("WATCH_REGION_TRACE");
    if (path == nullptr) {
        return;
    }
    std::FILE *file = std::fopen(path, "we");
    if (file == nullptr) {
        return;
    }
    std::fprintf(file, "watch-region-trace %d\n", trace_version);
    const std::size_t count = std::min(recorded.load(), capacity);
    for (std::size_t i = 0; i < count; ++i) {
        const Record &each = records[i];
        std::fprintf(
            file, "%s %lld %ld %d %ld\n", event_names[static_cast<std::size_t>(each.event)],
            static_cast<long long>(each.nanoseconds), each.kernel_thread, each.thread, each.link);
    }
    if (recorded.load() > capacity) {
        std::fprintf(file, "dropped %zu\n", recorded.load() - capacity);
    }
    std::fclose(file);
}

__attribute__((constructor)) void on_load()
{
    record(Event::load);
    real_create = reinterpret_cast<create_function>(dlsym(RTLD_NEXT, "pthread_create"));
}

__attribute__((destructor)) void on_exit()
{
    record(Event::exit);
    write_records();
}

} // namespace

bool runtime_reports_regions = false;

void record(Event event, int thread, long link)
{
    // gettid is a system call, which can cost a microsecond on a virtual
    // machine: ask once a thread.
    thread_local const long kernel_thread = gettid();
    const std::size_t index = recorded.fetch_add(1, std::memory_order_relaxed);
    if (index < capacity) {
        records[index] = Record{now(), kernel_thread, thread, link, event};
    }
}

extern "C" {

void GOMP_parallel(void (*function)(void *), void *data, unsigned num_threads, unsigned flags)
{
    if (real_launch == nullptr) {
        real_launch =
            reinterpret_cast<launch_function>(dlvsym(RTLD_NEXT, "GOMP_parallel", "GOMP_4.0"));
        thread_number =
            reinterpret_cast<thread_number_function>(dlsym(RTLD_DEFAULT, "omp_get_thread_num"));
    }
    if (runtime_reports_regions) {
        real_launch(function, data, num_threads, flags);
        return;
    }
    Body body{function, data};
    record(Event::launch);
    real_launch(traced_body, &body, num_threads, flags);
    record(Event::launch_return);
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attributes, void *(*routine)(void *),
                   void *argument)
{
    const long link = created.fetch_add(1, std::memory_order_relaxed);
    starts[static_cast<std::size_t>(link) % start_slots] = Start{routine, argument};
    record(Event::create_call, -1, link);
    const int result = real_create(thread, attributes, traced_start,
                                   reinterpret_cast<void *>(static_cast<std::intptr_t>(link)));
    record(Event::create_return, -1, link);
    return result;
}
}
