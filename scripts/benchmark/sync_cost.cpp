// What a construct costs the team that runs it, measured the way EPCC's
// syncbench does: many repetitions of a short delay and the construct, timed
// together, less the same number of repetitions of the delay alone (the
// reference), divided by the repetitions. A barrier, a critical section, a
// lock and an ordered section are repeated inside one region, whose start
// and end, once for all the repetitions, fall out; the parallel region is
// repeated whole, its body the delay; a loop of schedule(dynamic, 1) takes
// each repetition as a chunk of its own, a call to the runtime each, shared
// by the team (so that at a team of 2 a repetition's time is half a call's
// and half a delay).
//
// Each construct is also timed a second way, in turns with the first within
// each sample: calling libgomp's entries straight, found in libgomp itself,
// where a preloaded tracer does not come between. The difference of the two
// ways is what a tracer adds to a construct, free of the machine's drift from
// one run to the next; without a tracer it tells how finely this measures.
//
// usage: sync_cost [REPETITIONS [SAMPLES [DELAY]]]
//   (default 1000 repetitions a sample, 51 samples, a delay of 200 turns of
//   an empty loop).
// prints a line a construct, "NAME OVERHEAD DIFFERENCE", in microseconds a
// repetition, each the median over the samples: the construct's time less
// the reference's, and its time less its time called straight; first the
// reference's own time, "reference TIME 0".
//
// usage: sync_cost syncbench [OUTER [TEST_TIME [DELAY]]]
//   syncbench's own order and measure, for a run whose first constructs
//   meet a tracer's empty table: each construct (parallel, for, barrier,
//   single, critical, lock, ordered, in that order, after the reference)
//   repeated as many times as first take TEST_TIME µs (default 500), that
//   test run OUTER times (default 20); nothing is run before, so that each
//   test pays whatever its events cost a fresh process.
// prints "NAME MEAN MEDIAN" a construct, in microseconds a repetition less
// the reference's: syncbench's mean over the tests, and their median, which a
// busy machine's preemptions (milliseconds, where a test is 500 µs) move less.
#include "timing.h"

#include <dlfcn.h>
#include <omp.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string_view>
#include <vector>

namespace {

// The work between two constructs: LENGTH turns of a loop the compiler keeps.
[[gnu::noinline]] void delay(long length)
{
    for (long turn = 0; turn < length; ++turn) {
        __asm__ volatile("");
    }
}

using timing::median;
using timing::now;

// libgomp's entries, as the compiler calls them, found in libgomp itself.
struct Straight {
    void (*parallel)(void (*)(void *), void *, unsigned, unsigned);
    void (*barrier)();
    void (*critical_start)();
    void (*critical_end)();
    void (*ordered_start)();
    void (*ordered_end)();
    void (*set_lock)(omp_lock_t *);
    void (*unset_lock)(omp_lock_t *);
    bool (*loop_start)(long, long, long, long, long *, long *);
    bool (*loop_next)(long *, long *);
    void (*loop_end)();
};

template <typename Function>
bool find(void *library, Function &function, const char *name, const char *version)
{
    // dlvsym gives the entry as void *. NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
    function = reinterpret_cast<Function>(dlvsym(library, name, version));
    if (function == nullptr) {
        std::fprintf(stderr, "sync_cost: libgomp's %s not found\n", name);
    }
    return function != nullptr;
}

bool find_straight(Straight &straight)
{
    void *libgomp = dlopen("libgomp.so.1", RTLD_LAZY | RTLD_NOLOAD);
    if (libgomp == nullptr) {
        std::fputs("sync_cost: libgomp not loaded\n", stderr);
        return false;
    }
    return find(libgomp, straight.parallel, "GOMP_parallel", "GOMP_4.0") &&
           find(libgomp, straight.barrier, "GOMP_barrier", "GOMP_1.0") &&
           find(libgomp, straight.critical_start, "GOMP_critical_start", "GOMP_1.0") &&
           find(libgomp, straight.critical_end, "GOMP_critical_end", "GOMP_1.0") &&
           find(libgomp, straight.ordered_start, "GOMP_ordered_start", "GOMP_1.0") &&
           find(libgomp, straight.ordered_end, "GOMP_ordered_end", "GOMP_1.0") &&
           find(libgomp, straight.set_lock, "omp_set_lock", "OMP_3.0") &&
           find(libgomp, straight.unset_lock, "omp_unset_lock", "OMP_3.0") &&
           find(libgomp, straight.loop_start, "GOMP_loop_nonmonotonic_dynamic_start", "GOMP_4.5") &&
           find(libgomp, straight.loop_next, "GOMP_loop_nonmonotonic_dynamic_next", "GOMP_4.5") &&
           find(libgomp, straight.loop_end, "GOMP_loop_end", "GOMP_1.0");
}

struct Setting {
    long repetitions;
    long delay_length;
    omp_lock_t *lock;
    const Straight *straight; // null: the program's own constructs
};

// Each construct's repetitions, REPETITIONS in all, shared by the team where
// the construct lets one thread through at a time.
void reference(const Setting &setting)
{
    for (long repetition = 0; repetition < setting.repetitions; ++repetition) {
        delay(setting.delay_length);
    }
}

void delay_body(void *setting) { delay(static_cast<const Setting *>(setting)->delay_length); }

void parallel(const Setting &setting)
{
    for (long repetition = 0; repetition < setting.repetitions; ++repetition) {
        if (setting.straight != nullptr) {
            // NOLINTNEXTLINE(cppcoreguidelines-pro-type-const-cast): the body only reads it
            setting.straight->parallel(delay_body, const_cast<Setting *>(&setting), 0, 0);
        }
        else {
#pragma omp parallel default(none) shared(setting)
            delay(setting.delay_length);
        }
    }
}

void barrier(const Setting &setting)
{
#pragma omp parallel default(none) shared(setting)
    for (long repetition = 0; repetition < setting.repetitions; ++repetition) {
        delay(setting.delay_length);
        if (setting.straight != nullptr) {
            setting.straight->barrier();
        }
        else {
#pragma omp barrier
        }
    }
}

void critical(const Setting &setting)
{
#pragma omp parallel default(none) shared(setting)
    {
        const long share = setting.repetitions / omp_get_num_threads();
        for (long repetition = 0; repetition < share; ++repetition) {
            if (setting.straight != nullptr) {
                setting.straight->critical_start();
                delay(setting.delay_length);
                setting.straight->critical_end();
            }
            else {
#pragma omp critical
                delay(setting.delay_length);
            }
        }
    }
}

void lock(const Setting &setting)
{
    const Straight *straight = setting.straight;
    void (*set_lock)(omp_lock_t *) = straight != nullptr ? straight->set_lock : omp_set_lock;
    void (*unset_lock)(omp_lock_t *) = straight != nullptr ? straight->unset_lock : omp_unset_lock;
#pragma omp parallel default(none) shared(setting, set_lock, unset_lock)
    {
        const long share = setting.repetitions / omp_get_num_threads();
        for (long repetition = 0; repetition < share; ++repetition) {
            set_lock(setting.lock);
            delay(setting.delay_length);
            unset_lock(setting.lock);
        }
    }
}

void ordered(const Setting &setting)
{
#pragma omp parallel for ordered schedule(static, 1) default(none) shared(setting)
    for (long repetition = 0; repetition < setting.repetitions; ++repetition) {
        if (setting.straight != nullptr) {
            setting.straight->ordered_start();
            delay(setting.delay_length);
            setting.straight->ordered_end();
        }
        else {
#pragma omp ordered
            delay(setting.delay_length);
        }
    }
}

void dynamic(const Setting &setting)
{
#pragma omp parallel default(none) shared(setting)
    if (setting.straight != nullptr) {
        long from = 0;
        long until = 0;
        for (bool more = setting.straight->loop_start(0, setting.repetitions, 1, 1, &from, &until);
             more; more = setting.straight->loop_next(&from, &until)) {
            for (long repetition = from; repetition < until; ++repetition) {
                delay(setting.delay_length);
            }
        }
        setting.straight->loop_end();
    }
    else {
#pragma omp for schedule(dynamic, 1)
        for (long repetition = 0; repetition < setting.repetitions; ++repetition) {
            delay(setting.delay_length);
        }
    }
}

// syncbench's two that the straight way does not time: a loop shared by the
// team, a turn a thread, and a single construct, each ended by its barrier.
void for_loop(const Setting &setting)
{
#pragma omp parallel default(none) shared(setting)
    {
        const int team = omp_get_num_threads();
        for (long repetition = 0; repetition < setting.repetitions; ++repetition) {
#pragma omp for
            for (int turn = 0; turn < team; ++turn) {
                delay(setting.delay_length);
            }
        }
    }
}

void single(const Setting &setting)
{
#pragma omp parallel default(none) shared(setting)
    for (long repetition = 0; repetition < setting.repetitions; ++repetition) {
#pragma omp single
        delay(setting.delay_length);
    }
}

using Construct = void (*)(const Setting &);
constexpr std::array<Construct, 7> constructs{reference, parallel, barrier, critical,
                                              lock,      ordered,  dynamic};
constexpr std::array<const char *, constructs.size()> names{
    "reference", "parallel", "barrier", "critical", "lock", "ordered", "dynamic"};

// Microseconds a repetition.
double time_construct(Construct construct, const Setting &setting)
{
    const std::int64_t start = now();
    construct(setting);
    constexpr double nanoseconds_per_microsecond = 1000.0;
    return static_cast<double>(now() - start) / nanoseconds_per_microsecond /
           static_cast<double>(setting.repetitions);
}

// syncbench's measure: the repetitions that first take TEST_TIME µs (a
// test's, doubled from 1), then OUTER tests of them; the mean over the tests
// of the time a repetition, and their median.
struct Test {
    double mean;
    double median;
};
struct Plan {
    long outer;
    double test_time;
};

Test syncbench_test(Construct construct, Setting setting, Plan plan)
{
    setting.repetitions = 1;
    while (time_construct(construct, setting) * static_cast<double>(setting.repetitions) <
           plan.test_time) {
        setting.repetitions *= 2;
    }
    Test test{0, 0};
    std::vector<double> times;
    for (long index = 0; index < plan.outer; ++index) {
        times.push_back(time_construct(construct, setting));
        test.mean += times.back() / static_cast<double>(plan.outer);
    }
    test.median = median(times);
    return test;
}

int syncbench(std::span<char *> arguments)
{
    constexpr long default_outer = 20;
    constexpr double default_test_time = 500;
    constexpr long default_delay = 200;
    const long outer =
        arguments.size() > 2 ? std::strtol(arguments[2], nullptr, 10) : default_outer;
    const double test_time =
        arguments.size() > 3 ? std::strtod(arguments[3], nullptr) : default_test_time;
    const long delay_length =
        arguments.size() > 4 ? std::strtol(arguments[4], nullptr, 10) : default_delay;
    constexpr std::size_t most_arguments = 5;
    if (arguments.size() > most_arguments || outer < 1 || !(test_time > 0) || delay_length < 0) {
        std::fputs("usage: sync_cost syncbench [OUTER [TEST_TIME [DELAY]]]\n", stderr);
        return 2;
    }
    omp_lock_t the_lock;
    omp_init_lock(&the_lock);
    const Setting setting{1, delay_length, &the_lock, nullptr};
    constexpr std::array<Construct, 7> order{parallel, for_loop, barrier, single,
                                             critical, lock,     ordered};
    constexpr std::array<const char *, order.size()> order_names{
        "parallel", "for", "barrier", "single", "critical", "lock", "ordered"};
    const Test reference_test = syncbench_test(reference, setting, {outer, test_time});
    std::array<Test, order.size()> tests{};
    for (std::size_t index = 0; index < order.size(); ++index) {
        tests.at(index) = syncbench_test(order.at(index), setting, {outer, test_time});
    }
    omp_destroy_lock(&the_lock);
    std::printf("reference %.4f %.4f\n", reference_test.mean, reference_test.median);
    for (std::size_t index = 0; index < order.size(); ++index) {
        std::printf("%s %.4f %.4f\n", order_names.at(index),
                    tests.at(index).mean - reference_test.mean,
                    tests.at(index).median - reference_test.median);
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    const auto arguments = std::span(argv, static_cast<std::size_t>(argc));
    if (argc > 1 && std::string_view(arguments[1]) == "syncbench") {
        return syncbench(arguments);
    }
    constexpr long default_repetitions = 1000;
    constexpr long default_samples = 51;
    constexpr long default_delay = 200;
    const long repetitions =
        argc > 1 ? std::strtol(arguments[1], nullptr, 10) : default_repetitions;
    const long samples = argc > 2 ? std::strtol(arguments[2], nullptr, 10) : default_samples;
    const long delay_length = argc > 3 ? std::strtol(arguments[3], nullptr, 10) : default_delay;
    if (argc > 4 || repetitions < 1 || samples < 1 || delay_length < 0) {
        std::fputs("usage: sync_cost [REPETITIONS [SAMPLES [DELAY]]]\n", stderr);
        return 2;
    }
    Straight straight{};
    if (!find_straight(straight)) {
        return 1;
    }
    omp_lock_t the_lock;
    omp_init_lock(&the_lock);
    const Setting through{repetitions, delay_length, &the_lock, nullptr};
    const Setting straight_way{repetitions, delay_length, &the_lock, &straight};
    // The team is started, and every construct run both ways, before any is
    // timed.
    for (const Construct construct : constructs) {
        construct(Setting{1, delay_length, &the_lock, nullptr});
        construct(Setting{1, delay_length, &the_lock, &straight});
    }
    std::array<std::vector<double>, constructs.size()> overheads;
    std::array<std::vector<double>, constructs.size()> differences;
    for (long sample = 0; sample < samples; ++sample) {
        const double reference_time = time_construct(constructs[0], through);
        overheads[0].push_back(reference_time);
        differences[0].push_back(0);
        for (std::size_t index = 1; index < constructs.size(); ++index) {
            std::array<double, 2> times{};
            for (std::size_t turn = 0; turn < 2; ++turn) {
                const std::size_t way = (static_cast<std::size_t>(sample) + turn) % 2;
                times.at(way) =
                    time_construct(constructs.at(index), way == 0 ? through : straight_way);
            }
            overheads.at(index).push_back(times[0] - reference_time);
            differences.at(index).push_back(times[0] - times[1]);
        }
    }
    omp_destroy_lock(&the_lock);
    for (std::size_t index = 0; index < constructs.size(); ++index) {
        std::printf("%s %.4f %.4f\n", names.at(index), median(overheads.at(index)),
                    median(differences.at(index)));
    }
    return 0;
}
