"""The MPI ranks of a run: which traces are ranks, and their calls matched
across ranks (mpi_replay.py replays the run over the matches, mpi.py gives
the hybrid model factors).

Matching. A communicator is known by its members' world ranks, in its own
rank order, so that each rank's local number for it does not matter (two
communicators of the same members in the same order are one). A send
(MPI_Send, MPI_Isend and their b/s/r forms, MPI_Sendrecv's send) matches a
receive (MPI_Recv, a completed MPI_Irecv, MPI_Mrecv, MPI_Imrecv,
MPI_Sendrecv's receive) of the same communicator, source, destination and
tag, the n-th such send the n-th such receive, in each rank's completion
order: MPI does not let messages between two ranks overtake one another, and
a receive carries the tag and source it got, so MPI_ANY_TAG and
MPI_ANY_SOURCE are resolved. A probe is not a message. A two-sided call
(MPI_Sendrecv, MPI_Sendrecv_replace), which the tracer logs as its send and
its receive with one entry, is one call, its send matched as a send and its
receive as a receive: one call in the replay and one stretch in MPI on its
rank's clock. The collectives on a communicator match by their order on
each member, the n-th on one the n-th on every other;
MPI_Init/MPI_Init_thread and MPI_Finalize are a barrier of MPI_COMM_WORLD.
A nonblocking collective (MPI_Ibcast and the like) is the collective it
starts, entered at its start and left at the completion call
that completes it, in the order of their entries. The edges: a send's entry
to its receive's exit; a barrier, allreduce, allgather, alltoall,
reduce_scatter, scan: every member's entry to every member's exit;
MPI_Bcast, MPI_Scatter(v): the root's entry to each other member's exit;
MPI_Reduce, MPI_Gather(v): every entry to the root's exit. Calls of other
kinds have no edges.
"""

import bisect
import collections
import operator

from ..mpi_entries import (EVERY_TO_EVERY, EVERY_TO_ROOT, POSTED, RECEIVED_HALF, RECEIVES,
                           ROOT_TO_EVERY, SENDS, SENT_HALF, TWO_SIDED, WORLD)
from .trace_lines import MpiCall

COLLECTIVES = EVERY_TO_EVERY | ROOT_TO_EVERY | EVERY_TO_ROOT | WORLD.keys()
# What each call is to the matching: a send, a receive, a collective (a
# nonblocking one's start too), or a two-sided call's both.
ROLES = {**{op: "send" for op in SENDS}, **{op: "receive" for op in RECEIVES},
         **{op: "collective" for op in COLLECTIVES | POSTED.keys()}, TWO_SIDED: "two-sided"}


def rank_traces(traces):
    """The traces of MPI ranks among TRACES, by rank in MPI_COMM_WORLD: for
    each rank, the first that says it is that rank."""
    ranks = {}
    for trace in traces:
        if trace.mpi is not None:
            ranks.setdefault(trace.mpi[0], trace)
    return ranks


def every_rank(ranks):
    """Whether RANKS (rank_traces's) are every rank of MPI_COMM_WORLD."""
    return {trace.mpi[1] for trace in ranks.values()} == {len(ranks)} \
        and sorted(ranks) == list(range(len(ranks)))


class Rank:  # pylint: disable=too-few-public-methods
    """One rank's trace: its calls by exit, and for each, the last of its
    calls to end before it was entered (-1: none)."""

    def __init__(self, trace, marked):
        self.trace, self.marked = trace, marked
        self.rank, self.size = trace.mpi
        # A two-sided call (MPI_Sendrecv, MPI_Sendrecv_replace), logged as
        # its send and its receive, is one call: the receive's, with the
        # send's peer and tag kept beside it (SENT, by the call's index).
        calls, halves = [], {}
        for call in trace.mpi_calls:
            if call.op == SENT_HALF:
                halves[(call.tid, call.entry)] = call
            else:
                calls.append(call)
        joined = {}
        for at, call in enumerate(calls):
            send = halves.pop((call.tid, call.entry), None) if call.op == RECEIVED_HALF \
                else None
            if send is not None:
                calls[at] = call = MpiCall._make(
                    (call.seq, TWO_SIDED, *call[2:6], max(call.exit, send.exit), *call[7:]))
                joined[call.seq] = send
        calls.extend(halves.values())  # a send whose receive was not kept
        self.calls = sorted(calls, key=operator.attrgetter("exit", "seq"))
        # Measured between the program's own marks, the run starts at its
        # first MPI_Pcontrol: what came before (and its edges) is not in it.
        first = next((at for at, call in enumerate(self.calls) if call.op == "MPI_Pcontrol"),
                     None)
        if marked and first is not None:
            self.calls = self.calls[first:]
        self.sent = {at: joined[call.seq] for at, call in enumerate(self.calls)
                     if call.op == TWO_SIDED and call.seq in joined}
        exits = [call.exit for call in self.calls]
        self.before = [min(bisect.bisect_right(exits, call.entry), at) - 1
                       for at, call in enumerate(self.calls)]


def match(ranks):
    """The edges: for each call (rank, index), the groups of calls whose
    entries its exit waits for; and the counts of what was matched."""
    sends, receives = collections.defaultdict(list), collections.defaultdict(list)
    collectives = collections.defaultdict(lambda: collections.defaultdict(list))
    numbers = {}  # each communicator's number, by its members
    for number, rank in ranks.items():
        world = tuple(range(rank.size))
        comms = {key: numbers.setdefault(members, len(numbers)) for key, members in (
            *rank.trace.mpi_comms.items(), *((op, (kind, world)) for op, kind in WORLD.items()))}
        for at, call in enumerate(rank.calls):
            op, peer, tag = call.op, call.peer, call.tag
            comm = comms.get(op if op in WORLD else call.comm)
            role = ROLES.get(op)
            if comm is None or role is None:
                continue
            if role == "two-sided":
                if at in rank.sent:
                    sent = rank.sent[at]
                    sends[(comm, number, sent.peer, sent.tag)].append((number, at))
                    receives[(comm, peer, number, tag)].append((number, at))
            elif role == "send":
                sends[(comm, number, peer, tag)].append((number, at))
            elif role == "receive":
                receives[(comm, peer, number, tag)].append((number, at))
            else:
                collectives[comm][number].append(at)
    edges = collections.defaultdict(list)
    counts = {"messages": 0, "unmatched_sends": 0, "unmatched_receives": 0, "collectives": 0}
    for key in sends.keys() | receives.keys():
        pairs = list(zip(sends.get(key, ()), receives.get(key, ())))
        for send, receive in pairs:
            edges[receive].append([send])
        counts["messages"] += len(pairs)
        counts["unmatched_sends"] += len(sends.get(key, ())) - len(pairs)
        counts["unmatched_receives"] += len(receives.get(key, ())) - len(pairs)
    for by_rank in collectives.values():
        # In the order they were entered, which MPI's order of collectives
        # is: a nonblocking one may complete after one entered later.
        for number, calls in by_rank.items():
            calls.sort(key=lambda at, rank=ranks[number]: rank.calls[at].entry)
        for order in range(max(len(calls) for calls in by_rank.values())):
            group = [(number, calls[order]) for number, calls in by_rank.items()
                     if order < len(calls)]
            counts["collectives"] += 1
            collective_edges(ranks, group, edges)
    return edges, counts


def collective_edges(ranks, group, edges):
    """The edges of one collective, GROUP its members' calls."""
    first = ranks[group[0][0]].calls[group[0][1]]
    root = [(number, at) for number, at in group if number == first.peer]
    op = POSTED.get(first.op, first.op)
    if op in ROOT_TO_EVERY:
        for member in group:
            if root and member != root[0]:
                edges[member].append(root)
    elif op in EVERY_TO_ROOT:
        if root:
            edges[root[0]].append(group)
    else:
        for member in group:
            edges[member].append(group)
