"""Options and dispatch: runs a program once, as it would run alone, in the
mode asked for (under gdb, or with --timeline traced), or once per team
size of a --scaling series, or merges the traces of a run; writes the
findings in the forms asked for (outputs) and exits with the program's
status."""

import argparse
import os
import signal
import sys
import tempfile

from . import outputs, process, program
from .errors import (CANNOT_WATCH, NOT_EXECUTABLE, NOT_FOUND, USAGE, WRITE_ERROR, CannotWatch,
                     Stopped)
from .outputs import Findings
from .outputs.chart import plural
from .outputs.factors import FACTORS
from .timeline import run

NAME = "watch-region"
STOPPING_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
FACTOR_KEYS = [key for key, *_ in FACTORS]
# The tracer's table of events holds at most this many.
MAX_EVENTS = 1 << 18

EPILOG = f"""\
The program's standard input, output and error are the caller's; the report
goes to standard error (to standard output with --merge, where no program
runs), or to FILE with -o. A --trace, --svg or --otf2 path that could not be
written is refused before the program starts.

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
  with --timeline, 1 also when the --trace or --svg file or the --otf2
       archive cannot be written (before the run where it can be told)
  with --scaling, the status of the last run, unless a run failed (exited
       other than 0, or was killed): then the first failed run's

See watch-region(1)."""


def team_origin(environment, team, scaling=None):
    if scaling is not None:
        return f"OMP_NUM_THREADS={','.join(str(size) for size in scaling)} (--scaling)"
    if team is not None:
        return f"OMP_NUM_THREADS={team} (--team)"
    if "OMP_NUM_THREADS" in environment:
        return f"OMP_NUM_THREADS={environment['OMP_NUM_THREADS']} (environment)"
    return "OMP_NUM_THREADS unset: the runtime's default"


def team_sizes(text):
    """--scaling's list: team sizes of at least 1, each once."""
    sizes = [each.strip() for each in text.split(",")]
    if not all(each.isascii() and each.isdigit() and int(each) >= 1 for each in sizes):
        raise argparse.ArgumentTypeError(f"'{text}': team sizes are numbers from 1, "
                                         "separated by commas")
    sizes = [int(each) for each in sizes]
    if len(set(sizes)) != len(sizes):
        raise argparse.ArgumentTypeError(f"'{text}': a team size is given twice")
    return sizes


def coloured(destination, environment):
    """Whether a text to DESTINATION may be coloured: a terminal, unless
    NO_COLOR is set to anything but empty (https://no-color.org)."""
    return os.isatty(destination) and not environment.get("NO_COLOR")


def text_width(destination):
    """The columns the text report may take: a terminal's width, else 120."""
    try:
        return max(os.get_terminal_size(destination).columns, 80)
    except OSError:
        return 120


def write_file(path, form, findings):
    """Writes FINDINGS in FORM to PATH (a folder for a form of FOLDERS), if
    asked for; returns False after saying why it could not."""
    if path is None:
        return True
    try:
        if form in outputs.FOLDERS:
            outputs.write(form, findings, path)
        else:
            text = outputs.render(form, findings)
            with open(path, "w", encoding="utf-8") as file:
                file.write(text)
    except OSError as error:
        print(f"{NAME}: {path}: {error.strerror or error}", file=sys.stderr)
        return False
    return True


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
    parser.add_argument("--scaling", type=team_sizes, metavar="N,N,...",
                        help="with --timeline: run once per team size (OMP_NUM_THREADS), and "
                             "show the run time, speedup over the first and model factors of "
                             "each; --svg draws them")
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
    parser.add_argument("--otf2", metavar="DIR",
                        help="with --timeline: also write the run as an OTF2 archive, "
                             "DIR/traces.otf2 (DIR made if need be; python3-otf2)")
    parser.add_argument("--region", type=int, metavar="N",
                        help="with --timeline: show region N (numbered in launch order) rather "
                             "than the slowest")
    parser.add_argument("--trace-dir", metavar="DIR",
                        help="with --timeline: keep each process's trace in DIR (made if need "
                             "be), which may be shared by the nodes of a run")
    parser.add_argument("--add", action="store_true",
                        help="with --trace-dir: add this run's traces to a folder that holds "
                             "another run's")
    parser.add_argument("--run-id", metavar="ID",
                        help="with --trace-dir: the run's identity, shared by the watch-regions "
                             "that trace one job's ranks into one folder (default: the job's, "
                             "from the launcher's environment)")
    parser.add_argument("--merge", metavar="DIR",
                        help="report on the traces in DIR, left by --trace-dir; run nothing")
    parser.add_argument("--keep", choices=("first", "last", "slowest"), default="first",
                        help="with --timeline, when the tracer's table of events fills: keep the "
                             "first events (the default), the last, or the slowest regions whole")
    parser.add_argument("--events", type=int, metavar="N",
                        help=f"with --timeline: the table's size, at most {MAX_EVENTS} events "
                             "(the default)")
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
        if (options.program is not None or options.trace_dir or options.team or options.tracer
                or options.scaling):
            parser.error("--merge takes no PROGRAM, --trace-dir, --team, --scaling or --tracer")
    elif options.program is None:
        parser.error("PROGRAM is missing")
    if options.team is not None and options.team < 1:
        parser.error("--team must be at least 1")
    if options.events is not None and not 1 <= options.events <= MAX_EVENTS:
        parser.error(f"--events must be from 1 to {MAX_EVENTS}")
    if not options.timeline and (options.trace or options.svg or options.otf2 or options.tracer
                                 or options.region is not None or options.trace_dir
                                 or options.keep != "first" or options.events is not None
                                 or options.scaling):
        parser.error("--trace, --svg, --otf2, --tracer, --region, --trace-dir, --keep, --events "
                     "and --scaling go with --timeline")
    if (options.add or options.run_id) and not options.trace_dir:
        parser.error("--add and --run-id go with --trace-dir")
    if options.scaling and (options.team is not None or options.trace or options.otf2
                            or options.region is not None or options.trace_dir):
        parser.error("--scaling takes no --team, --merge, --trace, --otf2, --region or "
                     "--trace-dir")
    if options.region is not None and options.region < 1:
        parser.error("--region must be at least 1")
    return parser, options


def open_output(path, merging=False):
    """The descriptor the report goes to: standard error beside a program's
    own output, standard output where no program runs (MERGING), or PATH,
    opened before the program runs so that a path that cannot be written is
    told at once."""
    if path is None:
        return 1 if merging else 2
    try:
        return os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_CLOEXEC, 0o666)
    except OSError as error:
        raise CannotWatch(WRITE_ERROR, f"{path}: {error.strerror}") from None


def run_program(options, closed, built, environment):
    """Runs the program once, in the mode asked for; returns its findings."""
    path = program.find_program(options.program, elf_only=not options.timeline)
    name = os.path.basename(path)
    # The program sees the name it was called by; only the path run is found.
    argv = [options.program, *options.args]
    runtimes = program.runtimes_of(path, environment)
    if options.timeline:
        report, traces = run.traced_run(options, argv, closed, built, environment, path,
                                        runtimes)
    else:
        if "libomp" in runtimes and "libgomp" not in runtimes:
            raise CannotWatch(CANNOT_WATCH, f"{options.program} uses LLVM's libomp: this "
                              "mode watches libgomp's entries; --timeline watches both")
        from .gdb_mode import runner  # pylint: disable=import-outside-toplevel
        with tempfile.TemporaryDirectory(prefix=f"{NAME}.") as work:
            report = runner.run_under_gdb(path, argv, environment, closed, work)
        traces = []
    report["team_origin"] = team_origin(environment, options.team)
    return Findings("timeline" if options.timeline else "gdb", report, name, traces)


def scaling_entry(team, report):
    """One run of a series: its team size, its run time (the longest
    interval of its processes), and its model factors."""
    intervals = [each["interval"] for each in report["processes"]
                 if each.get("interval") is not None]
    return {"team": team, "run_time": max(intervals, default=None), "speedup": None,
            "model_factors": report.get("model_factors") or dict.fromkeys(FACTOR_KEYS),
            "exit_status": report["exit_status"], "signal_number": report["signal_number"]}


def run_series(options, closed, built, environment):
    """Runs the program once per team size of --scaling, until a stop signal;
    returns the findings: a table of the runs, and the exit status of the
    last run, or of the first that failed."""
    runs, report = [], {"team_origin": team_origin(environment, None, options.scaling)}
    name = None
    for team in options.scaling:
        try:
            findings = run_program(options, closed, built,
                                   {**environment, "OMP_NUM_THREADS": str(team)})
        except Stopped as stopped:
            report.update(stopped_by=stopped.signum, stopped_during=team)
            break
        name = findings.name
        if findings.report.get("stopped_by") is not None:
            report.update(stopped_by=findings.report["stopped_by"], stopped_during=team)
            break
        runs.append(scaling_entry(team, findings.report))
    base = runs[0]["run_time"] if runs else None
    for each in runs:
        if base and each["run_time"]:
            each["speedup"] = base / each["run_time"]
    failed = [each for each in runs if each["exit_status"] != 0]
    if runs:
        deciding = (failed or runs[-1:])[0]
        report.update(exit_status=deciding["exit_status"],
                      signal_number=deciding["signal_number"], status_of=deciding["team"])
    for each in runs:
        number = each.pop("signal_number")
        each["signal"] = signal.Signals(number).name if number is not None else None
    report["scaling"] = runs
    return Findings("scaling", report, name or os.path.basename(options.program))


def check_region(parser, options, report):
    """--region N past the last region of every process is a usage error."""
    launched = max((each["regions"] for each in report.get("processes", [])), default=0)
    if options.region is not None and report.get("processes") and options.region > launched:
        parser.error(f"--region {options.region}: the run launched "
                     f"{plural(launched, 'region')}")


def watch(parser, options, closed, built):
    """Watches one run, or merges the traces of one; returns watch-region's
    exit status."""
    destination = open_output(options.output, options.merge is not None)
    for path, form in ((options.trace, "trace"), (options.svg, "svg"), (options.otf2, "otf2")):
        refused = None if path is None else outputs.refusal(form, path)
        if refused is not None:
            raise CannotWatch(WRITE_ERROR, f"{path}: {refused}")
    environment = process.caller_environment()
    colour = coloured(destination, environment)
    if options.team is not None:
        environment["OMP_NUM_THREADS"] = str(options.team)
    if options.merge is not None:
        if not os.path.isdir(options.merge):
            raise CannotWatch(NOT_FOUND, f"{options.merge}: No such directory")
        report, traces = run.read_traces(options.merge, options.region)
        findings = Findings("timeline", report, traces=traces)
    elif options.scaling:
        findings = run_series(options, closed, built, environment)
    else:
        findings = run_program(options, closed, built, environment)
    report = findings.report
    check_region(parser, options, report)
    number = report.pop("signal_number", None)
    if "exit_status" in report:
        report["signal"] = signal.Signals(number).name if number is not None else None
    stopped = report.pop("stopped_by", None)
    if stopped is not None:
        report["stopped_by"] = signal.Signals(stopped).name
    findings.width, findings.colour = text_width(destination), colour
    findings.title = (f"{findings.name or 'merged'}, {report.get('team_origin', '')}, "
                      f"OMP_WAIT_POLICY={environment.get('OMP_WAIT_POLICY', 'unset')}")
    files_written = all([write_file(options.trace, "trace", findings),
                         write_file(options.svg, "svg", findings),
                         write_file(options.otf2, "otf2", findings)])
    text = outputs.render("json" if options.json else "text", findings)
    if not write_report(text, destination) or not files_written:
        return WRITE_ERROR
    if stopped is not None:
        return 128 + stopped
    if options.merge is not None:
        return 0
    return 128 + number if number is not None else report["exit_status"]


def main(version, tracer, tracer_runtimes, tracer_mpi=None):
    """watch-region's entry: VERSION is the release's, TRACER the tracer
    library built with it, TRACER_RUNTIMES the runtimes it has a half for,
    TRACER_MPI the tracers for each MPI, by its name (None: TRACER)."""
    def stop(signum, _frame):
        for each in STOPPING_SIGNALS:
            signal.signal(each, signal.SIG_IGN)
        if process.Starting.active:
            process.Starting.pending = signum
            return
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
    parser, options = parse_arguments(version)
    for signum in STOPPING_SIGNALS:
        signal.signal(signum, stop)
    try:
        built = {"tracer": tracer, "tracer_runtimes": tracer_runtimes.split(),
                 "tracer_mpi": tracer_mpi}
        return watch(parser, options, closed, built)
    except CannotWatch as error:
        print(f"{NAME}: {error}", file=sys.stderr)
        return error.status
    except Stopped as stopped:
        return 128 + stopped.signum
