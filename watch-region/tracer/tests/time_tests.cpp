// The tracer's tests of time: the slowest region's spans, the call sites'
// medians, the threads' waits and ideal clocks, and the clock itself.
#include "tracer_tests.h"

#include "clock.h"
#include "event_table.h"
#include "region_spans.h"
#include "regions.h"
#include "site_stats.h"
#include "trace_file.h"
#include "waits.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <sched.h>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

using namespace tracer;

// Spans merged as the report's chart merges them: those GAP apart or less,
// or nested, as one.
void merged_spans()
{
    struct Case {
        const char *name;
        std::vector<Span> spans;
        std::int64_t gap;
        std::vector<std::pair<std::int64_t, std::int64_t>> merged;
    };
    for (const Case &test : {
             Case{"more than the gap apart", {{0, 10}, {21, 30}}, 10, {{0, 10}, {21, 30}}},
             Case{"the gap apart: one", {{0, 10}, {20, 30}}, 10, {{0, 30}}},
             Case{"a span around those before it",
                  {{5, 6}, {8, 9}, {20, 21}, {2, 40}},
                  0,
                  {{2, 40}}},
             Case{"reaching back two",
                  {{0, 1}, {10, 11}, {20, 21}, {12, 30}},
                  1,
                  {{0, 1}, {10, 30}}},
         }) {
        std::vector<Span> spans = test.spans;
        spans.resize(merge_spans(spans.data(), spans.size(), test.gap));
        expect_true(test.name, std::equal(spans.begin(), spans.end(), test.merged.begin(),
                                          test.merged.end(), [](const Span &got, const auto &want) {
                                              return got.start == want.first &&
                                                     got.end == want.second;
                                          }));
    }
}

// The lengths of the slowest region's spans and joins in the trace at PATH.
std::vector<std::pair<std::string, std::int64_t>> kept_spans(const char *path)
{
    const std::string text = trace_text(path);
    std::istringstream lines(text.substr(0, text.find("\ntable ")));
    std::vector<std::pair<std::string, std::int64_t>> kept;
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string name;
        std::int64_t time = 0;
        std::int64_t tid = 0;
        std::int64_t length = 0;
        if (fields >> name >> time >> tid >> length &&
            (name == "slowest_wait" || name == "slowest_task" || name == "join")) {
            kept.emplace_back(name, name == "join" ? 0 : length);
        }
    }
    std::sort(kept.begin(), kept.end());
    return kept;
}

// A region on this thread that sleeps MILLISECONDS, with a wait WAIT long
// and, if INNER, a region inside it whose wait is INNER long.
void spans_region(int milliseconds, std::int64_t wait, std::int64_t inner = 0, bool joined = false)
{
    auto region = std::make_unique<Region>();
    region->reset();
    region_begin(*region, site_a());
    body_begin(*region, 0, 1);
    if (inner != 0) {
        auto nested = std::make_unique<Region>();
        nested->reset();
        region_begin(*nested, site_a());
        body_begin(*nested, 0, 1);
        const std::int64_t start = now();
        record_wait(Wait::barrier, nested->id, 0, start, start + inner);
        body_end(*nested, 0);
        region_end(*nested);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
    const std::int64_t start = now();
    record_wait(Wait::barrier, region->id, 0, start, start + wait);
    record_wait(Wait::task, region->id, 0, start, start + wait + 1);
    if (joined) {
        keep_join(region->id, start);
    }
    body_end(*region, 0);
    region_end(*region);
}

// With the table keeping only what the report reads, the slowest region's
// spans are kept apart, whichever of its two buffers the thread holds them
// in: a faster region after it takes the other buffer; a slower one, the
// one a faster region wrote; a region inside another is not kept.
void slowest_spans(const char *path)
{
    keep_events({Keep::report, capacity});
    forget_events();
    forget_regions();
    spans_region(20, 111);
    spans_region(0, 444);
    write_trace_file(path, now());
    using Kept = std::vector<std::pair<std::string, std::int64_t>>;
    expect_true("the slowest, a faster one after it",
                kept_spans(path) == Kept{{"slowest_task", 112}, {"slowest_wait", 111}});
    spans_region(60, 333, 666, true);
    spans_region(0, 555);
    write_trace_file(path, now());
    expect_true("a slower one, after a faster one; not the region inside it",
                kept_spans(path) ==
                    Kept{{"join", 0}, {"slowest_task", 334}, {"slowest_wait", 333}});
    expect_true("nothing of the regions in the table",
                trace_text(path).find("\ntable 0 ") != std::string::npos);
    write_trace_file(path, 1);
    expect_true("no join after the exit",
                kept_spans(path) == Kept{{"slowest_task", 334}, {"slowest_wait", 333}});
}

struct MedianCase {
    const char *name;
    std::vector<std::int64_t> values;
    std::uint64_t median;
    std::uint64_t error;
};

std::vector<std::int64_t> repeated(std::int64_t value, int count)
{
    std::vector<std::int64_t> values(static_cast<std::size_t>(count), value);
    return values;
}

// FIRST to LAST, from the last down.
std::vector<std::int64_t> counted(std::int64_t first, std::int64_t last)
{
    std::vector<std::int64_t> values;
    for (std::int64_t value = last; value >= first; --value) {
        values.push_back(value);
    }
    return values;
}

std::vector<std::int64_t> two_groups(std::int64_t low, std::int64_t high, int each)
{
    std::vector<std::int64_t> values = repeated(low, each);
    values.insert(values.end(), static_cast<std::size_t>(each), high);
    return values;
}

// A launch's fork takes each value in turn; its median and error bound.
// Beyond 16 launches: 1000..1019 share the bucket 992..1023, and 500 and 501
// the bucket 496..511, whose middle is 503; 100 and 1000, the buckets
// 100..103 and 992..1023, and the median lies in 546..551.5.
void medians()
{
    const std::vector<MedianCase> cases{
        {"one launch", {408439}, 408439, 0},
        {"two launches: their mean", {100, 300}, 200, 0},
        {"an odd count", {30, 10, 20}, 20, 0},
        {"an even count, rounded down", counted(1, 16), 8, 0},
        {"a negative time", {-5}, 0, 0},
        {"zeros beyond the exact ones", repeated(0, 40), 0, 0},
        {"one value beyond the exact ones", repeated(1000, 17), 1000, 0},
        {"one bucket, within the launches' range", counted(1000, 1019), 1009, 10},
        {"a thousand launches", counted(1, 1000), 503, 8},
        {"the middle two in buckets apart", two_groups(100, 1000, 9), 548, 4},
    };
    for (const MedianCase &test : cases) {
        auto phases = std::make_unique<Phases>();
        for (const std::int64_t value : test.values) {
            phases->add({value, 0, 0, 0});
        }
        const PhaseStats stats = phases->stats(0);
        const int before = failures;
        expect("median", stats.median, test.median);
        expect("error", stats.median_error, test.error);
        if (failures != before) {
            std::fprintf(stderr, "  in: %s\n", test.name);
        }
    }
}

// Useful time and the ideal clock, on threads' records driven by hand at
// given times; then the waits' counts and median as the trace gives them.
void waits(const char *path)
{
    const auto fresh = [](int depth) {
        auto thread = std::make_unique<ThreadTime>();
        thread->depth = depth;
        return thread;
    };
    // Runs the program from 0, waits 100 to 150, runs again.
    auto main_thread = fresh(0);
    enter_runtime(*main_thread, 100);
    leave_runtime(*main_thread, 150);
    expect("useful, a wait taken out", static_cast<std::uint64_t>(useful_at(*main_thread, 170).all),
           120);
    // A worker: idle until 100, a body to 400 in which it waits 200 to 350
    // but runs a task 250 to 300 meanwhile.
    auto worker = fresh(1);
    leave_runtime(*worker, 100);
    enter_runtime(*worker, 200);
    leave_runtime(*worker, 250);
    enter_runtime(*worker, 300);
    leave_runtime(*worker, 350);
    enter_runtime(*worker, 400);
    expect("useful, a task run in a wait", static_cast<std::uint64_t>(worker->useful.all), 200);
    expect("useful, idle between bodies", static_cast<std::uint64_t>(useful_at(*worker, 900).all),
           200);
    // A barrier: the main thread arrives with 120 of useful time, the worker
    // with 200; both leave at the latest, and the main thread goes on.
    MeetingClock barrier{};
    barrier.clear();
    enter_runtime(*main_thread, 170);
    barrier.raise(ideal(*main_thread));
    barrier.raise(ideal(*worker));
    wait_until(*main_thread, barrier.read());
    leave_runtime(*main_thread, 500);
    expect("ideal, after the barrier", static_cast<std::uint64_t>(ideal_at(*main_thread, 530).all),
           230);
    expect("ideal, useful time left alone",
           static_cast<std::uint64_t>(useful_at(*main_thread, 530).all), 150);
    // A barrier left with its clock read later: the worker leaves at 450
    // with 200 of useful time and an ideal clock of 200, the barrier's clock
    // 480; it runs to 500 before its ideal clock is read: 480 + 50.
    MeetingClock later_read{};
    later_read.set({480, 0});
    meet_later(*worker, later_read);
    leave_runtime(*worker, 450);
    enter_runtime(*worker, 500);
    expect("ideal, a meeting read later", static_cast<std::uint64_t>(ideal(*worker).all), 530);
    // Marks: 1000 to 1100, then 1200 on; a stretch 900 to 1250 has 150 in them.
    mark_start(1000);
    mark_stop(1100);
    mark_start(1200);
    auto marked = fresh(0);
    marked->since = 900;
    enter_runtime(*marked, 1250);
    expect("marked useful", static_cast<std::uint64_t>(marked->useful.marked), 150);
    expect("whole useful", static_cast<std::uint64_t>(marked->useful.all), 350);
    // Waits of one site: their count, total, longest and median; and the
    // late ones they name (a thread and the delay it caused): 4 threads,
    // then the fifth as other.
    ThreadTime &own = this_thread();
    const std::array<std::array<std::int64_t, 3>, 6> lock_waits{
        {{100, 2, 50}, {200, 7, 40}, {300, 2, 30}, {20000, 9, 20000}, {0, 4, 5}, {0, 6, 7}}};
    for (const auto &[wait, thread, delay] : lock_waits) {
        count_wait(own, Wait::lock, site_a(), -1, wait, nullptr,
                   Caused{static_cast<int>(thread), delay});
    }
    // Waits of 5 ns at sites of their own: 23 fill the thread's sites; past
    // them, kept by kind (lock 3, mpi 8), region and function, past 8 of
    // those (locks in regions 10 on) by kind alone, in that order.
    const auto *const near_a = static_cast<const char *>(site_a());
    for (int at = 1; at < max_wait_sites; ++at) {
        count_wait(own, Wait::barrier, near_a + at, -1, 5);
    }
    count_wait(own, Wait::mpi, near_a + 30, 3, 5, "MPI_Alltoall");
    count_wait(own, Wait::mpi, near_a + 31, 3, 5, "MPI_Alltoall");
    std::string expected_others = "other_waits 8 3 2 10 5 0 5 MPI_Alltoall\n";
    for (int region = 3; region < 12; ++region) {
        count_wait(own, Wait::lock, near_a + 40 + region, region, 5);
        expected_others +=
            region < 10 ? "other_waits 3 " + std::to_string(region) + " 1 5 5 0 5 -\n" : "";
    }
    expected_others += "other_waits 3 -2 2 10 5 0 5 -\n";
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
    const int file = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    {
        Output output(file);
        write_waits(output, now(), "tests");
    }
    close(file);
    std::ifstream written(path);
    std::string line;
    bool found = false;
    std::string other_lines;
    std::string late_line;
    while (std::getline(written, line)) {
        other_lines += line.rfind("other_waits ", 0) == 0 ? line + '\n' : "";
        if (line.rfind("wait 3 ", 0) != 0) {
            continue;
        }
        std::getline(written, late_line);
        std::istringstream fields(line.substr(5));
        std::string address;
        std::string base;
        int kind = 0;
        int region_site = 0;
        std::uint64_t count = 0;
        std::uint64_t total = 0;
        std::uint64_t median = 0;
        std::uint64_t error = 0;
        std::uint64_t longest = 0;
        fields >> kind >> address >> base >> region_site >> count >> total >> median >> error >>
            longest;
        found = true;
        expect("wait kind", static_cast<std::uint64_t>(kind), static_cast<int>(Wait::lock));
        expect("wait count", count, 6);
        expect("wait total", total, 20600);
        expect("wait longest", longest, 20000);
        // Of an even count, the lower middle one: 100, within its bucket's
        // half width, 1/16 of it.
        expect_true("wait median within its error", median <= 100 + error && 100 <= median + error);
        expect_true("wait median error within 1/16", error * 16 <= 100);
    }
    expect_true("the late ones, the largest delay first",
                late_line == "late 9:1:20000,2:2:80,7:1:40,other:1:7,4:1:5");
    expect_true("a wait line", found);
    expect_true("the other sites' lines", other_lines == expected_others);
}

// The clock: its mapping of ticks, as a table, then the clock itself against
// the monotonic clock on two threads, past the point where the rate is known.
void clock_group()
{
    constexpr std::uint64_t scaled = std::uint64_t{1} << 31; // half a nanosecond a tick
    const Rate rate{scaled, 2 * anchor_span};
    const Anchor anchor{1000, 5000};
    struct Mapped {
        const char *what;
        Anchor anchor;
        Rate rate;
        std::uint64_t ticks;
        std::int64_t time;
    };
    const std::array mapped{
        Mapped{"at the anchor", anchor, rate, 1000, 5000},
        Mapped{"half a nanosecond a tick", anchor, rate, 1000 + 300, 5150},
        Mapped{"the last tick of the span", anchor, rate, 1000 + 2 * anchor_span - 1,
               5000 + anchor_span - 1},
        Mapped{"the span over", anchor, rate, 1000 + 2 * anchor_span, -1},
        Mapped{"the counter gone back", anchor, rate, 999, -1},
        Mapped{"no rate yet", anchor, Rate{0, 0}, 1001, -1},
    };
    for (const Mapped &row : mapped) {
        expect(row.what, static_cast<std::uint64_t>(time_of(row.anchor, row.rate, row.ticks)),
               static_cast<std::uint64_t>(row.time));
    }
    const Anchor first{1000000, 0};
    const Rate from_baseline = rate_between(first, {1000000 + 4 * rate_baseline, rate_baseline});
    expect("the rate over a baseline", from_baseline.scaled, std::uint64_t{1} << 30);
    expect("the ticks of a span", from_baseline.span_ticks, 4 * anchor_span);
    expect("no rate before a baseline",
           rate_between(first, {1000000 + 4 * rate_baseline, rate_baseline - 1}).scaled, 0);
    expect("no rate from a counter gone back", rate_between(first, {999999, rate_baseline}).scaled,
           0);
    const Rate held{1000000, 0};
    expect_true("a rate within a thousandth holds", rate_holds(held, {1001000, 0}));
    expect_true("a rate beyond a thousandth does not", !rate_holds(held, {998999, 0}));

    // Each thread reads now() between two reads of the clock, for 40 ms.
    use_counter(true);
    std::atomic<std::int64_t> worst{0};
    std::atomic<int> back{0};
    const auto compare = [&worst, &back] {
        constexpr std::int64_t run = 4 * rate_baseline;
        const std::int64_t end = clock_now() + run;
        std::int64_t last = 0;
        for (std::int64_t before = clock_now(); before < end; before = clock_now()) {
            const std::int64_t time = now();
            const std::int64_t after = clock_now();
            const std::int64_t off = std::max<std::int64_t>(before - time, time - after);
            if (off > worst.load()) {
                worst.store(off);
            }
            back += time < last ? 1 : 0;
            last = time;
        }
    };
    std::thread other(compare);
    compare();
    other.join();
    // A thread put off between its reads widens its pair: 2 µs allows for
    // a loaded machine, where a wrong rate or anchor is off by milliseconds.
    constexpr std::int64_t allowed = 2000;
    expect_true("now() within 2 µs of the clock", worst.load() <= allowed);
    expect("times gone back", static_cast<std::uint64_t>(back.load()), 0);

    // The CPU read with the time, on each CPU this thread may use in turn;
    // the second read of each, the first having anchored the clock anew.
    cpu_set_t own;
    sched_getaffinity(0, sizeof(own), &own);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (CPU_ISSET(cpu, &own)) {
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(cpu, &one);
            sched_setaffinity(0, sizeof(one), &one);
            now_on_cpu();
            expect("the CPU read with the time", static_cast<std::uint64_t>(now_on_cpu().cpu),
                   static_cast<std::uint64_t>(cpu));
        }
    }
    sched_setaffinity(0, sizeof(own), &own);
}
