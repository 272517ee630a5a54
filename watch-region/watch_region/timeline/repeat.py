"""Repeated runs (--repeat N): the program run N times and its reports merged
into one, each figure the median of its runs, with the least and largest
beside it where they differ, in a member "spread" of the object that holds
it ({"NAME": [least, largest]}). Things are matched across the runs by what
they are, never by an address: a process by its program and MPI rank (and
its order among those alike), a call site by its body, the body's source
line and its name (object!function+offset), a wait by its kind, site and
function called, a thread of a process's list by its place in it, a run of
a series by its team size. What names or numbers a thing rather than
measures it (a process id, a thread or team number, an exit status), the
region shown whole and every list of numbers are the median run's: the run
whose run time is the median (of an even count, the shorter of the middle
two), whose traces --trace, --otf2 and --svg write."""

import copy
import dataclasses
import statistics

from ..errors import Stopped

# Members that name or number a thing, or hold the median run's whole.
NAMES = frozenset({
    "pid", "parent", "offset", "index", "team", "region", "thread", "kernel_thread", "rank",
    "size", "exit_status", "signal_number", "stopped_by", "stopped_during", "status_of",
    "chosen_region", "team_sizes", "region_numbers", "cpus_allowed", "cpus", "ranks",
    "launched", "largest_team", "repeat", "stopped_during_repeat", "spread"})


def figure(value):
    """Whether VALUE is a figure: a number, not a truth value."""
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def median(values):
    """The median of VALUES; of an even count of whole numbers (a count),
    the lower of the middle two, else their mean."""
    if all(isinstance(value, int) for value in values):
        return statistics.median_low(values)
    return statistics.median(values)


def process_keys(processes):
    """Each process's program and MPI rank, and its place among those alike."""
    seen, keys = {}, []
    for each in processes:
        rank = (getattr(each, "mpi", None) or {}).get("rank")
        key = (getattr(each, "program", None), rank)
        seen[key] = seen.get(key, 0) + 1
        keys.append((*key, seen[key]))
    return keys


def site_key(site):
    if isinstance(site, dict):
        return (site.get("body"), site.get("body_source"), site.get("site"))
    return (site.body, site.body_source, site.site)


# How the entries of a list are matched across runs, by the list's name; a
# list not named here (or of numbers) is the median run's.
MATCHED = {
    "processes": process_keys,
    "call_sites": lambda sites: [site_key(site) for site in sites],
    "sync": lambda waits: [(wait["kind"], wait["site"], wait.get("calls")) for wait in waits],
    "useful": lambda threads: list(range(len(threads))),
    "scaling": lambda runs: [run.team for run in runs],
    "scaling_sites": lambda sites: [(site.body, site.site) for site in sites],
}


def merged_list(runs, name):
    """The list of the first of RUNS (lists), each entry merged with those of
    the other runs that match it."""
    first = runs[0]
    if name not in MATCHED or not all(isinstance(run, list) for run in runs):
        return first
    keyed = [dict(zip(MATCHED[name](run), run)) for run in runs]
    return [merged([entries[key] for entries in keyed if key in entries], name)
            if entry is not None else None
            for key, entry in zip(MATCHED[name](first), first)]


def merged_members(runs, members):
    """Each of MEMBERS (names) merged over RUNS (dicts or objects); and the
    spread of those that are figures and vary."""
    def held(run, name):
        return run.get(name) if isinstance(run, dict) else getattr(run, name, None)
    values, spread = {}, {}
    for name in members:
        each = [held(run, name) for run in runs]
        values[name] = merged(each, name)
        numbers = [value for value in each if figure(value)]
        if name not in NAMES and figure(each[0]) and min(numbers) != max(numbers):
            spread[name] = [min(numbers), max(numbers)]
    return values, spread


def merged(runs, name=None):
    """One thing as each of RUNS found it, the median run's first: figures
    as their median, objects member by member (with their spread), lists
    entry by entry (MATCHED); anything else the median run's."""
    first = runs[0]
    if name in NAMES:
        return first
    if figure(first):
        return median([value for value in runs if figure(value)])
    if isinstance(first, list):
        return merged_list(runs, name)
    if isinstance(first, dict):
        alike = [run for run in runs if isinstance(run, dict)]
        values, spread = merged_members(alike, [key for key in first if key != "spread"])
        return {**values, **({"spread": spread} if spread else {})}
    if dataclasses.is_dataclass(first):
        alike = [run for run in runs if type(run) is type(first)]
        values, spread = merged_members(alike, [field.name for field in
                                                dataclasses.fields(first)])
        result = copy.copy(first)
        for key, value in values.items():
            setattr(result, key, value)
        if hasattr(result, "spread"):
            result.spread = spread or None
        return result
    return first


def spread_of(held, name):
    """The [least, largest] of HELD's (an object or a dict) member NAME over
    repeated runs, or None where it did not vary."""
    spread = held.get("spread") if isinstance(held, dict) else getattr(held, "spread", None)
    return (spread or {}).get(name)


def run_time(report):
    """A run's time: the longest interval of its processes (0 if none)."""
    return max((each.interval for each in report.processes or () if each.interval is not None),
               default=0)


def deciding(reports):
    """The report whose status a series gives: the first that failed (exited
    other than 0, or was killed), else the last."""
    failed = [each for each in reports if each.exit_status != 0 or each.signal_number]
    return (failed or reports[-1:])[0]


def merge_findings(all_findings, asked):
    """One Findings of ALL_FINDINGS (those of the runs of one --repeat
    ASKED): the median run's, its report merged with the others'."""
    order = sorted(range(len(all_findings)),
                   key=lambda at: (run_time(all_findings[at].report), at))
    middle = all_findings[order[(len(order) - 1) // 2]]
    reports = [middle.report] + [each.report for each in all_findings if each is not middle]
    report = merged(reports)
    status = deciding([each.report for each in all_findings])
    report.exit_status, report.signal_number = status.exit_status, status.signal_number
    report.repeat = asked
    middle.report = report
    return middle


def repeated(run_once, count):
    """Runs RUN_ONCE() COUNT times, until a stop signal; returns the findings
    of the runs that ended, and the signal that stopped the series and the
    run (from 1) it stopped, if one did. A run stopped before any ended is
    the single run's: its own report, or the Stopped raised again."""
    done = []
    for at in range(1, count + 1):
        try:
            findings = run_once()
        except Stopped as stopped:
            if not done:
                raise
            return done, stopped.signum, at
        if findings.report.stopped_by is not None:
            if not done:
                return [findings], None, None
            return done, findings.report.stopped_by, at
        done.append(findings)
    return done, None, None
