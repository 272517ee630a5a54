// The tracer's half for GCC's libgomp: it interposes every entry that starts
// a team, runs the real one with a trampoline around the body, and records
// the launch, each thread's body and the return. Each real entry is found at
// its symbol version once, when first called (gomp_entries.h). An entry that
// no loaded libgomp has is never jumped to: the body then runs once, on the
// calling thread, as a team of one. The entries, their symbol versions and
// their arguments are listed in entries.def; those where a thread waits are
// interposed in gomp_waits.cpp.
#include "gomp_entries.h"
#include "regions.h"

#include <cstdint>
#include <dlfcn.h>
#include <tuple>
#include <type_traits>

using namespace tracer;

namespace gomp {

namespace {

struct Symbol {
    const char *name;
    const char *version;
};

// NOLINTBEGIN(cppcoreguidelines-macro-usage): the list is read as an X-macro
#define KIND(kind, body_argument, team_size_argument, flags_argument)

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

// Whether two addresses lie in one loaded object (neither null).
bool same_object(const void *one, const void *other)
{
    Dl_info first{};
    Dl_info second{};
    return one != nullptr && other != nullptr && dladdr(one, &first) != 0 &&
           dladdr(other, &second) != 0 && first.dli_fbase == second.dli_fbase;
}

} // namespace

std::array<std::atomic<void *>, static_cast<std::size_t>(Entry::count)> found{};

void *find_real(Entry entry)
{
    const Symbol &symbol = symbols[static_cast<std::size_t>(entry)];
    void *const versioned = dlvsym(RTLD_NEXT, symbol.name, symbol.version);
    void *address = versioned;
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
    // The runtime's own definition, not a wrapper's that comes before it.
    std::uintptr_t none = 0;
    runtime_address.compare_exchange_strong(
        none, reinterpret_cast<std::uintptr_t>(versioned != nullptr ? versioned : address));
    found[static_cast<std::size_t>(entry)].store(address, std::memory_order_release);
    return address;
}

namespace {

// The table's page written at load, before it is read: a page first read is
// mapped to the zero page, and its first write then faults again. The
// runtime the program was linked with is known from here on, even where it
// never starts a team.
__attribute__((constructor)) void prepare_found()
{
    found[0].store(nullptr);
    std::uintptr_t none = 0; // libomp may have called the tool in already
    runtime_address.compare_exchange_strong(
        none,
        reinterpret_cast<std::uintptr_t>(dlvsym(RTLD_NEXT, symbols[0].name, symbols[0].version)));
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
    body_begin(region, thread, ask(Entry::team_size));
    region.body(region.data);
    body_end(region, thread);
}

// A combined parallel loop's schedule, chunk and step, from its arguments
// after the body and data (the team's size, start, end, step, then the chunk
// where the schedule has one): the team threads take their first chunks
// with no call that gives them.
template <Entry entry, typename... Rest> void note_loop(Region &region, Rest... rest)
{
    constexpr Schedule schedule = schedule_of(entry);
    if constexpr (schedule != Schedule::none && sizeof...(Rest) >= 4) {
        const auto arguments = std::make_tuple(rest...);
        region.loop_schedule = static_cast<std::uint8_t>(schedule);
        region.loop_step = std::get<3>(arguments);
        if constexpr (schedule != Schedule::runtime) {
            region.loop_chunk = std::get<4>(arguments);
        }
    }
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
    note_loop<entry>(region, rest...);
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
    note_loop<entry>(region, rest...);
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

} // namespace

} // namespace gomp

using namespace gomp;

// The entries the tracer puts in place of libgomp's, the only symbols it
// exports besides pthread_create and ompt_start_tool.
#pragma GCC visibility push(default)
extern "C" {

// An interposer for each entry that starts a team, its arguments as its
// kind says, made by INTERPOSE_kind; each checked against the list's
// positions.
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
#include "interpose_none.h"
#define KIND(kind, body_argument, team_size_argument, flags_argument)
#define ENTRY(symbol, version, kind) INTERPOSE_##kind(symbol)
#include "entries.def"
// NOLINTEND(cppcoreguidelines-macro-usage)
}
#pragma GCC visibility pop
