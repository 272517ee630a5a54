// Each rank's clock against rank 0's. Ranks on different nodes each read
// their own node's monotonic clock, which counts from that node's boot: the
// tool puts every rank's events on rank 0's clock from the offsets measured
// here, once inside MPI_Init and once inside MPI_Finalize, so that it can
// also follow a clock that drifts between the two.
//
// The measurement is a ping-pong with rank 0: a rank sends an empty message
// at T1, rank 0 answers with its clock's reading T0, which arrives at T2;
// rank 0 read its clock somewhere between T1 and T2, so its clock is ahead
// by T0 - (T1 + T2) / 2, give or take (T2 - T1) / 2. Of a few round trips,
// the shortest is kept. It runs on a duplicate of MPI_COMM_WORLD, made in
// MPI_Init, so that none of its messages can match the program's, and only
// where a trace is asked for: every rank must then take part, as every rank
// is traced.
#include "mpi_abi.h"

#include <cstdlib>
#include <dlfcn.h>

namespace tracer::mpi {

namespace {

// The round trips a rank makes; the shortest is kept.
constexpr int round_trips = 8;
constexpr int clock_tag = 1;

// The duplicate of MPI_COMM_WORLD the round trips run on, and whether it
// was made.
MPI_Comm clock_comm{};
bool clock_ready = false;

MPI_Datatype bytes()
{
#ifdef OPEN_MPI
    // An object of Open MPI's library, as MPI_COMM_WORLD is.
    return reinterpret_cast<MPI_Datatype>(dlsym(RTLD_DEFAULT, "ompi_mpi_byte"));
#else
    return MPI_BYTE;
#endif
}

// Rank 0's side: answers each other rank's round trips with its clock.
void answer(int size, MPI_Datatype type)
{
    auto *send = REAL(PMPI_Send);
    auto *receive = REAL(PMPI_Recv);
    for (int rank = 1; rank < size; ++rank) {
        for (int trip = 0; trip < round_trips; ++trip) {
            char none = 0;
            if (receive(&none, 0, type, rank, clock_tag, clock_comm, status_ignore()) !=
                MPI_SUCCESS) {
                return;
            }
            std::int64_t reading = now();
            if (send(&reading, sizeof reading, type, rank, clock_tag, clock_comm) != MPI_SUCCESS) {
                return;
            }
        }
    }
}

// Another rank's side: its round trips with rank 0, the shortest kept.
void ask(MPI_Datatype type)
{
    auto *send = REAL(PMPI_Send);
    auto *receive = REAL(PMPI_Recv);
    ClockOffset best{0, 0, -1};
    for (int trip = 0; trip < round_trips; ++trip) {
        char none = 0;
        std::int64_t reading = 0;
        const std::int64_t sent = now();
        if (send(&none, 0, type, 0, clock_tag, clock_comm) != MPI_SUCCESS ||
            receive(&reading, sizeof reading, type, 0, clock_tag, clock_comm, status_ignore()) !=
                MPI_SUCCESS) {
            return;
        }
        const std::int64_t back = now();
        const std::int64_t half = (back - sent + 1) / 2;
        if (best.uncertainty < 0 || half < best.uncertainty) {
            const std::int64_t middle = sent + (back - sent) / 2;
            best = {middle, reading - middle, half};
        }
    }
    keep_offset(best);
}

void measure()
{
    int rank = -1;
    int size = 0;
    MPI_Datatype type = bytes();
    if (!clock_ready || word(type) == 0 || REAL(PMPI_Comm_rank)(clock_comm, &rank) != MPI_SUCCESS ||
        REAL(PMPI_Comm_size)(clock_comm, &size) != MPI_SUCCESS || size < 2) {
        return;
    }
    if (rank == 0) {
        keep_offset({now(), 0, 0});
        answer(size, type);
    }
    else {
        ask(type);
    }
}

} // namespace

void clock_at_init()
{
    // NOLINTNEXTLINE(concurrency-mt-unsafe): nothing sets them
    if (std::getenv("WATCH_REGION_TRACE") == nullptr &&
        std::getenv("WATCH_REGION_TRACE_DIR") == nullptr) { // NOLINT(concurrency-mt-unsafe)
        return;
    }
    auto *duplicate = REAL(PMPI_Comm_dup);
    MPI_Comm comm_world = world_comm();
    clock_ready = duplicate != nullptr && REAL(PMPI_Send) != nullptr &&
                  REAL(PMPI_Recv) != nullptr && word(comm_world) != 0 &&
                  duplicate(comm_world, &clock_comm) == MPI_SUCCESS;
    measure();
}

void clock_at_finalize()
{
    measure();
    if (clock_ready) {
        clock_ready = false;
        REAL(PMPI_Comm_free)(&clock_comm);
    }
}

} // namespace tracer::mpi
