// The table of events (event_table.h) and record(), which fills it: with a
// clock read and a few stores an event, and no lock, allocation or output.
#include "event_table.h"

#include "helpers.h"
#include "spin_lock.h"
#include "table_memory.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <string_view>

namespace tracer {

__thread std::int32_t kernel_thread_id = 0;
Keep keep_mode;

namespace {

// Little endian, three 64-bit and three 32-bit integers and the event's
// number, 40 bytes in all.
constexpr std::size_t record_size = 40;
static_assert(sizeof(Record) == record_size, "the trace's records are 40 bytes");

// How many events the trace gives at most, and the table's part of them,
// set at load: zero until then.
std::size_t events_asked;
std::size_t limit;

// Each thread takes slots a chunk at a time, so that threads seldom touch the
// same counter; a chunk's unused slots stay empty (time 0) and are skipped.
// A chunk is 64 slots, or fewer when the table is to hold fewer than 4096
// events: 1/64 of them, so that a thread's chunk keeps few slots from the
// others.
constexpr std::size_t largest_chunk = 64;
constexpr std::size_t chunks = capacity / largest_chunk;
std::size_t chunk;
std::atomic<std::size_t> taken{0};
thread_local std::size_t next_slot = 0;
thread_local std::size_t chunk_end = 0;
// The slots that a fork's child holds from its parent, below this: a chunk
// among them is cleared as it is taken, so that only the chunks used are.
std::size_t stale_end = 0;

// The events a full table leaves out, each thread counting its own in a
// cache line of its own, so that threads never contend for a counter; the
// threads beyond the counters share the last one. With slowest, the same
// line counts the thread's events of regions. The time of the first event
// left out is kept once.
constexpr std::size_t cache_line = 64;
struct alignas(cache_line) Count {
    std::atomic<std::int64_t> value{0};
    std::atomic<std::int64_t> region_events{0};
};
constexpr std::size_t counters = 256;
std::array<Count, counters + 1> left_out;
std::atomic<std::size_t> counters_taken{0};
thread_local Count *own_left_out = nullptr;
std::atomic<std::int64_t> first_left_out_time{0};
// The events that count_kept() found no room for.
std::int64_t cut_count = 0;
std::int64_t cut_first = 0;

Count &own_count()
{
    if (own_left_out == nullptr) {
        own_left_out =
            &left_out[std::min(counters_taken.fetch_add(1, std::memory_order_relaxed), counters)];
    }
    return *own_left_out;
}

// TIME, if it is the first event left out so far.
void note_left_out_at(std::int64_t time) { atomic_earliest(first_left_out_time, time); }

// A thread's own counter is written by it alone: a load and a store, where
// the counter that threads beyond the others share takes an atomic add.
void leave_out(std::int64_t time)
{
    Count &count = own_count();
    note_left_out_at(time);
    if (&count == &left_out.back()) {
        count.value.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    count.value.store(count.value.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}

// How many slots of each chunk of the table were filled: a thread fills its
// chunk from the start, and a slot whose time is 0 was never filled.
std::array<std::uint8_t, chunks> filled;
std::size_t counted_end = 0;

// With last, the table is a ring of chunks, taken in turn: the chunk a
// thread takes with ticket T (from 1) is T modulo their number. Each chunk
// has a word of its own that says whose it is and how many of its slots are
// filled; whoever changes the chunk changes the word first:
// - its thread sets "writing" (only while the word is still its ticket's),
//   fills the next slot, and adds the slot to the word as it clears
//   "writing": a chunk taken over meanwhile fails the first step, and the
//   thread takes another chunk;
// - a thread that takes the chunk waits for its last owner's one write to
//   end, and puts its own ticket and no slots in the word;
// - the trace's writer sets "frozen", and writes the slots the word gives:
//   those below them are never written again, and the chunk is never taken.
constexpr std::uint64_t writing = 1;
constexpr std::uint64_t frozen = 2;
constexpr int filled_shift = 2;
constexpr std::uint64_t one_slot = std::uint64_t{1} << filled_shift;
constexpr int ticket_shift = 9; // 7 bits of slots: 0 to 64
// The chunk's first time, which its thread sets with its first slot, and
// which a thread that takes the chunk reads before its word: the time of
// the first event the chunk leaves out.
struct alignas(cache_line) RingChunk {
    std::atomic<std::uint64_t> word{0};
    std::atomic<std::int64_t> first_time{0};
};
std::array<RingChunk, chunks> ring;
std::size_t ring_chunks;
std::atomic<std::uint64_t> tickets{0};
thread_local std::uint64_t own_ticket = 0;

constexpr std::uint64_t ticket_of(std::uint64_t word) { return word >> ticket_shift; }
constexpr std::size_t slots_of(std::uint64_t word)
{
    constexpr std::uint64_t slot_bits = 0x7f;
    return static_cast<std::size_t>((word >> filled_shift) & slot_bits);
}

// Takes the ring's next chunk: false when the table has been written.
bool take_ring_chunk()
{
    for (;;) {
        const std::uint64_t ticket = tickets.fetch_add(1, std::memory_order_relaxed) + 1;
        const std::size_t index = ticket % ring_chunks;
        std::atomic<std::uint64_t> &word = ring[index].word;
        std::uint64_t held = word.load(std::memory_order_acquire);
        while ((held & frozen) == 0 && ticket_of(held) < ticket) {
            if ((held & writing) != 0) {
                yield_until([&] {
                    held = word.load(std::memory_order_acquire);
                    return (held & writing) == 0;
                });
            }
            else if (const std::int64_t first =
                         ring[index].first_time.load(std::memory_order_relaxed);
                     word.compare_exchange_weak(held, ticket << ticket_shift,
                                                std::memory_order_acq_rel,
                                                std::memory_order_acquire)) {
                own_ticket = ticket;
                if (const std::size_t lost = slots_of(held); lost > 0) {
                    own_count().value.fetch_add(static_cast<std::int64_t>(lost),
                                                std::memory_order_relaxed);
                    note_left_out_at(first);
                }
                return true;
            }
        }
        if ((held & frozen) != 0) {
            return false;
        }
        // A later ticket has the chunk already: the ring went round meanwhile.
    }
}

enum class Wrote : std::uint8_t { kept, left_out, no_chunk };

// Writes EVENT in the calling thread's chunk, if it is still the thread's
// and has room.
Wrote write_in_own_chunk(const Record &event)
{
    if (own_ticket == 0) {
        return Wrote::no_chunk;
    }
    const std::size_t index = own_ticket % ring_chunks;
    std::atomic<std::uint64_t> &word = ring[index].word;
    std::uint64_t held = word.load(std::memory_order_relaxed);
    while ((held & frozen) == 0 && ticket_of(held) == own_ticket && slots_of(held) < chunk) {
        if (word.compare_exchange_weak(held, held | writing, std::memory_order_acquire,
                                       std::memory_order_relaxed)) {
            records[index * chunk + slots_of(held)] = event;
            if (slots_of(held) == 0) {
                ring[index].first_time.store(event.time, std::memory_order_relaxed);
            }
            // Frozen meanwhile: the trace was written without it.
            const std::uint64_t before =
                word.fetch_add(one_slot - writing, std::memory_order_release);
            return (before & frozen) != 0 ? Wrote::left_out : Wrote::kept;
        }
    }
    return (held & frozen) != 0 ? Wrote::left_out : Wrote::no_chunk;
}

void record_in_ring(const Record &event)
{
    for (;;) {
        const Wrote wrote = write_in_own_chunk(event);
        if (wrote == Wrote::kept) {
            return;
        }
        if (wrote == Wrote::left_out || !take_ring_chunk()) {
            break;
        }
    }
    leave_out(event.time);
}

// Whether the report reads EVENT from the table.
bool for_report(Event event)
{
    return event == Event::load || event == Event::create_call || event == Event::create_return ||
           event == Event::first_instruction;
}

// With last: freezes the ring, and counts each chunk's slots filled.
void freeze_ring()
{
    counted_end = ring_chunks * chunk;
    for (std::size_t index = 0; index < ring_chunks; ++index) {
        const std::uint64_t held = ring[index].word.fetch_or(frozen, std::memory_order_acq_rel);
        filled[index] = static_cast<std::uint8_t>(slots_of(held));
    }
}

// With first or slowest: counts the slots filled.
void count_filled(std::int64_t until)
{
    counted_end = std::min(taken.load(), limit);
    for (std::size_t start = 0; start < counted_end; start += chunk) {
        std::size_t used = 0;
        while (used < std::min(chunk, counted_end - start) && records[start + used].time != 0 &&
               records[start + used].time <= until) {
            ++used;
        }
        filled[start / chunk] = static_cast<std::uint8_t>(used);
    }
}

} // namespace

Keeping keeping_from(const char *mode, const char *events)
{
    Keeping asked{Keep::first, capacity};
    const std::string_view name = mode != nullptr ? mode : "";
    asked.mode = name == "last"      ? Keep::last
                 : name == "slowest" ? Keep::slowest
                 : name == "report"  ? Keep::report
                                     : Keep::first;
    const std::string_view count = events != nullptr ? events : "";
    std::size_t value = 0;
    const auto [end, error] = std::from_chars(count.data(), count.data() + count.size(), value);
    if (error == std::errc{} && end == count.data() + count.size() && value >= 1 &&
        value <= capacity) {
        asked.events = value;
    }
    return asked;
}

void keep_events(Keeping asked)
{
    keep_mode = asked.mode;
    events_asked = std::clamp<std::size_t>(asked.events, 1, capacity);
    // The exit, which the trace always gives, is one of them.
    limit = std::max<std::size_t>(events_asked - 1, 1);
    chunk = std::clamp<std::size_t>(limit / largest_chunk, 1, largest_chunk);
    ring_chunks = limit / chunk;
}

Keeping keeping() { return {keep_mode, events_asked}; }

void write_keeping(Output &output)
{
    constexpr std::array<const char *, 4> names{"first", "last", "slowest", "report"};
    output.line("keep", names[static_cast<std::size_t>(keep_mode)], events_asked);
}

bool is_region_event(Event event)
{
    return event == Event::launch || event == Event::launch_return || event == Event::body_start ||
           event == Event::body_end || event == Event::join;
}

std::int64_t region_events()
{
    std::int64_t total = 0;
    const std::size_t taken_counters = std::min(counters_taken.load(), counters + 1);
    for (std::size_t index = 0; index < taken_counters; ++index) {
        total += left_out[index].region_events.load();
    }
    return total;
}

std::int64_t total_left_out()
{
    std::int64_t total = left_out.back().value.load() + cut_count;
    const std::size_t taken_counters = std::min(counters_taken.load(), counters);
    for (std::size_t index = 0; index < taken_counters; ++index) {
        total += left_out[index].value.load();
    }
    return total;
}

std::int64_t first_left_out()
{
    const std::int64_t first = first_left_out_time.load();
    return first == 0 || (cut_first != 0 && cut_first < first) ? cut_first : first;
}

void count_left_out(std::int64_t count, std::int64_t time)
{
    own_count().value.fetch_add(count, std::memory_order_relaxed);
    note_left_out_at(time);
}

std::size_t count_kept(std::size_t room, std::int64_t until)
{
    if (keep_mode == Keep::last) {
        freeze_ring();
    }
    else {
        count_filled(until);
    }
    cut_count = 0;
    cut_first = 0;
    std::size_t count = 0;
    for (std::size_t start = 0; start < counted_end; start += chunk) {
        std::uint8_t &used = filled[start / chunk];
        const std::size_t kept = std::min<std::size_t>(used, room - count);
        for (std::size_t slot = kept; slot < used; ++slot) {
            const std::int64_t time = records[start + slot].time;
            cut_first = cut_first == 0 ? time : std::min(cut_first, time);
        }
        cut_count += static_cast<std::int64_t>(used - kept);
        used = static_cast<std::uint8_t>(kept);
        count += kept;
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
    std::size_t count = 0;
    for (std::size_t start = 0; start < counted_end; start += chunk) {
        count += filled[start / chunk];
    }
    output.line("table", count, sizeof(Record));
    // Full chunks in a row are one stretch of memory, written at once.
    std::size_t from = 0;
    for (std::size_t start = 0; start < counted_end; start += chunk) {
        const std::size_t used = filled[start / chunk];
        if (used < chunk || start + chunk >= counted_end) {
            output.bytes(&records[from], sizeof(Record) * (start - from + used));
            from = start + chunk;
        }
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
        left_out[index].region_events.store(0);
    }
    left_out.back().value.store(0);
    left_out.back().region_events.store(0);
    counters_taken.store(0);
    own_left_out = nullptr;
    first_left_out_time.store(0);
    cut_count = cut_first = 0;
    kernel_thread_id = 0;
    // A ring's words, which a thread that fork left behind may have left
    // writing; the slots that they give are the only ones read.
    const std::size_t ring_used = std::min<std::uint64_t>(tickets.load(), chunks);
    for (std::size_t index = 0; index < ring_used; ++index) {
        ring[index].word.store(0);
    }
    tickets.store(0);
    own_ticket = 0;
}

} // namespace tracer

[[gnu::hot]] void record(Event event, std::int64_t region, int thread, std::int64_t link,
                         std::int64_t site, std::int64_t time)
{
    using namespace tracer;
    if (keep_mode != Keep::first) {
        if (keep_mode == Keep::report && !for_report(event)) {
            return;
        }
        if (keep_mode == Keep::last) {
            record_in_ring({time, region, link, kernel_thread(), thread,
                            static_cast<std::int32_t>(site), event});
            return;
        }
        if (is_region_event(event)) {
            own_count().region_events.fetch_add(1, std::memory_order_relaxed);
            return;
        }
    }
    if (next_slot == chunk_end && chunk_end != limit) {
        next_slot = std::min(taken.fetch_add(chunk, std::memory_order_relaxed), limit);
        chunk_end = std::min(next_slot + chunk, limit);
        if (next_slot < stale_end) {
            std::fill_n(&records[next_slot], chunk_end - next_slot, Record{});
        }
        take_pages(next_slot, chunk_end);
    }
    if (next_slot == limit) {
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
