"""The model of a traced run: its regions and their team threads, when each
thread was created, started, ran the body and was joined, and the run's
phases, worked out from the trace's events. Times are microseconds from the
moment the tracer was loaded.
"""

# Each stretch of a thread's row: what it is, and the character and colour
# that draw it.
PHASES = {
    "created": ("+", "#9467bd"),         # inside pthread_create, on the creating thread's clock
    "waiting for a core": (".", "#d62728"),  # created, first instruction not yet run
    "starting": ("-", "#7f7f7f"),        # running, not yet in the body
    "body": ("=", "#2ca02c"),            # the region body
    "waiting at the join": ("~", "#1f77b4"),  # body done, region not yet joined
}


def first_of(events, name, **where):
    """The first event called NAME whose fields have the values WHERE gives."""
    return next((event for event in events if event.name == name
                 and all(getattr(event, field) == value for field, value in where.items())), None)


def timeline(events):
    """The first region's timeline, from a trace's EVENTS: its launch, one
    entry per team thread and the run's phases."""
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
        creator = next((t["thread"] for t in team
                        if t["kernel_thread"] == entry.get("created_by")), None)
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
    return {"regions": sum(1 for event in events
                           if event.name == "launch" and event.tid == launch.tid),
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
        rows.append(("starting", entry["first_instruction"],
                     entry.get("body_start", entry["first_instruction"])))
    if "body_start" in entry and "body_end" in entry:
        rows.append(("body", entry["body_start"], entry["body_end"]))
        if "join" in entry:
            rows.append(("waiting at the join", entry["body_end"], entry["join"]))
    return rows
