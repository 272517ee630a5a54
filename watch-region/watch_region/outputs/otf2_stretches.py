"""What each thread of a traced process did, as an OTF2 archive can hold it
(otf2_plan.py numbers it): the launches, returns and bodies of the regions
whose every event the trace kept, and the waits, task bodies and thread
creations whose start and end it kept, nested, so that the archive's
enters and leaves pair."""

from ..report import nanoseconds
from ..timeline.regions import regions_of


def whole_regions(events):
    """The regions whose launch, return and every body the events hold."""
    whole = {}
    for number, region in regions_of(events).items():
        team = [entry for entry in region["threads"].values()
                if "body_start" in entry or entry["thread"] is not None]
        if region["launch_return"] is not None and team and all(
                "body_start" in entry and "body_end" in entry for entry in team):
            whole[number] = {**region, "team": sorted(team, key=lambda entry: entry["thread"])}
    return whole


# What ends each stretch a thread is in: a body, a wait, a task's body, a
# thread's creation.
ENDS = {"body_start": "body_end", "wait_begin": "wait_end", "task_begin": "task_end",
        "create_call": "create_return"}
STARTS = {end: start for start, end in ENDS.items()}
BODY_OR_LAUNCH = {"body_start", "body_end", "launch", "launch_return"}
LAUNCHES = {"launch", "launch_return"}
KINDS = {name: name.split("_")[0] for name in set(ENDS) | set(STARTS)}
# The events that a thread's stretches are made of: in a region written
# whole, and in any other.
STRETCHES = set(KINDS) | LAUNCHES
NOT_WHOLE = STRETCHES - BODY_OR_LAUNCH


def process_events(trace):
    """The events of one process's threads, by kernel thread: (what,
    nanoseconds, argument) in the order each thread met them: the launches,
    returns and bodies of the regions whose every event the trace kept, and
    the waits, task bodies and thread creations whose start and end it kept,
    nested (one left open when a stretch that started before it ends is
    left out). A body's or a launch's argument is its region; a wait's or a
    task's, its event. Times are nanoseconds on the run's clock."""
    kept = trace.events()
    launched = {region for name, _, _, _, region, _, _ in kept if name == "launch"}
    extra = [event for event in trace.slowest if event.region not in launched]
    events = sorted(kept + extra, key=lambda event: event.time) if extra else kept
    whole = whole_regions(events)
    threads, opened, done, start = {trace.pid: []}, {}, set(), trace.start
    clock = trace.clock  # to the run's clock
    for event in events:
        name, time, tid, _, region, link, site = event
        if name not in (STRETCHES if region in whole else NOT_WHOLE):
            continue
        out = threads.get(tid)
        if out is None:
            out = threads[tid] = []
        kind = KINDS.get(name)
        if kind is None:  # a launch or its return, written once
            if (name, region) not in done:
                done.add((name, region))
                out.append((name, clock(start + round(nanoseconds(time))), whole[region]))
            continue
        # What a stretch is told apart by: a body by its region, a creation
        # by the thread created, a wait or a task by its site.
        key = (kind, region) if kind == "body" else (kind, link) if kind == "create" else (
            kind, site, link)  # a wait's kind and site
        stack = opened.setdefault(tid, [])
        if name in ENDS:
            stack.append((key, len(out)))
        else:
            depth = len(stack) - 1
            while depth >= 0 and stack[depth][0] != key:
                depth -= 1
            if depth < 0:
                continue
            for _, at in stack[depth + 1:]:  # left open inside it: not written
                out[at] = None
            del stack[depth:]
        out.append((name, clock(start + round(nanoseconds(time))),
                    whole[region] if kind == "body" else event))
    for tid, stack in opened.items():
        for _, at in stack:
            threads[tid][at] = None
    return {tid: [event for event in out if event is not None] if tid in opened else out
            for tid, out in threads.items()}
