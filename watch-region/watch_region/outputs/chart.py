"""One region on a terminal: a row per team thread on a common axis from the
launch to its return, each a series of stretches, and each thread's moments."""

from .layout import duration, number, prose, table, wrapped

# Each stretch of a thread's row: what it is, and the character and colour
# that draw it (svg.py draws with the colours).
PHASES = {
    "created": ("+", "#9467bd"),  # inside pthread_create, on the creating thread's clock
    "waiting for a core": (".", "#d62728"),  # created, first instruction not yet run
    "starting": ("-", "#7f7f7f"),  # running, not yet in the body
    "body": ("=", "#2ca02c"),  # the region body
    "waiting at the join": ("~", "#1f77b4"),  # body done, region not yet joined
    "waiting in the body": ("w", "#ff7f0e"),  # at a barrier, a lock, a critical section...
}


def stretches(entry, launch):
    """(phase, start, end) of one thread's row; the thread that launched the
    region is running from the launch on."""
    rows = []
    if entry.get("create_call") is None and "body_start" in entry:
        rows.append(("starting", launch, entry["body_start"]))
    elif entry.get("create_call") is not None:
        returned = entry.get("create_return") or entry["create_call"]
        rows.append(("created", entry["create_call"], returned))
        rows.append(("waiting for a core", returned, max(returned, entry["first_instruction"])))
        rows.append(("starting", entry["first_instruction"],
                     entry.get("body_start", entry["first_instruction"])))
    if "body_start" in entry and "body_end" in entry:
        at = entry["body_start"]
        for start, end in entry.get("waits", []):
            if end is None or not entry["body_start"] <= start <= end <= entry["body_end"]:
                continue
            rows.append(("body", at, start))
            rows.append(("waiting in the body", start, end))
            at = end
        rows.append(("body", at, entry["body_end"]))
        # The tasks a thread runs while it waits are work, drawn over the wait.
        rows += [("body", start, end) for start, end in entry.get("tasks", []) if end is not None]
        if entry.get("join") is not None:
            rows.append(("waiting at the join", entry["body_end"], entry["join"]))
    return rows


def number_ranges(numbers):
    """1-3, 7 for [1, 2, 3, 7]."""
    ranges, start = [], None
    for index, each in enumerate(numbers):
        if start is None:
            start = each
        if index + 1 == len(numbers) or numbers[index + 1] != each + 1:
            ranges.append(str(start) if start == each else f"{start}-{each}")
            start = None
    return ", ".join(ranges) or "none"


def plural(count, word):
    """1 thread, 2 threads; 2 processes."""
    if count == 1:
        return f"{count} {word}"
    return f"{count} {word}{'es' if word.endswith('s') else 's'}"


def chart(model, site, width, columns_wide=64):
    """One region in WIDTH columns: its rows, the table of each thread's
    moments from the launch, its phases; SITE is its call site as the text
    shows it."""
    begin, end = model["launch"], model["launch_return"]
    returned = end is not None
    if not returned:  # under way as the process ended: drawn as far as it went
        end = max([begin] + [moment for entry in model["threads"] for moment in (
            [entry.get(key) for key in ("body_start", "body_end", "join")]
            + [span[1] for kind in ("waits", "tasks") for span in entry.get(kind, [])])
            if moment is not None])
    scale = columns_wide / max(end - begin, 1e-9)
    parent = f", inside region {model['parent']}" if model["parent"] else ""
    ended = (f"returned {duration(end - begin)} later" if returned else
             f"not returned as the process ended ({duration(end - begin)} on)")
    lines = prose(f"region {model['region']} at {site or '?'}, level {model['level']}{parent}: "
                  f"launched at {duration(begin)}, {ended}; "
                  f"{plural(model['threads_created'], 'thread')} created in it", width)
    lines.append(" " * 11 + f"|{'launch':<{columns_wide - 6}}{'return' if returned else '   end'}|")
    for entry in model["threads"]:
        row = [" "] * columns_wide
        for phase, start, stop in stretches(entry, model["launch"]):
            first = max(0, min(columns_wide - 1, int((start - begin) * scale)))
            last = max(first, min(columns_wide - 1, int((stop - begin) * scale) - 1))
            for column in range(first, last + 1):
                row[column] = PHASES[phase][0]
        lines.append(f"thread {entry['thread']:<4}|{''.join(row)}|")
    lines += wrapped([f"{mark} {phase}" for phase, (mark, _) in PHASES.items()], width)
    lines.append("")
    moments = [entry[key] - begin for entry in model["threads"]
               for key in ("first_instruction", "body_start", "body_end", "join")
               if entry.get(key) is not None]
    largest = max([end - begin] + [abs(moment) for moment in moments])
    rows = [("thread", "kernel thread", "created by", "creation took", "first instruction",
             "body start", "body end", "joined")]
    for entry in model["threads"]:
        def at(key):
            return "-" if entry.get(key) is None else number(entry[key] - begin, largest)
        took = ("-" if entry.get("create_return") is None
                else number(entry["create_return"] - entry["create_call"], largest))
        rows.append((str(entry["thread"]), str(entry["kernel_thread"]),
                     entry.get("created_by") or "-", took, at("first_instruction"),
                     at("body_start"), at("body_end"), at("join")))
    lines.append(f"each thread, in {duration(0, largest).split()[1]} from the launch:")
    lines += table(rows, width)
    if model["phases"]:
        lines.append("")
        lines += prose("region phases: " + ", ".join(f"{name} {duration(time)}"
                                                     for name, time in model["phases"].items()),
                       width)
    return "\n".join(lines) + "\n"
