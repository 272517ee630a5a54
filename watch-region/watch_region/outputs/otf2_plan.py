"""The OTF2 archive planned (otf2_archive.py writes it): its strings,
location groups, locations, regions, teams and communicators, each numbered
as the archive refers to it, and each location's events as the calls that
write them, in order: a code of EVENTS, the time and that call's arguments."""

import os

from ..mpi_entries import (EVERY_TO_EVERY, EVERY_TO_ROOT, POSTED, RECEIVES, REQUESTED,
                           ROOT_TO_EVERY, SENDS, otf2_role)
from ..timeline.model import wait_names
from ..timeline.mpi_match import every_rank, rank_traces
from . import traced_processes
from .otf2_stretches import ENDS, STARTS, process_events

COLLECTIVES = EVERY_TO_EVERY | ROOT_TO_EVERY | EVERY_TO_ROOT
LOGGED = SENDS | RECEIVES | COLLECTIVES

# The events, each one call of OTF2's event writer, with its arguments
# after the time: ENTER and LEAVE (region), FORK (team size), JOIN, TEAM_BEGIN
# and TEAM_END (team, as numbered among the teams), SEND and RECV (peer,
# communicator, tag), IRECV_REQUEST (request), IRECV (peer, communicator,
# tag, request), COLLECTIVE_BEGIN, COLLECTIVE_END (operation's name,
# communicator, root or None).
EVENTS = ("Enter", "Leave", "ThreadFork", "ThreadJoin", "ThreadTeamBegin", "ThreadTeamEnd",
          "MpiSend", "MpiRecv", "MpiIrecvRequest", "MpiIrecv", "MpiCollectiveBegin",
          "MpiCollectiveEnd")
(ENTER, LEAVE, FORK, JOIN, TEAM_BEGIN, TEAM_END, SEND, RECV, IRECV_REQUEST, IRECV,
 COLLECTIVE_BEGIN, COLLECTIVE_END) = range(len(EVENTS))


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


def wait_sources(trace):
    """Each wait's (kind, address): its name and source, as the report
    names them."""
    return {(wait.kind, wait.address): (name["site"], name.get("source"))
            for wait, name in zip(trace.waits, wait_names(trace.waits))}


def mpi_role(op):
    """The role of an MPI call OP's region, as a key of write_definitions's
    roles: its kind of communication."""
    role = otf2_role(op)
    return f"mpi {role}" if role else "mpi"


def mpi_ops(trace, threads):
    """The MPI function each MPI call site calls: as the trace's wait lines
    name it, else from the calls it logged, found by their thread and entry
    (on the run's clock, as THREADS' events are)."""
    calls = {(call.tid, trace.clock(call.entry)): call.op.split(":")[0]
             for call in trace.mpi_calls}
    kind = trace.wait_names.index("mpi") if "mpi" in trace.wait_names else None
    logged = {event.link: calls[(tid, time)] for tid, events in threads
              for what, time, event in events if what == "wait_begin" and event.site == kind
              and (tid, time) in calls}
    return {**logged, **{wait.address: wait.function for wait in trace.waits
                         if wait.kind == "mpi" and wait.function}}


class Process:  # pylint: disable=too-few-public-methods
    """What one process's events need to be planned: its call sites, its
    threads' locations, its wait sites' names and MPI functions, its logged
    MPI calls (where the run's ranks are all traced), and each region's and
    wait site's OTF2 region, made once."""

    def __init__(self, trace, model, threads, numbered, logged):
        self.trace, self.numbered, self.logged = trace, numbered, logged
        self.sites = {site.index: site for site in model.call_sites}
        self.waits = wait_sources(trace) if trace.waits else {}
        self.ops = mpi_ops(trace, threads)
        self.mpi = trace.wait_names.index("mpi") if "mpi" in trace.wait_names else None
        self.bodies, self.stretches = {}, {}

    def body(self, plan, region):
        """REGION's OTF2 region and team, kept by its number: a site's
        region and a team are the same for each of its regions."""
        site = self.sites.get(region["site_index"])
        named = (site.site, site.source) if site else (f"region {region['region']}", None)
        if named not in self.bodies:
            self.bodies[named] = plan.region(*named[:1], "parallel", named[1])
        team = tuple(entry["kernel_thread"] for entry in region["team"])
        if team not in self.bodies:
            self.bodies[team] = plan.team((self.numbered[member] for member in team),
                                          f"team of {len(team)}, thread 0 kernel thread {team[0]}")
        made = self.bodies[region["region"]] = (self.bodies[named], self.bodies[team])
        return made

    def comms(self, plan, tid, events):
        """Numbers the communicators of thread TID's logged calls."""
        for what, time, argument in events:
            if what == "wait_begin" and argument.site == self.mpi:
                for call in self.logged.get((tid, time), ()):
                    if (members := self.trace.mpi_comms.get(call.comm)) is not None:
                        plan.comm(members)

    def stretch(self, plan, event):
        """The OTF2 region of a wait's or a task's EVENT."""
        key = (event.site, event.link)
        made = self.stretches.get(key)
        if made is None:
            names = self.trace.wait_names
            wait = names[event.site] if event.site < len(names) else f"wait {event.site}"
            site, source = self.waits.get((wait, event.link), (f"{event.link:#x}", None))
            op = self.ops.get(event.link) if wait == "mpi" else None
            made = self.stretches[key] = plan.region(f"{op or wait} at {site}",
                                                     mpi_role(op) if op else wait, source)
        return made


def thread_events(plan, process, tid, events):
    """The archive's events of one thread's EVENTS (process_events's), the
    messages and collectives of its logged MPI calls inside their enter
    and leave."""
    out, ends, logged, mpi, bodies = [], [], process.logged, process.mpi, process.bodies
    add = out.append
    create = None
    for what, time, argument in events:
        if what in STARTS and (pending := ends.pop()):
            out.extend((each[0], time, *each[1:]) for each in pending)
        if what == "body_start":
            region, team = bodies.get(argument["region"]) or process.body(plan, argument)
            add((TEAM_BEGIN, time, team))
            add((ENTER, time, region))
            ends.append(())
        elif what == "body_end":
            region, team = bodies.get(argument["region"]) or process.body(plan, argument)
            add((LEAVE, time, region))
            add((TEAM_END, time, team))
        elif what == "launch":
            add((FORK, time, len(argument["team"])))
        elif what == "launch_return":
            add((JOIN, time))
        elif what in ENDS:
            if what == "create_call":
                create = plan.region("pthread_create", "create") if create is None else create
                add((ENTER, time, create))
            else:
                add((ENTER, time, process.stretch(plan, argument)))
            calls = logged.get((tid, time)) if what == "wait_begin" and \
                argument.site == mpi else None
            begin, end = mpi_events(plan, process.trace, calls, time) if calls else ((), ())
            out.extend(begin)
            ends.append(end)
        else:
            add((LEAVE, time, create if what == "create_return" else
                 process.stretch(plan, argument)))
    return out


def plan_run(findings):
    """The archive of FINDINGS, planned."""
    plan = Plan()
    groups, creators = {}, []
    ranks = rank_traces(findings.traces)
    if not every_rank(ranks):
        ranks = {}
    if ranks:
        plan.comm(tuple(range(len(ranks))))
    for trace, model in traced_processes(findings):
        groups[trace.pid] = len(plan.groups)
        creators.append(trace.parent)
        rank = f" rank {trace.mpi[0]}" if trace.mpi else ""
        plan.groups.append(plan.string(f"{os.path.basename(model.program or '?')}{rank} "
                                       f"({trace.pid})"))
        plan.stamp(trace.clock(trace.start))
        threads = sorted(process_events(trace).items())
        numbered = {tid: len(plan.locations) + at for at, (tid, _) in enumerate(threads)}
        logged = mpi_logged(trace) if trace.mpi and ranks and ranks[trace.mpi[0]] is trace \
            else {}
        if logged:
            plan.ranks.append(numbered[trace.pid])
        process = Process(trace, model, threads, numbered, logged)
        for tid, events in threads:
            name = f"kernel thread {tid}" + (" (main)" if tid == trace.pid else "")
            if logged:  # numbered first: the communicators, the thread, its regions
                process.comms(plan, tid, events)
            location = plan.string(name)
            events = thread_events(plan, process, tid, events)
            plan.locations.append((location, groups[trace.pid], events))
            if events:  # each thread's events are in time order
                plan.stamp(events[0][1])
                plan.stamp(events[-1][1])
    # A process's creator, where the run traced it.
    plan.creators = [groups.get(parent) for parent in creators]
    plan.node = (plan.string("watch-region run"), plan.string("machine"))
    return plan


def mpi_logged(trace):
    """The calls TRACE logged that carry messages or collectives, by their
    thread and entry on the run's clock: several where a call completed several receives or
    is a send and a receive."""
    logged = {}
    for call in sorted(trace.mpi_calls, key=lambda call: call.seq):
        if POSTED.get(call.op, call.op) in LOGGED:
            logged.setdefault((call.tid, trace.clock(call.entry)), []).append(call)
    return logged


def mpi_events(plan, trace, calls, time):
    """The messages and collectives of one MPI call's logged CALLS, entered
    at TIME: those at its enter, and those at its leave, without their time."""
    begin, end = [], []
    for call in calls:
        members = trace.mpi_comms.get(call.comm)
        if members is None:
            continue
        comm = plan.comm(members)
        peer = members.index(call.peer) if call.peer in members else None
        # A nonblocking collective is its blocking one's operation, begun and
        # ended in the call that started it.
        if (op := POSTED.get(call.op, call.op)) in COLLECTIVES:
            root = peer if op in ROOT_TO_EVERY | EVERY_TO_ROOT else None
            begin.append((COLLECTIVE_BEGIN, time))
            end.append((COLLECTIVE_END, op, comm, root))
        elif peer is None:
            continue
        elif call.op in SENDS:
            begin.append((SEND, time, peer, comm, call.tag))
        elif call.op in REQUESTED:
            plan.requests += 1
            begin.append((IRECV_REQUEST, time, plan.requests))
            end.append((IRECV, peer, comm, call.tag, plan.requests))
        else:
            end.append((RECV, peer, comm, call.tag))
    return begin, end


def source_line(source):
    """(file, line) of addr2line's FILE:LINE (discriminator N), else None."""
    if not source or ":" not in source:
        return None
    path, line = source.split(" ", 1)[0].rsplit(":", 1)
    return (path, int(line)) if line.isdigit() else None
