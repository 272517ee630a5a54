"""A process's trace as read (trace.py reads it): what its text lines said,
and its table of events, kept as the bytes it is and read by column: the
report needs only a few of its events (one region's and the threads
created); only a Trace Event file reads them all. Times become microseconds
from the tracer's load."""

import collections
import operator
import re
import struct

from ..report import NANOSECONDS, microseconds, nanoseconds
from .clock import Clock

Event = collections.namedtuple("Event", "name time tid thread region link site")
# An event's fields after its name, in the order of a text line.
TEXT_FIELDS = ("time", "tid", "thread", "region", "link", "site")
# The record's field names the reader needs, by the names of TEXT_FIELDS.
RECORD_NAMES = {"time": "time", "tid": "kernel_thread", "thread": "thread", "region": "region",
                "link": "link", "site": "site"}
# The events that are a whole stretch, a wait or a task's body: each read as
# its NAME_begin and NAME_end.
WHOLE = ("wait", "task")


class Trace:
    """One process's trace."""

    def __init__(self, path):
        self.path = path
        self.version = None
        self.pid = self.parent = self.program = self.stopped_by = self.keep = None
        self.names, self.phase_names, self.stat_names, self.wait_names = [], [], [], []
        self.interval, self.useful, self.waits, self.site_useful = None, [], [], {}
        self.body_objects = {}
        self.cpus_allowed = None  # the CPUs' numbers, from format 8
        self.runtime = None  # the path of the OpenMP runtime loaded, where seen
        self.other_waits = []  # as waits, with no address, base or object
        self.loops, self.loops_left_out = [], 0
        self.threads_untimed = 0
        self.mpi = self.mpi_time = None  # (rank, size); ns inside MPI, (all, marked)
        self.mpi_comms, self.mpi_calls, self.mpi_calls_left_out = {}, [], 0
        # The node, the offsets from rank 0's clock measured, and the map
        # from this process's clock to the run's (clock.py's align).
        self.host, self.clock_offsets, self.clock = None, [], Clock()
        self.text_events, self.slowest, self.sites = [], [], []
        self.regions = self.threads_created = self.lost_events = 0
        self.in_regions, self.lost_from = 0.0, None
        self.record, self.fields, self.table = None, {}, b""
        self.data, self.table_at = b"", 0  # the whole file, and where its table starts
        self.start = 0
        self._events = self._event_numbers = None
        self._region_records = {}

    @property
    def count(self):
        return len(self.table) // self.record.size if self.record else 0

    def column(self, name):
        """One field of every record in the table, as a sequence."""
        code, offset = self.fields[name]
        size = struct.calcsize(code)
        if offset % size == 0 and self.record.size % size == 0 and len(self.table) % size == 0:
            return memoryview(self.table).cast(code)[offset // size::self.record.size // size]
        return [struct.unpack_from("<" + code, self.table, at)[0]
                for at in range(offset, len(self.table), self.record.size)]

    def event_numbers(self):
        """The table's event numbers, a byte each, in table order."""
        if self._event_numbers is None:
            code, offset = self.fields["event"] if self.count else ("B", 0)
            if struct.calcsize(code) != 1:
                raise ValueError("an event's number is not a byte")
            # A slice of the mapped file with a step is made in one go.
            self._event_numbers = self.data[self.table_at + offset:self.table_at + len(
                self.table):self.record.size] if self.count else b""
        return self._event_numbers

    def where(self, *names):
        """The table's record numbers of the events named, in table order."""
        codes = bytes(self.names.index(name) for name in names if name in self.names)
        if not codes or not self.count:
            return []
        return [found.start()
                for found in re.finditer(b"[" + re.escape(codes) + b"]", self.event_numbers())]

    def kept(self, name):
        """How many events NAME the table and the text lines hold."""
        table = (self.event_numbers().count(self.names.index(name)) if name in self.names
                 else 0)
        return table + sum(event.name == name for event in self.text_events)

    def events_at(self, numbers):
        """The records NUMBERS, none a whole wait or task body (whole_spans
        reads those), as events, their times from the tracer's load."""
        found = []
        for number in numbers:
            row = dict(zip(self.record_names,
                           self.record.unpack_from(self.table, number * self.record.size)))
            if row["time"]:
                name = (self.names[row["event"]] if row["event"] < len(self.names)
                        else f"event {row['event']}")
                found.append(Event(name, microseconds(row["time"] - self.start),
                                   *(row[RECORD_NAMES[field]] for field in TEXT_FIELDS[1:])))
        return found

    def events(self):
        """Every event, the table's and the text's, in time order."""
        if self._events is None:
            found = []
            if self.record:
                # Each record's fields in Event's order, its event number first.
                fields = operator.itemgetter(*(self.record_names.index(name) for name in (
                    "event", *(RECORD_NAMES[field] for field in TEXT_FIELDS))))
                names = [self.names[number] if number < len(self.names) else f"event {number}"
                         for number in range(256)]
                whole = {number: (f"{name}_begin", f"{name}_end")
                         for number, name in enumerate(self.names) if name in WHOLE}
                start, add, make = self.start, found.append, Event._make
                for number, time, tid, thread, region, link, site in map(
                        fields, self.record.iter_unpack(self.table)):
                    if not time:
                        continue
                    time = (time - start) / NANOSECONDS  # microseconds(), in line
                    if number in whole:
                        begin, end = whole[number]
                        add(make((begin, time, tid, -1, region, link, site)))
                        add(make((end, time + thread / NANOSECONDS, tid, -1, region, link, site)))
                    else:
                        add(make((names[number], time, tid, thread, region, link, site)))
            found += self.text_events
            found.sort(key=operator.itemgetter(1))
            self._events = found
        return self._events

    def region_records(self, region):
        """The table's record numbers of REGION."""
        if not self.count:
            return []
        if region not in self._region_records:
            self._region_records[region] = [
                number for number, held in enumerate(self.column("region")) if held == region]
        return self._region_records[region]

    def region_events(self, region):
        """Every kept event of REGION but its whole waits and task bodies
        (see whole_spans)."""
        codes, skipped = self.event_numbers(), self.codes(WHOLE)
        numbers = [number for number in self.region_records(region)
                   if codes[number] not in skipped]
        return self.events_at(numbers) + [
            event for event in self.text_events if event.region == region]

    def codes(self, names):
        """The event numbers of NAMES that the trace has."""
        return {self.names.index(name) for name in names if name in self.names}

    def whole_spans(self, region, gap=0.0):
        """The [start, end] of REGION's whole waits and task bodies, in µs
        from the tracer's load, by kernel thread and by "wait" or "task";
        those less than GAP µs apart (or nested) as one. A task-heavy region
        has hundreds of thousands, read field by field, in the order each
        thread wrote them: that of their ends."""
        numbers = self.region_records(region)
        if not numbers:
            return {}
        codes, whole = self.event_numbers(), {self.names.index(name): name
                                              for name in WHOLE if name in self.names}
        times, tids = self.column(RECORD_NAMES["time"]), self.column(RECORD_NAMES["tid"])
        lengths = self.column(RECORD_NAMES["thread"])
        spans, gap, origin = {}, nanoseconds(gap), self.start
        for code, kind in whole.items():
            chosen = [number for number in numbers if codes[number] == code]
            by_thread = {}
            for number in chosen:
                by_thread.setdefault(tids[number], []).append(number)
            for tid, held in by_thread.items():
                spans[tid, kind] = [[microseconds(start - origin), microseconds(end - origin)]
                                    for start, end in merged_spans(
                                        [times[number] for number in held],
                                        [lengths[number] for number in held], gap)]
        return spans


def kept_apart_spans(slowest, region, gap=0.0):
    """As Trace.whole_spans gives them, REGION's spans among the SLOWEST
    region's events, which the tracer kept apart: those less than GAP µs
    apart as one."""
    spans = {}
    for kind in WHOLE:
        by_thread = {}
        for event in slowest:
            if event.name == f"slowest_{kind}" and event.region == region:
                by_thread.setdefault(event.tid, []).append(event)
        for tid, held in by_thread.items():
            spans[tid, kind] = [list(span) for span in merged_spans(
                [event.time for event in held], [microseconds(event.thread) for event in held],
                gap)]
    return spans


def merged_spans(starts, lengths, gap):
    """The spans from STARTS, each LENGTHS long, in the order of their ends,
    those less than GAP apart (or nested) as one; those that never started
    (time 0) left out."""
    kept, start, end = [], None, None
    for begin, length in zip(starts, lengths):
        if not begin:
            continue
        finish = begin + length
        if end is not None and begin <= end + gap:
            if start < begin:
                begin = start
            while kept and begin <= kept[-1][1] + gap:
                held = kept.pop()[0]
                if held < begin:
                    begin = held
        elif end is not None:
            kept.append((start, end))
        start, end = begin, finish
    if end is not None:
        kept.append((start, end))
    return kept
