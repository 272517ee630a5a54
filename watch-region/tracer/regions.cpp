// The regions (regions.h): each launch numbered and tied to its parent and
// call site, each team thread's moments, and at the return the launch's
// phases folded into its site's statistics.
#include "regions.h"

#include "event_table.h"
#include "site_stats.h"
#include "spin_lock.h"
#include "trace_store.h"

#include <algorithm>
#include <limits>

namespace tracer {

std::atomic<std::int64_t> regions_launched{0};
std::atomic<std::int64_t> time_in_regions{0};
std::atomic<long> threads_created{0};

namespace {

// The slowest region so far, launch to return, as it was at its return.
struct Slowest {
    std::array<ThreadMoments, detailed_threads> threads{};
    std::int64_t duration = 0; // none yet
    std::int64_t id = 0, parent = 0, launch = 0, end = 0, kernel_thread = 0;
    int level = 0, site = 0, team = 0;
    std::atomic_flag busy = ATOMIC_FLAG_INIT;
} slowest;

// The region each thread is in, innermost last, and when its body started.
constexpr int max_depth = 64;
thread_local std::array<Region *, max_depth> inside{};
thread_local std::array<std::int64_t, max_depth> started{};
thread_local int depth = 0;

void atomic_max(std::atomic<std::int64_t> &target, std::int64_t value)
{
    std::int64_t held = target.load(std::memory_order_relaxed);
    while (held < value && !target.compare_exchange_weak(held, value)) {
    }
}

void atomic_min(std::atomic<std::int64_t> &target, std::int64_t value)
{
    std::int64_t held = target.load(std::memory_order_relaxed);
    while (held > value && !target.compare_exchange_weak(held, value)) {
    }
}

constexpr std::size_t spare_regions = 256;
std::array<Region, spare_regions> spares;
std::atomic<std::size_t> next_spare{0};

} // namespace

void write_slowest(Output &output)
{
    if (slowest.duration == 0) {
        return;
    }
    output.add("slowest\n");
    output.line("launch", slowest.launch, slowest.kernel_thread, slowest.level, slowest.id,
                slowest.parent, slowest.site);
    const int team = std::min(slowest.team, detailed_threads);
    for (int thread = 0; thread < team; ++thread) {
        const ThreadMoments &moments = slowest.threads[static_cast<std::size_t>(thread)];
        if (moments.kernel_thread == 0) {
            continue;
        }
        output.line("body_start", moments.body_start, moments.kernel_thread, thread, slowest.id, 0,
                    0);
        output.line("body_end", moments.body_end, moments.kernel_thread, thread, slowest.id, 0, 0);
    }
    output.line("launch_return", slowest.end, slowest.kernel_thread, -1, slowest.id, 0, 0);
}

void forget_regions()
{
    regions_launched.store(0);
    time_in_regions.store(0);
    threads_created.store(0);
    slowest.duration = 0;
    depth = 0;
}

} // namespace tracer

using namespace tracer;

bool runtime_reports_regions = false;

void count_thread_created() { threads_created.fetch_add(1, std::memory_order_relaxed); }

void region_begin(Region &region, const void *call_site)
{
    const Region *parent = depth > 0 ? inside[static_cast<std::size_t>(depth - 1)] : nullptr;
    region.id = regions_launched.fetch_add(1, std::memory_order_relaxed) + 1;
    region.parent = parent != nullptr ? parent->id : 0;
    region.level = parent != nullptr ? parent->level + 1 : 1;
    region.site = site_of(call_site);
    region.launch = now();
    record(Event::launch, region.id, region.level, region.parent, region.site, region.launch);
}

// Any number that stack garbage is unlikely to hold.
constexpr std::int64_t tag_bits = 0x5eedf00dc0ffee11;
constexpr std::int64_t tag_of(std::int64_t region) { return region ^ tag_bits; }

// Relaxed stores: the runtime's start of the team and its join order every
// access to a region.
void Region::reset()
{
    constexpr auto relaxed = std::memory_order_relaxed;
    first_word = nullptr;
    body = nullptr;
    data = nullptr;
    id = parent = launch = 0;
    level = site = team_size = 0;
    more_threads.store(0, relaxed);
    last_start.store(0, relaxed);
    last_end.store(0, relaxed);
    shortest.store(std::numeric_limits<std::int64_t>::max(), relaxed);
    longest.store(0, relaxed);
}

void region_end(Region &region)
{
    const std::int64_t end = now();
    record(Event::launch_return, region.id, -1, 0, 0, end);
    constexpr auto relaxed = std::memory_order_relaxed;
    int team = region.more_threads.load(relaxed);
    std::int64_t last_start = region.last_start.load(relaxed);
    std::int64_t last_end = region.last_end.load(relaxed);
    std::int64_t shortest = region.shortest.load(relaxed);
    std::int64_t longest = region.longest.load(relaxed);
    // Thread 0 says how large the team is, and each of its threads has
    // written its slot before the join.
    const int slots = std::clamp(region.team_size, 0, detailed_threads);
    for (int slot = 0; slot < slots; ++slot) {
        ThreadMoments &moments = region.threads[static_cast<std::size_t>(slot)];
        if (moments.tag != tag_of(region.id)) {
            moments.kernel_thread = 0; // not the region's: not the slowest's either
        }
        else {
            ++team;
            last_start = std::max(last_start, moments.body_start);
            last_end = std::max(last_end, moments.body_end);
            shortest = std::min(shortest, moments.body_end - moments.body_start);
            longest = std::max(longest, moments.body_end - moments.body_start);
        }
    }
    if (team == 0) {
        return;
    }
    if (region.level == 1) {
        time_in_regions.fetch_add(end - region.launch, std::memory_order_relaxed);
    }
    add_launch(
        region.site, team,
        {last_start - region.launch, last_end - last_start, longest - shortest, end - last_end});
    if (end - region.launch > slowest.duration) {
        lock(slowest.busy);
        if (end - region.launch > slowest.duration) {
            slowest.duration = end - region.launch;
            slowest.id = region.id;
            slowest.parent = region.parent;
            slowest.launch = region.launch;
            slowest.end = end;
            slowest.kernel_thread = kernel_thread();
            slowest.level = region.level;
            slowest.site = region.site;
            slowest.team = slots;
            std::copy_n(region.threads.begin(), slots, slowest.threads.begin());
        }
        unlock(slowest.busy);
    }
}

void body_begin(Region &region, int thread, int team_size)
{
    const std::int64_t start = now();
    record(Event::body_start, region.id, thread, 0, 0, start);
    if (depth < max_depth) {
        inside[static_cast<std::size_t>(depth)] = &region;
        started[static_cast<std::size_t>(depth)] = start;
    }
    ++depth;
    if (thread == 0) {
        region.team_size = team_size;
    }
    if (thread >= 0 && thread < detailed_threads) {
        auto &moments = region.threads[static_cast<std::size_t>(thread)];
        moments.tag = tag_of(region.id);
        moments.body_start = start;
        moments.kernel_thread = kernel_thread();
    }
    else {
        region.more_threads.fetch_add(1, std::memory_order_relaxed);
        atomic_max(region.last_start, start);
    }
}

void body_end(Region &region, int thread)
{
    const std::int64_t end = now();
    record(Event::body_end, region.id, thread, 0, 0, end);
    --depth;
    if (thread >= 0 && thread < detailed_threads) {
        region.threads[static_cast<std::size_t>(thread)].body_end = end;
        return;
    }
    const std::int64_t start =
        depth < max_depth ? started[static_cast<std::size_t>(depth)] : region.launch;
    atomic_max(region.last_end, end);
    atomic_max(region.longest, end - start);
    atomic_min(region.shortest, end - start);
}

Region &spare_region()
{
    Region &region = spares[next_spare.fetch_add(1, std::memory_order_relaxed) % spare_regions];
    region.reset();
    return region;
}
