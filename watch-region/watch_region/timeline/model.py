"""The model of a traced process: the run as a whole (regions launched,
threads created, time inside and outside regions, events lost), one entry
per call site with its launches and phases, every region whose events were
kept (its parent, level, site and team), and the timeline of one region:
when each of its threads was created, started, ran the body and was joined.
Times are microseconds from the moment the tracer was loaded.

The phases of a launch: fork, from the launch to the last body start; work,
from there to the last body end; join, from there to the launch's return
(so that the three add up to the region's time); and imbalance, the longest
body less the shortest.

The efficiency of the run, as the model factors: each thread's useful time
(the program's own code, outside the runtime and its waits) over the
interval (the whole run, or what the program's markers set), and the ideal
run time, the longest chain of useful time through the order the runtime
imposes, which the tracer keeps as it goes. Over the threads counted (every
thread of the largest team, the initial thread included, and any other that
did useful work): load balance = mean useful / max useful; communication
efficiency = max useful / interval, which is serialisation efficiency (max
useful / ideal) times transfer efficiency (ideal / interval); parallel
efficiency = load balance x communication efficiency.
"""

from ..symbols import name_sites

# Each stretch of a thread's row: what it is, and the character and colour
# that draw it.
PHASES = {
    "created": ("+", "#9467bd"),  # inside pthread_create, on the creating thread's clock
    "waiting for a core": (".", "#d62728"),  # created, first instruction not yet run
    "starting": ("-", "#7f7f7f"),  # running, not yet in the body
    "body": ("=", "#2ca02c"),  # the region body
    "waiting at the join": ("~", "#1f77b4"),  # body done, region not yet joined
    "waiting in the body": ("w", "#ff7f0e"),  # at a barrier, a lock, a critical section...
}
SITE_PHASES = ("fork", "work", "imbalance", "join")
FACTORS = ("parallel_efficiency", "load_balance", "communication_efficiency",
           "serialisation_efficiency", "transfer_efficiency")
# The tracer's own trampoline: a wait reached by a tail call from a region's
# body returns there.
TRACER = "libregion_tracer.so"
CREATION = ("create_call", "create_return", "first_instruction")
# The waits past a thread's table of sites, each kind's (and each MPI
# call's) at one site.
OTHER_SITES = "(other sites)"
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
    if chosen is None and slowest is None:  # no region ended: the slowest kept, if any
        regions = regions_of(trace.events())
        return max((region for region in regions.values() if region["launch_return"] is not None),
                   key=lambda r: r["launch_return"] - r["launch"], default=None)
    wanted = slowest if chosen is None else chosen
    region = regions_of(trace.region_events(wanted),
                        trace.slowest if wanted == slowest else ()).get(wanted)
    if region is not None:
        add_spans(region, trace)
    return region


def add_spans(region, trace):
    """The region's whole waits and task bodies, into its threads' rows:
    those less than a 2000th of the region apart drawn as one, so that a
    row holds a few thousand at most however many the region had."""
    end = region["launch_return"]
    gap = (end - region["launch"]) / 2000 if end is not None else 0
    for (tid, kind), spans in trace.whole_spans(region["region"], gap).items():
        entry = region["threads"].setdefault(tid, {"thread": None, "kernel_thread": tid,
                                                   "body_runs": 0})
        entry[kind + "s"] = sorted(entry.get(kind + "s", []) + spans)


def site_entries(trace):
    """The call sites, named, each phase's statistics in microseconds."""
    named = name_sites([(site.address, site.base, site.object) for site in trace.sites])
    sites = []
    for site, name in zip(trace.sites, named):
        entry = {**name, "index": site.index, "launches": site.launches,
                 "team_sizes": site.teams}
        for phase in SITE_PHASES:
            stats = site.phases.get(phase, {})
            entry[phase] = {key: stats.get(key, 0) / 1000
                            for key in ("total", "median", "median_error", "min", "max")}
        entry["time"] = sum(entry[phase]["total"] for phase in ("fork", "work", "join"))
        sites.append(entry)
    return sorted(sites, key=lambda entry: -entry["time"])


def efficiency(useful, interval, ideal):
    """The model factors of threads with USEFUL times over INTERVAL, whose
    ideal run time is IDEAL; None for a factor that cannot be had."""
    mean = sum(useful) / len(useful) if useful else 0
    most = max(useful, default=0)

    def ratio(part, whole):
        return part / whole if whole else None
    balance, communication = ratio(mean, most), ratio(most, interval)
    return {"parallel_efficiency": None if None in (balance, communication)
            else balance * communication,
            "load_balance": balance, "communication_efficiency": communication,
            "serialisation_efficiency": ratio(most, ideal),
            "transfer_efficiency": ratio(ideal, interval)}


def counted_useful(trace, use_marks=None):
    """The interval, each counted thread's useful time (the initial thread
    first, threads not seen as 0) and the ideal run time, in µs, along the
    markers' measure where the program set markers (or USE_MARKS says);
    None before format 4's lines."""
    if trace.interval is None:
        return None
    whole, marked, marks, largest = trace.interval
    use_marks = marks > 0 if use_marks is None else use_marks
    threads = [{"kernel_thread": used.tid, "initial": bool(used.initial),
                "useful": (used.marked if use_marks else used.all) / 1000,
                "ideal": (used.ideal_marked if use_marks else used.ideal_all) / 1000}
               for used in trace.useful]
    counted = [thread for thread in threads if thread["initial"]] + sorted(
        (thread for thread in threads if not thread["initial"] and thread["useful"] > 0),
        key=lambda thread: -thread["useful"])
    counted += [{"kernel_thread": None, "useful": 0.0}] * max(0, largest - len(counted))
    ideal = max((thread["ideal"] for thread in threads), default=0.0)
    return {"interval": (marked if use_marks else whole) / 1000, "marked": use_marks,
            "useful": [{"kernel_thread": thread["kernel_thread"], "useful": thread["useful"]}
                       for thread in counted],
            "ideal_run_time": ideal}


def wait_sites(trace):
    """The waits, a site, kind and function called each, named; those at
    the tracer's trampoline named as the end of a region's body, which
    reached them by a tail call; those past a thread's table of sites as
    OTHER_SITES."""
    named = name_sites([(wait.address, wait.base, wait.object) for wait in trace.waits])
    others = {"site": OTHER_SITES, "function": None, "source": None}
    merged = {}
    for wait, name in zip(trace.waits + trace.other_waits, named + [others] * len(
            trace.other_waits)):
        if wait.object is not None and wait.object.endswith(TRACER):
            name = {"site": "(the end of a region body)", "function": None, "source": None}
        entry = merged.setdefault((wait.kind, name["site"], wait.function), {
            "kind": wait.kind, "site": name["site"], "function": name.get("function"),
            "calls": wait.function, "source": name.get("source"), "count": 0,
            "wait": {"total": 0.0, "median": 0.0, "median_error": 0.0, "max": 0.0},
            "region_sites": {}})
        entry["count"] += wait.count
        entry["wait"]["total"] += wait.total / 1000
        entry["wait"]["max"] = max(entry["wait"]["max"], wait.longest / 1000)
        # Across the regions it waited in: the median of the largest share.
        if wait.count * 2 > entry["count"]:
            entry["wait"]["median"] = wait.median / 1000
            entry["wait"]["median_error"] = wait.median_error / 1000
        by_region = entry["region_sites"].setdefault(wait.region_site, [0, 0.0])
        by_region[0] += wait.count
        by_region[1] += wait.total / 1000
    return sorted(merged.values(), key=lambda entry: -entry["wait"]["total"])


def site_efficiency(trace, entry, waits):
    """ENTRY, a team's call site, with its threads' useful time in its
    bodies and its waits by kind."""
    useful = trace.site_useful.get(entry["index"])
    if useful:
        mean, most = sum(useful) / len(useful), max(useful)
        entry["useful"] = {"mean": mean, "max": most,
                           "load_balance": mean / most if most else None}
    kinds = {}
    for wait in waits:
        count, total = wait["region_sites"].get(entry["index"], (0, 0.0))
        if count:
            held = kinds.setdefault(wait["kind"], {"count": 0, "total": 0.0})
            held["count"] += count
            held["total"] += total
    entry["waits"] = kinds


def process_model(trace, chosen=None):
    """The model of one process's trace; CHOSEN is the number of the region
    to show, else the slowest."""
    region = shown_region(trace, chosen)
    sites = site_entries(trace)
    counted = counted_useful(trace)
    waits = wait_sites(trace)
    for entry in sites:
        site_efficiency(trace, entry, waits)
    exit_event = next((event for event in trace.text_events if event.name == "exit"), None)
    run_time = exit_event.time if exit_event else None
    shown = None
    if region:
        made = trace.events_at(trace.where(*CREATION)) + [
            event for event in trace.text_events if event.name in CREATION]
        shown = region_timeline(region, made)
        shown["site"] = next((site["site"] for site in sites
                              if site["index"] == shown["site_index"]), None)
        del shown["site_index"]
    return {"pid": trace.pid, "parent": trace.parent, "program": trace.program,
            "regions": trace.regions,
            "regions_kept": trace.kept("launch"), "threads_created": trace.threads_created,
            "run_time": run_time, "time_in_regions": trace.in_regions,
            "time_outside_regions": None if run_time is None else run_time - trace.in_regions,
            "lost_events": trace.lost_events, "lost_from": trace.lost_from,
            "stopped_by": trace.stopped_by,
            "call_sites": sites, "region": shown,
            "model_factors": None if counted is None else efficiency(
                [thread["useful"] for thread in counted["useful"]], counted["interval"],
                counted["ideal_run_time"]),
            "interval": None if counted is None else counted["interval"],
            "marked": None if counted is None else counted["marked"],
            "ideal_run_time": None if counted is None else counted["ideal_run_time"],
            "useful": None if counted is None else counted["useful"],
            "threads_untimed": trace.threads_untimed,
            "sync": [{key: value for key, value in wait.items() if key != "region_sites"}
                     for wait in waits],
            # Only for a region asked for and not kept: which were.
            "region_numbers": kept_regions(trace) if chosen is not None and not shown else None}


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
        if "join" in entry:
            rows.append(("waiting at the join", entry["body_end"], entry["join"]))
    return rows
