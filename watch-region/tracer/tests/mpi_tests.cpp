// The tracer's MPI half, built for one MPI's types, driven against a stub of
// that MPI (mpi_stub.cpp): every entry of mpi_entries.def and its Fortran
// names, in the list's order, one row each. Each must pass its arguments on
// to the stub unchanged, once, and leave in the store what its kind logs: a
// send its destination and tag, a receive the source and tag its status
// got, a receive started or a nonblocking collective nothing until a
// completion completes it (started here for each completion, and completed
// by MPI_Wait for each nonblocking collective), a collective its root, the
// world calls MPI_COMM_WORLD. The exit status is 1 if any check failed.
#define OMPI_SKIP_MPICXX 1  // NOLINT(cppcoreguidelines-macro-usage)
#define MPICH_SKIP_MPICXX 1 // NOLINT(cppcoreguidelines-macro-usage)
#include "mpi_abi.h"
#include "mpi_shapes.h"
#include "mpi_stub.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace {

using namespace tracer;

int failures = 0;

void expect(const char *entry, std::string_view what, std::int64_t got, std::int64_t expected)
{
    if (got != expected) {
        std::fprintf(stderr, "%s: %.*s: %lld, not %lld\n", entry, static_cast<int>(what.size()),
                     what.data(), static_cast<long long>(got), static_cast<long long>(expected));
        ++failures;
    }
}

// Every argument of every shape, by its name there.
// NOLINTBEGIN(misc-non-private-member-variables-in-classes,cppcoreguidelines-avoid-c-arrays)
struct Arguments {
    std::array<char, 64> memory{};
    void *buffer = memory.data();
    const void *send = memory.data();
    void *receive = memory.data() + 32;
    int count = 3, send_count = 4, receive_count = 5, destination = 1, source = 3, tag = 9;
    int send_tag = 11, receive_tag = 12, root = 2, required = 1, level = 1;
    std::array<int, 4> numbers{1, 2, 3, 4};
    const int *counts = numbers.data(), *send_counts = numbers.data(),
              *receive_counts = numbers.data(), *displacements = numbers.data(),
              *send_displacements = numbers.data(), *receive_displacements = numbers.data();
    MPI_Datatype type{}, send_type{}, receive_type{};
    std::array<MPI_Datatype, 4> types{};
    const MPI_Datatype *send_types = types.data(), *receive_types = types.data();
    MPI_Op operation{};
    MPI_Comm comm{};
    std::array<MPI_Request, 2> request_array{};
    MPI_Request *request = request_array.data();
    MPI_Request *requests = request_array.data();
    std::array<MPI_Status, 2> status_array{};
    MPI_Status *status = status_array.data();
    MPI_Status *statuses = status_array.data();
    std::array<int, 2> outs{};
    int *flag = outs.data(), *index = outs.data(), *done = outs.data(), *provided = outs.data();
    int *indices = outs.data() + 1;
    MPI_Message message_handle{};
    MPI_Message *message = &message_handle;
    int argument_count = 0;
    int *argc = &argument_count;
    char **argument_values = nullptr;
    char ***argv = &argument_values;
};
// NOLINTEND(misc-non-private-member-variables-in-classes,cppcoreguidelines-avoid-c-arrays)

// The names of a shape's arguments, made local, as references into ARGUMENTS.
// NOLINTBEGIN(cppcoreguidelines-macro-usage)
// NOLINTNEXTLINE(bugprone-macro-parentheses): a declaration
#define NAMED(name) [[maybe_unused]] auto &name = arguments.name;
#define LOCALS                                                                                     \
    NAMED(buffer)                                                                                  \
    NAMED(send)                                                                                    \
    NAMED(receive)                                                                                 \
    NAMED(count)                                                                                   \
    NAMED(send_count)                                                                              \
    NAMED(receive_count)                                                                           \
    NAMED(destination)                                                                             \
    NAMED(source)                                                                                  \
    NAMED(tag)                                                                                     \
    NAMED(send_tag) NAMED(receive_tag) NAMED(root) NAMED(required) NAMED(level) NAMED(counts)      \
        NAMED(send_counts) NAMED(receive_counts) NAMED(displacements) NAMED(send_displacements)    \
            NAMED(receive_displacements) NAMED(type) NAMED(send_type) NAMED(receive_type)          \
                NAMED(send_types) NAMED(receive_types) NAMED(operation) NAMED(comm) NAMED(request) \
                    NAMED(requests) NAMED(status) NAMED(statuses) NAMED(flag) NAMED(index)         \
                        NAMED(done) NAMED(provided) NAMED(indices) NAMED(message) NAMED(argc)      \
                            NAMED(argv)

// One entry: its name, its kind, what it was called with, and the root of
// its shape (-1: none).
struct Row {
    const char *name;
    std::string_view kind;
    StubCall (*call)(Arguments &arguments, int &root);
};
#define MPI_ENTRY(name, kind, edges, shape)                                                        \
    {#name, #kind, [](Arguments &arguments, int &expected_root) {                                  \
         LOCALS                                                                                    \
         expected_root = ROOT(shape);                                                              \
         name ARGUMENTS(shape);                                                                    \
         return stub_call{#name}(ARGUMENT_LIST(shape));                                            \
     }},
#define MPI_FORTRAN(name, entry, arguments) {#name, "fortran", FORTRAN_##arguments(name)},
#define FORTRAN_CALL(name, ...)                                                                    \
    [](Arguments &arguments, int &) {                                                              \
        std::array<int, 8> cells{};                                                                \
        int *error = &arguments.argument_count;                                                    \
        void *a = &cells[0], *b = &cells[1], *c = &cells[2], *d = &cells[3], *e = &cells[4],       \
             *f = &cells[5], *g = &cells[6];                                                       \
        (void)a, (void)b, (void)c, (void)d, (void)e, (void)f, (void)g;                             \
        name(__VA_ARGS__);                                                                         \
        return stub_call{#name}(__VA_ARGS__);                                                      \
    }
#define FORTRAN_0(name) FORTRAN_CALL(name, error)
#define FORTRAN_1(name) FORTRAN_CALL(name, a, error)
#define FORTRAN_2(name) FORTRAN_CALL(name, a, b, error)
#define FORTRAN_3(name) FORTRAN_CALL(name, a, b, c, error)
#define FORTRAN_5(name) FORTRAN_CALL(name, a, b, c, d, e, error)
#define FORTRAN_6(name) FORTRAN_CALL(name, a, b, c, d, e, f, error)
#define FORTRAN_7(name) FORTRAN_CALL(name, a, b, c, d, e, f, g, error)
extern "C" {
using P = void *;
void mpi_init_(int *);
void mpi_finalize_(int *);
void mpi_send_(P, P, P, P, P, P, int *);
void mpi_recv_(P, P, P, P, P, P, P, int *);
void mpi_isend_(P, P, P, P, P, P, P, int *);
void mpi_irecv_(P, P, P, P, P, P, P, int *);
void mpi_wait_(P, P, int *);
void mpi_waitall_(P, P, P, int *);
void mpi_barrier_(P, int *);
void mpi_bcast_(P, P, P, P, P, int *);
void mpi_reduce_(P, P, P, P, P, P, P, int *);
void mpi_allreduce_(P, P, P, P, P, P, int *);
}
// NOLINTNEXTLINE(cert-err58-cpp,*-avoid-c-arrays): the list, made into rows
const Row rows[] = {
#include "mpi_entries.def"
};
// NOLINTEND(cppcoreguidelines-macro-usage)

// Open MPI's Fortran entries call its profiling entries, timed and logged
// by the Fortran name; MPICH's call the C entries, which log them.
#ifdef OPEN_MPI
constexpr bool fortran_logged = true;
#else
constexpr bool fortran_logged = false;
#endif

MPI_Comm other_comm()
{
#ifdef OPEN_MPI
    return reinterpret_cast<MPI_Comm>(std::uintptr_t{0x5000});
#else
    return MPI_COMM_SELF;
#endif
}

// A call logged, as the store holds it.
struct Logged {
    std::string_view name;
    std::int64_t comm, peer, tag;
};

void expect_logged(const char *entry, std::size_t from, std::initializer_list<Logged> expected)
{
    expect(entry, "calls logged", static_cast<std::int64_t>(mpi::calls_made() - from),
           static_cast<std::int64_t>(expected.size()));
    std::size_t next = from;
    for (const Logged &one : expected) {
        if (next >= mpi::calls_made()) {
            break;
        }
        const mpi::Call &call = mpi::call(next++);
        expect(entry, one.name, call.name == one.name ? 1 : 0, 1);
        expect(entry, "communicator", call.comm, one.comm);
        expect(entry, "peer", call.peer, one.peer);
        expect(entry, "tag", call.tag, one.tag);
    }
}

// A receive started on the test's communicator, whose request the next
// completion completes at INDEX of the requests it is given.
void start_receive(Arguments &arguments, int index)
{
    MPI_Request started{};
    MPI_Irecv(arguments.buffer, 1, arguments.type, 0, 0, arguments.comm, &started);
    arguments.request_array = {};
    // NOLINTNEXTLINE(clang-analyzer-optin.mpi.MPI-Checker): completed by the row's call
    arguments.request_array[static_cast<std::size_t>(index)] = started;
}

void check_row(const Row &row, Arguments &arguments)
{
    const std::string_view name = row.name;
    const bool some =
        name.find("any") != std::string_view::npos || name.find("some") != std::string_view::npos;
    if (row.kind == "completion") {
        start_receive(arguments, some ? stub_out : 0);
    }
    arguments.count = row.kind == "completion" ? 2 : 3;
    const std::size_t logged = mpi::calls_made();
    const std::size_t calls = stub_calls();
    int root = -1;
    const StubCall given = row.call(arguments, root);
    // The stub's last call is the entry's own, with the very arguments.
    expect(row.name, "calls passed on", static_cast<std::int64_t>(stub_calls() - calls), 1);
    expect(row.name, "the call passed on", stub_last().name == name ? 1 : 0, 1);
    for (std::size_t argument = 0; argument < given.count; ++argument) {
        expect(row.name, "an argument", static_cast<std::int64_t>(stub_last().words.at(argument)),
               static_cast<std::int64_t>(given.words.at(argument)));
    }
    const int comm = mpi::find_comm(mpi::word(arguments.comm));
    const int peer = (stub_source + 1) % stub_size;
    const int world_root = root < 0 ? -1 : (root + 1) % stub_size;
    const std::string_view kind = row.kind;
    if (kind == "send") {
        expect_logged(row.name, logged,
                      {{name, comm, (arguments.destination + 1) % stub_size, arguments.tag}});
    }
    else if (kind == "receive" ||
             (kind == "probe" && name.find("Mprobe") != std::string_view::npos) ||
             name == "MPI_Probe") {
        expect_logged(row.name, logged, {{name, comm, peer, stub_tag}});
    }
    else if (kind == "two_sided") {
        expect_logged(row.name, logged,
                      {{"MPI_Sendrecv:send", comm, (arguments.destination + 1) % stub_size,
                        arguments.send_tag},
                       {"MPI_Sendrecv:recv", comm, peer, stub_tag}});
    }
    else if (kind == "completion") {
        expect_logged(row.name, logged, {{"MPI_Irecv", comm, peer, stub_tag}});
    }
    else if (kind == "collective") {
        expect_logged(row.name, logged, {{name, comm, world_root, -1}});
    }
    else if (kind == "posted") {
        expect_logged(row.name, logged, {});
        MPI_Wait(arguments.request, mpi::status_ignore());
        expect_logged(row.name, logged, {{name, comm, world_root, -1}});
    }
    else if (kind == "world" || (kind == "fortran" && fortran_logged)) {
        expect_logged(row.name, logged, {{name, -1, -1, -1}});
    }
    else if (kind == "marker") {
        expect_logged(row.name, logged, {{name, -1, -1, arguments.level}});
    }
    else {
        expect_logged(row.name, logged, {});
    }
    if (name == "MPI_Init") {
        const mpi::World world = mpi::world();
        expect(row.name, "world rank and size", world.rank * 100 + world.size,
               stub_rank * 100 + stub_size);
        arguments.comm = other_comm();
    }
}

// The clock's offset from rank 0's, measured in MPI_Init and MPI_Finalize
// where a trace is asked for: rank 0's clock SHIFT ns ahead, found within
// the uncertainty measured (and a microsecond of the tracer's clock's own),
// every round trip on a duplicate of MPI_COMM_WORLD, freed at the end.
struct ClockCase {
    const char *name;
    int traced; // 1: a trace is asked for
    std::int64_t shift;
};
constexpr std::int64_t hour = 3600LL * 1000000000;
constexpr std::array clock_cases{
    ClockCase{"an hour ahead", 1, hour}, ClockCase{"an hour behind", 1, -hour},
    ClockCase{"the same clock", 1, 0}, ClockCase{"no trace asked for", 0, hour}};

void check_clock(const ClockCase &row)
{
    mpi::forget();
    stub_shift = row.shift;
    if (row.traced != 0) {
        setenv("WATCH_REGION_TRACE_DIR", ".", 1); // NOLINT(concurrency-mt-unsafe): one thread
    }
    const StubTrips before = stub_trips();
    int argument_count = 0;
    char **argument_values = nullptr;
    MPI_Init(&argument_count, &argument_values);
    expect(row.name, "offsets after MPI_Init", static_cast<std::int64_t>(mpi::offsets()),
           row.traced);
    MPI_Finalize();
    unsetenv("WATCH_REGION_TRACE_DIR"); // NOLINT(concurrency-mt-unsafe)
    const std::size_t measured = mpi::offsets();
    expect(row.name, "offsets after MPI_Finalize", static_cast<std::int64_t>(measured),
           std::int64_t{row.traced} * 2);
    for (std::size_t index = 0; index < measured; ++index) {
        const mpi::ClockOffset &offset = mpi::offset(index);
        constexpr std::int64_t microsecond = 1000;
        const std::int64_t off = std::abs(offset.offset - row.shift);
        expect(row.name, "offset's error past its uncertainty",
               std::max<std::int64_t>(off - offset.uncertainty - microsecond, 0), 0);
    }
    const StubTrips &after = stub_trips();
    expect(row.name, "duplicates made",
           static_cast<std::int64_t>(after.duplicates - before.duplicates), row.traced);
    expect(row.name, "duplicates freed", static_cast<std::int64_t>(after.freed - before.freed),
           row.traced);
    expect(row.name, "round trips' messages elsewhere",
           static_cast<std::int64_t>(after.elsewhere - before.elsewhere), 0);
    expect(row.name, "round trips' messages on the duplicate",
           after.on_duplicate > before.on_duplicate ? 1 : 0, row.traced);
}

} // namespace

int main()
{
    Arguments arguments;
    for (const Row &row : rows) {
        check_row(row, arguments);
    }
    for (const ClockCase &row : clock_cases) {
        check_clock(row);
    }
    return failures == 0 ? 0 : 1;
}
