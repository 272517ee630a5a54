"""One region on a terminal: a row per team thread on a common axis from the
launch to its return, and each thread's moments."""

from ..timeline.model import PHASES, stretches


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
    """1 thread, 2 threads; 2 processes."""
    if count == 1:
        return f"{count} {word}"
    return f"{count} {word}{'es' if word.endswith('s') else 's'}"


def chart(model, site, width=64):
    """One region: its rows, the table of each thread's moments, its phases;
    SITE is its call site as the text shows it."""
    begin, end = model["launch"], model["launch_return"]
    scale = width / max(end - begin, 1e-9)
    parent = f", inside region {model['parent']}" if model["parent"] else ""
    lines = [f"region {model['region']} at {site or '?'}, level {model['level']}{parent}: "
             f"launched at {begin:.0f} µs, returned at {end:.0f} µs; "
             f"{plural(model['threads_created'], 'thread')} created in it",
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
