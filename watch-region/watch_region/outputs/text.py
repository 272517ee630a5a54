"""The report as text: the gdb mode's table (gdb_table), or the timeline's account of each
process (the model's factors, the run as a whole, a table of its call sites,
one region whole), or a series of runs' table, a column per team size;
fitted to the width it is given, each time in the unit that reads best.
C++ functions are shortened to Class::method here, with as many scopes
more as tell them apart; the JSON keeps them whole."""

from ..ran_on import summary
from ..report import signal_name
from ..symbols import short_names
from ..timeline.model import OTHER_SITES, SITE_PHASES
from .chart import chart, number_ranges, plural
from .gdb_table import table_text
from .layout import columns, cut, duration, number, outcome, prose, timed, wrapped
from .factors import FACTORS, factor_tree, paint, percent
from .gains import by_body, where_lines
from . import series


def render(findings):
    if findings.mode == "gdb":
        return table_text(findings.report, findings.name, findings.width)
    if findings.mode == "scaling":
        return series.render(findings)
    return timeline_text(findings.report, findings.name, findings.width, findings.colour)


def site_names(sites):
    """The short names of the functions of SITES, told apart."""
    return short_names(site.function for site in sites if site.function)


def text_site(site, names):
    """SITE as the text names it, its function's short name from NAMES."""
    if not site.function:
        return site.site
    return f"{site.object}!{names[site.function]}+{site.offset:#x}"


def phase_cell(stats):
    """total/median/max in the total's unit, the median's bound where it
    shows in that unit."""
    total = stats["total"]
    error = number(stats.get("median_error", 0), total)
    error = "" if float(error) == 0 else f"±{error}"
    return (f"{number(total, total)}/{number(stats['median'], total)}{error}/"
            f"{duration(stats['max'], total)}")


def hybrid_tree(factors, account, colour):
    """The run's factors over its MPI ranks as factor_tree gives them, the
    whole's and its two parts' side by side."""
    parts = (factors, factors["mpi"], factors["openmp"])
    rows = [("  " * depth + name, short, key) for key, name, depth, short in FACTORS]
    wide = max(len(name) for name, _, _ in rows)
    return [f"model factors over MPI ranks {number_ranges(account['ranks'])} of "
            f"{account['size']} (whole = MPI x OpenMP):",
            f"  {'':<{wide}}  {'':<5}   whole     MPI  OpenMP"] + [
                f"  {name:<{wide}}  {short:<5}  " + "  ".join(
                    paint(f"{percent(part.get(key)):>6}", part.get(key), colour) for part in parts)
                for name, short, key in rows]


def useful_cells(site):
    """A site's useful time per thread, mean/max, and its load balance."""
    useful = site.useful
    if useful is None:  # no body of its teams was timed
        return ("-", "-")
    return (f"{number(useful['mean'], useful['max'])}/{duration(useful['max'])}",
            percent(useful["load_balance"]))


def wait_lines(site, width):
    """A site's waits by kind, the longest first, as lines under its row."""
    waits = sorted(site.waits.items(), key=lambda kind: -kind[1]["total"])
    cells = [f"{kind} {wait['count']} ({duration(wait['total'])})" for kind, wait in waits]
    return wrapped(["waits, count (total):", *cells] if cells else ["waits: none"], width, "    ")


def body_heading(site):
    """The line that heads the sites that run SITE's body, if known."""
    if not site.body:
        return []
    return [f"body {site.body}" + (f" ({site.body_source}):" if site.body_source else ":")]


def site_table(sites, width, names=None):
    """The call sites, a row each, and a line of its waits below it, those
    that run one body together under a line that names it; where a row is
    wider than WIDTH, each site's name gets a line of its own, and its
    numbers the lines below. NAMES gives their functions' short names."""
    names = site_names(sites) if names is None else names
    groups = sorted(by_body(sites), key=lambda group: -sum(site.time or 0 for site in group))
    sites = [site for group in groups for site in group]
    heads = [body_heading(site) if at == 0 else [] for group in groups
             for at, site in enumerate(group)]
    modelled = any(site.waits is not None for site in sites)  # traces of the model's format
    head = ("launches", "teams", "time", *(("useful mean/max", "LB") if modelled else ()),
            *SITE_PHASES)
    rows = [(str(site.launches), ",".join(str(size) for size in site.team_sizes),
             timed(site.time, (site.spread or {}).get("time")),
             *(useful_cells(site) if modelled else ()),
             *(phase_cell(getattr(site, phase)) for phase in SITE_PHASES))
            for site in sites]
    waits = [wait_lines(site, width) if modelled else [] for site in sites]
    named = [(text_site(site, names), site.source or "-") for site in sites]
    lines = ["call sites; each phase's total/median/max:"]
    wide = columns([("call site", "source", *head)]
                   + [name + row for name, row in zip(named, rows)])
    if max(len(line) for line in wide) <= width:
        return lines + [wide[0]] + [line for row, below, heading in zip(wide[1:], waits, heads)
                                    for line in [*heading, row, *below]]
    numbers = columns([head] + rows)
    narrow = max(len(line) for line in numbers) + 2 > width
    if not narrow:
        lines.append("  " + numbers[0])
    for (site, source), row, cells, below, heading in zip(named, numbers[1:], rows, waits, heads):
        lines += heading
        lines.append(cut(f"{site}  ({source})" if source != "-" else site, width))
        lines += wrapped([f"{name} {cell}" for name, cell in zip(head, cells)], width) \
            if narrow else ["  " + row]
        lines += below
    return lines


def counted_cells(counted):
    """Cells "NAME COUNT (TOTAL µs)" of COUNTED, {name: [count, total]},
    the longest first."""
    return [f"{name} {count} ({duration(total)})"
            for name, (count, total) in sorted(counted.items(), key=lambda item: -item[1][1])]


def tally(waits, name):
    """WAITS' counts and totals by NAME(wait)."""
    counted = {}
    for wait in waits:
        held = counted.setdefault(name(wait), [0, 0.0])
        held[0] += wait["count"]
        held[1] += wait["wait"]["total"]
    return counted


def sync_lines(model, width):
    """The waits past the tracer's table of sites, by kind; and an MPI
    rank's time in MPI by call; within 80 columns."""
    lines, width = [], min(width, 80)
    others = [wait for wait in model.sync if wait["site"] == OTHER_SITES]
    if others:
        lines += wrapped(["waits at other sites, count (total):",
                          *counted_cells(tally(others, lambda wait: wait["kind"]))], width)
    rank = model.mpi
    if rank:
        calls = tally((wait for wait in model.sync if wait["kind"] == "mpi"),
                      lambda wait: wait.get("calls") or "(other calls)")
        logged = f"{rank['calls']} logged" + (f", {rank['calls_left_out']} more not"
                                              if rank["calls_left_out"] else "")
        if rank["time"] is not None:
            lines.append(f"in MPI on its initial thread: {duration(rank['time'])}")
        lines += clock_line(rank.get("clock"))
        lines += wrapped([f"MPI calls ({logged}), count (total):", *counted_cells(calls)], width)
    return lines


def clock_line(clock):
    """A rank's clock against rank 0's, where it is more than a
    microsecond off or drifts by more: one line, or none. Its times are
    put on rank 0's in every timeline."""
    if not clock or max(abs(clock["offset"]), abs(clock["drift"])) <= 1:
        return []
    offset = clock["offset"]
    return [f"clock: {duration(abs(offset))} {'behind' if offset >= 0 else 'ahead of'} rank 0's "
            f"(± {duration(clock['uncertainty'])}), drift {duration(clock['drift'])} by "
            "MPI_Finalize"]


def process_summary(model, width, colour, names):
    rank = model.mpi
    rank = f", rank {rank['rank']} of {rank['size']}" if rank else ""
    spread = model.spread or {}
    lines = prose(f"process {model.pid} ({model.program}){rank}: "
                  f"{plural(model.regions, 'region')} launched, "
                  f"{plural(model.threads_created, 'thread')} created; "
                  f"{timed(model.time_in_regions, spread.get('time_in_regions'))} in regions"
                  + ("" if model.time_outside_regions is None else
                     f", {timed(model.time_outside_regions, spread.get('time_outside_regions'))}"
                     " outside"), width)
    lines += ["model factors:"] + factor_tree(model.model_factors or {}, colour)
    lines += where_lines(model, width)
    if model.oversubscribed:
        lines.append(f"oversubscribed: {plural(model.largest_team, 'thread')} on "
                     f"{plural(len(model.cpus_allowed), 'CPU')}")
    if model.stopped_by:
        lines += prose(f"its tracer wrote what it had recorded when signal "
                       f"{model.stopped_by} ended it", width)
    if model.lost_events:
        lines += prose(f"events left out: {model.lost_events}, from "
                       f"{duration(model.lost_from)} on (the tracer's table was full); "
                       "every launch is still counted below", width)
    if model.call_sites:
        lines += site_table(model.call_sites, width, names)
    return lines + sync_lines(model, width)


def timeline_text(report, name, width, colour=False):
    said = [f"{name}, {report.team_origin}" if name else "merged traces", summary(report)]
    if report.repeat:
        merged = (report.stopped_during_repeat or report.repeat + 1) - 1
        said.append(f"each figure the median of {plural(merged, 'run')}, (least–largest) "
                    "beside it where they differ; the region shown is the median run's")
        if report.stopped_during_repeat:
            said.append(f"stopped during run {report.stopped_during_repeat}: the runs before "
                        "it are shown")
    if report.stopped_by:
        said.append(f"partial run: watch-region was stopped by "
                    f"{signal_name(report.stopped_by)}, and reports what was recorded until "
                    "then")
    if report.no_trace:
        said.append(f"no timeline: {report.no_trace}")
    if report.several_runs:
        said.append(f"several runs in one folder: {report.several_runs}")
    said += [f"not read: {each['file']}: {each['reason']}" for each in report.unreadable]
    lines = [line for sentence in filter(None, said) for line in prose(sentence, width)]
    shown = [each for each in report.processes if each.regions]
    names = site_names([site for each in shown for site in each.call_sites])
    for traced in shown:
        lines += process_summary(traced, width, colour, names)
        if traced.region is None and report.chosen_region is None:
            lines += prose("no region was kept whole", width)
        elif traced.region is None:
            lines += prose(f"region {report.chosen_region} was not kept; the regions kept are "
                           f"{number_ranges(traced.region_numbers)}", width)
        else:
            site = next((text_site(site, names) for site in traced.call_sites
                         if site.site == traced.region["site"]), traced.region["site"])
            lines.append(chart(traced.region, site, width).rstrip("\n"))
            if report.chosen_region is None and traced.regions > 1:
                lines += prose(f"(region {traced.region['region']} is the slowest of "
                               f"{traced.regions}; --region N shows another)", width)
    said = []
    if report.processes and not shown:
        said.append("no parallel region: the runtime never started one")
    others = len(report.processes) - len(shown)
    if shown and others:
        said.append(f"{plural(others, 'other process')} of the run started no team")
    lines += [line for sentence in said for line in prose(sentence, width)]
    if (report.model_factors or {}).get("mpi"):
        lines += hybrid_tree(report.model_factors, report.mpi, colour)
        lines += wrapped(["MPI matched: {messages} messages, {collectives} collectives;"
                          .format(**report.mpi), "unmatched: {unmatched_sends} sends, "
                          "{unmatched_receives} receives".format(**report.mpi)], 80, "")
    said = []
    for process in report.left_no_trace or ():
        rank = "" if process["rank"] is None else f", MPI rank {process['rank']}"
        said.append(f"left no trace: process {process['pid']} ({process['program']}{rank})")
    if report.still_running:
        said.append("still running when the program ended: "
                    + ", ".join(f"process {pid}" for pid in report.still_running))
    if report.ran:
        said.append(outcome(report))
    lines += [line for sentence in said for line in prose(sentence, width)]
    return "\n".join(lines) + "\n"
