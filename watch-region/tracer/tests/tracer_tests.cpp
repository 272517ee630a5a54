// The tracer's own tests, one group a run: tracer_tests GROUP [TRACE_PATH].
// Each check that fails prints what it got and what it expected; the exit
// status is 1 if any did.
#include "event_table.h"
#include "regions.h"
#include "site_stats.h"
#include "trace_file.h"

#include <cstdio>
#include <memory>
#include <string_view>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
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

// Three launches of a team of two from one site; two launches with given
// phases from another; an event with every field given; then the trace.
void trace_read_back(const char *path)
{
    for (int launches = 0; launches < 3; ++launches) {
        launch(site_a(), 2);
    }
    const int site_b = site_of(static_cast<const char *>(site_a()) + 1);
    add_launch(site_b, 3, {10, 200, 3000, 40000});
    add_launch(site_b, 5, {14, 260, 3300, 40008});
    record(Event::create_call, 7, 3, 9, 5, 123456789);
    write_trace_file(path, now());
}

// Two threads fill the table between them; then three threads, this one
// first, record events that it has no room for.
void table_full()
{
    forget_events();
    const auto fill = [](std::int64_t from, std::size_t count) {
        for (std::size_t event = 0; event < count; ++event) {
            record(Event::body_start, 1, 0, 0, 0, from + static_cast<std::int64_t>(event));
        }
    };
    constexpr auto half = capacity / 2;
    constexpr auto whole = static_cast<std::int64_t>(capacity);
    std::thread(fill, 1, half).join();
    std::thread(fill, 1 + whole, half).join();
    expect("events kept", count_kept(), capacity);
    std::uint64_t sum = 0;
    visit_kept([&sum](const Record &event) { sum += static_cast<std::uint64_t>(event.time); });
    expect("their times' sum", sum, half * (half + 1) + half * capacity);
    fill(5 * whole, 1);
    std::thread first(fill, 6 * whole, 1000);
    std::thread second(fill, 7 * whole, 1000);
    first.join();
    second.join();
    expect("events kept when full", count_kept(), capacity);
    expect("events left out", static_cast<std::uint64_t>(total_left_out()), 2001);
    expect("first left out", static_cast<std::uint64_t>(first_left_out()), 5 * whole);
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

int main(int argc, char **argv)
{
    const std::vector<std::string_view> arguments(argv + 1, argv + argc);
    if (arguments.size() == 2 && arguments[0] == "trace_read_back") {
        trace_read_back(argv[2]);
    }
    else if (arguments.size() == 1 && arguments[0] == "table_full") {
        table_full();
    }
    else if (arguments.size() == 1 && arguments[0] == "fork_reset") {
        fork_reset();
    }
    else if (arguments.size() == 1 && arguments[0] == "medians") {
        medians();
    }
    else {
        std::fprintf(stderr, "usage: tracer_tests GROUP [TRACE]\n");
        return 2;
    }
    return failures == 0 ? 0 : 1;
}
