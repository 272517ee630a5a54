// Who kept the others waiting: each wait site's late threads, counted as
// the run goes and written with the site's line.
#pragma once

#include "output.h"
#include "waits.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <iterator>

namespace tracer {

// Counts at SITE an instance that THREAD came last to, causing DELAY.
void count_late(WaitSite &site, int thread, std::uint64_t delay);

// The late ones of a site, every thread's together: those told apart by
// any thread's table, and the rest as other_threads; CAPACITY holds every
// thread's.
template <std::size_t capacity> class LateOnes {
  public:
    void clear() { used = 0; }

    void add(const Late &late)
    {
        auto *const end = std::next(ones.begin(), static_cast<std::ptrdiff_t>(used));
        auto *found = std::find_if(
            ones.begin(), end, [&late](const Late &held) { return held.thread == late.thread; });
        if (found == end) {
            ++used;
            *found = Late{late.thread, 0, 0};
        }
        found->count += late.count;
        found->delay += late.delay;
    }

    // "late THREAD:COUNT:DELAY,...", the largest delay first; none without.
    void write(Output &output)
    {
        auto *const end = std::next(ones.begin(), static_cast<std::ptrdiff_t>(used));
        std::sort(ones.begin(), end,
                  [](const Late &one, const Late &other) { return one.delay > other.delay; });
        const char *separator = "late ";
        std::for_each(ones.begin(), end, [&](const Late &late) {
            output.add(separator);
            if (late.thread == other_threads) {
                output.add("other");
            }
            else {
                output.add(late.thread);
            }
            output.add(':', late.count, ':', late.delay);
            separator = ",";
        });
        if (used > 0) {
            output.add('\n');
        }
    }

  private:
    std::array<Late, capacity> ones{};
    std::size_t used = 0;
};

} // namespace tracer
