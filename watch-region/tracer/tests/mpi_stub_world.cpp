// Open MPI's MPI_COMM_WORLD and MPI_BYTE, addresses of objects of its library, in
// the stub of MPI (mpi_stub.cpp); Open MPI's header declares the objects
// with types of its own, so they are defined here, apart.
#include <array>

extern "C" {
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables)
alignas(64) std::array<char, 512> ompi_mpi_comm_world{};
// NOLINTNEXTLINE(cppcoreguidelines-avoid-non-const-global-variables): MPI_BYTE's
alignas(64) std::array<char, 512> ompi_mpi_byte{};
}
