"""The timeline on a terminal: the process as a whole, a table of its call
sites, then one region as one row per team thread on a common axis from the
launch to its return, with each thread's moments."""

from .model import PHASES, SITE_PHASES, stretches


def columns(rows):
    widths = [max(len(row[i]) for row in rows) for i in range(len(rows[0]))]
    return ["  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip() for row in rows]


def number_ranges(numbers):
    """1-3, 7 for [1, 2, 3, 7]."""
    ranges, start = [], None
    for index, number in enumerate(numbers):
        if start is None:
            start = number
        if index + 1 == len(numbers) or numbers[index + 1] != number + 1:
            ranges.append(str(start) if start == number else f"{start}-{number}")
            start = None
    return ", ".join(ranges) or "none"


def plural(count, word):
    return f"{count} {word}{'' if count == 1 else 's'}"


def process_summary(model):
    lines = [f"process {model['pid']} ({model['program']}): "
             f"{plural(model['regions'], 'region')} launched, "
             f"{plural(model['threads_created'], 'thread')} created; "
             f"{model['time_in_regions']:.1f} µs in regions"
             + ("" if model["time_outside_regions"] is None
                else f", {model['time_outside_regions']:.1f} µs outside")]
    if model["lost_events"]:
        lines.append(f"events left out: {model['lost_events']}, from {model['lost_from']:.1f} µs "
                     f"on (the tracer's table was full); every launch is still counted below")
    if model["call_sites"]:
        rows = [("call site", "source", "launches", "teams", "time µs",
                 *(f"{phase} µs total/median/max" for phase in SITE_PHASES))]
        for site in model["call_sites"]:
            teams = ",".join(str(size) for size in site["team_sizes"])
            rows.append((site["site"], site["source"] or "-", str(site["launches"]), teams,
                         f"{site['time']:.1f}",
                         *("{total:.1f}/{median:.1f}/{max:.1f}".format(**site[phase])
                           for phase in SITE_PHASES)))
        lines += columns(rows)
    return lines


def chart(model, width=64):
    """One region: its rows, the table of each thread's moments, its phases."""
    begin, end = model["launch"], model["launch_return"]
    scale = width / max(end - begin, 1e-9)
    parent = f", inside region {model['parent']}" if model["parent"] else ""
    lines = [f"region {model['region']} at {model['site'] or '?'}, level {model['level']}{parent}: "
             f"launched at {begin:.0f} µs, returned at {end:.0f} µs; "
             f"{model['threads_created']} threads created in it",
             " " * 11 + f"|{'launch':<{width - 6}}return|"]
    for entry in model["threads"]:
        row = [" "] * width
        for phase, start, stop in stretches(entry, model["launch"]):
            first = max(0, min(width - 1, int((start - begin) * scale)))
            last = max(first, min(width - 1, int((stop - begin) * scale) - 1))
            for column in range(first, last + 1):
                row[column] = PHASES[phase][0]
        lines.append(f"thread {entry['thread']:<4}|{''.join(row)}|")
    lines.append("  " + "   ".join(f"{mark} {phase}" for phase, (mark, _) in PHASES.items()))
    lines.append("")
    rows = [("thread", "kernel thread", "created by", "pthread_create µs", "first instruction",
             "body start", "body end", "joined")]
    for entry in model["threads"]:
        def at(key):
            return "-" if entry.get(key) is None else f"{entry[key]:.1f}"
        took = ("-" if entry.get("create_return") is None
                else f"{entry['create_return'] - entry['create_call']:.1f}")
        rows.append((str(entry["thread"]), str(entry["kernel_thread"]),
                     entry.get("created_by") or "-", took, at("first_instruction"),
                     at("body_start"), at("body_end"), at("join")))
    lines += columns(rows)
    lines.append("")
    lines.append("region phases, µs: " + ", ".join(f"{name} {time:.1f}"
                                                   for name, time in model["phases"].items()))
    return "\n".join(lines) + "\n"
