"""The model of a traced process: the run as a whole (regions launched,
threads created, time inside and outside regions, events lost), one entry
per call site with its launches and phases, and each wait site; with the
region shown whole (regions.py) and the model factors (efficiency.py).
Times are microseconds from the moment the tracer was loaded.
"""

from .. import ran_on
from ..report import CallSite, TracedProcess, microseconds
from ..symbols import name_sites
from .clock import clock_account
from .efficiency import counted_useful, efficiency, process_gain, site_efficiency
from .regions import kept_regions, region_timeline, shown_region

SITE_PHASES = ("fork", "work", "imbalance", "join")
# The tracer's own trampoline: a wait reached by a tail call from a region's
# body returns there.
TRACER = "libregion_tracer.so"
CREATION = ("create_call", "create_return", "first_instruction")
# The waits past a thread's table of sites, each kind's (and each MPI
# call's) at one site.
OTHER_SITES = "(other sites)"


def site_entries(trace):
    """The call sites, named, each phase's statistics in microseconds, and
    the body each runs where the trace gives it."""
    named = name_sites([(site.address, site.base, site.object) for site in trace.sites])
    with_body = [site for site in trace.sites if site.body]
    bodies = dict(zip((site.index for site in with_body), name_sites(
        [(*site.body, trace.body_objects.get(site.index, site.object)) for site in with_body],
        returns=False)))
    sites = []
    for site, name in zip(trace.sites, named):
        body = bodies.get(site.index, {})
        phases = {phase: {key: microseconds(site.phases.get(phase, {}).get(key, 0))
                          for key in ("total", "median", "median_error", "min", "max")}
                  for phase in SITE_PHASES}
        sites.append(CallSite.named(
            name, launches=site.launches, index=site.index, team_sizes=site.teams, **phases,
            body=body.get("function") or body.get("site"), body_source=body.get("source"),
            time=sum(phases[phase]["total"] for phase in ("fork", "work", "join"))))
    for loop in trace.loops:
        entry = next((site for site in sites if site.index == loop.site), None)
        if entry is not None:
            entry.loops = sorted((entry.loops or []) + [{
                "order": loop.order, "schedule": loop.schedule, "chunk": loop.chunk,
                "resolved": loop.resolved and {"schedule": loop.resolved,
                                               "chunk": loop.resolved_chunk},
                "chunks": loop.chunks, "iterations": loop.iterations}],
                key=lambda taken: taken["order"])
    return sorted(sites, key=lambda entry: -entry.time)


def wait_names(waits):
    """The call sites of WAITS (wait lines of a trace), named; those at the
    tracer's trampoline as the end of a region's body, which reached them
    by a tail call."""
    named = name_sites([(wait.address, wait.base, wait.object) for wait in waits])
    return [{"site": "(the end of a region body)", "function": None, "source": None}
            if wait.object.endswith(TRACER) else name for wait, name in zip(waits, named)]


def wait_sites(trace):
    """The waits, a site, kind and function called each, named (see
    wait_names); those past a thread's table of sites as OTHER_SITES."""
    others = {"site": OTHER_SITES, "function": None, "source": None}
    merged = {}
    for wait, name in zip(trace.waits + trace.other_waits, wait_names(trace.waits) + [
            others] * len(trace.other_waits)):
        entry = merged.setdefault((wait.kind, name["site"], wait.function), {
            "kind": wait.kind, "site": name["site"], "function": name.get("function"),
            "calls": wait.function, "source": name.get("source"), "count": 0,
            "wait": {"total": 0.0, "median": 0.0, "median_error": 0.0, "max": 0.0},
            "late": {}, "region_sites": {}})
        entry["count"] += wait.count
        entry["wait"]["total"] += microseconds(wait.total)
        entry["wait"]["max"] = max(entry["wait"]["max"], microseconds(wait.longest))
        # Across the regions it waited in: the median of the largest share.
        if wait.count * 2 > entry["count"]:
            entry["wait"]["median"] = microseconds(wait.median)
            entry["wait"]["median_error"] = microseconds(wait.median_error)
        for thread, count, delay in wait.late:
            late = entry["late"].setdefault(thread, {"thread": thread, "count": 0, "delay": 0.0})
            late["count"] += count
            late["delay"] += delay
        by_region = entry["region_sites"].setdefault(wait.region_site, [0, 0.0])
        by_region[0] += wait.count
        by_region[1] += microseconds(wait.total)
    for entry in merged.values():
        entry["late"] = sorted(entry["late"].values(), key=lambda late: -late["delay"])
    return sorted(merged.values(), key=lambda entry: -entry["wait"]["total"])


def process_model(trace, chosen=None):
    """The model of one process's trace; CHOSEN is the number of the region
    to show, else the slowest."""
    region = shown_region(trace, chosen)
    sites = site_entries(trace)
    counted = counted_useful(trace)
    waits = wait_sites(trace)
    for entry in sites:
        site_efficiency(trace, entry, waits)
    exit_event = next((event for event in trace.text_events if event.name == "exit"), None)
    run_time = exit_event.time if exit_event else None
    shown = None
    if region:
        made = trace.events_at(trace.where(*CREATION)) + [
            event for event in trace.text_events if event.name in CREATION]
        shown = region_timeline(region, made)
        shown["site"] = next((site.site for site in sites
                              if site.index == shown["site_index"]), None)
        del shown["site_index"]
    return TracedProcess(
        pid=trace.pid, parent=trace.parent, program=trace.program, regions=trace.regions,
        regions_kept=len(set(kept_regions(trace)) | {
            event.region for event in trace.slowest if event.name == "launch"}),
        threads_created=trace.threads_created,
        run_time=run_time, time_in_regions=trace.in_regions,
        time_outside_regions=None if run_time is None else run_time - trace.in_regions,
        lost_events=trace.lost_events, lost_from=trace.lost_from, stopped_by=trace.stopped_by,
        call_sites=sites, region=shown,
        model_factors=None if counted is None else efficiency(
            [thread["useful"] for thread in counted["useful"]], counted["interval"],
            counted["ideal_run_time"]),
        interval=None if counted is None else counted["interval"],
        marked=None if counted is None else counted["marked"],
        ideal_run_time=None if counted is None else counted["ideal_run_time"],
        useful=None if counted is None else counted["useful"],
        gain=None if counted is None else process_gain(counted),
        threads_untimed=trace.threads_untimed, **cores(trace),
        sync=[{key: value for key, value in wait.items() if key != "region_sites"}
              for wait in waits],
        region_numbers=kept_regions(trace) if chosen is not None and not shown else None,
        mpi=rank_of(trace, counted), runtime=ran_on.runtime(trace.runtime))


def cores(trace):
    """The CPUs the process may use, and whether its largest team has more
    threads than they are (None: not known, before format 8)."""
    allowed, largest = trace.cpus_allowed, trace.interval and trace.interval[3]
    return {"cpus_allowed": allowed, "largest_team": largest,
            "oversubscribed": largest > len(allowed) if allowed and largest else None}


def rank_of(trace, counted):
    """An MPI rank's rank, the world's size, its time in MPI along the
    measure of its interval (the marked one where the program set marks)
    its calls logged and left out, and its clock against rank 0's; None
    for a process that is none."""
    if trace.mpi is None:
        return None
    measure = 1 if counted is not None and counted["marked"] else 0
    return {"rank": trace.mpi[0], "size": trace.mpi[1],
            "time": None if trace.mpi_time is None else microseconds(trace.mpi_time[measure]),
            "calls": len(trace.mpi_calls), "calls_left_out": trace.mpi_calls_left_out,
            "clock": clock_account(trace)}
