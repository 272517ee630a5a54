"""The trace's lines of numbers (see trace.py for the whole format), each
read into the tuple the model takes: a call site, a thread's useful time, a
wait site, a loop handed out at run time, an MPI call."""

import collections

from ..report import microseconds

Site = collections.namedtuple(
    "Site", "index address base launches teams phases object ideal most_useful mean_useful body",
    defaults=(None,) * 4)
Useful = collections.namedtuple(
    "Useful", "tid initial all marked ideal_all ideal_marked migrations cpus", defaults=(None,) * 2)
WaitSite = collections.namedtuple(
    "WaitSite",
    "kind address base region_site count total median median_error longest object function late",
    defaults=((),))
Loop = collections.namedtuple(
    "Loop", "site order schedule chunk resolved resolved_chunk chunks iterations")
MpiCall = collections.namedtuple(
    "MpiCall", "seq op comm peer tag entry exit ideal_entry_all ideal_entry_marked ideal_exit_all "
    "ideal_exit_marked tid")


def parse_site(trace, line):
    """A site line; format 7 adds five numbers before its object: the sums
    for the gain, in µs, and its body as (address, base), None if not known."""
    stats = len(trace.phase_names) * len(trace.stat_names)
    added = 0 if line.split(" ", 7 + stats)[6 + stats:7 + stats] == ["object"] else 5
    fields = line.split(" ", 7 + stats + added)
    if len(fields) != 8 + stats + added or fields[6 + stats + added] != "object":
        raise ValueError
    gain = [microseconds(int(field)) for field in fields[6 + stats:9 + stats]] if added else []
    body = tuple(int(field, 0) for field in fields[9 + stats:11 + stats]) if added else None
    teams = {}
    for pair in filter(None, fields[5].split(",")):
        size, count = pair.split(":")
        teams[size if size == "other" else int(size)] = int(count)
    numbers = [int(value) for value in fields[6:6 + stats]]
    width = len(trace.stat_names)
    phases = {name: dict(zip(trace.stat_names, numbers[at * width:(at + 1) * width]))
              for at, name in enumerate(trace.phase_names)}
    return Site(int(fields[1]), int(fields[2], 0), int(fields[3], 0), int(fields[4]), teams,
                phases, fields[-1], *gain, body if body and body[0] else None)


def parse_wait(trace, line):
    """A wait line; format 5 names the function called at the site ("-":
    not known), after the numbers."""
    named = line.split(" ", 12)[11:12] == ["object"]
    fields = line.split(" ", 11 + named)
    if len(fields) != 12 + named or fields[10 + named] != "object":
        raise ValueError
    function = fields[10] if named and fields[10] != "-" else None
    return WaitSite(trace.wait_names[int(fields[1])], int(fields[2], 0), int(fields[3], 0),
                    *(int(field) for field in fields[4:10]), fields[-1], function)


def parse_late(field):
    """THREAD:COUNT:DELAY as (thread, count, delay in µs); THREAD a
    number, or "other"."""
    thread, count, delay = field.split(":")
    return (thread if thread == "other" else int(thread), int(count), microseconds(int(delay)))


def parse_loop(fields):
    """A loop line: its site's index, its order in the body, its schedule
    and chunk, what runtime resolved to (None: not known) and each thread's
    chunks and iterations."""
    taken = [tuple(int(number) for number in pair.split(":")) for pair in fields[8:]]
    if any(len(pair) != 2 for pair in taken):
        raise ValueError
    return Loop(int(fields[1]), int(fields[2]), fields[3], int(fields[4]),
                None if fields[5] == "-" else fields[5], int(fields[6]),
                [pair[0] for pair in taken], [pair[1] for pair in taken])


def cpu_list(field):
    """The CPUs a trace gives as N,N,... ("-": none), in order."""
    cpus = [] if field == "-" else sorted({int(cpu) for cpu in field.split(",")})
    if cpus and cpus[0] < 0:
        raise ValueError
    return cpus
