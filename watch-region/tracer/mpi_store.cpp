// The record of a rank's MPI calls (mpi_store.h).
#include "mpi_store.h"

#include "clock.h"
#include "helpers.h"
#include "spin_lock.h"
#include "trace_store.h"

#include <algorithm>
#include <array>
#include <atomic>

namespace tracer::mpi {

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

// The communicators seen. The ones beyond the table are not logged.
constexpr std::size_t max_comms = 64;
constexpr std::size_t max_members = 8192;
struct Communicator {
    std::atomic<Handle> handle;
    int size;
    std::size_t first; // in members
};
std::array<Communicator, max_comms> comm_table{};
std::atomic<std::size_t> comms_used{0};
std::array<int, max_members> members{};
std::atomic<std::size_t> members_used{0};
std::atomic_flag comms_busy = ATOMIC_FLAG_INIT;
int world_rank = -1;
int world_size = 0;

// The log of calls, in the order they ended.
std::array<Call, max_calls> call_log;
std::atomic<std::size_t> made{0};
// The initial thread's time in MPI calls.
std::atomic<std::int64_t> in_mpi_all{0};
std::atomic<std::int64_t> in_mpi_marked{0};
// Whether the program has called MPI_Pcontrol, whose marks replace the
// ones MPI_Init and MPI_Finalize set.
std::atomic<bool> program_marks{false};

// The clock's offsets measured, at MPI_Init and MPI_Finalize.
std::array<ClockOffset, max_offsets> offsets_kept{};
std::size_t offsets_used = 0;

// The requests in flight. The ones beyond the table are not logged.
constexpr int pending_bits = 10;
constexpr std::size_t max_pending = std::size_t{1} << pending_bits;
struct Pending {
    std::atomic<Handle> request;
    Expected expected;
};
std::array<Pending, max_pending> pending{};

std::size_t slot_of(Handle request)
{
    // An Open MPI request is an aligned address, an MPICH one a number that
    // counts up from a fixed high part: both kinds of bits mixed in.
    constexpr int mixed = 4;
    return tracer::slot_of<pending_bits, 0>(request ^ (request >> mixed));
}

// The messages matched by a probe.
constexpr std::size_t max_messages = 256;
struct Probed {
    std::atomic<Handle> message;
    Matched matched;
};
std::array<Probed, max_messages> probed{};

} // namespace

Started begin_call(const char *function)
{
    ThreadTime &thread = this_thread();
    const RuntimeWait wait = begin_wait(thread, now());
    return {wait, ideal(thread), function};
}

void log_call(const Started &started, std::int64_t exit, const char *name, int comm, int world_peer,
              int tag)
{
    const std::size_t index = made.fetch_add(1, relaxed);
    if (index < max_calls) {
        call_log[index] = Call{name,
                               comm,
                               world_peer,
                               tag,
                               started.wait.thread->kernel_thread,
                               started.wait.start,
                               exit,
                               started.ideal,
                               ideal(*started.wait.thread)};
    }
}

std::int64_t end_call(const Started &started, const void *site, const char *name, int comm,
                      int peer, int tag)
{
    const std::int64_t exit = now();
    if (name != nullptr) {
        log_call(started, exit, name, comm, world_of(comm, peer), tag);
    }
    if (started.wait.thread->initial) {
        const Clock spent = span(started.wait.start, exit);
        in_mpi_all.fetch_add(spent.all, relaxed);
        in_mpi_marked.fetch_add(spent.marked, relaxed);
    }
    end_wait(started.wait, exit, {}, {Wait::mpi, site, started.function});
    return exit;
}

int find_comm(Handle handle)
{
    const std::size_t used = comms_used.load(std::memory_order_acquire);
    for (std::size_t index = 0; index < used; ++index) {
        if (comm_table[index].handle.load(relaxed) == handle) {
            return static_cast<int>(index);
        }
    }
    return -1;
}

int add_comm(Handle handle, int size, Translate translate, void *context)
{
    if (world_rank < 0 || size <= 0) {
        return -1;
    }
    lock(comms_busy);
    int found = find_comm(handle);
    const std::size_t index = comms_used.load(relaxed);
    const std::size_t first = members_used.load(relaxed);
    if (found < 0 && index < max_comms && first + static_cast<std::size_t>(size) <= max_members &&
        translate(context, 0, size, &members[first])) {
        comm_table[index].size = size;
        comm_table[index].first = first;
        comm_table[index].handle.store(handle, relaxed);
        members_used.store(first + static_cast<std::size_t>(size), relaxed);
        comms_used.store(index + 1, std::memory_order_release);
        found = static_cast<int>(index);
    }
    unlock(comms_busy);
    return found;
}

int world_of(int index, int rank)
{
    if (index < 0 || rank < 0 || rank >= comm_table[static_cast<std::size_t>(index)].size) {
        return -1;
    }
    return members[comm_table[static_cast<std::size_t>(index)].first +
                   static_cast<std::size_t>(rank)];
}

void expect(Handle request, const Expected &expected)
{
    if (expected.comm < 0 || request == 0) {
        return;
    }
    std::size_t slot = slot_of(request);
    for (std::size_t probe = 0; probe < max_pending; ++probe, slot = (slot + 1) % max_pending) {
        Handle held = 0;
        if (pending[slot].request.compare_exchange_strong(held, request)) {
            pending[slot].expected = expected;
            return;
        }
    }
}

bool take_pending(Handle request, Expected &expected)
{
    if (request == 0) {
        return false;
    }
    std::size_t slot = slot_of(request);
    for (std::size_t probe = 0; probe < max_pending; ++probe, slot = (slot + 1) % max_pending) {
        const Handle held = pending[slot].request.load(relaxed);
        if (held == 0) {
            return false;
        }
        if (held == request) {
            expected = pending[slot].expected;
            pending[slot].request.store(0, relaxed);
            return true;
        }
    }
    return false;
}

void log_completed(const Started &started, std::int64_t exit, Handle request, int source, int tag)
{
    Expected expected{};
    if (!take_pending(request, expected)) {
        return;
    }
    if (expected.collective) {
        log_call({{started.wait.thread, nullptr, expected.entry, 0}, expected.ideal, nullptr}, exit,
                 expected.name, expected.comm, world_of(expected.comm, expected.root), -1);
        return;
    }
    log_call(started, exit, expected.name, expected.comm, world_of(expected.comm, source), tag);
}

void keep_probed(Handle message, const Matched &matched)
{
    for (Probed &slot : probed) {
        Handle held = 0;
        if (message != 0 && slot.message.compare_exchange_strong(held, message)) {
            slot.matched = matched;
            return;
        }
    }
}

Matched take_probed(Handle message)
{
    for (Probed &slot : probed) {
        if (message != 0 && slot.message.load(relaxed) == message) {
            const Matched found = slot.matched;
            slot.message.store(0, relaxed);
            return found;
        }
    }
    return Matched{-1, -1, -1};
}

void set_world(int rank, int size)
{
    world_rank = rank;
    world_size = size;
}

void after_init()
{
    if (!program_marks.load()) {
        mark_start(now());
    }
}

void before_finalize()
{
    if (!program_marks.load()) {
        mark_stop(now());
    }
}

void program_mark(int level, std::int64_t time)
{
    if (!program_marks.exchange(true)) {
        restart_marks(time);
        in_mpi_marked.store(0, relaxed);
    }
    if (level == 0) {
        mark_stop(time);
    }
    else {
        mark_start(time);
    }
}

World world() { return {world_rank, world_size, {in_mpi_all.load(), in_mpi_marked.load()}}; }

std::size_t comms() { return comms_used.load(); }

int comm_size(std::size_t index) { return comm_table[index].size; }

std::size_t calls_made() { return made.load(); }

const Call &call(std::size_t index) { return call_log[index]; }

void keep_offset(const ClockOffset &measured)
{
    if (offsets_used < max_offsets) {
        offsets_kept[offsets_used++] = measured;
    }
}

std::size_t offsets() { return offsets_used; }

const ClockOffset &offset(std::size_t index) { return offsets_kept[index]; }

void forget()
{
    offsets_used = 0;
    for (Communicator &comm : comm_table) {
        comm.handle.store(0, relaxed);
    }
    comms_used.store(0);
    members_used.store(0);
    made.store(0);
    in_mpi_all.store(0);
    in_mpi_marked.store(0);
    program_marks.store(false);
    for (Pending &slot : pending) {
        slot.request.store(0, relaxed);
    }
    for (Probed &slot : probed) {
        slot.message.store(0, relaxed);
    }
    set_world(-1, 0);
}

} // namespace tracer::mpi
