"""The run's ideal time replayed over the MPI ranks' matched calls
(mpi_match.py matches them).

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
"""

import collections

from ..mpi_entries import WORLD

MAX_PASSES = 64


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
