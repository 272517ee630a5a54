// The table's memory (table_memory.h).
#include "table_memory.h"

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <pthread.h>
#include <sched.h>
#include <string_view>
#include <sys/mman.h>

namespace tracer {

TableMemory table_memory;
thread_local bool creating_own_thread = false;

Pages pages_from(const char *name)
{
    const std::string_view asked = name != nullptr ? name : "";
    return asked == "touched" ? Pages::touched
           : asked == "small" ? Pages::small
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

// Where the toucher stops: the end of the slots it was asked for.
std::uintptr_t touch_end = 0;

// A locked OR of nothing is a write to the page, faulting it in, that leaves
// its byte as it finds it; the thread sanitizer is not told, as the program
// is not.
__attribute__((no_sanitize("thread"))) void *touch(void * /*unused*/)
{
    for (std::uintptr_t page = table_start() + small_part; page < touch_end; page += huge_page) {
        __atomic_fetch_or(reinterpret_cast<unsigned char *>(page), 0, __ATOMIC_RELAXED);
    }
    return nullptr;
}

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

bool touch_ahead(std::size_t slots)
{
    touch_end = table_start() + std::min(slots, capacity) * sizeof(Record);
    if (touch_end <= table_start() + small_part) {
        return false;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    // Only a core that the program leaves idle runs it; a thread of the
    // program's that wakes takes that core back at once.
    pthread_attr_setinheritsched(&attributes, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attributes, SCHED_IDLE);
    const sched_param lowest{};
    pthread_attr_setschedparam(&attributes, &lowest);
    sigset_t all;
    sigset_t held;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &held);
    pthread_t toucher{};
    creating_own_thread = true;
    const bool started = pthread_create(&toucher, &attributes, touch, nullptr) == 0;
    creating_own_thread = false;
    pthread_sigmask(SIG_SETMASK, &held, nullptr);
    pthread_attr_destroy(&attributes);
    return started;
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
