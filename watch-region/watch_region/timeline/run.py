"""A traced run: the program run once with the tracer preloaded, each of its
processes writing a trace into one folder, and the folder read back; or a
folder of traces left by earlier runs, merged."""

import os
import tempfile

from .. import process
from . import trace_folder
from ..errors import CANNOT_WATCH, CannotWatch
from ..report import Report
from .clock import align
from .model import efficiency, process_model
from .mpi import hybrid_factors
from .trace import TraceError, format_version, read_trace

NO_TRACE = ("the tracer wrote no trace: the program did not end through exit, or is not "
            "dynamically linked")


def find_tracer(named, built, runtimes):
    """The tracer library: the one named with --tracer, or the one built with
    this watch-region, which must have a half for each runtime the program
    needs: the one with the half for the program's MPI, where that is not
    the default one's (docs/watch-region.md)."""
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
    variants = built.get("tracer_mpi") or {}
    return next((variants[mpi] for mpi in ("openmpi", "mpich")
                 if mpi in runtimes and variants.get(mpi)), built["tracer"])


def trace_order(name):
    """Traces by the number that names them (a process id), others last."""
    stem = name.split(".")[0]
    return (0, int(stem), name) if stem.isdigit() else (1, 0, name)


def read_traces(folder, chosen):
    """The report of the traces in FOLDER, one process each in the order
    they were started, and the traces themselves. A file that cannot be read
    is named with the reason, and so is a second copy of a process's trace;
    neither counts as a process."""
    report = Report("timeline", ran=False, processes=[], chosen_region=chosen)
    traces, seen = [], {}
    version = format_version()
    for name in sorted((name for name in os.listdir(folder) if name.endswith(".trace")),
                       key=trace_order):
        try:
            trace = read_trace(os.path.join(folder, name), version)
        except TraceError as error:
            report.unreadable.append({"file": name, "reason": str(error)})
            continue
        identity = (trace.pid, trace.parent, trace.program, trace.start)
        if identity in seen:
            report.unreadable.append({"file": name,
                                      "reason": f"a duplicate of {seen[identity]}"})
            continue
        seen[identity] = name
        traces.append(trace)
        report.processes.append(process_model(trace, chosen))
    if not traces and not report.unreadable:
        report.no_trace = NO_TRACE
    align(traces)
    report.several_runs = trace_folder.several_runs(folder, traces)
    report.model_factors = run_factors(report.processes, traces, report)
    return report, traces


def run_factors(processes, traces=(), report=None):
    """The run's model factors: where some of its processes are MPI ranks,
    the hybrid model's over the ranks (mpi.py), an account of their
    matching and replay put in REPORT's mpi; else one process's own; for
    several, every counted thread of each over the longest interval, and the
    longest ideal run time."""
    factors, account = hybrid_factors(traces)
    if factors is not None:
        if report is not None:
            report.mpi = account
        return factors
    timed = [each for each in processes if each.model_factors]
    if len(timed) <= 1:
        return timed[0].model_factors if timed else None
    return efficiency([thread["useful"] for each in timed for thread in each.useful],
                      max(each.interval for each in timed),
                      max(each.ideal_run_time for each in timed))


def table_keeps(options):
    """What the tracer's table of events keeps: only what the report reads of
    it (the regions' side keeps the slowest region whole), unless the run's
    events are asked for, or how the table keeps them."""
    asked = (options.trace or options.otf2 or options.region is not None or options.trace_dir
             or options.keep is not None or options.events is not None)
    return (options.keep or "first") if asked else "report"


def traced_run(options, argv, closed, built, environment, path, runtimes):
    """Runs PATH with ARGV and the tracer; returns the report and the
    traces."""
    tracer = find_tracer(options.tracer, built, runtimes)
    environment = {**environment, "WATCH_REGION_KEEP": table_keeps(options)}
    if options.events is not None:
        environment["WATCH_REGION_EVENTS"] = str(options.events)
    if options.trace_dir is not None:
        try:
            os.makedirs(options.trace_dir, exist_ok=True)
        except OSError as error:
            raise CannotWatch(CANNOT_WATCH, f"{options.trace_dir}: {error.strerror}") from None
        folder = os.path.abspath(options.trace_dir)
        trace_folder.claim(folder, trace_folder.run_id(environment, options.run_id),
                           options.add)
        ended = process.run_traced(path, argv, environment, closed, folder, tracer)
        report, traces = read_traces(folder, options.region)
    else:
        # Traces are written at each process's exit, which costs the run less
        # in memory than on a disk.
        in_memory = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
        with tempfile.TemporaryDirectory(prefix="watch-region.", dir=in_memory) as folder:
            ended = process.run_traced(path, argv, environment, closed, folder, tracer)
            report, traces = read_traces(folder, options.region)
    report.ran = True
    traced = ended.pop("traced_at_stop")
    for key, value in ended.items():
        setattr(report, key, value)
    # A process stopped with the run whose trace is not there: killed before
    # its tracer could write, or never reached by the signal.
    written = {trace.pid for trace in traces}
    report.left_no_trace = [each for each in traced if each["pid"] not in written]
    return report, traces
