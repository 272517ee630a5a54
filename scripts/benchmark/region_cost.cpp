// What a preloaded tracer adds to a region, measured inside one run: empty
// regions in blocks that take turns between two ways of starting a team.
// One is the program's own parallel region, whose call to GOMP_parallel a
// preloaded tracer takes; the other calls libgomp's GOMP_parallel straight,
// found in libgomp itself, where nothing comes between. Both run on the same
// threads, block after block, so that the machine's drift falls on both
// ways alike, and the difference is the tracer's. Without a tracer the two
// ways are one, and the same difference tells how finely this can measure.
//
// usage: region_cost [REGIONS [BLOCK]]   (default 100000 regions, blocks of 100)
// prints "THROUGH STRAIGHT DIFFERENCE": nanoseconds a region, each the
// median over the pairs of blocks.
#include "timing.h"

#include <dlfcn.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

namespace {

using Entry = void (*)(void (*)(void *), void *, unsigned, unsigned);

// The body of every region: nothing, called, so that the compiler keeps the
// region it would otherwise drop as empty.
[[gnu::noinline]] void nothing(void * /*data*/) { __asm__ volatile(""); }

using timing::median;
using timing::now;

// Nanoseconds a region over BLOCK regions started one way.
double time_block(bool straight, Entry entry, long block)
{
    const std::int64_t start = now();
    for (long region = 0; region < block; ++region) {
        if (straight) {
            entry(nothing, nullptr, 0, 0);
        }
        else {
#pragma omp parallel default(none)
            nothing(nullptr);
        }
    }
    return static_cast<double>(now() - start) / static_cast<double>(block);
}

} // namespace

int main(int argc, char **argv)
{
    const auto arguments = std::span(argv, static_cast<std::size_t>(argc));
    constexpr long default_regions = 100000;
    constexpr long default_block = 100;
    const long regions = argc > 1 ? std::strtol(arguments[1], nullptr, 10) : default_regions;
    const long block = argc > 2 ? std::strtol(arguments[2], nullptr, 10) : default_block;
    if (argc > 3 || block < 1 || regions < 2 * block) {
        std::fputs("usage: region_cost [REGIONS [BLOCK]]  (REGIONS at least twice BLOCK)\n",
                   stderr);
        return 2;
    }
    void *libgomp = dlopen("libgomp.so.1", RTLD_LAZY | RTLD_NOLOAD);
    // dlvsym gives the entry as void *. NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast)
    auto *entry = reinterpret_cast<Entry>(
        libgomp != nullptr ? dlvsym(libgomp, "GOMP_parallel", "GOMP_4.0") : nullptr);
    if (entry == nullptr) {
        std::fputs("region_cost: libgomp's GOMP_parallel not found\n", stderr);
        return 1;
    }
    // The team is started once before any block is timed.
    time_block(false, entry, 1);
    std::vector<double> through;
    std::vector<double> straight;
    std::vector<double> differences;
    for (long pair = 0; pair < regions / (2 * block); ++pair) {
        std::array<double, 2> times{};
        for (long turn = 0; turn < 2; ++turn) {
            const bool straight_way = (pair + turn) % 2 == 1;
            times[straight_way ? 1 : 0] = time_block(straight_way, entry, block);
        }
        through.push_back(times[0]);
        straight.push_back(times[1]);
        differences.push_back(times[0] - times[1]);
    }
    std::printf("%.1f %.1f %.1f\n", median(through), median(straight), median(differences));
    return 0;
}
