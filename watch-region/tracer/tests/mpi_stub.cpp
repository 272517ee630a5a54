// A stub of an MPI library (mpi_stub.h), made of the tracer's own list of
// entries and their shapes.
#define OMPI_SKIP_MPICXX 1  // NOLINT(cppcoreguidelines-macro-usage)
#define MPICH_SKIP_MPICXX 1 // NOLINT(cppcoreguidelines-macro-usage)
#include "mpi_stub.h"

#include "mpi_shapes.h"

#include <ctime>
#include <mpi.h>

namespace {

std::size_t calls = 0;
StubCall last{};
StubTrips trips{};
constexpr std::uintptr_t duplicate_word = 0x7000;

// A handle of WORD: a pointer's or an int's.
template <typename Handle> Handle handle(std::uintptr_t word)
{
    if constexpr (std::is_pointer_v<Handle>) {
        return reinterpret_cast<Handle>(word);
    }
    else {
        return static_cast<Handle>(word);
    }
}

// Writes back what a call returns through POINTER: a status's source and
// tag, an int, or a new handle (a request, a message) where the MPI's
// handles are pointers; MPICH's are ints, written as any int is.
template <typename Pointer> void fill(Pointer pointer)
{
    using Pointee = std::remove_pointer_t<Pointer>;
    if constexpr (std::is_same_v<Pointee, MPI_Status>) {
        if (pointer != MPI_STATUS_IGNORE) { // NOLINT(cppcoreguidelines-pro-type-cstyle-cast)
            pointer->MPI_SOURCE = stub_source;
            pointer->MPI_TAG = stub_tag;
        }
    }
    else if constexpr (std::is_same_v<Pointee, int>) {
        *pointer = stub_out;
    }
    else if constexpr (std::is_pointer_v<Pointee> &&
                       std::disjunction_v<std::is_same<Pointee, MPI_Request>,
                                          std::is_same<Pointee, MPI_Message>>) {
        static std::uintptr_t handles = 0x1000;
        *pointer = handle<Pointee>(handles += 0x40);
    }
}

template <typename Value> void fill_any(Value value)
{
    if constexpr (std::is_pointer_v<Value>) {
        fill(value);
    }
}

// A call of NAME recorded, and what it returns written back:
// record{NAME}(ARGUMENTS...).
struct record {
    const char *name;
    template <typename... Values> int operator()(Values... values) const
    {
        ++calls;
        last = stub_call{name}(values...);
        (fill_any(values), ...);
        return MPI_SUCCESS;
    }
};

} // namespace

std::size_t stub_calls() { return calls; }

const StubCall &stub_last() { return last; }

std::int64_t stub_shift = 0;

const StubTrips &stub_trips() { return trips; }

extern "C" {

// MPI's entries made of the list and their shapes, each recording its call;
// Open MPI's MPI_COMM_WORLD is in mpi_stub_world.cpp.

// NOLINTBEGIN(cppcoreguidelines-macro-usage)
#define MPI_ENTRY(name, kind, edges, shape)                                                        \
    int name PARAMETERS(shape) { return record{#name}(ARGUMENT_LIST(shape)); }
#define BODY_0(name)                                                                               \
    void name(int *error) { record{#name}(error); }
#define BODY_1(name)                                                                               \
    void name(void *a, int *error) { record{#name}(a, error); }
#define BODY_2(name)                                                                               \
    void name(void *a, void *b, int *error) { record{#name}(a, b, error); }
#define BODY_3(name)                                                                               \
    void name(void *a, void *b, void *c, int *error) { record{#name}(a, b, c, error); }
#define BODY_5(name)                                                                               \
    void name(void *a, void *b, void *c, void *d, void *e, int *error)                             \
    {                                                                                              \
        record{#name}(a, b, c, d, e, error);                                                       \
    }
#define BODY_6(name)                                                                               \
    void name(void *a, void *b, void *c, void *d, void *e, void *f, int *error)                    \
    {                                                                                              \
        record{#name}(a, b, c, d, e, f, error);                                                    \
    }
#define BODY_7(name)                                                                               \
    void name(void *a, void *b, void *c, void *d, void *e, void *f, void *g, int *error)           \
    {                                                                                              \
        record{#name}(a, b, c, d, e, f, g, error);                                                 \
    }
#define MPI_FORTRAN(name, entry, arguments) BODY_##arguments(name)
#include "mpi_entries.def"
// NOLINTEND(cppcoreguidelines-macro-usage)

// The communicators: MPI_COMM_WORLD's group is the world's; any other
// communicator's members are the world's ranks shifted by one.
int PMPI_Comm_size(MPI_Comm /*comm*/, int *size)
{
    *size = stub_size;
    return MPI_SUCCESS;
}

int PMPI_Comm_rank(MPI_Comm /*comm*/, int *rank)
{
    *rank = stub_rank;
    return MPI_SUCCESS;
}

int PMPI_Comm_group(MPI_Comm comm, MPI_Group *group)
{
    *group = handle<MPI_Group>(stub_word(comm));
    return MPI_SUCCESS;
}

int PMPI_Group_translate_ranks(MPI_Group group, int count, const int ranks[], MPI_Group world,
                               int world_ranks[])
{
    const int shift = stub_word(group) == stub_word(world) ? 0 : 1;
    for (int at = 0; at < count; ++at) {
        world_ranks[at] = (ranks[at] + shift) % stub_size;
    }
    return MPI_SUCCESS;
}

int PMPI_Group_free(MPI_Group * /*group*/) { return MPI_SUCCESS; }

int PMPI_Comm_dup(MPI_Comm /*comm*/, MPI_Comm *duplicate)
{
    ++trips.duplicates;
    *duplicate = handle<MPI_Comm>(duplicate_word);
    return MPI_SUCCESS;
}

// NOLINTNEXTLINE(readability-non-const-parameter): MPI's signature
int PMPI_Comm_free(MPI_Comm *comm)
{
    trips.freed += stub_word(*comm) == duplicate_word ? 1 : 0;
    return MPI_SUCCESS;
}

int PMPI_Send(const void * /*buffer*/, int /*count*/, MPI_Datatype /*type*/, int /*destination*/,
              int /*tag*/, MPI_Comm comm)
{
    ++(stub_word(comm) == duplicate_word ? trips.on_duplicate : trips.elsewhere);
    return MPI_SUCCESS;
}

// Rank 0's answer: its clock, the monotonic clock stub_shift ahead.
int PMPI_Recv(void *buffer, int count, MPI_Datatype /*type*/, int /*source*/, int /*tag*/,
              MPI_Comm comm, MPI_Status * /*status*/)
{
    ++(stub_word(comm) == duplicate_word ? trips.on_duplicate : trips.elsewhere);
    if (count == sizeof(std::int64_t)) {
        timespec clock{};
        clock_gettime(CLOCK_MONOTONIC, &clock);
        constexpr std::int64_t second = 1000000000;
        *static_cast<std::int64_t *>(buffer) = clock.tv_sec * second + clock.tv_nsec + stub_shift;
    }
    return MPI_SUCCESS;
}
}
