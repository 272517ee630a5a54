"""Dispatch: runs a program once, as it would run alone, in the
mode asked for (under gdb, or with --timeline traced), --repeat times, or
so once per team size of a --scaling series, or merges the traces of a run; writes the
findings in the forms asked for (outputs) and exits with the program's
status. The options are options.py's."""

import os
import signal
import sys
import tempfile

from . import outputs, process, program, ran_on
from .errors import CANNOT_WATCH, NOT_FOUND, WRITE_ERROR, CannotWatch, Stopped
from .outputs import Findings
from .outputs.chart import plural
from .options import NAME, parse_arguments
from .timeline import run, scaling

STOPPING_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)


def team_origin(environment, team, scaling=None):
    if scaling is not None:
        return f"OMP_NUM_THREADS={','.join(str(size) for size in scaling)} (--scaling)"
    if team is not None:
        return f"OMP_NUM_THREADS={team} (--team)"
    if "OMP_NUM_THREADS" in environment:
        return f"OMP_NUM_THREADS={environment['OMP_NUM_THREADS']} (environment)"
    return "OMP_NUM_THREADS unset: the runtime's default"


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
    report.team_origin = team_origin(environment, options.team)
    return Findings(report, name, traces)


def check_region(parser, options, report):
    """--region N past the last region of every process is a usage error."""
    launched = max((each.regions for each in report.processes or ()), default=0)
    if options.region is not None and report.processes and options.region > launched:
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
    started = ran_on.host(built["version"], [options.program, *options.args])
    if options.merge is not None:
        if not os.path.isdir(options.merge):
            raise CannotWatch(NOT_FOUND, f"{options.merge}: No such directory")
        report, traces = run.read_traces(options.merge, options.region)
        findings = Findings(report, traces=traces)
    elif options.scaling:
        findings = scaling.run_series(
            lambda team: run_program(options, closed, built,
                                     {**environment, "OMP_NUM_THREADS": str(team)}),
            options.scaling, options.repeat, team_origin(environment, None, options.scaling))
        findings.name = findings.name or os.path.basename(options.program)
    elif options.repeat:
        findings = scaling.merge_repeats(
            lambda: run_program(options, closed, built, environment), options.repeat)
    else:
        findings = run_program(options, closed, built, environment)
    report = findings.report
    if options.merge is None:
        report.environment, report.host = ran_on.settings(environment), started
    check_region(parser, options, report)
    number, stopped = report.signal_number, report.stopped_by
    findings.width, findings.colour = text_width(destination), colour
    findings.title = (f"{findings.name or 'merged'}, {report.team_origin or ''}, "
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
    return 128 + number if number is not None else report.exit_status


def compare_reports(options):
    """--compare: the two reports compared, written to standard output or
    -o FILE; returns the gate's status."""
    from . import compare  # pylint: disable=import-outside-toplevel
    from .outputs import comparison as form  # pylint: disable=import-outside-toplevel
    destination = open_output(options.output, merging=True)
    compared = compare.comparison(*options.compare, options.fail_if_slower)
    text = (form.json_text(compared) if options.json
            else form.text(compared, text_width(destination)))
    return compared["status"] if write_report(text, destination) else WRITE_ERROR


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
    if options.compare is not None:
        try:
            return compare_reports(options)
        except CannotWatch as error:
            print(f"{NAME}: {error}", file=sys.stderr)
            return error.status
    # What gdb or the program leaves orphaned is reaped here, not by an init
    # that may never reap it (a container's), which would keep it a zombie.
    process.become_subreaper()
    for signum in STOPPING_SIGNALS:
        signal.signal(signum, stop)
    try:
        built = {"tracer": tracer, "tracer_runtimes": tracer_runtimes.split(),
                 "tracer_mpi": tracer_mpi, "version": version}
        return watch(parser, options, closed, built)
    except CannotWatch as error:
        print(f"{NAME}: {error}", file=sys.stderr)
        return error.status
    except Stopped as stopped:
        return 128 + stopped.signum
