// The tracer's only waits of its own, each for the few moments another
// thread takes to finish a few steps: a lock for what two threads may share
// (a site's statistics, the slowest region, a table that grows), held for a
// few stores or calls that return at once, never across one that can wait;
// and a wait, yielding the processor, for another thread's step.
#pragma once

#include "clock.h"

#include <atomic>
#include <cstdint>
#include <sched.h>

namespace tracer {

inline void lock(std::atomic_flag &flag)
{
    while (flag.test_and_set(std::memory_order_acquire)) {
    }
}

inline void unlock(std::atomic_flag &flag) { flag.clear(std::memory_order_release); }

// FLAG held for a scope.
class Held {
  public:
    explicit Held(std::atomic_flag &flag) : flag(flag) { lock(flag); }
    ~Held() { unlock(flag); }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;

  private:
    std::atomic_flag &flag;
};

// Yields the processor until READY() holds. With a PATIENCE, gives up once
// that many nanoseconds have passed since READY() first failed; the clock is
// read only then. Returns whether READY() held.
template <typename Ready> bool yield_until(Ready ready, std::int64_t patience = -1)
{
    std::int64_t since = 0;
    while (!ready()) {
        if (patience >= 0) {
            const std::int64_t time = now();
            since = since == 0 ? time : since;
            if (time - since > patience) {
                return false;
            }
        }
        sched_yield();
    }
    return true;
}

} // namespace tracer
