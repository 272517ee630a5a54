// The libgomp half's shared part: libgomp's entries that the tracer
// interposes, as entries.def lists them, and each real entry, found once.
// Its entries that start a team are in gomp_entries.cpp, those where a thread
// waits, or hands a task's body over, in gomp_waits.cpp.
#pragma once

#include "loops.h"
#include "runtime_time.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <string_view>
#include <utility>

namespace gomp {

using Body = void (*)(void *);

// NOLINTBEGIN(cppcoreguidelines-macro-usage): the list is read as an X-macro
#define KIND(kind, body_argument, team_size_argument, flags_argument)
// The entries, by their symbols.
// NOLINTNEXTLINE(performance-enum-size)
enum class Entry : int {
#define ENTRY(symbol, version, kind) symbol,
#include "entries.def"
#undef ENTRY
    count,
    // The queries that traced_body asks.
    thread_number = omp_get_thread_num,
    team_size = omp_get_num_threads,
};

// Each entry's symbol.
constexpr std::array<std::string_view, static_cast<std::size_t>(Entry::count)> entry_names{{
#define ENTRY(symbol, version, kind) #symbol,
#include "entries.def"
#undef ENTRY
}};
#undef KIND
// NOLINTEND(cppcoreguidelines-macro-usage)

// The schedule an entry's loop is written with, as its symbol says (a
// nonmonotonic or ordered form's too; none for an entry of no loop, or of a
// loop whose schedule its arguments give).
constexpr tracer::Schedule schedule_of(Entry entry)
{
    const std::string_view name = entry_names[static_cast<std::size_t>(entry)];
    if (name.find("_loop_") == std::string_view::npos) {
        return tracer::Schedule::none;
    }
    constexpr std::array<std::pair<std::string_view, tracer::Schedule>, 4> written{{
        {"_dynamic", tracer::Schedule::dynamic},
        {"_guided", tracer::Schedule::guided},
        {"_runtime", tracer::Schedule::runtime},
        {"_static", tracer::Schedule::fixed},
    }};
    for (const auto &[word, schedule] : written) {
        if (name.find(word) != std::string_view::npos) {
            return schedule;
        }
    }
    return tracer::Schedule::none;
}

// Each real entry, once found (null before, and where none was).
extern std::array<std::atomic<void *>, static_cast<std::size_t>(Entry::count)> found;
// Finds the real ENTRY, at its symbol version: in the objects loaded after
// the tracer or, when the program's libgomp came later with dlopen (a plugin
// or Python module that uses OpenMP), in that libgomp. Null where no loaded
// libgomp has it: the entry is then never jumped to.
void *find_real(Entry entry);

inline void *real(Entry entry)
{
    void *address = found[static_cast<std::size_t>(entry)].load(std::memory_order_acquire);
    return address != nullptr ? address : find_real(entry);
}

} // namespace gomp
