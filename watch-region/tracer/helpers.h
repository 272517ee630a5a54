// The small steps the record's parts share: an atomic kept to the largest or
// smallest value given it, an address's first slot in a table of them, and
// the buckets of a histogram of times, with the bucket that holds a rank.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace tracer {

// TARGET raised to VALUE, or lowered to it; none of them orders other memory.
template <typename Value> void atomic_max(std::atomic<Value> &target, Value value)
{
    Value held = target.load(std::memory_order_relaxed);
    while (held < value && !target.compare_exchange_weak(held, value, std::memory_order_relaxed)) {
    }
}

template <typename Value> void atomic_min(std::atomic<Value> &target, Value value)
{
    Value held = target.load(std::memory_order_relaxed);
    while (held > value && !target.compare_exchange_weak(held, value, std::memory_order_relaxed)) {
    }
}

// TARGET lowered to TIME, where 0 stands for no time yet.
inline void atomic_earliest(std::atomic<std::int64_t> &target, std::int64_t time)
{
    std::int64_t held = target.load(std::memory_order_relaxed);
    while ((held == 0 || time < held) &&
           !target.compare_exchange_weak(held, time, std::memory_order_relaxed)) {
    }
}

// Fibonacci hashing: the top BITS bits of KEY (less its low ALIGNED bits,
// which the objects' alignment leaves the same) times 2^64 / phi.
template <int bits, int aligned> std::size_t slot_of(std::uintptr_t key)
{
    constexpr std::uint64_t golden = 0x9e3779b97f4a7c15;
    return static_cast<std::size_t>((std::uint64_t{key} >> aligned) * golden >> (64 - bits));
}

// A histogram's buckets of times in nanoseconds: one a value below 2^BITS,
// then 2^BITS to a power of two, COUNT in all; the last also holds every
// larger value.
template <int bits, std::size_t count> struct LogBuckets {
    static constexpr std::size_t per_power = std::size_t{1} << bits;

    static std::size_t of(std::uint64_t value)
    {
        if (value < per_power) {
            return static_cast<std::size_t>(value);
        }
        const int power = 63 - __builtin_clzll(value);
        const auto fraction = static_cast<std::size_t>((value >> (power - bits)) & (per_power - 1));
        return std::min(static_cast<std::size_t>(power - bits + 1) * per_power + fraction,
                        count - 1);
    }

    // The smallest value of BUCKET (of the one past the last, too).
    static std::uint64_t first(std::size_t bucket)
    {
        if (bucket < per_power) {
            return bucket;
        }
        return (std::uint64_t{per_power} + bucket % per_power) << (bucket / per_power - 1);
    }

    // The largest value of BUCKET.
    static std::uint64_t last(std::size_t bucket)
    {
        return bucket == count - 1 ? UINT64_MAX : first(bucket + 1) - 1;
    }

    // The bucket that holds the value of RANK (from 1, in increasing order),
    // where COUNT_IN(bucket) is how many values a bucket holds.
    template <typename CountIn> static std::size_t holding(std::uint64_t rank, CountIn count_in)
    {
        std::uint64_t seen = 0;
        std::size_t bucket = 0;
        while (bucket + 1 < count && (seen += count_in(bucket)) < rank) {
            ++bucket;
        }
        return bucket;
    }
};

} // namespace tracer
