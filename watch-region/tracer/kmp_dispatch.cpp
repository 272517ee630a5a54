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

// libomp's schedules (kmp.h's sched_type), its modifiers aside: the plain
// ones from plain + 1 (static chunked, static, dynamic, guided, runtime,
// auto, trapezoidal, static greedy, static balanced, guided iterative,
// guided analytical, static steal, static balanced chunked, guided simd,
// runtime simd), their ordered forms from ordered + 1, and the forms that
// do not merge chunks from unmerged + 1, then their ordered ones.
constexpr unsigned plain = 32;
constexpr unsigned ordered = 64;
constexpr unsigned unmerged = 160;
constexpr std::array<Schedule, 15> plain_schedules{
    Schedule::fixed,     Schedule::fixed, Schedule::dynamic, Schedule::guided, Schedule::runtime,
    Schedule::automatic, Schedule::fixed, Schedule::fixed,   Schedule::fixed,  Schedule::guided,
    Schedule::guided,    Schedule::fixed, Schedule::fixed,   Schedule::guided, Schedule::runtime};

// The schedule the program wrote.
Schedule written(int schedule)
{
    constexpr unsigned modifiers = (1U << 29U) | (1U << 30U);
    unsigned kind = static_cast<unsigned>(schedule) & ~modifiers;
    kind = kind > unmerged ? kind - unmerged + plain : kind;
    kind = kind > ordered && kind <= ordered + plain ? kind - ordered + plain : kind;
    const unsigned index = kind - plain - 1;
    return kind > plain && index < plain_schedules.size() ? plain_schedules[index]
                                                          : Schedule::fixed;
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
        take_chunk(*loop, from, loop->upward ? last + 1 : last - 1);
    }
    else {
        close_loop(*loop);
    }
    return more;
}

template <Real entry, typename Number, typename Step>
void init(void *location, std::int32_t thread, int schedule, Number lower, Number upper, Step step,
          Step chunk)
{
    using Function = void (*)(void *, std::int32_t, int, Number, Number, Step, Step);
    auto *real_entry = reinterpret_cast<Function>(real(entry));
    if (real_entry != nullptr) {
        real_entry(location, thread, schedule, lower, upper, step, chunk);
        open(schedule, step, chunk);
    }
}

template <Real entry, typename Number, typename Step>
int next(void *location, std::int32_t thread, std::int32_t *last, Number *lower, Number *upper,
         Step *stride)
{
    using Function = int (*)(void *, std::int32_t, std::int32_t *, Number *, Number *, Step *);
    auto *real_entry = reinterpret_cast<Function>(real(entry));
    return real_entry != nullptr
               ? took(real_entry(location, thread, last, lower, upper, stride), lower, upper)
               : 0;
}

} // namespace

#pragma GCC visibility push(default)
extern "C" {

// NOLINTBEGIN(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp): libomp's names
void __kmpc_dispatch_init_4(void *location, std::int32_t thread, int schedule, std::int32_t lower,
                            std::int32_t upper, std::int32_t step, std::int32_t chunk)
{
    init<Real::init_4>(location, thread, schedule, lower, upper, step, chunk);
}
void __kmpc_dispatch_init_4u(void *location, std::int32_t thread, int schedule, std::uint32_t lower,
                             std::uint32_t upper, std::int32_t step, std::int32_t chunk)
{
    init<Real::init_4u>(location, thread, schedule, lower, upper, step, chunk);
}
void __kmpc_dispatch_init_8(void *location, std::int32_t thread, int schedule, std::int64_t lower,
                            std::int64_t upper, std::int64_t step, std::int64_t chunk)
{
    init<Real::init_8>(location, thread, schedule, lower, upper, step, chunk);
}
void __kmpc_dispatch_init_8u(void *location, std::int32_t thread, int schedule, std::uint64_t lower,
                             std::uint64_t upper, std::int64_t step, std::int64_t chunk)
{
    init<Real::init_8u>(location, thread, schedule, lower, upper, step, chunk);
}
int __kmpc_dispatch_next_4(void *location, std::int32_t thread, std::int32_t *last,
                           std::int32_t *lower, std::int32_t *upper, std::int32_t *stride)
{
    return next<Real::next_4>(location, thread, last, lower, upper, stride);
}
int __kmpc_dispatch_next_4u(void *location, std::int32_t thread, std::int32_t *last,
                            std::uint32_t *lower, std::uint32_t *upper, std::int32_t *stride)
{
    return next<Real::next_4u>(location, thread, last, lower, upper, stride);
}
int __kmpc_dispatch_next_8(void *location, std::int32_t thread, std::int32_t *last,
                           std::int64_t *lower, std::int64_t *upper, std::int64_t *stride)
{
    return next<Real::next_8>(location, thread, last, lower, upper, stride);
}
int __kmpc_dispatch_next_8u(void *location, std::int32_t thread, std::int32_t *last,
                            std::uint64_t *lower, std::uint64_t *upper, std::int64_t *stride)
{
    return next<Real::next_8u>(location, thread, last, lower, upper, stride);
}
// NOLINTEND(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
}
#pragma GCC visibility pop
