// What the MPI interposers need of one MPI's types (mpi_abi.cpp,
// mpi_completions.cpp): the real functions, the handles as the store keeps
// them, the communicators' indices, MPI_COMM_WORLD, and the completions.
// Built for the MPI whose header the build gives: Open MPI's or MPICH's,
// each into a tracer of its own.
#pragma once

// The header's own switches: its C API only.
#define OMPI_SKIP_MPICXX 1  // NOLINT(cppcoreguidelines-macro-usage)
#define MPICH_SKIP_MPICXX 1 // NOLINT(cppcoreguidelines-macro-usage)
#include "clock.h"
#include "mpi_store.h"

#include <atomic>
#include <cstdint>
#include <mpi.h>
#include <string_view>
#include <type_traits>

namespace tracer::mpi {

// The real function NAME, looked up once into SLOT: the next definition
// after the tracer's, else the one of an MPI library loaded.
void *find(std::atomic<void *> &slot, const char *name);

// NOLINTBEGIN(cppcoreguidelines-macro-usage,bugprone-macro-parentheses): a name and its type
#define REAL(function)                                                                             \
    ([]() {                                                                                        \
        static std::atomic<void *> slot{nullptr};                                                  \
        return reinterpret_cast<decltype(&function)>(find(slot, #function));                       \
    }())
// NOLINTEND(cppcoreguidelines-macro-usage,bugprone-macro-parentheses)

// A handle as the store keeps it: a pointer's address, an int's value.
template <typename Handle> mpi::Handle word(Handle handle)
{
    if constexpr (std::is_pointer_v<Handle>) {
        return reinterpret_cast<mpi::Handle>(handle);
    }
    else {
        return static_cast<mpi::Handle>(static_cast<std::make_unsigned_t<Handle>>(handle));
    }
}

// MPI_STATUS_IGNORE and MPI_STATUSES_IGNORE, which MPICH's header casts.
// NOLINTBEGIN(cppcoreguidelines-pro-type-cstyle-cast)
inline MPI_Status *status_ignore() { return MPI_STATUS_IGNORE; }
inline MPI_Status *statuses_ignore() { return MPI_STATUSES_IGNORE; }
// NOLINTEND(cppcoreguidelines-pro-type-cstyle-cast)

// Whether the process's MPI is another than the one built for: its calls
// are then passed on untouched.
bool foreign();
// Whether the library's Fortran entries call its profiling entries, which
// the tracer does not see (Open MPI), rather than the C entries it
// interposes (MPICH): the Fortran entries are then timed themselves.
extern const bool fortran_timed;

// MPI_COMM_WORLD; null where MPI's library is not loaded.
MPI_Comm world_comm();
// Inside MPI_Init, once started, and inside MPI_Finalize, before it ends:
// this rank's clock's offset from rank 0's measured (mpi_clock.cpp).
void clock_at_init();
void clock_at_finalize();

// The index of COMM in the store's table; -1 for none.
int comm_index(MPI_Comm comm);
// After MPI_Init: MPI_COMM_WORLD known, and the interval measured started.
void world_started();
// MPI_Sendrecv and MPI_Sendrecv_replace: the send to DESTINATION with
// SEND_TAG and the receive that STATUS describes, on the communicator at
// INDEX, logged as its two halves.
int two_sided(const Started &started, const void *site, int result, int index, int destination,
              int send_tag, const MPI_Status &status);
// Ends the call that started the nonblocking collective NAME on COMM (an
// index, with ROOT) as REQUEST, if RESULT says it did.
int posted(const Started &started, const void *site, int result, Handle request, const char *name,
           int comm, int root);

// The completions: each logs the receives and nonblocking collectives it
// completes. REAL is the real call, or null.
int wait_one(const void *site, const char *name, decltype(&MPI_Wait) real, MPI_Request *request,
             MPI_Status *status);
int test_one(const void *site, const char *name, decltype(&MPI_Test) real, MPI_Request *request,
             int *flag, MPI_Status *status);
int wait_all(const void *site, const char *name, decltype(&MPI_Waitall) real, int count,
             MPI_Request *requests, MPI_Status *statuses);
int test_all(const void *site, const char *name, decltype(&MPI_Testall) real, int count,
             MPI_Request *requests, int *flag, MPI_Status *statuses);
int wait_any(const void *site, const char *name, decltype(&MPI_Waitany) real, int count,
             MPI_Request *requests, int *index, MPI_Status *status);
int test_any(const void *site, const char *name, decltype(&MPI_Testany) real, int count,
             MPI_Request *requests, int *index, int *flag, MPI_Status *status);
// MPI_Waitsome and MPI_Testsome.
int some(const void *site, const char *name, decltype(&MPI_Waitsome) real, int count,
         MPI_Request *requests, int *done, int *indices, MPI_Status *statuses);

// Whether the entry ENTRY is MPI_COMM_WORLD's start (1) or end (-1).
constexpr int world_of_entry(std::string_view entry)
{
    return entry == "MPI_Init" ? 1 : entry == "MPI_Finalize" ? -1 : 0;
}

// A Fortran entry NAME, called at SITE by CALL: timed and logged by its
// name, on no communicator; where it starts or ends MPI (WORLD, as
// world_of_entry gives it), the interval measured set too.
template <int world, typename Call> void fortran_call(const char *name, const void *site, Call call)
{
    if constexpr (world < 0) {
        before_finalize();
    }
    const Started started = begin_call(name);
    if constexpr (world < 0) {
        clock_at_finalize();
    }
    call();
    if constexpr (world > 0) {
        clock_at_init();
    }
    end_call(started, site, name);
    if constexpr (world > 0) {
        world_started();
    }
}

} // namespace tracer::mpi
