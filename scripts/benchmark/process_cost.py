"""What the tracer costs a whole process, for tracer_cost.py:

  whole run   parallel_sum at the default team, passive: in every round a plain
              run, one with an empty library preloaded, and one each with the
              tracer writing no trace and writing one to /dev/shm, in turns; the
              medians over the rounds of the ratios to the empty library's run
  memory      every_entry 1,000,000: the largest resident set with the tracer
              less that without it
  the tool    every_entry 100,000, whose table of events fills: watch-region
              --timeline's whole run less the program's own traced run, in
              turns; the median over the rounds
"""

import os
import statistics
import sys
import time


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


def process_figures(figures, build, paths, envs, rounds):
    """Prints the whole run's, the memory's and the tool's figures among
    FIGURES: ENVS are the plain, untraced (the tracer writing no trace) and
    traced environments; PATHS name the empty library and every_entry."""
    base, untraced, traced = envs
    if "runs" in figures:
        program = os.path.join(build, "parallel_sum")
        floor, no_trace, trace = whole_runs(
            program, [{**base, "LD_PRELOAD": paths["empty"]}, base, untraced, traced],
            rounds)
        print(f"whole run of parallel_sum, {rounds} rounds, to a run with an empty "
              f"library preloaded: a plain run {floor:.3f} times; the tracer {no_trace:.3f} "
              f"times writing no trace, {trace:.3f} times writing one")

    if "memory" in figures:
        million = [paths["every_entry"], "1000000"]
        plain_memory = largest_resident(million, {**base, "OMP_NUM_THREADS": "2"})
        traced_memory = largest_resident(million, {**traced, "OMP_NUM_THREADS": "2"})
        print(f"memory at 1,000,000 regions, team 2: {plain_memory} KiB untraced, "
              f"{traced_memory} KiB traced: the tracer's "
              f"{(traced_memory - plain_memory) / 1024:.1f} MiB")

    if "tool" in figures:
        team_2 = {"OMP_NUM_THREADS": "2"}
        full = [paths["every_entry"], "100000"]
        took = tool_time(os.path.join(build, "watch-region/watch-region"), full,
                         {**base, **team_2}, {**traced, **team_2}, max(5, rounds // 100))
        print(f"the tool's own time on a run whose table fills (262,144 events kept): {took:.0f} "
              "ms beyond the program's traced run")
