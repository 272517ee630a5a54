"""The part of watch-region that runs inside gdb's Python: it runs the program
once and records what its parallel region did, then writes that as JSON.

It reads x86-64 registers and instructions: the System V calling convention
gives GOMP_parallel's arguments in rdi, rsi, rdx and rcx and a query's result
in eax, the return address is the word at rsp on a function's first
instruction, and the atomic additions are lock-prefixed instructions.

The breakpoints are plain ones at exact addresses:
- `*GOMP_parallel` and `*omp_get_...`, not the function names, which gdb may
  place after the prologue;
- a query's result and the join are read at a breakpoint on the return site,
  not with a FinishBreakpoint, which gdb drops when another thread stops
  first;
- the body's lock-prefixed instructions, and its calls of the queries, are
  found by following its jumps from its entry, so a stripped binary is
  watched as well as one with symbols.

gdb allows no new breakpoint while it is deciding whether to stop, so a hit
that needs one asks gdb to stop, and the breakpoint is placed before the run
goes on. The launch places the body's breakpoints before the team runs: a
stop while a signal ends a running team can leave gdb unable to go on.
"""

import json
import os
import re
import signal
import time

import gdb  # pylint: disable=import-error

QUERIES = ("omp_get_num_threads", "omp_get_thread_num")
# libgomp's entries that start a team, and where each finds its flags: a
# register, or the stack at the entry (the 7th and 8th integer arguments);
# the older *_start entries have none.
ENTRIES = {
    "GOMP_parallel": "rcx", "GOMP_parallel_reductions": "rcx", "GOMP_parallel_sections": "r8",
    **{f"GOMP_parallel_loop_{schedule}": "rsp+16"
       for schedule in ("static", "dynamic", "guided", "nonmonotonic_dynamic",
                        "nonmonotonic_guided")},
    **{f"GOMP_parallel_loop_{schedule}": "rsp+8"
       for schedule in ("runtime", "nonmonotonic_runtime", "maybe_nonmonotonic_runtime")},
    **{f"GOMP_parallel{kind}_start": None
       for kind in ("", "_loop_static", "_loop_dynamic", "_loop_guided", "_loop_runtime",
                    "_sections")},
}


def register(name):
    return int(gdb.parse_and_eval("$" + name))


def read_memory(address, size, signed=False):
    data = gdb.selected_inferior().read_memory(address, size).tobytes()
    return int.from_bytes(data, "little", signed=signed)


def current_lwp():
    return gdb.selected_thread().ptid[1]


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

    def __init__(self):
        self.launches = []
        self.threads = {}  # by the kernel's thread id
        self.total_address = None
        self.total_after_join = None
        self.placed = set()  # (breakpoint kind, address)
        self.to_place = []  # breakpoints asked for while gdb was deciding to stop
        self.active_bodies = []  # the bodies of the launches not yet joined
        self.entries_placed = False
        self.forks = 0

    def thread(self):
        return self.threads.setdefault(current_lwp(), ThreadRecord())

    def place(self, kind, address, *arguments):
        """Places one breakpoint of KIND at ADDRESS, unless there is one."""
        if (kind, address) not in self.placed:
            self.placed.add((kind, address))
            kind(self, f"*{address}", *arguments)

    def place_later(self, kind, address, *arguments):
        """Asks for a breakpoint; returns True when gdb must stop to place it."""
        if (kind, address) in self.placed:
            return False
        self.to_place.append((kind, address, arguments))
        return True

    def place_asked_for(self):
        while self.to_place:
            kind, address, arguments = self.to_place.pop(0)
            self.place(kind, address, *arguments)

    def place_entry_breakpoints(self):
        """At every entry that starts a team and at the queries, in libgomp
        itself, so that a launch from any object is seen: now, if libgomp is
        loaded, or as soon as it is (with the program, or later with
        dlopen). An entry that this libgomp lacks is not watched."""
        if self.entries_placed or not any(
                "libgomp" in os.path.basename(objfile.filename or "")
                for objfile in gdb.objfiles()):
            return
        self.entries_placed = True
        # Some entries are one function under two names (the dynamic loop
        # and its nonmonotonic form): one breakpoint, both names.
        names = {}
        for entry in (*ENTRIES, *QUERIES):
            try:
                names.setdefault(int(gdb.parse_and_eval(f"(long) &{entry}")), []).append(entry)
            except gdb.error:
                pass
        for address, entries in names.items():
            if entries[0] in QUERIES:
                TeamQueryBreakpoint(self, f"*{address}", entries[0])
            else:
                LaunchBreakpoint(self, f"*{address}", entries)

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
                "forks": self.forks}


class WatchBreakpoint(gdb.Breakpoint):
    """A breakpoint that records what it sees and, unless it needs a new
    breakpoint placed, lets the program run on."""

    def __init__(self, watcher, location):
        super().__init__(location, internal=True)
        self.watcher = watcher

    def stop(self):
        try:
            return bool(self.on_hit())
        except gdb.error:  # the thread or the process died under us
            return False

    def on_hit(self):
        raise NotImplementedError


class LaunchBreakpoint(WatchBreakpoint):
    """An entry that starts a team: the body, the data, num_threads, flags
    and the call site."""

    def __init__(self, watcher, location, entries):
        super().__init__(watcher, location)
        self.entry = " or ".join(entries)
        self.flags_at = ENTRIES[entries[0]]

    def on_hit(self):
        body, data, num_threads = (register(r) for r in ("rdi", "rsi", "rdx"))
        where = self.flags_at
        if where is None:
            flags = 0
        elif where.startswith("rsp+"):
            flags = read_memory(register("rsp") + int(where[4:]), 4)
        else:
            flags = register(where) & 0xFFFFFFFF
        return_site = read_memory(register("rsp"), 8)
        self.watcher.launches.append({"entry": self.entry, "body": symbol_of(body),
                                      "data": hex(data) if data else None,
                                      "num_threads": num_threads & 0xFFFFFFFF, "flags": flags,
                                      "site": symbol_of(return_site)})
        self.watcher.active_bodies.append(body)
        # The *_start entries return before the team is joined: their join is
        # GOMP_parallel_end's, which is not watched.
        asked = False
        if where is not None:
            asked |= self.watcher.place_later(JoinBreakpoint, return_site, current_lwp(), body)
        asked |= self.watcher.place_later(BodyEntryBreakpoint, body)
        # Placed now, before the team runs, so that gdb need not stop a
        # running team: a team that a signal is ending can fail its resume.
        for address, text, length in body_instructions(body):
            locked = re.match(r"lock\s+(\w+)\s+(.*)", text)
            if locked:
                asked |= self.watcher.place_later(AtomicBreakpoint, address,
                                                  (locked[1], locked[2]))
            call = re.match(r"call\s+0x[0-9a-f]+\s+<(\w+)(?:@plt)?>", text)
            if call and call[1] in QUERIES:
                asked |= self.watcher.place_later(QueryReturnBreakpoint, address + length)
        return asked


def symbol_of(address):
    """function+offset where gdb knows the symbol, else the address."""
    said = gdb.execute(f"info symbol {address}", to_string=True)
    if said.startswith("No symbol"):
        return hex(address)
    return said.split(" in ")[0].strip().replace(" + ", "+")


class JoinBreakpoint(WatchBreakpoint):
    """GOMP_parallel's return site: on the launching thread, the region has
    joined and the shared total holds its final value."""

    def __init__(self, watcher, location, launcher, body):
        super().__init__(watcher, location)
        self.launcher, self.body = launcher, body

    def on_hit(self):
        if current_lwp() != self.launcher:
            return
        if self.body in self.watcher.active_bodies:
            self.watcher.active_bodies.remove(self.body)
        if self.watcher.total_address is not None:
            self.watcher.total_after_join = read_memory(self.watcher.total_address, 4, signed=True)


class BodyEntryBreakpoint(WatchBreakpoint):
    """The first instruction of a body that a launch was given: one run of
    the body, when that launch is running. Where the compiler folded two
    identical bodies into one, one launch's body jumps into the other's,
    which is not counted again."""

    def __init__(self, watcher, location):
        super().__init__(watcher, location)
        self.address = int(location[1:])

    def on_hit(self):
        if self.address in self.watcher.active_bodies:
            self.watcher.thread().body_runs += 1


class AtomicBreakpoint(WatchBreakpoint):
    """A lock-prefixed instruction of the body: what it is, where it writes
    and, for an integer addition, what it adds."""

    def __init__(self, watcher, location, instruction):
        super().__init__(watcher, location)
        self.mnemonic, self.operands = instruction

    def on_hit(self):
        name = self.mnemonic
        if "," in self.operands:
            source, destination = self.operands.split(",", 1)
        else:  # lock inc, lock dec
            source, destination = None, self.operands
        value = None
        if re.match(r"(add|xadd|sub)[bwlq]?$", name):
            value = operand_value(source, width_of(name, source))
            value = -value if name.startswith("sub") else value
        elif re.match(r"(inc|dec)[bwlq]?$", name):
            value = -1 if name.startswith("dec") else 1
        address = memory_address(destination)
        if value is not None:
            self.watcher.total_address = address
        self.watcher.thread().atomic_operations.append((f"lock {name}", address, value))


def width_of(mnemonic, operand):
    """The operation's width in bytes: from the mnemonic's suffix where gdb
    gives one (addl), else from the source register's name."""
    suffixes = {"b": 1, "w": 2, "l": 4, "q": 8}
    base = re.match(r"(xadd|add|sub|inc|dec)([bwlq]?)$", mnemonic)
    if base and base[2]:
        return suffixes[base[2]]
    name = (operand or "").lstrip("%")
    if re.fullmatch(r"r([a-d]x|[sd]i|[sb]p|\d+)", name):
        return 8
    if re.fullmatch(r"e([a-d]x|[sd]i|[sb]p)|r\d+d", name):
        return 4
    if re.fullmatch(r"[a-d]x|[sd]i|[sb]p|r\d+w", name):
        return 2
    return 1 if name else 4


class TeamQueryBreakpoint(WatchBreakpoint):
    """A team query's entry: which thread asks what, in which order."""

    def __init__(self, watcher, location, query):
        super().__init__(watcher, location)
        self.query = query

    def on_hit(self):
        self.watcher.thread().queries.append([self.query, None])
        return self.watcher.place_later(QueryReturnBreakpoint, read_memory(register("rsp"), 8))


class QueryReturnBreakpoint(WatchBreakpoint):
    """A team query's return site: the answer, for this thread's latest
    query still waiting for one."""

    def on_hit(self):
        waiting = [query for query in self.watcher.thread().queries if query[1] is None]
        if waiting:
            waiting[-1][1] = register("eax")  # gdb reads it as a signed int


def body_instructions(body):
    """The instructions that the body can reach from its entry, following
    every jump, as (address, text, length). Reading the code itself needs no
    symbol table, so a stripped binary is watched as well."""
    architecture = gdb.selected_frame().architecture()
    seen, starts = set(), [body]
    while starts:
        address = starts.pop()
        while address not in seen:
            seen.add(address)
            instruction = architecture.disassemble(address)[0]
            text = instruction["asm"].strip()
            yield address, text, instruction["length"]
            jump = re.match(r"(?:\w+\s+)?(j\w+)\s+(0x[0-9a-f]+)", text)
            if jump:
                starts.append(int(jump[2], 16))
            if re.match(r"(?:\w+\s+)?(jmp|ret|hlt|ud2)", text):
                break
            address += instruction["length"]


def operand_value(operand, width):
    """An immediate or a register's value, as a signed integer of WIDTH
    bytes."""
    value = int(operand[1:], 0) if operand.startswith("$") else register(operand.lstrip("%"))
    value &= (1 << 8 * width) - 1
    return value - (1 << 8 * width) if value >> (8 * width - 1) else value


def memory_address(operand):
    comment = re.search(r"#\s*(0x[0-9a-f]+)", operand)
    if comment:  # rip-relative: gdb works out the address itself
        return int(comment[1], 16)
    found = re.match(r"(-?(?:0x)?[0-9a-f]*)\((%\w+)?(?:,(%\w+),(\d))?\)", operand.strip())
    displacement = int(found[1], 0) if found[1] not in ("", "-") else 0
    base = register(found[2][1:]) if found[2] else 0
    index = register(found[3][1:]) * int(found[4]) if found[3] else 0
    return displacement + base + index


def how_it_ended(pid, signals, seconds=10):
    """(exit status, None) or (None, signal number) of a process that gdb
    lost while it ended: read from /proc while it is a zombie; once it is
    gone, the signal last delivered to it is the one that ended it. None if
    it does not end."""
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/stat", encoding="ascii", errors="replace") as stat:
                fields = stat.read().rsplit(")", 1)[1].split()
        except OSError:
            number = getattr(signal.Signals, signals[-1], None) if signals else None
            return None if number is None else (None, int(number))
        if fields[0] in "ZX":
            status = int(fields[49])  # exit_code, as waitpid reports it
            return (status >> 8, None) if status & 0x7F == 0 else (None, status & 0x7F)
        time.sleep(0.01)
    return None


def set_inferior_environment(wanted):
    """gdb adds LINES and COLUMNS to the program's environment, and runs it
    through a shell named by SHELL that the command set for it; put back the
    caller's values."""
    for name in ("LINES", "COLUMNS", "SHELL"):
        if name in wanted:
            gdb.execute(f"set environment {name}={wanted[name]}")
        else:
            gdb.execute(f"unset environment {name}")


def run(config_path):
    """Runs the program as CONFIG_PATH's JSON says and writes the report."""
    with open(config_path, encoding="utf-8") as config_file:
        config = json.load(config_file)
    # Threads are told apart by their kernel ids, so libthread_db is not
    # needed: without it gdb has one way less to fail as threads come and go.
    for setting in ("pagination off", "confirm off", "print thread-events off",
                    "print inferior-events off", "width 0",
                    "libthread-db-search-path /nonexistent"):
        gdb.execute("set " + setting)
    # The program's own signals are its business: each is delivered, after a
    # stop that records it (see how_it_ended).
    gdb.execute("handle all stop print pass", to_string=True)
    # gdb starts the program through a shell, as `exec WRAPPER PROGRAM ARGS`:
    # the wrapper's redirections give it the caller's standard streams.
    gdb.execute(f"set exec-wrapper {config['exec_wrapper']}")
    set_inferior_environment(config["environment"])

    watcher = RegionWatcher()
    # libgomp comes with the program or later, with dlopen: its entries are
    # watched once it is loaded.
    gdb.execute("set stop-on-solib-events 1")
    # The program's children are not followed: each fork is counted, and the
    # child runs on without breakpoints.
    gdb.execute("set detach-on-fork on")
    gdb.execute("set follow-fork-mode parent")
    before = {breakpoint.number for breakpoint in gdb.breakpoints()}
    gdb.execute("catch fork", to_string=True)
    gdb.execute("catch vfork", to_string=True)
    catchpoints = {breakpoint.number for breakpoint in gdb.breakpoints()} - before
    exited, signals = [], []
    gdb.events.exited.connect(exited.append)

    def on_stop(event):
        if isinstance(event, gdb.SignalEvent):
            signals.append(event.stop_signal)
        elif isinstance(event, gdb.BreakpointEvent) and any(
                breakpoint.number in catchpoints for breakpoint in event.breakpoints):
            watcher.forks += 1
    gdb.events.stop.connect(on_stop)
    gdb.execute("run", to_string=True)
    pid = gdb.selected_inferior().pid
    ended = None
    while not exited:
        try:
            watcher.place_entry_breakpoints()
            watcher.place_asked_for()
            gdb.execute("continue", to_string=True)
        except gdb.error:
            # While a signal ends a process, gdb can fail to resume its
            # threads (registers or memory gone) and never learn the end.
            ended = how_it_ended(pid, signals)
            if ended is None:
                raise
            break
    if ended is None:
        ended = (gdb.convenience_variable("_exitcode"), gdb.convenience_variable("_exitsignal"))
    report = watcher.report()
    report["exit_status"], report["signal_number"] = (
        None if value is None else int(value) for value in ended)
    with open(config["report"], "w", encoding="utf-8") as report_file:
        json.dump(report, report_file)
