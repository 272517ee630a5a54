// What this machine charges for a first write to memory, the cost under a
// tracer's table of events: anonymous memory written for the first time 4 KiB
// at a time, after MAP_POPULATE, after MADV_POPULATE_WRITE a stretch at a
// time, advised for huge pages, and once touched; and a 40-byte record's
// write while its page is new.
//
// usage: page_cost [PAGES]   (default 512 pages of 4 KiB a way)
// prints a line a way, "NAME MEDIAN P90 MAX", in microseconds a 4 KiB page
// (for "record", a 40-byte record, and the mean; for "huge", also "stall
// LONGEST", the longest single write, which faults 2 MiB; for
// "populate_write", the longest call, which asks for 64 KiB).
#include "timing.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr std::size_t page = 4096;
constexpr std::size_t huge_page = std::size_t{2} << 20;
constexpr std::size_t record_size = 40;

double quantile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    const auto at = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    return values[at];
}

void print(const char *name, const std::vector<double> &microseconds)
{
    std::printf("%s %.3f %.3f %.3f\n", name, quantile(microseconds, 0.5),
                quantile(microseconds, 0.9), quantile(microseconds, 1.0));
}

// A fresh mapping of SIZE bytes, aligned to 2 MiB, with FLAGS added.
char *fresh(std::size_t size, int flags = 0)
{
    void *mapped = mmap(nullptr, size + huge_page, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | flags, -1, 0);
    if (mapped == MAP_FAILED) {
        std::perror("page_cost: mmap");
        std::exit(1);
    }
    const auto address = reinterpret_cast<std::uintptr_t>(mapped);
    return reinterpret_cast<char *>((address + huge_page - 1) & ~(huge_page - 1));
}

// Microseconds each write of one byte a page takes, page after page.
std::vector<double> first_writes(char *memory, std::size_t pages)
{
    std::vector<double> times;
    for (std::size_t index = 0; index < pages; ++index) {
        const std::int64_t start = timing::now();
        *static_cast<volatile char *>(memory + index * page) = 1;
        times.push_back(static_cast<double>(timing::now() - start) / 1000.0);
    }
    return times;
}

} // namespace

int main(int argc, char **argv)
{
    const long asked = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 512;
    if (argc > 2 || asked < 512 || asked % 512 != 0) {
        std::fputs("usage: page_cost [PAGES, a multiple of 512]\n", stderr);
        return 2;
    }
    const auto pages = static_cast<std::size_t>(asked);
    const std::size_t size = pages * page;

    print("fresh", first_writes(fresh(size), pages));

    // Populated in one call: the call's own cost a page, then the writes.
    {
        const std::int64_t start = timing::now();
        char *memory = fresh(size, MAP_POPULATE);
        const double each =
            static_cast<double>(timing::now() - start) / 1000.0 / static_cast<double>(pages);
        std::printf("populate_call %.3f %.3f %.3f\n", each, each, each);
        print("populated", first_writes(memory, pages));
    }

    // MADV_POPULATE_WRITE, 16 pages a call, timed by the call.
    {
        char *memory = fresh(size);
        constexpr std::size_t stretch = 16;
        std::vector<double> times;
        for (std::size_t index = 0; index < pages; index += stretch) {
            const std::int64_t start = timing::now();
            madvise(memory + index * page, stretch * page, MADV_POPULATE_WRITE);
            times.push_back(static_cast<double>(timing::now() - start) / 1000.0);
        }
        const double longest = quantile(times, 1.0);
        for (double &time : times) {
            time /= static_cast<double>(stretch);
        }
        std::printf("populate_write %.3f %.3f %.3f stall %.1f\n", quantile(times, 0.5),
                    quantile(times, 0.9), quantile(times, 1.0), longest);
    }

    // Advised for huge pages: a first write faults 2 MiB, the rest are free.
    {
        char *memory = fresh(size);
        madvise(memory, size, MADV_HUGEPAGE);
        const std::vector<double> writes = first_writes(memory, pages);
        std::vector<double> per_page;
        for (std::size_t index = 0; index < pages; index += huge_page / page) {
            double sum = 0;
            for (std::size_t within = 0; within < huge_page / page; ++within) {
                sum += writes[index + within];
            }
            per_page.push_back(sum / static_cast<double>(huge_page / page));
        }
        std::printf("huge %.3f %.3f %.3f stall %.1f\n", quantile(per_page, 0.5),
                    quantile(per_page, 0.9), quantile(per_page, 1.0), quantile(writes, 1.0));
    }

    // Touched once, then written again.
    {
        char *memory = fresh(size);
        first_writes(memory, pages);
        print("touched", first_writes(memory, pages));
    }

    // 40-byte records, one after the other, on fresh small pages: each
    // page's first record pays its fault, the rest nothing.
    {
        char *memory = fresh(size);
        madvise(memory, size, MADV_NOHUGEPAGE);
        std::vector<double> times;
        for (std::size_t at = 0; at + record_size <= size; at += record_size) {
            const std::int64_t start = timing::now();
            for (std::size_t byte = 0; byte < record_size; byte += 8) {
                *reinterpret_cast<volatile std::int64_t *>(memory + at + byte) = 1;
            }
            times.push_back(static_cast<double>(timing::now() - start) / 1000.0);
        }
        double sum = 0;
        for (const double time : times) {
            sum += time;
        }
        std::printf("record %.3f %.3f %.3f mean %.3f\n", quantile(times, 0.5), quantile(times, 0.9),
                    quantile(times, 1.0), sum / static_cast<double>(times.size()));
    }
    return 0;
}
