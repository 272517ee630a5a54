"""The run in the Trace Event Format, which Perfetto's UI and chrome://tracing
open: a track for the process and one for each kernel thread; each region a
slice on the thread that launched it, named by its call site, each body a
slice on its thread, so that nested regions nest; each wait in the runtime
and each task's body a slice inside them; thread creation and the wait for
a core; and arrows from each launch to the bodies it forked, and
from each body's end to the join, for a process's first ARROWS regions: past
a few thousand, Perfetto draws arrows as a solid block and slows to a halt,
so the rest are left out, and the file's otherData says for how many."""

import json

from ..collector import paused
from ..report import microseconds
from ..timeline.regions import creations, regions_of
from . import traced_processes

# The regions of a process whose bodies are joined to their launch by arrows.
ARROWS = 1000


def trace_events(trace, model, first=None):
    """The events of one process, their times on the run's clock in µs from
    FIRST, its earliest tracer load on that clock in ns (the process's own
    load where None), so that the processes of one run share a time axis."""
    origin = trace.clock(trace.start)
    offset = microseconds(origin - (origin if first is None else first))
    # A clock that drifts from the run's: its µs are the run's times SCALE.
    scale = 1.0 + trace.clock.slope
    pid = trace.pid or 1
    names = {site.index: site.site for site in model.call_sites}
    events = [{"name": "process_name", "ph": "M", "pid": pid,
               "args": {"name": f"{model.program} ({pid})"}}]
    tids = {event.tid for event in trace.events()}
    for tid in sorted(tids):
        name = f"kernel thread {tid}" + (" (main)" if tid == pid else "")
        events.append({"name": "thread_name", "ph": "M", "pid": pid, "tid": tid,
                       "args": {"name": name}})

    def slice_(name, tid, start, end, **args):
        events.append({"name": name, "ph": "X", "pid": pid, "tid": tid,
                       "ts": start * scale + offset,
                       "dur": max(end - start, 0), "args": args})

    def arrow(flow, start_tid, start, end_tid, end):
        flow = f"{pid}.{flow}"
        events.append({"name": "fork-join", "cat": "flow", "ph": "s", "id": flow, "pid": pid,
                       "tid": start_tid, "ts": start * scale + offset})
        events.append({"name": "fork-join", "cat": "flow", "ph": "f", "bp": "e", "id": flow,
                       "pid": pid, "tid": end_tid, "ts": end * scale + offset})

    if trace.lost_events:
        events.append({"name": f"{trace.lost_events} events left out from here on",
                       "ph": "i", "s": "p", "pid": pid, "tid": pid,
                       "ts": trace.lost_from * scale + offset,
                       "args": {"left_out": trace.lost_events}})
    for tid, created in creations(trace.events()).items():
        done = created["create_return"] or created["create_call"]
        slice_("pthread_create", created["created_by"], created["create_call"], done)
        slice_("waiting for a core", tid, done, max(done, created["first_instruction"]))
    waits_and_tasks(trace, slice_)
    flow = drawn = 0
    for region in regions_of(trace.events(), trace.slowest).values():
        end = region["launch_return"]
        if end is None:
            continue
        slice_(names.get(region["site_index"], f"region {region['region']}"),
               region["launched_by"], region["launch"], end, region=region["region"],
               level=region["level"], parent=region["parent"], team=len(region["threads"]))
        for entry in region["threads"].values():
            if "body_start" not in entry or "body_end" not in entry:
                continue
            # slice_'s, made here: most of a large run's slices are bodies.
            events.append({"name": "body", "ph": "X", "pid": pid, "tid": entry["kernel_thread"],
                           "ts": entry["body_start"] * scale + offset,
                           "dur": max(entry["body_end"] - entry["body_start"], 0),
                           "args": {"region": region["region"], "thread": entry["thread"]}})
            if drawn < ARROWS:
                arrow(flow := flow + 1, region["launched_by"], region["launch"],
                      entry["kernel_thread"], entry["body_start"])
                arrow(flow := flow + 1, entry["kernel_thread"], entry["body_end"],
                      region["launched_by"], end)
        drawn += 1
    return {"traceEvents": events, "displayTimeUnit": "ns",
            "arrows_left_out": max(0, drawn - ARROWS)}


def waits_and_tasks(trace, slice_):
    """A slice for each wait, named by its kind (an MPI call by its
    function), and for each task's body: each begin closed by its thread's
    next end of the same pair."""
    pairs = {"wait_begin": "wait_end", "task_begin": "task_end"}
    open_, called = {}, {wait.address: wait.function for wait in trace.waits
                         if wait.kind == "mpi" and wait.function}
    for event in trace.events():
        if event.name in pairs:
            open_.setdefault((event.tid, pairs[event.name]), []).append(event)
        elif event.name in pairs.values() and open_.get((event.tid, event.name)):
            begin = open_[(event.tid, event.name)].pop()
            kind = (trace.wait_names[begin.site] if 0 <= begin.site < len(trace.wait_names)
                    else "?")
            name = "task" if begin.name == "task_begin" else called.get(begin.link) \
                if kind == "mpi" and begin.link in called else f"waiting: {kind}"
            slice_(name, begin.tid,
                   begin.time, event.time, region=begin.region, site=hex(begin.link))


def render(findings):
    """One file for every process of the run, a process track each, on one
    clock (timeline/clock.py); its metadata counts the events each
    process's tracer kept and left out. Refused where no process timed a
    region or an MPI call: there is nothing to draw."""
    if not any(model.region or model.mpi for model in findings.report.processes):
        raise OSError("no region was timed, nor any MPI call")
    events, kept = [], {}
    first = min((trace.clock(trace.start) for trace in findings.traces), default=0)
    with paused():
        for trace, model in traced_processes(findings):
            made = trace_events(trace, model, first)
            events += made["traceEvents"]
            kept[str(trace.pid)] = {"events_kept": len(trace.events()),
                                    "events_left_out": trace.lost_events,
                                    "regions_without_arrows": made["arrows_left_out"]}
    return json.dumps({"traceEvents": events, "displayTimeUnit": "ns",
                       "otherData": {"processes": kept, "arrows": (
                           f"from launch to body and body to join for each process's first "
                           f"{ARROWS} regions only: Perfetto cannot show more usefully")}},
                      separators=(",", ":"), check_circular=False)  # a tree
