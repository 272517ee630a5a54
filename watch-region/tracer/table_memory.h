// Where the table of events lies, and how its pages are asked of the
// kernel. A page of the table costs its first write a fault, which on a
// virtual machine can cost tens of µs for 4 KiB; huge pages cost a fraction
// of that a byte, but their first write takes 2 MiB at once. So a run's
// first 256 KiB of events (some 6,500) go to small pages, and the rest to
// huge pages: the table lies so that its 256 KiB end on a 2 MiB boundary,
// where the first huge page begins (what lies before the table is address
// space only, never touched).
#pragma once

#include "event_table.h"
#include "trace_format.h"

#include <array>
#include <cstddef>

namespace tracer {

constexpr std::size_t huge_page = std::size_t{1} << 21;
constexpr std::size_t small_part = std::size_t{1} << 18;

struct alignas(huge_page) TableMemory {
    std::array<std::byte, huge_page - small_part> before;
    std::array<Record, capacity> records;
};
extern TableMemory table_memory;
inline std::array<Record, capacity> &records = table_memory.records;

// Which of the table's pages are asked for huge, and when they are touched:
// past its first 256 KiB, as written (the default) or by a thread of the
// tracer's from load on (touched); none; or all; or past its first 256 KiB,
// those asked for 64 KiB at a time as the table reaches them (ahead), which
// costs a small page about half its first write's cost. WATCH_REGION_PAGES
// (touched, small, huge or ahead), read at load, sets the others, to compare
// them.
enum class Pages : std::uint8_t { first_small, touched, small, huge, ahead };
Pages pages_from(const char *name);
// Advises the table's pages as PAGES asks: the rest of the table not huge.
void advise_table(Pages pages);
// Touches each huge page that the table's first SLOTS reach into, past its
// first 256 KiB, from a thread at idle priority that ends when it has (every
// signal blocked in it); returns whether one was started. Its touch changes
// no byte, whoever writes the page first.
bool touch_ahead(std::size_t slots);
// Set on a thread while it creates the tracer's own thread, which the
// tracer's pthread_create then passes on unrecorded (a sanitizer's must
// still see it).
extern thread_local bool creating_own_thread;
// As the table's slots FROM to END are taken: with ahead, the 64 KiB stretch
// of small pages they reach into, past the first, is asked for whole.
void take_pages(std::size_t from, std::size_t end);

} // namespace tracer
