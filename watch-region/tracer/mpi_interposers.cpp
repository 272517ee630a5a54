// The tracer's half for MPI: when the program has an MPI library (linked,
// or opened with dlopen), the tracer times its calls as time out of the
// program's own code, and logs those that carry messages or meet other
// ranks (mpi_store.h), from which watch-region matches each send to its
// receive and each collective across the ranks. MPI_Pcontrol(1) and (0)
// start and stop the interval measured; without them, it runs from
// MPI_Init's return to the call of MPI_Finalize.
// Every entry of mpi_entries.def is made here from its shape: its arguments,
// and what it logs, written once for all the entries of that shape. Each
// real call is found by its name when first called, as libgomp's are; a
// call that no loaded library has returns MPI_ERR_OTHER, never a crash.
// Compiled once for each MPI whose header the build finds (mpi_abi.h), into
// a tracer of its own: Open MPI's handles are pointers, MPICH's ints, and
// their statuses are laid out apart. In a process whose MPI is the other
// one, the calls are passed on untouched.
#include "mpi_abi.h"
#include "mpi_shapes.h"

using namespace tracer;
using namespace tracer::mpi;

// NOLINTBEGIN(cppcoreguidelines-macro-usage,bugprone-macro-parentheses): a family of wrappers
#define SITE __builtin_return_address(0)
// The entry NAME of SHAPE: the real one called with its arguments, passed on
// untouched where the process's MPI is the other one, else timed from
// STARTED on.
#define ENTRY(name, shape) int name PARAMETERS(shape)
#define TIMED(name, shape)                                                                         \
    auto *real = REAL(name);                                                                       \
    if (real == nullptr) {                                                                         \
        return MPI_ERR_OTHER;                                                                      \
    }                                                                                              \
    if (foreign()) {                                                                               \
        return real ARGUMENTS(shape);                                                              \
    }                                                                                              \
    const Started started = begin_call(#name);                                                     \
    const int result = real ARGUMENTS(shape);
// The status the call writes: the program's, or the wrapper's own where the
// program ignores it.
#define OWN_STATUS                                                                                 \
    MPI_Status own{};                                                                              \
    if (status == status_ignore() && !foreign()) {                                                 \
        status = &own;                                                                             \
    }

// What each shape logs: BODY_x(name) defines the entry NAME of shape x.
#define BODY_init(name, shape)                                                                     \
    ENTRY(name, shape)                                                                             \
    {                                                                                              \
        TIMED(name, shape)                                                                         \
        if (result == MPI_SUCCESS) {                                                               \
            clock_at_init();                                                                       \
        }                                                                                          \
        end_call(started, SITE, #name);                                                            \
        world_started();                                                                           \
        return result;                                                                             \
    }
#define BODY_init_thread BODY_init
#define BODY_finalize(name, shape)                                                                 \
    ENTRY(name, shape)                                                                             \
    {                                                                                              \
        auto *real = REAL(name);                                                                   \
        if (real == nullptr || foreign()) {                                                        \
            return real != nullptr ? real() : MPI_ERR_OTHER;                                       \
        }                                                                                          \
        before_finalize();                                                                         \
        const Started started = begin_call(#name);                                                 \
        clock_at_finalize();                                                                       \
        const int result = real();                                                                 \
        end_call(started, SITE, #name);                                                            \
        return result;                                                                             \
    }
// The program's own marks: the first replaces those of MPI_Init. Logged with
// its level as its tag: where the program's marks fall.
#define BODY_pcontrol(name, shape)                                                                 \
    ENTRY(name, shape)                                                                             \
    {                                                                                              \
        auto *real = REAL(name);                                                                   \
        if (foreign()) {                                                                           \
            return real != nullptr ? real(level) : MPI_SUCCESS;                                    \
        }                                                                                          \
        const Started started = begin_call(#name);                                                 \
        program_mark(level, started.wait.start);                                                   \
        const int result = real != nullptr ? real(level) : MPI_SUCCESS;                            \
        end_call(started, SITE, #name, -1, -1, level);                                             \
        return result;                                                                             \
    }
// Sends, logged with their destination and tag.
#define BODY_send(name, shape)                                                                     \
    ENTRY(name, shape)                                                                             \
    {                                                                                              \
        TIMED(name, shape)                                                                         \
        end_call(started, SITE, #name, comm_index(comm), destination, tag);                        \
        return result;                                                                             \
    }
#define BODY_isend BODY_send
// Receives and blocking probes, logged with the source and tag they got.
#define BODY_recv(name, shape)                                                                     \
    ENTRY(name, shape)                                                                             \
    {                                                                                              \
        OWN_STATUS                                                                                 \
        TIMED(name, shape)                                                                         \
        end_call(started, SITE, #name, comm_index(comm), status->MPI_SOURCE, status->MPI_TAG);     \
        return result;                                                                             \
    }
#define BODY_probe BODY_recv
// A receive started: logged by the completion that completes it.
#define BODY_irecv(name, shape)                                                                    \
    ENTRY(name, shape)                                                                             \
    {                                                                                              \
        TIMED(name, shape)                                                                         \
        if (result == MPI_SUCCESS) {                                                               \
            expect(word(*request), {comm_index(comm), #name, -1, 0, {}, false});                   \
        }                                                                                          \
        end_call(started, SITE);                                                                   \
        return result;                                                                             \
    }
// A send and a receive in one call: logged as its two halves.
#define BODY_sendrecv(name, shape)                                                                 \
    ENTRY(name, shape)                                                                             \
    {                                                                                              \
        OWN_STATUS                                                                                 \
        TIMED(name, shape)                                                                         \
        return two_sided(started, SITE, result, comm_index(comm), destination, send_tag, *status); \
    }
#define BODY_sendrecv_replace BODY_sendrecv
// A probe that does not wait, timed only; a matched one's match kept for the
// receive that takes its message.
#define BODY_iprobe(name, shape)                                                                   \
    ENTRY(name, shape)                                                                             \
    {                                                                                              \
        TIMED(name, shape)                                                                         \
        end_call(started, SITE);                                                                   \
        return result;                                                                             \
    }
#define BODY_mprobe(name, shape)                                                                   \
    ENTRY(name, shape)                                                                             \
    {                                                                                              \
        OWN_STATUS                                                                                 \
        TIMED(name, shape)                                                                         \
        const int index = comm_index(comm);                                                        \
        if (result == MPI_SUCCESS) {                                                               \
            keep_probed(word(*message), {index, status->MPI_SOURCE, status->MPI_TAG});             \
        }                                                                                          \
        end_call(started, SITE, #name, index, status->MPI_SOURCE, status->MPI_TAG);                \
        return result;                                                                             \
    }
#define BODY_improbe(name, shape)                                                                  \
    ENTRY(name, shape)                                                                             \
    {                                                                                              \
        OWN_STATUS                                                                                 \
        TIMED(name, shape)                                                                         \
        if (result == MPI_SUCCESS && *flag != 0) {                                                 \
            keep_probed(word(*message), {comm_index(comm), status->MPI_SOURCE, status->MPI_TAG});  \
        }                                                                                          \
        end_call(started, SITE);                                                                   \
        return result;                                                                             \
    }
#define BODY_mrecv(name, shape)                                                                    \
    ENTRY(name, shape)                                                                             \
    {                                                                                              \
        const Matched matched = foreign() ? Matched{} : take_probed(word(*message));               \
        TIMED(name, shape)                                                                         \
        end_call(started, SITE, #name, matched.comm, matched.source, matched.tag);                 \
        return result;                                                                             \
    }
// Its completion's status gives the source and tag again.
#define BODY_imrecv(name, shape)                                                                   \
    ENTRY(name, shape)                                                                             \
    {                                                                                              \
        const Matched matched = foreign() ? Matched{} : take_probed(word(*message));               \
        TIMED(name, shape)                                                                         \
        if (result == MPI_SUCCESS) {                                                               \
            expect(word(*request), {matched.comm, #name, -1, 0, {}, false});                       \
        }                                                                                          \
        end_call(started, SITE);                                                                   \
        return result;                                                                             \
    }
// The completions (mpi_completions.cpp): each receive and nonblocking
// collective they complete logged.
#define COMPLETION(name, shape, helper)                                                            \
    ENTRY(name, shape)                                                                             \
    {                                                                                              \
        auto *real = REAL(name);                                                                   \
        if (real != nullptr && foreign()) {                                                        \
            return real ARGUMENTS(shape);                                                          \
        }                                                                                          \
        return helper(SITE, #name, real, ARGUMENT_LIST(shape));                                    \
    }
#define BODY_wait(name, shape) COMPLETION(name, shape, wait_one)
#define BODY_test(name, shape) COMPLETION(name, shape, test_one)
#define BODY_waitall(name, shape) COMPLETION(name, shape, wait_all)
#define BODY_testall(name, shape) COMPLETION(name, shape, test_all)
#define BODY_waitany(name, shape) COMPLETION(name, shape, wait_any)
#define BODY_testany(name, shape) COMPLETION(name, shape, test_any)
#define BODY_waitsome(name, shape) COMPLETION(name, shape, some)
#define BODY_testsome BODY_waitsome
// Collectives, logged on their communicator, with their root where they
// have one; their nonblocking forms logged when a completion completes
// them, entered where they were started.
#define COLLECTIVE(name, shape)                                                                    \
    ENTRY(name, shape)                                                                             \
    {                                                                                              \
        TIMED(name, shape)                                                                         \
        end_call(started, SITE, #name, comm_index(comm), ROOT(shape));                             \
        return result;                                                                             \
    }
#define POSTED(name, shape)                                                                        \
    ENTRY(name, shape)                                                                             \
    {                                                                                              \
        TIMED(name, shape)                                                                         \
        return posted(started, SITE, result, word(*request), #name, comm_index(comm),              \
                      ROOT(shape));                                                                \
    }
#define BODY_barrier COLLECTIVE
#define BODY_bcast COLLECTIVE
#define BODY_reduce COLLECTIVE
#define BODY_reducing COLLECTIVE
#define BODY_reduce_scatter COLLECTIVE
#define BODY_rooted COLLECTIVE
#define BODY_gatherv COLLECTIVE
#define BODY_scatterv COLLECTIVE
#define BODY_all COLLECTIVE
#define BODY_allgatherv COLLECTIVE
#define BODY_alltoallv COLLECTIVE
#define BODY_alltoallw COLLECTIVE
#define BODY_ibarrier POSTED
#define BODY_ibcast POSTED
#define BODY_ireduce POSTED
#define BODY_ireducing POSTED
#define BODY_ireduce_scatter POSTED
#define BODY_irooted POSTED
#define BODY_igatherv POSTED
#define BODY_iscatterv POSTED
#define BODY_iall POSTED
#define BODY_iallgatherv POSTED
#define BODY_ialltoallv POSTED
#define BODY_ialltoallw POSTED

// The Fortran entries: every argument a pointer, the error code last. Open
// MPI's call the library's profiling entries, not those above: timed here.
// MPICH's call the C entries above, which time and log them: passed on.
#define MPI_FORTRAN(name, entry, arguments) FORTRAN_##arguments(name, entry)
#define FORTRAN_CALL(name, entry, parameters, ...)                                                 \
    void name parameters                                                                           \
    {                                                                                              \
        static std::atomic<void *> slot{nullptr};                                                  \
        auto *real = reinterpret_cast<void(*) parameters>(find(slot, #name));                      \
        if (real == nullptr) {                                                                     \
            *error = MPI_ERR_OTHER;                                                                \
            return;                                                                                \
        }                                                                                          \
        if (!fortran_timed || foreign()) {                                                         \
            real(__VA_ARGS__);                                                                     \
            return;                                                                                \
        }                                                                                          \
        fortran_call<world_of_entry(#entry)>(#name, SITE, [&]() { real(__VA_ARGS__); });           \
    }
#define FORTRAN_0(name, entry) FORTRAN_CALL(name, entry, (int *error), error)
#define FORTRAN_1(name, entry) FORTRAN_CALL(name, entry, (P a, int *error), a, error)
#define FORTRAN_2(name, entry) FORTRAN_CALL(name, entry, (P a, P b, int *error), a, b, error)
#define FORTRAN_3(name, entry)                                                                     \
    FORTRAN_CALL(name, entry, (P a, P b, P c, int *error), a, b, c, error)
#define FORTRAN_5(name, entry)                                                                     \
    FORTRAN_CALL(name, entry, (P a, P b, P c, P d, P e, int *error), a, b, c, d, e, error)
#define FORTRAN_6(name, entry)                                                                     \
    FORTRAN_CALL(name, entry, (P a, P b, P c, P d, P e, P f, int *error), a, b, c, d, e, f, error)
#define FORTRAN_7(name, entry)                                                                     \
    FORTRAN_CALL(name, entry, (P a, P b, P c, P d, P e, P f, P g, int *error), a, b, c, d, e, f,   \
                 g, error)

#define MPI_ENTRY(name, kind, edges, shape) BODY_##shape(name, shape)
#pragma GCC visibility push(default)
extern "C" {
// NOLINTBEGIN(readability-identifier-length): Fortran's arguments, passed on unread
using P = void *;
#include "mpi_entries.def"
// NOLINTEND(readability-identifier-length)
}
#pragma GCC visibility pop
// NOLINTEND(cppcoreguidelines-macro-usage,bugprone-macro-parentheses)
