// The tracer's record of one run: a fixed table of events filled while the
// program runs, with one clock read and one store per event, and written out
// once, when the process ends. Nothing here locks, allocates or prints while
// a region runs.
#pragma once

#include <cstdint>

enum class Event : std::uint8_t {
    load,              // the tracer was loaded, before main
    launch,            // the launching thread enters the region
    launch_return,     // ... and leaves it, after the join
    body_start,        // a team thread starts the region body
    body_end,          // ... and ends it
    join,              // a team thread leaves the region's closing barrier (libomp)
    task_end,          // a team thread's implicit task ends (libomp)
    create_call,       // a thread calls pthread_create
    create_return,     // ... which returns
    first_instruction, // a created thread runs its first instruction
    exit,              // the process ends
};

// Records EVENT now, on the calling thread, for team thread THREAD (or -1);
// LINK ties a creation to the created thread's first instruction.
void record(Event event, int thread = -1, long link = -1);
