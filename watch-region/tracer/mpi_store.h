// The record of a rank's MPI calls, apart from the interposers that feed it
// (mpi_interposers.cpp, built for one MPI's types) and from the trace's
// writer, which reads it (trace_file.cpp). It knows no MPI type: a handle
// (a communicator, a request, a message) is kept as the word it is, a
// pointer in Open MPI and an int in MPICH.
//   - the communicators seen, each one's members as world ranks, so that
//     the ranks name it alike;
//   - the receives and nonblocking collectives in flight, by request;
//   - the messages matched by a probe, by handle, for the receive that
//     takes them;
//   - the log of calls that carry messages or meet other ranks, in the
//     order they ended, and the initial thread's time in MPI.
// Each MPI call is a wait of kind mpi at its call site: time out of the
// program's own code.
#pragma once

#include "runtime_time.h"
#include "waits.h"

#include <cstddef>
#include <cstdint>

namespace tracer::mpi {

using Handle = std::uintptr_t;

// One call in progress on this thread.
struct Started {
    RuntimeWait wait;
    Clock ideal;
    const char *function;
};

Started begin_call(const char *function);
// Logs a call NAME on the communicator COMM (its index; -1: none) with
// WORLD_PEER (a world rank) and TAG, from STARTED to EXIT.
void log_call(const Started &started, std::int64_t exit, const char *name, int comm, int world_peer,
              int tag);
// Ends the call started, logged as NAME (null: not logged) on COMM with
// PEER (a rank of COMM) and TAG; returns the time it ended.
std::int64_t end_call(const Started &started, const void *site, const char *name = nullptr,
                      int comm = -1, int peer = -1, int tag = -1);

// The communicators: the index of HANDLE, -1 if it is not known yet.
int find_comm(Handle handle);
// Adds HANDLE, of SIZE members, whose world ranks TRANSLATE(context, first,
// count, into) writes (false: it could not); its index, or -1 where it
// could not be added or the table is full.
using Translate = bool (*)(void *context, int first, int count, int *into);
int add_comm(Handle handle, int size, Translate translate, void *context);
// RANK of the communicator at INDEX as a world rank; -1 for none.
int world_of(int index, int rank);

// What a request in flight is: a receive, or a nonblocking collective,
// with its root and where it was entered.
struct Expected {
    int comm;
    const char *name;
    int root;
    std::int64_t entry;
    Clock ideal;
    bool collective;
};
void expect(Handle request, const Expected &expected);
// What REQUEST was, if any, forgotten.
bool take_pending(Handle request, Expected &expected);
// The completion of REQUEST (as it was before the call), at EXIT: a
// receive logged with SOURCE and TAG (a rank of its communicator), a
// collective where it was entered.
void log_completed(const Started &started, std::int64_t exit, Handle request, int source, int tag);

// A matched probe: the message's communicator, source and tag.
struct Matched {
    int comm, source, tag;
};
void keep_probed(Handle message, const Matched &matched);
// The match MESSAGE was probed with, forgotten; {-1, -1, -1} if none.
Matched take_probed(Handle message);

// MPI_COMM_WORLD, once MPI is started: this rank and the ranks.
void set_world(int rank, int size);
// Where MPI_Init returns and MPI_Finalize is called: the interval measured,
// unless the program marks its own.
void after_init();
void before_finalize();
// MPI_Pcontrol(LEVEL) at TIME: the program's own marks, the first of which
// replaces those that MPI_Init and MPI_Finalize set.
void program_mark(int level, std::int64_t time);

// What the trace's writer reads.
struct World {
    int rank, size; // rank -1: MPI not started
    Clock in_mpi;   // the initial thread's time in MPI calls
};
World world();
struct Call {
    const char *name;
    std::int32_t comm, peer, tag, kernel_thread;
    std::int64_t entry, exit;
    Clock ideal_entry, ideal_exit;
};
std::size_t comms();
int comm_size(std::size_t index);
// Every call made; those kept are the first max_calls.
std::size_t calls_made();
constexpr std::size_t max_calls = 1 << 16;
const Call &call(std::size_t index);
// The offset of this rank's clock from rank 0's, measured at MPI_Init and
// at MPI_Finalize: at AT on this rank's clock, rank 0's read OFFSET ns
// later, give or take UNCERTAINTY.
struct ClockOffset {
    std::int64_t at, offset, uncertainty;
};
constexpr std::size_t max_offsets = 2;
void keep_offset(const ClockOffset &measured);
std::size_t offsets();
const ClockOffset &offset(std::size_t index);
// Forgets everything, as a new process (the tests) would start.
void forget();

} // namespace tracer::mpi
