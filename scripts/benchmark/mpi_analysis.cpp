// A hybrid run for timing watch-region's own analysis of MPI ranks: each
// rank runs REGIONS empty parallel regions of the team OMP_NUM_THREADS
// gives and CALLS MPI calls, spread among the regions, taking turns between
// an MPI_Sendrecv with the next rank round the ring (from the one before),
// an MPI_Allreduce and an MPI_Send to the next rank with an MPI_Recv from the
// one before (even ranks send first). Nothing is timed here:
// scripts/benchmark/analysis_cost.py times `watch-region --merge` of its
// traces.
//
// usage: mpirun -np N mpi_analysis [REGIONS [CALLS]]   (default 30000 20000)
#include <mpi.h>
#include <omp.h>

#include <cstdio>
#include <cstdlib>
#include <span>

namespace {

struct Ring {
    int rank;
    int next;
    int previous;
};

// One MPI call, the NUMBER-th of the rank's (a send and its receive are
// two).
long call(const Ring &ring, long number, int *value)
{
    constexpr int tag = 5;
    constexpr int kinds = 3;
    int received = 0;
    switch (number % kinds) {
    case 0:
        MPI_Sendrecv(value, 1, MPI_INT, ring.next, tag, &received, 1, MPI_INT, ring.previous, tag,
                     MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        return 1;
    case 1:
        MPI_Allreduce(value, &received, 1, MPI_INT, MPI_SUM, MPI_COMM_WORLD);
        return 1;
    default:
        if (ring.rank % 2 == 0) {
            MPI_Send(value, 1, MPI_INT, ring.next, tag, MPI_COMM_WORLD);
            MPI_Recv(&received, 1, MPI_INT, ring.previous, tag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
        }
        else {
            MPI_Recv(&received, 1, MPI_INT, ring.previous, tag, MPI_COMM_WORLD, MPI_STATUS_IGNORE);
            MPI_Send(value, 1, MPI_INT, ring.next, tag, MPI_COMM_WORLD);
        }
        return 2;
    }
}

} // namespace

int main(int argc, char **argv)
{
    constexpr int decimal = 10;
    constexpr long default_regions = 30000;
    constexpr long default_calls = 20000;
    const auto arguments = std::span(argv, static_cast<std::size_t>(argc)).subspan(1);
    const long regions =
        arguments.empty() ? default_regions : std::strtol(arguments[0], nullptr, decimal);
    const long calls =
        arguments.size() < 2 ? default_calls : std::strtol(arguments[1], nullptr, decimal);
    if (arguments.size() > 2 || regions < 1 || calls < 0) {
        std::fputs("usage: mpirun -np N mpi_analysis [REGIONS [CALLS]]\n", stderr);
        return 2;
    }
    int provided = 0;
    MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
    int rank = 0;
    int size = 1;
    MPI_Comm_rank(MPI_COMM_WORLD, &rank);
    MPI_Comm_size(MPI_COMM_WORLD, &size);
    const Ring ring{rank, (rank + 1) % size, (rank + size - 1) % size};
    int value = rank;
    long made = 0;
    for (long region = 0; region < regions; ++region) {
#pragma omp parallel default(none) shared(value)
        if (omp_get_thread_num() == 0) {
            value += 1;
        }
        // The calls due by this region, so that they spread evenly.
        while (made < (region + 1) * calls / regions) {
            made += call(ring, made, &value);
        }
    }
    MPI_Finalize();
    return 0;
}
