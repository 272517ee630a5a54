"""Reads the trace that the region tracer writes when a process ends:

  watch-region-trace VERSION
  process PID PARENT_PID PROGRAM
  events NAME...                          (the event names, in number order)
  EVENT NANOSECONDS KERNEL_THREAD THREAD REGION LINK SITE    (events.def)
  slowest                                 (then the slowest region's events)
  site INDEX ADDRESS BASE LAUNCHES teams SIZE:COUNT... PHASE TOTAL MAX MEDIAN... object PATH
  regions N
  threads_created N
  in_regions NANOSECONDS
  left_out N NANOSECONDS                  (when the table of events filled)
  table COUNT 40                          (then COUNT binary records, to the end)

A binary record is the tracer's: NANOSECONDS, REGION and LINK as 64-bit
integers, KERNEL_THREAD, THREAD and SITE as 32-bit ones, the event's number
in a byte and 3 bytes of padding, little endian; one whose time is 0 is an
empty slot. Times become microseconds from the tracer's load."""

import collections
import struct

VERSION = 2

Event = collections.namedtuple("Event", "name time tid thread region link site")
Site = collections.namedtuple("Site", "index address base launches teams phases object")


class TraceError(Exception):
    """The trace is missing or not one this reader knows."""


class Trace:
    """One process's trace."""

    def __init__(self):
        self.pid, self.parent, self.program = None, None, None
        self.events, self.slowest, self.sites = [], [], []
        self.regions = self.threads_created = self.lost_events = 0
        self.in_regions, self.lost_from = 0.0, None
        self.start = 0


def parse_site(fields):
    index, address, base, launches = int(fields[1]), int(fields[2], 0), int(fields[3], 0), \
        int(fields[4])
    at = fields.index("teams") + 1
    teams = {}
    while fields[at] != "fork":
        size, count = fields[at].split(":")
        teams[size if size == "other" else int(size)] = int(count)
        at += 1
    phases = {}
    while fields[at] != "object":
        phases[fields[at]] = tuple(int(float(value)) for value in fields[at + 1:at + 4])
        at += 4
    return Site(index, address, base, launches, teams, phases, " ".join(fields[at + 1:]))


RECORD = struct.Struct("<qqqiiiB3x")


def table_events(data, names):
    events = []
    for time, region, link, tid, thread, site, number in RECORD.iter_unpack(data):
        if time:
            name = names[number] if number < len(names) else f"event {number}"
            events.append(Event(name, time, tid, thread, region, link, site))
    return events


def read_trace(path):
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError:
        raise TraceError("the tracer wrote no trace: the program did not end through exit, "
                         "or is not dynamically linked") from None
    table_at = data.find(b"\ntable ")
    text = data if table_at < 0 else data[:table_at + 1]
    lines = text.decode("utf-8", errors="replace").splitlines()
    if not lines or lines[0] != f"watch-region-trace {VERSION}":
        raise TraceError(f"{path} is not a trace of format {VERSION}: its first line is "
                         f"{lines[0][:60] if lines else 'missing'!r}")
    trace, names = Trace(), []
    events = trace.events
    for number, line in enumerate(lines[1:], start=2):
        fields = line.split()
        try:
            if fields[0] == "process":
                trace.pid, trace.parent = int(fields[1]), int(fields[2])
                trace.program = line.split(" ", 3)[3]
            elif fields[0] == "events":
                names = fields[1:]
            elif fields[0] == "slowest":
                events = trace.slowest
            elif fields[0] == "site":
                trace.sites.append(parse_site(fields))
            elif fields[0] in ("regions", "threads_created"):
                setattr(trace, fields[0], int(fields[1]))
            elif fields[0] == "in_regions":
                trace.in_regions = int(fields[1]) / 1000
            elif fields[0] == "left_out" and len(fields) == 3:
                trace.lost_events, trace.lost_from = int(fields[1]), int(fields[2])
            elif len(fields) == 7:
                events.append(Event(fields[0], *(int(field) for field in fields[1:])))
            else:
                raise ValueError
        except (ValueError, IndexError):
            raise TraceError(f"{path}:{number}: not a line of a trace: {line[:60]!r}") from None
    if table_at >= 0:
        header_end = data.index(b"\n", table_at + 1)
        count, size = (int(field) for field in data[table_at + 7:header_end].split())
        table = data[header_end + 1:]
        if size != RECORD.size or len(table) != count * size:
            raise TraceError(f"{path}: the table holds {len(table)} bytes, not {count} records "
                             f"of {RECORD.size}")
        trace.events += table_events(table, names)
    trace.start = min((event.time for event in trace.events), default=0)

    def timed(event):
        return event._replace(time=(event.time - trace.start) / 1000)
    trace.events = sorted(map(timed, trace.events), key=lambda event: event.time)
    trace.slowest = [timed(event) for event in trace.slowest]
    if trace.lost_from is not None:
        trace.lost_from = (trace.lost_from - trace.start) / 1000
    return trace
