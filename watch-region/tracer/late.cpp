// Who kept the others waiting (late.h).
#include "late.h"

namespace tracer {

// Counts at SITE an instance that THREAD came last to, causing DELAY.
void count_late(WaitSite &site, int thread, std::uint64_t delay)
{
    auto *const end = std::next(site.late.begin(), site.late_used);
    auto *found = std::find_if(site.late.begin(), end,
                               [thread](const Late &held) { return held.thread == thread; });
    if (found == end && site.late_used < max_late_threads) {
        ++site.late_used;
        found->thread = thread;
    }
    else if (found == end) {
        found = &site.late.back();
        found->thread = other_threads;
    }
    ++found->count;
    found->delay += delay;
}

} // namespace tracer
