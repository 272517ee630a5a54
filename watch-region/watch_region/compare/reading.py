"""One --json report of a --timeline run, read for comparing: what it ran
on, the run's figures and each region's, every figure with its spread
where the report gives one.

A report made with --repeat N holds the median of each figure that varied
between its runs, with "spread": {"NAME": [least, largest]} beside it in
the same object, and "repeat": N at the top; a figure of such a report
without a spread did not vary. A report without "repeat" is one run, whose
spread is not known (None).

Processes are matched by program (its file's name: a rebuild in another
folder is the same program) and MPI rank; a region is the call sites that
run one body, keyed by the body and its source line, never by an address,
which a rebuild moves; where the body is not known (libomp), by the call
site's function and source line, and where several sites share both, by
their order in it. A region that one report keys by its body and the other
by its site (one run on libomp) is matched by the sites it launches from."""

import json
import os

from ..errors import USAGE, CannotWatch
from ..timeline.efficiency import FACTORS

FACTOR_NAMES = [key for key, *_ in FACTORS]


class Figure:  # pylint: disable=too-few-public-methods
    """A number and its spread, [least, largest] (None: not known)."""

    def __init__(self, value, spread=None):
        self.value, self.spread = value, spread

    def __add__(self, other):
        spread = None if self.spread is None or other.spread is None else [
            self.spread[0] + other.spread[0], self.spread[1] + other.spread[1]]
        return Figure(self.value + other.value, spread)


def figure(held, name, repeated):
    """HELD's member NAME as a Figure (None where it gives none): a report
    of several runs (REPEATED) whose object gives no spread for it did not
    see it vary."""
    value = (held or {}).get(name)
    if not isinstance(value, (int, float)) or isinstance(value, bool):
        return None
    spread = ((held.get("spread") or {}).get(name) if repeated else None)
    if spread is None and repeated:
        spread = [value, value]
    if spread is not None and not (len(spread) == 2 and all(
            isinstance(bound, (int, float)) for bound in spread)):
        raise ValueError(f"the spread of {name} is not [least, largest]")
    return Figure(value, spread and [min(spread), max(spread)])


def total(figures):
    """The sum of FIGURES, None where one is missing."""
    figures = list(figures)
    if not figures or None in figures:
        return None
    summed = figures[0]
    for each in figures[1:]:
        summed = summed + each
    return summed


def longest(figures):
    """The largest of FIGURES, the spread of each end its ends' largest."""
    figures = [each for each in figures if each is not None]
    if not figures:
        return None
    spreads = [each.spread for each in figures]
    return Figure(max(each.value for each in figures), None if None in spreads else [
        max(spread[0] for spread in spreads), max(spread[1] for spread in spreads)])


def region_key(site):
    """The region a call site runs: (body, its source line), else (the site's
    function, its source line), each known or None."""
    if not all(isinstance(site.get(name), (str, type(None)))
               for name in ("body", "body_source", "function", "source")):
        raise ValueError("a call site's names are not text")
    if site.get("body"):
        return ("body", site["body"], site.get("body_source"))
    return ("site", site.get("function"), site.get("source"))


def region_name(key):
    _, name, source = key
    return f"{name or '?'} ({source})" if source else (name or "?")


def regions(process, repeated):
    """The process's regions, by key: their time and gain summed over their
    sites, their load balance the sites' mean useful time over their
    largest, and their largest team."""
    found = {}
    for site in process.get("call_sites") or ():
        found.setdefault(region_key(site), []).append(site)
    for key in [key for key, sites in found.items() if key[0] == "site" and len(sites) > 1]:
        # Sites that neither a body nor a line tells apart: by their order.
        for number, site in enumerate(sorted(found.pop(key), key=lambda site: site["offset"]), 1):
            found[("site", f"{key[1]} #{number}", key[2])] = [site]
    made = {}
    for key, sites in found.items():
        useful = [site.get("useful") or {} for site in sites]
        means, largest = (total(figure(each, name, repeated) for each in useful)
                          for name in ("mean", "max"))
        balance = None
        if len(sites) == 1:
            balance = figure(useful[0], "load_balance", repeated)
        elif means is not None and largest is not None and largest.value:
            balance = Figure(means.value / largest.value)
        teams = [int(size) for site in sites for size in site.get("team_sizes") or {}
                 if str(size).isdigit()]
        made[key] = {"time": total(figure(site, "time", repeated) for site in sites),
                     "gain": total(figure(site.get("gain"), "total", repeated)
                                   for site in sites),
                     "load_balance": balance, "team": max(teams, default=None),
                     "sites": frozenset((site.get("function"), site.get("source"))
                                        for site in sites)}
    return made


def process_key(process):
    rank = (process.get("mpi") or {}).get("rank")
    return (os.path.basename(process.get("program") or "?"), rank)


def summary(report):
    """What REPORT says, as the comparison reads it."""
    repeated = isinstance(report.get("repeat"), int) and report["repeat"] > 1
    processes, seen = {}, {}
    for process in report.get("processes") or ():
        key = process_key(process)
        seen[key] = seen.get(key, 0) + 1
        if seen[key] > 1:  # a program run twice in one run: matched in turn
            key = (f"{key[0]} #{seen[key]}", key[1])
        runtime = process.get("runtime")
        if not isinstance(runtime, (dict, type(None))):
            raise ValueError("a process's runtime is not an object")
        processes[key] = {
            "interval": figure(process, "interval", repeated),
            "gain": figure(process.get("gain"), "total", repeated),
            "runtime": runtime, "regions": regions(process, repeated)}
    run = {"time": longest(each["interval"] for each in processes.values()),
           "gain": total(each["gain"] for each in processes.values()
                         if each["gain"] is not None)}
    factors = report.get("model_factors") or {}
    run.update((name, figure(factors, name, repeated)) for name in FACTOR_NAMES)
    environment, host = report.get("environment"), report.get("host")
    if not all(isinstance(each, (dict, type(None))) for each in (environment, host)):
        raise ValueError("its environment or host is not an object")
    if environment is not None:
        environment = {name: str(value) for name, value in environment.items()}
    if host is not None:  # what a difference is told by
        host = {"host": host.get("name"),
                "CPUs online": len(host.get("cpus_online") or ()) or None,
                "CPUs allowed": len(host.get("cpus_allowed") or ()) or None,
                "watch-region": host.get("tool_version")}
    return {"repeat": report.get("repeat") if repeated else None, "environment": environment,
            "host": host, "run": run, "processes": processes}


def load(path):
    """The report at PATH as summary() gives it; a file that is not a
    --json report of a --timeline run is a usage error that says why."""
    def refused(reason):
        return CannotWatch(USAGE, f"{path}: {reason}")
    try:
        with open(path, encoding="utf-8") as file:
            report = json.load(file)
    except OSError as error:
        raise refused(error.strerror or str(error)) from None
    except (ValueError, UnicodeDecodeError):
        raise refused("not a JSON report (watch-region --json)") from None
    if not isinstance(report, dict) or "mode" not in report:
        raise refused("not a JSON report (watch-region --json)")
    if report["mode"] != "timeline":
        raise refused(f"a report of mode {report['mode']}; --compare reads reports of "
                      "--timeline runs")
    try:
        return summary(report)
    except (AttributeError, TypeError, ValueError) as error:
        raise refused(f"not a report this watch-region reads: {error}") from None
