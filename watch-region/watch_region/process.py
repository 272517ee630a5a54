"""Running the program once with the region tracer preloaded (gdb_mode.runner
runs it under gdb), and ending and reaping what a run leaves. The program
runs as it would alone: its arguments, environment and standard streams are
the caller's, live, and it stays in the caller's process group, so that it
can read the terminal and be stopped or interrupted from it. A standard
stream that was closed when watch-region started stays closed."""

import ctypes
import os
import signal
import subprocess
import time

from .errors import Stopped

PR_SET_CHILD_SUBREAPER = 36


class Starting:  # pylint: disable=too-few-public-methods
    """While the program is being started, a stop signal that watch-region
    gets is held (PENDING) until it has started and can be passed on to it:
    raised then, it would leave the program running without a handle."""
    active = False
    pending = None


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


def run_traced(program, argv, environment, closed, trace_dir, tracer):
    """Runs PROGRAM, as ARGV (argv[0] as the caller typed it), with the
    region tracer preloaded; every process of the run writes its trace into
    TRACE_DIR. Returns how the run ended: exit_status and signal_number (the
    program's), stopped_by (a signal that stopped watch-region itself, which
    is passed on to the program so that its tracer writes what it recorded)
    and still_running (the processes left behind)."""
    preload = ":".join(filter(None, [tracer, environment.get("LD_PRELOAD")]))
    Starting.active = True
    try:
        child = subprocess.Popen(
            argv, executable=program,
            env={**environment, "LD_PRELOAD": preload, "WATCH_REGION_TRACE_DIR": trace_dir},
            # Only a stream to close needs a function run in the child, which
            # costs a fork of this interpreter where none is a lighter spawn.
            preexec_fn=(lambda: [os.close(fd) for fd in closed]) if closed else None)
    finally:
        Starting.active = False
    stopped_by, traced = None, []
    try:
        if Starting.pending is not None:
            raise Stopped(Starting.pending)
        child.wait()
    except Stopped as stopped:
        stopped_by = stopped.signum
        traced = traced_processes(descendants(os.getpid()), tracer)
        pass_on(child, stopped.signum)
        # What the program (a launcher) did not pass the signal on to, or
        # left behind, gets it as well, and as long to end.
        stop_all(descendants(os.getpid()), stopped.signum)
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
            "stopped_by": stopped_by, "still_running": running, "traced_at_stop": traced}


# Where a launcher tells a process its MPI rank: Open MPI, then MPICH's
# Hydra and the process managers that speak PMI, then Slurm.
RANK_VARIABLES = ("OMPI_COMM_WORLD_RANK", "PMI_RANK", "PMIX_RANK", "SLURM_PROCID")


def traced_processes(pids, tracer):
    """Those of PIDS that have TRACER loaded, each {pid, program, rank}
    (rank: the MPI rank its launcher gave it, or None)."""
    found = []
    for pid in pids:
        try:
            with open(f"/proc/{pid}/maps", encoding="utf-8", errors="replace") as maps:
                if os.path.realpath(tracer) not in maps.read():
                    continue
            with open(f"/proc/{pid}/environ", "rb") as environ:
                variables = dict(entry.split(b"=", 1) for entry in environ.read().split(b"\0")
                                 if b"=" in entry)
            program = os.readlink(f"/proc/{pid}/exe")
        except OSError:
            continue
        rank = next((variables[name.encode()] for name in RANK_VARIABLES
                     if name.encode() in variables), None)
        found.append({"pid": pid, "program": program,
                      "rank": int(rank) if rank is not None and rank.isdigit() else None})
    return found


def stop_all(pids, signum, seconds=5):
    """Gives SIGNUM to each of PIDS still running and SECONDS to end, each
    one's tracer writing what it recorded; kills those that are left."""
    for pid in pids:
        try:
            os.kill(pid, signum)
        except OSError:
            pass
    deadline = time.monotonic() + seconds
    while any(os.path.exists(f"/proc/{pid}") for pid in pids) and time.monotonic() < deadline:
        reap(pids)
        time.sleep(0.02)
    for pid in pids:
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
    reap(pids)


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
