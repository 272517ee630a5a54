// Loops whose chunks are handed out at run time (loops.h): each thread's
// counts, kept by the thread alone while it takes a loop's chunks, and the
// call sites' records they are added to once a loop has no chunk left.
#include "loops.h"

#include "site_stats.h"
#include "trace_store.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstddef>
#include <string_view>
#include <tuple>
#include <utility>

namespace tracer {

namespace {

// A loop of a call site: found by its key (the site's and the loop's
// order, plus one: 0 is a free record), and claimed by the first thread that
// closes it, which writes what it was asked.
struct LoopRecord {
    std::atomic<int> key;
    Schedule schedule;
    Schedule resolved;
    std::int64_t chunk;
    std::int64_t resolved_chunk;
    std::atomic<int> threads;
    std::array<std::atomic<std::uint64_t>, loop_threads> chunks;
    std::array<std::atomic<std::uint64_t>, loop_threads> iterations;
};

std::array<LoopRecord, max_loops> records;
std::atomic<std::uint64_t> left_out{0};

// A thread's loops, one per level of regions it is in (0: none), and the
// one it takes chunks of, innermost.
constexpr int levels = 5;
thread_local std::array<LoopTaken, levels> taken{};
thread_local LoopTaken *current = nullptr;
// What "runtime" resolved to, for the loop the thread opened last.
thread_local std::array<std::pair<Schedule, std::int64_t>, levels> resolved_as{};

// The record of KEY, found or claimed (null: the table is full); CLAIMED
// says whether the caller claimed it, and writes what the loop was asked.
LoopRecord *record_of(int key, bool &claimed)
{
    const auto start = static_cast<std::size_t>(key) * 2654435761U % max_loops;
    for (std::size_t probe = 0; probe < max_loops; ++probe) {
        LoopRecord &kept = records[(start + probe) % max_loops];
        int found = kept.key.load(std::memory_order_acquire);
        claimed = found == 0 && kept.key.compare_exchange_strong(found, -key);
        if (claimed || found == key || found == -key) {
            return &kept;
        }
    }
    return nullptr;
}

} // namespace

const char *name_of(Schedule schedule)
{
    constexpr std::array<std::string_view, 6> names{"-",      "static",  "dynamic",
                                                    "guided", "runtime", "auto"};
    return names[static_cast<std::size_t>(schedule)].data();
}

Schedule schedule_of_kind(int kind)
{
    constexpr unsigned monotonic = 0x80000000U;
    constexpr std::array<Schedule, 5> kinds{Schedule::none, Schedule::fixed, Schedule::dynamic,
                                            Schedule::guided, Schedule::automatic};
    const unsigned index = static_cast<unsigned>(kind) & ~monotonic;
    return index < kinds.size() ? kinds[index] : Schedule::none;
}

LoopTaken *open_loop_now()
{
    // A loop left open by a body that ended without its last call (a
    // cancelled loop) is not the loop of the body that runs now.
    const Inside *inside = innermost();
    const std::int64_t body = inside != nullptr ? inside->started : 0;
    return current != nullptr && current->open && current->body == body ? current : nullptr;
}

LoopTaken &open_loop(int thread, Schedule schedule, std::int64_t chunk, bool upward,
                     std::uint64_t step, Schedule resolved, std::int64_t resolved_chunk)
{
    const Inside *inside = innermost();
    const int level = inside != nullptr ? std::clamp(inside->region->level, 1, levels - 1) : 0;
    LoopTaken &loop = taken[static_cast<std::size_t>(level)];
    const std::int64_t body = inside != nullptr ? inside->started : 0;
    loop.order = loop.body == body && loop.order >= 0 ? loop.order + 1 : 0;
    loop.body = body;
    loop.thread = thread;
    loop.open = true;
    loop.schedule = schedule;
    loop.chunk = chunk;
    loop.upward = upward;
    loop.step = step;
    loop.chunks = loop.iterations = 0;
    resolved_as[static_cast<std::size_t>(level)] = {resolved, resolved_chunk};
    current = &loop;
    return loop;
}

void close_loop(LoopTaken &loop)
{
    loop.open = false;
    const auto level = static_cast<std::size_t>(&loop - taken.data());
    current = nullptr;
    for (std::size_t outer = level; outer-- > 0;) {
        if (taken[outer].open) {
            current = &taken[outer];
            break;
        }
    }
    const Inside *inside = innermost();
    const int site = inside != nullptr ? inside->region->site : -1;
    if (site < 0 || loop.thread < 0 || loop.thread >= loop_threads) {
        return;
    }
    const int key = site * loops_per_body + std::min(loop.order, loops_per_body - 1) + 1;
    bool claimed = false;
    LoopRecord *kept = record_of(key, claimed);
    if (kept == nullptr) {
        left_out.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    if (claimed) {
        kept->schedule = loop.schedule;
        kept->chunk = loop.chunk;
        std::tie(kept->resolved, kept->resolved_chunk) = resolved_as[level];
        kept->key.store(key, std::memory_order_release);
    }
    constexpr auto relaxed = std::memory_order_relaxed;
    const auto thread = static_cast<std::size_t>(loop.thread);
    kept->chunks[thread].fetch_add(loop.chunks, relaxed);
    kept->iterations[thread].fetch_add(loop.iterations, relaxed);
    int threads = kept->threads.load(relaxed);
    while (threads <= loop.thread &&
           !kept->threads.compare_exchange_weak(threads, loop.thread + 1, relaxed)) {
    }
}

void write_loops(Output &output)
{
    for (const LoopRecord &kept : records) {
        const int key = kept.key.load(std::memory_order_acquire);
        if (key <= 0) {
            continue;
        }
        const int threads = kept.threads.load(std::memory_order_relaxed);
        output.add("loop ", (key - 1) / loops_per_body, ' ', (key - 1) % loops_per_body, ' ',
                   name_of(kept.schedule), ' ', kept.chunk, ' ', name_of(kept.resolved), ' ',
                   kept.resolved_chunk, ' ', threads);
        for (int thread = 0; thread < threads; ++thread) {
            const auto index = static_cast<std::size_t>(thread);
            output.add(' ', kept.chunks[index].load(std::memory_order_relaxed), ':',
                       kept.iterations[index].load(std::memory_order_relaxed));
        }
        output.add('\n');
    }
    if (const std::uint64_t count = left_out.load(std::memory_order_relaxed); count > 0) {
        output.line("loops_left_out", count);
    }
}

void forget_loops()
{
    for (LoopRecord &kept : records) {
        kept.key.store(0, std::memory_order_relaxed);
        kept.threads.store(0, std::memory_order_relaxed);
        for (std::size_t thread = 0; thread < loop_threads; ++thread) {
            kept.chunks[thread].store(0, std::memory_order_relaxed);
            kept.iterations[thread].store(0, std::memory_order_relaxed);
        }
    }
    left_out.store(0, std::memory_order_relaxed);
    taken = {};
    current = nullptr;
}

} // namespace tracer
