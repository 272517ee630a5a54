// What this machine charges for a first write to memory, the cost under a
// tracer's table of events: anonymous memory written for the first time 4 KiB
// at a time, after MAP_POPULATE, after MADV_POPULATE_WRITE a stretch at a
// time, advised for huge pages, and once touched; a 40-byte record's write
// while its page is new; and what a read of a page touched before costs
// just after a system call.
//
// usage: page_cost [PAGES]   (default 512 pages of 4 KiB a way, a multiple
//   of 512)
// prints a line a way, "NAME MEDIAN P90 MAX", in microseconds a 4 KiB page
// (for "record", a 40-byte record, and the mean; for "huge", also "stall
// LONGEST", the longest single write, which faults 2 MiB; for
// "populate_write", the longest call, which asks for 64 KiB; for "walk",
// a read after a system call, more than one without).
#include "timing.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numeric>
#include <span>
#include <vector>

namespace {

constexpr std::size_t page = 4096;
constexpr std::size_t huge_page = std::size_t{2} << 20;
constexpr std::size_t pages_a_huge_page = huge_page / page;
constexpr std::size_t record_size = 40;
constexpr double middle = 0.5;
constexpr double ninetieth = 0.9;

double microseconds(std::int64_t nanoseconds)
{
    constexpr double nanoseconds_a_microsecond = 1000.0;
    return static_cast<double>(nanoseconds) / nanoseconds_a_microsecond;
}

double quantile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    const auto index = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    return values[index];
}

void print(const char *name, const std::vector<double> &times)
{
    std::printf("%s %.3f %.3f %.3f\n", name, quantile(times, middle), quantile(times, ninetieth),
                quantile(times, 1.0));
}

// A fresh mapping of SIZE bytes, aligned to 2 MiB, populated if POPULATE;
// empty if the kernel refuses it.
std::span<std::byte> fresh(std::size_t size, bool populate = false)
{
    const int flags = populate ? MAP_POPULATE : 0;
    std::size_t space = size + huge_page;
    void *mapped =
        mmap(nullptr, space, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | flags, -1, 0);
    if (mapped == MAP_FAILED || std::align(huge_page, size, mapped, space) == nullptr) {
        std::perror("page_cost: mmap");
        return {};
    }
    return {static_cast<std::byte *>(mapped), size};
}

// Microseconds each write of one byte a page takes, page after page.
std::vector<double> first_writes(std::span<std::byte> memory)
{
    std::vector<double> times;
    for (std::size_t at_byte = 0; at_byte < memory.size(); at_byte += page) {
        const std::int64_t start = timing::now();
        *static_cast<volatile std::byte *>(&memory[at_byte]) = std::byte{1};
        times.push_back(microseconds(timing::now() - start));
    }
    return times;
}

void populated_writes(std::size_t size)
{
    const std::int64_t start = timing::now();
    const std::span<std::byte> memory = fresh(size, true);
    const double each = microseconds(timing::now() - start) /
                        (static_cast<double>(size) / static_cast<double>(page));
    std::printf("populate_call %.3f %.3f %.3f\n", each, each, each);
    print("populated", first_writes(memory));
}

// MADV_POPULATE_WRITE, 16 pages a call, timed by the call.
void populate_write(std::size_t size)
{
    const std::span<std::byte> memory = fresh(size);
    constexpr std::size_t stretch = 16 * page;
    std::vector<double> times;
    for (std::size_t at_byte = 0; at_byte < memory.size(); at_byte += stretch) {
        const std::int64_t start = timing::now();
        madvise(&memory[at_byte], stretch, MADV_POPULATE_WRITE);
        times.push_back(microseconds(timing::now() - start));
    }
    const double longest = quantile(times, 1.0);
    std::transform(times.begin(), times.end(), times.begin(), [](double time) {
        return time / (static_cast<double>(stretch) / static_cast<double>(page));
    });
    std::printf("populate_write %.3f %.3f %.3f stall %.1f\n", quantile(times, middle),
                quantile(times, ninetieth), quantile(times, 1.0), longest);
}

// Advised for huge pages: a first write faults 2 MiB, the rest are free.
void huge_writes(std::size_t size)
{
    const std::span<std::byte> memory = fresh(size);
    madvise(memory.data(), memory.size(), MADV_HUGEPAGE);
    const std::vector<double> writes = first_writes(memory);
    std::vector<double> per_page;
    for (std::size_t index = 0; index < writes.size(); index += pages_a_huge_page) {
        const auto first = writes.begin() + static_cast<std::ptrdiff_t>(index);
        per_page.push_back(
            std::accumulate(first, first + static_cast<std::ptrdiff_t>(pages_a_huge_page), 0.0) /
            static_cast<double>(pages_a_huge_page));
    }
    std::printf("huge %.3f %.3f %.3f stall %.1f\n", quantile(per_page, middle),
                quantile(per_page, ninetieth), quantile(per_page, 1.0), quantile(writes, 1.0));
}

// 40-byte records, one after the other, on fresh small pages: each page's
// first record pays its fault, the rest nothing.
void record_writes(std::size_t size)
{
    const std::span<std::byte> memory = fresh(size);
    madvise(memory.data(), memory.size(), MADV_NOHUGEPAGE);
    std::vector<double> times;
    for (std::size_t at_byte = 0; at_byte + record_size <= memory.size(); at_byte += record_size) {
        const std::int64_t start = timing::now();
        for (std::size_t byte = 0; byte < record_size; byte += sizeof(std::int64_t)) {
            *static_cast<volatile std::byte *>(&memory[at_byte + byte]) = std::byte{1};
        }
        times.push_back(microseconds(timing::now() - start));
    }
    std::printf("record %.3f %.3f %.3f mean %.3f\n", quantile(times, middle),
                quantile(times, ninetieth), quantile(times, 1.0),
                std::accumulate(times.begin(), times.end(), 0.0) /
                    static_cast<double>(times.size()));
}

// Pages touched before, read in a chain (each read gives the next page's
// offset, as a run of code does), just after a system call and without
// one: where the kernel empties the TLB at every call (its page tables
// isolated, on a processor without context identifiers), each page after a
// call costs a page walk. Microseconds a page, the chain after a call less
// the median chain without one.
void walks()
{
    constexpr std::size_t pages = 16;
    constexpr int samples = 2001;
    const std::span<std::byte> memory = fresh(pages * page);
    if (memory.empty()) {
        return;
    }
    madvise(memory.data(), memory.size(), MADV_NOHUGEPAGE);
    for (std::size_t index = 0; index < pages; ++index) {
        const std::size_t next = (index + 1) % pages * page;
        std::memcpy(&memory[index * page], &next, sizeof next);
    }
    const auto chain = [&memory](bool call) {
        if (call) {
            getppid();
        }
        const std::int64_t start = timing::now();
        std::size_t offset = 0;
        for (std::size_t step = 0; step < pages; ++step) {
            std::memcpy(&offset, &memory[offset], sizeof offset);
        }
        const std::int64_t took = timing::now() - start;
        // Where the chain ends is used, so that its reads stay in.
        return offset == 0 ? took : -1;
    };
    std::vector<double> after;
    std::vector<double> without;
    for (int sample = 0; sample < samples; ++sample) {
        after.push_back(microseconds(chain(true)));
        without.push_back(microseconds(chain(false)));
    }
    const double plain = quantile(without, middle);
    std::transform(after.begin(), after.end(), after.begin(),
                   [plain](double time) { return (time - plain) / static_cast<double>(pages); });
    print("walk", after);
}

} // namespace

int main(int argc, char **argv)
{
    const auto arguments = std::span(argv, static_cast<std::size_t>(argc));
    const long asked =
        argc > 1 ? std::strtol(arguments[1], nullptr, 10) : static_cast<long>(pages_a_huge_page);
    if (argc > 2 || asked < 1 || asked % static_cast<long>(pages_a_huge_page) != 0) {
        std::fputs("usage: page_cost [PAGES, a multiple of 512]\n", stderr);
        return 2;
    }
    const std::size_t size = static_cast<std::size_t>(asked) * page;
    const std::span<std::byte> memory = fresh(size);
    if (memory.empty()) {
        return 1;
    }
    print("fresh", first_writes(memory));
    populated_writes(size);
    populate_write(size);
    huge_writes(size);
    const std::span<std::byte> touched = fresh(size);
    first_writes(touched);
    print("touched", first_writes(touched));
    record_writes(size);
    walks();
    return 0;
}
