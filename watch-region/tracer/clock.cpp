// The tracer's clock (clock.h).
#include "clock.h"

#include <atomic>
#include <cpuid.h>
#include <ctime>
#include <sched.h>
#include <x86intrin.h>

namespace tracer {

namespace {

constexpr auto relaxed = std::memory_order_relaxed;
constexpr int rate_shift = 32;

// The counter. Read without a fence, it may be read some instructions early:
// a few nanoseconds, where a fence would cost 10 a read.
std::uint64_t ticks_now() { return __rdtsc(); }

// Whether the counter runs at one rate whatever the core's state: CPUID's
// advanced power management leaf says so.
bool counter_is_invariant()
{
    constexpr unsigned extended_leaves = 0x80000000;
    constexpr unsigned power_leaf = 0x80000007;
    constexpr unsigned invariant = 1U << 8;
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    return static_cast<unsigned>(__get_cpuid_max(extended_leaves, nullptr)) >= power_leaf &&
           __get_cpuid(power_leaf, &eax, &ebx, &ecx, &edx) != 0 && (edx & invariant) != 0;
}

bool reads_counter = false;
std::atomic<std::uint64_t> rate_scaled{0};
std::atomic<std::uint64_t> span_ticks{0};
thread_local Anchor own{0, 0};
thread_local std::int64_t last_time = 0;

// The baseline, which a thread replaces under its version's odd count, and
// which a thread reading it while the count moved leaves alone.
std::atomic<unsigned> baseline_version{0};
std::atomic<std::uint64_t> baseline_ticks{0};
std::atomic<std::int64_t> baseline_time{0};

// A clock read between two reads of the counter, the closest pair of a few
// tries: a thread put off between them would pair the clock with a tick far
// from it.
Anchor take_anchor()
{
    constexpr int tries = 16;
    constexpr std::uint64_t close_ticks = 400; // a clock read takes some 60
    Anchor best{0, 0};
    std::uint64_t best_width = ~std::uint64_t{0};
    for (int attempt = 0; attempt < tries && best_width > close_ticks; ++attempt) {
        const std::uint64_t before = ticks_now();
        const std::int64_t time = clock_now();
        const std::uint64_t width = ticks_now() - before;
        if (width < best_width) {
            best = {before + width / 2, time};
            best_width = width;
        }
    }
    return best;
}

// Replaces the baseline with ANCHOR, unless another thread is at it.
void set_baseline(const Anchor &anchor)
{
    unsigned version = baseline_version.load(relaxed);
    if ((version & 1U) != 0 || !baseline_version.compare_exchange_strong(
                                   version, version + 1, std::memory_order_acquire)) {
        return;
    }
    rate_scaled.store(0, relaxed);
    baseline_ticks.store(anchor.ticks, relaxed);
    baseline_time.store(anchor.nanoseconds, relaxed);
    baseline_version.store(version + 2, std::memory_order_release);
}

// The thread's new anchor, and the rate that it gives: its time.
std::int64_t anchor_again()
{
    own = take_anchor();
    // Acquiring loads, so that the version is read again after them.
    const unsigned version = baseline_version.load(std::memory_order_acquire);
    const Anchor baseline{baseline_ticks.load(std::memory_order_acquire),
                          baseline_time.load(std::memory_order_acquire)};
    if ((version & 1U) != 0 || baseline_version.load(relaxed) != version) {
        return own.nanoseconds;
    }
    const Rate rate = rate_between(baseline, own);
    const Rate held{rate_scaled.load(relaxed), span_ticks.load(relaxed)};
    if (rate.scaled == 0 && own.ticks > baseline.ticks) {
        return own.nanoseconds; // too soon
    }
    if (rate.scaled == 0 || (held.scaled != 0 && !rate_holds(held, rate))) {
        set_baseline(own);
    }
    else {
        span_ticks.store(rate.span_ticks, relaxed);
        rate_scaled.store(rate.scaled, relaxed);
    }
    return own.nanoseconds;
}

// Whether the counter's read with the processor's number (rdtscp) gives
// the CPU: where the processor has that read, and the kernel keeps the CPU's
// number in the low 12 bits of what it gives, as Linux does; checked once
// against the kernel's own answer.
bool counter_gives_cpu = false;
constexpr unsigned cpu_bits = 0xfff;

bool reads_with_cpu()
{
    constexpr unsigned feature_leaf = 0x80000001;
    constexpr unsigned rdtscp = 1U << 27;
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    if (__get_cpuid(feature_leaf, &eax, &ebx, &ecx, &edx) == 0 || (edx & rdtscp) == 0) {
        return false;
    }
    unsigned aux = 0;
    __rdtscp(&aux);
    return static_cast<int>(aux & cpu_bits) == sched_getcpu();
}

// The time that now() gives, the counter read by READ_TICKS where it is.
template <typename ReadTicks> std::int64_t counted_time(ReadTicks read_ticks)
{
    const Rate rate{rate_scaled.load(relaxed), span_ticks.load(relaxed)};
    std::int64_t time = 0;
    if (rate.scaled == 0) {
        // Until the baseline is long enough for a rate, the clock itself:
        // a short run never anchors.
        time = clock_now();
        if (time - baseline_time.load(relaxed) >= rate_baseline) {
            time = anchor_again();
        }
    }
    else if (time = time_of(own, rate, read_ticks()); time < 0) {
        time = anchor_again();
    }
    if (time < last_time) {
        time = last_time;
    }
    last_time = time;
    return time;
}

// Before anything else of the tracer's at load, on the initial thread.
__attribute__((constructor(101))) void start_clock()
{
    reads_counter = counter_is_invariant();
    counter_gives_cpu = reads_with_cpu();
    set_baseline(take_anchor());
}

} // namespace

std::int64_t clock_now()
{
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    constexpr std::int64_t nanoseconds_per_second = 1000000000;
    return time.tv_sec * nanoseconds_per_second + time.tv_nsec;
}

[[gnu::hot]] std::int64_t time_of(const Anchor &anchor, Rate rate, std::uint64_t ticks)
{
    // Unsigned: a counter gone back is a span that never ends.
    const std::uint64_t since = ticks - anchor.ticks;
    if (rate.scaled == 0 || since >= rate.span_ticks) {
        return -1;
    }
    return anchor.nanoseconds + static_cast<std::int64_t>((since * rate.scaled) >> rate_shift);
}

Rate rate_between(const Anchor &first, const Anchor &last)
{
    const std::int64_t nanoseconds = last.nanoseconds - first.nanoseconds;
    if (nanoseconds < rate_baseline || last.ticks <= first.ticks) {
        return {0, 0};
    }
    // In double precision: 53 bits, where the rate needs some 40, and no
    // 128-bit division, which would need libgcc's.
    constexpr auto one = static_cast<double>(std::uint64_t{1} << rate_shift);
    const auto scaled = static_cast<std::uint64_t>(static_cast<double>(nanoseconds) * one /
                                                   static_cast<double>(last.ticks - first.ticks));
    if (scaled == 0) {
        return {0, 0};
    }
    return {scaled, static_cast<std::uint64_t>(static_cast<double>(anchor_span) * one /
                                               static_cast<double>(scaled))};
}

bool rate_holds(Rate held, Rate fresh)
{
    constexpr std::uint64_t thousandth = 1000;
    const std::uint64_t apart =
        held.scaled > fresh.scaled ? held.scaled - fresh.scaled : fresh.scaled - held.scaled;
    return apart <= held.scaled / thousandth;
}

void use_counter(bool use) { reads_counter = use && counter_is_invariant(); }
bool counter_used() { return reads_counter; }

} // namespace tracer

[[gnu::hot]] std::int64_t now()
{
    using namespace tracer;
    if (!reads_counter) {
        return clock_now();
    }
    return counted_time(ticks_now);
}

Reading now_on_cpu()
{
    using namespace tracer;
    int cpu = -1;
    std::int64_t time = 0;
    if (reads_counter && counter_gives_cpu) {
        time = counted_time([&cpu] {
            unsigned aux = 0;
            const std::uint64_t ticks = __rdtscp(&aux);
            cpu = static_cast<int>(aux & cpu_bits);
            return ticks;
        });
    }
    else {
        time = now();
    }
    // Before a rate is known, or at a new anchor, the counter was not read.
    return {time, cpu >= 0 ? cpu : sched_getcpu()};
}
