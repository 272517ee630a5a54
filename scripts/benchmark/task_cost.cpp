// What a tool adds to tasks and the waits around them, measured the way
// EPCC's taskbench and syncbench do: many repetitions of a short delay and
// the construct, timed together, less the same repetitions of the delay
// alone, divided by the repetitions. Under LLVM's libomp, whose tool
// interface reports every construct to whatever tool is loaded, nothing can
// be called around the tool: runs with a tool and without one, in turns, are
// what scripts/benchmark/task_cost.py compares.
//
//   task      each thread of the team makes REPETITIONS tasks whose body is
//             the delay, which the team runs and the region's end waits for
//   taskwait  each thread makes a task and waits for it, REPETITIONS times:
//             a task and a taskwait each
//   barrier   each thread delays and meets the team at a barrier
//   critical  the team shares REPETITIONS critical sections holding the delay
//
// The first two and the barrier are taken less the delay run by each thread
// of a region ("team reference"), the critical section less the delay run by
// one thread ("reference").
//
// usage: task_cost [REPETITIONS [SAMPLES [DELAY]]]
//   (default 1000 repetitions a sample, 21 samples, a delay of 200 turns)
//   prints "NAME MICROSECONDS" a construct, the median over the samples.
// usage: task_cost fib N CUTOFF
//   a task-heavy run: Fibonacci of N with a task for every call above
//   CUTOFF and a taskwait in each; prints the result.
#include "timing.h"

#include <omp.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

namespace {

[[gnu::noinline]] void delay(long length)
{
    for (long turn = 0; turn < length; ++turn) {
        __asm__ volatile("");
    }
}

struct Setting {
    long repetitions;
    long delay_length;
};

void reference(const Setting &setting)
{
    for (long repetition = 0; repetition < setting.repetitions; ++repetition) {
        delay(setting.delay_length);
    }
}

void team_reference(const Setting &setting)
{
#pragma omp parallel default(none) shared(setting)
    reference(setting);
}

void task(const Setting &setting)
{
#pragma omp parallel default(none) shared(setting)
    for (long repetition = 0; repetition < setting.repetitions; ++repetition) {
#pragma omp task default(none) shared(setting)
        delay(setting.delay_length);
    }
}

void taskwait(const Setting &setting)
{
#pragma omp parallel default(none) shared(setting)
    for (long repetition = 0; repetition < setting.repetitions; ++repetition) {
#pragma omp task default(none) shared(setting)
        delay(setting.delay_length);
#pragma omp taskwait
    }
}

void barrier(const Setting &setting)
{
#pragma omp parallel default(none) shared(setting)
    for (long repetition = 0; repetition < setting.repetitions; ++repetition) {
        delay(setting.delay_length);
#pragma omp barrier
    }
}

void critical(const Setting &setting)
{
#pragma omp parallel default(none) shared(setting)
    {
        const long share = setting.repetitions / omp_get_num_threads();
        for (long repetition = 0; repetition < share; ++repetition) {
#pragma omp critical
            delay(setting.delay_length);
        }
    }
}

using Construct = void (*)(const Setting &);
struct Measured {
    const char *name;
    Construct construct;
    Construct less; // its reference
};
constexpr std::array<Measured, 4> measured{{{"task", task, team_reference},
                                            {"taskwait", taskwait, team_reference},
                                            {"barrier", barrier, team_reference},
                                            {"critical", critical, reference}}};

// Microseconds a repetition.
double time_construct(Construct construct, const Setting &setting)
{
    const std::int64_t start = timing::now();
    construct(setting);
    constexpr double nanoseconds_per_microsecond = 1000.0;
    return static_cast<double>(timing::now() - start) / nanoseconds_per_microsecond /
           static_cast<double>(setting.repetitions);
}

// Recursive as the task-heavy programs it stands for are.
long fib(int number, int cutoff) // NOLINT(misc-no-recursion)
{
    if (number < 2) {
        return number;
    }
    if (number <= cutoff) {
        return fib(number - 1, cutoff) + fib(number - 2, cutoff);
    }
    long first = 0;
#pragma omp task default(none) shared(first) firstprivate(number, cutoff)
    first = fib(number - 1, cutoff);
    const long second = fib(number - 2, cutoff);
#pragma omp taskwait
    return first + second;
}

} // namespace

int main(int argc, char **argv)
{
    const auto arguments = std::span(argv, static_cast<std::size_t>(argc));
    constexpr int decimal = 10;
    if (argc == 4 && std::strcmp(arguments[1], "fib") == 0) {
        const auto number = static_cast<int>(std::strtol(arguments[2], nullptr, decimal));
        const auto cutoff = static_cast<int>(std::strtol(arguments[3], nullptr, decimal));
        long result = 0;
#pragma omp parallel default(none) shared(result, number, cutoff)
#pragma omp single
        result = fib(number, cutoff);
        std::printf("%ld\n", result);
        return 0;
    }
    constexpr long default_repetitions = 1000;
    constexpr long default_samples = 21;
    constexpr long default_delay = 200;
    const long repetitions =
        argc > 1 ? std::strtol(arguments[1], nullptr, decimal) : default_repetitions;
    const long samples = argc > 2 ? std::strtol(arguments[2], nullptr, decimal) : default_samples;
    const long delay_length =
        argc > 3 ? std::strtol(arguments[3], nullptr, decimal) : default_delay;
    if (argc > 4 || repetitions < 1 || samples < 1 || delay_length < 0) {
        std::fputs("usage: task_cost [REPETITIONS [SAMPLES [DELAY]]] | task_cost fib N CUTOFF\n",
                   stderr);
        return 2;
    }
    const Setting setting{repetitions, delay_length};
    std::array<std::vector<double>, measured.size()> overheads;
    for (long sample = 0; sample < samples; ++sample) {
        for (std::size_t index = 0; index < measured.size(); ++index) {
            const double with = time_construct(measured[index].construct, setting);
            const double without = time_construct(measured[index].less, setting);
            overheads[index].push_back(with - without);
        }
    }
    for (std::size_t index = 0; index < measured.size(); ++index) {
        std::printf("%s %.3f\n", measured[index].name, timing::median(overheads[index]));
    }
    return 0;
}
