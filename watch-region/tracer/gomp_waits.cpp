// The libgomp half's entries where a thread waits (see gomp_entries.cpp):
// each runs between the thread's entering the runtime and its leaving it,
// timed as a wait of its kind at its call site (runtime_time.h); a task's
// body runs inside a trampoline of its own, which times it and carries the
// clock of its creation to its start. Under libomp, which reports its own
// waits to the tool, each entry only calls the real one.
#include "gomp_entries.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <type_traits>

using namespace tracer;
using namespace gomp;

namespace {

// What an entry that no loaded libgomp has returns.
template <typename Result> Result result_of_none()
{
    if constexpr (!std::is_void_v<Result>) {
        return Result{};
    }
}

// Runs the real ENTRY, with ARGUMENTS, as a wait of KIND (counted when
// COUNTED) at SITE: ARRIVE is given the thread's record, the region it
// is in (or null) and the wait's start before it, and returns the delay the
// thread caused by arriving last (-1: none), and DEPART returns the clock
// the thread waited for, after it. The tasks the thread runs meanwhile are its useful
// time, not the wait's.
template <Entry entry, typename Result, typename Arrive, typename Depart, typename... Arguments>
Result waited(Wait kind, bool counted, const void *site, Arrive arrive, Depart depart,
              Arguments... arguments)
{
    auto *real_entry = reinterpret_cast<Result (*)(Arguments...)>(real(entry));
    if (real_entry == nullptr) {
        return result_of_none<Result>();
    }
    if (runtime_reports_regions) {
        return real_entry(arguments...);
    }
    ThreadTime &thread = this_thread();
    const RuntimeWait wait = begin_wait(thread, now());
    const std::int64_t caused = arrive(thread, wait.inside, wait.start);
    const auto finish = [&] {
        const std::int64_t end = now();
        end_wait(wait, end, depart(wait.inside), {kind, site, nullptr, counted, caused});
    };
    if constexpr (std::is_void_v<Result>) {
        real_entry(arguments...);
        finish();
    }
    else {
        const Result result = real_entry(arguments...);
        finish();
        return result;
    }
}

constexpr auto no_arrival = [](const ThreadTime & /*thread*/, Inside * /*inside*/,
                               std::int64_t /*start*/) { return std::int64_t{-1}; };
constexpr auto no_departure = [](Inside * /*inside*/) { return Clock{}; };
// A wait for tasks: until the last of its team's tasks to have ended.
constexpr auto tasks_of_region = [](Inside *inside) {
    return inside != nullptr ? inside->region->meet.tasks_ended.read() : Clock{};
};

// A barrier of the team: every thread's arrival before any departure, and
// the team's tasks, which a barrier completes. The arrivals' clock is read
// as the thread's ideal clock next is (meet_later): as the barrier ends, its
// line is the last arrival's.
template <Entry entry> void barrier(const void *site)
{
    unsigned parity = 0;
    Inside *met = nullptr;
    waited<entry, void>(
        Wait::barrier, true, site,
        [&parity, &met](const ThreadTime &thread, Inside *inside, std::int64_t start) {
            if (inside == nullptr) {
                return std::int64_t{-1};
            }
            const Arrival arrival = arrive_at_barrier(*inside, thread, start);
            parity = arrival.parity;
            met = inside;
            return arrival.caused;
        },
        [](Inside *inside) {
            return inside == nullptr ? Clock{} : inside->region->meet.tasks_ended.read();
        });
    if (met != nullptr) {
        meet_later(this_thread(), met->region->meet.barriers[parity]);
    }
}

// What OBJECT is (null: the team's ordered block, none outside a region).
Guard guard_for(const void *object, Inside *inside)
{
    if (object != nullptr) {
        return guard_of(object);
    }
    return inside != nullptr ? ordered_guard(*inside->region) : Guard{};
}

// Entering what OBJECT guards: after its last release. The thread waits
// until it holds OBJECT, so that the release's clock holds until it
// releases OBJECT in turn: it is read as the thread's ideal clock next is,
// and its cache line, which the last holder wrote, comes over meanwhile
// (not where the clock is shared with other objects).
template <Entry entry, typename... Arguments>
void acquire(Wait kind, const void *site, const void *object, Arguments... arguments)
{
    const MeetingClock *released = nullptr;
    waited<entry, void>(
        kind, true, site, no_arrival,
        [object, &released](Inside *inside) {
            const Guard guard = guard_for(object, inside);
            if (guard.released != nullptr && guard.shared) {
                return last_release(guard, false);
            }
            released = guard.released;
            __builtin_prefetch(released, 1);
            return Clock{};
        },
        arguments...);
    if (released != nullptr) {
        meet_later(this_thread(), *released);
    }
}

// A test of OBJECT, which may take it: after its last release, read at once.
// The test does not wait: it is not counted.
template <Entry entry, typename Result, typename... Arguments>
Result test(Wait kind, const void *site, const void *object, Arguments... arguments)
{
    return waited<entry, Result>(
        kind, false, site, no_arrival,
        [object](Inside *inside) {
            const Guard guard = guard_for(object, inside);
            return guard.released != nullptr ? last_release(guard, false) : Clock{};
        },
        arguments...);
}

// The release: the thread's clock now, kept for the next to enter.
template <Entry entry, typename... Arguments>
void release(const void *object, Arguments... arguments)
{
    auto *real_entry = reinterpret_cast<void (*)(Arguments...)>(real(entry));
    if (real_entry == nullptr) {
        return;
    }
    if (!runtime_reports_regions) {
        if (const Guard guard = guard_for(object, innermost()); guard.released != nullptr) {
            tracer::release(guard, this_thread(), now(), false);
        }
    }
    real_entry(arguments...);
}

// The unnamed critical section's stand-in for a name.
constexpr char unnamed_critical = 0;

// A task's body, and what its trampoline needs, ahead of the program's data
// in the block that libgomp copies for the task.
struct TaskHeader {
    Body body;
    void (*copy)(void *, void *);
    void *source; // the program's data, which its copy function copies
    Region *region;
    const void *created_at; // the call site that created it
    Clock created;
    std::size_t offset; // of the program's data in the block
};

// The program's data in a task's block, OFFSET bytes in.
void *data_in(void *block, std::size_t offset)
{
    return static_cast<char *>(block) + offset; // NOLINT(*-pointer-arithmetic)
}

void traced_task(void *block)
{
    TaskHeader header{};
    std::memcpy(&header, block, sizeof header);
    ThreadTime &thread = this_thread();
    // A task starts once it is made and its thread is free, and the thread
    // goes on from its end.
    const TaskRun run = begin_task(thread, now(), header.created);
    header.body(data_in(block, header.offset));
    end_task(thread, run, header.region, header.created_at, now());
}

// Copies a task's block: the header as it is, the program's data with the
// program's copy function.
void copy_task(void *into, void *from)
{
    TaskHeader header{};
    std::memcpy(&header, from, sizeof header);
    std::memcpy(into, &header, sizeof header);
    header.copy(data_in(into, header.offset), header.source);
}

using CopyFunction = void (*)(void *, void *);
// What a single construct's copy gives the threads that did not run it.
using Copied = void *;
using TaskEntry = void (*)(Body, void *, CopyFunction, long, long, bool, unsigned, void **, int,
                           void *);
// A task that is to be its own event (detach) has the event written into
// the first word of its data; its body is left as it is.
constexpr unsigned detach_flag = 1U << 13;
// Larger data is left as it is; a block up to small_block bytes is made on
// the stack.
constexpr long largest_copied = 1L << 16;
constexpr std::size_t small_block = 1024;

void create_task(const void *site, Body body, void *data, CopyFunction copy, long size, long align,
                 bool if_clause, unsigned flags, void **depend, int priority, void *detach)
{
    auto *real_task = reinterpret_cast<TaskEntry>(real(Entry::GOMP_task));
    if (real_task == nullptr) {
        return;
    }
    if (runtime_reports_regions || (flags & detach_flag) != 0 || size < 0 ||
        size > largest_copied || align > largest_copied || (align & (align - 1)) != 0) {
        real_task(body, data, copy, size, align, if_clause, flags, depend, priority, detach);
        return;
    }
    ThreadTime &thread = this_thread();
    enter_runtime(thread, now());
    const auto header_align = static_cast<long>(alignof(TaskHeader));
    const long block_align = std::max(align, header_align);
    const long offset = (static_cast<long>(sizeof(TaskHeader)) + block_align - 1) & -block_align;
    const long block_size = offset + size;
    // The block, which libgomp copies or runs at once: on the stack where it
    // is small, else on the heap, until libgomp returns.
    const auto space_size = static_cast<std::size_t>(block_size + block_align);
    std::array<unsigned char, small_block> small; // NOLINT(*-member-init): written before read
    // NOLINTNEXTLINE(cppcoreguidelines-no-malloc,hicpp-no-malloc): freed below
    void *large = space_size > small.size() ? std::malloc(space_size) : nullptr;
    if (space_size > small.size() && large == nullptr) {
        leave_runtime(thread, now());
        real_task(body, data, copy, size, align, if_clause, flags, depend, priority, detach);
        return;
    }
    void *space = large != nullptr ? large : small.data();
    auto *block = reinterpret_cast<char *>(
        (reinterpret_cast<std::uintptr_t>(space) + static_cast<std::uintptr_t>(block_align) - 1) &
        ~static_cast<std::uintptr_t>(block_align - 1));
    const Inside *inside = innermost();
    const TaskHeader header{body,
                            copy,
                            data,
                            inside != nullptr ? inside->region : nullptr,
                            site,
                            ideal(thread),
                            static_cast<std::size_t>(offset)};
    std::memcpy(block, &header, sizeof header);
    if (copy == nullptr && size > 0) {
        std::memcpy(data_in(block, static_cast<std::size_t>(offset)), data,
                    static_cast<std::size_t>(size));
    }
    real_task(traced_task, block, copy != nullptr ? copy_task : nullptr, block_size, block_align,
              if_clause, flags, depend, priority, detach);
    std::free(large); // NOLINT(cppcoreguidelines-no-malloc,hicpp-no-malloc)
    leave_runtime(thread, now());
}

} // namespace

#pragma GCC visibility push(default)
extern "C" {

// An interposer for each entry where a thread waits, made by INTERPOSE_kind.
// NOLINTBEGIN(cppcoreguidelines-macro-usage): made from the list
#define INTERPOSE_barrier(symbol)                                                                  \
    [[gnu::hot]] void symbol() { barrier<Entry::symbol>(__builtin_return_address(0)); }
#define INTERPOSE_critical_start(symbol)                                                           \
    [[gnu::hot]] void symbol()                                                                     \
    {                                                                                              \
        acquire<Entry::symbol>(Wait::critical, __builtin_return_address(0), &unnamed_critical);    \
    }
#define INTERPOSE_critical_end(symbol)                                                             \
    [[gnu::hot]] void symbol() { release<Entry::symbol>(&unnamed_critical); }
#define INTERPOSE_critical_name_start(symbol)                                                      \
    [[gnu::hot]] void symbol(void **name)                                                          \
    {                                                                                              \
        acquire<Entry::symbol>(Wait::critical, __builtin_return_address(0), name, name);           \
    }
#define INTERPOSE_critical_name_end(symbol)                                                        \
    [[gnu::hot]] void symbol(void **name) { release<Entry::symbol>(name, name); }
#define INTERPOSE_ordered_start(symbol)                                                            \
    [[gnu::hot]] void symbol()                                                                     \
    {                                                                                              \
        acquire<Entry::symbol>(Wait::ordered, __builtin_return_address(0), nullptr);               \
    }
#define INTERPOSE_ordered_end(symbol)                                                              \
    [[gnu::hot]] void symbol() { release<Entry::symbol>(nullptr); }
#define INTERPOSE_set_lock(symbol)                                                                 \
    [[gnu::hot]] void symbol(void *lock)                                                           \
    {                                                                                              \
        acquire<Entry::symbol>(Wait::lock, __builtin_return_address(0), lock, lock);               \
    }
#define INTERPOSE_unset_lock(symbol)                                                               \
    [[gnu::hot]] void symbol(void *lock) { release<Entry::symbol>(lock, lock); }
#define INTERPOSE_test_lock(symbol)                                                                \
    [[gnu::hot]] int symbol(void *lock)                                                            \
    {                                                                                              \
        return test<Entry::symbol, int>(Wait::lock, __builtin_return_address(0), lock, lock);      \
    }
#define INTERPOSE_taskwait(symbol)                                                                 \
    [[gnu::hot]] void symbol()                                                                     \
    {                                                                                              \
        waited<Entry::symbol, void>(Wait::taskwait, true, __builtin_return_address(0), no_arrival, \
                                    tasks_of_region);                                              \
    }
#define INTERPOSE_taskgroup_end(symbol)                                                            \
    [[gnu::hot]] void symbol()                                                                     \
    {                                                                                              \
        waited<Entry::symbol, void>(Wait::taskgroup, true, __builtin_return_address(0),            \
                                    no_arrival, tasks_of_region);                                  \
    }
#define INTERPOSE_copy_start(symbol)                                                               \
    [[gnu::hot]] Copied symbol()                                                                   \
    {                                                                                              \
        return waited<Entry::symbol, Copied>(Wait::single, true, __builtin_return_address(0),      \
                                             no_arrival, no_departure);                            \
    }
#define INTERPOSE_task(symbol)                                                                     \
    [[gnu::hot]] void symbol(Body body, void *data, CopyFunction copy, long size, long align,      \
                             bool if_clause, unsigned flags, void **depend, int priority,          \
                             void *detach)                                                         \
    {                                                                                              \
        create_task(__builtin_return_address(0), body, data, copy, size, align, if_clause, flags,  \
                    depend, priority, detach);                                                     \
    }
#include "interpose_none.h"
#define KIND(kind, body_argument, team_size_argument, flags_argument)
#define ENTRY(symbol, version, kind) INTERPOSE_##kind(symbol)
#include "entries.def"
// NOLINTEND(cppcoreguidelines-macro-usage)
}
#pragma GCC visibility pop
