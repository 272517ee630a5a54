"""The gdb mode's report as text: the launches, each with its call site (told
by call site when there are many), one row per kernel thread of what it
asked the runtime, how often it ran a body and its atomic operations, the
shared total after the join, and the stops that could not be read; within
the width it is given. No line grows with the run."""

import collections

from ..ran_on import summary
from .chart import plural
from .layout import outcome, prose, table as fitted

LAUNCHES_LISTED = 8
VALUES_LISTED = 8
REASONS_LISTED = 3


def launch_lines(launches, width):
    if len(launches) <= LAUNCHES_LISTED:
        lines = []
        for launch in launches:
            data = f"data at {launch['data']}" if launch["data"] else "no data (null)"
            site = f" at {launch['site']}" if launch["site"] else ""
            lines += prose(f"launch: {launch['entry']}(body {launch['body']}, {data}, "
                           f"num_threads {launch['num_threads']}, flags {launch['flags']}){site}",
                           width)
        return lines
    by_site = collections.Counter((launch["site"], launch["entry"], launch["body"])
                                  for launch in launches)
    lines = [f"{len(launches)} launches, by call site:"]
    for (site, entry, body), count in by_site.most_common():
        lines += prose(f"  {site}: {count} x {entry}(body {body})", width)
    return lines


def atomics_cell(seen):
    values = seen["atomic_additions"]
    cell = " ".join(f"+{value}" if value >= 0 else str(value) for value in values[:VALUES_LISTED])
    if len(values) > VALUES_LISTED:
        cell += f" ... ({len(values)} in all, sum {sum(values)})"
    others = seen["atomic_operations"] - len(values)
    if others:
        kinds = "/".join(name for name in seen["atomic_instructions"]
                         if not name.startswith(("lock add", "lock xadd", "lock sub",
                                                 "lock inc", "lock dec")))
        cell = (cell + " " if cell else "") + f"{others} x {kinds or 'lock'} (no value)"
    return cell or "-"


def lost_stops_line(process):
    reasons = process.lost_stop_reasons
    said = "; ".join(f"{reason} ({count})" if count > 1 else reason
                     for reason, count in list(reasons.items())[:REASONS_LISTED])
    if len(reasons) > REASONS_LISTED:
        said += f"; {plural(len(reasons) - REASONS_LISTED, 'other reason')}"
    return f"{plural(process.lost_stops, 'stop')} could not be read: {said}"


def table_text(report, name, width):
    """The whole report in WIDTH columns: NAME (the program's) and where
    the team size came from, then the table."""
    said = filter(None, [f"{name}, {report.team_origin}", summary(report)])
    lines = [*(line for sentence in said for line in prose(sentence, width)),
             *table(report.processes[0], outcome(report), width)]
    return "\n".join(lines) + "\n"


def launches_of(process):
    """The process's launches in launch order, each with its call site."""
    return sorted(({**launch, "site": site.site} for site in process.call_sites
                   for launch in site.launched), key=lambda launch: launch["region"])


def table(process, ending, width):
    """The process's lines; ENDING says how the program ended."""
    launches = launches_of(process)
    lines = launch_lines(launches, width)
    if not launches:
        lines += prose("no parallel region: no libgomp entry that starts a team was called", width)
    if process.threads:
        rows = [("thread", "told team size", "team queries, in order", "body runs",
                 "atomic operations")]
        for seen in process.threads:
            queries = seen["queries"]
            told = ", ".join(queries[:4])
            if len(queries) > 4:
                told += f" ... ({len(queries)} in all)"
            rows.append((
                "?" if seen["thread"] is None else str(seen["thread"]),
                "?" if seen["team_size"] is None else str(seen["team_size"]),
                told or "-",
                str(seen["body_runs"]),
                atomics_cell(seen),
            ))
        lines += fitted(rows, width)
    if process.total_after_join is not None:
        lines.append(f"shared total after the join: {process.total_after_join}")
    if process.forks:
        times = "once" if process.forks == 1 else f"{process.forks} times"
        lines += prose(f"the program forked {times}; "
                       "this mode does not follow child processes (--timeline does)", width)
    if process.lost_stops:
        lines += prose(lost_stops_line(process), width)
    lines.append(f"threads seen: {len(process.threads)}; {ending}")
    return lines
