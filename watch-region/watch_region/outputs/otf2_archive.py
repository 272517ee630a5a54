"""The run as an OTF2 archive (Score-P's format, which Vampir, Scalasca's
tools and otf2-print read): FOLDER/traces.otf2, its definitions
(traces.def) and one event file per thread (traces/). A location group per
traced process (an MPI rank named by its rank), its creator the process
that started it where that was traced too; a location per kernel thread;
an OTF2 region per call site, entered and left by each thread's body of
every region launched there, inside ThreadTeamBegin/End of its team;
ThreadFork and ThreadJoin on the thread that launched it, at the launch
and at its return; pthread_create entered and left on the creating thread;
and each wait in the runtime, each task body run and each MPI call, a
region per kind and call site (an MPI call's named by the function
called), entered and left on its thread. Only a region whose launch,
return and bodies the trace kept is written, and only the waits, tasks and
creations whose start and end it kept and that nest: an archive whose
enters and leaves pair.

MPI: where the traces hold every rank of MPI_COMM_WORLD, a communicator per
set of members as mpi.py knows them (MPI_COMM_WORLD first), each a group
of its members' world ranks in its own order, the ranks being the
positions in the group of each rank's main thread; inside each logged MPI
call's enter and leave, its messages and collectives: a send an MpiSend at
the enter (an MPI_Isend's too: the tracer does not log when it completes),
a receive an MpiRecv at the leave (one completed by MPI_Wait or the like
an MpiIrecvRequest at the enter and an MpiIrecv at the leave), a
collective an MpiCollectiveBegin at the enter and an MpiCollectiveEnd at
the leave; peers and roots as ranks of the communicator, every length 0
(the tracer logs no sizes).

Written with OTF2's Python binding (Debian package python3-otf2), by its
low-level module _otf2, the C library's calls one for one: the archive's
clock is then set here, in full. Timestamps are the tracer's, nanoseconds
on the monotonic clock: the global offset is the earliest tracer load, and
the date is left unset (a monotonic clock has none)."""

import errno
import importlib.util
import os

from ..symbols import name_sites
from ..timeline.model import TRACER, regions_of
from ..timeline.mpi import EVERY_TO_EVERY, EVERY_TO_ROOT, POSTED, RECEIVES, ROOT_TO_EVERY, SENDS

COLLECTIVES = EVERY_TO_EVERY | ROOT_TO_EVERY | EVERY_TO_ROOT
LOGGED = SENDS | RECEIVES | COLLECTIVES
# Receives whose request a completion call finished.
REQUESTED = {"MPI_Irecv", "MPI_Imrecv"}

ARCHIVE = "traces"
RESOLUTION = 10**9  # ticks per second: the tracer's nanoseconds
PACKAGE = "python3-otf2"


class Plan:  # pylint: disable=too-few-public-methods
    """What the archive holds, before the binding writes it: strings,
    location groups, locations (each with its events), regions and teams,
    each numbered as the archive refers to it."""

    def __init__(self):
        self.strings, self.groups, self.locations = {"": 0}, [], []
        self.regions, self.teams, self.creators = {}, {}, []
        self.first = self.last = self.node = None
        # MPI: each communicator's number by its members' world ranks; the
        # location of each rank's main thread, in rank order.
        self.comms, self.ranks, self.requests = {}, [], 0

    def string(self, text):
        return self.strings.setdefault(text, len(self.strings))

    def region(self, name, role, source=None):
        """The number of the region NAME of ROLE ("parallel", "create" or
        a wait's kind), at SOURCE (addr2line's FILE:LINE, or None)."""
        where = source_line(source)
        key = (self.string(name), role, self.string(where[0]) if where else None,
               where[1] if where else 0)
        return self.regions.setdefault(key, len(self.regions))

    def team(self, locations, name):
        """The number of the team of LOCATIONS, in team order, named NAME
        if new."""
        return self.teams.setdefault(tuple(locations), (len(self.teams), self.string(name)))[0]

    def comm(self, members):
        """The number of the MPI communicator of MEMBERS (world ranks in
        its order), named if new."""
        if members not in self.comms:
            self.comms[members] = (len(self.comms), self.string(
                "MPI_COMM_WORLD" if not self.comms else
                f"communicator of ranks {','.join(map(str, members))}"))
        return self.comms[members][0]

    def stamp(self, time):
        self.first = time if self.first is None else min(self.first, time)
        self.last = time if self.last is None else max(self.last, time)


def whole_regions(events):
    """The regions whose launch, return and every body the events hold."""
    whole = {}
    for number, region in regions_of(events).items():
        team = [entry for entry in region["threads"].values()
                if "body_start" in entry or entry["thread"] is not None]
        if region["launch_return"] is not None and team and all(
                "body_start" in entry and "body_end" in entry for entry in team):
            whole[number] = {**region, "team": sorted(team, key=lambda entry: entry["thread"])}
    return whole


# What ends each stretch a thread is in: a body, a wait, a task's body, a
# thread's creation.
ENDS = {"body_start": "body_end", "wait_begin": "wait_end", "task_begin": "task_end",
        "create_call": "create_return"}
STARTS = {end: start for start, end in ENDS.items()}


BODY_OR_LAUNCH = {"body_start", "body_end", "launch", "launch_return"}
LAUNCHES = {"launch", "launch_return"}
# The events that a thread's stretches are made of.
STRETCHES = set(ENDS) | set(STARTS) | LAUNCHES
KINDS = {name: name.split("_")[0] for name in set(ENDS) | set(STARTS)}


def stretch_key(event):
    kind = KINDS[event.name]
    if kind == "body":
        return ("body", event.region)
    if kind == "create":
        return ("create", event.link)
    return (kind, event.site, event.link)  # a wait's kind and site


def nested(events):
    """The numbers of the EVENTS of one thread that start or end a stretch
    whose end or start they also hold, the stretches nested: one left open
    when a stretch that started before it ends is left out."""
    open_, kept = [], set()
    for at, event in enumerate(events):
        if event.name in ENDS:
            open_.append((stretch_key(event), at))
        elif event.name in STARTS:
            key = stretch_key(event)
            for depth in range(len(open_) - 1, -1, -1):
                if open_[depth][0] == key:
                    kept.update((open_[depth][1], at))
                    del open_[depth:]
                    break
    return kept


def process_events(trace):
    """The events of one process's threads, by kernel thread: (what,
    nanoseconds, argument) in the order each thread met them: the launches,
    returns and bodies of the regions whose every event the trace kept, and
    the waits, task bodies and thread creations whose start and end it kept,
    nested. A body's argument is its region; a launch's, the size of its
    team; a wait's or a task's, its event."""
    kept = trace.events()
    launched = {event.region for event in kept if event.name == "launch"}
    extra = [event for event in trace.slowest if event.region not in launched]
    events = sorted(kept + extra, key=lambda event: event.time) if extra else kept
    whole = whole_regions(events)
    by_thread = {trace.pid: []}
    for event in events:
        if event.name in STRETCHES and (event.region in whole
                                        or event.name not in BODY_OR_LAUNCH):
            by_thread.setdefault(event.tid, []).append(event)
    threads, done, start = {}, set(), trace.start
    for tid, mine in by_thread.items():
        threads[tid] = out = []
        stretches = nested(mine)
        for at, event in enumerate(mine):
            name = event.name
            if name in LAUNCHES:
                mark = (name, event.region)
                if mark in done:
                    continue
                done.add(mark)
            elif at not in stretches:
                continue
            argument = whole.get(event.region) if name in BODY_OR_LAUNCH else event
            if name == "launch":
                argument = len(argument["team"])
            out.append((name, start + round(event.time * 1000), argument))
    return threads


def wait_names(trace):
    """Each wait's (kind, address): its name and source, as the report
    names them."""
    named = name_sites([(wait.address, wait.base, wait.object) for wait in trace.waits])
    return {(wait.kind, wait.address): ("(the end of a region body)", None)
            if wait.object.endswith(TRACER) else (name["site"], name.get("source"))
            for wait, name in zip(trace.waits, named)}


def mpi_role(op):
    """The role of an MPI call OP's region, as a key of write_definitions's
    roles: its kind of communication."""
    if op == "MPI_Barrier":
        return "mpi barrier"
    for ops, role in ((SENDS | RECEIVES, "point2point"), (EVERY_TO_EVERY, "all2all"),
                      (ROOT_TO_EVERY, "one2all"), (EVERY_TO_ROOT, "all2one")):
        if op in ops or f"{op}:send" in ops:
            return f"mpi {role}"
    return "mpi"


def mpi_ops(trace, threads):
    """The MPI function each MPI call site calls: as the trace's wait lines
    name it, else from the calls it logged, found by their thread and entry."""
    calls = {(call.tid, call.entry): call.op.split(":")[0] for call in trace.mpi_calls}
    kind = trace.wait_names.index("mpi") if "mpi" in trace.wait_names else None
    logged = {event.link: calls[(tid, time)] for tid, events in threads
              for what, time, event in events if what == "wait_begin" and event.site == kind
              and (tid, time) in calls}
    return {**logged, **{wait.address: wait.function for wait in trace.waits
                         if wait.kind == "mpi" and wait.function}}


def plan_run(findings):
    """The archive of FINDINGS, planned."""
    plan = Plan()
    groups, creators = {}, []
    ranks = mpi_ranks(findings.traces)
    if ranks:
        plan.comm(tuple(range(len(ranks))))
    for trace, model in zip(findings.traces, findings.report["processes"]):
        sites = {site["index"]: site for site in model["call_sites"] if "index" in site}
        groups[trace.pid] = len(plan.groups)
        creators.append(trace.parent)
        rank = f" rank {trace.mpi[0]}" if trace.mpi else ""
        plan.groups.append(plan.string(f"{os.path.basename(model['program'] or '?')}{rank} "
                                       f"({trace.pid})"))
        plan.stamp(trace.start)
        threads = sorted(process_events(trace).items())
        numbered = {tid: len(plan.locations) + at for at, (tid, _) in enumerate(threads)}
        waits = wait_names(trace) if trace.waits else {}
        ops = mpi_ops(trace, threads)
        logged = mpi_logged(trace) if trace.mpi and ranks and ranks[trace.mpi[0]] is trace \
            else {}
        if logged:
            plan.ranks.append(numbered[trace.pid])
        # Each region's (OTF2 region, team), and each wait's OTF2 region, made once.
        bodies, stretches = {}, {}
        for tid, events in threads:
            name = f"kernel thread {tid}" + (" (main)" if tid == trace.pid else "")
            if logged:
                events[:] = mpi_events(plan, trace, logged, tid, events)
            plan.locations.append((plan.string(name), groups[trace.pid], events))
            if events:  # each thread's events are in time order
                plan.stamp(events[0][1])
                plan.stamp(events[-1][1])
            for at, (what, time, argument) in enumerate(events):
                kind = KINDS.get(what)
                if kind == "body":
                    made = bodies.get(argument["region"])
                    if made is None:
                        site = sites.get(argument["site_index"], {})
                        team = [entry["kernel_thread"] for entry in argument["team"]]
                        made = bodies[argument["region"]] = (
                            plan.region(site.get("site", f"region {argument['region']}"),
                                        "parallel", site.get("source")),
                            plan.team((numbered[member] for member in team),
                                      f"team of {len(team)}, thread 0 kernel thread {team[0]}"))
                    events[at] = (what, time, made)
                elif kind == "create":
                    events[at] = (what, time, plan.region("pthread_create", "create"))
                elif kind in ("wait", "task"):
                    key = (argument.site, argument.link)
                    if key not in stretches:
                        wait = (trace.wait_names[argument.site] if argument.site
                                < len(trace.wait_names) else f"wait {argument.site}")
                        site, source = waits.get((wait, argument.link),
                                                 (f"{argument.link:#x}", None))
                        op = ops.get(argument.link) if wait == "mpi" else None
                        stretches[key] = plan.region(f"{op or wait} at {site}",
                                                     mpi_role(op) if op else wait, source)
                    events[at] = (what, time, stretches[key])
    # A process's creator, where the run traced it.
    plan.creators = [groups.get(parent) for parent in creators]
    plan.node = (plan.string("watch-region run"), plan.string("machine"))
    return plan


def mpi_ranks(traces):
    """The trace of each rank of MPI_COMM_WORLD, in rank order (the first
    where a rank has more), if every rank has one; else []."""
    ranks = {}
    for trace in traces:
        if trace.mpi is not None:
            ranks.setdefault(trace.mpi[0], trace)
    sizes = {trace.mpi[1] for trace in ranks.values()}
    return [ranks[rank] for rank in sorted(ranks)] if sizes == {len(ranks)} \
        and sorted(ranks) == list(range(len(ranks))) else []


def mpi_logged(trace):
    """The calls TRACE logged that carry messages or collectives, by their
    thread and entry: several where a call completed several receives or
    is a send and a receive."""
    logged = {}
    for call in sorted(trace.mpi_calls, key=lambda call: call.seq):
        if POSTED.get(call.op, call.op) in LOGGED:
            logged.setdefault((call.tid, call.entry), []).append(call)
    return logged


def mpi_events(plan, trace, logged, tid, events):
    """The EVENTS of TRACE's thread TID with the messages and collectives
    of its logged MPI calls inside their enter and leave."""
    kind = trace.wait_names.index("mpi") if "mpi" in trace.wait_names else None
    out, ends = [], []
    for what, time, argument in events:
        if what in STARTS:
            out.extend((name, time, detail) for name, detail in ends.pop())
        out.append((what, time, argument))
        if what in ENDS:
            begin, end = [], []
            mpi = what == "wait_begin" and argument.site == kind
            for call in logged.get((tid, time), ()) if mpi else ():
                members = trace.mpi_comms.get(call.comm)
                if members is None:
                    continue
                comm = plan.comm(members)
                peer = members.index(call.peer) if call.peer in members else None
                # A nonblocking collective is its blocking one's operation,
                # begun and ended in the call that started it.
                if (op := POSTED.get(call.op, call.op)) in COLLECTIVES:
                    root = peer if op in ROOT_TO_EVERY | EVERY_TO_ROOT else None
                    begin.append(("mpi_collective_begin", None))
                    end.append(("mpi_collective_end", (op, comm, root)))
                elif peer is None:
                    continue
                elif call.op in SENDS:
                    begin.append(("mpi_send", (peer, comm, call.tag)))
                elif call.op in REQUESTED:
                    plan.requests += 1
                    begin.append(("mpi_irecv_request", plan.requests))
                    end.append(("mpi_irecv", (peer, comm, call.tag, plan.requests)))
                else:
                    end.append(("mpi_recv", (peer, comm, call.tag)))
            out.extend((name, time, detail) for name, detail in begin)
            ends.append(end)
    return out


def source_line(source):
    """(file, line) of addr2line's FILE:LINE (discriminator N), else None."""
    if not source or ":" not in source:
        return None
    path, line = source.split(" ", 1)[0].rsplit(":", 1)
    return (path, int(line)) if line.isdigit() else None


def write_archive(plan, folder, otf2):
    """Writes PLAN into FOLDER with the binding's low-level module OTF2."""
    archive = otf2.Archive_Open(folder, ARCHIVE, otf2.FILEMODE_WRITE, 1 << 20, 1 << 22,
                                otf2.SUBSTRATE_POSIX, otf2.COMPRESSION_NONE)
    flushing = otf2.FlushCallbacks(pre_flush=lambda *_: otf2.FLUSH, post_flush=None)
    try:
        otf2.Archive_SetFlushCallbacks(archive, flushing, None)
        otf2.Archive_SetSerialCollectiveCallbacks(archive)
        otf2.Archive_SetCreator(archive, "watch-region")
        otf2.Archive_OpenEvtFiles(archive)
        otf2.Archive_OpenDefFiles(archive)
        counts = [write_events(otf2, archive, number, events, len(plan.comms))
                  for number, (_, _, events) in enumerate(plan.locations)]
        otf2.Archive_CloseEvtFiles(archive)
        otf2.Archive_CloseDefFiles(archive)
        write_definitions(otf2, otf2.Archive_GetGlobalDefWriter(archive), plan, counts)
    finally:
        otf2.Archive_Close(archive)


def write_events(otf2, archive, location, events, teams):
    """Writes one location's EVENTS, its teams' communicators numbered
    from TEAMS; returns how many."""
    writer = otf2.Archive_GetEvtWriter(archive, location)
    openmp, count = otf2.PARADIGM_OPENMP, len(events)
    for what, time, argument in events:
        if what.startswith("mpi_"):
            write_mpi_event(otf2, writer, what, time, argument)
        elif what == "launch":
            otf2.EvtWriter_ThreadFork(writer, None, time, openmp, argument)
        elif what == "launch_return":
            otf2.EvtWriter_ThreadJoin(writer, None, time, openmp)
        elif what == "body_start":
            otf2.EvtWriter_ThreadTeamBegin(writer, None, time, teams + argument[1])
            otf2.EvtWriter_Enter(writer, None, time, argument[0])
            count += 1
        elif what == "body_end":
            otf2.EvtWriter_Leave(writer, None, time, argument[0])
            otf2.EvtWriter_ThreadTeamEnd(writer, None, time, teams + argument[1])
            count += 1
        elif what in ENDS:
            otf2.EvtWriter_Enter(writer, None, time, argument)
        else:
            otf2.EvtWriter_Leave(writer, None, time, argument)
    otf2.Archive_CloseEvtWriter(archive, writer)
    # A location's definitions file, empty: readers look for one.
    otf2.Archive_CloseDefWriter(archive, otf2.Archive_GetDefWriter(archive, location))
    return count


def write_mpi_event(otf2, writer, what, time, argument):
    """Writes one message or collective event of mpi_events."""
    if what == "mpi_send":
        otf2.EvtWriter_MpiSend(writer, None, time, *argument, 0)
    elif what == "mpi_recv":
        otf2.EvtWriter_MpiRecv(writer, None, time, *argument, 0)
    elif what == "mpi_irecv_request":
        otf2.EvtWriter_MpiIrecvRequest(writer, None, time, argument)
    elif what == "mpi_irecv":
        otf2.EvtWriter_MpiIrecv(writer, None, time, *argument[:3], 0, argument[3])
    elif what == "mpi_collective_begin":
        otf2.EvtWriter_MpiCollectiveBegin(writer, None, time)
    else:
        op, comm, root = argument
        otf2.EvtWriter_MpiCollectiveEnd(
            writer, None, time, getattr(otf2, f"COLLECTIVE_OP_{op[4:].upper()}"), comm,
            otf2.UNDEFINED_UINT32.value if root is None else root, 0, 0)


def write_definitions(otf2, writer, plan, counts):
    undefined = otf2.UNDEFINED_UINT32.value
    first = plan.first or 0
    otf2.GlobalDefWriter_WriteClockProperties(writer, RESOLUTION, first, (plan.last or 0) - first,
                                              otf2.UNDEFINED_TIMESTAMP.value)
    for text, number in plan.strings.items():
        otf2.GlobalDefWriter_WriteString(writer, number, text)
    otf2.GlobalDefWriter_WriteSystemTreeNode(writer, 0, *plan.node, undefined)
    for number, (name, creator) in enumerate(zip(plan.groups, plan.creators)):
        otf2.GlobalDefWriter_WriteLocationGroup(
            writer, number, name, otf2.LOCATION_GROUP_TYPE_PROCESS, 0,
            undefined if creator is None else creator)
    for number, ((name, group, _), count) in enumerate(zip(plan.locations, counts)):
        otf2.GlobalDefWriter_WriteLocation(writer, number, name, otf2.LOCATION_TYPE_CPU_THREAD,
                                           count, group)
    roles = {"parallel": otf2.REGION_ROLE_PARALLEL, "create": otf2.REGION_ROLE_FUNCTION,
             "barrier": otf2.REGION_ROLE_BARRIER, "critical": otf2.REGION_ROLE_CRITICAL,
             "ordered": otf2.REGION_ROLE_ORDERED, "taskwait": otf2.REGION_ROLE_TASK_WAIT,
             "taskgroup": otf2.REGION_ROLE_TASK_WAIT,
             "single": otf2.REGION_ROLE_IMPLICIT_BARRIER, "task": otf2.REGION_ROLE_TASK,
             "mpi barrier": otf2.REGION_ROLE_BARRIER,
             "mpi point2point": otf2.REGION_ROLE_POINT2POINT,
             "mpi all2all": otf2.REGION_ROLE_COLL_ALL2ALL,
             "mpi one2all": otf2.REGION_ROLE_COLL_ONE2ALL,
             "mpi all2one": otf2.REGION_ROLE_COLL_ALL2ONE}
    for (name, role, source, line), number in plan.regions.items():
        paradigm = (otf2.PARADIGM_PTHREAD if role == "create" else otf2.PARADIGM_MPI
                    if role.startswith("mpi") else otf2.PARADIGM_OPENMP)
        otf2.GlobalDefWriter_WriteRegion(
            writer, number, name, name, 0, roles.get(role, otf2.REGION_ROLE_FUNCTION),
            paradigm, otf2.REGION_FLAG_NONE,
            undefined if source is None else source, line, line)
    write_communicators(otf2, writer, plan)


def write_communicators(otf2, writer, plan):
    """The groups and communicators: MPI's, then each team's. A
    communicator's group lists its members as positions in the group of
    its paradigm's locations: for MPI each rank's main thread, in rank
    order; for OpenMP every thread of a team."""
    undefined, group = otf2.UNDEFINED_UINT32.value, 0
    if plan.comms:
        otf2.GlobalDefWriter_WriteGroup(writer, group, 0, otf2.GROUP_TYPE_COMM_LOCATIONS,
                                        otf2.PARADIGM_MPI, otf2.GROUP_FLAG_NONE, plan.ranks)
        for members, (number, name) in plan.comms.items():
            group += 1
            otf2.GlobalDefWriter_WriteGroup(writer, group, name, otf2.GROUP_TYPE_COMM_GROUP,
                                            otf2.PARADIGM_MPI, otf2.GROUP_FLAG_NONE, members)
            otf2.GlobalDefWriter_WriteComm(writer, number, name, group, undefined,
                                           otf2.COMM_FLAG_NONE)
        group += 1
    if plan.teams:
        # Each team is a group of its threads' ranks in the one group of
        # every OpenMP location.
        everyone = sorted({member for team in plan.teams for member in team})
        rank = {member: at for at, member in enumerate(everyone)}
        otf2.GlobalDefWriter_WriteGroup(writer, group, 0, otf2.GROUP_TYPE_COMM_LOCATIONS,
                                        otf2.PARADIGM_OPENMP, otf2.GROUP_FLAG_NONE, everyone)
        for team, (number, name) in plan.teams.items():
            otf2.GlobalDefWriter_WriteGroup(writer, group + 1 + number, name,
                                            otf2.GROUP_TYPE_COMM_GROUP, otf2.PARADIGM_OPENMP,
                                            otf2.GROUP_FLAG_NONE,
                                            [rank[member] for member in team])
            otf2.GlobalDefWriter_WriteComm(writer, len(plan.comms) + number, name,
                                           group + 1 + number, undefined, otf2.COMM_FLAG_NONE)


def refusal(folder):
    """Why an archive could not be written into FOLDER, or None: OTF2's
    binding missing, an archive there already (which OTF2 would not
    replace), or a folder that cannot be made or written."""
    if importlib.util.find_spec("_otf2") is None:
        return f"OTF2's Python binding is not installed (Debian package {PACKAGE})"
    for name in (f"{ARCHIVE}.otf2", f"{ARCHIVE}.def", ARCHIVE):
        if os.path.lexists(os.path.join(folder, name)):
            return f"already holds {name}: name another folder"
    existing = folder
    while not os.path.exists(existing):
        existing = os.path.dirname(os.path.abspath(existing))
    if not os.path.isdir(existing):
        return os.strerror(errno.ENOTDIR)
    if not os.access(existing, os.W_OK | os.X_OK):
        return os.strerror(errno.EACCES)
    return None


def prepare(folder):
    """FOLDER made if need be, and OTF2's binding; raises OSError where
    either cannot be had (see refusal)."""
    refused = refusal(folder)
    if refused is not None:
        raise OSError(refused)
    import _otf2  # pylint: disable=import-outside-toplevel
    os.makedirs(folder, exist_ok=True)
    return _otf2


def write(findings, folder):
    """Writes FINDINGS' traces as an OTF2 archive in FOLDER; raises OSError
    saying why it could not."""
    otf2 = prepare(folder)
    plan = plan_run(findings)
    try:
        write_archive(plan, folder, otf2)
    except otf2.Error as error:
        raise OSError(f"OTF2: {error}") from None
