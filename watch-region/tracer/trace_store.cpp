// The tracer's record of one run (trace_store.h), and its writing at exit to
// the file that WATCH_REGION_TRACE names: the version line, a line naming the
// process, the events kept, the slowest region's moments, one line per call
// site with its statistics, and what was counted but not kept.
#include "trace_store.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <string_view>
#include <sys/auxv.h>
#include <unistd.h>

std::int64_t now()
{
    timespec time{};
    clock_gettime(CLOCK_MONOTONIC, &time);
    constexpr std::int64_t nanoseconds_per_second = 1000000000;
    return time.tv_sec * nanoseconds_per_second + time.tv_nsec;
}

namespace {

// A number the trace gives in hexadecimal, as printf's %#x does.
struct Hex {
    std::uint64_t value;
};

// The trace, gathered in a buffer of the tracer's own and written with
// write(2): stdio would allocate a buffer at exit, and printf costs a
// fraction of a microsecond a number where a loop of divisions costs a few
// nanoseconds.
class Output {
  public:
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-member-init): filled as used
    explicit Output(int file) : file(file) {}
    Output(const Output &) = delete;
    Output &operator=(const Output &) = delete;
    Output(Output &&) = delete;
    Output &operator=(Output &&) = delete;
    ~Output() { flush(); }

    // Appends each value: text as it is, an integer in decimal.
    template <typename... Values> Output &add(Values... values)
    {
        (add_one(values), ...);
        return *this;
    }

    // A line of NAME and VALUES, separated by spaces.
    template <typename... Values> void line(const char *name, Values... values)
    {
        add(name);
        ((add(' '), add(values)), ...);
        add('\n');
    }

    // Appends SIZE bytes of memory as they are.
    void bytes(const void *data, std::size_t size)
    {
        if (buffer.size() - used < size) {
            flush();
        }
        if (size > buffer.size()) {
            write_all(data, size);
            return;
        }
        std::memcpy(&buffer[used], data, size);
        used += size;
    }

  private:
    static constexpr std::size_t buffer_size = 4096;
    static constexpr unsigned decimal = 10;
    static constexpr unsigned hexadecimal = 16;
    std::array<char, buffer_size> buffer;
    int file;
    std::size_t used = 0;

    void add_one(std::string_view text) { bytes(text.data(), text.size()); }
    void add_one(const char *text) { add_one(std::string_view(text)); }
    void add_one(char character) { bytes(&character, 1); }

    template <typename Integer, typename = std::enable_if_t<std::is_integral_v<Integer>>>
    void add_one(Integer value)
    {
        auto magnitude = static_cast<std::uint64_t>(value);
        if constexpr (std::is_signed_v<Integer>) {
            if (value < 0) {
                add_one('-');
                // As unsigned, which holds even the most negative value's.
                magnitude = ~magnitude + 1;
            }
        }
        add_number(magnitude, decimal);
    }

    void add_one(Hex number)
    {
        if (number.value != 0) {
            add_one("0x");
        }
        add_number(number.value, hexadecimal);
    }

    void add_number(std::uint64_t value, unsigned base)
    {
        constexpr std::string_view digit_names = "0123456789abcdef";
        std::array<char, std::numeric_limits<std::uint64_t>::digits10 + 1> digits{};
        std::size_t first = digits.size();
        do {
            digits[--first] = digit_names[value % base];
            value /= base;
        } while (value != 0);
        bytes(&digits[first], digits.size() - first);
    }

    void flush()
    {
        write_all(buffer.data(), used);
        used = 0;
    }

    void write_all(const void *data, std::size_t size) const
    {
        std::string_view left(static_cast<const char *>(data), size);
        while (!left.empty()) {
            const ssize_t written = ::write(file, left.data(), left.size());
            if (written < 0 && errno == EINTR) {
                continue;
            }
            if (written <= 0) {
                return;
            }
            left.remove_prefix(static_cast<std::size_t>(written));
        }
    }
};

// An event as the table holds it, and as the trace's table gives it: little
// endian, three 64-bit and three 32-bit integers and the event's number, 40
// bytes in all. A slot whose time is 0 is empty.
struct Record {
    std::int64_t nanoseconds;
    std::int64_t region;
    std::int64_t link;
    std::int32_t kernel_thread;
    std::int32_t thread;
    std::int32_t site;
    Event event;
};
constexpr std::size_t record_size = 40;
static_assert(sizeof(Record) == record_size, "the trace's records are 40 bytes");

// 2^18 events: some 40,000 regions of a team of two, in 10 MiB. Each thread
// takes slots a chunk at a time, so that threads seldom touch the same
// counter; a chunk's unused slots stay empty (time 0) and are skipped.
constexpr std::size_t capacity = 1 << 18;
constexpr std::size_t chunk = 64;
std::array<Record, capacity> records;
std::atomic<std::size_t> taken{0};
thread_local std::size_t next_slot = 0;
thread_local std::size_t chunk_end = 0;

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
std::atomic<std::int64_t> first_left_out{0};

std::int64_t total_left_out()
{
    std::int64_t total = left_out.back().value.load();
    const std::size_t taken_counters = std::min(counters_taken.load(), counters);
    for (std::size_t index = 0; index < taken_counters; ++index) {
        total += left_out[index].value.load();
    }
    return total;
}

void leave_out(std::int64_t time)
{
    if (own_left_out == nullptr) {
        own_left_out =
            &left_out[std::min(counters_taken.fetch_add(1, std::memory_order_relaxed), counters)];
        std::int64_t none = 0;
        first_left_out.compare_exchange_strong(none, time, std::memory_order_relaxed);
    }
    own_left_out->value.fetch_add(1, std::memory_order_relaxed);
}

// The line that names the events, in the order of their numbers, from the
// same list as the enum: the list read as an X-macro makes one string.
// NOLINTNEXTLINE(cppcoreguidelines-macro-usage)
#define EVENT(name) " " #name
constexpr std::string_view events_line = "events"
#include "events.def"
                                         "\n";
#undef EVENT

// The phases of every launch from one call site: for each, the total, the
// largest, and a histogram for the median, its buckets 1/16 of a power of
// two wide (a median read from it is within 3%). The four phases' counts of
// a bucket sit side by side: the phases of a site's launches are of a few
// magnitudes, so that they touch a page or two of the histogram, not one
// page each.
enum class Phase : std::uint8_t { fork, work, imbalance, join };
constexpr std::size_t phase_count = 4;
constexpr std::array<const char *, phase_count> phase_names{"fork", "work", "imbalance", "join"};
constexpr int sub_buckets = 16;
constexpr int buckets = 48 * sub_buckets;

class Phases {
  public:
    void add(Phase phase, std::int64_t nanoseconds)
    {
        const auto value = static_cast<std::uint64_t>(std::max<std::int64_t>(nanoseconds, 0));
        const auto index = static_cast<std::size_t>(phase);
        total[index] += value;
        largest[index] = std::max(largest[index], value);
        ++histogram[static_cast<std::size_t>(bucket(value))][index];
    }

    // " NAME TOTAL LARGEST MEDIAN" for each phase, in nanoseconds.
    void write(Output &output, std::uint64_t launches) const
    {
        for (std::size_t index = 0; index < phase_count; ++index) {
            output.add(' ', phase_names[index], ' ', total[index], ' ', largest[index], ' ',
                       median(histogram, index, launches));
        }
    }

  private:
    std::array<std::uint64_t, phase_count> total{};
    std::array<std::uint64_t, phase_count> largest{};
    using Histogram = std::array<std::array<std::uint32_t, phase_count>, buckets>;
    Histogram histogram{};

    static int bucket(std::uint64_t value)
    {
        if (value < sub_buckets) {
            return static_cast<int>(value);
        }
        const int power = 63 - __builtin_clzll(value);
        const auto fraction = static_cast<int>((value >> (power - 4)) & (sub_buckets - 1));
        return std::min(buckets - 1, (power - 3) * sub_buckets + fraction);
    }

    // The middle of the bucket that holds the median launch, in whole
    // nanoseconds (a bucket one nanosecond wide holds one value).
    static std::uint64_t median(const Histogram &histogram, std::size_t phase,
                                std::uint64_t launches)
    {
        std::uint64_t seen = 0;
        for (int index = 0; index < buckets; ++index) {
            seen += histogram[static_cast<std::size_t>(index)][phase];
            if (2 * seen >= launches) {
                if (index < sub_buckets) {
                    return static_cast<std::uint64_t>(index);
                }
                const int power = index / sub_buckets + 3;
                const std::uint64_t width = 1ULL << (power - 4);
                return static_cast<std::uint64_t>(sub_buckets + index % sub_buckets) * width +
                       width / 2;
            }
        }
        return 0;
    }
};

constexpr int team_sizes_kept = 8;

struct Site {
    std::atomic_flag busy = ATOMIC_FLAG_INIT;
    std::uint64_t launches = 0;
    std::array<std::array<std::uint64_t, 2>, team_sizes_kept> teams{}; // size, launches
    std::uint64_t other_teams = 0;
    Phases phases;
};

void reset(Site &site)
{
    site.busy.clear();
    site.launches = 0;
    site.teams = {};
    site.other_teams = 0;
    site.phases = Phases{};
}

// Call sites by the launch's return address; one slot more for the sites
// beyond the table, reported together.
constexpr int max_sites = 512;
std::array<Site, max_sites + 1> sites;
// Their return addresses, apart from the rest: a probe reads them, and a
// page first read is mapped to the zero page and faults again when written;
// this way that happens to one page, not to every site's.
std::array<std::atomic<std::uintptr_t>, max_sites + 1> site_addresses{};
// The sites in use, in the order first launched from: only their pages of
// the table are ever touched.
std::array<std::atomic<int>, max_sites + 1> used_sites{};
std::atomic<int> sites_used{0};

void mark_used(int index)
{
    used_sites[static_cast<std::size_t>(sites_used.fetch_add(1))].store(index);
}

int site_of(const void *call_site)
{
    const auto address = reinterpret_cast<std::uintptr_t>(call_site);
    for (int probe = 0; probe < max_sites; ++probe) {
        const auto index = static_cast<std::size_t>((address / 16 + probe) % max_sites);
        std::uintptr_t held = site_addresses[index].load(std::memory_order_acquire);
        if (held == 0 && site_addresses[index].compare_exchange_strong(held, address)) {
            mark_used(static_cast<int>(index));
            return static_cast<int>(index);
        }
        if (held == address) {
            return static_cast<int>(index);
        }
    }
    std::uintptr_t none = 0;
    if (site_addresses.back().compare_exchange_strong(none, 1)) {
        mark_used(max_sites);
    }
    return max_sites;
}

std::atomic<std::int64_t> regions_launched{0};
std::atomic<std::int64_t> time_in_regions{0};
std::atomic<long> threads_created{0};

// The slowest region so far, launch to return, as it was at its return.
struct Slowest {
    std::array<ThreadMoments, detailed_threads> threads{};
    std::int64_t duration = 0; // none yet
    std::int64_t id = 0, parent = 0, launch = 0, end = 0, kernel_thread = 0;
    int level = 0, site = 0, team = 0;
    std::atomic_flag busy = ATOMIC_FLAG_INIT;
} slowest;

// The region each thread is in, innermost last, and when its body started.
constexpr int max_depth = 64;
thread_local std::array<Region *, max_depth> inside{};
thread_local std::array<std::int64_t, max_depth> started{};
thread_local int depth = 0;
thread_local const std::int32_t kernel_thread = gettid();

void atomic_max(std::atomic<std::int64_t> &target, std::int64_t value)
{
    std::int64_t held = target.load(std::memory_order_relaxed);
    while (held < value && !target.compare_exchange_weak(held, value)) {
    }
}

void atomic_min(std::atomic<std::int64_t> &target, std::int64_t value)
{
    std::int64_t held = target.load(std::memory_order_relaxed);
    while (held > value && !target.compare_exchange_weak(held, value)) {
    }
}

void lock(std::atomic_flag &flag)
{
    while (flag.test_and_set(std::memory_order_acquire)) {
    }
}

void unlock(std::atomic_flag &flag) { flag.clear(std::memory_order_release); }

void write_slowest(Output &output)
{
    if (slowest.duration == 0) {
        return;
    }
    output.add("slowest\n");
    output.line("launch", slowest.launch, slowest.kernel_thread, slowest.level, slowest.id,
                slowest.parent, slowest.site);
    const int team = std::min(slowest.team, detailed_threads);
    for (int thread = 0; thread < team; ++thread) {
        const ThreadMoments &moments = slowest.threads[static_cast<std::size_t>(thread)];
        if (moments.kernel_thread == 0) {
            continue;
        }
        output.line("body_start", moments.body_start, moments.kernel_thread, thread, slowest.id, 0,
                    0);
        output.line("body_end", moments.body_end, moments.kernel_thread, thread, slowest.id, 0, 0);
    }
    output.line("launch_return", slowest.end, slowest.kernel_thread, -1, slowest.id, 0, 0);
}

// A site line: index, return address, the object that holds it and its load
// address, launches, team sizes, each phase's total, largest and median in
// nanoseconds; the object's path last, since it may hold spaces.
// The object that holds ADDRESS: where it is loaded, and its path; the
// program's own is named by PROGRAM, as the loader knows the program only by
// the name it was called by. _dl_find_object (glibc 2.35) takes no lock and
// searches no symbols, where dladdr does both.
struct Object {
    std::uintptr_t base;
    const char *path;
};

Object object_of(std::uintptr_t address, const char *program)
{
    dl_find_object found{};
    if (address <= 1 || _dl_find_object(reinterpret_cast<void *>(address), &found) != 0) {
        return {0, "?"};
    }
    const char *name = found.dlfo_link_map->l_name;
    return {reinterpret_cast<std::uintptr_t>(found.dlfo_map_start),
            name == nullptr || *name == '\0' ? program : name};
}

void write_sites(Output &output, const char *program)
{
    const int count = std::min(sites_used.load(), max_sites + 1);
    for (int used = 0; used < count; ++used) {
        const int index = used_sites[static_cast<std::size_t>(used)].load();
        const Site &site = sites[static_cast<std::size_t>(index)];
        if (site.launches == 0) {
            continue;
        }
        const std::uintptr_t address = site_addresses[static_cast<std::size_t>(index)].load();
        const Object object = object_of(address, program);
        output.add("site ", index, ' ', Hex{address}, ' ', Hex{object.base}, ' ', site.launches,
                   " teams");
        for (const auto &team : site.teams) {
            if (team[1] != 0) {
                output.add(' ', team[0], ':', team[1]);
            }
        }
        if (site.other_teams != 0) {
            output.add(" other:", site.other_teams);
        }
        site.phases.write(output, site.launches);
        output.add(" object ", object.path, '\n');
    }
}

// How many slots of each chunk of the table were filled: a thread fills its
// chunk from the start, and a slot whose time is 0 was never filled.
// Counted once, before the table's line gives the count, so that an event
// recorded meanwhile by a thread still running changes nothing.
std::array<std::uint8_t, capacity / chunk> filled;

std::size_t count_filled(std::size_t end)
{
    std::size_t count = 0;
    for (std::size_t start = 0; start < end; start += chunk) {
        std::size_t used = 0;
        while (used < std::min(chunk, end - start) && records[start + used].nanoseconds != 0) {
            ++used;
        }
        filled[start / chunk] = static_cast<std::uint8_t>(used);
        count += used;
    }
    return count;
}

constexpr std::size_t path_size = 4096;
using Path = std::array<char, path_size>;
// The folder the program was started in, kept at load when a trace is asked
// for and the program was started by a relative name.
Path started_in{};

bool trace_asked_for()
{
    // NOLINTNEXTLINE(concurrency-mt-unsafe): read before main and at exit
    return std::getenv("WATCH_REGION_TRACE") != nullptr ||
           std::getenv("WATCH_REGION_TRACE_DIR") != nullptr; // NOLINT(concurrency-mt-unsafe)
}

const char *started_as() { return reinterpret_cast<const char *>(getauxval(AT_EXECFN)); }

bool is_elf(const char *path)
{
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
    const int file = ::open(path, O_RDONLY | O_CLOEXEC);
    if (file < 0) {
        return false;
    }
    std::array<char, 4> magic{};
    const bool elf = ::read(file, magic.data(), magic.size()) == 4 &&
                     std::string_view(magic.data(), magic.size()) == "\177ELF";
    close(file);
    return elf;
}

// The program's path: the file execve was given, made whole with the
// folder it was started in, unless that file is a script (whose interpreter
// is the program); only then is /proc/self/exe read, whose first reading
// costs a process some 20 µs. A program whose first argument is the file's
// name is that file (a script's first argument names its interpreter);
// otherwise the file's first bytes tell.
void program_path(Path &path)
{
    const char *name = started_as();
    const bool whole = name != nullptr && *name == '/';
    if (name != nullptr && (whole || started_in[0] != '\0')) {
        std::snprintf(path.data(), path.size(), whole ? "%s%s" : "%s/%s",
                      whole ? "" : started_in.data(), name);
        if (std::string_view(name) == program_invocation_name || is_elf(path.data())) {
            return;
        }
    }
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
    path[length > 0 ? static_cast<std::size_t>(length) : 0] = '\0';
    if (length <= 0) {
        std::snprintf(path.data(), path.size(), "?");
    }
}

// The exit is written whether or not the table had room for it.
void write_trace(std::int64_t exit_time)
{
    // NOLINTNEXTLINE(concurrency-mt-unsafe): at exit, and nothing sets them
    const char *path = std::getenv("WATCH_REGION_TRACE");
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    const char *folder = std::getenv("WATCH_REGION_TRACE_DIR");
    Path in_folder{};
    if (path == nullptr && folder != nullptr) {
        std::snprintf(in_folder.data(), in_folder.size(), "%s/%d.trace", folder, getpid());
        path = in_folder.data();
    }
    if (path == nullptr) {
        return;
    }
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-vararg)
    const int file = ::open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (file < 0) {
        return;
    }
    {
        Output output(file);
        Path program{};
        program_path(program);
        output.line("watch-region-trace", trace_version);
        output.line("process", getpid(), getppid(), program.data());
        output.add(events_line);
        output.line("exit", exit_time, kernel_thread, -1, 0, 0, 0);
        write_slowest(output);
        write_sites(output, program.data());
        output.line("regions", regions_launched.load());
        output.line("threads_created", threads_created.load());
        output.line("in_regions", time_in_regions.load());
        if (const std::int64_t left = total_left_out(); left > 0) {
            output.line("left_out", left, first_left_out.load());
        }
        // The table last, as it is in memory, less the chunks' empty ends.
        const std::size_t end = std::min(taken.load(), capacity);
        output.line("table", count_filled(end), sizeof(Record));
        for (std::size_t start = 0; start < end; start += chunk) {
            output.bytes(&records[start], sizeof(Record) * filled[start / chunk]);
        }
    }
    close(file);
}

// A child that fork made starts a record of its own: it holds a copy of the
// parent's, which is the parent's to write.
void forget_after_fork()
{
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
    first_left_out.store(0);
    const int count = std::min(sites_used.load(), max_sites + 1);
    for (int used = 0; used < count; ++used) {
        const auto index =
            static_cast<std::size_t>(used_sites[static_cast<std::size_t>(used)].load());
        reset(sites[index]);
        site_addresses[index].store(0);
    }
    sites_used.store(0);
    regions_launched.store(0);
    time_in_regions.store(0);
    threads_created.store(0);
    slowest.duration = 0;
    depth = 0;
    record(Event::load);
}

__attribute__((constructor)) void on_load()
{
    if (const char *name = started_as(); name != nullptr && *name != '/' && trace_asked_for()) {
        if (getcwd(started_in.data(), started_in.size()) == nullptr) {
            started_in[0] = '\0';
        }
    }
    record(Event::load);
    pthread_atfork(nullptr, nullptr, forget_after_fork);
}

__attribute__((destructor)) void on_exit() { write_trace(now()); }

constexpr std::size_t spare_regions = 256;
std::array<Region, spare_regions> spares;
std::atomic<std::size_t> next_spare{0};

} // namespace

bool runtime_reports_regions = false;

void record(Event event, std::int64_t region, int thread, std::int64_t link, std::int64_t site,
            std::int64_t time)
{
    if (next_slot == chunk_end && chunk_end != capacity) {
        next_slot = std::min(taken.fetch_add(chunk, std::memory_order_relaxed), capacity);
        chunk_end = std::min(next_slot + chunk, capacity);
    }
    if (next_slot == capacity) {
        leave_out(time);
        return;
    }
    records[next_slot++] =
        Record{time, region, link, kernel_thread, thread, static_cast<std::int32_t>(site), event};
}

void count_thread_created() { threads_created.fetch_add(1, std::memory_order_relaxed); }

void region_begin(Region &region, const void *call_site)
{
    const Region *parent = depth > 0 ? inside[static_cast<std::size_t>(depth - 1)] : nullptr;
    region.id = regions_launched.fetch_add(1, std::memory_order_relaxed) + 1;
    region.parent = parent != nullptr ? parent->id : 0;
    region.level = parent != nullptr ? parent->level + 1 : 1;
    region.site = site_of(call_site);
    region.launch = now();
    record(Event::launch, region.id, region.level, region.parent, region.site, region.launch);
}

// Any number that stack garbage is unlikely to hold.
constexpr std::int64_t tag_bits = 0x5eedf00dc0ffee11;
constexpr std::int64_t tag_of(std::int64_t region) { return region ^ tag_bits; }

// Relaxed stores: the runtime's start of the team and its join order every
// access to a region.
void Region::reset()
{
    constexpr auto relaxed = std::memory_order_relaxed;
    first_word = nullptr;
    body = nullptr;
    data = nullptr;
    id = parent = launch = 0;
    level = site = team_size = 0;
    more_threads.store(0, relaxed);
    last_start.store(0, relaxed);
    last_end.store(0, relaxed);
    shortest.store(std::numeric_limits<std::int64_t>::max(), relaxed);
    longest.store(0, relaxed);
}

void region_end(Region &region)
{
    const std::int64_t end = now();
    record(Event::launch_return, region.id, -1, 0, 0, end);
    constexpr auto relaxed = std::memory_order_relaxed;
    int team = region.more_threads.load(relaxed);
    std::int64_t last_start = region.last_start.load(relaxed);
    std::int64_t last_end = region.last_end.load(relaxed);
    std::int64_t shortest = region.shortest.load(relaxed);
    std::int64_t longest = region.longest.load(relaxed);
    // Thread 0 says how large the team is, and each of its threads has
    // written its slot before the join.
    const int slots = std::clamp(region.team_size, 0, detailed_threads);
    for (int slot = 0; slot < slots; ++slot) {
        ThreadMoments &moments = region.threads[static_cast<std::size_t>(slot)];
        if (moments.tag != tag_of(region.id)) {
            moments.kernel_thread = 0; // not the region's: not the slowest's either
        }
        else {
            ++team;
            last_start = std::max(last_start, moments.body_start);
            last_end = std::max(last_end, moments.body_end);
            shortest = std::min(shortest, moments.body_end - moments.body_start);
            longest = std::max(longest, moments.body_end - moments.body_start);
        }
    }
    if (team == 0) {
        return;
    }
    if (region.level == 1) {
        time_in_regions.fetch_add(end - region.launch, std::memory_order_relaxed);
    }
    Site &site = sites[static_cast<std::size_t>(region.site)];
    lock(site.busy);
    ++site.launches;
    auto *size = std::find_if(site.teams.begin(), site.teams.end(), [team](const auto &entry) {
        return entry[0] == static_cast<std::uint64_t>(team) || entry[1] == 0;
    });
    if (size != site.teams.end()) {
        (*size)[0] = static_cast<std::uint64_t>(team);
        ++(*size)[1];
    }
    else {
        ++site.other_teams;
    }
    site.phases.add(Phase::fork, last_start - region.launch);
    site.phases.add(Phase::work, last_end - last_start);
    site.phases.add(Phase::imbalance, longest - shortest);
    site.phases.add(Phase::join, end - last_end);
    unlock(site.busy);
    if (end - region.launch > slowest.duration) {
        lock(slowest.busy);
        if (end - region.launch > slowest.duration) {
            slowest.duration = end - region.launch;
            slowest.id = region.id;
            slowest.parent = region.parent;
            slowest.launch = region.launch;
            slowest.end = end;
            slowest.kernel_thread = kernel_thread;
            slowest.level = region.level;
            slowest.site = region.site;
            slowest.team = slots;
            std::copy_n(region.threads.begin(), slots, slowest.threads.begin());
        }
        unlock(slowest.busy);
    }
}

void body_begin(Region &region, int thread, int team_size)
{
    const std::int64_t start = now();
    record(Event::body_start, region.id, thread, 0, 0, start);
    if (depth < max_depth) {
        inside[static_cast<std::size_t>(depth)] = &region;
        started[static_cast<std::size_t>(depth)] = start;
    }
    ++depth;
    if (thread == 0) {
        region.team_size = team_size;
    }
    if (thread >= 0 && thread < detailed_threads) {
        auto &moments = region.threads[static_cast<std::size_t>(thread)];
        moments.tag = tag_of(region.id);
        moments.body_start = start;
        moments.kernel_thread = kernel_thread;
    }
    else {
        region.more_threads.fetch_add(1, std::memory_order_relaxed);
        atomic_max(region.last_start, start);
    }
}

void body_end(Region &region, int thread)
{
    const std::int64_t end = now();
    record(Event::body_end, region.id, thread, 0, 0, end);
    --depth;
    if (thread >= 0 && thread < detailed_threads) {
        region.threads[static_cast<std::size_t>(thread)].body_end = end;
        return;
    }
    const std::int64_t start =
        depth < max_depth ? started[static_cast<std::size_t>(depth)] : region.launch;
    atomic_max(region.last_end, end);
    atomic_max(region.longest, end - start);
    atomic_min(region.shortest, end - start);
}

Region &spare_region()
{
    Region &region = spares[next_spare.fetch_add(1, std::memory_order_relaxed) % spare_regions];
    region.reset();
    return region;
}
