// The call sites' statistics (site_stats.h), and the objects that hold them.
#include "site_stats.h"

#include "helpers.h"
#include "spin_lock.h"

#include <dlfcn.h>
#include <link.h>

namespace tracer {

namespace {

// The histogram's buckets: 1/16 of a power of two wide.
using Buckets = LogBuckets<4, buckets>;
static_assert(Buckets::per_power == sub_buckets);

// (FIRST + SECOND) / 2 and / 4, rounded down, with no overflow.
std::uint64_t half_sum(std::uint64_t first, std::uint64_t second)
{
    return first / 2 + second / 2 + (first % 2 + second % 2) / 2;
}
std::uint64_t quarter_sum(std::uint64_t first, std::uint64_t second)
{
    return first / 4 + second / 4 + (first % 4 + second % 4) / 4;
}

std::array<Site, max_sites + 1> sites;
// Their return addresses, apart from the rest: a probe reads them, and a
// page first read is mapped to the zero page and faults again when written;
// this way that happens to one page, not to every site's.
std::array<std::atomic<std::uintptr_t>, max_sites + 1> site_addresses{};
// The sites in use, in the order first launched from: only their pages of
// the table are ever touched.
std::array<std::atomic<int>, max_sites + 1> used_sites{};
std::atomic<int> sites_used{0};

void mark_used(int index)
{
    used_sites[static_cast<std::size_t>(sites_used.fetch_add(1))].store(index);
}

void reset(Site &site)
{
    site.busy.clear();
    site.teams = {};
    site.other_teams = 0;
    site.phases = Phases{};
    site.useful = {};
    site.threads = 0;
}

} // namespace

// _dl_find_object (glibc 2.35) takes no lock and
// searches no symbols, where dladdr does both.
Object object_of(std::uintptr_t address, const char *program)
{
    dl_find_object found{};
    if (address <= 1 || _dl_find_object(reinterpret_cast<void *>(address), &found) != 0) {
        return {0, "?"};
    }
    const char *name = found.dlfo_link_map->l_name;
    return {reinterpret_cast<std::uintptr_t>(found.dlfo_map_start),
            name == nullptr || *name == '\0' ? program : name};
}

void Phases::add(const std::array<std::int64_t, phase_count> &nanoseconds)
{
    ++count;
    std::array<std::uint64_t, phase_count> values{};
    for (std::size_t phase = 0; phase < phase_count; ++phase) {
        const auto value =
            static_cast<std::uint64_t>(std::max<std::int64_t>(nanoseconds[phase], 0));
        values[phase] = value;
        total[phase] += value;
        smallest[phase] = count == 1 ? value : std::min(smallest[phase], value);
        largest[phase] = std::max(largest[phase], value);
    }
    if (count <= exact_launches) {
        first[count - 1] = values;
        return;
    }
    if (count == exact_launches + 1) {
        for (const auto &kept : first) {
            count_in_histogram(kept);
        }
    }
    count_in_histogram(values);
}

void Phases::count_in_histogram(const std::array<std::uint64_t, phase_count> &values)
{
    for (std::size_t phase = 0; phase < phase_count; ++phase) {
        ++histogram[Buckets::of(values[phase])][phase];
    }
}

std::array<std::uint64_t, 2> Phases::range_of(std::size_t phase, std::uint64_t rank) const
{
    const std::size_t bucket = Buckets::holding(
        rank, [this, phase](std::size_t index) { return std::uint64_t{histogram[index][phase]}; });
    return {std::max(Buckets::first(bucket), smallest[phase]),
            std::min(Buckets::last(bucket), largest[phase])};
}

PhaseStats Phases::stats(std::size_t phase) const
{
    PhaseStats stats{total[phase], smallest[phase], largest[phase], 0, 0};
    if (count == 0) {
        return stats;
    }
    // The middle launches, in increasing order from 1: one for an odd count.
    const std::uint64_t low = (count + 1) / 2;
    const std::uint64_t high = count / 2 + 1;
    if (count <= exact_launches) {
        std::array<std::uint64_t, exact_launches> values{};
        for (std::size_t launch = 0; launch < count; ++launch) {
            values[launch] = first[launch][phase];
        }
        std::sort(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(count));
        stats.median = half_sum(values[low - 1], values[high - 1]);
        return stats;
    }
    // The median lies between the mean of the middle launches' first values
    // and the mean of their last: twice those are TWICE_FROM and TWICE_TO.
    const auto low_range = range_of(phase, low);
    const auto high_range = range_of(phase, high);
    const std::uint64_t twice_from = low_range[0] + high_range[0];
    const std::uint64_t twice_to = low_range[1] + high_range[1];
    // The median rounded down, or up where that keeps median +- error
    // inside the launches' range (an odd width cannot be split in whole
    // nanoseconds): the error reaches both ends of the range it lies in.
    const auto error_of = [twice_from, twice_to](std::uint64_t median) {
        return std::max((twice_to - std::min(twice_to, 2 * median) + 1) / 2,
                        (2 * median - std::min(2 * median, twice_from) + 1) / 2);
    };
    const auto outside = [&stats](std::uint64_t median, std::uint64_t error) {
        return (median < stats.min + error ? stats.min + error - median : 0) +
               (median + error > stats.max ? median + error - stats.max : 0);
    };
    const std::uint64_t lower = quarter_sum(twice_from, twice_to);
    const std::uint64_t upper = lower + 1;
    const bool rounded_up =
        2 * upper <= twice_to && outside(upper, error_of(upper)) < outside(lower, error_of(lower));
    stats.median = rounded_up ? upper : lower;
    stats.median_error = error_of(stats.median);
    return stats;
}

int site_of(const void *call_site)
{
    const auto address = reinterpret_cast<std::uintptr_t>(call_site);
    for (int probe = 0; probe < max_sites; ++probe) {
        const auto index = static_cast<std::size_t>((address / 16 + probe) % max_sites);
        std::uintptr_t held = site_addresses[index].load(std::memory_order_acquire);
        if (held == 0 && site_addresses[index].compare_exchange_strong(held, address)) {
            mark_used(static_cast<int>(index));
            return static_cast<int>(index);
        }
        if (held == address) {
            return static_cast<int>(index);
        }
    }
    std::uintptr_t none = 0;
    if (site_addresses.back().compare_exchange_strong(none, 1)) {
        mark_used(max_sites);
    }
    return max_sites;
}

const Site &site_at(int index) { return sites[static_cast<std::size_t>(index)]; }

int sites_in_use() { return std::min(sites_used.load(), max_sites + 1); }

void add_launch(int index, int team, const std::array<std::int64_t, phase_count> &phases,
                const std::array<std::int64_t, useful_threads> &useful, int slots)
{
    Site &site = sites[static_cast<std::size_t>(index)];
    lock(site.busy);
    auto *size = std::find_if(site.teams.begin(), site.teams.end(), [team](const auto &entry) {
        return entry[0] == static_cast<std::uint64_t>(team) || entry[1] == 0;
    });
    if (size != site.teams.end()) {
        (*size)[0] = static_cast<std::uint64_t>(team);
        ++(*size)[1];
    }
    else {
        ++site.other_teams;
    }
    site.phases.add(phases);
    for (int slot = 0; slot < slots; ++slot) {
        site.useful[static_cast<std::size_t>(slot)] += static_cast<std::uint64_t>(
            std::max<std::int64_t>(useful[static_cast<std::size_t>(slot)], 0));
    }
    site.threads = std::max(site.threads, slots);
    unlock(site.busy);
}

void write_site_format(Output &output)
{
    output.add("phases");
    for (const char *name : phase_names) {
        output.add(' ', name);
    }
    output.add("\nphase_stats total min max median median_error\n");
}

void write_sites(Output &output, const char *program)
{
    const int count = sites_in_use();
    for (int used = 0; used < count; ++used) {
        const int index = used_sites[static_cast<std::size_t>(used)].load();
        const Site &site = sites[static_cast<std::size_t>(index)];
        if (site.phases.launches() == 0) {
            continue;
        }
        const std::uintptr_t address = site_addresses[static_cast<std::size_t>(index)].load();
        const Object object = object_of(address, program);
        output.add("site ", index, ' ', Hex{address}, ' ', Hex{object.base}, ' ',
                   site.phases.launches());
        char separator = ' ';
        for (const auto &team : site.teams) {
            if (team[1] != 0) {
                output.add(separator, team[0], ':', team[1]);
                separator = ',';
            }
        }
        if (site.other_teams != 0) {
            output.add(separator, "other:", site.other_teams);
        }
        for (std::size_t phase = 0; phase < phase_count; ++phase) {
            const PhaseStats stats = site.phases.stats(phase);
            output.add(' ', stats.total, ' ', stats.min, ' ', stats.max, ' ', stats.median, ' ',
                       stats.median_error);
        }
        output.add(" object ", object.path, '\n');
        if (site.threads > 0) {
            output.add("site_useful ", index);
            for (int slot = 0; slot < site.threads; ++slot) {
                output.add(slot == 0 ? ' ' : ',', site.useful[static_cast<std::size_t>(slot)]);
            }
            output.add('\n');
        }
    }
}

void forget_sites()
{
    const int count = sites_in_use();
    for (int used = 0; used < count; ++used) {
        const auto index =
            static_cast<std::size_t>(used_sites[static_cast<std::size_t>(used)].load());
        reset(sites[index]);
        site_addresses[index].store(0);
    }
    sites_used.store(0);
}

} // namespace tracer
