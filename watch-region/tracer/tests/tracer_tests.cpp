// The tracer's own tests, one group a run: tracer_tests GROUP [TRACE_PATH].
// Each check that fails prints what it got and what it expected; the exit
// status is 1 if any did.
#include "clock.h"
#include "event_table.h"
#include "region_spans.h"
#include "regions.h"
#include "site_stats.h"
#include "table_memory.h"
#include "trace_file.h"
#include "waits.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <memory>
#include <sched.h>
#include <sstream>
#include <string>
#include <string_view>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using namespace tracer;

int failures = 0;

void expect(std::string_view what, std::uint64_t got, std::uint64_t expected)
{
    if (got != expected) {
        std::fprintf(stderr, "%.*s: %llu, not %llu\n", static_cast<int>(what.size()), what.data(),
                     static_cast<unsigned long long>(got),
                     static_cast<unsigned long long>(expected));
        ++failures;
    }
}

void expect_true(std::string_view what, bool holds) { expect(what, holds ? 1 : 0, 1); }

const void *site_a() { return reinterpret_cast<const void *>(&site_a); }

// A launch through the entries' interface: a team of TEAM, each thread's
// body run in turn on this thread.
void launch(const void *site, int team)
{
    auto region = std::make_unique<Region>();
    region->reset();
    region_begin(*region, site);
    for (int thread = 0; thread < team; ++thread) {
        body_begin(*region, thread, team);
        body_end(*region, thread);
    }
    region_end(*region);
}

// An event from another thread, whose chunk of the table it leaves mostly
// empty; three launches of a team of two from one site; two launches with
// given phases, useful times, body and ideal times from another; an event
// with every field given; then the trace.
void trace_read_back(const char *path)
{
    std::thread([] { record(Event::create_call, 8, 4, 10, 6, 123456790); }).join();
    for (int launches = 0; launches < 3; ++launches) {
        launch(site_a(), 2);
    }
    const int site_b = site_of(static_cast<const char *>(site_a()) + 1);
    const auto body = reinterpret_cast<std::uintptr_t>(&site_a);
    add_launch(site_b, 3, {10, 200, 3000, 40000}, {100, 40, 10}, 3, body, 150);
    add_launch(site_b, 5, {14, 260, 3300, 40008}, {20, 60}, 2, 0, 90);
    record(Event::create_call, 7, 3, 9, 5, 123456789);
    // A thread whose bodies start on CPUs 5 and 70, one not known, 70 again,
    // 5 and one past the set: moved 3 times.
    std::thread([] {
        for (const int cpu : {5, 70, -1, 70, 5, max_cpus + 6}) {
            count_cpu(this_thread(), cpu);
        }
    }).join();
    // A wait that one event holds, and a task's body too long for one.
    record_wait(Wait::lock, 7, 9, 200000000, 200000500);
    record_wait(Wait::task, 7, 11, 300000000, 300000000 + (std::int64_t{1} << 31));
    write_trace_file(path, now());
}

// Two threads fill the table between them (the exit takes the last of the
// events asked for); then three threads, this one first, record events that
// it has no room for.
void table_full()
{
    keep_events({Keep::first, capacity});
    forget_events();
    const auto fill = [](std::int64_t from, std::size_t count) {
        for (std::size_t event = 0; event < count; ++event) {
            record(Event::body_start, 1, 0, 0, 0, from + static_cast<std::int64_t>(event));
        }
    };
    constexpr auto half = capacity / 2;
    constexpr auto table = capacity - 1;
    constexpr auto whole = static_cast<std::int64_t>(capacity);
    std::thread(fill, 1, half).join();
    std::thread(fill, 1 + whole, half - 1).join();
    expect("events kept", count_kept(), table);
    std::uint64_t sum = 0;
    visit_kept([&sum](const Record &event) { sum += static_cast<std::uint64_t>(event.time); });
    expect("their times' sum", sum, half * half + half * capacity - capacity);
    fill(5 * whole, 1);
    std::thread first(fill, 6 * whole, 1000);
    std::thread second(fill, 7 * whole, 1000);
    first.join();
    second.join();
    expect("events kept when full", count_kept(), table);
    expect("events left out", static_cast<std::uint64_t>(total_left_out()), 2001);
    expect("first left out", static_cast<std::uint64_t>(first_left_out()), 5 * whole);
    // 64 events and the exit: no thread holds slots that another could use.
    keep_events({Keep::first, 65});
    forget_events();
    std::thread(fill, 1, 40).join();
    std::thread(fill, 41, 40).join();
    expect("a small table's events", count_kept(), 64);
    expect("a small table's left out", static_cast<std::uint64_t>(total_left_out()), 16);
}

// A parent with a region, a site, a full table and events left out forks:
// the child has only its own load, the parent all it had.
void fork_reset()
{
    launch(site_a(), 1);
    while (total_left_out() < 3) {
        record(Event::body_start);
    }
    const std::size_t kept_before = count_kept();
    const pid_t child = fork();
    if (child == 0) {
        expect("child's events", count_kept(), 1);
        visit_kept([](const Record &event) {
            expect("child's load", static_cast<std::uint64_t>(event.event), 0);
            expect("child's thread", static_cast<std::uint64_t>(event.kernel_thread),
                   static_cast<std::uint64_t>(getpid()));
        });
        expect("child's events left out", static_cast<std::uint64_t>(total_left_out()), 0);
        expect("child's first left out", static_cast<std::uint64_t>(first_left_out()), 0);
        expect("child's sites", static_cast<std::uint64_t>(sites_in_use()), 0);
        expect("child's regions", static_cast<std::uint64_t>(regions_launched.load()), 0);
        expect("child's site launches", site_at(site_of(site_a())).phases.launches(), 0);
        _exit(failures == 0 ? 0 : 1);
    }
    int status = -1;
    waitpid(child, &status, 0);
    expect("child's status", static_cast<std::uint64_t>(status), 0);
    expect("parent's events", count_kept(), kept_before);
    expect("parent's events left out", static_cast<std::uint64_t>(total_left_out()), 3);
    expect("parent's sites", static_cast<std::uint64_t>(sites_in_use()), 1);
    expect("parent's regions", static_cast<std::uint64_t>(regions_launched.load()), 1);
}

// Threads record more events than the ring holds; the table is written
// while they run: every record written is whole and one that was recorded,
// and those kept and left out add up. Then one thread's last events are
// the ones kept.
void keep_last()
{
    constexpr std::size_t table = 4096;
    keep_events({Keep::last, table + 1});
    forget_events();
    constexpr int threads = 4;
    constexpr std::int64_t each = 200000;
    std::atomic<std::int64_t> recorded{0};
    const auto fill = [&recorded](int thread) {
        for (std::int64_t event = 0; event < each; ++event) {
            record(Event::join, thread, thread, event, event ^ thread,
                   event * threads + thread + 1);
            recorded.fetch_add(1, std::memory_order_relaxed);
        }
    };
    std::vector<std::thread> running;
    running.reserve(threads);
    for (int thread = 0; thread < threads; ++thread) {
        running.emplace_back(fill, thread);
    }
    while (recorded.load() < each / 10) {
    }
    const std::size_t kept = count_kept();
    std::vector<bool> seen(threads * each + 1);
    visit_kept([&seen](const Record &event) {
        const bool whole = event.region >= 0 && event.region < threads && event.link < each &&
                           event.time == event.link * threads + event.region + 1 &&
                           event.site == (event.link ^ event.region) &&
                           event.thread == event.region;
        expect_true("a record whole and recorded", whole && !seen[event.time]);
        seen[event.time] = true;
    });
    for (std::thread &thread : running) {
        thread.join();
    }
    expect_true("kept at most the table", kept <= table);
    expect("kept and left out", kept + total_left_out(), threads * each);
    const auto first = std::find(seen.begin() + 1, seen.end(), false) - seen.begin();
    expect("first left out", first_left_out(), first);
    forget_events();
    constexpr auto events = static_cast<std::int64_t>(3 * table);
    for (std::int64_t event = 1; event <= events; ++event) {
        record(Event::join, 0, 0, 0, 0, event);
    }
    expect("the last kept", count_kept(), table);
    std::int64_t oldest = events;
    visit_kept([&oldest](const Record &event) { oldest = std::min(oldest, event.time); });
    expect("the oldest kept", oldest, events - table + 1);
    expect("the first left out", first_left_out(), 1);
}

std::string trace_text(const char *path)
{
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// Regions of 1 to 5 ms, in no order, and room for two of them: the two
// slowest kept whole, slowest first, the others' events counted.
void keep_slowest(const char *path)
{
    keep_events({Keep::slowest, 2 * 6 + 1});
    forget_events();
    // Regions far apart in length; which two are the slowest is read off
    // the clock all the same, from the launch the tracer took, since a
    // loaded machine oversleeps (a thread put off between the tracer's
    // clock read and this one's loses a tick of 4 ms: the lengths are 8 ms
    // apart, or more).
    std::vector<std::array<std::int64_t, 3>> lengths; // length, region, launch
    for (const int milliseconds : {1, 28, 2, 14, 4}) {
        auto region = std::make_unique<Region>();
        region->reset();
        region_begin(*region, site_a());
        const std::int64_t began = region->launch;
        for (int thread = 0; thread < 2; ++thread) {
            body_begin(*region, thread, 2);
            std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
            body_end(*region, thread);
        }
        region_end(*region);
        lengths.push_back({now() - began, region->id, began});
    }
    std::sort(lengths.rbegin(), lengths.rend());
    std::vector<std::int64_t> slowest_two{lengths[0][1], lengths[1][1]};
    // The time left out first: the first launch of the regions dropped.
    const std::int64_t first_dropped = std::min({lengths[2][2], lengths[3][2], lengths[4][2]});
    write_trace_file(path, now());
    std::istringstream lines(trace_text(path).substr(trace_text(path).find("\nslowest\n")));
    std::vector<std::int64_t> launched;
    std::string name;
    for (std::string line; std::getline(lines, line) && line.rfind("table", 0) != 0;) {
        std::int64_t time = 0;
        std::int64_t tid = 0;
        std::int64_t level = 0;
        std::int64_t region = 0;
        if (std::istringstream(line) >> name >> time >> tid >> level >> region &&
            name == "launch") {
            launched.push_back(region);
        }
    }
    expect_true("slowest regions kept", launched == slowest_two);
    std::int64_t left = 0;
    std::int64_t first = 0;
    std::istringstream(trace_text(path).substr(trace_text(path).find("\nleft_out "))) >> name >>
        left >> first;
    expect("their events left out", left, 18);
    expect("the first launch dropped", static_cast<std::uint64_t>(first),
           static_cast<std::uint64_t>(first_dropped));
    expect_true("what was kept", trace_text(path).find("\nkeep slowest 13\n") != std::string::npos);
}

// A child that records a region and is sent SIGTERM dies by it, its trace
// written; a stop signal the process was started ignoring stays ignored.
void stopped(const char *path)
{
    const pid_t child = fork();
    if (child == 0) {
        setenv("WATCH_REGION_TRACE", path, 1); // NOLINT(concurrency-mt-unsafe): one thread
        catch_stop_signals();
        launch(site_a(), 2);
        _exit(raise(SIGTERM)); // not reached: the signal ends the child
    }
    int status = 0;
    waitpid(child, &status, 0);
    expect_true("killed by SIGTERM", WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
    const std::string text = trace_text(path);
    expect_true("the region", text.find("\nlaunch ") != std::string::npos);
    expect_true("the signal", text.find("\nstopped_by 15\ntable ") != std::string::npos);
    std::signal(SIGHUP, SIG_IGN);
    catch_stop_signals();
    struct sigaction hangup {};
    sigaction(SIGHUP, nullptr, &hangup);
    expect_true("SIGHUP still ignored", hangup.sa_handler == SIG_IGN);
    struct sigaction term {};
    sigaction(SIGTERM, nullptr, &term);
    expect_true("SIGTERM caught", term.sa_handler != SIG_DFL && term.sa_handler != SIG_IGN);
}

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
}

// What the environment's two values ask for: a value not understood is the
// default's.
void keeping_read()
{
    struct Case {
        const char *mode, *events;
        Keep keep;
        std::size_t kept;
    };
    for (const Case &test :
         {Case{"last", "64", Keep::last, 64}, Case{"slowest", "262144", Keep::slowest, capacity},
          Case{nullptr, nullptr, Keep::first, capacity}, Case{"first", "0", Keep::first, capacity},
          Case{"fastest", "262145", Keep::first, capacity},
          Case{"first", "12x", Keep::first, capacity}}) {
        const Keeping read = keeping_from(test.mode, test.events);
        expect(test.events != nullptr ? test.events : "(none)", read.events, test.kept);
        expect(test.mode != nullptr ? test.mode : "(none)", static_cast<std::uint64_t>(read.mode),
               static_cast<std::uint64_t>(test.keep));
    }
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

} // namespace

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

// Whether the kernel was asked for huge pages at ADDRESS: its mapping's
// VmFlags in /proc/self/smaps hold "hg".
bool advised_huge(const void *address)
{
    const auto wanted = reinterpret_cast<std::uintptr_t>(address);
    std::ifstream smaps("/proc/self/smaps");
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        std::uintptr_t start = 0;
        std::uintptr_t end = 0;
        // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg,cert-err34-c)
        if (std::sscanf(line.c_str(), "%lx-%lx ", &start, &end) == 2) {
            inside = start <= wanted && wanted < end;
        }
        else if (inside && line.rfind("VmFlags:", 0) == 0) {
            return line.find(" hg") != std::string::npos;
        }
    }
    return false;
}

// The table's pages as each way asks for them: the first 256 KiB small and
// the rest huge, from a 2 MiB boundary; none huge; all.
void table_pages()
{
    const char *first = reinterpret_cast<const char *>(records.data());
    const char *last = first + sizeof records - 1;
    expect("the table's first 256 KiB end on a 2 MiB boundary",
           reinterpret_cast<std::uintptr_t>(first + small_part) % huge_page, 0);
    struct Row {
        Pages pages;
        bool first_huge;
        bool before_boundary_huge;
        bool after_boundary_huge;
        bool last_huge;
    };
    constexpr std::array rows{Row{Pages::first_small, false, false, true, true},
                              Row{Pages::touched, false, false, true, true},
                              Row{Pages::small, false, false, false, false},
                              Row{Pages::huge, true, true, true, true}};
    for (const Row &row : rows) {
        advise_table(row.pages);
        const std::string name = "pages " + std::to_string(static_cast<int>(row.pages));
        expect_true(name + ": the first page", advised_huge(first) == row.first_huge);
        expect_true(name + ": the page before 256 KiB",
                    advised_huge(first + small_part - 1) == row.before_boundary_huge);
        expect_true(name + ": the page at 256 KiB",
                    advised_huge(first + small_part) == row.after_boundary_huge);
        expect_true(name + ": the last page", advised_huge(last) == row.last_huge);
    }
    // Asked for ahead: slots that reach into a 64 KiB stretch of the small
    // pages past the first make it resident whole, and nothing else.
    const auto resident = [](const char *address) {
        const auto page = reinterpret_cast<std::uintptr_t>(address) & ~std::uintptr_t{4095};
        unsigned char in_core = 0;
        mincore(reinterpret_cast<void *>(page), 1, &in_core);
        return (in_core & 1U) != 0;
    };
    constexpr std::size_t stretch = std::size_t{1} << 16;
    constexpr std::size_t slots = stretch / sizeof(Record);
    constexpr std::size_t chunk_slots = 64;
    struct Taken {
        Pages pages;
        std::size_t from;
        std::size_t probe;
        bool in_core;
    };
    constexpr std::array taken{
        Taken{Pages::first_small, slots - 8, stretch + stretch / 2, false},
        Taken{Pages::ahead, 64, stretch / 2, false},
        Taken{Pages::ahead, slots - 8, stretch, true},
        Taken{Pages::ahead, slots - 8, 2 * stretch - 1, true},
        Taken{Pages::ahead, slots - 8, 2 * stretch, false},
        Taken{Pages::ahead, small_part / sizeof(Record) - 8, small_part, false}};
    for (const Taken &row : taken) {
        advise_table(row.pages);
        take_pages(row.from, row.from + chunk_slots);
        expect_true("slots from " + std::to_string(row.from) + " taken: byte " +
                        std::to_string(row.probe) + " in core",
                    resident(first + row.probe) == row.in_core);
    }
    // Touched ahead: a thread faults in each huge page that the slots asked
    // for reach into, and nothing else.
    struct Touched {
        std::size_t slots;
        bool started;
        std::array<bool, 4> in_core; // 4 KiB before the boundary, the 1st, 2nd and 3rd huge pages
    };
    constexpr std::size_t boundary_slot = small_part / sizeof(Record);
    constexpr std::array touched{
        Touched{boundary_slot, false, {false, false, false, false}},
        Touched{(small_part + huge_page) / sizeof(Record) + 1, true, {false, true, true, false}}};
    for (const Touched &row : touched) {
        advise_table(Pages::touched);
        const std::string name = std::to_string(row.slots) + " slots touched ahead";
        expect_true(name + ": a thread started", touch_ahead(row.slots) == row.started);
        const std::array<const char *, 4> probes{first + small_part - 4096, first + small_part,
                                                 first + small_part + huge_page,
                                                 first + small_part + 2 * huge_page};
        const auto all_in = [&] {
            for (std::size_t probe = 0; probe < probes.size(); ++probe) {
                if (row.in_core.at(probe) && !resident(probes.at(probe))) {
                    return false;
                }
            }
            return true;
        };
        for (int waited = 0; row.started && !all_in() && waited < 10'000; ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        for (std::size_t probe = 0; probe < probes.size(); ++probe) {
            expect_true(name + ": probe " + std::to_string(probe) + " in core",
                        resident(probes.at(probe)) == row.in_core.at(probe));
        }
    }
    expect_true("an unknown WATCH_REGION_PAGES is the default",
                pages_from("tiny") == Pages::first_small &&
                    pages_from(nullptr) == Pages::first_small);
}

int main(int argc, char **argv)
{
    // The groups, and those that write a trace, to the path given.
    const std::vector<std::pair<std::string_view, void (*)()>> groups{
        {"table_full", table_full},     {"fork_reset", fork_reset},    {"medians", medians},
        {"keeping_read", keeping_read}, {"clock", clock_group},        {"table_pages", table_pages},
        {"keep_last", keep_last},       {"merged_spans", merged_spans}};
    const std::vector<std::pair<std::string_view, void (*)(const char *)>> writing{
        {"trace_read_back", trace_read_back},
        {"keep_slowest", keep_slowest},
        {"waits", waits},
        {"stopped", stopped},
        {"slowest_spans", slowest_spans}};
    const std::vector<std::string_view> arguments(argv + 1, argv + argc);
    const auto named = [&arguments](const auto &group) { return group.first == arguments[0]; };
    if (const auto group = std::find_if(groups.begin(), groups.end(), named);
        arguments.size() == 1 && group != groups.end()) {
        group->second();
    }
    else if (const auto writer = std::find_if(writing.begin(), writing.end(), named);
             arguments.size() == 2 && writer != writing.end()) {
        writer->second(argv[2]);
    }
    else {
        std::fprintf(stderr, "usage: tracer_tests GROUP [TRACE]\n");
        return 2;
    }
    return failures == 0 ? 0 : 1;
}
