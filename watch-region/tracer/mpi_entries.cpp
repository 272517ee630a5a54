// The tracer's half for MPI: when the program has an MPI library (linked,
// or opened with dlopen), the tracer times its calls as time out of the
// program's own code, each a wait of kind mpi at its call site, and keeps a
// log of the calls that carry messages or meet other ranks, from which
// watch-region matches each send to its receive and each collective across
// the ranks. MPI_Pcontrol(1) and (0) start and stop the interval measured;
// without them, it runs from MPI_Init's return to the call of MPI_Finalize.
// Each real call is found by its name when first called, as libgomp's are;
// a call that no loaded library has returns MPI_ERR_OTHER, never a crash.
// The log needs the library's types: it is built for the MPI whose header
// the build finds (Open MPI on Debian). The Fortran entries, which call the
// library's own profiling entries, are timed only.
// The header's own switches: its C API only.
#define OMPI_SKIP_MPICXX 1  // NOLINT(cppcoreguidelines-macro-usage)
#define MPICH_SKIP_MPICXX 1 // NOLINT(cppcoreguidelines-macro-usage)
#include "trace_store.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <dlfcn.h>
#include <mpi.h>

using namespace tracer;

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

// The real function NAME, looked up once into SLOT.
void *find(std::atomic<void *> &slot, const char *name)
{
    void *address = slot.load(std::memory_order_acquire);
    if (address != nullptr) {
        return address;
    }
    address = dlsym(RTLD_NEXT, name);
    for (const char *library : {"libmpi.so.40", "libmpi.so.12", "libmpich.so.12"}) {
        if (address != nullptr) {
            break;
        }
        if (void *opened = dlopen(library, RTLD_LAZY | RTLD_NOLOAD); opened != nullptr) {
            address = dlsym(opened, name);
            dlclose(opened);
        }
    }
    slot.store(address, std::memory_order_release);
    return address;
}

// NOLINTBEGIN(cppcoreguidelines-macro-usage,bugprone-macro-parentheses): a name and its type
#define REAL(function)                                                                             \
    ([]() {                                                                                        \
        static std::atomic<void *> slot{nullptr};                                                  \
        return reinterpret_cast<decltype(&function)>(find(slot, #function));                       \
    }())
// NOLINTEND(cppcoreguidelines-macro-usage,bugprone-macro-parentheses)

// The communicators seen: each one's members as world ranks, so that the
// ranks name it alike. The ones beyond the table are not logged.
constexpr std::size_t max_comms = 64;
constexpr std::size_t max_members = 8192;
struct Communicator {
    std::atomic<MPI_Comm> handle;
    int size;
    std::size_t first; // in members
};
std::array<Communicator, max_comms> comms{};
std::atomic<std::size_t> comms_used{0};
std::array<int, max_members> members{};
std::atomic<std::size_t> members_used{0};
std::atomic_flag comms_busy = ATOMIC_FLAG_INIT;
MPI_Group world_group = nullptr;
int world_rank = -1;
int world_size = 0;

int comm_index(MPI_Comm comm)
{
    const std::size_t used = comms_used.load(std::memory_order_acquire);
    for (std::size_t index = 0; index < used; ++index) {
        if (comms[index].handle.load(relaxed) == comm) {
            return static_cast<int>(index);
        }
    }
    if (world_group == nullptr || comm == nullptr) {
        return -1;
    }
    while (comms_busy.test_and_set(std::memory_order_acquire)) {
    }
    int found = -1;
    int size = 0;
    MPI_Group group = nullptr;
    const std::size_t index = comms_used.load(relaxed);
    if (index < max_comms && REAL(PMPI_Comm_size)(comm, &size) == MPI_SUCCESS && size > 0 &&
        members_used.load(relaxed) + static_cast<std::size_t>(size) <= max_members &&
        REAL(PMPI_Comm_group)(comm, &group) == MPI_SUCCESS) {
        const std::size_t first = members_used.load(relaxed);
        constexpr std::size_t at_once = 256;
        std::array<int, at_once> ranks{};
        bool translated = true;
        for (int start = 0; start < size && translated; start += static_cast<int>(ranks.size())) {
            const int count = std::min(size - start, static_cast<int>(ranks.size()));
            for (int rank = 0; rank < count; ++rank) {
                ranks[static_cast<std::size_t>(rank)] = start + rank;
            }
            translated = REAL(PMPI_Group_translate_ranks)(
                             group, count, ranks.data(), world_group,
                             &members[first + static_cast<std::size_t>(start)]) == MPI_SUCCESS;
        }
        REAL(PMPI_Group_free)(&group);
        if (translated) {
            comms[index].size = size;
            comms[index].first = first;
            comms[index].handle.store(comm, relaxed);
            members_used.store(first + static_cast<std::size_t>(size), relaxed);
            comms_used.store(index + 1, std::memory_order_release);
            found = static_cast<int>(index);
        }
    }
    comms_busy.clear(std::memory_order_release);
    return found;
}

// RANK of the communicator at INDEX as a world rank; -1 for none.
int world_of(int index, int rank)
{
    if (index < 0 || rank < 0 || rank >= comms[static_cast<std::size_t>(index)].size) {
        return -1;
    }
    return members[comms[static_cast<std::size_t>(index)].first + static_cast<std::size_t>(rank)];
}

// The log of calls, in the order they ended.
struct Call {
    const char *name;
    std::int32_t comm, peer, tag, kernel_thread;
    std::int64_t entry, exit;
    Clock ideal_entry, ideal_exit;
};
constexpr std::size_t max_calls = 1 << 16;
std::array<Call, max_calls> calls;
std::atomic<std::size_t> calls_made{0};
// The initial thread's time in MPI calls.
std::atomic<std::int64_t> in_mpi_all{0};
std::atomic<std::int64_t> in_mpi_marked{0};

// Whether the program has called MPI_Pcontrol, whose marks replace the
// ones MPI_Init and MPI_Finalize set.
std::atomic<bool> program_marks{false};

// One call in progress on this thread.
struct Started {
    ThreadTime *thread;
    std::int64_t entry;
    Clock ideal;
    const char *function;
};

Started begin_call(const char *function)
{
    ThreadTime &thread = this_thread();
    const std::int64_t entry = now();
    enter_runtime(thread, entry);
    return {&thread, entry, ideal(thread), function};
}

void log_call(const Started &started, std::int64_t exit, const char *name, int comm, int peer,
              int tag)
{
    const std::size_t index = calls_made.fetch_add(1, relaxed);
    if (index < max_calls) {
        calls[index] = Call{name,
                            comm,
                            peer,
                            tag,
                            started.thread->kernel_thread,
                            started.entry,
                            exit,
                            started.ideal,
                            ideal(*started.thread)};
    }
}

// Ends the call started, logged as OP on COMM (-1: not logged) with PEER
// (a rank of COMM) and TAG; returns the time it ended.
std::int64_t end_call(const Started &started, const void *site, const char *name, int comm = -1,
                      int peer = -1, int tag = -1)
{
    ThreadTime &thread = *started.thread;
    const std::int64_t exit = now();
    if (name != nullptr) {
        log_call(started, exit, name, comm, world_of(comm, peer), tag);
    }
    const Inside *inside = innermost();
    if (thread.initial) {
        const Clock spent = span(started.entry, exit);
        in_mpi_all.fetch_add(spent.all, relaxed);
        in_mpi_marked.fetch_add(spent.marked, relaxed);
    }
    leave_runtime(thread, exit);
    record_wait(Wait::mpi, inside != nullptr ? inside->region->id : 0,
                reinterpret_cast<std::intptr_t>(site), started.entry, exit);
    count_wait(thread, Wait::mpi, site, inside != nullptr ? inside->region->site : -1,
               exit - started.entry, started.function);
    return exit;
}

// The receives and the nonblocking collectives in flight, by request, with
// their communicators; a collective also with its root and its start, where
// it is entered. The ones beyond the table are not logged.
constexpr std::size_t max_pending = 1024;
struct Expected {
    int comm;
    const char *name;
    int root;
    std::int64_t entry;
    Clock ideal;
    bool collective;
};
struct Pending {
    std::atomic<MPI_Request> request;
    Expected expected;
};
std::array<Pending, max_pending> pending{};

std::size_t slot_of(MPI_Request request)
{
    // Fibonacci hashing: the top 10 bits of the handle times 2^64 / phi.
    constexpr std::uint64_t golden = 0x9e3779b97f4a7c15;
    constexpr int top_bits = 64 - 10;
    return (reinterpret_cast<std::uintptr_t>(request) >> 4) * golden >> top_bits;
}

void expect(MPI_Request request, const Expected &expected)
{
    if (expected.comm < 0) {
        return;
    }
    std::size_t slot = slot_of(request) % max_pending;
    for (std::size_t probe = 0; probe < max_pending; ++probe, slot = (slot + 1) % max_pending) {
        MPI_Request held = nullptr;
        if (pending[slot].request.compare_exchange_strong(held, request)) {
            pending[slot].expected = expected;
            return;
        }
    }
}

void expect_receive(MPI_Request request, int comm, const char *name)
{
    expect(request, {comm, name, -1, 0, {}, false});
}

// What REQUEST was, if any, forgotten.
bool take_pending(MPI_Request request, Expected &expected)
{
    if (request == nullptr) {
        return false;
    }
    std::size_t slot = slot_of(request) % max_pending;
    for (std::size_t probe = 0; probe < max_pending; ++probe, slot = (slot + 1) % max_pending) {
        MPI_Request held = pending[slot].request.load(relaxed);
        if (held == nullptr) {
            return false;
        }
        if (held == request) {
            expected = pending[slot].expected;
            pending[slot].request.store(nullptr, relaxed);
            return true;
        }
    }
    return false;
}

// Completion calls: the requests given, as they were before the call, and
// statuses to read back when the program ignores its own. Left as they are
// on the stack, not cleared: only the first COUNT requests are read, and a
// status only once the call has written it.
constexpr int max_tracked = 256;
// NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init): left uncleared on purpose
template <int size> struct Completion {
    std::array<MPI_Request, size> requests;
    std::array<MPI_Status, size> statuses;
    int count = 0;
};
using One = Completion<1>;
using Many = Completion<max_tracked>;

template <int size>
void log_completed(const Started &started, std::int64_t exit, const Completion<size> &before,
                   int index, const MPI_Status &status)
{
    Expected expected{};
    if (index < 0 || index >= before.count ||
        !take_pending(before.requests[static_cast<std::size_t>(index)], expected)) {
        return;
    }
    if (expected.collective) {
        log_call({started.thread, expected.entry, expected.ideal, nullptr}, exit, expected.name,
                 expected.comm, world_of(expected.comm, expected.root), -1);
        return;
    }
    log_call(started, exit, expected.name, expected.comm,
             world_of(expected.comm, status.MPI_SOURCE), status.MPI_TAG);
}

// Ends the call that started the nonblocking collective NAME on COMM (with
// ROOT) as REQUEST, if RESULT says it did.
int posted(const Started &started, const void *site, int result, MPI_Request request,
           const char *name, MPI_Comm comm, int root = -1)
{
    if (result == MPI_SUCCESS) {
        expect(request, {comm_index(comm), name, root, started.entry, started.ideal, true});
    }
    end_call(started, site, nullptr);
    return result;
}

// The statuses a completion of many requests is given: the program's own,
// PROGRAM, which may be IGNORE, and how many the call writes, WANTED (1: a
// single status).
struct Statuses {
    MPI_Status *program;
    MPI_Status *ignore;
    int wanted;
};

// A completion of COUNT REQUESTS, whose real entry was FOUND or not:
// CALL(statuses) makes the real call with the program's statuses or, where
// it ignores them and they fit, the wrapper's own; then, unless they are
// ignored still, COMPLETED(statuses, log) calls log(index, status) for each
// request that the call's results say it completed, and each receive among
// them is logged.
template <typename Call, typename Completed>
int complete(const void *site, const char *function, bool found, int count,
             const MPI_Request *requests, const Statuses &statuses, Call call, Completed completed)
{
    if (!found) {
        return MPI_ERR_OTHER;
    }
    Many before;
    before.count = std::min(count, max_tracked);
    std::copy_n(requests, before.count, before.requests.begin());
    MPI_Status *given = statuses.program == statuses.ignore && statuses.wanted <= max_tracked
                            ? before.statuses.data()
                            : statuses.program;
    const Started started = begin_call(function);
    const int result = call(given);
    if (given != statuses.ignore) {
        // One time for all the receives completed, read at the first.
        std::int64_t exit = 0;
        bool timed = false;
        completed(given, [&](int index, const MPI_Status &status) {
            if (!timed) {
                exit = now();
                timed = true;
            }
            log_completed(started, exit, before, index, status);
        });
    }
    end_call(started, site, nullptr);
    return result;
}

// MPI_Waitsome and MPI_Testsome, called as REAL: the requests they complete
// are the first DONE of INDICES.
template <typename Real>
int complete_some(const void *site, const char *function, Real *real, int count,
                  MPI_Request *requests, int *done, int *indices, MPI_Status *statuses)
{
    return complete(
        site, function, real != nullptr, count, requests, {statuses, MPI_STATUSES_IGNORE, count},
        [&](MPI_Status *given) { return real(count, requests, done, indices, given); },
        [&](const MPI_Status *given, auto log) {
            for (int at = 0; *done != MPI_UNDEFINED && at < *done; ++at) {
                // NOLINTNEXTLINE(*-pointer-arithmetic): arrays of the count given
                log(indices[at], given[at]);
            }
        });
}

// A matched probe: the message's communicator, source and tag, kept by its
// handle for the receive that takes it.
constexpr std::size_t max_messages = 256;
struct Matched {
    int comm, source, tag;
};
struct Probed {
    std::atomic<MPI_Message> message;
    Matched matched;
};
std::array<Probed, max_messages> probed{};

void keep_probed(MPI_Message message, int comm, const MPI_Status &status)
{
    for (Probed &slot : probed) {
        MPI_Message held = nullptr;
        if (slot.message.compare_exchange_strong(held, message)) {
            slot.matched = Matched{comm, status.MPI_SOURCE, status.MPI_TAG};
            return;
        }
    }
}

// The match MESSAGE was probed with, forgotten; the handle is only compared.
Matched take_probed(const void *message)
{
    for (Probed &slot : probed) {
        if (static_cast<const void *>(slot.message.load(relaxed)) == message &&
            message != nullptr) {
            const Matched found = slot.matched;
            slot.message.store(nullptr, relaxed);
            return found;
        }
    }
    return Matched{-1, -1, -1};
}

void after_init()
{
    if (auto *group = REAL(PMPI_Comm_group); group != nullptr) {
        auto *world = reinterpret_cast<MPI_Comm>(dlsym(RTLD_DEFAULT, "ompi_mpi_comm_world"));
        if (world != nullptr) {
            group(world, &world_group);
            REAL(PMPI_Comm_rank)(world, &world_rank);
            REAL(PMPI_Comm_size)(world, &world_size);
            comm_index(world);
        }
    }
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

} // namespace

namespace tracer {

void write_mpi(Output &output)
{
    if (world_rank < 0) {
        return;
    }
    output.line("mpi", world_rank, world_size);
    output.line("mpi_time", in_mpi_all.load(), in_mpi_marked.load());
    const std::size_t used = comms_used.load();
    for (std::size_t index = 0; index < used; ++index) {
        output.add("mpi_comm ", index);
        for (int rank = 0; rank < comms[index].size; ++rank) {
            output.add(rank == 0 ? ' ' : ',', world_of(static_cast<int>(index), rank));
        }
        output.add('\n');
    }
    const std::size_t made = calls_made.load();
    for (std::size_t index = 0; index < std::min(made, max_calls); ++index) {
        const Call &call = calls[index];
        output.line("mpi_call", index, call.name, call.comm, call.peer, call.tag, call.entry,
                    call.exit, call.ideal_entry.all, call.ideal_entry.marked, call.ideal_exit.all,
                    call.ideal_exit.marked, call.kernel_thread);
    }
    if (made > max_calls) {
        output.line("mpi_calls_left_out", made - max_calls);
    }
}

} // namespace tracer

// NOLINTBEGIN(cppcoreguidelines-macro-usage): a family of wrappers
#define SITE __builtin_return_address(0)
#define TIMED(function, ...)                                                                       \
    auto *real = REAL(function);                                                                   \
    if (real == nullptr) {                                                                         \
        return MPI_ERR_OTHER;                                                                      \
    }                                                                                              \
    const Started started = begin_call(#function);                                                 \
    const int result = real(__VA_ARGS__);

#pragma GCC visibility push(default)
extern "C" {

int MPI_Init(int *argc, char ***argv)
{
    TIMED(MPI_Init, argc, argv)
    end_call(started, SITE, "MPI_Init");
    after_init();
    return result;
}

int MPI_Init_thread(int *argc, char ***argv, int required, int *provided)
{
    TIMED(MPI_Init_thread, argc, argv, required, provided)
    end_call(started, SITE, "MPI_Init_thread");
    after_init();
    return result;
}

int MPI_Finalize()
{
    auto *real = REAL(MPI_Finalize);
    if (real == nullptr) {
        return MPI_ERR_OTHER;
    }
    before_finalize();
    const Started started = begin_call("MPI_Finalize");
    const int result = real();
    end_call(started, SITE, "MPI_Finalize");
    return result;
}

// The program's own marks: the first replaces those of MPI_Init.
int MPI_Pcontrol(const int level, ...)
{
    auto *real = REAL(MPI_Pcontrol);
    const Started started = begin_call("MPI_Pcontrol");
    if (!program_marks.exchange(true)) {
        restart_marks(started.entry);
        in_mpi_marked.store(0, relaxed);
    }
    if (level == 0) {
        mark_stop(started.entry);
    }
    else {
        mark_start(started.entry);
    }
    const int result = real != nullptr ? real(level) : MPI_SUCCESS;
    // Logged with its level as its tag: where the program's marks fall.
    end_call(started, SITE, "MPI_Pcontrol", -1, -1, level);
    return result;
}

// Sends, logged with their destination and tag.
#define SEND(function)                                                                             \
    int function(const void *buffer, int count, MPI_Datatype type, int destination, int tag,       \
                 MPI_Comm comm)                                                                    \
    {                                                                                              \
        TIMED(function, buffer, count, type, destination, tag, comm)                               \
        end_call(started, SITE, #function, comm_index(comm), destination, tag);                    \
        return result;                                                                             \
    }
SEND(MPI_Send)
SEND(MPI_Ssend)
SEND(MPI_Bsend)
SEND(MPI_Rsend)
#define ISEND(function)                                                                            \
    int function(const void *buffer, int count, MPI_Datatype type, int destination, int tag,       \
                 MPI_Comm comm, MPI_Request *request)                                              \
    {                                                                                              \
        TIMED(function, buffer, count, type, destination, tag, comm, request)                      \
        end_call(started, SITE, #function, comm_index(comm), destination, tag);                    \
        return result;                                                                             \
    }
ISEND(MPI_Isend)
ISEND(MPI_Issend)
ISEND(MPI_Ibsend)
ISEND(MPI_Irsend)

int MPI_Recv(void *buffer, int count, MPI_Datatype type, int source, int tag, MPI_Comm comm,
             MPI_Status *status)
{
    MPI_Status own{};
    MPI_Status *given = status == MPI_STATUS_IGNORE ? &own : status;
    TIMED(MPI_Recv, buffer, count, type, source, tag, comm, given)
    end_call(started, SITE, "MPI_Recv", comm_index(comm), given->MPI_SOURCE, given->MPI_TAG);
    return result;
}

int MPI_Irecv(void *buffer, int count, MPI_Datatype type, int source, int tag, MPI_Comm comm,
              MPI_Request *request)
{
    TIMED(MPI_Irecv, buffer, count, type, source, tag, comm, request)
    if (result == MPI_SUCCESS) {
        expect_receive(*request, comm_index(comm), "MPI_Irecv");
    }
    end_call(started, SITE, nullptr);
    return result;
}

int MPI_Sendrecv(const void *send_buffer, int send_count, MPI_Datatype send_type, int destination,
                 int send_tag, void *receive_buffer, int receive_count, MPI_Datatype receive_type,
                 int source, int receive_tag, MPI_Comm comm, MPI_Status *status)
{
    MPI_Status own{};
    MPI_Status *given = status == MPI_STATUS_IGNORE ? &own : status;
    TIMED(MPI_Sendrecv, send_buffer, send_count, send_type, destination, send_tag, receive_buffer,
          receive_count, receive_type, source, receive_tag, comm, given)
    const int index = comm_index(comm);
    log_call(started, now(), "MPI_Sendrecv:send", index, world_of(index, destination), send_tag);
    end_call(started, SITE, "MPI_Sendrecv:recv", index, given->MPI_SOURCE, given->MPI_TAG);
    return result;
}

int MPI_Sendrecv_replace(void *buffer, int count, MPI_Datatype type, int destination, int send_tag,
                         int source, int receive_tag, MPI_Comm comm, MPI_Status *status)
{
    MPI_Status own{};
    MPI_Status *given = status == MPI_STATUS_IGNORE ? &own : status;
    TIMED(MPI_Sendrecv_replace, buffer, count, type, destination, send_tag, source, receive_tag,
          comm, given)
    const int index = comm_index(comm);
    log_call(started, now(), "MPI_Sendrecv:send", index, world_of(index, destination), send_tag);
    end_call(started, SITE, "MPI_Sendrecv:recv", index, given->MPI_SOURCE, given->MPI_TAG);
    return result;
}

int MPI_Probe(int source, int tag, MPI_Comm comm, MPI_Status *status)
{
    MPI_Status own{};
    MPI_Status *given = status == MPI_STATUS_IGNORE ? &own : status;
    TIMED(MPI_Probe, source, tag, comm, given)
    end_call(started, SITE, "MPI_Probe", comm_index(comm), given->MPI_SOURCE, given->MPI_TAG);
    return result;
}

int MPI_Iprobe(int source, int tag, MPI_Comm comm, int *flag, MPI_Status *status)
{
    TIMED(MPI_Iprobe, source, tag, comm, flag, status)
    end_call(started, SITE, nullptr);
    return result;
}

int MPI_Mprobe(int source, int tag, MPI_Comm comm, MPI_Message *message, MPI_Status *status)
{
    MPI_Status own{};
    MPI_Status *given = status == MPI_STATUS_IGNORE ? &own : status;
    TIMED(MPI_Mprobe, source, tag, comm, message, given)
    const int index = comm_index(comm);
    if (result == MPI_SUCCESS) {
        keep_probed(*message, index, *given);
    }
    end_call(started, SITE, "MPI_Mprobe", index, given->MPI_SOURCE, given->MPI_TAG);
    return result;
}

int MPI_Improbe(int source, int tag, MPI_Comm comm, int *flag, MPI_Message *message,
                MPI_Status *status)
{
    MPI_Status own{};
    MPI_Status *given = status == MPI_STATUS_IGNORE ? &own : status;
    TIMED(MPI_Improbe, source, tag, comm, flag, message, given)
    if (result == MPI_SUCCESS && *flag != 0) {
        keep_probed(*message, comm_index(comm), *given);
    }
    end_call(started, SITE, nullptr);
    return result;
}

int MPI_Mrecv(void *buffer, int count, MPI_Datatype type, MPI_Message *message, MPI_Status *status)
{
    const Matched matched = take_probed(*message);
    TIMED(MPI_Mrecv, buffer, count, type, message, status)
    end_call(started, SITE, "MPI_Mrecv", matched.comm, matched.source, matched.tag);
    return result;
}

int MPI_Imrecv(void *buffer, int count, MPI_Datatype type, MPI_Message *message,
               MPI_Request *request)
{
    const Matched matched = take_probed(*message);
    TIMED(MPI_Imrecv, buffer, count, type, message, request)
    // Its completion's status gives the source and tag again.
    if (result == MPI_SUCCESS) {
        expect_receive(*request, matched.comm, "MPI_Imrecv");
    }
    end_call(started, SITE, nullptr);
    return result;
}

// The completions: each receive they complete logged with its source and tag.
int MPI_Wait(MPI_Request *request, MPI_Status *status)
{
    One before;
    before.requests[0] = *request;
    before.count = 1;
    MPI_Status *given = status == MPI_STATUS_IGNORE ? before.statuses.data() : status;
    TIMED(MPI_Wait, request, given)
    const std::int64_t exit = now();
    log_completed(started, exit, before, 0, *given);
    end_call(started, SITE, nullptr);
    return result;
}

int MPI_Waitall(int count, MPI_Request requests[], MPI_Status statuses[])
{
    auto *real = REAL(MPI_Waitall);
    return complete(
        SITE, "MPI_Waitall", real != nullptr, count, requests,
        {statuses, MPI_STATUSES_IGNORE, count},
        [&](MPI_Status *given) { return real(count, requests, given); },
        [&](const MPI_Status *given, auto log) {
            for (int index = 0; index < std::min(count, max_tracked); ++index) {
                // NOLINTNEXTLINE(*-pointer-arithmetic): an array of the count given
                log(index, given[index]);
            }
        });
}

int MPI_Waitany(int count, MPI_Request requests[], int *index, MPI_Status *status)
{
    auto *real = REAL(MPI_Waitany);
    return complete(
        SITE, "MPI_Waitany", real != nullptr, count, requests, {status, MPI_STATUS_IGNORE, 1},
        [&](MPI_Status *given) { return real(count, requests, index, given); },
        [&](const MPI_Status *given, auto log) {
            if (*index != MPI_UNDEFINED) {
                log(*index, *given);
            }
        });
}

int MPI_Waitsome(int count, MPI_Request requests[], int *done, int indices[], MPI_Status statuses[])
{
    return complete_some(SITE, "MPI_Waitsome", REAL(MPI_Waitsome), count, requests, done, indices,
                         statuses);
}

int MPI_Test(MPI_Request *request, int *flag, MPI_Status *status)
{
    One before;
    before.requests[0] = *request;
    before.count = 1;
    MPI_Status *given = status == MPI_STATUS_IGNORE ? before.statuses.data() : status;
    TIMED(MPI_Test, request, flag, given)
    if (*flag != 0) {
        log_completed(started, now(), before, 0, *given);
    }
    end_call(started, SITE, nullptr);
    return result;
}

int MPI_Testall(int count, MPI_Request requests[], int *flag, MPI_Status statuses[])
{
    auto *real = REAL(MPI_Testall);
    return complete(
        SITE, "MPI_Testall", real != nullptr, count, requests,
        {statuses, MPI_STATUSES_IGNORE, count},
        [&](MPI_Status *given) { return real(count, requests, flag, given); },
        [&](const MPI_Status *given, auto log) {
            for (int index = 0; *flag != 0 && index < std::min(count, max_tracked); ++index) {
                // NOLINTNEXTLINE(*-pointer-arithmetic): an array of the count given
                log(index, given[index]);
            }
        });
}

int MPI_Testany(int count, MPI_Request requests[], int *index, int *flag, MPI_Status *status)
{
    auto *real = REAL(MPI_Testany);
    return complete(
        SITE, "MPI_Testany", real != nullptr, count, requests, {status, MPI_STATUS_IGNORE, 1},
        [&](MPI_Status *given) { return real(count, requests, index, flag, given); },
        [&](const MPI_Status *given, auto log) {
            if (*flag != 0 && *index != MPI_UNDEFINED) {
                log(*index, *given);
            }
        });
}

int MPI_Testsome(int count, MPI_Request requests[], int *done, int indices[], MPI_Status statuses[])
{
    return complete_some(SITE, "MPI_Testsome", REAL(MPI_Testsome), count, requests, done, indices,
                         statuses);
}

// Collectives, logged on their communicator, with their root where they
// have one.
int MPI_Barrier(MPI_Comm comm)
{
    TIMED(MPI_Barrier, comm)
    end_call(started, SITE, "MPI_Barrier", comm_index(comm));
    return result;
}

int MPI_Bcast(void *buffer, int count, MPI_Datatype type, int root, MPI_Comm comm)
{
    TIMED(MPI_Bcast, buffer, count, type, root, comm)
    end_call(started, SITE, "MPI_Bcast", comm_index(comm), root);
    return result;
}

int MPI_Reduce(const void *send, void *receive, int count, MPI_Datatype type, MPI_Op operation,
               int root, MPI_Comm comm)
{
    TIMED(MPI_Reduce, send, receive, count, type, operation, root, comm)
    end_call(started, SITE, "MPI_Reduce", comm_index(comm), root);
    return result;
}

int MPI_Allreduce(const void *send, void *receive, int count, MPI_Datatype type, MPI_Op operation,
                  MPI_Comm comm)
{
    TIMED(MPI_Allreduce, send, receive, count, type, operation, comm)
    end_call(started, SITE, "MPI_Allreduce", comm_index(comm));
    return result;
}

#define ROOTED(function)                                                                           \
    int function(const void *send, int send_count, MPI_Datatype send_type, void *receive,          \
                 int receive_count, MPI_Datatype receive_type, int root, MPI_Comm comm)            \
    {                                                                                              \
        TIMED(function, send, send_count, send_type, receive, receive_count, receive_type, root,   \
              comm)                                                                                \
        end_call(started, SITE, #function, comm_index(comm), root);                                \
        return result;                                                                             \
    }
ROOTED(MPI_Gather)
ROOTED(MPI_Scatter)
#define ALL(function)                                                                              \
    int function(const void *send, int send_count, MPI_Datatype send_type, void *receive,          \
                 int receive_count, MPI_Datatype receive_type, MPI_Comm comm)                      \
    {                                                                                              \
        TIMED(function, send, send_count, send_type, receive, receive_count, receive_type, comm)   \
        end_call(started, SITE, #function, comm_index(comm));                                      \
        return result;                                                                             \
    }
ALL(MPI_Allgather)
ALL(MPI_Alltoall)

// The nonblocking collectives: each logged when a completion completes it,
// entered where it was started.
int MPI_Ibarrier(MPI_Comm comm, MPI_Request *request)
{
    TIMED(MPI_Ibarrier, comm, request)
    return posted(started, SITE, result, *request, "MPI_Ibarrier", comm);
}

int MPI_Ibcast(void *buffer, int count, MPI_Datatype type, int root, MPI_Comm comm,
               MPI_Request *request)
{
    TIMED(MPI_Ibcast, buffer, count, type, root, comm, request)
    return posted(started, SITE, result, *request, "MPI_Ibcast", comm, root);
}

int MPI_Ireduce(const void *send, void *receive, int count, MPI_Datatype type, MPI_Op operation,
                int root, MPI_Comm comm, MPI_Request *request)
{
    TIMED(MPI_Ireduce, send, receive, count, type, operation, root, comm, request)
    return posted(started, SITE, result, *request, "MPI_Ireduce", comm, root);
}

#define REDUCING(function)                                                                         \
    int function(const void *send, void *receive, int count, MPI_Datatype type, MPI_Op operation,  \
                 MPI_Comm comm, MPI_Request *request)                                              \
    {                                                                                              \
        TIMED(function, send, receive, count, type, operation, comm, request)                      \
        return posted(started, SITE, result, *request, #function, comm);                           \
    }
REDUCING(MPI_Iallreduce)
REDUCING(MPI_Iscan)
REDUCING(MPI_Iexscan)
REDUCING(MPI_Ireduce_scatter_block)
#define POSTED_ROOTED(function)                                                                    \
    int function(const void *send, int send_count, MPI_Datatype send_type, void *receive,          \
                 int receive_count, MPI_Datatype receive_type, int root, MPI_Comm comm,            \
                 MPI_Request *request)                                                             \
    {                                                                                              \
        TIMED(function, send, send_count, send_type, receive, receive_count, receive_type, root,   \
              comm, request)                                                                       \
        return posted(started, SITE, result, *request, #function, comm, root);                     \
    }
POSTED_ROOTED(MPI_Igather)
POSTED_ROOTED(MPI_Iscatter)
#define POSTED_ALL(function)                                                                       \
    int function(const void *send, int send_count, MPI_Datatype send_type, void *receive,          \
                 int receive_count, MPI_Datatype receive_type, MPI_Comm comm,                      \
                 MPI_Request *request)                                                             \
    {                                                                                              \
        TIMED(function, send, send_count, send_type, receive, receive_count, receive_type, comm,   \
              request)                                                                             \
        return posted(started, SITE, result, *request, #function, comm);                           \
    }
POSTED_ALL(MPI_Iallgather)
POSTED_ALL(MPI_Ialltoall)

int MPI_Scan(const void *send, void *receive, int count, MPI_Datatype type, MPI_Op operation,
             MPI_Comm comm)
{
    TIMED(MPI_Scan, send, receive, count, type, operation, comm)
    end_call(started, SITE, "MPI_Scan", comm_index(comm));
    return result;
}

int MPI_Exscan(const void *send, void *receive, int count, MPI_Datatype type, MPI_Op operation,
               MPI_Comm comm)
{
    TIMED(MPI_Exscan, send, receive, count, type, operation, comm)
    end_call(started, SITE, "MPI_Exscan", comm_index(comm));
    return result;
}

int MPI_Reduce_scatter_block(const void *send, void *receive, int count, MPI_Datatype type,
                             MPI_Op operation, MPI_Comm comm)
{
    TIMED(MPI_Reduce_scatter_block, send, receive, count, type, operation, comm)
    end_call(started, SITE, "MPI_Reduce_scatter_block", comm_index(comm));
    return result;
}

// NOLINTBEGIN(readability-identifier-length): passed on unread
// The Fortran entries: every argument a pointer, the error code last. They
// call the library's profiling entries, not those above: timed here.
#define FORTRAN(name, arguments, ...)                                                              \
    void name arguments                                                                            \
    {                                                                                              \
        static std::atomic<void *> slot{nullptr};                                                  \
        auto *real = reinterpret_cast<void(*) arguments>(find(slot, #name));                       \
        if (real == nullptr) {                                                                     \
            *error = MPI_ERR_OTHER;                                                                \
            return;                                                                                \
        }                                                                                          \
        const Started started = begin_call(#name);                                                 \
        real(__VA_ARGS__);                                                                         \
        end_call(started, SITE, #name);                                                            \
    }
using P = void *;
FORTRAN(mpi_send_, (P a, P b, P c, P d, P e, P f, int *error), a, b, c, d, e, f, error)
FORTRAN(mpi_recv_, (P a, P b, P c, P d, P e, P f, P g, int *error), a, b, c, d, e, f, g, error)
FORTRAN(mpi_isend_, (P a, P b, P c, P d, P e, P f, P g, int *error), a, b, c, d, e, f, g, error)
FORTRAN(mpi_irecv_, (P a, P b, P c, P d, P e, P f, P g, int *error), a, b, c, d, e, f, g, error)
FORTRAN(mpi_wait_, (P a, P b, int *error), a, b, error)
FORTRAN(mpi_waitall_, (P a, P b, P c, int *error), a, b, c, error)
FORTRAN(mpi_barrier_, (P a, int *error), a, error)
FORTRAN(mpi_bcast_, (P a, P b, P c, P d, P e, int *error), a, b, c, d, e, error)
FORTRAN(mpi_reduce_, (P a, P b, P c, P d, P e, P f, P g, int *error), a, b, c, d, e, f, g, error)
FORTRAN(mpi_allreduce_, (P a, P b, P c, P d, P e, P f, int *error), a, b, c, d, e, f, error)

void mpi_init_(int *error)
{
    static std::atomic<void *> slot{nullptr};
    auto *real = reinterpret_cast<void (*)(int *)>(find(slot, "mpi_init_"));
    if (real == nullptr) {
        *error = MPI_ERR_OTHER;
        return;
    }
    const Started started = begin_call("mpi_init_");
    real(error);
    end_call(started, SITE, "mpi_init_");
    after_init();
}

void mpi_finalize_(int *error)
{
    static std::atomic<void *> slot{nullptr};
    auto *real = reinterpret_cast<void (*)(int *)>(find(slot, "mpi_finalize_"));
    if (real == nullptr) {
        *error = MPI_ERR_OTHER;
        return;
    }
    before_finalize();
    const Started started = begin_call("mpi_finalize_");
    real(error);
    end_call(started, SITE, "mpi_finalize_");
}
// NOLINTEND(readability-identifier-length)
}
#pragma GCC visibility pop
// NOLINTEND(cppcoreguidelines-macro-usage)
