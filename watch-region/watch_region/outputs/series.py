"""A --scaling series as text: the run at each team size (run time,
speedup, the model's factors), a column per size, then each region's time,
speedup and serial fraction at each size, the one that scales worst first;
with --repeat, each figure the median of its runs with their least and
largest beside it where they differ."""

from ..ran_on import summary
from ..report import signal_name
from .chart import plural
from .factors import FACTORS, paint, percent
from .gains import region_label
from .layout import columns, outcome, prose, timed, with_spread


def ratio(value):
    return "-" if value is None else f"{value:.2f}"


def size_table(labels, cells, width, colour):
    """A row per label of LABELS, a column per team size (CELLS, each a list
    of (text, value to colour by, or None)); where it is wider than WIDTH,
    its columns go on in further tables below."""
    labels = columns(labels)
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


def scaling_table(runs, width, colour):
    """The series' table: a row per measure, a column per team size."""
    labels = [("team size", ""), ("run time", ""), ("speedup", "")] + [
        ("  " * depth + name, short) for _, name, depth, short in FACTORS]
    cells = []
    for run in runs:
        spread = run.spread or {}
        factors = run.model_factors
        cells.append([(str(run.team), None),
                      ("-" if run.run_time is None
                       else timed(run.run_time, spread.get("run_time")), None),
                      (ratio(run.speedup), None)]
                     + [(with_spread(percent(factors.get(key)), (factors.get("spread") or {})
                                     .get(key), lambda each: percent(each)[:-1]),
                         factors.get(key)) for key, *_ in FACTORS])
    return size_table(labels, cells, width, colour)


def site_lines(sites, teams, width):
    """Each region's time, speedup and serial fraction at each team size of
    TEAMS, a table each under its name; the one that scales worst named
    first."""
    lines = []
    worst = next((site for site in sites if site.serial_fraction), None)
    if worst is not None:
        team = max(worst.serial_fraction, key=int)
        lines += prose(f"scales worst: {region_label(worst.body, worst.source, worst.site)}, "
                       f"serial fraction {ratio(worst.serial_fraction[team])} at team size "
                       f"{team}", width)
    lines.append("each region (by body): time, speedup over the first size, and serial "
                 "fraction (Karp-Flatt), the worst first:")
    labels = [("team size", ""), ("time", ""), ("speedup", ""), ("serial fraction", "")]
    for site in sites:
        spread = site.time.get("spread") or {}
        cells = [[(str(team), None),
                  ("-" if str(team) not in site.time
                   else timed(site.time[str(team)], spread.get(str(team))), None),
                  (ratio(site.speedup.get(str(team))), None),
                  (ratio(site.serial_fraction.get(str(team))), None)] for team in teams]
        lines += prose(region_label(site.body, site.source, site.site), width)
        lines += size_table(labels, cells, width, False)
    return lines


def render(findings):
    report, width = findings.report, findings.width
    said = filter(None, [f"{findings.name}, {report.team_origin}", summary(report)])
    lines = [line for sentence in said for line in prose(sentence, width)]
    if report.repeat:
        lines += prose(f"each figure the median of {plural(report.repeat, 'run')} at each team "
                       "size, (least–largest) beside it where they differ", width)
    if report.scaling:
        lines += ["the run at each team size; speedup over the first:"]
        lines += scaling_table(report.scaling, width, findings.colour)
    if report.scaling_sites:
        lines += site_lines(report.scaling_sites, [run.team for run in report.scaling], width)
    if report.stopped_by:
        during = (f"run {report.stopped_during_repeat} of " if report.stopped_during_repeat
                  else "the run of ")
        lines += prose(f"stopped: watch-region got {signal_name(report.stopped_by)} during {during}"
                       f"team size {report.stopped_during}; the runs before it are shown",
                       width)
    if report.ran:
        lines.append(f"{outcome(report)} (team size {report.status_of})")
    return "\n".join(lines) + "\n"
