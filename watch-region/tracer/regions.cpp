// The regions (regions.h): each launch numbered and tied to its parent and
// call site, each team thread's moments, and at the return the launch's
// phases folded into its site's statistics.
#include "regions.h"

#include "event_table.h"
#include "helpers.h"
#include "region_spans.h"
#include "site_stats.h"
#include "spin_lock.h"
#include "trace_store.h"

#include <algorithm>
#include <limits>

namespace tracer {

std::atomic<std::int64_t> regions_launched{0};
std::atomic<std::int64_t> time_in_regions{0};
std::atomic<long> threads_created{0};
std::atomic<std::uintptr_t> runtime_address{0};

namespace {

// The slowest regions so far, launch to return, each as it was at its
// return: the one slowest, or with slowest the slowest_kept slowest, of
// which the trace writes as many as its events have room for. A region
// whole is its launch, its return, and the body's start and end on each of
// the first detailed_threads threads of its team: the threads beyond them
// are only counted (libomp's joins, too, are not kept).
constexpr std::size_t slowest_kept = 64;
struct Slowest {
    std::array<ThreadMoments, detailed_threads> threads{};
    std::int64_t duration = 0; // none yet
    std::int64_t id = 0, parent = 0, launch = 0, end = 0, kernel_thread = 0;
    int level = 0, site = 0, team = 0;
};
std::array<Slowest, slowest_kept> slowest;
std::atomic_flag slowest_busy = ATOMIC_FLAG_INIT;
// The shortest of the regions kept once every place is taken (0 before):
// a region no longer is not kept.
std::atomic<std::int64_t> slowest_threshold{0};
// The longest of them, whose spans are kept (region_spans.h).
std::int64_t longest = 0;
// The outermost region launched last and not yet returned (null: none): a
// trace written before any region returned gives it as far as it went.
std::atomic<const Region *> under_way{nullptr};
// Any number that stack garbage is unlikely to hold.
constexpr std::int64_t tag_bits = 0x5eedf00dc0ffee11;
constexpr std::int64_t tag_of(std::int64_t region) { return region ^ tag_bits; }
// With slowest: the launch of the first region not kept.
std::atomic<std::int64_t> first_dropped{0};

void drop(std::int64_t launch) { atomic_earliest(first_dropped, launch); }

// The events that the trace gives for KEPT.
std::size_t events_of(const Slowest &kept)
{
    std::size_t count = 2;
    for (int thread = 0; thread < kept.team; ++thread) {
        if (kept.threads[static_cast<std::size_t>(thread)].kernel_thread != 0) {
            count += 2;
        }
    }
    return count;
}

// REGION, under way: its launch, and each detailed thread's body as far as
// it went, and its spans.
void write_under_way(Output &output, const Region &region, std::int64_t until)
{
    output.add("slowest\n");
    // The launching thread is its team's thread 0.
    const ThreadMoments &first = region.threads[0];
    output.line("launch", region.launch, first.tag == tag_of(region.id) ? first.kernel_thread : 0,
                region.level, region.id, region.parent, region.site);
    for (int thread = 0; thread < detailed_threads; ++thread) {
        const ThreadMoments &moments = region.threads[static_cast<std::size_t>(thread)];
        if (moments.tag != tag_of(region.id)) {
            continue;
        }
        output.line("body_start", moments.body_start, moments.kernel_thread, thread, region.id, 0,
                    0);
        if (moments.body_end > moments.body_start) {
            output.line("body_end", moments.body_end, moments.kernel_thread, thread, region.id, 0,
                        0);
        }
    }
    write_spans(output, region.id, until);
}

void write_region(Output &output, const Slowest &kept)
{
    output.line("launch", kept.launch, kept.kernel_thread, kept.level, kept.id, kept.parent,
                kept.site);
    for (int thread = 0; thread < kept.team; ++thread) {
        const ThreadMoments &moments = kept.threads[static_cast<std::size_t>(thread)];
        if (moments.kernel_thread == 0) {
            continue;
        }
        output.line("body_start", moments.body_start, moments.kernel_thread, thread, kept.id, 0, 0);
        output.line("body_end", moments.body_end, moments.kernel_thread, thread, kept.id, 0, 0);
    }
    output.line("launch_return", kept.end, kept.kernel_thread, -1, kept.id, 0, 0);
}

// Keeps REGION, which ended at END, if it is among the slowest.
void keep_if_slow(const Region &region, std::int64_t end, int slots)
{
    const std::int64_t duration = end - region.launch;
    const bool several = keep_mode == Keep::slowest;
    if (duration <= slowest_threshold.load(std::memory_order_relaxed)) {
        if (several) {
            drop(region.launch);
        }
        return;
    }
    const std::size_t places = several ? slowest_kept : 1;
    lock(slowest_busy);
    auto *const shortest = std::min_element(
        slowest.begin(), slowest.begin() + static_cast<std::ptrdiff_t>(places),
        [](const Slowest &one, const Slowest &other) { return one.duration < other.duration; });
    if (duration > shortest->duration) {
        if (duration > longest) {
            longest = duration;
            slowest_spans_are(region.id);
        }
        if (shortest->duration != 0 && several) {
            drop(shortest->launch);
        }
        Slowest &kept = *shortest;
        kept.duration = duration;
        kept.id = region.id;
        kept.parent = region.parent;
        kept.launch = region.launch;
        kept.end = end;
        kept.kernel_thread = kernel_thread();
        kept.level = region.level;
        kept.site = region.site;
        kept.team = slots;
        std::copy_n(region.threads.begin(), slots, kept.threads.begin());
        slowest_threshold.store(
            std::min_element(slowest.begin(), slowest.begin() + static_cast<std::ptrdiff_t>(places),
                             [](const Slowest &one, const Slowest &other) {
                                 return one.duration < other.duration;
                             })
                ->duration,
            std::memory_order_relaxed);
    }
    else if (several) {
        drop(region.launch);
    }
    unlock(slowest_busy);
}

// The regions each thread is in, innermost last.
constexpr int max_depth = 64;
thread_local std::array<Inside, max_depth> inside{};
thread_local int depth = 0;

constexpr std::size_t spare_regions = 256;
std::array<Region, spare_regions> spares;
std::atomic<std::size_t> next_spare{0};

} // namespace

std::size_t write_slowest(Output &output, std::size_t room, std::int64_t until)
{
    const bool several = keep_mode == Keep::slowest;
    std::array<const Slowest *, slowest_kept> order{};
    std::size_t count = 0;
    // Only the places in use are read: a page first read costs a fault.
    for (std::size_t place = 0; place < (several ? slowest_kept : 1); ++place) {
        if (slowest[place].duration != 0) {
            order[count++] = &slowest[place];
        }
    }
    std::sort(
        order.begin(), order.begin() + static_cast<std::ptrdiff_t>(count),
        [](const Slowest *one, const Slowest *other) { return one->duration > other->duration; });
    if (count > 0) {
        output.add("slowest\n");
    }
    else if (const Region *open = under_way.load(); open != nullptr) {
        write_under_way(output, *open, until);
    }
    std::size_t written = 0;
    std::size_t regions = 0;
    for (; regions < (several ? count : std::min<std::size_t>(count, 1)); ++regions) {
        const std::size_t events = events_of(*order[regions]);
        if (several && written + events > room) {
            break;
        }
        write_region(output, *order[regions]);
        if (regions == 0) {
            write_spans(output, order[0]->id, until);
        }
        written += events;
    }
    if (several) {
        std::int64_t first = first_dropped.load();
        for (; regions < count; ++regions) {
            first = first == 0 ? order[regions]->launch : std::min(first, order[regions]->launch);
        }
        if (const std::int64_t left = region_events() - static_cast<std::int64_t>(written);
            left > 0) {
            count_left_out(left, first);
        }
        return written;
    }
    return 0;
}

void forget_regions()
{
    regions_launched.store(0);
    time_in_regions.store(0);
    threads_created.store(0);
    std::fill_n(slowest.begin(), keep_mode == Keep::slowest ? slowest_kept : 1, Slowest{});
    slowest_threshold.store(0);
    under_way.store(nullptr);
    longest = 0;
    forget_spans();
    first_dropped.store(0);
    depth = 0;
}

} // namespace tracer

using namespace tracer;

bool runtime_reports_regions = false;

void count_thread_created() { threads_created.fetch_add(1, std::memory_order_relaxed); }

[[gnu::hot]] Inside *innermost()
{
    return depth > 0 && depth <= max_depth ? &inside[static_cast<std::size_t>(depth - 1)] : nullptr;
}

void region_begin(Region &region, const void *call_site)
{
    const Inside *within = innermost();
    const Region *parent = within != nullptr ? within->region : nullptr;
    region.id = regions_launched.fetch_add(1, std::memory_order_relaxed) + 1;
    region.parent = parent != nullptr ? parent->id : 0;
    region.level = parent != nullptr ? parent->level + 1 : 1;
    region.site = site_of(call_site);
    region.call_site = call_site;
    region.launch = now();
    ThreadTime &thread = this_thread();
    enter_runtime(thread, region.launch);
    region.launched = ideal(thread);
    record(Event::launch, region.id, region.level, region.parent, region.site, region.launch);
    if (parent == nullptr) {
        under_way.store(&region, std::memory_order_relaxed);
    }
}

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
    loop_schedule = 0;
    loop_chunk = loop_step = 0;
    more_threads.store(0, relaxed);
    last_start.store(0, relaxed);
    last_end.store(0, relaxed);
    shortest.store(std::numeric_limits<std::int64_t>::max(), relaxed);
    longest.store(0, relaxed);
    meet.barriers[0].clear();
    meet.barriers[1].clear();
    for (Arrivals &arrivals : meet.arrivals) {
        arrivals.store(0, relaxed);
    }
    meet.last_task.store(0, relaxed);
    meet.tasks_ended.clear();
    meet.bodies_ended.clear();
    meet.ordered.clear();
}

void region_end(Region &region)
{
    const std::int64_t end = now();
    const Region *ending = &region;
    under_way.compare_exchange_strong(ending, nullptr, std::memory_order_relaxed);
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
    Clock joined = later(region.meet.bodies_ended.read(), region.meet.tasks_ended.read());
    std::array<std::int64_t, detailed_threads> useful{};
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
            joined = later(joined, moments.ideal_end);
            useful[static_cast<std::size_t>(slot)] = moments.useful;
        }
    }
    ThreadTime &thread = this_thread();
    wait_until(thread, joined);
    leave_runtime(thread, end);
    count_team(std::max(team, region.team_size));
    if (team == 0) {
        if (keep_mode == Keep::slowest) {
            drop(region.launch);
        }
        return;
    }
    if (region.level == 1) {
        time_in_regions.fetch_add(end - region.launch, std::memory_order_relaxed);
    }
    add_launch(
        region.site, team,
        {last_start - region.launch, last_end - last_start, longest - shortest, end - last_end},
        useful, slots, reinterpret_cast<std::uintptr_t>(region.body),
        joined.all - region.launched.all);
    keep_if_slow(region, end, slots);
}

void body_begin(Region &region, int thread, int team_size)
{
    const Reading reading = now_on_cpu();
    const std::int64_t start = reading.time;
    record(Event::body_start, region.id, thread, 0, 0, start);
    ThreadTime &time = this_thread();
    count_cpu(time, reading.cpu);
    set_ideal(time, region.launched);
    leave_runtime(time, start);
    if (depth == 0) {
        spans_begin(region.id, region.launch, thread);
    }
    if (depth < max_depth) {
        inside[static_cast<std::size_t>(depth)] =
            Inside{&region, start, time.useful, 0, thread, team_size};
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
    ThreadTime &time = this_thread();
    enter_runtime(time, end);
    --depth;
    const Inside *body = depth < max_depth ? &inside[static_cast<std::size_t>(depth)] : nullptr;
    if (thread >= 0 && thread < detailed_threads) {
        ThreadMoments &moments = region.threads[static_cast<std::size_t>(thread)];
        moments.body_end = end;
        moments.ideal_end = ideal(time);
        moments.useful = body != nullptr ? time.useful.all - body->useful_at_start.all : 0;
        return;
    }
    region.meet.bodies_ended.raise(ideal(time));
    const std::int64_t start = body != nullptr ? body->started : region.launch;
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
