// The libomp half's loops whose chunks are handed out at run time
// (loops.h). libomp 14's tool interface reports no chunk (its dispatch
// callback knows iterations and sections only), so the tracer interposes
// the entries that Clang's code calls for such a loop: __kmpc_dispatch_init_*
// opens it on the calling thread, and each __kmpc_dispatch_next_* counts the
// chunk it gave, its bounds inclusive, or ends the loop for the thread.
#include "loops.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <dlfcn.h>

using namespace tracer;

namespace {

enum class Real : std::uint8_t {
    thread_number,
    schedule,
    init_4,
    init_4u,
    init_8,
    init_8u,
    next_4,
    next_4u,
    next_8,
    next_8u,
    count
};
constexpr std::array<const char *, static_cast<std::size_t>(Real::count)> names{
    "omp_get_thread_num",      "omp_get_schedule",        "__kmpc_dispatch_init_4",
    "__kmpc_dispatch_init_4u", "__kmpc_dispatch_init_8",  "__kmpc_dispatch_init_8u",
    "__kmpc_dispatch_next_4",  "__kmpc_dispatch_next_4u", "__kmpc_dispatch_next_8",
    "__kmpc_dispatch_next_8u"};
std::array<std::atomic<void *>, static_cast<std::size_t>(Real::count)> found{};

// The real entry: the next definition, or libomp's where it came later with
// dlopen.
void *real(Real entry)
{
    auto &slot = found[static_cast<std::size_t>(entry)];
    void *address = slot.load(std::memory_order_acquire);
    if (address == nullptr) {
        address = dlsym(RTLD_NEXT, names[static_cast<std::size_t>(entry)]);
        if (void *libomp = dlopen("libomp.so.5", RTLD_LAZY | RTLD_NOLOAD);
            address == nullptr && libomp != nullptr) {
            address = dlsym(libomp, names[static_cast<std::size_t>(entry)]);
            dlclose(libomp);
        }
        slot.store(address, std::memory_order_release);
    }
    return address;
}

// libomp's schedule, its modifiers aside, as the program wrote it.
Schedule written(int schedule)
{
    constexpr unsigned modifiers = (1U << 29U) | (1U << 30U);
    unsigned kind = static_cast<unsigned>(schedule) & ~modifiers;
    constexpr unsigned ordered = 64;
    constexpr unsigned unmerged = 160;
    kind = kind >= unmerged ? kind - unmerged + ordered : kind;
    kind = kind > ordered && kind < ordered + 32 ? kind - 32 : kind;
    switch (kind) {
    case 35:
        return Schedule::dynamic;
    case 36:
    case 42:
    case 43:
    case 46:
        return Schedule::guided;
    case 37:
    case 47:
        return Schedule::runtime;
    case 38:
        return Schedule::automatic;
    default:
        return Schedule::fixed;
    }
}

template <typename Number, typename Step> void open(int schedule, Step step, Number chunk)
{
    const Schedule asked = written(schedule);
    if (asked == Schedule::fixed) {
        return;
    }
    int kind = 0;
    int size = 0;
    auto *ask_schedule = reinterpret_cast<void (*)(int *, int *)>(real(Real::schedule));
    if (asked == Schedule::runtime && ask_schedule != nullptr) {
        ask_schedule(&kind, &size);
    }
    auto *thread_number = reinterpret_cast<int (*)()>(real(Real::thread_number));
    const auto magnitude = static_cast<std::uint64_t>(step < 0 ? -static_cast<std::int64_t>(step)
                                                               : static_cast<std::int64_t>(step));
    open_loop(thread_number != nullptr ? thread_number() : -1, asked,
              static_cast<std::int64_t>(chunk), step > 0, magnitude, schedule_of_kind(kind), size);
}

// A chunk from LOWER to UPPER, both included, where MORE, else the end.
template <typename Number> int took(int more, const Number *lower, const Number *upper)
{
    LoopTaken *loop = open_loop_now();
    if (loop == nullptr) {
        return more;
    }
    if (more != 0) {
        const auto from = static_cast<std::uint64_t>(static_cast<std::int64_t>(*lower));
        const auto last = static_cast<std::uint64_t>(static_cast<std::int64_t>(*upper));
        take_chunk(*loop, from, loop->up ? last + 1 : last - 1);
    }
    else {
        close_loop(*loop);
    }
    return more;
}

} // namespace

#pragma GCC visibility push(default)
extern "C" {

// NOLINTBEGIN(cppcoreguidelines-macro-usage): one pair for each width
#define INTERPOSE_DISPATCH(suffix, Number, Step)                                                   \
    void __kmpc_dispatch_init_##suffix(void *location, std::int32_t thread, int schedule,          \
                                       Number lower, Number upper, Step step, Step chunk)          \
    {                                                                                              \
        auto *real_entry =                                                                         \
            reinterpret_cast<void (*)(void *, std::int32_t, int, Number, Number, Step, Step)>(     \
                real(Real::init_##suffix));                                                        \
        if (real_entry != nullptr) {                                                               \
            real_entry(location, thread, schedule, lower, upper, step, chunk);                     \
            open(schedule, step, chunk);                                                           \
        }                                                                                          \
    }                                                                                              \
    int __kmpc_dispatch_next_##suffix(void *location, std::int32_t thread, std::int32_t *last,     \
                                      Number *lower, Number *upper, Step *stride)                  \
    {                                                                                              \
        auto *real_entry =                                                                         \
            reinterpret_cast<int (*)(void *, std::int32_t, std::int32_t *, Number *, Number *,     \
                                     Step *)>(real(Real::next_##suffix));                          \
        return real_entry != nullptr                                                               \
                   ? took(real_entry(location, thread, last, lower, upper, stride), lower, upper)  \
                   : 0;                                                                            \
    }
INTERPOSE_DISPATCH(4, std::int32_t, std::int32_t)
INTERPOSE_DISPATCH(4u, std::uint32_t, std::int32_t)
INTERPOSE_DISPATCH(8, std::int64_t, std::int64_t)
INTERPOSE_DISPATCH(8u, std::uint64_t, std::int64_t)
// NOLINTEND(cppcoreguidelines-macro-usage)
}
#pragma GCC visibility pop
