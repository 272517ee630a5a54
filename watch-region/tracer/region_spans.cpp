// The slowest region's spans (region_spans.h).
#include "region_spans.h"

#include "event_table.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>

namespace tracer {

namespace {

constexpr auto relaxed = std::memory_order_relaxed;

// Room for some 2,500 spans of a kind: merged at a 2000th of the region so
// far, spans of one thread are at most 2001 apart, so that a merge leaves
// room for a fifth more at least. 80 KiB a buffer, written as it fills.
constexpr std::size_t max_spans = 2560;
constexpr std::size_t max_span_threads = 128;

struct Spans {
    std::int64_t region; // 0: none
    std::int64_t launch;
    std::int64_t join; // 0: none
    std::int64_t kernel_thread;
    int thread;
    std::array<std::size_t, 2> used; // waits, tasks
    std::array<std::array<Span, max_spans>, 2> kinds;
};
struct ThreadSpans {
    std::array<Spans, 2> buffers;
    std::size_t current;
};
std::array<ThreadSpans, max_span_threads> kept;
std::atomic<std::size_t> threads_taken{0};
thread_local ThreadSpans *own = nullptr;
thread_local bool beyond = false;
std::atomic<std::int64_t> slowest{0};

// The calling thread's buffer of REGION, or null.
Spans *spans_of(std::int64_t region)
{
    if (own == nullptr) {
        return nullptr;
    }
    Spans &spans = own->buffers[own->current];
    return spans.region == region && region != 0 ? &spans : nullptr;
}

void write_kind(Output &output, const Spans &spans, std::size_t kind)
{
    const char *name = kind == 0 ? "slowest_wait" : "slowest_task";
    for (std::size_t index = 0; index < spans.used[kind]; ++index) {
        const Span &held = spans.kinds[kind][index];
        output.line(name, held.start, spans.kernel_thread, held.end - held.start, spans.region, 0,
                    0);
    }
}

} // namespace

std::size_t merge_spans(Span *spans, std::size_t used, std::int64_t gap)
{
    std::size_t left = 0;
    for (std::size_t index = 0; index < used; ++index) {
        // NOLINTNEXTLINE(cppcoreguidelines-pro-bounds-pointer-arithmetic)
        Span merged = spans[index];
        // NOLINTNEXTLINE(cppcoreguidelines-pro-bounds-pointer-arithmetic)
        while (left > 0 && merged.start <= spans[left - 1].end + gap) {
            // NOLINTNEXTLINE(cppcoreguidelines-pro-bounds-pointer-arithmetic)
            merged.start = std::min(merged.start, spans[--left].start);
        }
        // NOLINTNEXTLINE(cppcoreguidelines-pro-bounds-pointer-arithmetic)
        spans[left++] = merged;
    }
    return left;
}

void spans_begin(std::int64_t region, std::int64_t launch, int thread)
{
    if (own == nullptr && !beyond) {
        const std::size_t index = threads_taken.fetch_add(1, relaxed);
        beyond = index >= max_span_threads;
        own = beyond ? nullptr : &kept[index];
    }
    if (own == nullptr) {
        return;
    }
    const std::int64_t held = own->buffers[own->current].region;
    if (held != 0 && held == slowest.load(relaxed)) {
        own->current ^= 1U;
    }
    Spans &spans = own->buffers[own->current];
    spans.region = region;
    spans.launch = launch;
    spans.join = 0;
    spans.kernel_thread = kernel_thread();
    spans.thread = thread;
    spans.used = {0, 0};
}

[[gnu::hot]] void keep_span(bool task, std::int64_t region, std::int64_t start, std::int64_t end)
{
    Spans *spans = spans_of(region);
    if (spans == nullptr) {
        return;
    }
    const std::size_t kind = task ? 1 : 0;
    std::size_t &used = spans->used[kind];
    if (used == max_spans) {
        // One nanosecond less, for the chart's rounding.
        used =
            merge_spans(spans->kinds[kind].data(), used, (end - spans->launch) / chart_columns - 1);
    }
    if (used < max_spans) {
        spans->kinds[kind][used++] = {start, end};
    }
}

// A runtime may tell of a thread's join once the thread has begun its next
// region: the join goes to whichever buffer holds REGION.
void keep_join(std::int64_t region, std::int64_t time)
{
    if (own == nullptr || region == 0) {
        return;
    }
    for (Spans &spans : own->buffers) {
        if (spans.region == region) {
            spans.join = time;
        }
    }
}

void slowest_spans_are(std::int64_t region) { slowest.store(region, relaxed); }

void write_spans(Output &output, std::int64_t region, std::int64_t until)
{
    const std::size_t used = std::min(threads_taken.load(), max_span_threads);
    for (std::size_t index = 0; index < used; ++index) {
        const ThreadSpans &thread = kept[index];
        const Spans *spans = &thread.buffers[thread.current];
        if (spans->region != region) {
            spans = &thread.buffers[thread.current ^ 1U];
        }
        if (spans->region != region || region == 0) {
            continue;
        }
        write_kind(output, *spans, 0);
        write_kind(output, *spans, 1);
        if (spans->join != 0 && spans->join <= until) {
            output.line("join", spans->join, spans->kernel_thread, spans->thread, region, 0, 0);
        }
    }
}

void forget_spans()
{
    const std::size_t used = std::min(threads_taken.load(), max_span_threads);
    for (std::size_t index = 0; index < used; ++index) {
        kept[index].buffers[0].region = kept[index].buffers[1].region = 0;
    }
    threads_taken.store(0);
    own = nullptr;
    beyond = false;
    slowest.store(0);
}

} // namespace tracer
