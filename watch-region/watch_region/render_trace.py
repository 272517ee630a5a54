"""The timeline in the Trace Event Format, which Perfetto's UI and
chrome://tracing open: one named track (tid) per team thread."""

import json

from .model import stretches


def trace_events(model):
    events = []
    for entry in model["threads"]:
        events.append({"name": "thread_name", "ph": "M", "pid": 1, "tid": entry["thread"],
                       "args": {"name": f"thread {entry['thread']}"}})
        for phase, start, stop in stretches(entry, model["launch"]):
            events.append({"name": phase, "ph": "X", "pid": 1, "tid": entry["thread"],
                           "ts": start, "dur": stop - start})
    return {"traceEvents": events, "displayTimeUnit": "ns"}


def write_trace(model, path):
    with open(path, "w", encoding="utf-8") as trace:
        json.dump(trace_events(model), trace)
