// Open MPI's MPI_COMM_WORLD, the address of an object of its library, in
// the stub of MPI (mpi_stub.cpp); Open MPI's header declares the object
// with a type of its own, so it is defined here, apart.
#include <array>

extern "C" {
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
alignas(64) std::array<char, 512> ompi_mpi_comm_world{};
}
