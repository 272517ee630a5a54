// The call sites' statistics: for every site a team is launched from, exact
// counts of its launches and team sizes, and each phase's total, smallest,
// largest and median.
#pragma once

#include "output.h"
#include "trace_format.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>

namespace tracer {

// What a site line gives for each phase, in nanoseconds: the total, the
// smallest, the largest, and the median, which lies within median_error of
// the true one (an even count's median is the mean of the middle two,
// rounded down).
struct PhaseStats {
    std::uint64_t total;
    std::uint64_t min;
    std::uint64_t max;
    std::uint64_t median;
    std::uint64_t median_error;
};

// The phases of every launch from one call site. The first launches' values
// are kept as they are, and their median is exact; after them, every value
// goes into a histogram whose buckets are 1/16 of a power of two wide, and
// the median is the middle of the values that the middle launches' buckets
// and the smallest and largest values leave it (within 3%). The four
// phases' counts of a bucket sit side by side: the phases of a site's
// launches are of a few magnitudes, so that they touch a page or two of the
// histogram, not one page each. All zeros until used.
constexpr std::size_t exact_launches = 16;
constexpr int sub_buckets = 16;
constexpr std::size_t buckets = 48 * sub_buckets;

class Phases {
  public:
    // Adds a launch's phases (Phase's order); a negative one counts as 0.
    void add(const std::array<std::int64_t, phase_count> &nanoseconds);
    std::uint64_t launches() const { return count; }
    PhaseStats stats(std::size_t phase) const;

  private:
    std::uint64_t count{};
    std::array<std::uint64_t, phase_count> total{};
    std::array<std::uint64_t, phase_count> smallest{};
    std::array<std::uint64_t, phase_count> largest{};
    std::array<std::array<std::uint64_t, phase_count>, exact_launches> first{};
    std::array<std::array<std::uint32_t, phase_count>, buckets> histogram{};

    void count_in_histogram(const std::array<std::uint64_t, phase_count> &values);
    // The values that the launch of RANK (from 1, in increasing order) can
    // have, from its bucket, the smallest and the largest.
    std::array<std::uint64_t, 2> range_of(std::size_t phase, std::uint64_t rank) const;
};

constexpr int team_sizes_kept = 8;
// The team threads whose useful time in a site's regions is kept, by number.
constexpr std::size_t useful_threads = 64;

struct Site {
    std::atomic_flag busy = ATOMIC_FLAG_INIT;
    std::array<std::array<std::uint64_t, 2>, team_sizes_kept> teams{}; // size, launches
    std::uint64_t other_teams = 0;
    Phases phases;
    // Each thread's useful time in the bodies, by its number in the team.
    std::array<std::uint64_t, useful_threads> useful{};
    int threads = 0;
};

// Call sites by the launch's return address; one slot more for the sites
// beyond the table, reported together.
constexpr int max_sites = 512;

// The object that holds ADDRESS: where it is loaded, and its path; the
// program's own is named by PROGRAM, as the loader knows the program only by
// the name it was called by.
struct Object {
    std::uintptr_t base;
    const char *path;
};
Object object_of(std::uintptr_t address, const char *program);

// The index of CALL_SITE's statistics, found or made.
int site_of(const void *call_site);
const Site &site_at(int index);
// How many sites have been launched from, the table's extra slot included.
int sites_in_use();
// Adds a launch of a team of TEAM threads from the site at INDEX, with its
// phases (Phase's order) in nanoseconds, and the useful time in the body of
// each of its first SLOTS threads.
void add_launch(int index, int team, const std::array<std::int64_t, phase_count> &phases,
                const std::array<std::int64_t, useful_threads> &useful, int slots);
// The lines that name a site line's phases, and the numbers given for each.
void write_site_format(Output &output);
// A line per site: "site", its index, return address, the load address of
// the object that holds it, launches, team sizes as SIZE:COUNT,... (other:COUNT
// last for the sizes beyond the table), each phase's PhaseStats in order,
// and "object" and the object's path last, since it may hold spaces; the
// program's own is named PROGRAM, as the loader knows the program only by the
// name it was called by.
void write_sites(Output &output, const char *program);
void forget_sites();

} // namespace tracer
