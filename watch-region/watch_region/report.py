"""The report of a run, built once and read by every form it is written in:
the run (Report), each process (a TracedProcess of the timeline, the
WatchedProcess of the gdb mode) and each run of a --scaling series
(ScalingRun). Times are the tracer's nanoseconds until the model makes them
microseconds, here (microseconds()); signals are numbers until a form names
them (signal_name()). The JSON's shape is report.schema.json's, beside this
module, whose version is SCHEMA_VERSION; json_tree() gives it."""

import dataclasses
import signal
from typing import Optional

# The version of report.schema.json that the JSON follows: raised when a key
# moves or changes its meaning, not when one is added.
SCHEMA_VERSION = 1
NANOSECONDS = 1000  # in a microsecond


def microseconds(nanoseconds):
    """The tracer's NANOSECONDS as the report's microseconds."""
    return nanoseconds / NANOSECONDS


def nanoseconds(micro):
    """The report's microseconds MICRO as the tracer's nanoseconds."""
    return micro * NANOSECONDS


def signal_name(number):
    """SIGTERM for 15; None for None."""
    return None if number is None else signal.Signals(number).name


# When the JSON gives a field (its metadata's "given"): always (the default),
# where it is not None ("known"), where the program ran ("ran"), in the
# timeline's report ("timeline"), or never ("never": the report's own
# bookkeeping). A signal's number is named ("signal"), and a field may have
# a name of its own in the JSON ("key").
KNOWN, RAN, TIMELINE = {"given": "known"}, {"given": "ran"}, {"given": "timeline"}
SIGNAL = {"signal": True}


def known(default=None, **metadata):
    """A field that the JSON gives only where it is known (not None)."""
    return dataclasses.field(default=default, metadata={**KNOWN, **metadata})


@dataclasses.dataclass
class CallSite:  # pylint: disable=too-many-instance-attributes
    """Where regions were launched from, named (symbols.name_sites), and
    how many were launched there. The gdb mode lists each launch
    (LAUNCHED); the timeline gives the sizes of its teams, each phase's
    statistics (fork, work, imbalance, join: total, median, median_error,
    min, max), their time, its threads' useful time, the body its
    launches run with its source line, what mending each cause would give
    back (the gain, in µs), its slowest thread and its waits by kind."""
    site: Optional[str]
    function: Optional[str]
    offset: Optional[int]
    object: Optional[str]
    source: Optional[str]
    launches: int = 0
    launched: Optional[list] = known()
    index: Optional[int] = dataclasses.field(default=None, metadata=TIMELINE)
    team_sizes: Optional[dict] = dataclasses.field(default=None, metadata=TIMELINE)
    fork: Optional[dict] = dataclasses.field(default=None, metadata=TIMELINE)
    work: Optional[dict] = dataclasses.field(default=None, metadata=TIMELINE)
    imbalance: Optional[dict] = dataclasses.field(default=None, metadata=TIMELINE)
    join: Optional[dict] = dataclasses.field(default=None, metadata=TIMELINE)
    time: Optional[float] = dataclasses.field(default=None, metadata=TIMELINE)
    useful: Optional[dict] = known()
    body: Optional[str] = known()
    body_source: Optional[str] = known()
    gain: Optional[dict] = known()
    slowest_thread: Optional[dict] = known()
    waits: Optional[dict] = known()
    # Over repeated runs: {member: [least, largest]} of those that varied.
    spread: Optional[dict] = known()
    loops: Optional[list] = known()

    @classmethod
    def named(cls, name, **fields):
        """The site that NAME (one of symbols.name_sites') names."""
        return cls(name["site"], name["function"], name["offset"], name["object"],
                   name["source"], **fields)


@dataclasses.dataclass
class WatchedProcess:
    """The process the gdb mode watched: its launches under their call
    sites (each site's `launched`), and what each kernel thread was seen
    doing."""
    pid: Optional[int]
    program: str
    regions: int
    call_sites: list
    threads: list
    total_after_join: Optional[int]
    forks: int
    lost_stops: int
    lost_stop_reasons: dict
    runtime: Optional[dict] = known()


@dataclasses.dataclass
class TracedProcess:  # pylint: disable=too-many-instance-attributes
    """One traced process: the run as a whole, its call sites, the region
    shown whole, its model factors and its waits (timeline/model.py)."""
    pid: Optional[int]
    parent: Optional[int]
    program: Optional[str]
    regions: int
    regions_kept: int
    threads_created: int
    run_time: Optional[float]
    time_in_regions: float
    time_outside_regions: Optional[float]
    lost_events: int
    lost_from: Optional[float]
    stopped_by: Optional[int] = dataclasses.field(metadata=SIGNAL)
    call_sites: list = dataclasses.field(default_factory=list)
    region: Optional[dict] = None
    model_factors: Optional[dict] = None
    interval: Optional[float] = None
    marked: Optional[bool] = None
    ideal_run_time: Optional[float] = None
    useful: Optional[list] = None
    gain: Optional[dict] = None
    threads_untimed: int = 0
    # The CPUs it may use, and whether its largest team has more threads.
    cpus_allowed: Optional[list] = known()
    oversubscribed: Optional[bool] = known()
    largest_team: Optional[int] = dataclasses.field(default=None, metadata={"given": "never"})
    sync: list = dataclasses.field(default_factory=list)
    # Only for a region asked for and not kept: which were.
    region_numbers: Optional[list] = None
    # An MPI rank's: its rank, the world's size, its time in MPI and calls.
    mpi: Optional[dict] = known()
    spread: Optional[dict] = known()
    # The OpenMP runtime it loaded (ran_on.runtime), where the tracer saw it.
    runtime: Optional[dict] = known()


@dataclasses.dataclass
class ScalingRun:
    """One run of a --scaling series (with --repeat, the median of its
    runs)."""
    team: int
    run_time: Optional[float]
    speedup: Optional[float]
    model_factors: dict
    exit_status: Optional[int]
    signal_number: Optional[int] = dataclasses.field(metadata={**SIGNAL, "key": "signal"})
    spread: Optional[dict] = known()


@dataclasses.dataclass
class ScalingSite:
    """One region (the call sites that run one body, or a site alone where
    the body is not known) across a --scaling series: its time, speedup
    over the first size and serial fraction, each by team size (a string,
    as JSON keys are); timeline/scaling.py says how."""
    body: Optional[str]
    site: Optional[str]
    source: Optional[str]
    time: dict
    speedup: dict
    serial_fraction: dict


@dataclasses.dataclass
class Report:  # pylint: disable=too-many-instance-attributes
    """What a run found, in MODE: "gdb", "timeline" (a run, or a merge of
    traces) or "scaling". RAN says whether a program ran whose status the
    report gives: not for a merge, nor for a series stopped before a run
    ended."""
    mode: str
    ran: bool = dataclasses.field(default=True, metadata={"given": "never"})
    team_origin: Optional[str] = known()
    # What the run ran on (ran_on.py): the runtime's settings and the host.
    environment: Optional[dict] = known()
    host: Optional[dict] = known()
    processes: Optional[list] = known()
    chosen_region: Optional[int] = dataclasses.field(default=None, metadata=TIMELINE)
    unreadable: list = dataclasses.field(default_factory=list, metadata=TIMELINE)
    no_trace: Optional[str] = known()
    several_runs: Optional[str] = dataclasses.field(default=None, metadata=TIMELINE)
    model_factors: Optional[dict] = dataclasses.field(default=None, metadata=TIMELINE)
    mpi: Optional[dict] = known()
    exit_status: Optional[int] = dataclasses.field(default=None, metadata=RAN)
    signal_number: Optional[int] = dataclasses.field(
        default=None, metadata={**RAN, **SIGNAL, "key": "signal"})
    status_of: Optional[int] = known()
    stopped_by: Optional[int] = known(**SIGNAL)
    stopped_during: Optional[int] = known()
    still_running: Optional[list] = known()
    left_no_trace: Optional[list] = known()
    scaling: Optional[list] = known()
    scaling_sites: Optional[list] = known()
    # --repeat's N, and which of the runs a stop signal stopped.
    repeat: Optional[int] = known()
    stopped_during_repeat: Optional[int] = known()


def json_tree(value, report=None):
    """VALUE (a Report, or anything in one) as the JSON gives it."""
    if dataclasses.is_dataclass(value):
        report = value if isinstance(value, Report) else report
        tree = {}
        for field in dataclasses.fields(value):
            held, given = getattr(value, field.name), field.metadata.get("given")
            if given == "never" or (given == "known" and held is None) or (
                    given == "ran" and not report.ran) or (
                    given == "timeline" and report.mode != "timeline"):
                continue
            if field.metadata.get("signal"):
                held = signal_name(held)
            tree[field.metadata.get("key", field.name)] = json_tree(held, report)
        return tree
    if isinstance(value, list):
        return [json_tree(each, report) for each in value]
    return value
