"""Runs in turns, for tracer_cost.py: programs that print a line a measure,
run without the tracer and with it in turns, and what the tracer adds over
the rounds."""

import statistics
import subprocess
import sys


def cost_lines(command, env):
    """{name: (time, difference)} of one run of a program that prints lines
    "NAME TIME DIFFERENCE", as sync_cost and mpi_cost do, in µs."""
    done = subprocess.run(command, env=env, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        sys.exit(f"{command[0]} failed: {done.stderr.strip()}")
    fields = [line.split() for line in done.stdout.splitlines()]
    return {name: (float(overhead), float(difference)) for name, overhead, difference in fields}


def spread(values):
    """The median and quartiles of VALUES."""
    return statistics.quantiles(values, n=4) if len(values) > 1 else values * 3


def in_turns(run, plain_env, traced_envs, rounds):
    """{name: [RUN(environment) of each round]} for "untraced", PLAIN_ENV,
    and each of TRACED_ENVS ({name: environment}): every round runs them
    all, in turns."""
    envs = {"untraced": plain_env, **traced_envs}
    runs = {name: [] for name in envs}
    for round_number in range(rounds):
        names = list(envs)
        shift = round_number % len(names)
        for name in names[shift:] + names[:shift]:
            runs[name].append(run(envs[name]))
    return runs


def added(name, plain, traced_runs, aim, straight):
    """Lines telling what the tracer adds to NAME in each of TRACED_RUNS
    ({name: runs}): the median (quartiles) over the rounds of traced less
    untraced (PLAIN), and within the traced runs against STRAIGHT."""
    lines = []
    for mode, traced in traced_runs.items():
        low, middle, high = spread([t[name][0] - p[name][0] for p, t in zip(plain, traced)])
        within = [t[name][1] for t in traced]
        verdict = "within" if middle <= aim else f"{middle - aim:.2f} µs over"
        lines.append(
            f"  {mode}: the tracer adds {middle:+.3f} µs (quartiles {low:+.3f} to "
            f"{high:+.3f}), {verdict} the aim of {aim} µs; against {straight}: "
            f"{statistics.median(within):+.3f} µs ({min(within):+.3f} to {max(within):+.3f})")
    return lines
