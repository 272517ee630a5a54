#!/usr/bin/env python3
"""What the tracer costs a program of tasks, next to a peer tool if given.

  per construct  task_cost (scripts/benchmark/task_cost.cpp) built by the
                 libomp BUILD, a team of 2: µs a task, a task and its
                 taskwait, a barrier and a critical section, syncbench's way.
                 Runs without a tool, with the tracer writing its trace and
                 with the peer, in turns; the median over the rounds of each
                 tool's run less the plain run's, with its quartiles.
  whole run      `task_cost fib N CUTOFF` (a task for every call above the
                 cutoff, a taskwait in each), a team of 2, under every BUILD
                 given (libomp's, libgomp's): the whole command's wall time,
                 plain, traced and (libomp) with the peer, in turns; the
                 median over the rounds of the ratio to the plain run, and
                 the ratio of the fastest runs, which a busy machine
                 disturbs least.
  the tool       `watch-region --merge` of the traced fib run's trace: the
                 median wall time of the whole command.

The peer is OTF-CPT's library (libOTFCPT.so), built apart from this project
from its own source; without --peer its columns are left out. Nothing here
installs or builds anything: build task_cost with
`cmake --build --preset clang --target task_cost` (and the default preset's).

usage: task_cost.py [--peer LIBRARY] [--before LIBRARY...] [--rounds N] [--fib N CUTOFF]
                    [--only constructs|runs|tool] BUILD [BUILD...]
  (BUILD: build/clang, build/default; default 15 rounds, fib 32 8; --before:
  an earlier tracer library for each BUILD in order, measured as a column)"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile
import time

TEAM = {"OMP_NUM_THREADS": "2"}
CONSTRUCTS = ("task", "taskwait", "barrier", "critical")


def tracer_of(build):
    return os.path.join(build, "watch-region", "tracer", "libregion_tracer.so")


def program_of(build):
    return os.path.join(build, "scripts", "task_cost")


def uses_libomp(build):
    listing = subprocess.run(["ldd", program_of(build)], capture_output=True, text=True).stdout
    return "libomp" in listing


def tools(build, peer, trace, before=None):
    """The ways to run BUILD's program: name and the environment they add."""
    ways = [("plain", {}),
            ("ours", {"LD_PRELOAD": tracer_of(build), "WATCH_REGION_TRACE": trace})]
    if before is not None:
        ways.append(("before", {"LD_PRELOAD": before, "WATCH_REGION_TRACE": trace}))
    if peer is not None and uses_libomp(build):
        ways.append(("peer", {"LD_PRELOAD": peer, "OMP_TOOL_LIBRARIES": peer}))
    return ways


def run(line, extra):
    """Wall seconds of LINE and its standard output."""
    start = time.perf_counter()
    done = subprocess.run(line, env={**os.environ, **TEAM, **extra}, check=True,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    return time.perf_counter() - start, done.stdout


def spread(values):
    """Median and quartiles, as text."""
    if len(values) < 2:
        return f"{values[0]:+.2f}"
    low, middle, high = statistics.quantiles(values, n=4)
    return f"{middle:+.2f} ({low:+.2f} to {high:+.2f})"


def per_construct(build, peer, rounds, trace, before):
    ways = tools(build, peer, trace, before)
    figures = {name: {} for name, _ in ways}
    for _ in range(rounds):
        for name, extra in ways:
            _, output = run([program_of(build)], extra)
            # The peer prints its report after the program's lines.
            for line in output.splitlines():
                words = line.split()
                if len(words) == 2 and words[0] in CONSTRUCTS:
                    figures[name].setdefault(words[0], []).append(float(words[1]))
    print(f"µs a construct, {build}, team of 2, {rounds} rounds: plain, then each tool "
          "less plain (median over the rounds, quartiles)")
    print("| construct | plain | " + " | ".join(name for name, _ in ways[1:]) + " |")
    print("| --- | ---: |" + " ---: |" * (len(ways) - 1))
    for construct, plain in figures["plain"].items():
        cells = [spread([tool - base for tool, base in
                         zip(figures[name][construct], plain)]) for name, _ in ways[1:]]
        print(f"| {construct} | {statistics.median(plain):.2f} | " + " | ".join(cells) + " |")


def whole_run(build, peer, rounds, fib, trace, before):
    ways = tools(build, peer, trace, before)
    line = [program_of(build), "fib", *fib]
    times = {name: [] for name, _ in ways}
    for _ in range(rounds):
        for name, extra in ways:
            times[name].append(run(line, extra)[0])
    plain = times["plain"]
    cells = [f"plain {statistics.median(plain):.3f} s"]
    for name, _ in ways[1:]:
        ratios = [tool / base for tool, base in zip(times[name], plain)]
        cells.append(f"{name} {statistics.median(ratios):.2f}x "
                     f"({min(ratios):.2f} to {max(ratios):.2f}; fastest runs "
                     f"{min(times[name]) / min(plain):.2f}x)")
    print(f"fib {' '.join(fib)}, {build}, {rounds} rounds: " + ", ".join(cells))


def the_tool(build, rounds, fib, folder):
    watch = os.path.join(build, "watch-region", "watch-region")
    traces = tempfile.mkdtemp(dir=folder)
    subprocess.run([watch, "--timeline", "--trace-dir", traces, "-o", os.devnull,
                    program_of(build), "fib", *fib], env={**os.environ, **TEAM},
                   check=True, stdout=subprocess.DEVNULL)
    seconds = [run([watch, "--merge", traces, "-o", os.devnull], {})[0] for _ in range(rounds)]
    print(f"watch-region --merge of fib's trace, {build}: median {statistics.median(seconds):.3f} s"
          f" ({min(seconds):.3f} to {max(seconds):.3f})")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--peer")
    parser.add_argument("--rounds", type=int, default=15)
    parser.add_argument("--fib", nargs=2, default=["32", "8"])
    parser.add_argument("--only", choices=["constructs", "runs", "tool"])
    parser.add_argument("--before", nargs="+", default=[],
                        help="an earlier build's tracer library for each BUILD, in order")
    parser.add_argument("builds", nargs="+")
    arguments = parser.parse_args()
    for build in arguments.builds:
        if not os.access(program_of(build), os.X_OK):
            sys.exit(f"task_cost.py: no {program_of(build)} "
                     f"(cmake --build {build} --target task_cost)")
    with tempfile.TemporaryDirectory() as folder:
        trace = os.path.join(folder, "run.trace")
        befores = arguments.before + [None] * len(arguments.builds)
        for build, before in zip(arguments.builds, befores):
            if arguments.only in (None, "constructs") and uses_libomp(build):
                per_construct(build, arguments.peer, arguments.rounds, trace, before)
            if arguments.only in (None, "runs"):
                whole_run(build, arguments.peer, arguments.rounds, arguments.fib, trace, before)
            if arguments.only in (None, "tool"):
                the_tool(build, arguments.rounds, arguments.fib, folder)


if __name__ == "__main__":
    main()
