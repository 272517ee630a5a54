// The tracer's half for GCC's libgomp: it interposes every entry that starts
// a team, runs the real one with a trampoline around the body, and records
// the launch, each thread's body and the return. Each real entry is found at
// its symbol version once, when first called: in the objects loaded after
// the tracer or, when the program's libgomp came later with dlopen (a plugin
// or Python module that uses OpenMP), in that libgomp. An entry that no
// loaded libgomp has is never jumped to: the body then runs once, on the
// calling thread, as a team of one.
#include "trace_store.h"

#include <dlfcn.h>
#include <type_traits>

namespace {

struct Symbol {
    const char *name;
    const char *version;
};

// NOLINTNEXTLINE(performance-enum-size)
enum class Entry : int {
    parallel,
    parallel_reductions,
    parallel_sections,
    loop_static,
    loop_dynamic,
    loop_guided,
    loop_runtime,
    loop_nonmonotonic_dynamic,
    loop_nonmonotonic_guided,
    loop_nonmonotonic_runtime,
    loop_maybe_nonmonotonic_runtime,
    parallel_start,
    parallel_end,
    loop_static_start,
    loop_dynamic_start,
    loop_guided_start,
    loop_runtime_start,
    sections_start,
    thread_number,
    team_size,
    count,
};

constexpr std::array<Symbol, static_cast<std::size_t>(Entry::count)> symbols{{
    {"GOMP_parallel", "GOMP_4.0"},
    {"GOMP_parallel_reductions", "GOMP_5.0"},
    {"GOMP_parallel_sections", "GOMP_4.0"},
    {"GOMP_parallel_loop_static", "GOMP_4.0"},
    {"GOMP_parallel_loop_dynamic", "GOMP_4.0"},
    {"GOMP_parallel_loop_guided", "GOMP_4.0"},
    {"GOMP_parallel_loop_runtime", "GOMP_4.0"},
    {"GOMP_parallel_loop_nonmonotonic_dynamic", "GOMP_4.5"},
    {"GOMP_parallel_loop_nonmonotonic_guided", "GOMP_4.5"},
    {"GOMP_parallel_loop_nonmonotonic_runtime", "GOMP_5.0"},
    {"GOMP_parallel_loop_maybe_nonmonotonic_runtime", "GOMP_5.0"},
    {"GOMP_parallel_start", "GOMP_1.0"},
    {"GOMP_parallel_end", "GOMP_1.0"},
    {"GOMP_parallel_loop_static_start", "GOMP_1.0"},
    {"GOMP_parallel_loop_dynamic_start", "GOMP_1.0"},
    {"GOMP_parallel_loop_guided_start", "GOMP_1.0"},
    {"GOMP_parallel_loop_runtime_start", "GOMP_1.0"},
    {"GOMP_parallel_sections_start", "GOMP_1.0"},
    {"omp_get_thread_num", "OMP_1.0"},
    {"omp_get_num_threads", "OMP_1.0"},
}};

std::array<std::atomic<void *>, symbols.size()> found{};

// The table's page written at load, before it is read: a page first read is
// mapped to the zero page, and its first write then faults again.
__attribute__((constructor)) void prepare_found() { found[0].store(nullptr); }

void *real(Entry entry)
{
    auto &slot = found[static_cast<std::size_t>(entry)];
    void *address = slot.load(std::memory_order_acquire);
    if (address != nullptr) {
        return address;
    }
    const Symbol &symbol = symbols[static_cast<std::size_t>(entry)];
    address = dlvsym(RTLD_NEXT, symbol.name, symbol.version);
    if (address == nullptr) {
        // Loaded with dlopen, libgomp is not among the objects after the
        // tracer; ask for it by name, without loading it.
        void *libgomp = dlopen("libgomp.so.1", RTLD_LAZY | RTLD_NOLOAD);
        if (libgomp != nullptr) {
            address = dlvsym(libgomp, symbol.name, symbol.version);
            dlclose(libgomp);
        }
    }
    slot.store(address, std::memory_order_release);
    return address;
}

// The real ENTRY and, with it, the runtime's two queries that traced_body
// asks on every team thread: all found here, on the launching thread. A
// team thread that looked a symbol up could wait for the loader's lock, and
// a thread that waits sleeps: its wake-up alone costs more than a region.
void *real_with_queries(Entry entry)
{
    void *address = real(entry);
    if (address != nullptr) {
        real(Entry::thread_number);
        real(Entry::team_size);
    }
    return address;
}

using Body = void (*)(void *);

int ask(Entry query)
{
    auto *function = reinterpret_cast<int (*)()>(real(query));
    return function != nullptr ? function() : -1;
}

// Every team thread runs this in place of the program's body, with the
// region as its data. GOMP_parallel_reductions reads the first word of the
// data it is given (the address of the reductions' own data), so the region
// starts with a copy of the program's.
void traced_body(void *data)
{
    auto &region = *static_cast<Region *>(data);
    const int thread = ask(Entry::thread_number);
    body_begin(region, thread, thread == 0 ? ask(Entry::team_size) : 0);
    region.body(region.data);
    body_end(region, thread);
}

// The trampoline every team-starting entry shares: the real entry runs the
// team with traced_body in place of the program's body.
template <Entry entry, typename Result, typename... Rest>
Result launch(const void *call_site, Body function, void *data, Rest... rest)
{
    using Function = Result (*)(Body, void *, Rest...);
    auto *real_entry = reinterpret_cast<Function>(real_with_queries(entry));
    if (real_entry == nullptr) {
        function(data);
        if constexpr (!std::is_void_v<Result>) {
            return 1;
        }
        else {
            return;
        }
    }
    if (runtime_reports_regions) {
        return real_entry(function, data, rest...);
    }
    // Not value-initialised: that would clear its 64 threads' slots, 4 KiB,
    // at every launch.
    Region region; // NOLINT(cppcoreguidelines-pro-type-member-init)
    region.reset();
    region.body = function;
    region.data = data;
    if constexpr (entry == Entry::parallel_reductions) {
        region.first_word = *static_cast<void **>(data);
    }
    region_begin(region, call_site);
    if constexpr (std::is_void_v<Result>) {
        real_entry(traced_body, &region, rest...);
        region_end(region);
    }
    else {
        const Result result = real_entry(traced_body, &region, rest...);
        region_end(region);
        return result;
    }
}

// The old pair: *_start starts the team and returns, the calling thread runs
// the body itself as thread 0, and GOMP_parallel_end joins. The launches
// still open on a thread, innermost last.
constexpr int max_open = 4;
thread_local std::array<Region *, max_open> open_launches;
thread_local int open_count = 0;
thread_local int untraced_open = 0;

template <Entry entry, typename... Rest>
void launch_start(const void *call_site, Body function, void *data, Rest... rest)
{
    auto *real_entry = reinterpret_cast<void (*)(Body, void *, Rest...)>(real_with_queries(entry));
    if (real_entry == nullptr || runtime_reports_regions || open_count == max_open) {
        ++untraced_open;
        if (real_entry != nullptr) {
            real_entry(function, data, rest...);
        }
        return;
    }
    Region &region = spare_region();
    open_launches[static_cast<std::size_t>(open_count++)] = &region;
    region.body = function;
    region.data = data;
    region_begin(region, call_site);
    real_entry(traced_body, &region, rest...);
    body_begin(region, 0, ask(Entry::team_size));
}

} // namespace

// The entries the tracer puts in place of libgomp's, the only symbols it
// exports besides pthread_create and ompt_start_tool.
#pragma GCC visibility push(default)
extern "C" {

void GOMP_parallel(Body function, void *data, unsigned threads, unsigned flags)
{
    launch<Entry::parallel, void>(__builtin_return_address(0), function, data, threads, flags);
}

unsigned GOMP_parallel_reductions(Body function, void *data, unsigned threads, unsigned flags)
{
    return launch<Entry::parallel_reductions, unsigned>(__builtin_return_address(0), function, data,
                                                        threads, flags);
}

void GOMP_parallel_sections(Body function, void *data, unsigned threads, unsigned count,
                            unsigned flags)
{
    launch<Entry::parallel_sections, void>(__builtin_return_address(0), function, data, threads,
                                           count, flags);
}

// The combined parallel loops: the team's size, the loop's start, end and
// increment, the chunk size where the schedule has one, and the flags.
// NOLINTNEXTLINE(cppcoreguidelines-macro-usage)
#define CHUNKED_LOOP(name, entry)                                                                  \
    void name(Body function, void *data, unsigned threads, long start, long end, long step,        \
              long chunk, unsigned flags)                                                          \
    {                                                                                              \
        launch<entry, void>(__builtin_return_address(0), function, data, threads, start, end,      \
                            step, chunk, flags);                                                   \
    }
// NOLINTNEXTLINE(cppcoreguidelines-macro-usage)
#define RUNTIME_LOOP(name, entry)                                                                  \
    void name(Body function, void *data, unsigned threads, long start, long end, long step,        \
              unsigned flags)                                                                      \
    {                                                                                              \
        launch<entry, void>(__builtin_return_address(0), function, data, threads, start, end,      \
                            step, flags);                                                          \
    }
CHUNKED_LOOP(GOMP_parallel_loop_static, Entry::loop_static)
CHUNKED_LOOP(GOMP_parallel_loop_dynamic, Entry::loop_dynamic)
CHUNKED_LOOP(GOMP_parallel_loop_guided, Entry::loop_guided)
CHUNKED_LOOP(GOMP_parallel_loop_nonmonotonic_dynamic, Entry::loop_nonmonotonic_dynamic)
CHUNKED_LOOP(GOMP_parallel_loop_nonmonotonic_guided, Entry::loop_nonmonotonic_guided)
RUNTIME_LOOP(GOMP_parallel_loop_runtime, Entry::loop_runtime)
RUNTIME_LOOP(GOMP_parallel_loop_nonmonotonic_runtime, Entry::loop_nonmonotonic_runtime)
RUNTIME_LOOP(GOMP_parallel_loop_maybe_nonmonotonic_runtime, Entry::loop_maybe_nonmonotonic_runtime)
#undef CHUNKED_LOOP
#undef RUNTIME_LOOP

void GOMP_parallel_start(Body function, void *data, unsigned threads)
{
    launch_start<Entry::parallel_start>(__builtin_return_address(0), function, data, threads);
}

void GOMP_parallel_loop_static_start(Body function, void *data, unsigned threads, long start,
                                     long end, long step, long chunk)
{
    launch_start<Entry::loop_static_start>(__builtin_return_address(0), function, data, threads,
                                           start, end, step, chunk);
}

void GOMP_parallel_loop_dynamic_start(Body function, void *data, unsigned threads, long start,
                                      long end, long step, long chunk)
{
    launch_start<Entry::loop_dynamic_start>(__builtin_return_address(0), function, data, threads,
                                            start, end, step, chunk);
}

void GOMP_parallel_loop_guided_start(Body function, void *data, unsigned threads, long start,
                                     long end, long step, long chunk)
{
    launch_start<Entry::loop_guided_start>(__builtin_return_address(0), function, data, threads,
                                           start, end, step, chunk);
}

void GOMP_parallel_loop_runtime_start(Body function, void *data, unsigned threads, long start,
                                      long end, long step)
{
    launch_start<Entry::loop_runtime_start>(__builtin_return_address(0), function, data, threads,
                                            start, end, step);
}

void GOMP_parallel_sections_start(Body function, void *data, unsigned threads, unsigned count)
{
    launch_start<Entry::sections_start>(__builtin_return_address(0), function, data, threads,
                                        count);
}

void GOMP_parallel_end()
{
    auto *real_end = reinterpret_cast<void (*)()>(real(Entry::parallel_end));
    if (untraced_open > 0 || open_count == 0) {
        untraced_open = untraced_open > 0 ? untraced_open - 1 : 0;
        if (real_end != nullptr) {
            real_end();
        }
        return;
    }
    Region &region = *open_launches[static_cast<std::size_t>(--open_count)];
    body_end(region, 0);
    if (real_end != nullptr) {
        real_end();
    }
    region_end(region);
}
}
#pragma GCC visibility pop
