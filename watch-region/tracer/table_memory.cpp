// The table's memory (table_memory.h).
#include "table_memory.h"

#include <string_view>
#include <sys/mman.h>

namespace tracer {

TableMemory table_memory;

namespace {

bool ahead = false;

} // namespace

Pages pages_from(const char *name)
{
    const std::string_view asked = name != nullptr ? name : "";
    return asked == "small"   ? Pages::small
           : asked == "huge"  ? Pages::huge
           : asked == "ahead" ? Pages::ahead
                              : Pages::first_small;
}

void advise_table(Pages pages)
{
    ahead = pages == Pages::ahead;
    // With huge, from the 2 MiB boundary before the table, so that its first
    // 256 KiB are the end of a huge page.
    char *const first = pages == Pages::huge ? reinterpret_cast<char *>(&table_memory)
                                             : reinterpret_cast<char *>(records.data());
    char *const end = reinterpret_cast<char *>(records.data()) + sizeof records;
    char *const from = pages == Pages::huge    ? first
                       : pages == Pages::small ? end
                                               : first + small_part;
    if (from != first) {
        madvise(first, static_cast<std::size_t>(from - first), MADV_NOHUGEPAGE);
    }
    if (from != end) {
        madvise(from, static_cast<std::size_t>(end - from), MADV_HUGEPAGE);
    }
}

void take_pages(std::size_t from, std::size_t to)
{
    constexpr std::size_t stretch = std::size_t{1} << 16;
    const std::size_t first = from * sizeof(Record);
    const std::size_t last = to * sizeof(Record) - 1;
    // A stretch is asked for once, by the slots that reach into it; the first
    // is not, so that a short run touches only the pages it writes.
    if (!ahead || from == 0 || to <= from || last >= small_part ||
        (first - 1) / stretch == last / stretch) {
        return;
    }
    char *const table = reinterpret_cast<char *>(records.data());
    madvise(table + last / stretch * stretch, stretch, MADV_POPULATE_WRITE);
}

} // namespace tracer
