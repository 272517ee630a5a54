"""The caller's side of the gdb mode: starts gdb on the program, with the
caller's arguments, environment and standard streams, and returns gdb's
report in the timeline's shape: the process, its launches under their call
sites, named as the timeline names them."""

import json
import os
import shlex
import shutil
import subprocess
import sys

from .. import ran_on, symbols
from ..errors import CANNOT_WATCH, CannotWatch
from ..process import end_process
from ..report import CallSite, Report, WatchedProcess

# The folder that holds the watch_region package, for gdb's Python.
MODULES = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
# The exec-wrapper's one exec, as gdb expects of a wrapper: the program by
# its path, with the argument vector the caller typed (argv[0] included) and
# the environment this step was given, read from /proc since Python may
# change its own; less one variable that the shell set, if it is named.
EXEC_STEP = ('import os, sys; pairs = [entry.split(b"=", 1) for entry in '
             'open("/proc/self/environ", "rb").read().split(b"\\0") if b"=" in entry]; '
             'drop = os.fsencode(sys.argv[1]); '
             'os.execve(sys.argv[3], [sys.argv[2], *sys.argv[4:]], '
             '{name: value for name, value in pairs if name != drop})')


def passed_stream(fd, closed):
    """The caller's stream FD, duplicated for gdb to pass on, and the shell
    redirection that gives it to the program; one that was closed when
    watch-region started stays closed."""
    if fd in closed:
        return None, f"{fd}<&-"
    copy = os.dup(fd)
    return copy, f"{fd}{'<' if fd == 0 else '>'}&{copy} {copy}>&-"


def exec_wrapper(argv0, environment, streams):
    # The shell that gdb starts the program with sets PWD if it is unset.
    drop = "" if "PWD" in environment else "PWD"
    return " ".join([shlex.quote(sys.executable), "-I", "-S", "-c", shlex.quote(EXEC_STEP),
                     shlex.quote(drop), shlex.quote(argv0), *(stream[1] for stream in streams)])


def call_sites(launches):
    """The launches by call site, each site named as object!function+offset
    with its source line where known (one whose file is not known by its
    address, one never read as None), in the order of their first launch;
    each launch numbered in launch order, as the timeline numbers regions;
    each site with the body and source line of its first launch."""
    located = [launch for launch in launches
               if launch["site"] is not None and launch["site"]["object"] is not None]
    named = symbols.name_sites([(launch["site"]["address"], launch["site"]["base"],
                                 launch["site"]["object"]) for launch in located])
    names = {id(launch): name for launch, name in zip(located, named)}
    with_body = [launch for launch in launches
                 if (launch.get("body_at") or {}).get("object") is not None]
    bodies = dict(zip(map(id, with_body), symbols.name_sites(
        [tuple(launch["body_at"].values()) for launch in with_body], returns=False)))
    sites = {}
    for number, launch in enumerate(launches, start=1):
        body = bodies.get(id(launch), {})
        launch.pop("body_at", None)
        site = launch.pop("site")
        name = names.get(id(launch)) or {
            "site": None if site is None else hex(site["address"]), "function": None,
            "offset": None, "object": None, "source": None}
        entry = sites.setdefault(name["site"], CallSite.named(
            name, launched=[], body=body.get("function") or launch["body"],
            body_source=body.get("source")))
        entry.launches += 1
        entry.launched.append({"region": number, **launch})
    return list(sites.values())


def process_of(program, seen):
    """The process that gdb watched, as the timeline gives a process: its
    launches under their call sites, and what its threads were seen doing."""
    return WatchedProcess(pid=seen.pop("pid"), program=program, regions=len(seen["launches"]),
                          call_sites=call_sites(seen.pop("launches")),
                          runtime=ran_on.runtime(seen.pop("runtime_path", None)), **seen)


def run_under_gdb(program, argv, environment, closed, work):
    """Runs PROGRAM under gdb with the argument vector ARGV and returns the
    findings that gdb writes. gdb keeps the caller's standard input, so that
    on a terminal it hands the terminal to the program while it runs."""
    gdb_path = shutil.which("gdb", path=environment.get("PATH"))
    if gdb_path is None:
        raise CannotWatch(CANNOT_WATCH, "gdb is not installed (Debian package gdb)")
    report_path = os.path.join(work, "report.json")
    streams = [passed_stream(fd, closed) for fd in (0, 1, 2)]
    config_path = os.path.join(work, "config.json")
    with open(config_path, "w", encoding="utf-8") as config:
        json.dump({"report": report_path, "environment": environment,
                   "exec_wrapper": exec_wrapper(argv[0], environment, streams)}, config)
    start = (f"python import sys; sys.dont_write_bytecode = True; sys.path.insert(0, {MODULES!r}); "
             f"from watch_region.gdb_mode import session; session.run({config_path!r})")
    passed = [stream[0] for stream in streams if stream[0] is not None]
    with open(os.path.join(work, "gdb.log"), "w+", encoding="utf-8") as gdb_log:
        gdb = subprocess.Popen(
            [gdb_path, "-batch", "-nx", "-q", "-ex", start, "--args", program, *argv[1:]],
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
        seen = json.load(report_file)
    ended = {key: seen.pop(key) for key in ("exit_status", "signal_number")}
    return Report("gdb", processes=[process_of(program, seen)], **ended)
