// The tracer's clock: nanoseconds on the monotonic clock, at some half a
// clock read's cost where the processor's time-stamp counter runs at one
// constant rate (an invariant TSC, which CPUID reports), as one counter on
// every core, which is what the kernel's own TSC clock relies on too.
//
// Each thread maps the counter's ticks to the monotonic clock from an anchor
// of its own: a read of the clock between two close reads of the counter. It
// takes a new anchor once a millisecond has passed since the last, or when
// the counter has gone back. The rate is the counter's against the clock
// since a baseline anchor taken at load, so that it grows more exact as the
// run goes on; a rate that moves by more than a thousandth (the counter
// jumped, as when a virtual machine is moved) starts a new baseline. A time
// is off by its anchor's error, half the width of its pair of ticks (some
// 20 ns, at most 0.1 µs), and by the rate's error times the time since the
// anchor (at most some 15 ns once the baseline is 10 ms long). A thread's
// times never go back. Until the rate is known (so in any run shorter than
// the baseline), and where the counter is not invariant, every time is a read
// of the clock.
#pragma once

#include <cstdint>

// Now, in nanoseconds on the monotonic clock.
std::int64_t now();

// Now, as now() gives it, and the CPU that the calling thread read it on:
// the number the processor gives with the counter, where the clock reads the
// counter and the kernel keeps that number there, else the kernel's own
// (sched_getcpu, a vDSO call); -1 where neither tells.
struct Reading {
    std::int64_t time;
    int cpu;
};
Reading now_on_cpu();

namespace tracer {

// The monotonic clock itself, read.
std::int64_t clock_now();

// A pairing of the counter with the clock.
struct Anchor {
    std::uint64_t ticks;
    std::int64_t nanoseconds;
};

// The rate: nanoseconds a tick, times 2^32; and the ticks an anchor lasts.
struct Rate {
    std::uint64_t scaled;
    std::uint64_t span_ticks;
};

// How long an anchor lasts, and how long a baseline must be before a rate
// is taken from it.
constexpr std::int64_t anchor_span = 1000000;
constexpr std::int64_t rate_baseline = 10 * anchor_span;

// The time of TICKS from ANCHOR at RATE; -1 where a new anchor is due or no
// rate is known.
std::int64_t time_of(const Anchor &anchor, Rate rate, std::uint64_t ticks);
// The rate from the anchor FIRST to the anchor LAST; none (0) when they are
// less than a baseline apart.
Rate rate_between(const Anchor &first, const Anchor &last);
// Whether the rate FRESH is within a thousandth of HELD.
bool rate_holds(Rate held, Rate fresh);

// For the tracer's tests: whether now() reads the counter (where it can).
void use_counter(bool use);
bool counter_used();

} // namespace tracer
