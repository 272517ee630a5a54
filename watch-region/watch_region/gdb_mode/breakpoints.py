"""The gdb mode's breakpoints, each recording what it sees into the watcher
(recorder.py) and letting the program run on: plain ones at exact
addresses, at the entries that start a team and at the queries, in libgomp
itself (`*GOMP_parallel`, not the name, which gdb may place after the
prologue); at return sites for a query's result and the join (a
FinishBreakpoint is dropped when another thread stops first); at the body's
lock-prefixed instructions and calls of the queries, found by following its
jumps from its entry, so a stripped binary is watched as well."""

import re

import gdb  # pylint: disable=import-error

from . import x86
from .maps import symbol_of


def current_lwp():
    return gdb.selected_thread().ptid[1]


class WatchBreakpoint(gdb.Breakpoint):
    """A breakpoint that records what it sees and lets the program run on,
    unless it asked for new breakpoints: then gdb stops to place them."""

    what = "a stop"

    def __init__(self, watcher, location):
        super().__init__(location, internal=True)
        self.watcher = watcher
        self.address = int(location[1:])

    def stop(self):
        asked = len(self.watcher.to_place)
        try:
            self.on_hit()
        except (gdb.error, OSError) as error:  # e.g. memory that cannot be read
            self.watcher.lose(f"{self.what}: {error}")
        if len(self.watcher.to_place) == asked:
            return False
        try:
            self.watcher.waiting.append((current_lwp(), self.address, self.what))
        except gdb.error as error:
            self.watcher.lose(f"{self.what}: {error}")
        return True

    def on_hit(self):
        raise NotImplementedError


class LaunchBreakpoint(WatchBreakpoint):
    """An entry that starts a team: the body, the data, num_threads, flags
    and the call site (the return address and the file that holds it). The
    launch is recorded before anything is read that may fail."""

    def __init__(self, watcher, location, found):
        super().__init__(watcher, location)
        self.entry = found[0]
        self.what = " or ".join(entry.name for entry in found)

    def on_hit(self):
        entry = self.entry
        body = x86.argument(entry.body)
        launch = {"entry": self.what, "body": hex(body), "data": None,
                  "num_threads": None, "flags": None, "site": None}
        self.watcher.launches.append(launch)
        data = x86.argument(1)
        launch["data"] = hex(data) if data else None
        launch["num_threads"] = x86.argument(entry.team_size, 4)
        launch["flags"] = 0 if entry.flags is None else x86.argument(entry.flags, 4)
        return_site = x86.return_address()
        path, base = self.watcher.objects.holding(return_site)
        launch["site"] = {"address": return_site, "base": base, "object": path}
        path, base = self.watcher.objects.holding(body)
        launch["body_at"] = {"address": body, "base": base, "object": path}
        # The *_start entries return before the team is joined: their join is
        # GOMP_parallel_end's, which is not watched.
        if entry.flags is not None:
            self.watcher.joins.append((current_lwp(), return_site, body))
            self.watcher.place_later(JoinBreakpoint, return_site)
        else:
            self.watcher.joins.append((None, None, body))
        launch["body"] = symbol_of(body)
        # Placed before the team runs, so that gdb need not stop a running
        # team: a team that a signal is ending can fail its resume. What
        # could be read of the body is watched, if its entry could be.
        instructions = []
        try:
            for instruction in x86.body_instructions(body):
                instructions.append(instruction)
        finally:
            self.watch_body(body, instructions)

    def watch_body(self, body, instructions):
        if instructions:
            self.watcher.place_later(BodyEntryBreakpoint, body)
        queries = {entry.name for entry in self.watcher.entries if entry.kind == "query"}
        for address, text, length in instructions:
            locked = re.match(r"lock\s+(\w+)\s+(.*)", text)
            if locked:
                self.watcher.place_later(AtomicBreakpoint, address, (locked[1], locked[2]))
            call = re.match(r"call\s+0x[0-9a-f]+\s+<(\w+)(?:@plt)?>", text)
            if call and call[1] in queries:
                self.watcher.place_later(QueryReturnBreakpoint, address + length)


class JoinBreakpoint(WatchBreakpoint):
    """A launch's return site: on the launching thread, the region has
    joined and the shared total holds its final value."""

    what = "a join"

    def on_hit(self):
        lwp = current_lwp()
        mine = [join for join in self.watcher.joins if join[:2] == (lwp, self.address)]
        if not mine:
            return
        self.watcher.joins.remove(mine[-1])
        if self.watcher.total_address is not None:
            self.watcher.total_after_join = x86.read_memory(self.watcher.total_address, 4,
                                                            signed=True)


class BodyEntryBreakpoint(WatchBreakpoint):
    """The first instruction of a body that a launch was given: one run of
    the body, when that launch is running. Where the compiler folded two
    identical bodies into one, one launch's body jumps into the other's,
    which is not counted again."""

    what = "a body's entry"

    def on_hit(self):
        if self.address in self.watcher.active_bodies():
            self.watcher.thread().body_runs += 1


class AtomicBreakpoint(WatchBreakpoint):
    """A lock-prefixed instruction of the body: what it is, where it writes
    and, for an integer addition, what it adds."""

    what = "an atomic operation"

    def __init__(self, watcher, location, instruction):
        super().__init__(watcher, location)
        self.mnemonic, self.operands = instruction

    def on_hit(self):
        address, value = x86.atomic_operation(self.mnemonic, self.operands)
        if value is not None:
            self.watcher.total_address = address
        self.watcher.thread().atomic_operations.append((f"lock {self.mnemonic}", address, value))


class TeamQueryBreakpoint(WatchBreakpoint):
    """A team query's entry: which thread asks what, in which order."""

    def __init__(self, watcher, location, query):
        super().__init__(watcher, location)
        self.query = self.what = query

    def on_hit(self):
        self.watcher.thread().queries.append([self.query, None])
        self.watcher.place_later(QueryReturnBreakpoint, x86.return_address())


class QueryReturnBreakpoint(WatchBreakpoint):
    """A team query's return site: the answer, for this thread's latest
    query still waiting for one."""

    what = "a query's return"

    def on_hit(self):
        waiting = [query for query in self.watcher.thread().queries if query[1] is None]
        if waiting:
            waiting[-1][1] = x86.register("eax")  # gdb reads it as a signed int
