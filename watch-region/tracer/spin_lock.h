// A lock for the few moments two threads may share: a site's statistics, the
// slowest region. Held for a few stores, never across a call that can wait.
#pragma once

#include <atomic>

namespace tracer {

inline void lock(std::atomic_flag &flag)
{
    while (flag.test_and_set(std::memory_order_acquire)) {
    }
}

inline void unlock(std::atomic_flag &flag) { flag.clear(std::memory_order_release); }

} // namespace tracer
