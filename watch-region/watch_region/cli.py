"""The command line: runs a program once, as it would run alone, and reports
what its OpenMP parallel regions did on standard error (or in the file that
-o names), then exits with the program's status.

Under gdb (the default): how libgomp's GOMP_parallel was called, what every
team thread asked the runtime and was told, how often it ran the region body
and what it added atomically to the shared total. With --timeline, at full
speed with the region tracer preloaded into every process of the run: every
team each process started, by call site, and one region whole.
"""

import argparse
import json
import os
import signal
import sys
import tempfile

from . import process, program, render_chart, render_svg, render_trace
from .gdb_mode import runner, table
from .errors import (CANNOT_WATCH, NOT_EXECUTABLE, NOT_FOUND, USAGE, WRITE_ERROR, CannotWatch,
                     Stopped)
from .model import process_model
from .trace import TraceError, read_trace

NAME = "watch-region"
STOPPING_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)

EPILOG = f"""\
The program's standard input, output and error are the caller's; the report
goes to standard error, or to FILE with -o.

exit status:
  the program's own exit status, or 128+N when signal N killed it;
  {WRITE_ERROR}    the report could not be written
  {USAGE}    usage error
  {CANNOT_WATCH}  the run could not be watched: gdb or the tracer is missing or
       failed, or (under gdb) the program or this machine is not x86-64 ELF
  {NOT_EXECUTABLE}  PROGRAM is a directory or not executable
  {NOT_FOUND}  PROGRAM is not found (a name without a slash is looked up on PATH)
  128+N  watch-region itself was stopped by signal N (SIGINT, SIGTERM or
       SIGHUP); what it started is ended first
  with --timeline, 1 also when the --trace or --svg file cannot be written

See watch-region(1)."""


def team_origin(environment, team):
    if team is not None:
        return f"OMP_NUM_THREADS={team} (--team)"
    if "OMP_NUM_THREADS" in environment:
        return f"OMP_NUM_THREADS={environment['OMP_NUM_THREADS']} (environment)"
    return "OMP_NUM_THREADS unset: the runtime's default"


def outcome(report):
    if report.get("signal"):
        return f"killed by signal {report['signal']}"
    return f"exit status: {report['exit_status']}"


def timeline_text(report, name):
    lines = [f"{name}, {report['team_origin']}" if name else "merged traces"]
    if report.get("no_trace"):
        lines.append(f"no timeline: {report['no_trace']}")
    shown = [each for each in report["processes"] if each["regions"]]
    for traced in shown:
        lines += render_chart.process_summary(traced)
        if traced["region"] is None:
            lines.append(f"region {report['chosen_region']} was not kept; the regions kept are "
                         f"{render_chart.number_ranges(traced['region_numbers'])}")
        else:
            lines.append(render_chart.chart(traced["region"]).rstrip("\n"))
            if report["chosen_region"] is None and traced["regions"] > 1:
                lines.append(f"(region {traced['region']['region']} is the slowest of "
                             f"{traced['regions']}; --region N shows another)")
    if report["processes"] and not shown:
        lines.append("no parallel region: the runtime never started one")
    others = len(report["processes"]) - len(shown)
    if shown and others:
        lines.append(f"{render_chart.plural(others, 'other process')} of the run started no team")
    if report.get("still_running"):
        lines.append("still running when the program ended: "
                     + ", ".join(f"process {pid}" for pid in report["still_running"]))
    if "exit_status" in report:
        lines.append(outcome(report))
    return "\n".join(lines) + "\n"


def find_tracer(named, built, runtimes):
    """The tracer library: the one named with --tracer, or the one built with
    this watch-region, which must have a half for each runtime the program
    needs."""
    if named is not None:
        if not os.path.isfile(named):
            raise CannotWatch(CANNOT_WATCH, f"no region tracer at {named}")
        return os.path.abspath(named)
    if not os.path.isfile(built["tracer"]):
        raise CannotWatch(CANNOT_WATCH, f"no region tracer at {built['tracer']}: build it, "
                          "or name one with --tracer")
    if "libomp" in runtimes and "libomp" not in built["tracer_runtimes"]:
        raise CannotWatch(CANNOT_WATCH, "the program uses LLVM's libomp, and this tracer was "
                          "built without its half for it (no omp-tools.h: libomp-dev); "
                          "name one with --tracer")
    return built["tracer"]


def read_traces(folder, chosen):
    """The models of the traces in FOLDER, one per process, in the order the
    processes were started, and the traces themselves."""
    report = {"processes": [], "chosen_region": chosen}
    traces = []
    names = sorted((name for name in os.listdir(folder) if name.endswith(".trace")),
                   key=lambda name: int(name.split(".")[0]) if name.split(".")[0].isdigit() else 0)
    for name in names:
        try:
            trace = read_trace(os.path.join(folder, name))
        except TraceError as error:
            report.setdefault("unreadable", []).append(str(error))
            continue
        traces.append(trace)
        report["processes"].append(process_model(trace, chosen))
    if not traces:
        report["no_trace"] = ("the tracer wrote no trace: the program did not end through exit, "
                              "or is not dynamically linked")
    return report, traces


def write_timeline_files(report, traces, options, title):
    """Writes --trace and --svg; returns False after saying why one failed."""
    with_region = [each for each in report["processes"] if each["region"]]
    shown = with_region[0]["region"] if with_region else None
    written = True
    for path, write in ((options.trace, lambda path: render_trace.write_trace(
                            traces, report["processes"], path)),
                        (options.svg, lambda path: render_svg.write_svg(shown, path, title))):
        if path is None:
            continue
        try:
            if shown is None or not shown["threads"]:
                raise OSError("no region was timed")
            write(path)
        except OSError as error:
            print(f"{NAME}: {path}: {error.strerror or error}", file=sys.stderr)
            written = False
    return written


def write_report(text, destination):
    """Writes TEXT to DESTINATION, a descriptor; a write that fails is
    reported."""
    data = text.encode()
    try:
        while data:
            data = data[os.write(destination, data):]
    except OSError as error:
        print(f"{NAME}: write error: {os.strerror(error.errno)}", file=sys.stderr)
        return False
    return True


def parse_arguments(version):
    parser = argparse.ArgumentParser(
        prog=NAME, epilog=EPILOG, formatter_class=argparse.RawDescriptionHelpFormatter,
        usage="%(prog)s [options] PROGRAM [ARG...]\n       %(prog)s --merge DIR [options]",
        description="Run PROGRAM once and show what its OpenMP parallel regions did: under gdb, "
        "or with --timeline at full speed with the region tracer.")
    parser.add_argument("--team", type=int, metavar="N",
                        help="run with OMP_NUM_THREADS=N; else the environment's as it is")
    parser.add_argument("--json", action="store_true", help="write the findings as JSON")
    parser.add_argument("-o", "--output", metavar="FILE",
                        help="write the report to FILE, not to standard error")
    parser.add_argument("--timeline", action="store_true",
                        help="run at full speed with the region tracer in every process of the "
                             "run, and show every team it started and one region whole")
    parser.add_argument("--trace", metavar="FILE.json",
                        help="with --timeline: also write the Trace Event Format (Perfetto)")
    parser.add_argument("--svg", metavar="FILE.svg",
                        help="with --timeline: also draw the region shown with gnuplot")
    parser.add_argument("--region", type=int, metavar="N",
                        help="with --timeline: show region N (numbered in launch order) rather "
                             "than the slowest")
    parser.add_argument("--trace-dir", metavar="DIR",
                        help="with --timeline: keep each process's trace in DIR (made if need "
                             "be), which may be shared by the nodes of a run")
    parser.add_argument("--merge", metavar="DIR",
                        help="report on the traces in DIR, left by --trace-dir; run nothing")
    parser.add_argument("--tracer", metavar="LIB",
                        help="with --timeline: the tracer library (default: the one installed "
                             "with watch-region)")
    parser.add_argument("--version", action="version", version=f"{NAME} (fork-join) {version}")
    parser.add_argument("program", metavar="PROGRAM", nargs="?",
                        help="the program; a name without a slash is looked up on PATH")
    parser.add_argument("args", metavar="ARG", nargs=argparse.REMAINDER,
                        help="the program's arguments")
    options = parser.parse_args()
    if options.merge is not None:
        options.timeline = True
        if options.program is not None or options.trace_dir or options.team or options.tracer:
            parser.error("--merge takes no PROGRAM, --trace-dir, --team or --tracer")
    elif options.program is None:
        parser.error("PROGRAM is missing")
    if options.team is not None and options.team < 1:
        parser.error("--team must be at least 1")
    if not options.timeline and (options.trace or options.svg or options.tracer
                                 or options.region is not None or options.trace_dir):
        parser.error("--trace, --svg, --tracer, --region and --trace-dir go with --timeline")
    if options.region is not None and options.region < 1:
        parser.error("--region must be at least 1")
    return options


def open_output(path):
    """The descriptor the report goes to: standard error, or PATH, opened
    before the program runs so that a path that cannot be written is told
    at once."""
    if path is None:
        return 2
    try:
        return os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o666)
    except OSError as error:
        raise CannotWatch(WRITE_ERROR, f"{path}: {error.strerror}") from None


def traced_run(options, closed, built, environment, path):
    """Runs PATH with the tracer; returns the report and the traces."""
    tracer = find_tracer(options.tracer, built, program.runtimes_of(path, environment))
    if options.trace_dir is not None:
        try:
            os.makedirs(options.trace_dir, exist_ok=True)
        except OSError as error:
            raise CannotWatch(CANNOT_WATCH, f"{options.trace_dir}: {error.strerror}") from None
        folder = os.path.abspath(options.trace_dir)
        status, number, running = process.run_traced(path, options.args, environment, closed,
                                                     folder, tracer)
        report, traces = read_traces(folder, options.region)
    else:
        # Traces are written at each process's exit, which costs the run less
        # in memory than on a disk.
        in_memory = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
        with tempfile.TemporaryDirectory(prefix=f"{NAME}.", dir=in_memory) as folder:
            status, number, running = process.run_traced(path, options.args, environment,
                                                         closed, folder, tracer)
            report, traces = read_traces(folder, options.region)
    report.update(exit_status=status, signal_number=number, still_running=running)
    return report, traces


def watch(options, closed, built):
    """Watches one run, or merges the traces of one; returns watch-region's
    exit status."""
    destination = open_output(options.output)
    environment = process.caller_environment()
    if options.team is not None:
        environment["OMP_NUM_THREADS"] = str(options.team)
    name, traces = None, []
    if options.merge is not None:
        if not os.path.isdir(options.merge):
            raise CannotWatch(NOT_FOUND, f"{options.merge}: No such directory")
        report, traces = read_traces(options.merge, options.region)
    else:
        path = program.find_program(options.program, elf_only=not options.timeline)
        name = os.path.basename(path)
        if options.timeline:
            report, traces = traced_run(options, closed, built, environment, path)
        else:
            runtimes = program.runtimes_of(path, environment)
            if "libomp" in runtimes and "libgomp" not in runtimes:
                raise CannotWatch(CANNOT_WATCH, f"{options.program} uses LLVM's libomp: this "
                                  "mode watches libgomp's entries; --timeline watches both")
            with tempfile.TemporaryDirectory(prefix=f"{NAME}.") as work:
                report = runner.run_under_gdb(path, [options.program, *options.args],
                                              environment, closed, work)
        report["team_origin"] = team_origin(environment, options.team)
    number = report.pop("signal_number", None)
    if "exit_status" in report:
        report["signal"] = signal.Signals(number).name if number is not None else None
    if options.json:
        text = json.dumps(report, indent=1) + "\n"
    else:
        text = (timeline_text if options.timeline else table.table_text)(report, name)
    files_written = True
    if options.timeline:
        title = (f"{name or 'merged'}, {report.get('team_origin', '')}, OMP_WAIT_POLICY="
                 + environment.get("OMP_WAIT_POLICY", "unset"))
        files_written = write_timeline_files(report, traces, options, title)
    if not write_report(text, destination) or not files_written:
        return WRITE_ERROR
    if options.merge is not None:
        return 0
    return 128 + number if number is not None else report["exit_status"]


def main(version, tracer, tracer_runtimes):
    """watch-region's entry: VERSION is the release's, TRACER the tracer
    library built with it, TRACER_RUNTIMES the runtimes it has a half for."""
    def stop(signum, _frame):
        for each in STOPPING_SIGNALS:
            signal.signal(each, signal.SIG_IGN)
        raise Stopped(signum)

    # A standard stream that is closed stays closed for the program and fails
    # watch-region's own writes; its number is held by a descriptor open the
    # other way, so that no file opened here takes it.
    closed = set()
    for fd, direction in ((0, os.O_WRONLY), (1, os.O_RDONLY), (2, os.O_RDONLY)):
        try:
            os.fstat(fd)
        except OSError:
            closed.add(fd)
            os.open("/dev/null", direction)
    options = parse_arguments(version)
    for signum in STOPPING_SIGNALS:
        signal.signal(signum, stop)
    try:
        built = {"tracer": tracer, "tracer_runtimes": tracer_runtimes.split()}
        return watch(options, closed, built)
    except CannotWatch as error:
        print(f"{NAME}: {error}", file=sys.stderr)
        return error.status
    except Stopped as stopped:
        return 128 + stopped.signum
