"""The mutation gate: each row of MUTANTS is a small change that a real
regression could make. It is applied to a copy of the tree, which is rebuilt
and run against the suite that must catch it; a mutant that every test lets
through (a survivor) fails the gate, by name.

usage: python3 tests/mutation_gate.py [WORD...]
  WORD  run only the rows whose name holds one of these words
Works in build/mutants/, in two copies of the tree, one mutant in each at a
time.
"""

import contextlib
import dataclasses
import os
import queue
import re
import shutil
import subprocess
import sys
import threading
import time

SUM = "parallel_sum/new_test_file"
HELLO = "parallel_hello/new_test_file"
SUM_PRAGMA = ("#pragma omp parallel for default(none) shared(values) schedule(static) "
              "reduction(+ : total)")
SUM_LOOP_BODY = "        total += values[i];"
GREETING = '        std::printf("Hello from thread %d of %d\\n", thread, team_size);'
QUERIES = ("        const int team_size = omp_get_num_threads();\n"
           "        const int thread = omp_get_thread_num();")
PACKAGING = "packaging/packaging.cmake"
PRESETS = "CMakePresets.json"
TOOL = "watch-region/"
MODULES = TOOL + "watch_region/"
TRACER = TOOL + "tracer/"
CLI, PROCESS = MODULES + "cli.py", MODULES + "process.py"
GDB_MODE = MODULES + "gdb_mode/"
SESSION, RECORDER, BREAKPOINTS, X86, RUNNER = (
    GDB_MODE + name for name in ("session.py", "recorder.py", "breakpoints.py", "x86.py",
                                 "runner.py"))
TIMELINE, OUTPUTS = MODULES + "timeline/", MODULES + "outputs/"
TABLE_CELLS = ('                "?" if seen["thread"] is None else str(seen["thread"]),\n'
               '                "?" if seen["team_size"] is None else str(seen["team_size"]),')


@dataclasses.dataclass
class Mutant:
    name: str
    file: str
    changes: list
    killed_by: tuple = ("default",)
    test: str = ""
    source_only: bool = False
    # A processor feature (a flag of /proc/cpuinfo) without which the
    # changed code never runs: the row is skipped on a machine without it.
    needs: str = ""


def processor_has(flag):
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as info:
            return any(flag in line.split() for line in info if line.startswith("flags"))
    except OSError:
        return False


# Each row: a name, the file it changes, the changes (text, replacement; each
# text found exactly once), the suites (a configure, build and test preset
# each) that must each kill it, and the tests (a regular expression) that last
# killed it. Those run first, so that a kill costs a build and a test or two;
# only a mutant they let through goes on to the whole suite. A row whose tests
# read only the source (source_only) runs them before building at all.
MUTANTS = [
    Mutant("SIZE is 101", SUM,
           [("SIZE = 100", "SIZE = 101")], test="timeline.scaling"),
    Mutant("the sum starts at 1", SUM,
           [("int total = 0;", "int total = 1;")], test="timeline.scaling"),
    Mutant("the loop skips index 0", SUM,
           [("(int i = 0;", "(int i = 1;")], test="timeline.scaling"),
    Mutant("a printf inside the region", SUM,
           [(SUM_LOOP_BODY, SUM_LOOP_BODY + '\n        std::puts("adding");')],
           test="optimised_without_preset"),
    Mutant("a critical section around the addition", SUM,
           [(SUM_LOOP_BODY, "#pragma omp critical\n" + SUM_LOOP_BODY)],
           killed_by=("default", "clang"), test="parallel_sum.runtime_contract"),
    Mutant("schedule(dynamic)", SUM,
           [("schedule(static)", "schedule(dynamic)")],
           killed_by=("default", "clang"), test="parallel_sum.runtime_contract"),
    Mutant("schedule(static, 1): strides, not blocks", SUM,
           [("schedule(static)", "schedule(static, 1)")], test="watch_region.table"),
    Mutant("num_threads(1)", SUM,
           [("schedule(static)", "schedule(static) num_threads(1)")],
           killed_by=("default", "clang"),
           test="watch_region.table|parallel_sum.runtime_contract"),
    Mutant("an atomic addition per element instead of the reduction", SUM,
           [(SUM_PRAGMA, SUM_PRAGMA.replace("shared(values)", "shared(values, total)")
             .replace(" reduction(+ : total)", "")),
            (SUM_LOOP_BODY, "#pragma omp atomic\n" + SUM_LOOP_BODY)], test="watch_region.table"),
    Mutant("the reduction removed: a race on the total", SUM,
           [("reduction(+ : total)", "shared(total)")],
           killed_by=("tsan", "clang-tsan"), test="parallel_sum.team_2"),
    Mutant("a failed write exits 0", SUM,
           [('std::perror("parallel_sum: write error");\n        return 1;',
             'std::perror("parallel_sum: write error");\n        return 0;')],
           test="parallel_sum.write_error.closed_team_1"),
    Mutant("the greeting split over two printf calls", HELLO,
           [(GREETING, '        std::printf("Hello from thread %d ", thread);\n'
                       '        std::printf("of %d\\n", team_size);')],
           test="parallel_hello.whole_lines.pipe"),
    Mutant("a line printed from main", HELLO,
           [("    }\n    // Close standard output",
             '    }\n    std::puts("done");\n    // Close standard output')],
           test="parallel_hello.team_8"),
    Mutant("the two numbers swapped", HELLO,
           [("thread, team_size);", "team_size, thread);")], test="parallel_hello.team_8"),
    Mutant("the thread number asked before the team size", HELLO,
           [(QUERIES, "\n".join(reversed(QUERIES.split("\n"))))],
           test="parallel_hello.region.team_1"),
    Mutant("omp_get_max_threads for the team size", HELLO,
           [("omp_get_num_threads()", "omp_get_max_threads()")],
           test="parallel_hello.region.team_1"),
    Mutant("only the master thread greets", HELLO,
           [(GREETING, "#pragma omp master\n" + GREETING)], test="parallel_hello.region.team_1"),
    Mutant("a team of 2 whatever the default", HELLO,
           [("#pragma omp parallel default(none)",
             "#pragma omp parallel default(none) num_threads(2)")],
           test="parallel_hello.region.team_1"),
    Mutant("a worker's failed write reported with main's errno", HELLO,
           [("if (close_failed && errno != 0)", "if (earlier_write_failed || close_failed)")],
           test="parallel_hello.write_error.unread"),
    Mutant("built with exceptions: a terminate guard and libstdc++", "CMakeLists.txt",
           [(" -fno-exceptions)", ")")],
           killed_by=("default", "clang"), test="parallel_hello.runtime_contract"),
    Mutant("every library the compiler driver names is recorded as needed", "CMakeLists.txt",
           [("  target_link_options(${target} PRIVATE LINKER:--as-needed)\n", "")],
           killed_by=("clang",), test="parallel_hello.runtime_contract"),
    Mutant("debug information, and with it the build folder, in the release build",
           "CMakeLists.txt",
           [(" -fno-exceptions)", " -fno-exceptions -g)")], test="optimised"),
    Mutant("the package's dependencies not worked out", PACKAGING,
           [("CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON", "CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF")],
           test="package.contents"),
    Mutant("unstripped programs in the package", PACKAGING,
           [("set(CPACK_STRIP_FILES ON)", "set(CPACK_STRIP_FILES OFF)")], test="package.lintian"),
    Mutant("a misspelt macro in a manual page", "man/parallel_sum.1.in",
           [(".SH EXAMPLES", ".Sh EXAMPLES")], test="package.lintian"),
    # What the build and the package promise.
    Mutant("the programs compiled with -O0", "CMakeLists.txt",
           [(" -fno-exceptions)", " -fno-exceptions -O0)")], test="optimised_without_preset"),
    Mutant("the default preset built RelWithDebInfo", PRESETS,
           [('"CMAKE_BUILD_TYPE": "Release"', '"CMAKE_BUILD_TYPE": "RelWithDebInfo"')],
           test="optimised"),
    Mutant("a configure without a preset builds for debugging", "CMakeLists.txt",
           [("set(CMAKE_BUILD_TYPE Release CACHE", "set(CMAKE_BUILD_TYPE Debug CACHE")],
           test="optimised_without_preset"),
    Mutant("the build-tree programs keep the run path CMake gives them", "CMakeLists.txt",
           [(" BUILD_WITH_INSTALL_RPATH ON", "")],
           killed_by=("clang",), test="parallel_sum.no_run_path"),
    Mutant("a hand-written Depends with libc6 too old", PACKAGING,
           [("set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)",
             'set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.2.5), libgomp1 (>= 4.9)")')],
           test="package.lintian"),
    Mutant("a hand-written Depends with libgomp1 too old", PACKAGING,
           [("set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)",
             'set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libgomp1 (>= 4.2.1)")')],
           test="package.lintian"),
    Mutant("the version raised without a change log entry", "CMakeLists.txt",
           [("VERSION 1.0.0", "VERSION 1.0.1")], test="package.contents"),
    Mutant("a manual page without its ENVIRONMENT section", "man/parallel_sum.1.in",
           [(".SH ENVIRONMENT\n", "")], test="parallel_sum.manual_page"),
    Mutant("a manual page without its BUGS section", "man/parallel_hello.1.in",
           [(".SH BUGS\n", "")], test="parallel_hello.manual_page"),
    Mutant("a manual page whose NAME line whatis cannot read", "man/parallel_hello.1.in",
           [("parallel_hello \\- ", "parallel_hello: ")], test="parallel_hello.manual_page"),
    Mutant("each thread copies the array: firstprivate(values)", SUM,
           [("shared(values)", "firstprivate(values)")], test="parallel_sum.array_read_in_place"),
    # The region tracer and the timeline.
    Mutant("the tracer records a body's start after the body", TRACER + "gomp_entries.cpp",
           [("    body_begin(region, thread, ask(Entry::team_size));\n"
             "    region.body(region.data);\n",
             "    region.body(region.data);\n"
             "    body_begin(region, thread, ask(Entry::team_size));\n")],
           test="timeline.body_time"),
    Mutant("the tracer gives a body the next thread's number", TRACER + "gomp_entries.cpp",
           [("const int thread = ask(Entry::thread_number);",
             "const int thread = ask(Entry::thread_number) + 1;")], test="timeline.body_time"),
    Mutant("the tracer ties a created thread to the next creation", TRACER + "thread_creation.cpp",
           [("record(Event::first_instruction, 0, -1, link);",
             "record(Event::first_instruction, 0, -1, link + 1);")], test="timeline.teams"),
    Mutant("the tracer takes libomp's barrier end for the body's end", TRACER + "ompt_tool.cpp",
           [("        if (endpoint == ompt_scope_begin && !task->ended) {",
             "        if (endpoint != ompt_scope_begin && !task->ended) {")],
           killed_by=("clang",), test="timeline.teams"),
    Mutant("the timeline's fork ends at the first body start", TIMELINE + "regions.py",
           [('"fork": max(starts) - region["launch"]', '"fork": min(starts) - region["launch"]')],
           test="timeline.teams"),
    # watch-region's own faults.
    Mutant("watch-region exits 0 whatever the program did", CLI,
           [("return 128 + number if number is not None else report.exit_status", "return 0")],
           test="watch_region.exit_status"),
    Mutant("watch-region forgets the signal that killed the program", SESSION,
           [('gdb.convenience_variable("_exitsignal"))', "None)")],
           test="watch_region.exit_status"),
    Mutant("watch-region reads the flags of GOMP_parallel from the wrong register", BREAKPOINTS,
           [("x86.argument(entry.flags, 4)", "x86.argument(entry.flags + 1, 4)")],
           test="watch_region.launch_clauses"),
    Mutant("watch-region follows no jump to a locked instruction", X86,
           [("starts.append(int(jump[2], 16))", "pass")], test="watch_region.branch"),
    Mutant("watch-region's table swaps the thread and team size cells",
           OUTPUTS + "gdb_table.py",
           [(TABLE_CELLS, "\n".join(reversed(TABLE_CELLS.split("\n"))))],
           test="watch_region.table"),
    Mutant("watch-region drops OMP_NUM_THREADS from the environment", CLI,
           [("    environment = process.caller_environment()\n",
             "    environment = process.caller_environment()\n"
             '    environment.pop("OMP_NUM_THREADS", None)\n')], test="watch_region.environment"),
    Mutant("watch-region leaves gdb's LINES and COLUMNS in the environment", SESSION,
           [('for name in ("LINES", "COLUMNS", "SHELL"):', "for name in ():")],
           test="watch_region.environment"),
    Mutant("watch-region drops the program's arguments", RUNNER,
           [('"--args", program, *argv[1:]]', '"--args", program]')],
           test="watch_region.environment"),
    Mutant("watch-region throws the program's standard error away", RUNNER,
           [("streams = [passed_stream(fd, closed) for fd in (0, 1, 2)]",
             'streams = [passed_stream(fd, closed) for fd in (0, 1)] + [(None, "2>/dev/null")]')],
           test="watch_region.standard_error"),
    Mutant("watch-region keeps the program's output from the caller", RUNNER,
           [("streams = [passed_stream(fd, closed) for fd in (0, 1, 2)]",
             'streams = [passed_stream(0, closed), (None, "1>/dev/null"), '
             'passed_stream(2, closed)]')], test="watch_region.environment"),
    Mutant("watch-region leaves gdb and the program running when stopped", PROCESS,
           [("    if process.poll() is not None:\n        return\n    started",
             "    if True:\n        return\n    started")], test="watch_region.stop_signals"),
    Mutant("watch-region leaves what gdb orphans to an init that may not reap it", CLI,
           [("    process.become_subreaper()\n", "")], test="watch_region.stop_signals"),
    Mutant("watch-region's failed write exits 0", CLI,
           [("        return WRITE_ERROR\n", "        return 0\n")],
           test="watch_region.write_errors"),
    Mutant("watch-region does not search PATH", MODULES + "program.py",
           [('path = name if "/" in name else shutil.which(name)', "path = name")],
           test="package.installed"),
    # The tool as a component: its trace format, its install, its tracer.
    Mutant("the trace reader drops the count of lost events", TIMELINE + "trace.py",
           [("trace.lost_events, trace.lost_from = int(fields[1]), int(fields[2])",
             "trace.lost_from = int(fields[2])")], test="timeline.many_regions"),
    Mutant("the trace reader takes a trace of any format", TIMELINE + "trace.py",
           [("    if not OLDEST_READ <= int(said[1]) <= version:", "    if False:")],
           test="watch_region.model"),
    Mutant("the installed watch-region looks for its tracer from the current folder",
           TOOL + "watch-region.in",
           [('tracer=os.path.join(HERE, "@WATCH_REGION_TRACER@")',
             'tracer="@WATCH_REGION_TRACER@"')], test="package.installed"),
    Mutant("the g++ build's tracer has no half for libomp", TRACER + "CMakeLists.txt",
           [("/usr/lib/llvm-*/lib/clang/*/include/omp-tools.h", "/nonexistent/omp-tools.h")],
           test="timeline.other_runtime"),
    Mutant("the package does not recommend gdb", PACKAGING,
           [('"gdb, gnuplot-nox, python3-otf2"', '"gnuplot-nox, python3-otf2"')],
           test="package.contents"),
    Mutant("an unused import in the tool", TIMELINE + "trace_lines.py",
           [("import collections\n", "import collections\nimport os\n")],
           killed_by=("lint",), test="python.pyflakes", source_only=True),
    # Every team of any program.
    Mutant("the tracer hands GOMP_parallel_reductions data without the reductions' address",
           TRACER + "gomp_entries.cpp",
           [("region.first_word = *static_cast<void **>(data);", "")],
           test="timeline.many_regions"),
    Mutant("the tracer looks for the real entries only after itself, not in a late libgomp",
           TRACER + "gomp_entries.cpp",
           [('dlopen("libgomp.so.1", RTLD_LAZY | RTLD_NOLOAD)', "nullptr")],
           test="timeline.late_runtime"),
    Mutant("the tracer does not wrap parallel sections", TRACER + "gomp_entries.cpp",
           [("launch<Entry::symbol, Kind::sections, void>(__builtin_return_address(0)",
             "launch<Entry::symbol, Kind::sections, void>(nullptr")],
           test="timeline.every_entry"),
    Mutant("the tracer forgets a region's parent", TRACER + "regions.cpp",
           [("region.parent = parent != nullptr ? parent->id : 0;", "region.parent = 0;")],
           test="timeline.every_entry"),
    Mutant("the report counts only the regions whose events were kept", TIMELINE + "model.py",
           [("program=trace.program, regions=trace.regions,",
             'program=trace.program, regions=trace.kept("launch"),')],
           test="timeline.many_regions"),
    Mutant("the tracer leaves events out silently", TRACER + "event_table.cpp",
           [("    count.value.store(count.value.load(std::memory_order_relaxed) + 1, "
             "std::memory_order_relaxed);\n", "")],
           test="timeline.many_regions"),
    Mutant("the chart shows the first region, not the slowest", TIMELINE + "regions.py",
           [("    wanted = slowest if chosen is None else chosen",
             "    wanted = 1 if chosen is None else chosen")], test="watch_region.model"),
    # A program as it runs alone.
    Mutant("the traced program in a process group of its own, stopped by the terminal",
           PROCESS,
           [("        preexec_fn=(lambda: [os.close(fd) for fd in closed]) if closed else None)",
             "        preexec_fn=(lambda: [os.close(fd) for fd in closed]) if closed else None,"
             " process_group=0)")],
           test="timeline.terminal"),
    Mutant("a forked child keeps its parent's record", TRACER + "regions.cpp",
           [("    regions_launched.store(0);\n", "")], test="timeline.own_programs"),
    Mutant("gdb counts every run of a body's code, whichever launch it serves", BREAKPOINTS,
           [("        if self.address in self.watcher.active_bodies():\n",
             "        if True:\n")], test="watch_region.own_programs"),
    Mutant("gdb reads a value, such as a double's bits, from every atomic operation", X86,
           [('    if re.match(r"(add|xadd|sub)[bwlq]?$", mnemonic):',
             '    if source is not None:')], test="watch_region.own_programs"),
    Mutant("gdb watches the entries only if libgomp came with the program", SESSION,
           [("            watcher.place_entry_breakpoints()\n            watcher.place_asked_for()",
             "            watcher.place_asked_for()")], test="watch_region.own_programs"),
    Mutant("the tracer names the program's own call sites by the name it was called by",
           TRACER + "site_stats.cpp",
           [("name == nullptr || *name == '\\0' ? program : name}",
             "name == nullptr ? program : name}")], test="timeline.many_regions"),
    Mutant("the tool's modules are not installed", TOOL + "CMakeLists.txt",
           [('FILES_MATCHING PATTERN "*.py"', 'FILES_MATCHING PATTERN "*.pyc"')],
           test="package.installed"),
    # The house: a folder of traces, and what a user reads off a run.
    Mutant("a second copy of a process's trace counted as another process", TIMELINE + "run.py",
           [("        if identity in seen:", "        if False:")], test="watch_region.model"),
    Mutant("the text names no trace it could not read", OUTPUTS + "text.py",
           [("    said += [f\"not read: {each['file']}: {each['reason']}\" for each in report.",
             "    said += [each['file'] for each in report.")], test="watch_region.model"),
    Mutant("the call sites' table wider than the width it is given", OUTPUTS + "text.py",
           [("    if max(len(line) for line in wide) <= width:", "    if True:")],
           test="watch_region.model"),
    Mutant("the traced program sees its resolved path as argv[0]", PROCESS,
           [("        argv, executable=program,", "        [program, *argv[1:]],")],
           test="timeline.trust"),
    Mutant("a stopped watch-region kills the program before its tracer writes", PROCESS,
           [("        os.kill(child.pid, signum)\n",
             "        os.kill(child.pid, signal.SIGKILL)\n")],
           test="timeline.trust"),
    Mutant("a stripped object's debug file not looked for", MODULES + "elf.py",
           [("    for candidate in debug_files(elf) if not table or not lines else []:",
             "    for candidate in []:")], test="timeline.trust"),
    Mutant("--region past the last region reported as not kept", CLI,
           [("options.region > launched:", "options.region > launched + 1000:")],
           test="timeline.trust"),
    Mutant("the Trace Event file silent about the events left out", OUTPUTS + "trace_event.py",
           [("    if trace.lost_events:\n        events.append(",
             "    if False:\n        events.append(")], test="timeline.trust"),
    Mutant("the OTF2 archive without its joins", OUTPUTS + "otf2_plan.py",
           [("            add((JOIN, time))\n", "            pass\n")], test="timeline.otf2"),
    Mutant("every OTF2 wait its own stretch, never closed", OUTPUTS + "otf2_stretches.py",
           [("kind, site, link)  # a wait", "kind, site, link, time)  # a wait")],
           test="timeline.otf2"),
    Mutant("an OTF2 stretch left open inside another written all the same",
           OUTPUTS + "otf2_stretches.py",
           [("            for _, at in stack[depth + 1:]:  # left open inside it: not written\n"
             "                out[at] = None\n", "")], test="watch_region.model"),
    Mutant("an OTF2 stretch never ended written all the same", OUTPUTS + "otf2_stretches.py",
           [("            threads[tid][at] = None\n", "            pass\n")],
           test="watch_region.model"),
    Mutant("an OTF2 stretch's end written with no start", OUTPUTS + "otf2_stretches.py",
           [("            if depth < 0:\n                continue\n", "")],
           test="watch_region.model"),
    Mutant("the OTF2 clock in microseconds", OUTPUTS + "otf2_archive.py",
           [("RESOLUTION = 10**9", "RESOLUTION = 10**6")], test="timeline.otf2"),
    Mutant("an OTF2 collective's root never written", OUTPUTS + "otf2_plan.py",
           [("root = peer if", "root = None if")], test="timeline.otf2"),
    # Which events are kept, and a trace at a stopping signal.
    Mutant("the last events kept without counting those they displace",
           TRACER + "event_table.cpp",
           [("own_count().value.fetch_add(static_cast<std::int64_t>(lost),",
             "own_count().value.fetch_add(0 * static_cast<std::int64_t>(lost),")],
           test="tracer.keep_last"),
    Mutant("a small table taken 64 events at a time", TRACER + "event_table.cpp",
           [("chunk = std::clamp<std::size_t>(limit / largest_chunk, 1, largest_chunk);",
             "chunk = largest_chunk;")], test="tracer.table_full"),
    Mutant("the table's huge pages off their 2 MiB boundary", TRACER + "table_memory.h",
           [("struct alignas(huge_page) TableMemory {", "struct TableMemory {")],
           test="tracer.table_pages"),
    Mutant("the table's first 256 KiB asked for huge pages", TRACER + "table_memory.cpp",
           [(": first + small_part;", ": first;")], test="tracer.table_pages"),
    Mutant("the table's small pages asked for ahead with every chunk", TRACER + "table_memory.cpp",
           [("(first - 1) / stretch == last / stretch) {", "last < first) {")],
           test="tracer.table_pages"),
    Mutant("the table's small pages asked for ahead in every way", TRACER + "table_memory.cpp",
           [("if (!ahead || from == 0", "if (from == 0")], test="tracer.table_pages"),
    Mutant("the table's huge pages touched ahead but the last", TRACER + "table_memory.cpp",
           [("page < touch_end; page += huge_page",
             "page + huge_page < touch_end; page += huge_page")],
           test="tracer.table_pages"),
    Mutant("a toucher started for the small pages alone", TRACER + "table_memory.cpp",
           [("if (touch_end <= table_start() + small_part) {", "if (touch_end < table_start()) {")],
           test="tracer.table_pages"),
    Mutant("a lock's last release, left to be read later, never read", TRACER + "gomp_waits.cpp",
           [("        meet_later(this_thread(), *released);", "        (void)released;")],
           test="tracer.gomp"),
    Mutant("the fastest regions kept, not the slowest", TRACER + "regions.cpp",
           [("return one->duration > other->duration;", "return one->duration < other->duration;")],
           test="tracer.keep_slowest"),
    Mutant("a signal the program ignores made to write a trace", TRACER + "trace_file.cpp",
           [("(current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_DFL",
             "(current.sa_flags & SA_SIGINFO) == 0")], test="tracer.stopped"),
    Mutant("a trace written at a signal does not say so", TRACER + "trace_file.cpp",
           [('            output.line("stopped_by", stopped_by);\n', "")],
           test="tracer.stopped"),
    Mutant("a thread's useful time runs on from its last wait's start", TRACER + "waits.cpp",
           [("        thread.since = time;\n", "        (void)time;\n")], test="tracer.waits"),
    Mutant("a barrier's departure waits for no arrival", TRACER + "runtime_time.h",
           [("    meet.barriers[parity].raise(ideal(thread));\n", "    (void)ideal(thread);\n")],
           test="tracer.gomp"),
    Mutant("a task starts when it is made, however busy its thread", TRACER + "runtime_time.h",
           [("    wait_until(thread, created);", "    set_ideal(thread, created);")],
           test="timeline.factors"),
    Mutant("a task's data left behind when its block is made", TRACER + "gomp_waits.cpp",
           [("        std::memcpy(data_in(block, static_cast<std::size_t>(offset)), data,",
             "        std::memset(data_in(block, static_cast<std::size_t>(offset)), 0,")],
           test="timeline.unchanged"),
    # Who made the others wait: the late ones, as counted, written and said.
    Mutant("late: a barrier's last arrival never counted", TRACER + "runtime_time.h",
           [("((one << arrival_count_bits) - 1)) + 1 < inside.team_size",
             "((one << arrival_count_bits) - 1)) < inside.team_size")], test="tracer.gomp"),
    Mutant("late: a barrier's delay is its last arrival less the others' mean",
           TRACER + "runtime_time.h",
           [("std::int64_t{inside.team_size - 1} * arrival - others",
             "arrival - others / (inside.team_size - 1)")], test="timeline.factors"),
    Mutant("late: a taskwait's late one may be the thread that waited", TRACER + "runtime_time.h",
           [("thread == inside.thread ||", "false ||")], test="tracer.gomp"),
    Mutant("late: a task's end does not say which thread ran it", TRACER + "runtime_time.h",
           [("        const Inside *inside = innermost();\n"
             "        note_task_end(*region, inside != nullptr ? inside->thread : other_threads, "
             "end);\n", "        note_task_end(*region, other_threads, end);\n")],
           test="tracer.ompt_late"),
    Mutant("late: libgomp's last arrival at a barrier passes on no delay",
           TRACER + "gomp_waits.cpp",
           [("            return arrival.caused;", "            return std::int64_t{-1};")],
           test="tracer.gomp"),
    Mutant("late: libomp's last arrival at a barrier passes on no delay", TRACER + "ompt_tool.cpp",
           [("{kind_of(kind), code, nullptr, true, waiting.caused}", "{kind_of(kind), code}")],
           test="tracer.ompt_late"),
    Mutant("late: a site's fifth late thread counted as its fourth", TRACER + "late.cpp",
           [("        found = &site.late.back();", "        found = std::prev(end);")],
           test="tracer.waits"),
    Mutant("late: a site's late threads written by number, not delay", TRACER + "late.h",
           [("return one.delay > other.delay;", "return one.thread < other.thread;")],
           test="tracer.waits"),
    Mutant("late: a late line read as the first wait line's", TIMELINE + "trace.py",
           [("held = trace.other_waits or trace.waits", "held = trace.waits or trace.other_waits")],
           test="watch_region.model", source_only=True),
    Mutant("late: a site's late threads merged smallest delay first", TIMELINE + "model.py",
           [('key=lambda late: -late["delay"]', 'key=lambda late: late["delay"]')],
           test="watch_region.model", source_only=True),
    Mutant("late: a sentence's instances only the late one's", OUTPUTS + "gains.py",
           [('sum(each["count"] for each in late)', 'late[0]["count"]')],
           test="watch_region.model", source_only=True),
    Mutant("where the time goes: the largest loop's line cut when its region ranks low",
           OUTPUTS + "gains.py",
           [("len(said)), SHOWN - 1), loop)", "len(said)), len(said)), loop)")],
           test="watch_region.model", source_only=True),
    Mutant("late: a wait's sentence ranked last", OUTPUTS + "gains.py",
           [('said.append((first["delay"],', "said.append((0,")],
           test="watch_region.model", source_only=True),
    # The libgomp half against a stand-in for libgomp (tracer.gomp).
    Mutant("a wait's time counted with the tasks run in it", TRACER + "runtime_time.h",
           [("end - wait.start - in_tasks", "end - wait.start - 0 * in_tasks")],
           test="tracer.gomp"),
    Mutant("a wait recorded outside its region", TRACER + "runtime_time.h",
           [("record_wait(what.kind, number_of(region),", "record_wait(what.kind, 0,")],
           test="tracer.gomp"),
    Mutant("libgomp: a lock's next holder goes on from no release", TRACER + "gomp_waits.cpp",
           [("            released = guard.released;", "            released = nullptr;")],
           test="tracer.gomp"),
    Mutant("libgomp: a critical section's wait counted as a lock's",
           TRACER + "gomp_waits.cpp",
           [("(Wait::critical, __builtin_return_address(0), name, name);",
             "(Wait::lock, __builtin_return_address(0), name, name);")],
           test="tracer.gomp"),
    # Loops handed out at run time, through each half's entries.
    Mutant("loop chunks: a last chunk shorter than a step counted as none",
           TRACER + "loops.h",
           [("(distance + loop.step - 1) / loop.step", "distance / loop.step")],
           test="tracer.gomp"),
    Mutant("loop chunks: a combined loop's step not noted at its launch",
           TRACER + "gomp_entries.cpp",
           [("region.loop_step = std::get<3>(arguments);",
             "region.loop_step = 0 * std::get<3>(arguments);")], test="tracer.gomp"),
    Mutant("loop chunks: a body's loops all counted as its first", TRACER + "loops.cpp",
           [("? loop.order + 1 : 0;", "? loop.order : 0;")], test="tracer.gomp"),
    Mutant("loop chunks: the runtime schedule not resolved", TRACER + "gomp_loops.cpp",
           [("schedule == Schedule::runtime ? runtime_schedule",
             "schedule == Schedule::fixed ? runtime_schedule")], test="tracer.gomp"),
    Mutant("loop chunks: libomp's upper bound taken as past the chunk",
           TRACER + "kmp_dispatch.cpp",
           [("loop->upward ? last + 1 : last - 1", "loop->upward ? last : last")],
           test="tracer.ompt_dispatch"),
    Mutant("loop chunks: a thread's chunks read as its iterations",
           MODULES + "timeline/trace_lines.py",
           [("[pair[0] for pair in taken], [pair[1] for pair in taken]",
             "[pair[1] for pair in taken], [pair[0] for pair in taken]")],
           test="timeline.factors"),
    Mutant("time in MPI before the program's first mark kept", TRACER + "mpi_store.cpp",
           [("        in_mpi_marked.store(0, relaxed);\n", "")], test="timeline.mpi"),
    Mutant("the calls before the program's first mark replayed", TIMELINE + "mpi_match.py",
           [("            self.calls = self.calls[first:]", "            pass")],
           test="timeline.mpi"),
    Mutant("serialisation efficiency of the mean thread", TIMELINE + "efficiency.py",
           [('"serialisation_efficiency": ratio(most, ideal)',
             '"serialisation_efficiency": ratio(mean, ideal)')], test="timeline.factors"),
    Mutant("the clock's ticks counted twice", TRACER + "clock.cpp",
           [("(since * rate.scaled) >> rate_shift", "(since * rate.scaled) >> (rate_shift - 1)")],
           test="tracer.clock"),
    Mutant("a clock's anchor kept past its span", TRACER + "clock.cpp",
           [("rate.scaled == 0 || since >= rate.span_ticks", "rate.scaled == 0")],
           test="tracer.clock"),
    Mutant("the clock's rate taken from a baseline too short", TRACER + "clock.cpp",
           [("nanoseconds < rate_baseline ||", "nanoseconds < 1 ||")], test="tracer.clock"),
    Mutant("a wait too long for one event written as one", TRACER + "runtime_time.cpp",
           [("length >= 0 && length <= std::numeric_limits<std::int32_t>::max()",
             "length >= 0")], test="tracer.trace_read_back"),
    Mutant("a chunk of the table written whole, its empty places too", TRACER + "event_table.cpp",
           [("if (used < chunk || start + chunk >= counted_end) {",
             "if (start + chunk >= counted_end) {")], test="tracer.trace_read_back"),
    Mutant("a whole wait read as ending where it starts", TIMELINE + "trace_table.py",
           [("(end, time + thread / NANOSECONDS, tid, -1, region, link, site)",
             "(end, time, tid, -1, region, link, site)")],
           test="tracer.trace_read_back"),
    Mutant("a drawn span starts at its last task's start, not its first's",
           TIMELINE + "trace_table.py",
           [("            if start < begin:\n                begin = start\n", "")],
           test="watch_region.model", source_only=True),
    Mutant("spans ended inside a later one drawn beside it", TIMELINE + "trace_table.py",
           [("while kept and begin <= kept[-1][1] + gap:", "while False:")],
           test="watch_region.model", source_only=True),
    Mutant("spans a gap apart drawn apart", TIMELINE + "trace_table.py",
           [("if end is not None and begin <= end + gap:", "if end is not None and begin <= end:")],
           test="watch_region.model", source_only=True),
    Mutant("an MPI call site's function left unnamed", TRACER + "waits.cpp",
           [("        last = thread.sites_used++;\n        found->address = address;\n",
             "        last = thread.sites_used++;\n        function = nullptr;\n"
             "        found->address = address;\n")],
           test="timeline.otf2"),
    Mutant("a nonblocking collective not logged at its completion", TRACER + "mpi_abi.cpp",
           [("    if (result == MPI_SUCCESS) {\n        expect(request,",
             "    if (result == MPI_SUCCESS && false) {\n        expect(request,")],
           test="timeline.mpi"),
    Mutant("an MPICH program traced by the tracer for Open MPI", TIMELINE + "run.py",
           [('    variants = built.get("tracer_mpi") or {}', "    variants = {}")],
           test="timeline.mpich"),
    Mutant("an MPI launcher's MPI not read from its name", MODULES + "program.py",
           [('    if not runtimes & {"openmpi", "mpich"}:', "    if False:")],
           test="timeline.mpich"),
    Mutant("MPICH's Fortran entries timed beside the C entries they call", TRACER + "mpi_abi.cpp",
           [("const bool fortran_timed = false;", "const bool fortran_timed = true;")],
           test="tracer.mpi_mpich"),
    Mutant("a completion's request taken from the index before it", TRACER + "mpi_completions.cpp",
           [("            log(*index, *given);", "            log(*index - 1, *given);")],
           test="tracer.mpi_openmpi"),
    Mutant("a collective logged without its root", TRACER + "mpi_interposers.cpp",
           [("end_call(started, SITE, #name, comm_index(comm), ROOT(shape));",
             "end_call(started, SITE, #name, comm_index(comm), -1);")],
           test="tracer.mpi_openmpi"),
    Mutant("a two-sided call's receive logged with its tag as its source", TRACER + "mpi_abi.cpp",
           [("index, status.MPI_SOURCE, status.MPI_TAG);",
             "index, status.MPI_TAG, status.MPI_SOURCE);")],
           test="tracer.mpi_mpich"),
    Mutant("a process of the other MPI traced as the MPI built for", TRACER + "mpi_abi.cpp",
           [("        found = !any_loaded(own_libraries) && (own_library_known ||",
             "        found = own_libraries.empty() && (own_library_known ||")],
           test="timeline.mpich"),
    Mutant("an OTF2 collective operation named without its underscores",
           MODULES + "mpi_entries.py",
           [("    return op[4:].upper()", '    return op[4:].upper().replace("_", "")')],
           test="timeline.otf2"),
    Mutant("the MPI part's load balance over the initial threads", TIMELINE + "mpi.py",
           [("max((thread[\"useful\"] for thread in counted[number][\"useful\"]),\n"
             "                           default=0)",
             "counted[number][\"useful\"][0][\"useful\"]")],
           test="watch_region.model|timeline.mpi"),
    Mutant("a nonblocking collective matched as no collective", TIMELINE + "mpi_match.py",
           [("COLLECTIVES | POSTED.keys()}", "COLLECTIVES}")], test="timeline.mpi"),
    Mutant("libomp: a lock's request stops the thread's useful time at once",
           TRACER + "ompt_tool.cpp",
           [("    acquiring = now();\n}",
             "    acquiring = now();\n    enter_runtime(this_thread(), acquiring);\n}"),
            ("    RuntimeWait wait = begin_wait(thread, std::max(acquiring, thread.since));\n",
             "    leave_runtime(thread, acquiring);\n"
             "    RuntimeWait wait = begin_wait(thread, acquiring);\n")],
           killed_by=("clang",), test="timeline.factors"),
    Mutant("libomp: a task that waits for the task it runs ends there", TRACER + "ompt_tasks.cpp",
           [("        ended = !next_starts;", "        ended = true;")],
           test="tracer.ompt_tasks"),
    Mutant("libomp: a task's end leaves the thread out of the runtime it started in",
           TRACER + "runtime_time.h",
           [("    thread.depth = run.depth + 1;\n", "")], test="tracer.ompt_tasks"),
    Mutant("libomp: the next holder reads the clock before the last release is kept",
           TRACER + "ompt_tool.cpp",
           [("last_release(guard, taken)", "last_release(guard, !taken)")],
           test="tracer.ompt_hand_over"),
    Mutant("libomp: its own start is the program's time", TRACER + "ompt_tool.cpp",
           [("    enter_runtime(*starting, now());\n", "")], test="tracer.ompt_tasks"),
    Mutant("a region's events before its launch in the table dropped", TIMELINE + "regions.py",
           [("    get = regions.get\n    for name, time, tid, thread, number, _, _ in events:\n"
             "        region = get(number)\n",
             "    seen = set()\n    for name, time, tid, thread, number, _, _ in events:\n"
             "        seen.add(number) if name == 'launch' else None\n"
             "        region = regions.get(number) if number in seen else None\n")],
           test="watch_region.model"),
    Mutant("the slowest region's own events left out once the table kept its launch",
           TIMELINE + "regions.py",
           [("        events += [event for event in slowest if (\n"
             "            event.name, event.tid, event.region, event.time) not in kept]",
             "        events += [event for event in slowest if event.region not in wanted]")],
           test="watch_region.model"),
    Mutant("the tracer skips a wrapper without symbol versions", TRACER + "gomp_entries.cpp",
           [("    if (next != nullptr && next != address && !same_object(next, address)) {",
             "    if (next != nullptr && next == address && !same_object(next, address)) {")],
           test="timeline.own_programs"),
    Mutant("--merge reports to standard error", CLI,
           [("        return 1 if merging else 2", "        return 2")],
           test="timeline.own_programs"),
    Mutant("an unwritable --trace refused only after the run", CLI,
           [("        refused = None if path is None else outputs.refusal(form, path)",
             "        refused = None")], test="timeline.files"),
    Mutant("a stop not passed on to what the launcher left", MODULES + "process.py",
           [("        stop_all(descendants(os.getpid()), stopped.signum)", "        pass")],
           test="timeline.trust"),
    Mutant("a --trace-dir of another run taken without a word", TIMELINE + "trace_folder.py",
           [("    if (held or traces) and not add:", "    if False:")],
           test="timeline.own_programs"),
    Mutant("the ranks of one job each a run of its own", TIMELINE + "trace_folder.py",
           [("    launched = any(name in environment for name in RANK_VARIABLES)",
             "    launched = False")], test="timeline.own_programs"),
    Mutant("the waits at other sites never written", TRACER + "waits.cpp",
           [("for (const bool others : {false, true})", "for (const bool others : {false})")],
           test="tracer.waits"),
    Mutant("the waits past the other sites counted outside any region", TRACER + "waits.cpp",
           [("        region_site = untold_region;", "        region_site = -1;")],
           test="tracer.waits"),
    Mutant("the waits at other sites left out of the model", TIMELINE + "model.py",
           [("zip(trace.waits + trace.other_waits,", "zip(trace.waits,")],
           test="watch_region.model"),
    Mutant("the text's MPI calls not told apart by function", OUTPUTS + "text.py",
           [('lambda wait: wait.get("calls") or "(other calls)")', 'lambda wait: "MPI")')],
           test="watch_region.model"),
    Mutant("the text's messages matched given as its collectives", OUTPUTS + "text.py",
           [('["MPI matched: {messages} messages', '["MPI matched: {collectives} messages')],
           test="watch_region.model"),
    # The text read on an 80-column terminal, and the pages that say what it refuses.
    Mutant("the region's header one line, however wide", OUTPUTS + "chart.py",
           [("f\"{plural(model['threads_created'], 'thread')} created in it\", width)",
             "f\"{plural(model['threads_created'], 'thread')} created in it\", 10**6)")],
           test="watch_region.model"),
    Mutant("a table's columns kept however wide", OUTPUTS + "layout.py",
           [("        if max(len(line) for line in lines) <= width:\n            return lines\n",
             "        return lines\n")], test="watch_region.model"),
    Mutant("the gdb mode's table not fitted to the width", OUTPUTS + "gdb_table.py",
           [("        lines += fitted(rows, width)", "        lines += fitted(rows, 10**6)")],
           test="watch_region.model"),
    Mutant("every time in µs, however long", OUTPUTS + "layout.py",
           [('UNITS = ((1e6, "s", 2), (1e3, "ms", 2), (1, "µs", 1))', 'UNITS = ((1, "µs", 1),)')],
           test="watch_region.model"),
    Mutant("short names that clash left as they are", MODULES + "symbols.py",
           [("        if not clashing:", "        if True:")], test="watch_region.model"),
    Mutant("a rank's account silent about its rank", OUTPUTS + "text.py",
           [("    rank = f\", rank {rank['rank']} of {rank['size']}\" if rank else \"\"",
             "    rank = \"\"")], test="watch_region.model"),
    Mutant("--scaling lets --otf2 through", MODULES + "options.py",
           [("options.team is not None or options.trace or options.otf2\n",
             "options.team is not None or options.trace\n")],
           test="watch-region.manual_options", source_only=True),
    Mutant("the docs' --scaling refusals without --otf2", "docs/watch-region.md",
           [("`--merge`, `--trace`, `--otf2`, `--region`", "`--merge`, `--trace`, `--region`")],
           test="watch-region.manual_options", source_only=True),
    # One report in one shape: sites named one way, signals named, the gdb
    # mode's launches under their process.
    Mutant("a site's object named by its file, not its soname", MODULES + "symbols.py",
           [("    return (elf.soname() if elf is not None else None) or os.path.basename(path)",
             "    return os.path.basename(path)")], test="watch_region.model"),
    Mutant("a process's stopped_by left a number in the JSON", MODULES + "report.py",
           [("    stopped_by: Optional[int] = dataclasses.field(metadata=SIGNAL)",
             "    stopped_by: Optional[int] = dataclasses.field()")], test="watch_region.model"),
    Mutant("the report's microseconds a thousand times too small", MODULES + "report.py",
           [("    return nanoseconds / NANOSECONDS\n",
             "    return nanoseconds / NANOSECONDS / 1000\n")],
           test="watch_region.model"),
    Mutant("the gdb mode's launches numbered from 0", GDB_MODE + "runner.py",
           [("    for number, launch in enumerate(launches, start=1):",
             "    for number, launch in enumerate(launches):")],
           test="parallel_sum.region.team_1"),
    # Where the time goes: each site's body, its gain by cause and its
    # slowest thread, and the sentences that say them.
    Mutant("a launch's ideal time taken from its clock reading", TRACER + "regions.cpp",
           [("joined.all - region.launched.all", "joined.all - region.launch")],
           killed_by=("default", "clang"), test="timeline.factors"),
    Mutant("a launch's mean useful time over two threads, whatever the team",
           TRACER + "site_stats.cpp",
           [("sum / static_cast<std::uint64_t>(slots)", "sum / 2")], test="timeline.factors"),
    Mutant("a site's body forgotten by a launch that names none", TRACER + "site_stats.cpp",
           [("site.body = body != 0 ? body : site.body;", "site.body = body;")],
           test="tracer.trace_read_back"),
    Mutant("a site's body not kept", TRACER + "regions.cpp",
           [("reinterpret_cast<std::uintptr_t>(region.body)", "0")], test="timeline.factors"),
    Mutant("serialisation's gain from the mean useful time", TIMELINE + "efficiency.py",
           [('"serialisation": ideal - most,', '"serialisation": ideal - mean,')],
           test="timeline.factors"),
    Mutant("the process's largest useful time its initial thread's", TIMELINE + "efficiency.py",
           [("max(useful, default=0), counted[\"ideal_run_time\"])",
             "useful[0], counted[\"ideal_run_time\"])")], test="timeline.factors"),
    Mutant("a site's slowest thread its fastest", TIMELINE + "efficiency.py",
           [("useful.index(most)", "useful.index(min(useful))")], test="timeline.factors"),
    Mutant("a body named by the instruction before it", MODULES + "symbols.py",
           [("(1, answers) if returns else (0, outermost)", "(1, outermost)")],
           test="timeline.trust"),
    Mutant("a body's line that of the code inlined at its start", MODULES + "symbols.py",
           [("(1, answers) if returns else (0, outermost)",
             "(1, answers) if returns else (0, answers)")],
           test="timeline.trust"),
    Mutant("a body's call sites not grouped", OUTPUTS + "gains.py",
           [('return ("body", site.body) if site.body else ("site", site.site)',
             'return ("site", site.site)')], test="watch_region.model"),
    Mutant("where the time goes: the smallest gains first", OUTPUTS + "gains.py",
           [("said.sort(key=lambda gained: -gained[0])",
             "said.sort(key=lambda gained: gained[0])")],
           test="watch_region.model"),
    Mutant("an imbalance laid on one thread that each launch's slowest is not",
           OUTPUTS + "gains.py",
           [('if slowest["useful"] - mean >= gain["imbalance"] / 2:',
             'if slowest["useful"] - mean >= 0:')], test="watch_region.model"),
    Mutant("a body of no symbol not named by the function that launched it",
           OUTPUTS + "gains.py", [('if "!@0x" in body and function:', "if False:")],
           test="watch_region.model"),
    # The cores: the CPU each body started on, the moves, the CPUs allowed.
    Mutant("a thread's moves counted at every body start", TRACER + "waits.h",
           [("thread.last_cpu != 0 && thread.last_cpu != cpu + 1", "thread.last_cpu != 0")],
           test="tracer.trace_read_back"),
    Mutant("the CPU read with the time its node's number", TRACER + "clock.cpp",
           [("cpu = static_cast<int>(aux & cpu_bits);", "cpu = static_cast<int>(aux >> 12U);")],
           test="tracer.clock", needs="rdtscp"),
    Mutant("the CPUs allowed not read at load", TRACER + "waits.cpp",
           [("    read_allowed();\n    this_thread();", "    this_thread();")],
           test="tracer.trace_read_back"),
    Mutant("a body's CPU not counted", TRACER + "regions.cpp",
           [("    count_cpu(time, reading.cpu);\n", "")], test="timeline.cores"),
    Mutant("oversubscribed where the team only fills the CPUs", TIMELINE + "model.py",
           [('"oversubscribed": largest > len(allowed)',
             '"oversubscribed": largest >= len(allowed)')],
           test="timeline.cores"),
    Mutant("the threads' CPUs left out of the JSON", TIMELINE + "efficiency.py",
           [('"cpus": used.cpus or [],', '"cpus": [],')], test="timeline.cores"),
    Mutant("the text says oversubscribed wherever the CPUs are known", OUTPUTS + "text.py",
           [("    if model.oversubscribed:", "    if model.cpus_allowed:")], test="timeline.cores"),
    Mutant("repeats: a count's median their largest", TIMELINE + "repeat.py",
           [("return statistics.median_low(values)", "return max(values)")],
           test="watch_region.model"),
    Mutant("repeats: no spread where the runs differ", TIMELINE + "repeat.py",
           [("and figure(each[0]) and min(numbers) != max(numbers):", "and False:")],
           test="watch_region.model"),
    Mutant("repeats: call sites matched by their place, not their body", TIMELINE + "repeat.py",
           [('"call_sites": lambda sites: [site_key(site) for site in sites],',
             '"call_sites": lambda sites: list(range(len(sites))),')],
           test="watch_region.model"),
    Mutant("repeats: the longest run taken as the median run", TIMELINE + "repeat.py",
           [("middle = all_findings[order[(len(order) - 1) // 2]]",
             "middle = all_findings[order[-1]]")], test="watch_region.model"),
    Mutant("repeats: the exit status the first run's", TIMELINE + "repeat.py",
           [("return (failed or reports[-1:])[0]", "return reports[0]")],
           test="watch_region.model"),
    Mutant("repeats: a stop during a later run not reported", TIMELINE + "repeat.py",
           [("            return done, findings.report.stopped_by, at\n",
             "            return done, None, None\n")], test="timeline.scaling"),
    Mutant("repeats: --repeat 0 taken", MODULES + "options.py",
           [("options.repeat < 1", "options.repeat < 0")], test="timeline.scaling"),
    Mutant("repeats: the text's time in regions without its spread", OUTPUTS + "text.py",
           [("spread.get('time_in_regions')", "None")], test="watch_region.model"),
    Mutant("Karp-Flatt: divided by p, not by 1 - 1/p", TIMELINE + "scaling.py",
           [("/ (1 - 1 / relative)", "/ relative")], test="watch_region.model"),
    Mutant("Karp-Flatt: a region of little time named worst", TIMELINE + "scaling.py",
           [("return (int(minor), -max(fractions)[1])", "return (0, -max(fractions)[1])")],
           test="watch_region.model"),
    Mutant("Karp-Flatt: the region that scales best named first", TIMELINE + "scaling.py",
           [("return (int(minor), -max(fractions)[1])", "return (int(minor), max(fractions)[1])")],
           test="watch_region.model"),
    Mutant("Karp-Flatt: the regions' speedups not drawn", OUTPUTS + "svg.py",
           [("enumerate(sites[:DRAWN_REGIONS])", "enumerate(sites[:0])")],
           test="timeline.scaling"),
    # One clock for the run: the offsets measured, and every timeline moved by them.
    Mutant("a rank's clock offset of the wrong sign", TRACER + "mpi_clock.cpp",
           [("best = {middle, reading - middle, half};",
             "best = {middle, middle - reading, half};")],
           test="tracer.mpi_openmpi"),
    Mutant("the clock's round trips on MPI_COMM_WORLD", TRACER + "mpi_clock.cpp",
           [("send(&none, 0, type, 0, clock_tag, clock_comm)",
             "send(&none, 0, type, 0, clock_tag, world_comm())")], test="tracer.mpi_openmpi"),
    Mutant("no clock offset measured at MPI_Finalize", TRACER + "mpi_clock.cpp",
           [("void clock_at_finalize()\n{\n    measure();\n", "void clock_at_finalize()\n{\n")],
           test="tracer.mpi_openmpi"),
    Mutant("each rank's timeline on its own clock", TIMELINE + "clock.py",
           [("        return time + round(self.base + time * self.slope)", "        return time")],
           test="timeline.clocks"),
    Mutant("a clock's drift not followed", TIMELINE + "clock.py",
           [("if first and last.at != first.at else 0.0)", "if False else 0.0)")],
           test="watch_region.model"),
    Mutant("a process that is no rank on its node's clock", TIMELINE + "clock.py",
           [("on_host.get(trace.host) if", "None if")], test="watch_region.model"),
    Mutant("OTF2's messages looked up by their own clock's entry", OUTPUTS + "otf2_plan.py",
           [("logged.setdefault((call.tid, trace.clock(call.entry)), [])",
             "logged.setdefault((call.tid, call.entry), [])")], test="timeline.clocks"),
    Mutant("--trace refused where MPI calls were timed and no region", OUTPUTS + "trace_event.py",
           [("model.region or model.mpi for model", "model.region for model")],
           test="timeline.clocks"),
    # What a run ran on, and two runs compared.
    Mutant("ran on: the tracer's runtime line never written", TRACER + "trace_file.cpp",
           [("runtime_address.load(); runtime != 0)", "runtime_address.load(); runtime == 1)")],
           test="timeline.compare"),
    Mutant("ran on: libgomp's own variables not settings", MODULES + "ran_on.py",
           [('SETTING_PREFIXES = ("OMP_", "GOMP_", "KMP_")',
             'SETTING_PREFIXES = ("OMP_", "KMP_")')], test="timeline.compare"),
    Mutant("ran on: the gdb mode's runtime not kept", RECORDER,
           [("self.entries_placed, self.runtime_path = True, runtime",
             "self.entries_placed = True")], test="watch_region.table"),
    Mutant("compare: the noise ignored", MODULES + "compare/gate.py",
           [('said["outside_noise"] = high[0] > low[1] or high[1] < low[0]',
             'said["outside_noise"] = True')], test="watch_region.compare_model"),
    Mutant("compare: a single run taken as noiseless", MODULES + "compare/gate.py",
           [("high = high or scaled(low, base.value, new.value)",
             "high = high or [new.value, new.value]")], test="watch_region.compare_model"),
    Mutant("compare: the gate at half its percentage", MODULES + "compare/gate.py",
           [('said["change"] > percent', 'said["change"] > percent / 2')],
           test="watch_region.compare_model"),
    Mutant("compare: the gate's failure not the status", CLI,
           [('return compared["status"] if', "return 0 if")], test="timeline.compare"),
    Mutant("compare: regions matched by address", MODULES + "compare/reading.py",
           [('return ("body", site["body"], site.get("body_source"))',
             'return ("body", site["site"], site.get("body_source"))')],
           test="watch_region.compare_model"),
    Mutant("compare: regions without a body matched by address", MODULES + "compare/reading.py",
           [('return ("site", site.get("function"), site.get("source"))',
             'return ("site", site.get("site"), site.get("source"))')],
           test="watch_region.compare_model"),
    Mutant("compare: a body one runtime names not matched by its sites",
           MODULES + "compare/gate.py", [("if old[sites][0] != new[sites][0])", "if False)")],
           test="watch_region.compare_model"),
    Mutant("compare: programs matched by path", MODULES + "compare/reading.py",
           [('os.path.basename(process.get("program") or "?")', 'process.get("program") or "?"')],
           test="timeline.compare"),
    Mutant("compare: MPI ranks not told apart", MODULES + "compare/reading.py",
           [('rank = (process.get("mpi") or {}).get("rank")', "rank = None")],
           test="watch_region.compare_model"),
    Mutant("compare: only the settings both runs have compared", MODULES + "compare/gate.py",
           [('set(base["environment"]) | set(new["environment"])',
             'set(base["environment"]) & set(new["environment"])')],
           test="watch_region.compare_model"),
    Mutant("spans the gap apart drawn apart", TRACER + "region_spans.cpp",
           [("merged.start <= spans[left - 1].end + gap",
             "merged.start < spans[left - 1].end + gap")],
           test="tracer.merged_spans"),
    Mutant("the slowest region's spans written over by the next", TRACER + "region_spans.cpp",
           [("held != 0 && held == slowest.load(relaxed)",
             "held != 0 && held != slowest.load(relaxed)")],
           test="tracer.slowest_spans"),
    Mutant("a join told after the exit kept apart", TRACER + "region_spans.cpp",
           [("spans->join != 0 && spans->join <= until",
             "spans->join != 0 && (spans->join <= until || until > 0)")],
           test="tracer.slowest_spans"),
    Mutant("the table's events after the exit kept", TRACER + "event_table.cpp",
           [(" &&\n               records[start + used].time <= until",
             " &&\n               (records[start + used].time <= until || until > 0)")],
           test="tracer.table_full"),
    Mutant("a region inside another takes its thread's spans", TRACER + "regions.cpp",
           [("    if (depth == 0) {\n        spans_begin(",
             "    if (depth >= 0) {\n        spans_begin(")],
           test="tracer.slowest_spans"),
    Mutant("a report's run fills the table", TIMELINE + "run.py",
           [('return (options.keep or "first") if asked else "report"',
             'return options.keep or "first"')],
           test="timeline.kept_apart"),
    Mutant("the slowest region's spans kept apart, unmerged", TIMELINE + "trace_table.py",
           [('[event.time for event in held], [microseconds(event.thread) for event in held],\n'
             '                gap)]',
             '[event.time for event in held], [microseconds(event.thread) for event in held],\n'
             '                0)]')],
           test="timeline.kept_apart"),
    Mutant("a region under way as the process ends not written", TRACER + "regions.cpp",
           [("open = under_way.load(); open != nullptr", "open = under_way.load(); false")],
           test="timeline.trust"),
    Mutant("a barrier left read from the useful time at its clock's read", TRACER + "waits.h",
           [("met.all - thread.useful_at_meeting.all", "met.all - thread.useful.all")],
           test="tracer.waits"),
]


# Two trees, each building or testing one mutant at a time, keep the two
# cores busy and run no more than two things at once: their ctest runs one
# test at a time. The package's tests install it on this machine, so only
# one tree at a time runs them.
TREES = 2
MACHINE_WIDE = threading.Lock()


# The mutants' builds optimise the tracer's files one by one: a rebuild
# after a change to one of them takes a quarter of the time.
MUTANT_OPTIONS = ["-DREGION_TRACER_WHOLE=OFF"]


def run(command, cwd):
    return subprocess.run(command, cwd=cwd, capture_output=True, text=True, check=False)


def main():
    source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    words = sys.argv[1:]
    mutants = [m for m in MUTANTS if not words or any(word in m.name for word in words)]
    for mutant in [m for m in mutants if m.needs and not processor_has(m.needs)]:
        print(f"skipped  {mutant.name}: this processor has no {mutant.needs}", flush=True)
        mutants.remove(mutant)
    suites = sorted({suite for mutant in mutants for suite in mutant.killed_by})
    pending = queue.Queue()
    for mutant in mutants:
        pending.put(mutant)
    survivors, tried, unconfigured = [], [], []

    def work(number):
        tree = os.path.join(source, "build", "mutants", f"tree{number}")
        shutil.rmtree(tree, ignore_errors=True)
        shutil.copytree(source, tree, ignore=lambda folder, names:
                        {"build", ".git"} & set(names) if folder == source else set())
        for suite in suites:
            configure = run(["cmake", "--preset", suite, *MUTANT_OPTIONS], tree)
            if configure.returncode != 0:
                unconfigured.append(f"cannot configure the {suite} build:\n"
                                    f"{configure.stdout}{configure.stderr}")
                return
        while not unconfigured:
            try:
                mutant = pending.get_nowait()
            except queue.Empty:
                return
            survivors.extend(mutate(tree, mutant))
            tried.append(mutant)

    workers = [threading.Thread(target=work, args=(number,), daemon=True)
               for number in range(min(TREES, len(mutants)))]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    if unconfigured:
        sys.exit(unconfigured[0])
    if len(tried) != len(mutants):  # a worker stopped by an exception, which it printed
        sys.exit(f"{len(mutants) - len(tried)} rows were not tried")
    if survivors:
        print(f"\nnot killed: {', '.join(survivors)}")
        return 1
    print(f"\nall {len(mutants)} mutants killed")
    return 0


def mutate(tree, mutant):
    """Applies MUTANT in TREE, runs each of its suites against it and puts
    the file back; returns the names of the suites it survived."""
    name, suites, path, changes = mutant.name, mutant.killed_by, mutant.file, mutant.changes
    survivors = []
    original = open(os.path.join(tree, path), encoding="utf-8").read()
    mutated = original
    for text, replacement in changes:
        if mutated.count(text) != 1:
            print(f"BROKEN  {name}: {path} does not hold this text exactly once: {text!r}",
                  flush=True)
            return [name]
        mutated = mutated.replace(text, replacement)
    with open(os.path.join(tree, path), "w", encoding="utf-8") as target:
        target.write(mutated)
    for suite in suites:
        started = time.monotonic()
        verdict = killer(tree, suite, mutant.test, configure=path == PRESETS,
                         source_only=mutant.source_only)
        if verdict == "":
            survivors.append(f"{name} ({suite})")
            print(f"BROKEN  {name}: the mutant does not build, so it tests nothing", flush=True)
        elif verdict is None:
            survivors.append(f"{name} ({suite})")
            print(f"SURVIVED  {name}: the whole {suite} suite passed", flush=True)
        else:
            took = time.monotonic() - started
            print(f"killed  {name}  by {verdict} ({suite}, {took:.0f} s)", flush=True)
    with open(os.path.join(tree, path), "w", encoding="utf-8") as target:
        target.write(original)
    # A build keeps the cache a preset gave it until configured again.
    if path == PRESETS:
        for suite in suites:
            run(["cmake", "--preset", suite, *MUTANT_OPTIONS], tree)
    return survivors


def killer(tree, suite, suspects, configure, source_only):
    """Builds the mutant (configuring it first if CONFIGURE), runs the tests
    SUSPECTS names (before the build if SOURCE_ONLY: they read the source
    alone), then, if they pass, the whole suite up to its first failure;
    returns what failed, None when everything passed, or "" when it does not
    build."""
    if configure and run(["cmake", "--preset", suite, *MUTANT_OPTIONS], tree).returncode != 0:
        return ""
    if not source_only and run(["cmake", "--build", "--preset", suite], tree).returncode != 0:
        return ""
    if suspects:
        pattern = "^(" + suspects.replace(".", "\\.") + ")$"
        with MACHINE_WIDE if "package" in suspects else contextlib.nullcontext():
            test = run(["ctest", "--preset", suite, "--parallel", "1", "--no-tests=ignore",
                        "--tests-regex", pattern], tree)
        if test.returncode != 0:
            return verdict_of(test)
        print(f"  ({suspects} let it through in the {suite} suite: the whole suite runs)",
              flush=True)
    if source_only and run(["cmake", "--build", "--preset", suite], tree).returncode != 0:
        return ""
    with MACHINE_WIDE:
        test = run(["ctest", "--preset", suite, "--parallel", "1", "--stop-on-failure"], tree)
    return None if test.returncode == 0 else verdict_of(test)


def verdict_of(test):
    failed = re.findall(r"^\s*\d+ - (\S+) \(", test.stdout, re.MULTILINE)
    return "test " + ", ".join(failed) if failed else "ctest (exit %d)" % test.returncode


if __name__ == "__main__":
    sys.exit(main())
