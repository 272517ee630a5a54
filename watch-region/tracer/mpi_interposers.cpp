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

using namespace tracer;
using namespace tracer::mpi;

// NOLINTBEGIN(cppcoreguidelines-macro-usage,bugprone-macro-parentheses): a family of wrappers
#define SITE __builtin_return_address(0)
// The real FUNCTION called with the arguments: passed on untouched where the
// process's MPI is the other one, else timed from STARTED on.
#define TIMED(function, ...)                                                                       \
    auto *real = REAL(function);                                                                   \
    if (real == nullptr) {                                                                         \
        return MPI_ERR_OTHER;                                                                      \
    }                                                                                              \
    if (foreign()) {                                                                               \
        return real(__VA_ARGS__);                                                                  \
    }                                                                                              \
    const Started started = begin_call(#function);                                                 \
    const int result = real(__VA_ARGS__);

// The status the call writes: the program's, or the wrapper's own where the
// program ignores it.
#define OWN_STATUS                                                                                 \
    MPI_Status own{};                                                                              \
    MPI_Status *given = status == MPI_STATUS_IGNORE ? &own : status;

// The shapes: SHAPE_x(name) defines the entry NAME of shape x.
#define SHAPE_init(name)                                                                           \
    int name(int *argc, char ***argv)                                                              \
    {                                                                                              \
        TIMED(name, argc, argv)                                                                    \
        end_call(started, SITE, #name);                                                            \
        world_started();                                                                           \
        return result;                                                                             \
    }
#define SHAPE_init_thread(name)                                                                    \
    int name(int *argc, char ***argv, int required, int *provided)                                 \
    {                                                                                              \
        TIMED(name, argc, argv, required, provided)                                                \
        end_call(started, SITE, #name);                                                            \
        world_started();                                                                           \
        return result;                                                                             \
    }
#define SHAPE_finalize(name)                                                                       \
    int name()                                                                                     \
    {                                                                                              \
        auto *real = REAL(name);                                                                   \
        if (real == nullptr || foreign()) {                                                        \
            return real != nullptr ? real() : MPI_ERR_OTHER;                                       \
        }                                                                                          \
        before_finalize();                                                                         \
        const Started started = begin_call(#name);                                                 \
        const int result = real();                                                                 \
        end_call(started, SITE, #name);                                                            \
        return result;                                                                             \
    }
// The program's own marks: the first replaces those of MPI_Init. Logged with
// its level as its tag: where the program's marks fall.
#define SHAPE_pcontrol(name)                                                                       \
    int name(const int level, ...)                                                                 \
    {                                                                                              \
        auto *real = REAL(name);                                                                   \
        if (foreign()) {                                                                           \
            return real != nullptr ? real(level) : MPI_SUCCESS;                                    \
        }                                                                                          \
        const Started started = begin_call(#name);                                                 \
        program_mark(level, started.entry);                                                        \
        const int result = real != nullptr ? real(level) : MPI_SUCCESS;                            \
        end_call(started, SITE, #name, -1, -1, level);                                             \
        return result;                                                                             \
    }
// Sends, logged with their destination and tag.
#define SHAPE_send(name)                                                                           \
    int name(const void *buffer, int count, MPI_Datatype type, int destination, int tag,           \
             MPI_Comm comm)                                                                        \
    {                                                                                              \
        TIMED(name, buffer, count, type, destination, tag, comm)                                   \
        end_call(started, SITE, #name, comm_index(comm), destination, tag);                        \
        return result;                                                                             \
    }
#define SHAPE_isend(name)                                                                          \
    int name(const void *buffer, int count, MPI_Datatype type, int destination, int tag,           \
             MPI_Comm comm, MPI_Request *request)                                                  \
    {                                                                                              \
        TIMED(name, buffer, count, type, destination, tag, comm, request)                          \
        end_call(started, SITE, #name, comm_index(comm), destination, tag);                        \
        return result;                                                                             \
    }
// Receives, logged with the source and tag they got.
#define SHAPE_recv(name)                                                                           \
    int name(void *buffer, int count, MPI_Datatype type, int source, int tag, MPI_Comm comm,       \
             MPI_Status *status)                                                                   \
    {                                                                                              \
        OWN_STATUS                                                                                 \
        TIMED(name, buffer, count, type, source, tag, comm, given)                                 \
        end_call(started, SITE, #name, comm_index(comm), given->MPI_SOURCE, given->MPI_TAG);       \
        return result;                                                                             \
    }
// A receive started: logged by the completion that completes it.
#define SHAPE_irecv(name)                                                                          \
    int name(void *buffer, int count, MPI_Datatype type, int source, int tag, MPI_Comm comm,       \
             MPI_Request *request)                                                                 \
    {                                                                                              \
        TIMED(name, buffer, count, type, source, tag, comm, request)                               \
        if (result == MPI_SUCCESS) {                                                               \
            expect(word(*request), {comm_index(comm), #name, -1, 0, {}, false});                   \
        }                                                                                          \
        end_call(started, SITE);                                                                   \
        return result;                                                                             \
    }
// A send and a receive in one call: logged as its two halves.
#define SHAPE_sendrecv(name)                                                                       \
    int name(const void *send_buffer, int send_count, MPI_Datatype send_type, int destination,     \
             int send_tag, void *receive_buffer, int receive_count, MPI_Datatype receive_type,     \
             int source, int receive_tag, MPI_Comm comm, MPI_Status *status)                       \
    {                                                                                              \
        OWN_STATUS                                                                                 \
        TIMED(name, send_buffer, send_count, send_type, destination, send_tag, receive_buffer,     \
              receive_count, receive_type, source, receive_tag, comm, given)                       \
        return two_sided(started, SITE, result, comm_index(comm), destination, send_tag, *given);  \
    }
#define SHAPE_sendrecv_replace(name)                                                               \
    int name(void *buffer, int count, MPI_Datatype type, int destination, int send_tag,            \
             int source, int receive_tag, MPI_Comm comm, MPI_Status *status)                       \
    {                                                                                              \
        OWN_STATUS                                                                                 \
        TIMED(name, buffer, count, type, destination, send_tag, source, receive_tag, comm, given)  \
        return two_sided(started, SITE, result, comm_index(comm), destination, send_tag, *given);  \
    }
// Probes: a blocking one logged with what it found, a matched one's match
// kept for the receive that takes its message.
#define SHAPE_probe(name)                                                                          \
    int name(int source, int tag, MPI_Comm comm, MPI_Status *status)                               \
    {                                                                                              \
        OWN_STATUS                                                                                 \
        TIMED(name, source, tag, comm, given)                                                      \
        end_call(started, SITE, #name, comm_index(comm), given->MPI_SOURCE, given->MPI_TAG);       \
        return result;                                                                             \
    }
#define SHAPE_iprobe(name)                                                                         \
    int name(int source, int tag, MPI_Comm comm, int *flag, MPI_Status *status)                    \
    {                                                                                              \
        TIMED(name, source, tag, comm, flag, status)                                               \
        end_call(started, SITE);                                                                   \
        return result;                                                                             \
    }
#define SHAPE_mprobe(name)                                                                         \
    int name(int source, int tag, MPI_Comm comm, MPI_Message *message, MPI_Status *status)         \
    {                                                                                              \
        OWN_STATUS                                                                                 \
        TIMED(name, source, tag, comm, message, given)                                             \
        const int index = comm_index(comm);                                                        \
        if (result == MPI_SUCCESS) {                                                               \
            keep_probed(word(*message), {index, given->MPI_SOURCE, given->MPI_TAG});               \
        }                                                                                          \
        end_call(started, SITE, #name, index, given->MPI_SOURCE, given->MPI_TAG);                  \
        return result;                                                                             \
    }
#define SHAPE_improbe(name)                                                                        \
    int name(int source, int tag, MPI_Comm comm, int *flag, MPI_Message *message,                  \
             MPI_Status *status)                                                                   \
    {                                                                                              \
        OWN_STATUS                                                                                 \
        TIMED(name, source, tag, comm, flag, message, given)                                       \
        if (result == MPI_SUCCESS && *flag != 0) {                                                 \
            keep_probed(word(*message), {comm_index(comm), given->MPI_SOURCE, given->MPI_TAG});    \
        }                                                                                          \
        end_call(started, SITE);                                                                   \
        return result;                                                                             \
    }
#define SHAPE_mrecv(name)                                                                          \
    int name(void *buffer, int count, MPI_Datatype type, MPI_Message *message, MPI_Status *status) \
    {                                                                                              \
        const Matched matched = foreign() ? Matched{} : take_probed(word(*message));               \
        TIMED(name, buffer, count, type, message, status)                                          \
        end_call(started, SITE, #name, matched.comm, matched.source, matched.tag);                 \
        return result;                                                                             \
    }
// Its completion's status gives the source and tag again.
#define SHAPE_imrecv(name)                                                                         \
    int name(void *buffer, int count, MPI_Datatype type, MPI_Message *message,                     \
             MPI_Request *request)                                                                 \
    {                                                                                              \
        const Matched matched = foreign() ? Matched{} : take_probed(word(*message));               \
        TIMED(name, buffer, count, type, message, request)                                         \
        if (result == MPI_SUCCESS) {                                                               \
            expect(word(*request), {matched.comm, #name, -1, 0, {}, false});                       \
        }                                                                                          \
        end_call(started, SITE);                                                                   \
        return result;                                                                             \
    }
// The completions (mpi_completions.h): each receive and nonblocking
// collective they complete logged.
#define COMPLETION(name, helper, parameters, ...)                                                  \
    int name parameters                                                                            \
    {                                                                                              \
        auto *real = REAL(name);                                                                   \
        if (real != nullptr && foreign()) {                                                        \
            return real(__VA_ARGS__);                                                              \
        }                                                                                          \
        return helper(SITE, #name, real, __VA_ARGS__);                                             \
    }
#define SHAPE_wait(name)                                                                           \
    COMPLETION(name, wait_one, (MPI_Request * request, MPI_Status * status), request, status)
#define SHAPE_test(name)                                                                           \
    COMPLETION(name, test_one, (MPI_Request * request, int *flag, MPI_Status *status), request,    \
               flag, status)
#define SHAPE_waitall(name)                                                                        \
    COMPLETION(name, wait_all, (int count, MPI_Request requests[], MPI_Status statuses[]), count,  \
               requests, statuses)
#define SHAPE_testall(name)                                                                        \
    COMPLETION(name, test_all,                                                                     \
               (int count, MPI_Request requests[], int *flag, MPI_Status statuses[]), count,       \
               requests, flag, statuses)
#define SHAPE_waitany(name)                                                                        \
    COMPLETION(name, wait_any,                                                                     \
               (int count, MPI_Request requests[], int *index, MPI_Status *status), count,         \
               requests, index, status)
#define SHAPE_testany(name)                                                                        \
    COMPLETION(name, test_any,                                                                     \
               (int count, MPI_Request requests[], int *index, int *flag, MPI_Status *status),     \
               count, requests, index, flag, status)
#define SHAPE_waitsome(name)                                                                       \
    COMPLETION(                                                                                    \
        name, some,                                                                                \
        (int count, MPI_Request requests[], int *done, int indices[], MPI_Status statuses[]),      \
        count, requests, done, indices, statuses)
#define SHAPE_testsome(name) SHAPE_waitsome(name)
// Collectives, logged on their communicator, with their root where they
// have one; their nonblocking forms logged when a completion completes
// them, entered where they were started.
#define COLLECTIVE(name, parameters, root, ...)                                                    \
    int name parameters                                                                            \
    {                                                                                              \
        TIMED(name, __VA_ARGS__)                                                                   \
        end_call(started, SITE, #name, comm_index(comm), root);                                    \
        return result;                                                                             \
    }
#define POSTED(name, parameters, root, ...)                                                        \
    int name parameters                                                                            \
    {                                                                                              \
        TIMED(name, __VA_ARGS__)                                                                   \
        return posted(started, SITE, result, word(*request), #name, comm_index(comm), root);       \
    }
// Each collective's parameters, its root and the arguments passed on; its
// nonblocking form's are these and the request.
#define BARRIER_ARGUMENTS (MPI_Comm comm), -1, comm
#define BCAST_ARGUMENTS                                                                            \
    (void *buffer, int count, MPI_Datatype type, int root, MPI_Comm comm), root, buffer, count,    \
        type, root, comm
#define REDUCE_ARGUMENTS                                                                           \
    (const void *send, void *receive, int count, MPI_Datatype type, MPI_Op operation, int root,    \
     MPI_Comm comm),                                                                               \
        root, send, receive, count, type, operation, root, comm
#define REDUCING_ARGUMENTS                                                                         \
    (const void *send, void *receive, int count, MPI_Datatype type, MPI_Op operation,              \
     MPI_Comm comm),                                                                               \
        -1, send, receive, count, type, operation, comm
#define REDUCE_SCATTER_ARGUMENTS                                                                   \
    (const void *send, void *receive, const int counts[], MPI_Datatype type, MPI_Op operation,     \
     MPI_Comm comm),                                                                               \
        -1, send, receive, counts, type, operation, comm
#define ROOTED_ARGUMENTS                                                                           \
    (const void *send, int send_count, MPI_Datatype send_type, void *receive, int receive_count,   \
     MPI_Datatype receive_type, int root, MPI_Comm comm),                                          \
        root, send, send_count, send_type, receive, receive_count, receive_type, root, comm
#define GATHERV_ARGUMENTS                                                                          \
    (const void *send, int send_count, MPI_Datatype send_type, void *receive,                      \
     const int receive_counts[], const int displacements[], MPI_Datatype receive_type, int root,   \
     MPI_Comm comm),                                                                               \
        root, send, send_count, send_type, receive, receive_counts, displacements, receive_type,   \
        root, comm
#define SCATTERV_ARGUMENTS                                                                         \
    (const void *send, const int send_counts[], const int displacements[], MPI_Datatype send_type, \
     void *receive, int receive_count, MPI_Datatype receive_type, int root, MPI_Comm comm),        \
        root, send, send_counts, displacements, send_type, receive, receive_count, receive_type,   \
        root, comm
#define ALL_ARGUMENTS                                                                              \
    (const void *send, int send_count, MPI_Datatype send_type, void *receive, int receive_count,   \
     MPI_Datatype receive_type, MPI_Comm comm),                                                    \
        -1, send, send_count, send_type, receive, receive_count, receive_type, comm
#define ALLGATHERV_ARGUMENTS                                                                       \
    (const void *send, int send_count, MPI_Datatype send_type, void *receive,                      \
     const int receive_counts[], const int displacements[], MPI_Datatype receive_type,             \
     MPI_Comm comm),                                                                               \
        -1, send, send_count, send_type, receive, receive_counts, displacements, receive_type,     \
        comm
#define ALLTOALLV_ARGUMENTS                                                                        \
    (const void *send, const int send_counts[], const int send_displacements[],                    \
     MPI_Datatype send_type, void *receive, const int receive_counts[],                            \
     const int receive_displacements[], MPI_Datatype receive_type, MPI_Comm comm),                 \
        -1, send, send_counts, send_displacements, send_type, receive, receive_counts,             \
        receive_displacements, receive_type, comm
#define ALLTOALLW_ARGUMENTS                                                                        \
    (const void *send, const int send_counts[], const int send_displacements[],                    \
     const MPI_Datatype send_types[], void *receive, const int receive_counts[],                   \
     const int receive_displacements[], const MPI_Datatype receive_types[], MPI_Comm comm),        \
        -1, send, send_counts, send_displacements, send_types, receive, receive_counts,            \
        receive_displacements, receive_types, comm
// The nonblocking form's parameters: the blocking one's and the request.
#define REQUESTED(...) (__VA_ARGS__, MPI_Request * request)
#define BLOCKING(name, arguments) EXPAND(COLLECTIVE, name, arguments)
#define NONBLOCKING(name, arguments) EXPAND(POSTED_WITH, name, arguments)
#define EXPAND(macro, name, ...) macro(name, __VA_ARGS__)
#define POSTED_WITH(name, parameters, root, ...)                                                   \
    POSTED(name, REQUESTED parameters, root, __VA_ARGS__, request)
#define SHAPE_barrier(name) BLOCKING(name, BARRIER_ARGUMENTS)
#define SHAPE_bcast(name) BLOCKING(name, BCAST_ARGUMENTS)
#define SHAPE_reduce(name) BLOCKING(name, REDUCE_ARGUMENTS)
#define SHAPE_reducing(name) BLOCKING(name, REDUCING_ARGUMENTS)
#define SHAPE_reduce_scatter(name) BLOCKING(name, REDUCE_SCATTER_ARGUMENTS)
#define SHAPE_rooted(name) BLOCKING(name, ROOTED_ARGUMENTS)
#define SHAPE_gatherv(name) BLOCKING(name, GATHERV_ARGUMENTS)
#define SHAPE_scatterv(name) BLOCKING(name, SCATTERV_ARGUMENTS)
#define SHAPE_all(name) BLOCKING(name, ALL_ARGUMENTS)
#define SHAPE_allgatherv(name) BLOCKING(name, ALLGATHERV_ARGUMENTS)
#define SHAPE_alltoallv(name) BLOCKING(name, ALLTOALLV_ARGUMENTS)
#define SHAPE_alltoallw(name) BLOCKING(name, ALLTOALLW_ARGUMENTS)
#define SHAPE_ibarrier(name) NONBLOCKING(name, BARRIER_ARGUMENTS)
#define SHAPE_ibcast(name) NONBLOCKING(name, BCAST_ARGUMENTS)
#define SHAPE_ireduce(name) NONBLOCKING(name, REDUCE_ARGUMENTS)
#define SHAPE_ireducing(name) NONBLOCKING(name, REDUCING_ARGUMENTS)
#define SHAPE_ireduce_scatter(name) NONBLOCKING(name, REDUCE_SCATTER_ARGUMENTS)
#define SHAPE_irooted(name) NONBLOCKING(name, ROOTED_ARGUMENTS)
#define SHAPE_igatherv(name) NONBLOCKING(name, GATHERV_ARGUMENTS)
#define SHAPE_iscatterv(name) NONBLOCKING(name, SCATTERV_ARGUMENTS)
#define SHAPE_iall(name) NONBLOCKING(name, ALL_ARGUMENTS)
#define SHAPE_iallgatherv(name) NONBLOCKING(name, ALLGATHERV_ARGUMENTS)
#define SHAPE_ialltoallv(name) NONBLOCKING(name, ALLTOALLV_ARGUMENTS)
#define SHAPE_ialltoallw(name) NONBLOCKING(name, ALLTOALLW_ARGUMENTS)

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

#define MPI_ENTRY(name, kind, edges, shape) SHAPE_##shape(name)
#pragma GCC visibility push(default)
extern "C" {
// NOLINTBEGIN(readability-identifier-length): Fortran's arguments, passed on unread
using P = void *;
#include "mpi_entries.def"
// NOLINTEND(readability-identifier-length)
}
#pragma GCC visibility pop
// NOLINTEND(cppcoreguidelines-macro-usage,bugprone-macro-parentheses)
