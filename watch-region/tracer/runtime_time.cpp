// The lock-like objects' releases (runtime_time.h): a table of the objects
// seen, by address, each with the clock of its last release and its holders'
// turns; the objects beyond the table share one clock and take no turns.
// And the events of a wait or a task's body (record_wait, trace_store.h).
#include "runtime_time.h"

#include "helpers.h"
#include "region_spans.h"
#include "spin_lock.h"

#include <array>
#include <limits>

namespace tracer {

namespace {

// The objects' addresses apart from their clocks, which their holders write
// in turn, a cache line each: a look-up reads a line that stays in every
// core's cache, and an acquisition can leave its clock's line to come over
// later.
constexpr int lock_bits = 10;
constexpr std::size_t max_locks = std::size_t{1} << lock_bits;
std::array<std::atomic<std::uintptr_t>, max_locks> objects;
constexpr std::size_t cache_line = 64;
struct alignas(cache_line) Lock {
    MeetingClock clock;
    HandOver turns;
};
std::array<Lock, max_locks + 1> locks; // the last: every object beyond

Lock &lock_of(const void *object)
{
    const auto key = reinterpret_cast<std::uintptr_t>(object);
    std::size_t slot = slot_of<lock_bits, 3>(key);
    for (std::size_t probe = 0; probe < max_locks; ++probe, slot = (slot + 1) % max_locks) {
        std::uintptr_t held = objects[slot].load(std::memory_order_acquire);
        if (held == key) {
            return locks[slot];
        }
        if (held == 0 && objects[slot].compare_exchange_strong(held, key)) {
            return locks[slot];
        }
        if (held == key) {
            return locks[slot];
        }
    }
    return locks[max_locks];
}

} // namespace

[[gnu::hot]] Guard guard_of(const void *object)
{
    Lock &kept = lock_of(object);
    const bool shared = &kept == &locks[max_locks];
    return {&kept.clock, shared ? nullptr : &kept.turns, shared};
}

void await_turn(HandOver &turns)
{
    const std::uint64_t turn = turns.taken.fetch_add(1, std::memory_order_relaxed);
    constexpr std::int64_t patience = 250'000'000;
    std::uint64_t given = 0;
    if (!yield_until([&] { return (given = turns.given.load(std::memory_order_acquire)) >= turn; },
                     patience)) {
        turns.given.compare_exchange_strong(given, turn, std::memory_order_relaxed);
    }
}

void forget_guards()
{
    constexpr auto relaxed = std::memory_order_relaxed;
    for (std::size_t slot = 0; slot < max_locks; ++slot) {
        if (objects[slot].load(relaxed) != 0) {
            objects[slot].store(0, relaxed);
            locks[slot].clock.clear();
            locks[slot].turns.taken.store(0, relaxed);
            locks[slot].turns.given.store(0, relaxed);
        }
    }
    locks[max_locks].clock.clear();
}

} // namespace tracer

using tracer::Wait;

[[gnu::hot]] void record_wait(Wait kind, std::int64_t region, std::int64_t link, std::int64_t start,
                              std::int64_t end)
{
    const bool task = kind == Wait::task;
    tracer::keep_span(task, region, start, end);
    const std::int64_t length = end - start;
    if (length >= 0 && length <= std::numeric_limits<std::int32_t>::max()) {
        record(task ? Event::task : Event::wait, region, static_cast<int>(length), link,
               static_cast<int>(kind), start);
        return;
    }
    record(task ? Event::task_begin : Event::wait_begin, region, -1, link, static_cast<int>(kind),
           start);
    record(task ? Event::task_end : Event::wait_end, region, -1, link, static_cast<int>(kind), end);
}
