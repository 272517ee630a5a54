// The call sites' statistics (site_stats.h), and the objects that hold them.
#include "site_stats.h"

#include "spin_lock.h"

#include <dlfcn.h>
#include <link.h>

namespace tracer {

namespace {

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
    site.launches = 0;
    site.teams = {};
    site.other_teams = 0;
    site.phases = Phases{};
}

// The object that holds ADDRESS: where it is loaded, and its path; the
// program's own is named by PROGRAM, as the loader knows the program only by
// the name it was called by. _dl_find_object (glibc 2.35) takes no lock and
// searches no symbols, where dladdr does both.
struct Object {
    std::uintptr_t base;
    const char *path;
};

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

} // namespace

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

void add_launch(int index, int team, const std::array<std::int64_t, phase_count> &phases)
{
    Site &site = sites[static_cast<std::size_t>(index)];
    lock(site.busy);
    ++site.launches;
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
    for (std::size_t phase = 0; phase < phase_count; ++phase) {
        site.phases.add(static_cast<Phase>(phase), phases[phase]);
    }
    unlock(site.busy);
}

void write_site_format(Output &output)
{
    output.add("phases");
    for (const char *name : phase_names) {
        output.add(' ', name);
    }
    output.add("\nphase_stats total max median\n");
}

void write_sites(Output &output, const char *program)
{
    const int count = sites_in_use();
    for (int used = 0; used < count; ++used) {
        const int index = used_sites[static_cast<std::size_t>(used)].load();
        const Site &site = sites[static_cast<std::size_t>(index)];
        if (site.launches == 0) {
            continue;
        }
        const std::uintptr_t address = site_addresses[static_cast<std::size_t>(index)].load();
        const Object object = object_of(address, program);
        output.add("site ", index, ' ', Hex{address}, ' ', Hex{object.base}, ' ', site.launches);
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
        site.phases.write(output, site.launches);
        output.add(" object ", object.path, '\n');
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
