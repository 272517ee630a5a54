"""The regions a traced process's events show: every region whose events
were kept (its parent, level, site and team), and the timeline of one
region: when each of its threads was created, started, ran the body and was
joined. Times are microseconds from the moment the tracer was loaded.

The phases of a launch: fork, from the launch to the last body start; work,
from there to the last body end; join, from there to the launch's return
(so that the three add up to the region's time); and imbalance, the longest
body less the shortest.
"""

from .trace_table import kept_apart_spans

# A region's spans less than this part of it apart are drawn as one (the
# tracer merges as much of those it keeps apart).
CHART_COLUMNS = 2000
# The trace format whose slowest region comes with its spans.
SPANS_KEPT_APART = 10
# The events of a thread's row in a region: its waits' and tasks' spans,
# and its body's start and end and its join.
SPANS = {"wait_begin": "waits", "wait_end": "waits", "task_begin": "tasks", "task_end": "tasks"}
BODY = {"body_start", "body_end", "join"}


def regions_of(events, slowest=()):
    """Every region the EVENTS (a sequence) show, by number; the slowest region's own
    events fill in a region that the table of events did not keep. The
    launches are taken first: a worker's events may come before its
    region's launch in the table, whose slots each thread takes in turn."""
    if slowest:
        # The slowest region's own events complete what the table kept of
        # it, which may stop short of its end.
        events, wanted = list(events), {event.region for event in slowest}
        kept = {(event.name, event.tid, event.region, event.time) for event in events
                if event.region in wanted}
        events += [event for event in slowest if (
            event.name, event.tid, event.region, event.time) not in kept]
    regions = {}
    for name, time, tid, thread, number, link, site in events:
        if name == "launch":
            regions[number] = {"region": number, "parent": link or None, "level": thread,
                               "site_index": site, "launched_by": tid, "launch": time,
                               "launch_return": None, "threads": {}}
    get = regions.get
    for name, time, tid, thread, number, _, _ in events:
        region = get(number)
        if region is None:
            continue
        if name == "launch_return":
            region["launch_return"] = time
        elif name in SPANS:
            entry = region["threads"].get(tid)
            if entry is None:
                entry = region["threads"][tid] = {"thread": None, "kernel_thread": tid,
                                                  "body_runs": 0}
            spans = entry.setdefault(SPANS[name], [])
            if name.endswith("begin"):
                spans.append([time, None])
            elif spans and spans[-1][1] is None:
                spans[-1][1] = time
        elif name in BODY:
            entry = region["threads"].get(tid)
            if entry is None:
                entry = region["threads"][tid] = {"thread": thread, "kernel_thread": tid,
                                                  "body_runs": 0}
            if name == "body_start":
                entry["body_runs"] += 1
            if name not in entry:
                entry[name] = time
    return regions


def creations(events):
    """Per created kernel thread: who created it, when, and its first
    instruction."""
    calls = {event.link: event for event in events if event.name == "create_call"}
    returns = {event.link: event for event in events if event.name == "create_return"}
    created = {}
    for first in (event for event in events if event.name == "first_instruction"):
        call = calls.get(first.link)
        if call is not None:
            done = returns.get(first.link)
            created[first.tid] = {"created_by": call.tid, "create_call": call.time,
                                  "create_return": done.time if done else None,
                                  "first_instruction": first.time}
    return created


def region_timeline(region, events):
    """One region's rows, threads in team order, and its phases."""
    created = creations(events)
    end = region["launch_return"]
    team = sorted((entry for entry in region["threads"].values() if "body_start" in entry
                   or entry["thread"] is not None), key=lambda entry: entry["thread"])
    for entry in team:
        creation = created.get(entry["kernel_thread"])
        if creation and region["launch"] <= creation["create_call"] <= (end or float("inf")):
            entry.update(creation)
        if "join" not in entry and entry["kernel_thread"] == region["launched_by"]:
            entry["join"] = end  # libgomp: thread 0 is joined when the launch returns
    for entry in team:
        creator = next((t["thread"] for t in team if t["kernel_thread"] == entry.get("created_by")),
                       None)
        entry["created_by"] = None if "created_by" not in entry else (
            f"thread {creator}" if creator is not None else f"kernel thread {entry['created_by']}")
    starts = [entry["body_start"] for entry in team if "body_start" in entry]
    ends = [entry["body_end"] for entry in team if "body_end" in entry]
    bodies = [entry["body_end"] - entry["body_start"] for entry in team
              if "body_start" in entry and "body_end" in entry]
    phases = {}
    if starts and ends and end is not None:
        phases = {"fork": max(starts) - region["launch"], "work": max(ends) - max(starts),
                  "join": end - max(ends), "imbalance": max(bodies) - min(bodies)}
    inside = [event for event in events if event.name == "create_call"
              and region["launch"] <= event.time <= (end or event.time)]
    shown = {key: value for key, value in region.items() if key != "threads"}
    return {**shown, "threads": team, "phases": phases, "threads_created": len(inside)}


def kept_regions(trace):
    """The numbers of the regions whose launch the table of events kept."""
    launches = trace.where("launch")
    numbers = trace.column("region") if launches else []
    return sorted({numbers[at] for at in launches}
                  | {event.region for event in trace.text_events if event.name == "launch"})


def shown_region(trace, chosen):
    """The region to show whole: CHOSEN, else the slowest, which the
    tracer keeps apart; from the table's events where it kept them."""
    # The tracer keeps the slowest region apart (with --keep slowest, several).
    kept_apart = regions_of(trace.slowest).values()
    slowest = max((region for region in kept_apart if region["launch_return"] is not None),
                  key=lambda r: r["launch_return"] - r["launch"], default={}).get("region")
    if chosen is None and slowest is None:  # no region ended: the one under way, if kept
        regions = regions_of(trace.events(), trace.slowest)
        region = max(regions.values(), key=lambda r: r["launch"], default=None)
        if region is not None:
            add_spans(region, trace, trace.version >= SPANS_KEPT_APART)
        return region
    wanted = slowest if chosen is None else chosen
    region = regions_of(trace.region_events(wanted),
                        trace.slowest if wanted == slowest else ()).get(wanted)
    if region is not None:
        add_spans(region, trace, wanted == slowest and trace.version >= SPANS_KEPT_APART)
    return region


def add_spans(region, trace, kept_apart=False):
    """The region's whole waits and task bodies, into its threads' rows:
    those less than a 2000th of the region apart drawn as one, so that a
    row holds a few thousand at most however many the region had. KEPT_APART:
    those the tracer kept with the slowest region, whatever its table kept."""
    end = region["launch_return"]
    gap = (end - region["launch"]) / CHART_COLUMNS if end is not None else 0
    found = (kept_apart_spans(trace.slowest, region["region"], gap) if kept_apart
             else trace.whole_spans(region["region"], gap))
    for (tid, kind), spans in found.items():
        entry = region["threads"].setdefault(tid, {"thread": None, "kernel_thread": tid,
                                                   "body_runs": 0})
        entry[kind + "s"] = sorted(entry.get(kind + "s", []) + spans)
