// The loops handed out at run time that the record holds, as its trace's
// loop lines give them: for gomp_tests and ompt_tests.
#pragma once

#include "loops.h"

#include <cstdio>
#include <string>
#include <vector>

struct LoopLine {
    int order;
    std::string schedule;
    long long chunk;
    std::string resolved;
    long long resolved_chunk;
    int threads;
    unsigned long long chunks;
    unsigned long long iterations;
};

inline std::vector<LoopLine> written_loops()
{
    std::vector<LoopLine> loops;
    std::FILE *file = std::tmpfile();
    if (file == nullptr) {
        return loops;
    }
    {
        tracer::Output output(fileno(file));
        tracer::write_loops(output);
    }
    std::rewind(file);
    std::array<char, 4096> line{};
    while (std::fgets(line.data(), static_cast<int>(line.size()), file) != nullptr) {
        LoopLine loop{};
        std::array<char, 16> schedule{};
        std::array<char, 16> resolved{};
        int site = 0;
        int at = 0;
        // NOLINTNEXTLINE(cert-err34-c): a line the tracer wrote
        if (std::sscanf(line.data(), "loop %d %d %15s %lld %15s %lld %d%n", &site, &loop.order,
                        schedule.data(), &loop.chunk, resolved.data(), &loop.resolved_chunk,
                        &loop.threads, &at) != 7) {
            continue;
        }
        loop.schedule = schedule.data();
        loop.resolved = resolved.data();
        unsigned long long chunks = 0;
        unsigned long long iterations = 0;
        int used = 0;
        // NOLINTNEXTLINE(cert-err34-c,cppcoreguidelines-pro-bounds-pointer-arithmetic)
        while (std::sscanf(line.data() + at, " %llu:%llu%n", &chunks, &iterations, &used) == 2) {
            loop.chunks += chunks;
            loop.iterations += iterations;
            at += used;
        }
        loops.push_back(loop);
    }
    std::fclose(file);
    return loops;
}

// Whether LOOPS holds one of ORDER and SCHEDULE with these counts; says what
// it found where not.
inline bool holds(const std::vector<LoopLine> &loops, const LoopLine &expected)
{
    for (const LoopLine &loop : loops) {
        if (loop.order == expected.order && loop.schedule == expected.schedule) {
            const bool same = loop.chunk == expected.chunk && loop.resolved == expected.resolved &&
                              loop.resolved_chunk == expected.resolved_chunk &&
                              loop.threads == expected.threads && loop.chunks == expected.chunks &&
                              loop.iterations == expected.iterations;
            if (!same) {
                std::fprintf(stderr,
                             "loop %d %s: chunk %lld, %s %lld, %d threads, %llu chunks, %llu "
                             "iterations, not %lld, %s %lld, %d, %llu, %llu\n",
                             loop.order, loop.schedule.c_str(), loop.chunk, loop.resolved.c_str(),
                             loop.resolved_chunk, loop.threads, loop.chunks, loop.iterations,
                             expected.chunk, expected.resolved.c_str(), expected.resolved_chunk,
                             expected.threads, expected.chunks, expected.iterations);
            }
            return same;
        }
    }
    std::fprintf(stderr, "no loop %d %s\n", expected.order, expected.schedule.c_str());
    return false;
}
