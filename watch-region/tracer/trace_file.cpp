// The trace's file, written once, at exit or at a signal that stops the
// process, to the file that WATCH_REGION_TRACE names (or PID.trace in the
// folder WATCH_REGION_TRACE_DIR names): a line giving the format's version,
// one naming the process, the lines that give the format (events.def), the
// exit, the slowest regions' events, a line per call site, the threads'
// useful time and waits, the counts, which
// events were kept, the signal, and last the table of events, in binary.
// Also the tracer's load, its exit, its stop, and a fork's child, which
// starts a record of its own.
#include "trace_file.h"

#include "event_table.h"
#include "loops.h"
#include "mpi_store.h"
#include "regions.h"
#include "site_stats.h"
#include "table_memory.h"
#include "waits.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <initializer_list>
#include <limits>
#include <pthread.h>
#include <string_view>
#include <sys/auxv.h>
#include <unistd.h>

namespace tracer {

namespace {

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

// PATH made of PARTS, cut short if need be: with no stdio, which a signal's
// handler may not call.
void join(Path &path, std::initializer_list<std::string_view> parts)
{
    std::size_t end = 0;
    for (const std::string_view part : parts) {
        const std::size_t length = std::min(part.size(), path.size() - 1 - end);
        std::copy_n(part.data(), length, &path[end]);
        end += length;
    }
    path[end] = '\0';
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
        join(path, {whole ? "" : started_in.data(), whole ? "" : "/", name});
        if (std::string_view(name) == program_invocation_name || is_elf(path.data())) {
            return;
        }
    }
    const ssize_t length = readlink("/proc/self/exe", path.data(), path.size() - 1);
    path[length > 0 ? static_cast<std::size_t>(length) : 0] = '\0';
    if (length <= 0) {
        join(path, {"?"});
    }
}

// "record NAME:CODE...": the binary record's fields, and its padding.
void write_record_format(Output &output)
{
    output.add("record");
    for (const FieldFormat &field : record_fields) {
        output.add(' ', field.name, ':', field.code);
    }
    if (record_padding != 0) {
        output.add(" :", record_padding, 'x');
    }
    output.add('\n');
}

// MPI's lines, where the process is an MPI rank: "mpi RANK SIZE",
// "mpi_time ALL MARKED", "mpi_comm INDEX R0,R1,..." per communicator and
// "mpi_call SEQ OP COMM PEER TAG ENTRY EXIT IDEAL_ENTRY_ALL
// IDEAL_ENTRY_MARKED IDEAL_EXIT_ALL IDEAL_EXIT_MARKED KERNEL_THREAD" per
// call logged (mpi_store.h), the calls beyond the log, and "mpi_clock AT
// OFFSET UNCERTAINTY" per offset from rank 0's clock measured.
void write_mpi(Output &output)
{
    const mpi::World world = mpi::world();
    if (world.rank < 0) {
        return;
    }
    output.line("mpi", world.rank, world.size);
    output.line("mpi_time", world.in_mpi.all, world.in_mpi.marked);
    for (std::size_t index = 0; index < mpi::comms(); ++index) {
        output.add("mpi_comm ", index);
        for (int rank = 0; rank < mpi::comm_size(index); ++rank) {
            output.add(rank == 0 ? ' ' : ',', mpi::world_of(static_cast<int>(index), rank));
        }
        output.add('\n');
    }
    const std::size_t made = mpi::calls_made();
    for (std::size_t index = 0; index < std::min(made, mpi::max_calls); ++index) {
        const mpi::Call &call = mpi::call(index);
        output.line("mpi_call", index, call.name, call.comm, call.peer, call.tag, call.entry,
                    call.exit, call.ideal_entry.all, call.ideal_entry.marked, call.ideal_exit.all,
                    call.ideal_exit.marked, call.kernel_thread);
    }
    if (made > mpi::max_calls) {
        output.line("mpi_calls_left_out", made - mpi::max_calls);
    }
    for (std::size_t index = 0; index < mpi::offsets(); ++index) {
        const mpi::ClockOffset &measured = mpi::offset(index);
        output.line("mpi_clock", measured.at, measured.offset, measured.uncertainty);
    }
}

} // namespace

// The exit is written whether or not the table had room for it.
void write_trace(std::int64_t exit_time, int stopped_by)
{
    // NOLINTNEXTLINE(concurrency-mt-unsafe): at exit, and nothing sets them
    const char *path = std::getenv("WATCH_REGION_TRACE");
    // NOLINTNEXTLINE(concurrency-mt-unsafe)
    const char *folder = std::getenv("WATCH_REGION_TRACE_DIR");
    Path in_folder{};
    if (path == nullptr && folder != nullptr) {
        std::array<char, std::numeric_limits<pid_t>::digits10 + 2> pid{};
        const auto printed = std::to_chars(pid.data(), pid.data() + pid.size(), getpid());
        join(in_folder,
             {folder, "/", std::string_view(pid.data(), printed.ptr - pid.data()), ".trace"});
        path = in_folder.data();
    }
    if (path == nullptr) {
        return;
    }
    write_trace_file(path, exit_time, stopped_by);
}

void write_trace_file(const char *path, std::int64_t exit_time, int stopped_by)
{
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
        // The node's name: its clock is that of the node's ranks.
        std::array<char, HOST_NAME_MAX + 1> host{};
        if (gethostname(host.data(), host.size() - 1) == 0 && host[0] != '\0') {
            output.line("host", host.data());
        }
        output.add(events_line);
        write_record_format(output);
        write_site_format(output);
        output.line("exit", exit_time, kernel_thread(), -1, 0, 0, 0);
        const Keeping kept = keeping();
        // The exit is one of the events asked for.
        const std::size_t room = std::max<std::size_t>(kept.events, 2) - 1;
        const std::size_t in_slowest = write_slowest(output, room, exit_time);
        write_sites(output, program.data());
        write_loops(output);
        write_waits(output, exit_time, program.data());
        write_mpi(output);
        if (const std::uintptr_t runtime = runtime_address.load(); runtime != 0) {
            output.line("runtime", object_of(runtime, program.data()).path);
        }
        output.line("regions", regions_launched.load());
        output.line("threads_created", threads_created.load());
        output.line("in_regions", time_in_regions.load());
        write_keeping(output);
        count_kept(room - in_slowest, exit_time);
        write_left_out(output);
        if (stopped_by != 0) {
            output.line("stopped_by", stopped_by);
        }
        // The table last, as it is in memory, less the chunks' empty ends.
        write_table(output);
    }
    close(file);
}

namespace {

// Set by whichever writes the trace, at exit or at a stop, so that it is
// written once.
std::atomic<bool> written{false};

void write_once(std::int64_t exit_time, int stopped_by)
{
    if (!written.exchange(true)) {
        write_trace(exit_time, stopped_by);
    }
}

// Writes the trace, and ends the process as SIGNAL would have: the handler
// is gone (SA_RESETHAND), and the signal, blocked while it runs, is let
// through and raised again.
void on_stop(int signal)
{
    // The clock itself: the signal may have come while this thread's
    // anchor was half taken.
    write_once(clock_now(), signal);
    sigset_t only{};
    sigemptyset(&only);
    sigaddset(&only, signal);
    pthread_sigmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
}

} // namespace

bool takes_over(const struct sigaction &current)
{
    return (current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL;
}

void catch_stop_signals()
{
    struct sigaction ours {};
    ours.sa_handler = on_stop;
    sigemptyset(&ours.sa_mask);
    for (const int signal : stop_signals) {
        sigaddset(&ours.sa_mask, signal);
    }
    ours.sa_flags = SA_RESETHAND | SA_RESTART;
    for (const int signal : stop_signals) {
        struct sigaction current {};
        if (sigaction(signal, nullptr, &current) == 0 && takes_over(current)) {
            sigaction(signal, &ours, nullptr);
        }
    }
}

void forget_after_fork()
{
    written.store(false);
    forget_events();
    forget_sites();
    forget_loops();
    forget_regions();
    forget_waits(now());
    record(Event::load);
}

namespace {

__attribute__((constructor)) void on_load()
{
    if (const char *name = started_as(); name != nullptr && *name != '/' && trace_asked_for()) {
        if (getcwd(started_in.data(), started_in.size()) == nullptr) {
            started_in[0] = '\0';
        }
    }
    // NOLINTNEXTLINE(concurrency-mt-unsafe): before main
    keep_events(keeping_from(std::getenv("WATCH_REGION_KEEP"), std::getenv("WATCH_REGION_EVENTS")));
    const Pages pages =
        pages_from(std::getenv("WATCH_REGION_PAGES")); // NOLINT(concurrency-mt-unsafe)
    advise_table(pages);
    if (pages == Pages::touched && keep_mode != Keep::report && trace_asked_for()) {
        touch_ahead(keeping().events);
    }
    record(Event::load);
    pthread_atfork(nullptr, nullptr, forget_after_fork);
    if (trace_asked_for()) {
        catch_stop_signals();
    }
}

__attribute__((destructor)) void on_exit() { write_once(now(), 0); }

} // namespace

} // namespace tracer
