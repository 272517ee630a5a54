// What a preloaded tracer adds to an MPI call, measured inside one run: an
// 8-byte message sent back and forth between two ranks, in blocks of round
// trips that take turns between two ways of sending and receiving. One is
// the program's own MPI_Send and MPI_Recv, which a preloaded tracer takes;
// the other calls the library's profiling entries, PMPI_Send and PMPI_Recv,
// which nothing takes. Both ranks run both ways, block after block, so that
// the machine's drift falls on both ways alike, and the difference is the
// tracer's. Without a tracer the two ways are one, and the same difference
// tells how finely this can measure.
//
// A message's way from one rank to the other passes through a send on one
// and a receive on the other: what a tracer adds to it is the end of the
// receive and the start of the next send, one call's worth; the send's end
// and the receive's start fall while the partner works.
//
// usage: mpirun -np 2 mpi_cost [TRIPS [SAMPLES]]
//   (default 1000 round trips a block, 101 samples of a block each way)
// rank 0 prints "ping-pong LATENCY DIFFERENCE": microseconds a message takes
// one way through the program's own calls, and that less its time through
// the profiling entries, each the median over the samples.
#include "timing.h"

#include <mpi.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <vector>

namespace {

using timing::median;
using timing::now;

struct Way {
    int (*send)(const void *, int, MPI_Datatype, int, int, MPI_Comm);
    int (*receive)(void *, int, MPI_Datatype, int, int, MPI_Comm, MPI_Status *);
};

struct Setting {
    int rank;
    long trips;
};

// Microseconds one way over the setting's round trips, which rank 0 starts
// and the other rank returns.
double time_block(const Way &way, const Setting &setting)
{
    constexpr int tag = 1;
    const int partner = 1 - setting.rank;
    std::int64_t message = 0;
    const std::int64_t start = now();
    for (long trip = 0; trip < setting.trips; ++trip) {
        if (setting.rank == 0) {
            way.send(&message, 1, MPI_INT64_T, partner, tag, MPI_COMM_WORLD);
            way.receive(&message, 1, MPI_INT64_T, partner, tag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        }
        else {
            way.receive(&message, 1, MPI_INT64_T, partner, tag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
            ++message;
            way.send(&message, 1, MPI_INT64_T, partner, tag, MPI_COMM_WORLD);
        }
    }
    constexpr double nanoseconds_per_microsecond = 1000.0;
    return static_cast<double>(now() - start) / nanoseconds_per_microsecond /
           static_cast<double>(2 * setting.trips);
}

} // namespace

int main(int argc, char **argv)
{
    MPI_Init(&argc, &argv);
    int rank = 0;
    int ranks = 0;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &ranks);
    const auto arguments = std::span(argv, static_cast<std::size_t>(argc));
    constexpr long default_trips = 1000;
    constexpr long default_samples = 101;
    const long trips = argc > 1 ? std::strtol(arguments[1], nullptr, 10) : default_trips;
    const long samples = argc > 2 ? std::strtol(arguments[2], nullptr, 10) : default_samples;
    if (argc > 3 || trips < 1 || samples < 1 || ranks != 2) {
        if (rank == 0) {
            std::fputs("usage: mpirun -np 2 mpi_cost [TRIPS [SAMPLES]]\n", stderr);
        }
        MPI_Finalize();
        return 2;
    }
    const std::array ways{Way{MPI_Send, MPI_Recv}, Way{PMPI_Send, PMPI_Recv}};
    const Setting setting{rank, trips};
    // Both ways' first messages, which set up the ranks' connection, before
    // any is timed.
    for (const Way &way : ways) {
        time_block(way, setting);
    }
    MPI_Barrier(MPI_COMM_WORLD);
    std::vector<double> through;
    std::vector<double> differences;
    for (long sample = 0; sample < samples; ++sample) {
        std::array<double, 2> times{};
        for (std::size_t turn = 0; turn < 2; ++turn) {
            const std::size_t way = (static_cast<std::size_t>(sample) + turn) % 2;
            times.at(way) = time_block(ways.at(way), setting);
        }
        through.push_back(times[0]);
        differences.push_back(times[0] - times[1]);
    }
    if (rank == 0) {
        std::printf("ping-pong %.4f %.4f\n", median(through), median(differences));
    }
    MPI_Finalize();
    return 0;
}
