// The trace's file, written once, at exit, to the file that WATCH_REGION_TRACE
// names (or PID.trace in the folder WATCH_REGION_TRACE_DIR names): a line
// giving the format's version, one naming the process, the lines that give
// the format (events.def), the exit, the slowest region's events, a line per
// call site, the counts, and last the table of events, in binary. Also the tracer's load,
// its exit, and a fork's child, which starts a record of its own.
#include "trace_file.h"

#include "event_table.h"
#include "regions.h"
#include "site_stats.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
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

} // namespace

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
    write_trace_file(path, exit_time);
}

void write_trace_file(const char *path, std::int64_t exit_time)
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
        output.add(events_line);
        write_record_format(output);
        write_site_format(output);
        output.line("exit", exit_time, kernel_thread(), -1, 0, 0, 0);
        write_slowest(output);
        write_sites(output, program.data());
        output.line("regions", regions_launched.load());
        output.line("threads_created", threads_created.load());
        output.line("in_regions", time_in_regions.load());
        write_left_out(output);
        // The table last, as it is in memory, less the chunks' empty ends.
        write_table(output);
    }
    close(file);
}

void forget_after_fork()
{
    forget_events();
    forget_sites();
    forget_regions();
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
    record(Event::load);
    pthread_atfork(nullptr, nullptr, forget_after_fork);
}

__attribute__((destructor)) void on_exit() { write_trace(now()); }

} // namespace

} // namespace tracer
