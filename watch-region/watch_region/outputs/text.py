"""The report as text: the gdb mode's table, or the timeline's account of each
process (the model's factors, the run as a whole, a table of its call sites,
one region whole), or a series of runs' table, a column per team size;
fitted to the width it is given. C++ functions are shortened to
Class::method here; the JSON keeps them whole."""

from ..symbols import short_name
from ..timeline.model import OTHER_SITES, SITE_PHASES
from .chart import chart, columns, number_ranges, plural
from .factors import FACTORS, factor_tree, paint, percent


def render(findings):
    if findings.mode == "gdb":
        from ..gdb_mode.table import table_text  # pylint: disable=import-outside-toplevel
        return table_text(findings.report, findings.name)
    if findings.mode == "scaling":
        return scaling_text(findings)
    return timeline_text(findings.report, findings.name, findings.width, findings.colour)


def outcome(report):
    if report.get("signal"):
        return f"killed by signal {report['signal']}"
    return f"exit status: {report['exit_status']}"


def text_site(site):
    if not site.get("function"):
        return site["site"]
    return f"{site['object']}!{short_name(site['function'])}+{site['offset']:#x}"


def phase_cell(stats):
    """total/median/max, the median's bound where it shows at 0.1 µs."""
    error = f"±{stats['median_error']:.1f}" if stats.get("median_error", 0) >= 0.05 else ""
    return f"{stats['total']:.1f}/{stats['median']:.1f}{error}/{stats['max']:.1f}"


def cut(text, width):
    """TEXT, its middle left out where it is wider than WIDTH."""
    if len(text) <= width:
        return text
    half = (width - 1) // 2
    return text[:half] + "…" + text[len(text) - (width - 1 - half):]


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


def wrapped(cells, width, indent="  "):
    """CELLS on lines of at most WIDTH, none broken."""
    lines, line = [], indent
    for cell in cells:
        if line.strip() and len(line) + 2 + len(cell) > width:
            lines.append(line.rstrip())
            line = indent
        line += ("  " if line.strip() else "") + cell
    return lines + [line.rstrip()] if line.strip() else lines


def useful_cells(site):
    """A site's useful time per thread, mean/max, and its load balance."""
    useful = site.get("useful")
    if useful is None:  # no body of its teams was timed
        return ("-", "-")
    return (f"{useful['mean']:.1f}/{useful['max']:.1f}", percent(useful["load_balance"]))


def wait_lines(site, width):
    """A site's waits by kind, the longest first, as lines under its row."""
    waits = sorted(site["waits"].items(), key=lambda kind: -kind[1]["total"])
    cells = [f"{kind} {wait['count']} ({wait['total']:.1f} µs)" for kind, wait in waits]
    return wrapped(["waits, count (total):", *cells] if cells else ["waits: none"], width, "    ")


def site_table(sites, width):
    """The call sites, a row each, and a line of its waits below it; where a
    row is wider than WIDTH, each site's name gets a line of its own, and its
    numbers the lines below."""
    modelled = any("waits" in site for site in sites)  # traces of the model's format
    head = ("launches", "teams", "time µs", *(("useful mean/max µs", "LB") if modelled else ()),
            *(f"{phase} µs" for phase in SITE_PHASES))
    rows = [(str(site["launches"]), ",".join(str(size) for size in site["team_sizes"]),
             f"{site['time']:.1f}", *(useful_cells(site) if modelled else ()),
             *(phase_cell(site[phase]) for phase in SITE_PHASES))
            for site in sites]
    waits = [wait_lines(site, width) if modelled else [] for site in sites]
    names = [(text_site(site), site["source"] or "-") for site in sites]
    lines = ["call sites; each phase's total/median/max in µs:"]
    wide = columns([("call site", "source", *head)]
                   + [name + row for name, row in zip(names, rows)])
    if max(len(line) for line in wide) <= width:
        return lines + [wide[0]] + [line for row, below in zip(wide[1:], waits)
                                    for line in [row, *below]]
    numbers = columns([head] + rows)
    narrow = max(len(line) for line in numbers) + 2 > width
    if not narrow:
        lines.append("  " + numbers[0])
    for (site, source), row, cells, below in zip(names, numbers[1:], rows, waits):
        lines.append(cut(f"{site}  ({source})" if source != "-" else site, width))
        lines += wrapped([f"{name} {cell}" for name, cell in zip(head, cells)], width) \
            if narrow else ["  " + row]
        lines += below
    return lines


def counted_cells(counted):
    """Cells "NAME COUNT (TOTAL µs)" of COUNTED, {name: [count, total]},
    the longest first."""
    return [f"{name} {count} ({total:.1f} µs)"
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
    others = [wait for wait in model.get("sync") or () if wait["site"] == OTHER_SITES]
    if others:
        lines += wrapped(["waits at other sites, count (total):",
                          *counted_cells(tally(others, lambda wait: wait["kind"]))], width)
    rank = model.get("mpi")
    if rank:
        calls = tally((wait for wait in model["sync"] if wait["kind"] == "mpi"),
                      lambda wait: wait.get("calls") or "(other calls)")
        spent = "" if rank["time"] is None else (
            f": {rank['time']:.1f} µs in MPI on its initial thread")
        logged = f"{rank['calls']} logged" + (f", {rank['calls_left_out']} more not"
                                              if rank["calls_left_out"] else "")
        lines.append(f"MPI rank {rank['rank']} of {rank['size']}{spent}")
        lines += wrapped([f"MPI calls ({logged}), count (total):", *counted_cells(calls)], width)
    return lines


def process_summary(model, width, colour):
    lines = [f"process {model['pid']} ({model['program']}): "
             f"{plural(model['regions'], 'region')} launched, "
             f"{plural(model['threads_created'], 'thread')} created; "
             f"{model['time_in_regions']:.1f} µs in regions"
             + ("" if model["time_outside_regions"] is None
                else f", {model['time_outside_regions']:.1f} µs outside")]
    if "model_factors" in model:
        lines += ["model factors:"] + factor_tree(model["model_factors"] or {}, colour)
    if model.get("stopped_by"):
        lines.append(f"its tracer wrote what it had recorded when signal {model['stopped_by']} "
                     "ended it")
    if model["lost_events"]:
        lines.append(f"events left out: {model['lost_events']}, from {model['lost_from']:.1f} µs "
                     f"on (the tracer's table was full); every launch is still counted below")
    if model["call_sites"]:
        lines += site_table(model["call_sites"], width)
    return lines + sync_lines(model, width)


def timeline_text(report, name, width, colour=False):
    lines = [f"{name}, {report['team_origin']}" if name else "merged traces"]
    if report.get("stopped_by"):
        lines.append(f"partial run: watch-region was stopped by {report['stopped_by']}, "
                     "and reports what was recorded until then")
    if report.get("no_trace"):
        lines.append(f"no timeline: {report['no_trace']}")
    if report.get("several_runs"):
        lines.append(f"several runs in one folder: {report['several_runs']}")
    for unreadable in report.get("unreadable", []):
        lines.append(f"not read: {unreadable['file']}: {unreadable['reason']}")
    shown = [each for each in report["processes"] if each["regions"]]
    for traced in shown:
        lines += process_summary(traced, width, colour)
        if traced["region"] is None:
            lines.append(f"region {report['chosen_region']} was not kept; the regions kept are "
                         f"{number_ranges(traced['region_numbers'])}")
        else:
            site = next((text_site(site) for site in traced["call_sites"]
                         if site["site"] == traced["region"]["site"]), traced["region"]["site"])
            lines.append(chart(traced["region"], site).rstrip("\n"))
            if report["chosen_region"] is None and traced["regions"] > 1:
                lines.append(f"(region {traced['region']['region']} is the slowest of "
                             f"{traced['regions']}; --region N shows another)")
    if report["processes"] and not shown:
        lines.append("no parallel region: the runtime never started one")
    others = len(report["processes"]) - len(shown)
    if shown and others:
        lines.append(f"{plural(others, 'other process')} of the run started no team")
    if (report.get("model_factors") or {}).get("mpi"):
        lines += hybrid_tree(report["model_factors"], report["mpi"], colour)
        lines += wrapped(["MPI matched: {messages} messages, {collectives} collectives;"
                          .format(**report["mpi"]), "unmatched: {unmatched_sends} sends, "
                          "{unmatched_receives} receives".format(**report["mpi"])], 80, "")
    for process in report.get("left_no_trace", []):
        rank = "" if process["rank"] is None else f", MPI rank {process['rank']}"
        lines.append(f"left no trace: process {process['pid']} ({process['program']}{rank})")
    if report.get("still_running"):
        lines.append("still running when the program ended: "
                     + ", ".join(f"process {pid}" for pid in report["still_running"]))
    if "exit_status" in report:
        lines.append(outcome(report))
    return "\n".join(lines) + "\n"


def scaling_table(runs, width, colour):
    """The series' table: a row per measure, a column per team size; where
    it is wider than WIDTH, its columns go on in further tables below."""
    def speedup(value):
        return "-" if value is None else f"{value:.2f}"
    labels = columns([("team size", ""), ("run time µs", ""), ("speedup", "")]
                     + [("  " * depth + name, short) for _, name, depth, short in FACTORS])
    cells = [[(str(run["team"]), None),
              ("-" if run["run_time"] is None else f"{run['run_time']:.1f}", None),
              (speedup(run["speedup"]), None)]
             + [(percent(run["model_factors"].get(key)), run["model_factors"].get(key))
                for key, *_ in FACTORS] for run in runs]
    label_width = max(len(label) for label in labels)
    widths = [max(len(text) for text, _ in column) for column in cells]
    lines, first = [], 0
    while first < len(cells):
        if first:
            lines.append("")
        last, used = first + 1, label_width + 2 + 2 + widths[first]
        while last < len(cells) and used + 2 + widths[last] <= width:
            used += 2 + widths[last]
            last += 1
        for row, label in enumerate(labels):
            line = f"  {label:<{label_width}}" + "".join(
                "  " + paint(f"{cells[at][row][0]:>{widths[at]}}", cells[at][row][1], colour)
                for at in range(first, last))
            lines.append(line.rstrip())
        first = last
    return lines


def scaling_text(findings):
    report = findings.report
    lines = [f"{findings.name}, {report['team_origin']}"]
    if report["scaling"]:
        lines += ["the run at each team size; speedup over the first:"]
        lines += scaling_table(report["scaling"], findings.width, findings.colour)
    if report.get("stopped_by"):
        lines.append(f"stopped: watch-region got {report['stopped_by']} during the run of "
                     f"team size {report['stopped_during']}; the runs before it are shown")
    if "exit_status" in report:
        lines.append(f"{outcome(report)} (team size {report['status_of']})")
    return "\n".join(lines) + "\n"
