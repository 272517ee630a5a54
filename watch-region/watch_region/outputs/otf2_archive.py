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

MPI: where the traces hold every rank of MPI_COMM_WORLD (as mpi_match.py
picks a rank's trace), a communicator per set of members as mpi_match.py
knows them (MPI_COMM_WORLD first), each a group of its members' world
ranks in its own order, the ranks being the positions in the group of each
rank's main thread; inside each logged MPI call's enter and leave, its
messages and collectives: a send an MpiSend at the enter (an MPI_Isend's
too: the tracer does not log when it completes), a receive an MpiRecv at
the leave (one completed by MPI_Wait or the like an MpiIrecvRequest at the
enter and an MpiIrecv at the leave), a collective an MpiCollectiveBegin at
the enter and an MpiCollectiveEnd at the leave; peers and roots as ranks
of the communicator, every length 0 (the tracer logs no sizes).

Written with OTF2's Python binding (Debian package python3-otf2), by its
low-level module _otf2, the C library's calls one for one: the archive's
clock is then set here, in full. The events, hundreds of thousands in a
large run, are written by the C library's event calls straight, through
the library the binding loaded, with the binding's types (see
event_calls). The plan is otf2_plan.py's. Timestamps are the tracer's, nanoseconds
on the monotonic clock: the global offset is the earliest tracer load, and
the date is left unset (a monotonic clock has none)."""

import ctypes
import errno
import functools
import importlib.util
import os

from ..collector import paused
from ..mpi_entries import otf2_operation
from .otf2_plan import EVENTS, plan_run

ARCHIVE = "traces"
RESOLUTION = 10**9  # ticks per second: the tracer's nanoseconds
PACKAGE = "python3-otf2"


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


def event_calls(otf2, writer, teams):
    """For each of EVENTS, by its code, the C library's call that writes it
    with WRITER, given the time and the event's arguments (a team's
    communicator numbered from TEAMS); each returns
    the C library's error code. Called straight, through the library the
    binding loaded, with its types: its own wrapper sets the call's types
    again at every call, which costs more than the call."""
    def call(name, *types):
        function = otf2.Config.conf.lib[f"OTF2_EvtWriter_{name}"]  # a handle of our own
        function.argtypes = [ctypes.POINTER(otf2.EvtWriter), ctypes.POINTER(otf2.AttributeList),
                             otf2.TimeStamp, *types]
        function.restype = ctypes.c_int
        return functools.partial(function, writer, None)
    uint32, uint64, ref = ctypes.c_uint32, ctypes.c_uint64, otf2.CommRef
    enter, leave, fork, join, team_begin, team_end, send, recv, request, irecv, begin, end = (
        call(name, *types) for name, types in zip(EVENTS, (
            [otf2.RegionRef], [otf2.RegionRef], [otf2.Paradigm, uint32], [otf2.Paradigm],
            [ref], [ref], [uint32, ref, uint32, uint64], [uint32, ref, uint32, uint64],
            [uint64], [uint32, ref, uint32, uint64, uint64], [],
            [otf2.CollectiveOp, ref, uint32, uint64, uint64])))
    openmp, undefined = otf2.PARADIGM_OPENMP, otf2.UNDEFINED_UINT32.value
    operations = {}

    def collective_end(time, op, comm, root):
        if op not in operations:
            operations[op] = getattr(otf2, f"COLLECTIVE_OP_{otf2_operation(op)}")
        return end(time, operations[op], comm, undefined if root is None else root, 0, 0)
    return (enter, leave, lambda time, size: fork(time, openmp, size),
            lambda time: join(time, openmp), lambda time, team: team_begin(time, teams + team),
            lambda time, team: team_end(time, teams + team),
            lambda time, peer, comm, tag: send(time, peer, comm, tag, 0),
            lambda time, peer, comm, tag: recv(time, peer, comm, tag, 0), request,
            lambda time, peer, comm, tag, number: irecv(time, peer, comm, tag, 0, number),
            begin, collective_end)


def write_events(otf2, archive, location, events, teams):
    """Writes one location's EVENTS, its teams' communicators numbered
    from TEAMS; returns how many."""
    writer = otf2.Archive_GetEvtWriter(archive, location)
    calls = event_calls(otf2, writer, teams)
    for code, *arguments in events:
        failed = calls[code](*arguments)
        if failed:
            raise otf2.Error(otf2.ErrorCode(failed))
    otf2.Archive_CloseEvtWriter(archive, writer)
    # A location's definitions file, empty: readers look for one.
    otf2.Archive_CloseDefWriter(archive, otf2.Archive_GetDefWriter(archive, location))
    return len(events)


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
    try:
        with paused():
            write_archive(plan_run(findings), folder, otf2)
    except otf2.Error as error:
        raise OSError(f"OTF2: {error}") from None
