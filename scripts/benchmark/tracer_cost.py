"""What the region tracer costs, in three figures, each from runs of the
traced and the untraced program taken in turns (ABBA, so that the machine's
drift falls on both sides):

  per region  every_entry N (N empty regions and 14 others) at teams of 2
              and 8 with OMP_WAIT_POLICY=passive: the median of the pairwise
              differences, divided by N
  whole run   parallel_sum at the default team, passive: the median of the
              pairwise ratios of the traced run to a run with an empty
              library preloaded, and of that to a plain run
  memory      every_entry 1,000,000: the largest resident set with the tracer
              less that without it

The traced runs write their trace to /dev/shm, as watch-region does.
usage: tracer_cost.py [--pairs N] [--regions N] BUILD   (BUILD: build/default)
"""

import argparse
import os
import statistics
import subprocess
import sys
import time

TRACE = "/dev/shm/tracer-cost.trace"


def run(command, env):
    """Wall seconds and largest resident set (KiB) of one run."""
    started = time.perf_counter()
    child = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    took = time.perf_counter() - started
    if status != 0:
        sys.exit(f"{command} failed: status {status}")
    return took, usage.ru_maxrss


def pairs(command, plain_env, other_env, count):
    """(plain, other) times of COUNT pairs, in ABBA order."""
    results = []
    for index in range(count):
        order = [(0, plain_env), (1, other_env)]
        if index % 2:
            order.reverse()
        pair = [0.0, 0.0]
        for slot, env in order:
            pair[slot] = run(command, env)[0]
        results.append(tuple(pair))
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--pairs", type=int, default=20)
    parser.add_argument("--regions", type=int, default=100000)
    parser.add_argument("build")
    options = parser.parse_args()
    build = os.path.abspath(options.build)
    tracer = os.path.join(build, "watch-region/tracer/libregion_tracer.so")
    empty = os.path.join(build, "scripts/libempty_preload.so")
    every_entry = os.path.join(build, "watch-region/tests/every_entry")
    base = {**os.environ, "OMP_WAIT_POLICY": "passive"}
    base.pop("OMP_NUM_THREADS", None)
    traced = {**base, "LD_PRELOAD": tracer, "WATCH_REGION_TRACE": TRACE}

    print(f"per region, {options.regions} empty regions, {options.pairs} pairs:")
    for team in (2, 8):
        team_env = {"OMP_NUM_THREADS": str(team)}
        times = pairs([every_entry, str(options.regions)], {**base, **team_env},
                      {**traced, **team_env}, options.pairs)
        added = statistics.median(t - p for p, t in times) / options.regions * 1e6
        plain = statistics.median(p for p, _ in times) / options.regions * 1e6
        print(f"  team {team}: a region takes {plain:.1f} µs; the tracer adds {added:.2f} µs "
              f"(median of the pairwise differences)")

    program = [os.path.join(build, "parallel_sum")]
    print(f"whole run of parallel_sum, {2 * options.pairs} pairs each:")
    floor = pairs(program, base, {**base, "LD_PRELOAD": empty}, 2 * options.pairs)
    print(f"  an empty library preloaded: {statistics.median(e / p for p, e in floor):.3f} "
          "times a plain run")
    cost = pairs(program, {**base, "LD_PRELOAD": empty}, traced, 2 * options.pairs)
    print(f"  the tracer: {statistics.median(t / e for e, t in cost):.3f} times a run with the "
          "empty library")

    million = [every_entry, "1000000"]
    _, plain_memory = run(million, {**base, "OMP_NUM_THREADS": "2"})
    _, traced_memory = run(million, {**traced, "OMP_NUM_THREADS": "2"})
    print(f"memory at 1,000,000 regions, team 2: {plain_memory} KiB untraced, {traced_memory} KiB "
          f"traced: the tracer's {(traced_memory - plain_memory) / 1024:.1f} MiB")
    os.remove(TRACE)


if __name__ == "__main__":
    main()
