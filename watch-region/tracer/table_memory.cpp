// The table's memory (table_memory.h).
#include "table_memory.h"

#include <string_view>
#include <sys/mman.h>

namespace tracer {

TableMemory table_memory;

Pages pages_from(const char *name)
{
    const std::string_view asked = name != nullptr ? name : "";
    return asked == "small" ? Pages::small : asked == "huge" ? Pages::huge : Pages::first_small;
}

void advise_table(Pages pages)
{
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

} // namespace tracer
