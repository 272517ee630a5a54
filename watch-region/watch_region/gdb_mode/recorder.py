"""What the gdb mode records of a run, and where its breakpoints
(breakpoints.py) are placed.

gdb allows no new breakpoint while it is deciding whether to stop, so a hit
that needs one asks gdb to stop, and the breakpoint is placed before the run
goes on: the hit's thread is then still where it stopped, which is checked.
A hit that cannot be read whole is recorded as far as it was read, and
counted with its reason: no stop is lost without a word.
"""

import collections

import gdb  # pylint: disable=import-error

from .. import entries
from . import x86
from .breakpoints import LaunchBreakpoint, TeamQueryBreakpoint, current_lwp
from .maps import Objects

REASONS_KEPT = 20


class ThreadRecord:
    """What one kernel thread was seen doing."""

    def __init__(self):
        self.queries = []  # [name, result or None], in the order called
        self.body_runs = 0
        self.atomic_operations = []  # (instruction, address, integer added or None)

    def as_json(self):
        results = {name: result for name, result in self.queries}
        return {
            "thread": results.get("omp_get_thread_num"),
            "team_size": results.get("omp_get_num_threads"),
            "queries": [name for name, _ in self.queries],
            "body_runs": self.body_runs,
            "atomic_additions": [value for _, _, value in self.atomic_operations
                                 if value is not None],
            "atomic_instructions": sorted({insn for insn, _, _ in self.atomic_operations}),
            "atomic_operations": len(self.atomic_operations),
        }


class RegionWatcher:
    """Everything seen in one run, and the breakpoints that see it."""

    def __init__(self, listed=None):
        self.entries = listed if listed is not None else entries.read()
        self.launches = []
        self.threads = {}  # by the kernel's thread id
        self.total_address = None
        self.total_after_join = None
        self.placed = set()  # (breakpoint kind, address)
        self.to_place = []  # breakpoints asked for while gdb was deciding to stop
        self.waiting = []  # (thread, address, what): hits whose breakpoints are not placed yet
        self.joins = []  # (thread, return site, body) of the launches not yet joined
        self.entries_placed, self.runtime_path = False, None
        self.forks = 0
        self.lost = collections.Counter()  # reason: stops that could not be read whole
        self.objects = Objects()

    def thread(self):
        return self.threads.setdefault(current_lwp(), ThreadRecord())

    def active_bodies(self):
        return [body for _, _, body in self.joins]

    def lose(self, reason):
        if reason not in self.lost and len(self.lost) >= REASONS_KEPT:
            reason = "other reasons"
        self.lost[reason] += 1

    def place(self, kind, address, *arguments):
        """Places one breakpoint of KIND at ADDRESS, unless there is one."""
        if (kind, address) not in self.placed:
            self.placed.add((kind, address))
            kind(self, f"*{address}", *arguments)

    def place_later(self, kind, address, *arguments):
        """Asks for a breakpoint, to be placed at the next stop."""
        if (kind, address) not in self.placed:
            self.to_place.append((kind, address, arguments))

    def place_asked_for(self):
        """Places the breakpoints asked for, and checks that each hit that
        asked for them has not run on: if it has, what they were to see may
        have been missed."""
        while self.to_place:
            kind, address, arguments = self.to_place.pop(0)
            self.place(kind, address, *arguments)
        waiting, self.waiting = self.waiting, []
        if not waiting:
            return
        where, asking = {}, {lwp for lwp, _, _ in waiting}
        selected = gdb.selected_thread()
        for thread in gdb.selected_inferior().threads():
            if thread.ptid[1] not in asking:
                continue
            try:
                thread.switch()
                where[thread.ptid[1]] = x86.register("pc")
            except gdb.error:  # a thread that is ending: its hit is counted below
                pass
        if selected is not None and selected.is_valid():
            selected.switch()
        for lwp, address, what in waiting:
            if where.get(lwp) != address:
                self.lose(f"{what}: its thread ran on before its breakpoints were placed")

    def place_entry_breakpoints(self):
        """At every entry that starts a team and at the queries, in libgomp
        itself, so that a launch from any object is seen: now, if libgomp is
        loaded, or as soon as it is (with the program, or later with
        dlopen). An entry that this libgomp lacks is not watched."""
        runtime = next((objfile.filename for objfile in gdb.objfiles()
                        if "libgomp" in (objfile.filename or "").rsplit("/", 1)[-1]), None)
        if self.entries_placed or runtime is None:
            return
        self.entries_placed, self.runtime_path = True, runtime
        # Some entries are one function under two names (the dynamic loop
        # and its nonmonotonic form): one breakpoint, both names.
        named = {}
        for entry in self.entries:
            if entry.body is None and entry.kind != "query":
                continue
            try:
                address = int(gdb.parse_and_eval(f"(long) &{entry.name}"))
            except gdb.error:
                continue
            named.setdefault(address, []).append(entry)
        for address, found in named.items():
            if found[0].kind == "query":
                TeamQueryBreakpoint(self, f"*{address}", found[0].name)
            else:
                LaunchBreakpoint(self, f"*{address}", found)

    def report(self):
        team = [record.as_json() for record in self.threads.values()]
        team.sort(key=lambda seen: (seen["thread"] is None, seen["thread"] or 0))
        operations = [operation for record in self.threads.values()
                      for operation in record.atomic_operations]
        # A shared total only where every atomic operation was an integer
        # addition to one address.
        total = self.total_after_join
        if not operations or any(value is None for _, _, value in operations) or len(
                {address for _, address, _ in operations}) != 1:
            total = None
        return {"launches": self.launches, "threads": team, "total_after_join": total,
                "forks": self.forks, "lost_stops": sum(self.lost.values()),
                "runtime_path": self.runtime_path,
                "lost_stop_reasons": dict(self.lost.most_common())}
