"""Running the program once, under gdb or with the region tracer preloaded,
as it would run alone: its arguments, environment and standard streams are
the caller's, live, and it stays in the caller's process group, so that it
can read the terminal and be stopped or interrupted from it. A standard
stream that was closed when watch-region started stays closed."""

import ctypes
import json
import os
import shlex
import shutil
import signal
import subprocess
import time

from .errors import CANNOT_WATCH, CannotWatch, Stopped

# The folder that holds this package, for gdb's Python to import it from.
MODULES = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PR_SET_CHILD_SUBREAPER = 36


def caller_environment():
    """The environment watch-region was started with. Python may have changed
    its own (a C locale is coerced to C.UTF-8), but /proc keeps the original."""
    with open("/proc/self/environ", "rb") as environ:
        pairs = [entry.split(b"=", 1) for entry in environ.read().split(b"\0") if b"=" in entry]
    return {os.fsdecode(name): os.fsdecode(value) for name, value in pairs}


def become_subreaper():
    """Makes the processes that the program leaves behind watch-region's
    children, not init's, so that it learns of them."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    except (OSError, AttributeError):
        pass


def children(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children", encoding="ascii") as listed:
            return [int(child) for child in listed.read().split()]
    except OSError:
        return []


def descendants(pid):
    found, queue = [], children(pid)
    while queue:
        child = queue.pop()
        found.append(child)
        queue += children(child)
    return found


def passed_stream(fd, closed):
    """The caller's stream FD, duplicated for gdb to pass on, and the shell
    redirection that gives it to the program; one that was closed when
    watch-region started stays closed."""
    if fd in closed:
        return None, f"{fd}<&-"
    copy = os.dup(fd)
    return copy, f"{fd}{'<' if fd == 0 else '>'}&{copy} {copy}>&-"


def run_under_gdb(program, arguments, environment, closed, work):
    """Runs PROGRAM under gdb and returns the findings that gdb writes. gdb
    keeps the caller's standard input, so that on a terminal it hands the
    terminal to the program while the program runs."""
    gdb_path = shutil.which("gdb", path=environment.get("PATH"))
    if gdb_path is None:
        raise CannotWatch(CANNOT_WATCH, "gdb is not installed (Debian package gdb)")
    report_path = os.path.join(work, "report.json")
    streams = [passed_stream(fd, closed) for fd in (0, 1, 2)]
    # The shell that gdb starts the program with sets PWD if it is unset.
    unset_pwd = [] if "PWD" in environment else ["-u", "PWD"]
    config_path = os.path.join(work, "config.json")
    with open(config_path, "w", encoding="utf-8") as config:
        json.dump({"report": report_path, "environment": environment,
                   "exec_wrapper": " ".join([shlex.quote(shutil.which("env") or "/usr/bin/env"),
                                             *unset_pwd, *(stream[1] for stream in streams)])},
                  config)
    start = (f"python import sys; sys.dont_write_bytecode = True; sys.path.insert(0, {MODULES!r}); "
             f"from watch_region import gdb_side; gdb_side.run({config_path!r})")
    passed = [stream[0] for stream in streams if stream[0] is not None]
    with open(os.path.join(work, "gdb.log"), "w+", encoding="utf-8") as gdb_log:
        gdb = subprocess.Popen(
            [gdb_path, "-batch", "-nx", "-q", "-ex", start, "--args", program, *arguments],
            env={**environment, "SHELL": "/bin/sh"}, stdin=None if 0 not in closed else
            subprocess.DEVNULL, stdout=gdb_log, stderr=subprocess.STDOUT, pass_fds=passed)
        for fd in passed:
            os.close(fd)
        try:
            gdb.wait()
        finally:
            end_process(gdb)
        if not os.path.exists(report_path):
            gdb_log.seek(0)
            said = [line for line in gdb_log.read().splitlines() if line.strip()]
            raise CannotWatch(CANNOT_WATCH, f"gdb could not watch {program}: "
                              + (said[-1] if said else f"gdb exited {gdb.returncode}"))
    with open(report_path, encoding="utf-8") as report_file:
        return json.load(report_file)


def run_traced(program, argv, environment, closed, trace_dir, tracer):
    """Runs PROGRAM, as ARGV (argv[0] as the caller typed it), with the
    region tracer preloaded; every process of the run writes its trace into
    TRACE_DIR. Returns how the run ended: exit_status and signal_number (the
    program's), stopped_by (a signal that stopped watch-region itself, which
    is passed on to the program so that its tracer writes what it recorded)
    and still_running (the processes left behind)."""
    preload = ":".join(filter(None, [tracer, environment.get("LD_PRELOAD")]))
    become_subreaper()
    child = subprocess.Popen(
        argv, executable=program,
        env={**environment, "LD_PRELOAD": preload, "WATCH_REGION_TRACE_DIR": trace_dir},
        preexec_fn=lambda: [os.close(fd) for fd in closed])
    stopped_by = None
    try:
        child.wait()
    except Stopped as stopped:
        stopped_by = stopped.signum
        pass_on(child, stopped.signum)
    finally:
        end_process(child)
    # Processes that the program left behind run on, as they would alone;
    # those that have ended are reaped, and their traces read.
    deadline = time.monotonic() + 0.2
    running = children(os.getpid())
    while running and time.monotonic() < deadline:
        reap(running)
        time.sleep(0.01)
        running = children(os.getpid())
    status = child.returncode
    return {"exit_status": status if status >= 0 else None,
            "signal_number": -status if status < 0 else None,
            "stopped_by": stopped_by, "still_running": running}


def pass_on(child, signum, seconds=5):
    """Gives SIGNUM to CHILD, as the program alone would have received it,
    unless it ends within a moment (a signal from the terminal reaches the
    whole process group), and gives it SECONDS to end, its tracer writing
    what it recorded, before it is killed."""
    try:
        child.wait(timeout=0.1)
        return
    except subprocess.TimeoutExpired:
        pass
    try:
        os.kill(child.pid, signum)
        child.wait(timeout=seconds)
    except (OSError, subprocess.TimeoutExpired):
        pass


def reap(pids):
    """Collects the exit status of those of PIDS that have ended and are
    children of this process (as a subreaper, also its orphaned
    descendants), so that they leave no zombie."""
    for pid in pids:
        try:
            os.waitpid(pid, os.WNOHANG)
        except ChildProcessError:
            pass


def end_process(process):
    """Unless it has ended, kills PROCESS, the processes it started and
    their process groups (gdb puts the program in one of its own), and
    waits until all are gone."""
    if process.poll() is not None:
        return
    started = descendants(process.pid)
    for pid in started:
        for kill in (os.killpg, os.kill):
            try:
                kill(pid, signal.SIGKILL)
            except OSError:
                pass
    process.kill()
    process.wait()
    deadline = time.monotonic() + 30
    while any(os.path.exists(f"/proc/{pid}") for pid in started) and time.monotonic() < deadline:
        reap(started)
        time.sleep(0.05)
