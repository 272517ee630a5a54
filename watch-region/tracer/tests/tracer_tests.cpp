// The tracer's own tests, one group a run: tracer_tests GROUP [TRACE_PATH].
// Each check that fails prints what it got and what it expected; the exit
// status is 1 if any did.
#include "tracer_tests.h"

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
    expect("its events up to the exit at 50", count_kept(capacity, 50), 50);
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
