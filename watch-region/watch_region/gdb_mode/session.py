"""What runs inside gdb's Python: gdb's settings, the program's environment,
one run of the program with the breakpoints that watch it, how it ended,
and the report, written as JSON for the caller."""

import json
import signal
import time

import gdb  # pylint: disable=import-error

from .recorder import RegionWatcher

SETTINGS = ("pagination off", "confirm off", "print thread-events off",
            "print inferior-events off", "width 0",
            # Threads are told apart by their kernel ids, so libthread_db is
            # not needed: without it gdb has one way less to fail as threads
            # come and go.
            "libthread-db-search-path /nonexistent",
            # libgomp comes with the program or later, with dlopen: its
            # entries are watched once it is loaded.
            "stop-on-solib-events 1",
            # The program's children are not followed: each fork is counted,
            # and the child runs on without breakpoints.
            "detach-on-fork on", "follow-fork-mode parent")


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


def watch_forks(watcher, signals):
    """Counts the program's forks and vforks, and keeps the signals it got."""
    before = {breakpoint.number for breakpoint in gdb.breakpoints()}
    gdb.execute("catch fork", to_string=True)
    gdb.execute("catch vfork", to_string=True)
    catchpoints = {breakpoint.number for breakpoint in gdb.breakpoints()} - before

    def on_stop(event):
        if isinstance(event, gdb.SignalEvent):
            signals.append(event.stop_signal)
        elif isinstance(event, gdb.BreakpointEvent) and any(
                breakpoint.number in catchpoints for breakpoint in event.breakpoints):
            watcher.forks += 1
    gdb.events.stop.connect(on_stop)


def run(config_path):
    """Runs the program as CONFIG_PATH's JSON says and writes the report."""
    with open(config_path, encoding="utf-8") as config_file:
        config = json.load(config_file)
    for setting in SETTINGS:
        gdb.execute("set " + setting)
    # The program's own signals are its business: each is delivered, after a
    # stop that records it (see how_it_ended).
    gdb.execute("handle all stop print pass", to_string=True)
    # gdb starts the program through a shell, as `exec WRAPPER PROGRAM ARGS`:
    # the wrapper's redirections give it the caller's standard streams, and
    # the wrapper hands the program the argument vector as the caller typed it.
    gdb.execute(f"set exec-wrapper {config['exec_wrapper']}")
    set_inferior_environment(config["environment"])

    watcher = RegionWatcher()
    exited, signals = [], []
    gdb.events.exited.connect(exited.append)
    watch_forks(watcher, signals)
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
    report["pid"] = pid
    report["exit_status"], report["signal_number"] = (
        None if value is None else int(value) for value in ended)
    with open(config["report"], "w", encoding="utf-8") as report_file:
        json.dump(report, report_file)
