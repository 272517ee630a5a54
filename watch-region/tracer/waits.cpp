// The threads' useful time, ideal clocks and waits (waits.h).
#include "waits.h"

#include "event_table.h"
#include "helpers.h"
#include "late.h"
#include "runtime_time.h"
#include "site_stats.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <sched.h>
#include <type_traits>

namespace tracer {

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

constexpr std::size_t max_threads = 128;
std::array<ThreadTime, max_threads> threads;
std::array<std::remove_pointer_t<decltype(ThreadTime::sites)>, max_threads> site_tables;
std::atomic<std::size_t> threads_used{0};
thread_local ThreadTime *own = nullptr;
thread_local ThreadTime beyond{};
std::int64_t loaded_at = 0;
std::atomic<int> largest_team{0};
// The CPUs the process may run on, read at load and at a fork (none where
// the kernel does not say).
CpuSet allowed{};

void read_allowed()
{
    cpu_set_t set;
    static_assert(sizeof(set) == sizeof(allowed));
    CPU_ZERO(&set);
    sched_getaffinity(0, sizeof(set), &set);
    std::memcpy(allowed.data(), &set, sizeof(allowed));
}

// "NAME CPUS...": the numbers in CPUS, comma-separated, "-" for none.
void write_cpus(Output &output, const char *name, const CpuSet &cpus)
{
    output.add(name);
    char separator = ' ';
    for (int cpu = 0; cpu < max_cpus; ++cpu) {
        if ((cpus[static_cast<std::size_t>(cpu / cpus_a_word)] >> (cpu % cpus_a_word) & 1U) != 0) {
            output.add(separator, cpu);
            separator = ',';
        }
    }
    output.add(separator == ' ' ? " -\n" : "\n");
}

// The program's marked intervals, each from its start to its stop (0: not
// yet); the marks beyond the table stretch the last interval.
constexpr std::size_t max_marks = 256;
struct Marks {
    std::array<std::array<std::atomic<std::int64_t>, 2>, max_marks> intervals;
    std::atomic<std::size_t> count;
};
Marks marks;

// The part of FROM to TO inside the marked intervals.
[[gnu::hot]] std::int64_t marked_part(std::int64_t from, std::int64_t until)
{
    std::int64_t inside = 0;
    for (std::size_t index = std::min(marks.count.load(relaxed), max_marks); index-- > 0;) {
        const std::int64_t start = marks.intervals[index][0].load(relaxed);
        const std::int64_t stop = marks.intervals[index][1].load(relaxed);
        const std::int64_t end = stop == 0 ? until : std::min(stop, until);
        inside += std::max<std::int64_t>(0, end - std::max(start, from));
        if (start <= from) {
            break;
        }
    }
    return inside;
}

[[gnu::hot]] Clock stretch(std::int64_t from, std::int64_t until)
{
    return {until - from, marks.count.load(relaxed) == 0 ? 0 : marked_part(from, until)};
}

Clock operator+(Clock one, Clock other) { return {one.all + other.all, one.marked + other.marked}; }
Clock operator-(Clock one, Clock other) { return {one.all - other.all, one.marked - other.marked}; }

// The histogram's buckets: 1/8 of a power of two wide.
using Buckets = LogBuckets<3, wait_buckets>;
static_assert(Buckets::per_power == wait_buckets_per_power);

} // namespace

[[gnu::hot]] void MeetingClock::raise(Clock clock)
{
    atomic_max(all, clock.all);
    atomic_max(marked, clock.marked);
}

[[gnu::hot]] void MeetingClock::set(Clock clock)
{
    all.store(clock.all, relaxed);
    marked.store(clock.marked, relaxed);
}

[[gnu::hot]] Clock MeetingClock::read() const { return {all.load(relaxed), marked.load(relaxed)}; }

void MeetingClock::clear()
{
    all.store(0, relaxed);
    marked.store(0, relaxed);
}

[[gnu::hot]] ThreadTime &this_thread()
{
    if (own != nullptr) {
        return *own;
    }
    const std::size_t index = threads_used.fetch_add(1, relaxed);
    ThreadTime *made = index < max_threads ? &threads[index] : &beyond;
    made->kernel_thread = kernel_thread();
    made->initial = index == 0;
    made->depth = index == 0 ? 0 : 1;
    made->since = index == 0 ? loaded_at : 0;
    made->sites = index < max_threads ? &site_tables[index] : nullptr;
    own = made;
    return *made;
}

[[gnu::hot]] void enter_runtime(ThreadTime &thread, std::int64_t time)
{
    if (thread.depth++ == 0) {
        thread.useful = thread.useful + stretch(thread.since, time);
    }
}

[[gnu::hot]] void leave_runtime(ThreadTime &thread, std::int64_t time)
{
    if (--thread.depth == 0) {
        thread.since = time;
    }
}

[[gnu::hot]] Clock useful_at(const ThreadTime &thread, std::int64_t time)
{
    return thread.depth == 0 ? thread.useful + stretch(thread.since, time) : thread.useful;
}

[[gnu::hot]] void set_ideal(ThreadTime &thread, Clock clock)
{
    thread.meeting = nullptr;
    thread.lag = clock - thread.useful;
}

namespace {

// The record of the other sites that a wait of KIND in REGION_SITE's region,
// at a call of FUNCTION, is counted in.
WaitSite &other_site(ThreadTime &thread, Wait kind, int region_site, const char *function)
{
    auto *const first = std::next(thread.sites->begin(), max_wait_sites);
    auto *const end = std::next(first, thread.others_used);
    const auto same = [&](const WaitSite &held) {
        return held.kind == kind && held.region_site == region_site && held.function == function;
    };
    auto *found = std::find_if(first, end, same);
    if (found == end && thread.others_used >= max_other_sites) {
        region_site = untold_region;
        function = nullptr;
        found = std::find_if(first, end, same);
    }
    if (found == end) { // one of max_other_sites, or then one a kind: room for each
        ++thread.others_used;
        found->kind = kind;
        found->region_site = region_site;
        found->function = function;
    }
    return *found;
}

} // namespace

[[gnu::hot]] void count_wait(ThreadTime &thread, Wait kind, const void *site, int region_site,
                             std::int64_t nanoseconds, const char *function, Caused late)
{
    if (thread.sites == nullptr) {
        return;
    }
    auto &sites = *thread.sites;
    const auto address = reinterpret_cast<std::uintptr_t>(site);
    const auto same = [&](const WaitSite &held) {
        return held.address == address && held.kind == kind && held.region_site == region_site;
    };
    int &last = thread.last_site[static_cast<std::size_t>(kind)];
    WaitSite *found = &sites[static_cast<std::size_t>(last)];
    if (thread.sites_used == 0 || !same(*found)) {
        found = nullptr;
        for (int index = 0; index < thread.sites_used && found == nullptr; ++index) {
            if (same(sites[static_cast<std::size_t>(index)])) {
                found = &sites[static_cast<std::size_t>(index)];
                last = index;
            }
        }
    }
    if (found == nullptr && thread.sites_used == max_wait_sites) {
        found = &other_site(thread, kind, region_site, function);
    }
    else if (found == nullptr) {
        found = &sites[static_cast<std::size_t>(thread.sites_used)];
        last = thread.sites_used++;
        found->address = address;
        found->kind = kind;
        found->region_site = region_site;
        found->function = function;
    }
    const auto value = static_cast<std::uint64_t>(std::max<std::int64_t>(nanoseconds, 0));
    ++found->count;
    found->total += value;
    found->longest = std::max(found->longest, value);
    ++found->histogram[Buckets::of(value)];
    if (late.delay >= 0) {
        count_late(*found, late.thread, static_cast<std::uint64_t>(late.delay));
    }
}

void mark_start(std::int64_t time)
{
    const std::size_t count = marks.count.load(relaxed);
    if (count > 0 && count <= max_marks && marks.intervals[count - 1][1].load(relaxed) == 0) {
        return; // already started
    }
    if (count >= max_marks) {
        marks.intervals[max_marks - 1][1].store(0, relaxed);
        return;
    }
    marks.intervals[count][0].store(time, relaxed);
    marks.intervals[count][1].store(0, relaxed);
    marks.count.store(count + 1, std::memory_order_release);
}

void mark_stop(std::int64_t time)
{
    const std::size_t count = std::min(marks.count.load(relaxed), max_marks);
    if (count > 0 && marks.intervals[count - 1][1].load(relaxed) == 0) {
        marks.intervals[count - 1][1].store(time, relaxed);
    }
}

void restart_marks(std::int64_t time)
{
    marks.count.store(0);
    const std::size_t used = std::min(threads_used.load(), max_threads);
    for (std::size_t index = 0; index < used; ++index) {
        // Read on their threads too: a stale value costs one stretch.
        threads[index].useful.marked = 0;
        threads[index].lag.marked = 0;
    }
    (void)time;
}

Clock span(std::int64_t from, std::int64_t until) { return stretch(from, until); }

void count_team(int size) { atomic_max(largest_team, size); }

namespace {

// A thread's sites (OTHERS false) or its other sites, and what makes two
// records of either one.
const WaitSite *held_from(std::size_t index, bool others)
{
    return std::next(threads[index].sites->begin(), others ? max_wait_sites : 0);
}
const WaitSite *held_end(std::size_t index, bool others)
{
    return std::next(held_from(index, others),
                     others ? threads[index].others_used : threads[index].sites_used);
}
bool same_wait(const WaitSite &one, const WaitSite &other, bool others)
{
    return (others ? other.function == one.function : other.address == one.address) &&
           other.kind == one.kind && other.region_site == one.region_site;
}

// Whether a thread before INDEX has SITE's.
bool seen_before(const WaitSite &site, std::size_t index, bool others)
{
    for (std::size_t before = 0; before < index; ++before) {
        if (std::any_of(held_from(before, others), held_end(before, others),
                        [&](const WaitSite &other) { return same_wait(site, other, others); })) {
            return true;
        }
    }
    return false;
}

LateOnes<max_threads * max_late_threads + 1> late_ones; // written at the end, by one thread

// The line of FIRST's site and kind, or other sites: the counts of the
// threads from INDEX to USED together.
void write_wait(Output &output, const WaitSite &first, std::size_t index, std::size_t used,
                bool others, const char *program)
{
    std::uint64_t waits = 0;
    std::uint64_t total = 0;
    std::uint64_t longest = 0;
    std::array<std::uint64_t, wait_buckets> histogram{};
    late_ones.clear();
    for (std::size_t other = index; other < used; ++other) {
        const WaitSite *const end = held_end(other, others);
        const WaitSite *const match =
            std::find_if(held_from(other, others), end,
                         [&](const WaitSite &site) { return same_wait(first, site, others); });
        if (match == end) {
            continue;
        }
        waits += match->count;
        total += match->total;
        longest = std::max(longest, match->longest);
        for (std::size_t bucket = 0; bucket < wait_buckets; ++bucket) {
            histogram[bucket] += match->histogram[bucket];
        }
        std::for_each(match->late.begin(), std::next(match->late.begin(), match->late_used),
                      [](const Late &one) { late_ones.add(one); });
        if (match->late.back().count > 0) {
            late_ones.add(match->late.back());
        }
    }
    // The median (of an even count, the lower middle one): its bucket's
    // middle, within half its width.
    const std::size_t bucket = Buckets::holding(
        (waits + 1) / 2, [&histogram](std::size_t index) { return histogram[index]; });
    const std::uint64_t low = Buckets::first(bucket);
    const std::uint64_t high = std::min(Buckets::first(bucket + 1), longest + 1);
    const std::uint64_t median = std::min(low + (high - low) / 2, longest);
    const char *const function = first.function != nullptr ? first.function : "-";
    if (others) {
        output.line("other_waits", static_cast<int>(first.kind), first.region_site, waits, total,
                    median, (high - low) / 2, longest, function);
        late_ones.write(output);
        return;
    }
    const Object object = object_of(first.address, program);
    output.add("wait ", static_cast<int>(first.kind), ' ', Hex{first.address}, ' ',
               Hex{object.base}, ' ', first.region_site, ' ', waits, ' ', total, ' ', median, ' ',
               (high - low) / 2, ' ', longest, ' ', function, " object ", object.path, '\n');
    late_ones.write(output);
}

} // namespace

void write_waits(Output &output, std::int64_t exit_time, const char *program)
{
    const std::size_t count = std::min(marks.count.load(), max_marks);
    std::int64_t marked = 0;
    for (std::size_t index = 0; index < count; ++index) {
        const std::int64_t stop = marks.intervals[index][1].load();
        marked += (stop == 0 ? exit_time : stop) - marks.intervals[index][0].load();
    }
    output.line("interval", exit_time - loaded_at, marked, count, largest_team.load());
    write_cpus(output, "cpus_allowed", allowed);
    const std::size_t used = std::min(threads_used.load(), max_threads);
    for (std::size_t index = 0; index < used; ++index) {
        const ThreadTime &thread = threads[index];
        settle(thread);
        const Clock useful = useful_at(thread, exit_time);
        output.add("useful ", thread.kernel_thread, ' ', thread.initial ? 1 : 0, ' ', useful.all,
                   ' ', useful.marked, ' ', useful.all + thread.lag.all, ' ',
                   useful.marked + thread.lag.marked, ' ', thread.migrations);
        write_cpus(output, "", thread.cpus);
    }
    output.add(waits_line);
    // Each site and kind once, every thread's counts together; then the
    // other sites likewise.
    for (const bool others : {false, true}) {
        for (std::size_t index = 0; index < used; ++index) {
            std::for_each(held_from(index, others), held_end(index, others),
                          [&](const WaitSite &site) {
                              if (!seen_before(site, index, others)) {
                                  write_wait(output, site, index, used, others, program);
                              }
                          });
        }
    }
    // The threads beyond the table: how many.
    if (threads_used.load() > max_threads) {
        output.line("threads_untimed", threads_used.load() - max_threads);
    }
}

void forget_waits(std::int64_t time)
{
    const int depth = this_thread().depth;
    const std::size_t used = std::min(threads_used.load(), max_threads);
    std::fill_n(threads.begin(), used, ThreadTime{});
    for (std::size_t index = 0; index < used; ++index) {
        std::fill(site_tables[index].begin(), site_tables[index].end(), WaitSite{});
    }
    threads[0].kernel_thread = kernel_thread();
    threads[0].initial = true;
    threads[0].depth = depth;
    threads[0].since = time;
    threads[0].sites = site_tables.data();
    threads_used.store(1);
    own = threads.data();
    loaded_at = time;
    largest_team.store(0);
    read_allowed();
    marks.count.store(0);
    forget_guards();
}

namespace {

__attribute__((constructor)) void on_load()
{
    loaded_at = now();
    read_allowed();
    this_thread();
}

} // namespace

} // namespace tracer
