// A stub of an MPI library for the tests of the tracer's MPI half
// (mpi_stub.cpp): every entry of mpi_entries.def, its Fortran names, and
// the profiling entries the interposers ask, each recording the call it
// was given. Built for one MPI's types, as the tracer's half is.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>

// One call as the stub got it: the function, and its arguments as words.
struct StubCall {
    const char *name;
    std::size_t count;
    std::array<std::uintptr_t, 16> words;
};

// Any argument as a word: a pointer's address, an integer's value.
template <typename Value> std::uintptr_t stub_word(Value value)
{
    if constexpr (std::is_pointer_v<Value>) {
        return reinterpret_cast<std::uintptr_t>(value);
    }
    else {
        return static_cast<std::uintptr_t>(static_cast<std::int64_t>(value));
    }
}

// A call of NAME: stub_call{NAME}(ARGUMENTS...).
struct stub_call {
    const char *name;
    template <typename... Values> StubCall operator()(Values... values) const
    {
        return {name, sizeof...(values), {stub_word(values)...}};
    }
};

// What the stub writes back: a status's source and tag, every int it is
// given a pointer to (a flag, an index, a count done), and the ranks of
// MPI_COMM_WORLD; any other communicator's rank r is world rank
// (r + 1) % stub_size.
constexpr int stub_source = 2;
constexpr int stub_tag = 7;
constexpr int stub_out = 1;
constexpr int stub_rank = 2;
constexpr int stub_size = 4;

// The calls of MPI's entries and of their Fortran names, and the last.
std::size_t stub_calls();
const StubCall &stub_last();

// The clock's round trips with rank 0 (mpi_clock.cpp): rank 0's clock
// reads stub_shift ns ahead of this process's; the duplicates made and
// freed, and the messages sent and received on a duplicate and elsewhere.
extern std::int64_t stub_shift;
struct StubTrips {
    std::size_t duplicates, freed, on_duplicate, elsewhere;
};
const StubTrips &stub_trips();
