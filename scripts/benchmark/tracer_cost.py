"""What the region tracer costs, in three figures:

  per region  region_cost REGIONS at teams of 2 and 8, OMP_WAIT_POLICY=passive:
              empty regions in blocks that take turns, within one run, between
              the program's parallel region (which the tracer takes) and a call
              straight to libgomp (which nothing takes). With the tracer
              preloaded, the median over the pairs of blocks of their
              difference is what it adds to a region. Runs without it, taking
              turns with those, give the same figure for two identical ways:
              the measure's resolution. Their straight blocks against the
              traced runs' tell whether the tracer's presence alone slows the
              regions it does not take.
  whole run   parallel_sum at the default team, passive: in every round a plain
              run, one with an empty library preloaded, and one each with the
              tracer writing no trace and writing one to /dev/shm, in turns; the
              medians over the rounds of the ratios to the empty library's run
  memory      every_entry 1,000,000: the largest resident set with the tracer
              less that without it
  the tool    every_entry 100,000, whose table of events fills: watch-region
              --timeline's whole run less the program's own traced run, in
              turns; the median over the rounds

usage: tracer_cost.py [--runs N] [--regions N] [--rounds N] BUILD   (BUILD: build/default)
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

TRACE = "/dev/shm/tracer-cost.trace"


def region_cost(command, env):
    """(through, straight, difference) of one run of region_cost, in ns."""
    done = subprocess.run(command, env=env, capture_output=True, text=True, check=False)
    if done.returncode != 0:
        sys.exit(f"{command[0]} failed: {done.stderr.strip()}")
    return [float(field) for field in done.stdout.split()]


def per_region(command, plain_env, traced_env, runs):
    """Lines telling what the tracer adds to a region."""
    plain, traced = [], []
    for run in range(runs):
        order = [(plain, plain_env), (traced, traced_env)]
        for results, env in order if run % 2 == 0 else reversed(order):
            results.append(region_cost(command, env))
    median = statistics.median
    added = median(t[2] for t in traced) / 1000
    resolution = median(p[2] for p in plain) / 1000
    presence = [(t[1] - p[1]) / 1000 for p, t in zip(plain, traced)]
    low, middle, high = statistics.quantiles(presence, n=4) if len(presence) > 1 else presence * 3
    takes = median(p[1] for p in plain) / 1000
    return (f"a region takes {takes:.1f} µs; the tracer adds {added:.2f} µs "
            f"(without it the same measure reads {resolution:+.2f} µs); the regions it does "
            f"not take, against untraced runs: {middle:+.2f} µs (quartiles {low:+.2f} to "
            f"{high:+.2f})")


def start(command, env):
    """Starts COMMAND with its output thrown away; returns its pid."""
    return os.posix_spawn(command[0], command, env,
                          file_actions=[(os.POSIX_SPAWN_OPEN, 1, os.devnull, os.O_WRONLY, 0)])


def spawn(program, env):
    """Wall nanoseconds of one run; PROGRAM is a path or a command."""
    command = [program] if isinstance(program, str) else program
    started = time.perf_counter_ns()
    pid = start(command, env)
    _, status = os.waitpid(pid, 0)
    took = time.perf_counter_ns() - started
    if status != 0:
        sys.exit(f"{command} failed: status {status}")
    return took


def tool_time(watch_region, program, env, traced, rounds):
    """The median over ROUNDS of watch-region --timeline's run of PROGRAM
    less the program's own run with the tracer writing its trace, in ms."""
    differences = []
    for _ in range(rounds):
        alone = spawn(program, traced)
        whole = spawn([watch_region, "--timeline", "-o", os.devnull, *program], env)
        differences.append((whole - alone) / 1e6)
    return statistics.median(differences)


def whole_runs(program, envs, rounds):
    """For each of ENVS after the first, the median over ROUNDS of its run's
    ratio to the first's; each round runs them all, in turns."""
    ratios = [[] for _ in envs[1:]]
    for round_number in range(rounds):
        shift = round_number % len(envs)
        order = list(range(len(envs)))[shift:] + list(range(len(envs)))[:shift]
        times = [0] * len(envs)
        for index in order:
            times[index] = spawn(program, envs[index])
        for index, ratio in enumerate(ratios):
            ratio.append(times[index + 1] / times[0])
    return [statistics.median(ratio) for ratio in ratios]


def largest_resident(command, env):
    """The largest resident set of one run, in KiB: the program's own high
    water mark (VmHWM), read until it ends. The kernel's count for a child
    (ru_maxrss) would include this interpreter, the process it was before
    its exec."""
    pid = start(command, env)
    largest = 0
    while True:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            break
        try:
            with open(f"/proc/{pid}/status", encoding="ascii") as lines:
                for line in lines:
                    if line.startswith("VmHWM:"):
                        largest = max(largest, int(line.split()[1]))
        except OSError:
            pass
        time.sleep(0.01)
    if status != 0:
        sys.exit(f"{command} failed: status {status}")
    return largest


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--regions", type=int, default=100000)
    parser.add_argument("--rounds", type=int, default=1000)
    parser.add_argument("build")
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    tracer = os.path.join(build, "watch-region/tracer/libregion_tracer.so")
    empty = os.path.join(build, "scripts/libempty_preload.so")
    cost = os.path.join(build, "scripts/region_cost")
    every_entry = os.path.join(build, "watch-region/tests/every_entry")
    base = {**os.environ, "OMP_WAIT_POLICY": "passive"}
    base.pop("OMP_NUM_THREADS", None)
    base.pop("LD_PRELOAD", None)
    untraced = {**base, "LD_PRELOAD": tracer}
    traced = {**untraced, "WATCH_REGION_TRACE": TRACE}

    print(f"per region, {options.regions} empty regions a run, {options.runs} runs each way:")
    for team in (2, 8):
        team_env = {"OMP_NUM_THREADS": str(team)}
        line = per_region([cost, str(options.regions)], {**base, **team_env},
                          {**traced, **team_env}, options.runs)
        print(f"  team {team}: {line}")

    program = os.path.join(build, "parallel_sum")
    floor, no_trace, trace = whole_runs(
        program, [{**base, "LD_PRELOAD": empty}, base, untraced, traced], options.rounds)
    print(f"whole run of parallel_sum, {options.rounds} rounds, to a run with an empty library "
          f"preloaded: a plain run {floor:.3f} times; the tracer {no_trace:.3f} times writing no "
          f"trace, {trace:.3f} times writing one")

    million = [every_entry, "1000000"]
    plain_memory = largest_resident(million, {**base, "OMP_NUM_THREADS": "2"})
    traced_memory = largest_resident(million, {**traced, "OMP_NUM_THREADS": "2"})
    print(f"memory at 1,000,000 regions, team 2: {plain_memory} KiB untraced, {traced_memory} KiB "
          f"traced: the tracer's {(traced_memory - plain_memory) / 1024:.1f} MiB")

    team_2 = {"OMP_NUM_THREADS": "2"}
    full = [every_entry, "100000"]
    took = tool_time(os.path.join(build, "watch-region/watch-region"), full, {**base, **team_2},
                     {**traced, **team_2}, max(5, options.rounds // 100))
    print(f"the tool's own time on a run whose table fills (262,144 events kept): {took:.0f} ms "
          "beyond the program's traced run")
    os.remove(TRACE)


if __name__ == "__main__":
    main()
