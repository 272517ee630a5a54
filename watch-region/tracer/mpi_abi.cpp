// What the MPI interposers need of one MPI's types (mpi_abi.h).
#include "mpi_abi.h"

#include <algorithm>
#include <array>
#include <dlfcn.h>

namespace tracer::mpi {

namespace {

// The libraries of the MPI built for, by the names the loader knows them
// by, and those of the other.
// Open MPI's library has had one name since its release 3.0: a process
// without it is not Open MPI's. MPICH's ABI is shared by libraries of other
// names (Cray's), told from Open MPI's alone.
#ifdef OPEN_MPI
constexpr std::array own_libraries{"libmpi.so.40"};
constexpr std::array other_libraries{"libmpich.so.12", "libmpi.so.12"};
constexpr bool own_library_known = true;
#else
constexpr std::array own_libraries{"libmpich.so.12", "libmpi.so.12"};
constexpr std::array other_libraries{"libmpi.so.40"};
constexpr bool own_library_known = false;
#endif

bool loaded(const char *library)
{
    void *opened = dlopen(library, RTLD_LAZY | RTLD_NOLOAD);
    if (opened != nullptr) {
        dlclose(opened);
    }
    return opened != nullptr;
}

template <typename Names> bool any_loaded(const Names &names)
{
    return std::any_of(names.begin(), names.end(), loaded);
}

// MPI_COMM_WORLD's group, once MPI is started.
MPI_Group world_group{};

// The world ranks of COUNT ranks of the group CONTEXT from FIRST, into INTO.
bool translate(void *context, int first, int count, int *into)
{
    constexpr std::size_t at_once = 256;
    std::array<int, at_once> ranks{};
    for (int start = 0; start < count; start += static_cast<int>(ranks.size())) {
        const int many = std::min(count - start, static_cast<int>(ranks.size()));
        for (int rank = 0; rank < many; ++rank) {
            ranks[static_cast<std::size_t>(rank)] = first + start + rank;
        }
        // NOLINTBEGIN(*-pointer-arithmetic): the table's room for COUNT ranks
        if (REAL(PMPI_Group_translate_ranks)(*static_cast<MPI_Group *>(context), many, ranks.data(),
                                             world_group, into + start) != MPI_SUCCESS) {
            return false;
        }
        // NOLINTEND(*-pointer-arithmetic)
    }
    return true;
}

} // namespace

MPI_Comm world_comm()
{
#ifdef OPEN_MPI
    // Open MPI's MPI_COMM_WORLD is the address of its object, which a
    // tracer loaded into a program without MPI must not need.
    return reinterpret_cast<MPI_Comm>(dlsym(RTLD_DEFAULT, "ompi_mpi_comm_world"));
#else
    return MPI_COMM_WORLD;
#endif
}

#ifdef OPEN_MPI
const bool fortran_timed = true;
#else
const bool fortran_timed = false;
#endif

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

bool foreign()
{
    // 0 until known, then 1: the MPI built for; 2: another.
    static std::atomic<int> known{0};
    int found = known.load(std::memory_order_relaxed);
    if (found == 0) {
        found = !any_loaded(own_libraries) && (own_library_known || any_loaded(other_libraries))
                    ? 2
                    : 1;
        known.store(found, std::memory_order_relaxed);
    }
    return found == 2;
}

int comm_index(MPI_Comm comm)
{
    const Handle handle = word(comm);
    int found = find_comm(handle);
    if (found >= 0 || world().rank < 0 || handle == 0) {
        return found;
    }
    int size = 0;
    MPI_Group group{};
    if (REAL(PMPI_Comm_size)(comm, &size) != MPI_SUCCESS ||
        REAL(PMPI_Comm_group)(comm, &group) != MPI_SUCCESS) {
        return -1;
    }
    found = add_comm(handle, size, translate, &group);
    REAL(PMPI_Group_free)(&group);
    return found;
}

void world_started()
{
    auto *group = REAL(PMPI_Comm_group);
    MPI_Comm comm_world = world_comm();
    int rank = -1;
    int size = 0;
    if (group != nullptr && word(comm_world) != 0 &&
        group(comm_world, &world_group) == MPI_SUCCESS &&
        REAL(PMPI_Comm_rank)(comm_world, &rank) == MPI_SUCCESS &&
        REAL(PMPI_Comm_size)(comm_world, &size) == MPI_SUCCESS) {
        set_world(rank, size);
        comm_index(comm_world);
    }
    after_init();
}

int two_sided(const Started &started, const void *site, int result, int index, int destination,
              int send_tag, const MPI_Status &status)
{
    log_call(started, now(), "MPI_Sendrecv:send", index, world_of(index, destination), send_tag);
    end_call(started, site, "MPI_Sendrecv:recv", index, status.MPI_SOURCE, status.MPI_TAG);
    return result;
}

int posted(const Started &started, const void *site, int result, Handle request, const char *name,
           int comm, int root)
{
    if (result == MPI_SUCCESS) {
        expect(request, {comm, name, root, started.wait.start, started.ideal, true});
    }
    end_call(started, site);
    return result;
}

} // namespace tracer::mpi
