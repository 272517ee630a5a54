// The slowest region's waits, task bodies and joins, thread by thread, kept
// apart from the table of events, so that the report draws them whatever
// the table keeps (and when it keeps none of them). Each thread keeps those
// of the region whose body it runs outside any other, in a buffer of its own,
// with no lock or atomic operation. A full buffer merges its spans as the
// report's chart does, those less than a 2000th of the region so far apart
// as one: the chart, which merges what is less than a 2000th of the whole
// region apart, would have merged them too. Each thread has two buffers: as
// it starts its next region, a buffer that holds the slowest region so far
// is kept and the other written over, with no copy.
#pragma once

#include "output.h"

#include <cstdint>

namespace tracer {

// The report's chart draws a region's spans less than this part of it apart
// as one.
constexpr std::int64_t chart_columns = 2000;

// The calling thread, THREAD of REGION's team, launched at LAUNCH, starts
// the region's body outside any other region's.
void spans_begin(std::int64_t region, std::int64_t launch, int thread);
// A wait, or a task's body, of REGION from START to END on the calling
// thread; and the thread's join of REGION at TIME.
void keep_span(bool task, std::int64_t region, std::int64_t start, std::int64_t end);
void keep_join(std::int64_t region, std::int64_t time);
// REGION is now the slowest.
void slowest_spans_are(std::int64_t region);
// Lines "slowest_wait START KERNEL_THREAD LENGTH REGION 0 0" and
// "slowest_task ..." for
// REGION's spans, and "join TIME KERNEL_THREAD THREAD REGION 0 0", on each
// thread that kept them, the joins up to UNTIL (as the table's events).
void write_spans(Output &output, std::int64_t region, std::int64_t until);
// Forgets every thread's spans, as a child that fork made must.
void forget_spans();

// Merges SPANS[0, USED) (each a start and an end, in the order of their
// ends) less than GAP apart, or nested, into one; returns how many are
// left, at the start of SPANS.
struct Span {
    std::int64_t start;
    std::int64_t end;
};
std::size_t merge_spans(Span *spans, std::size_t used, std::int64_t gap);

} // namespace tracer
