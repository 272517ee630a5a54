// The call sites' statistics: for every site a team is launched from, exact
// counts of its launches and team sizes, and each phase's total, largest and
// median, from a histogram.
#pragma once

#include "output.h"
#include "trace_format.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>

namespace tracer {

// The phases of every launch from one call site: for each, the total, the
// largest, and a histogram for the median, its buckets 1/16 of a power of
// two wide (a median read from it is within 3%). The four phases' counts of
// a bucket sit side by side: the phases of a site's launches are of a few
// magnitudes, so that they touch a page or two of the histogram, not one
// page each.
constexpr int sub_buckets = 16;
constexpr int buckets = 48 * sub_buckets;

class Phases {
  public:
    void add(Phase phase, std::int64_t nanoseconds)
    {
        const auto value = static_cast<std::uint64_t>(std::max<std::int64_t>(nanoseconds, 0));
        const auto index = static_cast<std::size_t>(phase);
        total[index] += value;
        largest[index] = std::max(largest[index], value);
        ++histogram[static_cast<std::size_t>(bucket(value))][index];
    }

    // " TOTAL LARGEST MEDIAN" for each phase, in nanoseconds.
    void write(Output &output, std::uint64_t launches) const
    {
        for (std::size_t index = 0; index < phase_count; ++index) {
            output.add(' ', total[index], ' ', largest[index], ' ',
                       median(histogram, index, launches));
        }
    }

  private:
    std::array<std::uint64_t, phase_count> total{};
    std::array<std::uint64_t, phase_count> largest{};
    using Histogram = std::array<std::array<std::uint32_t, phase_count>, buckets>;
    Histogram histogram{};

    static int bucket(std::uint64_t value)
    {
        if (value < sub_buckets) {
            return static_cast<int>(value);
        }
        const int power = 63 - __builtin_clzll(value);
        const auto fraction = static_cast<int>((value >> (power - 4)) & (sub_buckets - 1));
        return std::min(buckets - 1, (power - 3) * sub_buckets + fraction);
    }

    // The middle of the bucket that holds the median launch, in whole
    // nanoseconds (a bucket one nanosecond wide holds one value).
    static std::uint64_t median(const Histogram &histogram, std::size_t phase,
                                std::uint64_t launches)
    {
        std::uint64_t seen = 0;
        for (int index = 0; index < buckets; ++index) {
            seen += histogram[static_cast<std::size_t>(index)][phase];
            if (2 * seen >= launches) {
                if (index < sub_buckets) {
                    return static_cast<std::uint64_t>(index);
                }
                const int power = index / sub_buckets + 3;
                const std::uint64_t width = 1ULL << (power - 4);
                return static_cast<std::uint64_t>(sub_buckets + index % sub_buckets) * width +
                       width / 2;
            }
        }
        return 0;
    }
};

constexpr int team_sizes_kept = 8;

struct Site {
    std::atomic_flag busy = ATOMIC_FLAG_INIT;
    std::uint64_t launches = 0;
    std::array<std::array<std::uint64_t, 2>, team_sizes_kept> teams{}; // size, launches
    std::uint64_t other_teams = 0;
    Phases phases;
};

// Call sites by the launch's return address; one slot more for the sites
// beyond the table, reported together.
constexpr int max_sites = 512;

// The index of CALL_SITE's statistics, found or made.
int site_of(const void *call_site);
const Site &site_at(int index);
// How many sites have been launched from, the table's extra slot included.
int sites_in_use();
// Adds a launch of a team of TEAM threads from the site at INDEX, with its
// phases (Phase's order) in nanoseconds.
void add_launch(int index, int team, const std::array<std::int64_t, phase_count> &phases);
// The lines that name a site line's phases, and the numbers given for each.
void write_site_format(Output &output);
// A line per site: "site", its index, return address, the load address of
// the object that holds it, launches, team sizes as SIZE:COUNT,... (other:COUNT
// last for the sizes beyond the table), each phase's numbers in nanoseconds,
// and "object" and the object's path last, since it may hold spaces; the
// program's own is named PROGRAM, as the loader knows the program only by the
// name it was called by.
void write_sites(Output &output, const char *program);
void forget_sites();

} // namespace tracer
