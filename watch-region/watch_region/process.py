"""Running the program once: under gdb, or with the region tracer preloaded.
It gets its arguments, environment, standard input and standard error as
given; its standard output is kept for the report. A standard stream that
was closed when watch-region started stays closed for the program."""

import json
import os
import shlex
import shutil
import signal
import subprocess
import time

from .errors import CANNOT_WATCH, CannotWatch

# The folder that holds this package, for gdb's Python to import it from.
MODULES = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def caller_environment():
    """The environment watch-region was started with. Python may have changed
    its own (a C locale is coerced to C.UTF-8), but /proc keeps the original."""
    with open("/proc/self/environ", "rb") as environ:
        pairs = [entry.split(b"=", 1) for entry in environ.read().split(b"\0") if b"=" in entry]
    return {os.fsdecode(name): os.fsdecode(value) for name, value in pairs}


def passed_stream(fd, closed):
    """The caller's stream FD, duplicated for gdb to pass on, and the shell
    redirection that gives it to the program; one that was closed when
    watch-region started stays closed."""
    if fd in closed:
        return None, f"{fd}<&-"
    copy = os.dup(fd)
    return copy, f"{fd}{'<' if fd == 0 else '>'}&{copy} {copy}>&-"


def read_output(path):
    with open(path, encoding="utf-8", errors="replace") as output:
        return output.read()


def run_under_gdb(program, arguments, environment, closed, work):
    """Runs PROGRAM under gdb and returns the findings that gdb writes."""
    gdb_path = shutil.which("gdb", path=environment.get("PATH"))
    if gdb_path is None:
        raise CannotWatch(CANNOT_WATCH, "gdb is not installed (Debian package gdb)")
    report_path = os.path.join(work, "report.json")
    stdout_path = os.path.join(work, "stdout")
    stdin, stderr = passed_stream(0, closed), passed_stream(2, closed)
    stdout_fd = os.open(stdout_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o600)
    redirections = [stdin[1], f"1>&{stdout_fd} {stdout_fd}>&-", stderr[1]]
    # The shell that gdb starts the program with sets PWD if it is unset.
    unset_pwd = [] if "PWD" in environment else ["-u", "PWD"]
    config_path = os.path.join(work, "config.json")
    with open(config_path, "w", encoding="utf-8") as config:
        json.dump({"report": report_path, "environment": environment,
                   "exec_wrapper": " ".join([shlex.quote(shutil.which("env") or "/usr/bin/env"),
                                             *unset_pwd, *redirections])}, config)
    start = (f"python import sys; sys.dont_write_bytecode = True; sys.path.insert(0, {MODULES!r}); "
             f"from watch_region import gdb_side; gdb_side.run({config_path!r})")
    passed = [fd for fd in (stdin[0], stdout_fd, stderr[0]) if fd is not None]
    with open(os.path.join(work, "gdb.log"), "w+", encoding="utf-8") as gdb_log:
        # gdb runs its own process group, the program another, so that
        # neither sees the terminal's signals: watch-region ends both.
        gdb = subprocess.Popen(
            [gdb_path, "-batch", "-nx", "-q", "-ex", start, "--args", program, *arguments],
            env={**environment, "SHELL": "/bin/sh"}, stdin=subprocess.DEVNULL,
            stdout=gdb_log, stderr=subprocess.STDOUT, pass_fds=passed, process_group=0)
        for fd in passed:
            os.close(fd)
        try:
            gdb.wait()
        finally:
            end_process_groups(gdb)
        if not os.path.exists(report_path):
            gdb_log.seek(0)
            said = [line for line in gdb_log.read().splitlines() if line.strip()]
            raise CannotWatch(CANNOT_WATCH, f"gdb could not watch {program}: "
                              + (said[-1] if said else f"gdb exited {gdb.returncode}"))
    with open(report_path, encoding="utf-8") as report_file:
        findings = json.load(report_file)
    findings["output"] = read_output(stdout_path)
    return findings


def run_traced(program, arguments, environment, closed, work, tracer):
    """Runs PROGRAM with the region tracer preloaded, writing its trace into
    WORK; returns (trace path, exit status or None, signal number or None,
    standard output)."""
    trace_path, stdout_path = os.path.join(work, "trace"), os.path.join(work, "stdout")
    preload = ":".join(filter(None, [tracer, environment.get("LD_PRELOAD")]))
    with open(stdout_path, "wb") as output:
        child = subprocess.Popen(
            [program, *arguments], stdout=output, process_group=0,
            env={**environment, "LD_PRELOAD": preload, "WATCH_REGION_TRACE": trace_path},
            preexec_fn=lambda: [os.close(fd) for fd in closed])
        try:
            child.wait()
        finally:
            end_process_groups(child)
    status = child.returncode
    return (trace_path, status if status >= 0 else None, -status if status < 0 else None,
            read_output(stdout_path))


def end_process_groups(process):
    """Unless it has ended, kills PROCESS's process group and those of its
    children (gdb puts the program in one of its own), and waits until all
    are gone."""
    if process.poll() is not None:
        return
    try:
        with open(f"/proc/{process.pid}/task/{process.pid}/children", encoding="ascii") as children:
            programs = [int(pid) for pid in children.read().split()]
    except OSError:
        programs = []
    for group in [process.pid, *programs]:
        try:
            os.killpg(group, signal.SIGKILL)
        except OSError:
            pass
    process.wait()
    deadline = time.monotonic() + 30
    while any(os.path.exists(f"/proc/{pid}") for pid in programs) and time.monotonic() < deadline:
        time.sleep(0.05)
