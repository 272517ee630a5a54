// The table of events (event_table.h) and record(), which fills it: with a
// clock read and a few stores an event, and no lock, allocation or output.
#include "event_table.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <ctime>

std::int64_t now()
{
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    constexpr std::int64_t nanoseconds_per_second = 1000000000;
    return time.tv_sec * nanoseconds_per_second + time.tv_nsec;
}

namespace tracer {

__thread std::int32_t kernel_thread_id = 0;

namespace {

// Little endian, three 64-bit and three 32-bit integers and the event's
// number, 40 bytes in all.
constexpr std::size_t record_size = 40;
static_assert(sizeof(Record) == record_size, "the trace's records are 40 bytes");

// Each thread takes slots a chunk at a time, so that threads seldom touch the
// same counter; a chunk's unused slots stay empty (time 0) and are skipped.
constexpr std::size_t chunk = 64;
std::array<Record, capacity> records;
std::atomic<std::size_t> taken{0};
thread_local std::size_t next_slot = 0;
thread_local std::size_t chunk_end = 0;
// The slots that a fork's child holds from its parent, below this: a chunk
// among them is cleared as it is taken, so that only the chunks used are.
std::size_t stale_end = 0;

// The events a full table leaves out, each thread counting its own in a
// cache line of its own, so that threads never contend for a counter; the
// threads beyond the counters share the last one. The time of the first
// event left out is kept once.
constexpr std::size_t cache_line = 64;
struct alignas(cache_line) Count {
    std::atomic<std::int64_t> value{0};
};
constexpr std::size_t counters = 256;
std::array<Count, counters + 1> left_out;
std::atomic<std::size_t> counters_taken{0};
thread_local Count *own_left_out = nullptr;
std::atomic<std::int64_t> first_left_out_time{0};

void leave_out(std::int64_t time)
{
    if (own_left_out == nullptr) {
        own_left_out =
            &left_out[std::min(counters_taken.fetch_add(1, std::memory_order_relaxed), counters)];
        std::int64_t none = 0;
        first_left_out_time.compare_exchange_strong(none, time, std::memory_order_relaxed);
    }
    own_left_out->value.fetch_add(1, std::memory_order_relaxed);
}

// How many slots of each chunk of the table were filled: a thread fills its
// chunk from the start, and a slot whose time is 0 was never filled.
std::array<std::uint8_t, capacity / chunk> filled;
std::size_t counted_end = 0;

} // namespace

std::int64_t total_left_out()
{
    std::int64_t total = left_out.back().value.load();
    const std::size_t taken_counters = std::min(counters_taken.load(), counters);
    for (std::size_t index = 0; index < taken_counters; ++index) {
        total += left_out[index].value.load();
    }
    return total;
}

std::int64_t first_left_out() { return first_left_out_time.load(); }

std::size_t count_kept()
{
    counted_end = std::min(taken.load(), capacity);
    std::size_t count = 0;
    for (std::size_t start = 0; start < counted_end; start += chunk) {
        std::size_t used = 0;
        while (used < std::min(chunk, counted_end - start) && records[start + used].time != 0) {
            ++used;
        }
        filled[start / chunk] = static_cast<std::uint8_t>(used);
        count += used;
    }
    return count;
}

const Record *kept_in_chunk(std::size_t index, std::size_t &used)
{
    if (index * chunk >= counted_end) {
        return nullptr;
    }
    used = filled[index];
    return &records[index * chunk];
}

void write_left_out(Output &output)
{
    if (const std::int64_t left = total_left_out(); left > 0) {
        output.line("left_out", left, first_left_out());
    }
}

void write_table(Output &output)
{
    output.line("table", count_kept(), sizeof(Record));
    for (std::size_t start = 0; start < counted_end; start += chunk) {
        output.bytes(&records[start], sizeof(Record) * filled[start / chunk]);
    }
}

void forget_events()
{
    stale_end = std::max(stale_end, std::min(taken.load(), capacity));
    taken.store(0);
    next_slot = 0;
    chunk_end = 0;
    const std::size_t taken_counters = std::min(counters_taken.load(), counters);
    for (std::size_t index = 0; index < taken_counters; ++index) {
        left_out[index].value.store(0);
    }
    left_out.back().value.store(0);
    counters_taken.store(0);
    own_left_out = nullptr;
    first_left_out_time.store(0);
    kernel_thread_id = 0;
}

} // namespace tracer

void record(Event event, std::int64_t region, int thread, std::int64_t link, std::int64_t site,
            std::int64_t time)
{
    using namespace tracer;
    if (next_slot == chunk_end && chunk_end != capacity) {
        next_slot = std::min(taken.fetch_add(chunk, std::memory_order_relaxed), capacity);
        chunk_end = std::min(next_slot + chunk, capacity);
        if (next_slot < stale_end) {
            std::fill_n(&records[next_slot], chunk_end - next_slot, Record{});
        }
    }
    if (next_slot == capacity) {
        leave_out(time);
        return;
    }
    Record &slot = records[next_slot++];
    slot.time = time;
    slot.region = region;
    slot.link = link;
    slot.kernel_thread = kernel_thread();
    slot.thread = thread;
    slot.site = static_cast<std::int32_t>(site);
    slot.event = event;
}
