"""Reads the trace that the region tracer writes when a process ends:

  watch-region-trace VERSION
  process PID PARENT_PID PROGRAM
  events NAME...                          (the event names, in number order)
  record NAME:CODE...                     (the binary record's fields, as struct codes)
  phases NAME...                          (a site line's phases, in order)
  phase_stats NAME...                     (the numbers given for each phase, in order)
  EVENT NANOSECONDS KERNEL_THREAD THREAD REGION LINK SITE    (events.def)
  slowest                                 (then the slowest region's events)
  site INDEX ADDRESS BASE LAUNCHES SIZE:COUNT,... STATS... object PATH
  regions N
  threads_created N
  in_regions NANOSECONDS
  left_out N NANOSECONDS                  (when the table of events filled)
  table COUNT SIZE                        (then COUNT binary records, to the end)

A binary record is little endian, its fields as the record line gives them;
one whose time is 0 is an empty slot. Times become microseconds from the
tracer's load."""

import collections
import struct

VERSION = 3

Event = collections.namedtuple("Event", "name time tid thread region link site")
Site = collections.namedtuple("Site", "index address base launches teams phases object stats")


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


def parse_site(fields, phases, stats):
    """A site line; its PHASES give, each, the numbers STATS names."""
    index, address, base, launches = int(fields[1]), int(fields[2], 0), int(fields[3], 0), \
        int(fields[4])
    teams = {}
    for team in fields[5].split(","):
        size, count = team.split(":")
        teams[size if size == "other" else int(size)] = int(count)
    numbers = [int(value) for value in fields[6:6 + len(phases) * len(stats)]]
    if fields[6 + len(numbers)] != "object" or len(numbers) != len(phases) * len(stats):
        raise ValueError
    given = {phase: dict(zip(stats, numbers[at * len(stats):])) for at, phase in enumerate(phases)}
    return Site(index, address, base, launches, teams,
                {phase: (values["total"], values["max"], values["median"])
                 for phase, values in given.items()},
                " ".join(fields[7 + len(numbers):]), given)


def record_struct(fields):
    """The binary record's struct and its fields' names, from the record line."""
    names, codes = zip(*(field.split(":") for field in fields))
    return struct.Struct("<" + "".join(codes)), [name for name in names if name]


def table_events(data, names, record, record_names):
    events = []
    for values in record.iter_unpack(data):
        value = dict(zip(record_names, values))
        if value["time"]:
            number = value["event"]
            name = names[number] if number < len(names) else f"event {number}"
            events.append(Event(name, value["time"], value["kernel_thread"], value["thread"],
                                value["region"], value["link"], value["site"]))
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
    trace, names, phases, stats = Trace(), [], [], []
    record, record_names = None, []
    events = trace.events
    for number, line in enumerate(lines[1:], start=2):
        fields = line.split()
        try:
            if fields[0] == "process":
                trace.pid, trace.parent = int(fields[1]), int(fields[2])
                trace.program = line.split(" ", 3)[3]
            elif fields[0] == "events":
                names = fields[1:]
            elif fields[0] == "record":
                record, record_names = record_struct(fields[1:])
            elif fields[0] == "phases":
                phases = fields[1:]
            elif fields[0] == "phase_stats":
                stats = fields[1:]
            elif fields[0] == "slowest":
                events = trace.slowest
            elif fields[0] == "site":
                trace.sites.append(parse_site(fields, phases, stats))
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
        if record is None or size != record.size or len(table) != count * size:
            raise TraceError(f"{path}: the table holds {len(table)} bytes, not {count} records "
                             f"of {record.size if record else 'a size given'}")
        trace.events += table_events(table, names, record, record_names)
    trace.start = min((event.time for event in trace.events), default=0)

    def timed(event):
        return event._replace(time=(event.time - trace.start) / 1000)
    trace.events = sorted(map(timed, trace.events), key=lambda event: event.time)
    trace.slowest = [timed(event) for event in trace.slowest]
    if trace.lost_from is not None:
        trace.lost_from = (trace.lost_from - trace.start) / 1000
    return trace
