"""Reads the trace that the region tracer writes when a process ends. The
tracer's events.def owns the format; this reader knows only its version and
takes everything else from the trace's own header lines:

  watch-region-trace VERSION
  process PID PARENT_PID PROGRAM
  events NAME...                    the event names, in the order of their numbers
  record FIELD:CODE...              the binary record's fields, as struct codes
  phases NAME...                    the phases of a site line, in order
  phase_stats NAME...               the numbers given for each phase, in order
  EVENT NANOSECONDS FIELD...        an event as text (the exit; the slowest region's)
  slowest                           the slowest region's events follow, then (format 10)
                                    its slowest_wait and slowest_task events, merged as
                                    a chart draws them, and its joins
  site INDEX ADDRESS BASE LAUNCHES SIZE:COUNT,... STAT... IDEAL MOST MEAN BODY BODY_BASE object PATH
                                    the sums of the launches' ideal time and their team's
                                    largest and mean useful time, the body's address and
                                    its object's (0 0: not known); format 7's
  site_body_object INDEX PATH       the object of a site's body, where not the site's
  site_useful INDEX NANOSECONDS,...  each team thread's useful time in the site's bodies
  loop SITE ORDER SCHEDULE CHUNK RESOLVED RESOLVED_CHUNK THREADS CHUNKS:ITERATIONS...
                                    a loop handed out at run time, by its order in the
                                    body: each team thread's chunks and iterations
  loops_left_out N                  loops beyond the tracer's table of them
  interval ALL MARKED MARKS LARGEST_TEAM   the run's length, and the part the markers set
  cpus_allowed CPUS                 the CPUs the process may run on (CPUS: N,N,... or -)
  useful KERNEL_THREAD INITIAL ALL MARKED IDEAL_ALL IDEAL_MARKED MIGRATIONS CPUS
                                    a thread's useful time, and the CPUs its regions'
                                    bodies started on; format 8's last two
  waits NAME...                     the kinds of wait, in the order of their numbers
  wait KIND ADDRESS BASE REGION_SITE COUNT TOTAL MEDIAN MEDIAN_ERROR LONGEST FUNCTION object PATH
  other_waits KIND REGION_SITE COUNT TOTAL MEDIAN MEDIAN_ERROR LONGEST FUNCTION
                                    the waits past a thread's table of sites, by kind,
                                    region (-2: not told apart) and function called
  late THREAD:COUNT:DELAY,...       after a wait or other_waits line: the threads that came
                                    last to its barriers or ran the last task its waits for
                                    tasks waited for (THREAD: the team number, or other),
                                    how often, and the others' waits they caused
  threads_untimed N                 threads beyond the tracer's table of threads
  runtime PATH                      the OpenMP runtime the process loaded, where it was seen
  regions N | threads_created N | in_regions NANOSECONDS
  keep MODE EVENTS                  which events the table kept (first, last, slowest; report:
                                    only the load and the creations), how many
  left_out COUNT FIRST_NANOSECONDS  when the table of events filled
  stopped_by SIGNAL                 when a signal ended the process
  mpi RANK SIZE                     the process is rank RANK of SIZE in MPI_COMM_WORLD
  mpi_time ALL MARKED               its initial thread's time inside MPI calls
  mpi_comm INDEX R0,R1,...          a communicator: its members' world ranks, in its order
  mpi_call SEQ OP COMM PEER TAG ENTRY EXIT IDEAL_ENTRY_ALL IDEAL_ENTRY_MARKED
           IDEAL_EXIT_ALL IDEAL_EXIT_MARKED KERNEL_THREAD   an MPI call, in completion order
  mpi_calls_left_out N              calls beyond the ones kept
  mpi_clock AT OFFSET UNCERTAINTY   rank 0's clock read OFFSET ns more than this rank's at
                                    AT (its own clock), give or take UNCERTAINTY; one line
                                    at MPI_Init and one at MPI_Finalize
  host NAME                         the node the process ran on
  table COUNT SIZE                  then COUNT binary records, to the end

Format 9 adds the loop, loops_left_out, late, runtime, mpi_clock and host
lines; a trace of an older format has none of them. Format 10 adds the
slowest region's spans and joins, and the keep mode report.

The table is kept as the bytes it is (trace_table.py reads it). Times
become microseconds from the tracer's load, but for the MPI calls'
(nanoseconds as written: the MPI replay compares them across processes)."""

import mmap
import os
import re
import struct

from ..report import microseconds
from .clock import Offset
from .trace_lines import (MpiCall, Useful, WaitSite, cpu_list, parse_late, parse_loop, parse_site,
                          parse_wait)
from .trace_table import RECORD_NAMES, Event, Trace

# The oldest format read: format 5 only adds the whole wait and task events
# and the function a wait line names, 6 the other_waits lines, 7 a site's
# body and the sums for its gain, 8 the CPUs.
OLDEST_READ = 4
MAP_POPULATE = getattr(mmap, "MAP_POPULATE", 0)  # the pages read in one go, not fault by fault
FORMAT_FILE = os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(
    os.path.abspath(__file__)))), "tracer", "events.def")


def format_version():
    """The version of the format the tracer built with this reader writes."""
    with open(FORMAT_FILE, encoding="utf-8") as definition:
        return int(re.search(r"^TRACE_VERSION\((\d+)\)", definition.read(), re.MULTILINE)[1])


class TraceError(Exception):
    """A file that is not a whole trace this reader knows; says why."""


def parse_record(trace, fields):
    trace.record_names, codes = [], "<"
    for field in fields:
        name, code = field.split(":")
        if name:
            trace.fields[name] = (code, struct.calcsize(codes))
            trace.record_names.append(name)
        codes += code
    trace.record = struct.Struct(codes)
    missing = {"event", *RECORD_NAMES.values()} - set(trace.fields)
    if missing:
        raise ValueError


def read_calls(trace, lines):
    """The mpi_call LINES (their numbers and texts) as TRACE's calls, read
    column by column: most of a rank's trace's text. A line that does not
    read so is read alone, for the error it makes."""
    fields = " ".join(line for _, line in lines).split(" ")
    width = len(MpiCall._fields) + 1
    try:
        if len(fields) != width * len(lines) or fields[0::width].count("mpi_call") != len(lines):
            raise ValueError
        columns = [fields[at::width] if at == 2 else map(int, fields[at::width])
                   for at in range(1, width)]
        trace.mpi_calls.extend(map(MpiCall._make, zip(*columns)))
    except ValueError:
        del trace.mpi_calls[:]
        for number, line in lines:
            read_text(trace, ["", line], number)


def read_text(trace, lines, first=2):
    events, calls = trace.text_events, []
    for number, line in enumerate(lines[1:], start=first):
        if line.startswith("mpi_call ") and first == 2:
            calls.append((number, line))
            continue
        fields = line.split()
        try:
            key = fields[0]
            if key == "process":
                trace.pid, trace.parent = int(fields[1]), int(fields[2])
                trace.program = line.split(" ", 3)[3]
            elif key in ("events", "phases", "phase_stats"):
                setattr(trace, {"events": "names", "phases": "phase_names",
                                "phase_stats": "stat_names"}[key], fields[1:])
            elif key == "record":
                parse_record(trace, fields[1:])
            elif key == "slowest":
                events = trace.slowest
            elif key == "site":
                trace.sites.append(parse_site(trace, line))
            elif key == "site_body_object" and len(fields) >= 3:
                trace.body_objects[int(fields[1])] = line.split(" ", 2)[2]
            elif key == "site_useful" and len(fields) == 3:
                trace.site_useful[int(fields[1])] = [microseconds(int(value))
                                                     for value in fields[2].split(",")]
            elif key == "loop" and len(fields) == 8 + int(fields[7]):
                trace.loops.append(parse_loop(fields))
            elif key == "loops_left_out" and len(fields) == 2:
                trace.loops_left_out = int(fields[1])
            elif key == "interval" and len(fields) == 5:
                trace.interval = tuple(int(field) for field in fields[1:])
            elif key == "useful" and len(fields) in (7, 9):
                trace.useful.append(Useful(*(int(field) for field in fields[1:8]),
                                           *(cpu_list(field) for field in fields[8:])))
            elif key == "cpus_allowed" and len(fields) == 2:
                trace.cpus_allowed = cpu_list(fields[1])
            elif key == "waits":
                trace.wait_names = fields[1:]
            elif key == "wait":
                trace.waits.append(parse_wait(trace, line))
            elif key == "other_waits" and len(fields) == 9:
                trace.other_waits.append(WaitSite(trace.wait_names[int(fields[1])], None, None,
                                                  *(int(field) for field in fields[2:8]),
                                                  None, None if fields[8] == "-" else fields[8]))
            elif key == "late" and len(fields) == 2 and (trace.waits or trace.other_waits):
                held = trace.other_waits or trace.waits
                held[-1] = held[-1]._replace(late=tuple(parse_late(field)
                                                        for field in fields[1].split(",")))
            elif key in ("mpi", "mpi_time") and len(fields) == 3:
                setattr(trace, key, (int(fields[1]), int(fields[2])))
            elif key == "mpi_comm" and len(fields) == 3:
                trace.mpi_comms[int(fields[1])] = tuple(int(rank)
                                                        for rank in fields[2].split(","))
            elif key == "mpi_call" and len(fields) == 13:
                trace.mpi_calls.append(MpiCall(int(fields[1]), fields[2],
                                               *(int(field) for field in fields[3:])))
            elif key == "mpi_clock" and len(fields) == 4:
                trace.clock_offsets.append(Offset(*(int(field) for field in fields[1:])))
            elif key == "host" and len(fields) == 2:
                trace.host = fields[1]
            elif key == "mpi_calls_left_out" and len(fields) == 2:
                trace.mpi_calls_left_out = int(fields[1])
            elif key == "runtime" and len(fields) >= 2:
                trace.runtime = line.split(" ", 1)[1]
            elif key == "threads_untimed" and len(fields) == 2:
                trace.threads_untimed = int(fields[1])
            elif key in ("regions", "threads_created") and len(fields) == 2:
                setattr(trace, key, int(fields[1]))
            elif key == "in_regions" and len(fields) == 2:
                trace.in_regions = microseconds(int(fields[1]))
            elif key == "left_out" and len(fields) == 3:
                trace.lost_events, trace.lost_from = int(fields[1]), int(fields[2])
            elif key == "keep" and len(fields) == 3:
                trace.keep = (fields[1], int(fields[2]))
            elif key == "stopped_by" and len(fields) == 2:
                trace.stopped_by = int(fields[1])
            elif len(fields) == 7 and key in trace.names:
                events.append(Event(key, *(int(field) for field in fields[1:])))
            else:
                raise ValueError
        except (ValueError, IndexError, struct.error):
            raise TraceError(f"line {number} is not a line of a trace: {line[:60]!r}") from None
    if calls:
        read_calls(trace, calls)


def read_trace(path, version=None):
    """The trace at PATH; raises TraceError saying why it cannot be read:
    not a trace, another version of the format, or truncated. The file is
    mapped, not read: the table is used where it lies."""
    version = format_version() if version is None else version
    try:
        with open(path, "rb") as file:
            data = mmap.mmap(file.fileno(), 0, flags=mmap.MAP_SHARED | MAP_POPULATE,
                             prot=mmap.PROT_READ)
    except ValueError:  # an empty file cannot be mapped
        data = b""
    except OSError as error:
        raise TraceError(error.strerror) from None
    end = data.find(b"\n")
    said = re.fullmatch(rb"watch-region-trace (\d+)", data[:end if end >= 0 else 80])
    if said is None:
        raise TraceError("not a trace")
    if not OLDEST_READ <= int(said[1]) <= version:
        raise TraceError(f"a trace of format {int(said[1])}; this watch-region reads formats "
                         f"{OLDEST_READ} to {version}")
    table_at = data.find(b"\ntable ")
    if table_at < 0:
        raise TraceError("truncated: it ends before its table of events")
    trace = Trace(path)
    trace.version = int(said[1])
    read_text(trace, data[:table_at].decode("utf-8", errors="replace").split("\n"))
    header_end = data.find(b"\n", table_at + 1)
    try:
        count, size = (int(field) for field in data[table_at + 7:header_end].split())
    except ValueError:
        raise TraceError("truncated: it ends in its table's line") from None
    trace.data, trace.table_at = data, header_end + 1
    trace.table = memoryview(data)[header_end + 1:]
    if trace.record is None or size != trace.record.size:
        raise TraceError(f"its table's records are {size} bytes, not as its record line says")
    if len(trace.table) != count * size:
        raise TraceError(f"truncated: its table holds {len(trace.table)} bytes, not {count} "
                         f"records of {size}")
    trace.start = start_time(trace)
    trace.text_events = [moved(trace, event) for event in trace.text_events]
    trace.slowest = [moved(trace, event) for event in trace.slowest]
    if trace.lost_from is not None:
        trace.lost_from = microseconds(trace.lost_from - trace.start)
    return trace


def start_time(trace):
    """The tracer's load: its event's time, or where the table no longer
    holds it, the earliest time the trace gives."""
    times = [event.time for event in trace.text_events + trace.slowest]
    time_at = trace.fields["time"][1]
    loads = [struct.unpack_from("<" + trace.fields["time"][0], trace.table,
                                number * trace.record.size + time_at)[0]
             for number in trace.where("load")]
    if loads:
        return min(times + loads)
    if trace.count:
        times.append(min((time for time in trace.column("time") if time), default=0))
    return min(times, default=0)


def moved(trace, event):
    return event._replace(time=microseconds(event.time - trace.start))
