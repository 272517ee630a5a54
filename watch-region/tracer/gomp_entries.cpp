// The tracer's half for GCC's libgomp: it interposes every entry that starts
// a team, runs the real one with a trampoline around the body, and records
// the launch, each thread's body and the return. Each real entry is found at
// its symbol version once, when first called: in the objects loaded after
// the tracer or, when the program's libgomp came later with dlopen (a plugin
// or Python module that uses OpenMP), in that libgomp. An entry that no
// loaded libgomp has is never jumped to: the body then runs once, on the
// calling thread, as a team of one. The entries, their symbol versions and
// their arguments are listed in entries.def.
//
// The entries where a thread waits run between the thread's entering the
// runtime and its leaving it (waits.h), each timed as a wait of its kind at
// its call site; a task's body runs inside a trampoline of its own, which
// times it and carries the clock of its creation to its start.
#include "runtime_time.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <type_traits>

using namespace tracer;

namespace {

struct Symbol {
    const char *name;
    const char *version;
};

// NOLINTBEGIN(cppcoreguidelines-macro-usage): the list is read as an X-macro
#define KIND(kind, body_argument, team_size_argument, flags_argument)

// The entries, by their symbols.
// NOLINTNEXTLINE(performance-enum-size)
enum class Entry : int {
#define ENTRY(symbol, version, kind) symbol,
#include "entries.def"
#undef ENTRY
    count,
    // The queries that traced_body asks.
    thread_number = omp_get_thread_num,
    team_size = omp_get_num_threads,
};

constexpr std::array<Symbol, static_cast<std::size_t>(Entry::count)> symbols{{
#define ENTRY(symbol, version, kind) {#symbol, version},
#include "entries.def"
#undef ENTRY
}};
#undef KIND

#define ENTRY(symbol, version, kind)

// The kinds of entry: how each is called, and where its arguments are.
enum class Kind : std::uint8_t {
#define KIND(kind, body_argument, team_size_argument, flags_argument) kind,
#include "entries.def"
#undef KIND
};

using Body = void (*)(void *);

struct Positions {
    int body;
    int team_size;
    int flags;
};

namespace positions {
#define KIND(kind, body_argument, team_size_argument, flags_argument)                              \
    constexpr Positions kind{body_argument, team_size_argument, flags_argument};
#include "entries.def"
#undef KIND
} // namespace positions
#undef ENTRY
// NOLINTEND(cppcoreguidelines-macro-usage)

// Whether the argument at POSITION (-1: none) is of type Type.
template <typename Type, typename... Arguments> constexpr bool is_at(int position)
{
    constexpr std::array<bool, sizeof...(Arguments)> same{std::is_same_v<Type, Arguments>...};
    return position < 0 || (static_cast<std::size_t>(position) < same.size() &&
                            same[static_cast<std::size_t>(position)]);
}

// Whether an interposer's arguments are where the list puts them: the body,
// the team's size, and the flags, which come last.
template <typename Result, typename... Arguments>
constexpr bool agrees(Result (* /*interposer*/)(Arguments...), Positions listed)
{
    constexpr int count = sizeof...(Arguments);
    return is_at<Body, Arguments...>(listed.body) &&
           is_at<unsigned, Arguments...>(listed.team_size) &&
           is_at<unsigned, Arguments...>(listed.flags) &&
           (listed.flags < 0 || listed.flags + 1 == count);
}

std::array<std::atomic<void *>, symbols.size()> found{};

// The table's page written at load, before it is read: a page first read is
// mapped to the zero page, and its first write then faults again.
__attribute__((constructor)) void prepare_found() { found[0].store(nullptr); }

// Whether two addresses lie in one loaded object (neither null).
bool same_object(const void *one, const void *other)
{
    Dl_info first{};
    Dl_info second{};
    return one != nullptr && other != nullptr && dladdr(one, &first) != 0 &&
           dladdr(other, &second) != 0 && first.dli_fbase == second.dli_fbase;
}

void *real(Entry entry)
{
    auto &slot = found[static_cast<std::size_t>(entry)];
    void *address = slot.load(std::memory_order_acquire);
    if (address != nullptr) {
        return address;
    }
    const Symbol &symbol = symbols[static_cast<std::size_t>(entry)];
    address = dlvsym(RTLD_NEXT, symbol.name, symbol.version);
    // The next definition in the lookup order, as the program's own call
    // would bind to it: a wrapper of the user's, preloaded after the tracer,
    // that defines the entry without a version, comes before the runtime.
    void *next = dlsym(RTLD_NEXT, symbol.name);
    if (next != nullptr && next != address && !same_object(next, address)) {
        address = next;
    }
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
template <Entry entry, Kind kind, typename Result, typename... Rest>
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
    if constexpr (kind == Kind::reductions) {
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

// The old pair's join: the calling thread ends its body, and the real
// entry joins the team.
template <Entry entry> void launch_end()
{
    auto *real_end = reinterpret_cast<void (*)()>(real(entry));
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

// The waits. Under libomp, which reports its own waits to the tool, each
// entry only calls the real one.
template <typename Result> Result result_of_none()
{
    if constexpr (!std::is_void_v<Result>) {
        return Result{};
    }
}

// Runs the real ENTRY, with ARGUMENTS, as a wait of KIND (counted when
// COUNTED) at SITE: ARRIVE is given the thread's ideal clock and the region
// it is in (or null) before it, and DEPART returns the clock the thread
// waited for, after it. The tasks the thread runs meanwhile are its useful
// time, not the wait's.
template <Entry entry, typename Result, typename Arrive, typename Depart, typename... Arguments>
Result waited(Wait kind, bool counted, const void *site, Arrive arrive, Depart depart,
              Arguments... arguments)
{
    auto *real_entry = reinterpret_cast<Result (*)(Arguments...)>(real(entry));
    if (real_entry == nullptr) {
        return result_of_none<Result>();
    }
    if (runtime_reports_regions) {
        return real_entry(arguments...);
    }
    const RuntimeWait wait = begin_wait(this_thread(), now());
    arrive(ideal(*wait.thread), wait.inside);
    const auto finish = [&] {
        const std::int64_t end = now();
        end_wait(wait, end, depart(wait.inside), {kind, site, nullptr, counted});
    };
    if constexpr (std::is_void_v<Result>) {
        real_entry(arguments...);
        finish();
    }
    else {
        const Result result = real_entry(arguments...);
        finish();
        return result;
    }
}

constexpr auto no_arrival = [](Clock /*ideal*/, Inside * /*inside*/) {};
constexpr auto no_departure = [](Inside * /*inside*/) { return Clock{}; };
// A wait for tasks: until the last of its team's tasks to have ended.
constexpr auto tasks_of_region = [](Inside *inside) {
    return inside != nullptr ? inside->region->meet.tasks_ended.read() : Clock{};
};

// A barrier of the team: every thread's arrival before any departure, and
// the team's tasks, which a barrier completes.
template <Entry entry> void barrier(const void *site)
{
    unsigned parity = 0;
    waited<entry, void>(
        Wait::barrier, true, site,
        [&parity](Clock ideal, Inside *inside) {
            if (inside != nullptr) {
                parity = inside->barriers++ & 1U;
                inside->region->meet.barriers[parity].raise(ideal);
            }
        },
        [&parity](Inside *inside) {
            return inside == nullptr ? Clock{}
                                     : later(inside->region->meet.barriers[parity].read(),
                                             inside->region->meet.tasks_ended.read());
        });
}

// What OBJECT is (null: the team's ordered block, none outside a region).
Guard guard_for(const void *object, Inside *inside)
{
    if (object != nullptr) {
        return guard_of(object);
    }
    return inside != nullptr ? ordered_guard(*inside->region) : Guard{nullptr, nullptr};
}

// Entering what OBJECT guards: after its last release.
template <Entry entry, typename Result, typename... Arguments>
Result acquire(Wait kind, bool counted, const void *site, const void *object,
               Arguments... arguments)
{
    return waited<entry, Result>(
        kind, counted, site, no_arrival,
        [object](Inside *inside) {
            const Guard guard = guard_for(object, inside);
            return guard.released != nullptr ? last_release(guard, false) : Clock{};
        },
        arguments...);
}

// The release: the thread's clock now, kept for the next to enter.
template <Entry entry, typename... Arguments>
void release(const void *object, Arguments... arguments)
{
    auto *real_entry = reinterpret_cast<void (*)(Arguments...)>(real(entry));
    if (real_entry == nullptr) {
        return;
    }
    if (!runtime_reports_regions) {
        if (const Guard guard = guard_for(object, innermost()); guard.released != nullptr) {
            tracer::release(guard, this_thread(), now(), false);
        }
    }
    real_entry(arguments...);
}

// The unnamed critical section's stand-in for a name.
constexpr char unnamed_critical = 0;

// A task's body, and what its trampoline needs, ahead of the program's data
// in the block that libgomp copies for the task.
struct TaskHeader {
    Body body;
    void (*copy)(void *, void *);
    void *source; // the program's data, which its copy function copies
    Region *region;
    const void *created_at; // the call site that created it
    Clock created;
    std::size_t offset; // of the program's data in the block
};

// The program's data in a task's block, OFFSET bytes in.
void *data_in(void *block, std::size_t offset)
{
    return static_cast<char *>(block) + offset; // NOLINT(*-pointer-arithmetic)
}

void traced_task(void *block)
{
    TaskHeader header{};
    std::memcpy(&header, block, sizeof header);
    ThreadTime &thread = this_thread();
    // A task starts once it is made and its thread is free, and the thread
    // goes on from its end.
    const TaskRun run = begin_task(thread, now(), header.created);
    header.body(data_in(block, header.offset));
    end_task(thread, run, header.region, header.created_at, now());
}

// Copies a task's block: the header as it is, the program's data with the
// program's copy function.
void copy_task(void *into, void *from)
{
    TaskHeader header{};
    std::memcpy(&header, from, sizeof header);
    std::memcpy(into, &header, sizeof header);
    header.copy(data_in(into, header.offset), header.source);
}

using CopyFunction = void (*)(void *, void *);
// What a single construct's copy gives the threads that did not run it.
using Copied = void *;
using TaskEntry = void (*)(Body, void *, CopyFunction, long, long, bool, unsigned, void **, int,
                           void *);
// A task that is to be its own event (detach) has the event written into
// the first word of its data; its body is left as it is.
constexpr unsigned detach_flag = 1U << 13;
// Larger data is left as it is; a block up to small_block bytes is made on
// the stack.
constexpr long largest_copied = 1L << 16;
constexpr std::size_t small_block = 1024;

void create_task(const void *site, Body body, void *data, CopyFunction copy, long size, long align,
                 bool if_clause, unsigned flags, void **depend, int priority, void *detach)
{
    auto *real_task = reinterpret_cast<TaskEntry>(real(Entry::GOMP_task));
    if (real_task == nullptr) {
        return;
    }
    if (runtime_reports_regions || (flags & detach_flag) != 0 || size < 0 ||
        size > largest_copied || align > largest_copied || (align & (align - 1)) != 0) {
        real_task(body, data, copy, size, align, if_clause, flags, depend, priority, detach);
        return;
    }
    ThreadTime &thread = this_thread();
    enter_runtime(thread, now());
    const auto header_align = static_cast<long>(alignof(TaskHeader));
    const long block_align = std::max(align, header_align);
    const long offset = (static_cast<long>(sizeof(TaskHeader)) + block_align - 1) & -block_align;
    const long block_size = offset + size;
    // The block, which libgomp copies or runs at once: on the stack where it
    // is small, else on the heap, until libgomp returns.
    const auto space_size = static_cast<std::size_t>(block_size + block_align);
    std::array<unsigned char, small_block> small; // NOLINT(*-member-init): written before read
    // NOLINTNEXTLINE(cppcoreguidelines-no-malloc,hicpp-no-malloc): freed below
    void *large = space_size > small.size() ? std::malloc(space_size) : nullptr;
    if (space_size > small.size() && large == nullptr) {
        leave_runtime(thread, now());
        real_task(body, data, copy, size, align, if_clause, flags, depend, priority, detach);
        return;
    }
    void *space = large != nullptr ? large : small.data();
    auto *block = reinterpret_cast<char *>(
        (reinterpret_cast<std::uintptr_t>(space) + static_cast<std::uintptr_t>(block_align) - 1) &
        ~static_cast<std::uintptr_t>(block_align - 1));
    const Inside *inside = innermost();
    const TaskHeader header{body,
                            copy,
                            data,
                            inside != nullptr ? inside->region : nullptr,
                            site,
                            ideal(thread),
                            static_cast<std::size_t>(offset)};
    std::memcpy(block, &header, sizeof header);
    if (copy == nullptr && size > 0) {
        std::memcpy(data_in(block, static_cast<std::size_t>(offset)), data,
                    static_cast<std::size_t>(size));
    }
    real_task(traced_task, block, copy != nullptr ? copy_task : nullptr, block_size, block_align,
              if_clause, flags, depend, priority, detach);
    std::free(large); // NOLINT(cppcoreguidelines-no-malloc,hicpp-no-malloc)
    leave_runtime(thread, now());
}

} // namespace

// The entries the tracer puts in place of libgomp's, the only symbols it
// exports besides pthread_create and ompt_start_tool.
#pragma GCC visibility push(default)
extern "C" {

// An interposer for each entry, its arguments as its kind says, made by
// INTERPOSE_kind; each checked against the list's positions.
// NOLINTBEGIN(cppcoreguidelines-macro-usage): made from the list
#define CHECKED(symbol, kind)                                                                      \
    static_assert(agrees(&(symbol), positions::kind), #symbol "'s arguments are not as listed");
#define INTERPOSE_plain(symbol)                                                                    \
    void symbol(Body function, void *data, unsigned threads, unsigned flags)                       \
    {                                                                                              \
        launch<Entry::symbol, Kind::plain, void>(__builtin_return_address(0), function, data,      \
                                                 threads, flags);                                  \
    }                                                                                              \
    CHECKED(symbol, plain)
#define INTERPOSE_reductions(symbol)                                                               \
    unsigned symbol(Body function, void *data, unsigned threads, unsigned flags)                   \
    {                                                                                              \
        return launch<Entry::symbol, Kind::reductions, unsigned>(__builtin_return_address(0),      \
                                                                 function, data, threads, flags);  \
    }                                                                                              \
    CHECKED(symbol, reductions)
#define INTERPOSE_sections(symbol)                                                                 \
    void symbol(Body function, void *data, unsigned threads, unsigned count, unsigned flags)       \
    {                                                                                              \
        launch<Entry::symbol, Kind::sections, void>(__builtin_return_address(0), function, data,   \
                                                    threads, count, flags);                        \
    }                                                                                              \
    CHECKED(symbol, sections)
// The combined parallel loops: the team's size, the loop's start, end and
// increment, the chunk size where the schedule has one, and the flags.
#define INTERPOSE_loop(symbol)                                                                     \
    void symbol(Body function, void *data, unsigned threads, long start, long end, long step,      \
                long chunk, unsigned flags)                                                        \
    {                                                                                              \
        launch<Entry::symbol, Kind::loop, void>(__builtin_return_address(0), function, data,       \
                                                threads, start, end, step, chunk, flags);          \
    }                                                                                              \
    CHECKED(symbol, loop)
#define INTERPOSE_runtime_loop(symbol)                                                             \
    void symbol(Body function, void *data, unsigned threads, long start, long end, long step,      \
                unsigned flags)                                                                    \
    {                                                                                              \
        launch<Entry::symbol, Kind::runtime_loop, void>(__builtin_return_address(0), function,     \
                                                        data, threads, start, end, step, flags);   \
    }                                                                                              \
    CHECKED(symbol, runtime_loop)
#define INTERPOSE_start(symbol)                                                                    \
    void symbol(Body function, void *data, unsigned threads)                                       \
    {                                                                                              \
        launch_start<Entry::symbol>(__builtin_return_address(0), function, data, threads);         \
    }                                                                                              \
    CHECKED(symbol, start)
#define INTERPOSE_loop_start(symbol)                                                               \
    void symbol(Body function, void *data, unsigned threads, long start, long end, long step,      \
                long chunk)                                                                        \
    {                                                                                              \
        launch_start<Entry::symbol>(__builtin_return_address(0), function, data, threads, start,   \
                                    end, step, chunk);                                             \
    }                                                                                              \
    CHECKED(symbol, loop_start)
#define INTERPOSE_runtime_loop_start(symbol)                                                       \
    void symbol(Body function, void *data, unsigned threads, long start, long end, long step)      \
    {                                                                                              \
        launch_start<Entry::symbol>(__builtin_return_address(0), function, data, threads, start,   \
                                    end, step);                                                    \
    }                                                                                              \
    CHECKED(symbol, runtime_loop_start)
#define INTERPOSE_sections_start(symbol)                                                           \
    void symbol(Body function, void *data, unsigned threads, unsigned count)                       \
    {                                                                                              \
        launch_start<Entry::symbol>(__builtin_return_address(0), function, data, threads, count);  \
    }                                                                                              \
    CHECKED(symbol, sections_start)
#define INTERPOSE_end(symbol)                                                                      \
    void symbol() { launch_end<Entry::symbol>(); }                                                 \
    CHECKED(symbol, end)
#define INTERPOSE_query(symbol)
#define INTERPOSE_barrier(symbol)                                                                  \
    void symbol() { barrier<Entry::symbol>(__builtin_return_address(0)); }
#define INTERPOSE_critical_start(symbol)                                                           \
    void symbol()                                                                                  \
    {                                                                                              \
        acquire<Entry::symbol, void>(Wait::critical, true, __builtin_return_address(0),            \
                                     &unnamed_critical);                                           \
    }
#define INTERPOSE_critical_end(symbol)                                                             \
    void symbol() { release<Entry::symbol>(&unnamed_critical); }
#define INTERPOSE_critical_name_start(symbol)                                                      \
    void symbol(void **name)                                                                       \
    {                                                                                              \
        acquire<Entry::symbol, void>(Wait::critical, true, __builtin_return_address(0), name,      \
                                     name);                                                        \
    }
#define INTERPOSE_critical_name_end(symbol)                                                        \
    void symbol(void **name) { release<Entry::symbol>(name, name); }
#define INTERPOSE_ordered_start(symbol)                                                            \
    void symbol()                                                                                  \
    {                                                                                              \
        acquire<Entry::symbol, void>(Wait::ordered, true, __builtin_return_address(0), nullptr);   \
    }
#define INTERPOSE_ordered_end(symbol)                                                              \
    void symbol() { release<Entry::symbol>(nullptr); }
#define INTERPOSE_set_lock(symbol)                                                                 \
    void symbol(void *lock)                                                                        \
    {                                                                                              \
        acquire<Entry::symbol, void>(Wait::lock, true, __builtin_return_address(0), lock, lock);   \
    }
#define INTERPOSE_unset_lock(symbol)                                                               \
    void symbol(void *lock) { release<Entry::symbol>(lock, lock); }
// A lock taken by a test is entered after its last release, but the test
// does not wait: it is not counted.
#define INTERPOSE_test_lock(symbol)                                                                \
    int symbol(void *lock)                                                                         \
    {                                                                                              \
        return acquire<Entry::symbol, int>(Wait::lock, false, __builtin_return_address(0), lock,   \
                                           lock);                                                  \
    }
#define INTERPOSE_taskwait(symbol)                                                                 \
    void symbol()                                                                                  \
    {                                                                                              \
        waited<Entry::symbol, void>(Wait::taskwait, true, __builtin_return_address(0), no_arrival, \
                                    tasks_of_region);                                              \
    }
#define INTERPOSE_taskgroup_end(symbol)                                                            \
    void symbol()                                                                                  \
    {                                                                                              \
        waited<Entry::symbol, void>(Wait::taskgroup, true, __builtin_return_address(0),            \
                                    no_arrival, tasks_of_region);                                  \
    }
#define INTERPOSE_copy_start(symbol)                                                               \
    Copied symbol()                                                                                \
    {                                                                                              \
        return waited<Entry::symbol, Copied>(Wait::single, true, __builtin_return_address(0),      \
                                             no_arrival, no_departure);                            \
    }
#define INTERPOSE_task(symbol)                                                                     \
    void symbol(Body body, void *data, CopyFunction copy, long size, long align, bool if_clause,   \
                unsigned flags, void **depend, int priority, void *detach)                         \
    {                                                                                              \
        create_task(__builtin_return_address(0), body, data, copy, size, align, if_clause, flags,  \
                    depend, priority, detach);                                                     \
    }
#define KIND(kind, body_argument, team_size_argument, flags_argument)
#define ENTRY(symbol, version, kind) INTERPOSE_##kind(symbol)
#include "entries.def"
#undef ENTRY
#undef KIND
#undef INTERPOSE_plain
#undef INTERPOSE_reductions
#undef INTERPOSE_sections
#undef INTERPOSE_loop
#undef INTERPOSE_runtime_loop
#undef INTERPOSE_start
#undef INTERPOSE_loop_start
#undef INTERPOSE_runtime_loop_start
#undef INTERPOSE_sections_start
#undef INTERPOSE_end
#undef INTERPOSE_query
#undef INTERPOSE_barrier
#undef INTERPOSE_critical_start
#undef INTERPOSE_critical_end
#undef INTERPOSE_critical_name_start
#undef INTERPOSE_critical_name_end
#undef INTERPOSE_ordered_start
#undef INTERPOSE_ordered_end
#undef INTERPOSE_set_lock
#undef INTERPOSE_unset_lock
#undef INTERPOSE_test_lock
#undef INTERPOSE_taskwait
#undef INTERPOSE_taskgroup_end
#undef INTERPOSE_copy_start
#undef INTERPOSE_task
#undef CHECKED
// NOLINTEND(cppcoreguidelines-macro-usage)
}
#pragma GCC visibility pop
