// The table's memory (table_memory.h).
#include "table_memory.h"

#include <cstdint>
#include <string_view>
#include <sys/mman.h>

namespace tracer {

TableMemory table_memory;

Pages pages_from(const char *name)
{
    const std::string_view asked = name != nullptr ? name : "";
    return asked == "small"   ? Pages::small
           : asked == "huge"  ? Pages::huge
           : asked == "ahead" ? Pages::ahead
                              : Pages::first_small;
}

namespace {

bool ahead = false;

void advise(std::uintptr_t start, std::uintptr_t stop, int advice)
{
    if (start != stop) {
        madvise(reinterpret_cast<void *>(start), stop - start, advice);
    }
}

std::uintptr_t table_start() { return reinterpret_cast<std::uintptr_t>(records.data()); }

} // namespace

void advise_table(Pages pages)
{
    ahead = pages == Pages::ahead;
    // With huge, from the 2 MiB boundary before the table, so that its first
    // 256 KiB are the end of a huge page.
    const std::uintptr_t first =
        pages == Pages::huge ? reinterpret_cast<std::uintptr_t>(&table_memory) : table_start();
    const std::uintptr_t end = table_start() + sizeof records;
    const std::uintptr_t from = pages == Pages::huge    ? first
                                : pages == Pages::small ? end
                                                        : first + small_part;
    advise(first, from, MADV_NOHUGEPAGE);
    advise(from, end, MADV_HUGEPAGE);
}

void take_pages(std::size_t from, std::size_t end)
{
    constexpr std::size_t stretch = std::size_t{1} << 16;
    const std::size_t first = from * sizeof(Record);
    const std::size_t last = end * sizeof(Record) - 1;
    // A stretch is asked for once, by the slots that reach into it; the first
    // is not, so that a short run touches only the pages it writes.
    if (!ahead || from == 0 || end <= from || last >= small_part ||
        (first - 1) / stretch == last / stretch) {
        return;
    }
    const std::uintptr_t reached = table_start() + last / stretch * stretch;
    advise(reached, reached + stretch, MADV_POPULATE_WRITE);
}

} // namespace tracer
