"""The MPI ranks of a run read together: their calls matched across ranks,
the run's ideal time replayed over the matches, and the hybrid model
factors.

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

Replay. Each rank's ideal clock is its trace's own (a call's IDEAL_* columns,
which already hold the edges between its threads) plus a delay D that only
an edge from another rank raises. The calls are taken by their exit time, a
valid order for a run on one machine; at a call's exit, D becomes

    max(D, max(source's clock + its rank's D at that entry) - own clock at exit)

over the sources of the call's edges, where a rank's D at an entry is its D
after the last of its calls to end before that entry. Passes repeat until no
D changes (more than one only where clocks disagree across machines). A
rank's ideal run time is its threads' latest ideal clock plus its last D,
and the run's ideal run time the longest of these.

Measure: the marked intervals' wherever every rank's trace has marks (with
MPI and no MPI_Pcontrol, from MPI_Init's return to the call of
MPI_Finalize), else the whole run.

Hybrid factors (the multiplicative model; the MPI part as OTF-CPT, J.
Protze et al., Euro-Par 2022, defines it, so that every factor of either
part is at most 1; docs/watch-region.md says why not POP's, from each
rank's initial thread's time outside MPI):
- whole: every rank's counted threads' useful time (as for one process),
  over the longest rank's interval, with the replayed ideal run time;
- MPI: load balance over each rank's busiest thread's useful time;
  serialisation efficiency the longest rank's own ideal run time (its
  threads' edges alone) over the run's; transfer efficiency the run's over
  the run's ideal run time with only OpenMP's waits zero: the same replay
  with a thread's clock its ideal clock plus its time in MPI calls so far
  (when marked, inside the spans that its MPI_Pcontrol calls set, else the
  span from MPI_Init's return to MPI_Finalize's call);
- OpenMP: each factor of the whole over the same factor of the MPI part.
"""

import bisect
import collections
import operator

from ..collector import paused
from ..mpi_entries import (EVERY_TO_EVERY, EVERY_TO_ROOT, POSTED, RECEIVED_HALF, RECEIVES,
                           ROOT_TO_EVERY, SENDS, SENT_HALF, TWO_SIDED, WORLD)
from .model import FACTORS, counted_useful, efficiency
from .trace import MpiCall

COLLECTIVES = EVERY_TO_EVERY | ROOT_TO_EVERY | EVERY_TO_ROOT | WORLD.keys()
# What each call is to the matching: a send, a receive, a collective (a
# nonblocking one's start too), or a two-sided call's both.
ROLES = {**{op: "send" for op in SENDS}, **{op: "receive" for op in RECEIVES},
         **{op: "collective" for op in COLLECTIVES | POSTED.keys()}, TWO_SIDED: "two-sided"}
MAX_PASSES = 64


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


class Flow:  # pylint: disable=too-few-public-methods
    """Every rank's calls in one numbering (rank by rank, each rank's by
    exit) with the EDGES between them, made once for both replays: for each
    call the one before it on its rank, the last to end before its entry
    (-1: none) and the groups whose entries its exit waits for."""

    def __init__(self, ranks, edges):
        self.numbers = sorted(ranks)
        base, self.calls, self.previous, self.before = {}, [], [], []
        for number in self.numbers:
            rank = ranks[number]
            base[number] = first = len(self.calls)
            self.calls.extend(rank.calls)
            self.previous.extend(range(first - 1, first + len(rank.calls) - 1))
            self.before.extend(first + before if before >= 0 else -1 for before in rank.before)
            if rank.calls:
                self.previous[first] = -1
        self.last = {number: base[number] + len(ranks[number].calls) - 1
                     for number in self.numbers}
        # By exit, ties in rank order: a valid order on one machine.
        self.order = sorted(range(len(self.calls)), key=[call.exit for call in self.calls]
                            .__getitem__)
        self.groups, self.waits, numbered = [], [()] * len(self.calls), {}
        for (number, at), groups in edges.items():
            waits = []
            for group in groups:
                made = numbered.get(id(group))  # a collective's group is every member's
                if made is None:
                    made = numbered[id(group)] = len(self.groups)
                    self.groups.append([base[member] + index for member, index in group])
                waits.append(made)
            self.waits[base[number] + at] = waits
        # Whether one pass in that order settles every delay: each source's
        # delay at its entry is settled before a call waits for it.
        position = [0] * len(self.calls)
        for place, call in enumerate(self.order):
            position[call] = place
        ready = []
        for group in self.groups:
            latest = -1
            for source in group:
                at = self.before[source]
                if at >= 0 and position[at] > latest:
                    latest = position[at]
            ready.append(latest)
        self.settled = all(ready[group] < position[call]
                           for call, waits in enumerate(self.waits) for group in waits)


def replay(flow, entries, exits, last_clock):
    """The run's ideal run time: each rank's clock, ENTRIES and EXITS of
    FLOW's calls (by its numbering) and LAST_CLOCK of a rank, delayed along
    its edges. Passes repeat until no delay changes, only where one pass in
    exit order cannot settle them (clocks that disagree across machines)."""
    previous, before, groups, waits = flow.previous, flow.before, flow.groups, flow.waits
    # A delay never falls below 0, and one more than the calls stays 0: the
    # delay at call -1, none.
    delays = [0] * (len(flow.calls) + 1)
    for _ in range(1 if flow.settled else MAX_PASSES):
        changed, latest = False, [None] * len(groups)
        for call in flow.order:
            delay, held = delays[call], delays[previous[call]]
            if held > delay:
                delay = held
            for group in waits[call]:
                found = latest[group]
                if found is None:
                    found = latest[group] = max([entries[source] + delays[before[source]]
                                                 for source in groups[group]])
                if found - exits[call] > delay:
                    delay = found - exits[call]
            if delay != delays[call]:
                changed, delays[call] = True, delay
        if not changed:
            break
    return max(last_clock(number) + (delays[flow.last[number]] if flow.last[number] >= 0 else 0)
               for number in flow.numbers)


def covered(spans, start, end):
    """The part of START to END inside SPANS."""
    return sum(max(0, min(end, stop) - max(start, begin)) for begin, stop in spans)


def marked_spans(rank):
    """The rank's marked spans: between the program's MPI_Pcontrol calls
    (each logged with its level as its tag, a start or, at 0, a stop, at its
    entry), else from MPI_Init's return to the call of MPI_Finalize; the
    whole run where it has no marks, or where these are not the trace's
    marked interval."""
    whole = [(rank.trace.start, float("inf"))]
    if not rank.marked:
        return whole
    controls = [call for call in rank.calls if call.op == "MPI_Pcontrol"]
    if controls:
        spans, opened = [], None
        for call in controls:
            if call.tag != 0 and opened is None:
                opened = call.entry
            elif call.tag == 0 and opened is not None:
                spans.append((opened, call.entry))
                opened = None
        return spans + ([(opened, float("inf"))] if opened is not None else [])
    began = max((call.exit for call in rank.calls if WORLD.get(call.op) == "init"),
                default=rank.trace.start)
    ended = min((call.entry for call in rank.calls if WORLD.get(call.op) == "finalize"),
                default=float("inf"))
    marked = rank.trace.interval[1]
    return [(began, ended)] if abs(ended - began - marked) <= max(10000, marked / 100) else whole


def in_mpi(rank):
    """Each call's thread's time in MPI calls before it, in the rank's
    measure, and the call's own, in ns: two lists by call index."""
    spans, spent = marked_spans(rank), collections.Counter()
    calls = rank.calls
    if len(spans) == 1:
        begin, stop = spans[0]
        own = [max(0, min(stop, call.exit) - max(begin, call.entry)) for call in calls]
    else:
        own = [covered(spans, call.entry, call.exit) for call in calls]
    before = [0] * len(calls)
    for at in sorted(range(len(calls)), key=[call.entry for call in calls].__getitem__):
        tid = calls[at].tid
        before[at] = spent[tid]
        spent[tid] += own[at]
    return before, own


def bounded(low, value, high):
    return min(max(low, value), max(low, high))


def hybrid_factors(traces):
    """The run's hybrid model factors over the traces of MPI ranks, and an
    account of the matching and replay; None without a rank of format 4's
    model lines."""
    with paused():
        return replayed(traces)


def replayed(traces):
    """hybrid_factors's work."""
    ranked = [trace for trace in traces if trace.mpi is not None and trace.interval is not None]
    if not ranked:
        return None, None
    marked = all(trace.interval[2] > 0 for trace in ranked)
    ranks = {}
    for trace in ranked:
        ranks.setdefault(trace.mpi[0], Rank(trace, marked))
    edges, counts = match(ranks)
    column = 1 if marked else 0

    def ideal_of(used):
        return used.ideal_marked if marked else used.ideal_all
    counted = {number: counted_useful(rank.trace, marked) for number, rank in ranks.items()}
    own_ideal = {number: max(map(ideal_of, rank.trace.useful), default=0)
                 for number, rank in ranks.items()}
    flow = Flow(ranks, edges)
    entries = [call[7 + column] for call in flow.calls]
    exits = [call[9 + column] for call in flow.calls]
    ideal = replay(flow, entries, exits, own_ideal.get)
    interval = max(rank.trace.interval[column] for rank in ranks.values())
    # The run with every OpenMP wait zero and MPI's time as it was: a
    # thread's ideal clock plus its time in MPI so far, over the same edges.
    before, own = [], []
    for number in flow.numbers:
        spent = in_mpi(ranks[number])
        before.extend(spent[0])
        own.extend(spent[1])

    def initial_last(number):
        rank = ranks[number]
        initial = [ideal_of(used) for used in rank.trace.useful if used.initial]
        return max(own_ideal[number], (initial[0] if initial else 0)
                   + (rank.trace.mpi_time or (0, 0))[column])
    outside_openmp = replay(flow, [entry + spent for entry, spent in zip(entries, before)],
                            [end + spent + inside for end, spent, inside
                             in zip(exits, before, own)], initial_last)
    # At least the ideal run time by construction; at most the run but for
    # the clock's rounding, and held there.
    outside_openmp = bounded(ideal, outside_openmp, interval)
    useful = [thread["useful"] for number in sorted(counted)
              for thread in counted[number]["useful"]]
    busiest = {number: max((thread["useful"] for thread in counted[number]["useful"]),
                           default=0) for number in ranks}
    whole = efficiency(useful, interval / 1000, ideal / 1000)
    mpi, openmp = split(whole, busiest, max(own_ideal.values()) / 1000,
                        ideal / 1000, outside_openmp / 1000, interval / 1000)
    account = {"ranks": sorted(ranks), "size": max(rank.size for rank in ranks.values()),
               "marked": marked, "interval": interval / 1000, "ideal_run_time": ideal / 1000,
               "rank_ideal_run_time": max(own_ideal.values()) / 1000,
               "outside_openmp_ideal_run_time": outside_openmp / 1000,
               "useful": [busiest[number] for number in sorted(busiest)],
               "calls_left_out": sum(rank.trace.mpi_calls_left_out for rank in ranks.values()),
               **counts}
    return {**whole, "mpi": mpi, "openmp": openmp}, account


def split(whole, busiest, rank_ideal, ideal, outside_openmp, interval):
    """The MPI and OpenMP parts of the WHOLE's factors: BUSIEST each rank's
    busiest thread's useful time, RANK_IDEAL the longest rank's own ideal
    run time (its threads' edges only), IDEAL the run's, OUTSIDE_OPENMP the
    run's with OpenMP's waits zero, INTERVAL the run's; in µs. Each part's
    factor is at most 1, and whole = MPI x OpenMP factor by factor."""
    most = max(busiest.values(), default=0)

    def ratio(part, of):
        return part / of if of else None
    balance = ratio(sum(busiest.values()) / len(busiest), most) if busiest else None
    mpi = {"load_balance": balance, "serialisation_efficiency": ratio(rank_ideal, ideal),
           "transfer_efficiency": ratio(ideal, outside_openmp)}
    openmp = {"load_balance": ratio(whole["load_balance"], balance)
              if whole["load_balance"] is not None else None,
              "serialisation_efficiency": ratio(most, rank_ideal),
              "transfer_efficiency": ratio(outside_openmp, interval)}
    for part in (mpi, openmp):
        ser, transfer = part["serialisation_efficiency"], part["transfer_efficiency"]
        part["communication_efficiency"] = None if None in (ser, transfer) else ser * transfer
        part["parallel_efficiency"] = None if None in (
            part["load_balance"], part["communication_efficiency"]) \
            else part["load_balance"] * part["communication_efficiency"]
    return ({key: mpi[key] for key in FACTORS}, {key: openmp[key] for key in FACTORS})
