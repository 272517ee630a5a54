"""Reads the trace that the region tracer writes at the program's exit: a
line "watch-region-trace VERSION", then one line an event (the tracer's
events.def lists them): name, nanoseconds on the monotonic clock, kernel
thread id, team thread number, link; and, if its table filled, a last line
"dropped N" with the number of events it could not keep."""

import collections

VERSION = 1

Event = collections.namedtuple("Event", "name time tid thread link")
Trace = collections.namedtuple("Trace", "events lost_events")


class TraceError(Exception):
    """The trace is missing or not one this reader knows."""


def read_trace(path):
    """The trace at PATH: its events in time order, in microseconds from the
    tracer's load, and how many it lost."""
    try:
        with open(path, encoding="ascii", errors="replace") as file:
            lines = file.read().splitlines()
    except OSError:
        raise TraceError("the tracer wrote no trace: the program did not end through exit, "
                         "or is not dynamically linked") from None
    if not lines or lines[0] != f"watch-region-trace {VERSION}":
        raise TraceError(f"{path} is not a trace of format {VERSION}: its first line is "
                         f"{lines[0][:60] if lines else 'missing'!r}")
    events, lost = [], 0
    for number, line in enumerate(lines[1:], start=2):
        fields = line.split()
        try:
            if fields[0] == "dropped" and len(fields) == 2:
                lost += int(fields[1])
            elif len(fields) == 5:
                events.append(Event(fields[0], *(int(field) for field in fields[1:])))
            else:
                raise ValueError
        except (ValueError, IndexError):
            raise TraceError(f"{path}:{number}: not an event: {line[:60]!r}") from None
    events.sort(key=lambda event: event.time)
    start = events[0].time if events else 0
    return Trace([event._replace(time=(event.time - start) / 1000) for event in events], lost)
