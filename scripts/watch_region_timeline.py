"""The timeline half of watch-region: reads the events that the region tracer
(tracer/, preloaded into the program) wrote, and shows when each team thread
was created, started, ran the body and was joined, as a terminal chart with
a table of phases, as a Trace Event Format file (Perfetto, chrome://tracing)
and as an SVG drawn by gnuplot.

All times are microseconds from the moment the tracer was loaded.
"""

import collections
import json
import os
import shutil
import subprocess
import tempfile

Event = collections.namedtuple("Event", "name time tid thread link")

# Each stretch of a thread's row: what it is, and the character and colour
# that draw it.
PHASES = {
    "created": ("+", "#9467bd"),         # inside pthread_create, on the creating thread's clock
    "waiting for a core": (".", "#d62728"),  # created, first instruction not yet run
    "starting": ("-", "#7f7f7f"),        # running, not yet in the body
    "body": ("=", "#2ca02c"),            # the region body
    "waiting at the join": ("~", "#1f77b4"),  # body done, region not yet joined
}


class TraceError(Exception):
    """The trace is missing or does not hold a whole region."""


def read_events(path):
    """The tracer's lines as Events, in time order, timed from its load."""
    try:
        with open(path, encoding="ascii") as trace:
            lines = [line.split() for line in trace if not line.startswith("dropped")]
    except OSError:
        raise TraceError("the tracer wrote no trace: the program did not end through exit, "
                         "or is not dynamically linked") from None
    events = sorted((Event(name, int(ns), int(tid), int(thread), int(link))
                     for name, ns, tid, thread, link in lines), key=lambda event: event.time)
    start = events[0].time
    return [event._replace(time=(event.time - start) / 1000) for event in events]


def first_of(events, name, **where):
    """The first event called NAME whose fields have the values WHERE gives."""
    return next((event for event in events if event.name == name
                 and all(getattr(event, field) == value for field, value in where.items())), None)


def timeline(path):
    """The first region's timeline: its launch, one entry per team thread and
    the run's phases."""
    events = read_events(path)
    launch = first_of(events, "launch")
    if launch is None:
        return {"regions": 0, "threads": [], "phases": {}}
    launch_return = first_of(events, "launch_return", tid=launch.tid)
    end = launch_return.time if launch_return else events[-1].time
    region = [event for event in events if launch.time <= event.time <= end]
    threads = {}
    for event in region:
        if event.name in ("body_start", "body_end", "join", "task_end") and event.thread >= 0:
            entry = threads.setdefault(event.thread, {"thread": event.thread,
                                                      "kernel_thread": event.tid, "body_runs": 0})
            if event.name == "body_start":
                entry["body_runs"] += 1
            entry.setdefault(event.name, event.time)
    for entry in threads.values():
        # libomp: a team of one has no closing barrier; its task's end is both.
        if "task_end" in entry:
            entry.setdefault("body_end", entry["task_end"])
            entry.setdefault("join", entry.pop("task_end"))
        first = first_of(events, "first_instruction", tid=entry["kernel_thread"])
        call = first and first_of(events, "create_call", link=first.link)
        if call is not None:
            done = first_of(events, "create_return", link=first.link)
            entry["created_by"] = call.tid
            entry["create_call"] = call.time
            entry["create_return"] = done.time if done else None
            entry["first_instruction"] = first.time
        if "join" not in entry and entry["kernel_thread"] == launch.tid:
            entry["join"] = end  # libgomp: thread 0 is joined when the launch returns
    team = [threads[number] for number in sorted(threads)]
    for entry in team:
        creator = next((t["thread"] for t in team if t["kernel_thread"] == entry.get("created_by")), None)
        entry["created_by"] = None if "created_by" not in entry else (
            f"thread {creator}" if creator is not None else f"kernel thread {entry['created_by']}")
    starts = [entry["body_start"] for entry in team if "body_start" in entry]
    ends = [entry["body_end"] for entry in team if "body_end" in entry]
    exit_event = first_of(events, "exit")
    phases = {}
    if starts and ends:
        phases = {"load to launch": launch.time, "fork": max(starts) - launch.time,
                  "work": max(ends) - max(starts), "join": end - max(ends),
                  "return to exit": (exit_event.time if exit_event else end) - end}
    created = [event for event in region if event.name == "create_call"]
    return {"regions": sum(1 for event in events if event.name == "launch" and event.tid == launch.tid),
            "launch": launch.time, "launch_return": end, "threads_created": len(created),
            "threads": team, "phases": phases}


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
        rows.append(("starting", entry["first_instruction"], entry.get("body_start", entry["first_instruction"])))
    if "body_start" in entry and "body_end" in entry:
        rows.append(("body", entry["body_start"], entry["body_end"]))
        if "join" in entry:
            rows.append(("waiting at the join", entry["body_end"], entry["join"]))
    return rows


def chart(model, width=64):
    """One row per team thread on a common axis from the launch to its
    return, then the table of phases."""
    begin, end = model["launch"], model["launch_return"]
    scale = width / max(end - begin, 1e-9)
    lines = [f"region: launched at {begin:.0f} µs, returned at {end:.0f} µs; "
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
    header = ("thread", "created by", "pthread_create µs", "first instruction", "body start",
              "body end", "joined")
    rows = [header]
    for entry in model["threads"]:
        def at(key):
            return "-" if entry.get(key) is None else f"{entry[key]:.1f}"
        took = ("-" if entry.get("create_return") is None
                else f"{entry['create_return'] - entry['create_call']:.1f}")
        rows.append((str(entry["thread"]), entry.get("created_by") or "-", took,
                     at("first_instruction"), at("body_start"), at("body_end"), at("join")))
    widths = [max(len(row[i]) for row in rows) for i in range(len(header))]
    lines += ["  ".join(cell.ljust(w) for cell, w in zip(row, widths)).rstrip() for row in rows]
    lines.append("")
    lines.append("run phases, µs: " + ", ".join(f"{name} {time:.1f}" for name, time in model["phases"].items()))
    return "\n".join(lines) + "\n"


def trace_events(model):
    """The Trace Event Format: one track (tid) per team thread, named."""
    events = []
    for entry in model["threads"]:
        events.append({"name": "thread_name", "ph": "M", "pid": 1, "tid": entry["thread"],
                       "args": {"name": f"thread {entry['thread']}"}})
        for phase, start, stop in stretches(entry, model["launch"]):
            events.append({"name": phase, "ph": "X", "pid": 1, "tid": entry["thread"],
                           "ts": start, "dur": stop - start})
    return {"traceEvents": events, "displayTimeUnit": "ns"}


def write_svg(model, path, title):
    """Draws the rows with gnuplot; raises OSError if it cannot."""
    gnuplot = shutil.which("gnuplot")
    if gnuplot is None:
        raise OSError("gnuplot is not installed (Debian package gnuplot-nox)")
    with open(path, "w", encoding="utf-8"):
        pass  # an unwritable path fails here, with the system's reason
    with tempfile.TemporaryDirectory() as work:
        data = os.path.join(work, "stretches.dat")
        with open(data, "w", encoding="ascii") as rows:
            for entry in model["threads"]:
                for phase, start, stop in stretches(entry, model["launch"]):
                    rows.write(f"{entry['thread']} {start} {stop} {int(PHASES[phase][1][1:], 16)}\n")
        keys = ", ".join(f'NaN with boxes fc rgb "{colour}" fs solid title "{phase}"'
                         for phase, (_, colour) in PHASES.items())
        script = f"""
set terminal svg size 900,{140 + 22 * len(model["threads"])} dynamic noenhanced font "sans,11" background "white"
set output "{path}"
set title "{title}"
set xlabel "microseconds since the tracer was loaded"
set ylabel "team thread"
set yrange [{len(model["threads"]) - 0.5}:-0.5]
set ytics 1
set grid xtics
set key outside bottom center horizontal
plot "{data}" using (($2 + $3) / 2):1:(($3 - $2) / 2):(0.35):4 \\
     with boxxyerror fs solid lc rgb variable notitle, {keys}
"""
        result = subprocess.run([gnuplot], input=script, text=True, capture_output=True, check=False)
    if result.returncode != 0:
        said = result.stderr.strip().splitlines()
        raise OSError(said[-1] if said else f"gnuplot exited {result.returncode}")


def write_trace(model, path):
    with open(path, "w", encoding="utf-8") as trace:
        json.dump(trace_events(model), trace)
