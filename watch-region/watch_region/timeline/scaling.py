"""A series of runs (--scaling), one per team size, each repeated as --repeat
asks: the run's time, speedup and factors at each size (ScalingRun), and
each region's (by body) time, speedup and serial fraction (ScalingSite).

The serial fraction is Karp and Flatt's (A. H. Karp, H. P. Flatt, Measuring
parallel processor performance, CACM 33(5), 1990): e = (1/S - 1/p) / (1 -
1/p), S the speedup over the first size and p the team size over the first
size's; 0 where the region scales perfectly, 1 where it does not scale at
all, and above 1 where it takes longer on more threads."""

from ..errors import Stopped
from ..outputs import Findings
from ..outputs.factors import FACTORS
from ..report import Report, ScalingRun, ScalingSite
from .repeat import deciding, merge_findings, merged, repeated, run_time

FACTOR_KEYS = [key for key, *_ in FACTORS]


def karp_flatt(speedup, relative):
    """The serial fraction of a SPEEDUP over RELATIVE times the first team
    size (None where either is not known, or RELATIVE is 1)."""
    if not speedup or relative is None or relative == 1:
        return None
    return (1 / speedup - 1 / relative) / (1 - 1 / relative)


def scaling_entry(team, report):
    """One run of a series: its team size, its run time (the longest
    interval of its processes), and its model factors."""
    intervals = [each.interval for each in report.processes if each.interval is not None]
    return ScalingRun(team, max(intervals, default=None), None,
                      report.model_factors or dict.fromkeys(FACTOR_KEYS), report.exit_status,
                      report.signal_number)


def region_times(report):
    """Each region's time in one run, by body (where it is not known, by
    call site): over its call sites in each process, the longest process's.
    Returns {key: (body, site, source, time)}, the site its longest one."""
    regions = {}
    for traced in report.processes or ():
        sums = {}
        for site in traced.call_sites:
            key = (site.body, site.body_source) if site.body else (None, site.site)
            held = sums.setdefault(key, [site, 0.0])
            held[1] += site.time or 0
        for key, (site, time) in sums.items():
            if key not in regions or regions[key][3] < time:
                regions[key] = (site.body, site.site,
                                site.body_source if site.body else site.source, time)
    return regions


def scaling_sites(series):
    """Each region's figures across SERIES, [(team, [report of each
    repeat])], the one that scales worst first: its time at each size (the
    median over repeats, and their spread), its speedup over the first size
    and its serial fraction at each size after it, of the median times."""
    times, first_team = {}, series[0][0] if series else None
    for team, reports in series:
        by_run = [region_times(report) for report in reports]
        for key in by_run[0]:
            held = [run[key] for run in by_run if key in run]
            body, site, source, _ = held[0]
            entry = times.setdefault(key, ScalingSite(body, site, source, {}, {}, {}))
            spans = merged([{str(team): each[3]} for each in held])
            entry.time.update({str(team): spans[str(team)]})
            if "spread" in spans:
                entry.time.setdefault("spread", {}).update(spans["spread"])
    for entry in times.values():
        if "spread" in entry.time:  # after the figures it spans
            entry.time["spread"] = entry.time.pop("spread")
        base = entry.time.get(str(first_team))
        for team, _ in series:
            time = entry.time.get(str(team))
            if base and time:
                entry.speedup[str(team)] = base / time
                if team != first_team:
                    entry.serial_fraction[str(team)] = karp_flatt(base / time, team / first_team)
    whole = sum(entry.time.get(str(first_team)) or 0 for entry in times.values())
    return sorted(times.values(), key=lambda entry: worst_first(
        entry, (entry.time.get(str(first_team)) or 0) < whole * MINOR_SHARE))


# A region that takes less than this share of the regions' time at the
# first size (the one that starts the threads, say) is ranked after the
# others whatever its serial fraction: its scaling costs the run little.
MINOR_SHARE = 0.01


def worst_first(entry, minor=False):
    """Regions by their serial fraction at their largest team size, the
    highest first, a MINOR one after the others; those without one last."""
    fractions = [(int(team), value) for team, value in entry.serial_fraction.items()
                 if value is not None]
    return (int(minor), -max(fractions)[1]) if fractions else (2, 0)


def run_series(run_once, sizes, count, report_origin):
    """Runs RUN_ONCE(team) COUNT times (once if None) per team size of SIZES, until a stop
    signal; returns the series' report: a ScalingRun per size whose runs
    all ended (each the median of its repeats), the regions' figures, and
    the exit status of the last run, or of the first that failed."""
    runs, series, name = [], [], None
    report = Report("scaling", ran=False, team_origin=report_origin)
    for team in sizes:
        try:
            done, signum, at = repeated(lambda size=team: run_once(size), count or 1)
        except Stopped as stopped:
            done, signum, at = [], stopped.signum, 1
        if done and signum is None and done[0].report.stopped_by is not None:
            done, signum, at = [], done[0].report.stopped_by, 1
        if signum is not None:
            report.stopped_by, report.stopped_during = signum, team
            report.stopped_during_repeat = at if count else None
            break
        name = done[0].name
        entries = [scaling_entry(team, each.report) for each in done]
        order = sorted(range(len(done)), key=lambda at: (run_time(done[at].report), at))
        middle = order[(len(order) - 1) // 2]
        entry = merged([entries[middle]] + entries[:middle] + entries[middle + 1:])
        status = deciding([each.report for each in done])
        entry.exit_status, entry.signal_number = status.exit_status, status.signal_number
        runs.append(entry)
        series.append((team, [each.report for each in done]))
    base = runs[0].run_time if runs else None
    for each in runs:
        if base and each.run_time:
            each.speedup = base / each.run_time
    if runs:
        status = deciding(runs)
        report.ran = True
        report.exit_status, report.signal_number = status.exit_status, status.signal_number
        report.status_of = status.team
    report.scaling = runs
    report.scaling_sites = scaling_sites(series)
    report.repeat = count
    return Findings(report, name)


def merge_repeats(run_once, count):
    """Runs RUN_ONCE() COUNT times (--repeat) and merges their findings;
    a stop reports the runs that ended before it."""
    done, signum, at = repeated(run_once, count)
    findings = merge_findings(done, count)
    if signum is not None:
        findings.report.stopped_by, findings.report.stopped_during_repeat = signum, at
    return findings
