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
              regions it does not take. Measured as a run records, and with
              its table of events full, as the waits are.
  per wait    sync_cost at a team of 2, OMP_WAIT_POLICY unset: EPCC syncbench's
              way, a barrier, critical section, lock and ordered section
              repeated within one region, and an empty region repeated, each
              timed less a reference loop of the same delay alone. Runs
              without the tracer and with it preloaded and writing its trace,
              as watch-region runs it, in turns: the median over the rounds
              of traced less untraced is what the tracer adds to each wait
              (aim: 0.15 µs; a region: 1 µs). It is measured three ways:
              writing the first events into an empty table, as a run does
              until its table fills (17 samples, which it holds), then with
              the table full (room for one), as a run does after; and writing
              every event into a ring (keeping the last). Within each run
              the constructs are also timed against libgomp's entries called
              straight, which the tracer does not take: the same figure free
              of the drift between runs. libgomp's default policy spins for waits this
              short, which keeps a wait the runtime's own cost, about 1 µs
              and steady; passive ones sleep and cost a wake-up of 10 to
              16 µs, which varies more than the tracer adds. Unlike active,
              the default spins only for a while (GOMP_SPINCOUNT) before it
              sleeps, so that a thread the kernel has put off on a busy
              machine costs its partner a fraction of a millisecond, not a
              time slice.
  syncbench   sync_cost syncbench at a team of 2, OMP_WAIT_POLICY unset: EPCC
              syncbench's own run, each construct (parallel, for, barrier,
              single, critical, lock, ordered, in that order) repeated for
              500 µs tests, 20 of them, the mean less the reference's, in a
              fresh process every time, so that the first constructs meet
              the tracer's empty table and pay for its pages as a short run
              does. Runs without the tracer and with it as watch-region runs
              it for a report (its table keeping only the load and the
              threads' creations), with its table filled (as --trace has it)
              each way of asking for the table's pages (WATCH_REGION_PAGES),
              and each --before library, take turns; the median over the
              rounds of traced less untraced (aim: 0.15 µs a wait, 1 µs a
              region).
  per MPI call  mpi_cost under mpirun, 2 ranks on the 2 cores: a ping-pong of
              an 8-byte message. Runs without the tracer and with it preloaded
              into mpirun and the ranks, each process writing its trace as
              watch-region runs them, in turns, the same three ways as the
              waits (101 samples, some 200,000 calls a rank, fit the table):
              the median over the rounds of traced less untraced one-way
              latency is what the tracer adds to each call on a message's way
              (aim: 0.3 µs). Within each run the ping-pong also takes turns
              with one through PMPI_Send and PMPI_Recv, which the tracer does
              not take: the same figure free of the drift between runs, which
              can move an untraced run's latency by more than the aim.
              Skipped, naming what is missing, without mpirun or mpi_cost.
  whole run, memory and the tool   see process_cost.py

usage: tracer_cost.py [--runs N] [--regions N] [--rounds N] [--wait-rounds N] [--mpi-rounds N]
                      [--before LIBRARY]... [--only FIGURE] BUILD
  (BUILD: build/default; FIGURE: regions, waits, syncbench, mpi, runs, memory or tool)
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

from process_cost import process_figures
from turns import added, cost_lines, in_turns, spread

FIGURES = ("regions", "waits", "syncbench", "mpi", "runs", "memory", "tool")
# What the tracer may add, in µs: to a wait, to a region and to an MPI call.
WAIT_AIM = 0.15
REGION_AIM = 1.0
MPI_AIM = 0.3


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


def per_wait(command, plain_env, traced_envs, rounds):
    """Lines telling what the tracer adds to each construct, for each of
    TRACED_ENVS ({name: environment}), each run in turns with an untraced run."""
    runs = in_turns(lambda env: cost_lines(command, env), plain_env, traced_envs, rounds)
    median = statistics.median
    plain = runs.pop("untraced")
    lines = [f"the reference loop takes {median(p['reference'][0] for p in plain):.3f} µs "
             "a repetition"]
    for construct in plain[0]:
        if construct == "reference":
            continue
        resolution = [p[construct][1] for p in plain]
        lines.append(f"{construct}: takes {median(p[construct][0] for p in plain):.3f} µs; "
                     f"against libgomp called straight, untraced: {median(resolution):+.3f} µs "
                     f"({min(resolution):+.3f} to {max(resolution):+.3f})")
        aim = REGION_AIM if construct == "parallel" else WAIT_AIM
        lines += added(construct, plain, runs, aim, "libgomp called straight")
    return lines


def per_construct(command, plain_env, traced_envs, rounds):
    """Lines telling what the tracer adds to each of syncbench's constructs
    in each of TRACED_ENVS, each run in turns with an untraced run: the
    median over the rounds of traced less untraced (quartiles), in µs, of
    the median test (syncbench's mean, which one preemption of a spinning
    thread on a busy machine moves by milliseconds, in brackets)."""
    runs = in_turns(lambda env: cost_lines(command, env), plain_env, traced_envs, rounds)
    plain = runs.pop("untraced")
    constructs = [name for name in plain[0] if name != "reference"]
    lines = ["| construct | untraced | " + " | ".join(runs) + " |",
             "| --- | ---: |" + " ---: |" * len(runs)]
    for construct in constructs:
        cells = [f"{statistics.median(p[construct][1] for p in plain):.2f}"]
        for traced in runs.values():
            low, middle, high = spread([t[construct][1] - p[construct][1]
                                        for p, t in zip(plain, traced)])
            mean = statistics.median(t[construct][0] - p[construct][0]
                                     for p, t in zip(plain, traced))
            cells.append(f"{middle:+.2f} ({low:+.2f} to {high:+.2f}) [{mean:+.2f}]")
        lines.append(f"| {construct} | " + " | ".join(cells) + " |")
    return lines


def per_call(command, plain_env, traced_envs, rounds, trace_dir):
    """Lines telling what the tracer adds to an MPI call on a ping-pong's
    way, for each of TRACED_ENVS, each run in turns with an untraced run;
    the traces the runs write into TRACE_DIR are removed after each."""
    def run(env):
        result = cost_lines(command, env)
        for trace in os.listdir(trace_dir):
            os.remove(os.path.join(trace_dir, trace))
        return result

    runs = in_turns(run, plain_env, traced_envs, rounds)
    median = statistics.median
    plain = runs.pop("untraced")
    latency = [p["ping-pong"][0] for p in plain]
    resolution = [p["ping-pong"][1] for p in plain]
    straight = "PMPI_Send and PMPI_Recv called straight"
    return [f"untraced, a message takes {median(latency):.3f} µs one way ({min(latency):.3f} to "
            f"{max(latency):.3f} between runs); against {straight}: {median(resolution):+.3f} µs "
            f"({min(resolution):+.3f} to {max(resolution):+.3f})",
            *added("ping-pong", plain, runs, MPI_AIM, straight)]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=10)
    parser.add_argument("--regions", type=int, default=100000)
    parser.add_argument("--rounds", type=int, default=1000)
    parser.add_argument("--wait-rounds", type=int, default=10)
    parser.add_argument("--mpi-rounds", type=int, default=10)
    parser.add_argument("--only", choices=FIGURES)
    parser.add_argument("--before", action="append", default=[],
                        help="another build of the tracer, measured beside it (syncbench)")
    parser.add_argument("build")
    options = parser.parse_args()
    figures = [options.only] if options.only else FIGURES
    build = os.path.abspath(options.build)
    tracer = os.path.join(build, "watch-region/tracer/libregion_tracer.so")
    empty = os.path.join(build, "scripts/libempty_preload.so")
    cost = os.path.join(build, "scripts/region_cost")
    every_entry = os.path.join(build, "watch-region/tests/every_entry")
    base = {**os.environ, "OMP_WAIT_POLICY": "passive"}
    base.pop("OMP_NUM_THREADS", None)
    base.pop("LD_PRELOAD", None)
    untraced = {**base, "LD_PRELOAD": tracer}
    shm = "/dev/shm" if os.access("/dev/shm", os.W_OK) else None
    descriptor, trace = tempfile.mkstemp(prefix="tracer-cost.", suffix=".trace", dir=shm)
    os.close(descriptor)
    # An MPI run's processes each write a trace of their own into a folder.
    trace_dir = tempfile.mkdtemp(prefix="tracer-cost.", dir=shm)
    # As watch-region --timeline runs it, with the table keeping the first events.
    traced = {**untraced, "WATCH_REGION_TRACE": trace, "WATCH_REGION_KEEP": "first"}
    try:
        measure(options, figures, build,
                {"empty": empty, "cost": cost, "every_entry": every_entry,
                 "trace_dir": trace_dir},
                (base, untraced, traced))
    finally:
        os.remove(trace)
        shutil.rmtree(trace_dir, ignore_errors=True)


def mpi_part(options, build, base, traced, trace_dir):
    """Prints what the tracer adds to an MPI call, or what is missing for it."""
    mpirun = shutil.which("mpirun")
    mpi_cost = os.path.join(build, "scripts/mpi_cost")
    missing = [what for what, found in (
        ("mpirun (Debian: openmpi-bin)", mpirun),
        (f"{mpi_cost} (cmake --build {build} --target mpi_cost, which needs MPI for C++, "
         "Debian: libopenmpi-dev)", os.access(mpi_cost, os.X_OK))) if not found]
    if missing:
        print(f"per MPI call: skipped, missing {' and '.join(missing)}")
        return
    # As watch-region runs an MPI program: every process writes its own trace.
    in_folder = {name: value for name, value in traced.items() if name != "WATCH_REGION_TRACE"}
    in_folder["WATCH_REGION_TRACE_DIR"] = trace_dir
    modes = {"writing its first events": in_folder,
             "writing every event": {**in_folder, "WATCH_REGION_KEEP": "last"},
             "its table full": {**in_folder, "WATCH_REGION_EVENTS": "1"}}
    print(f"per MPI call, a ping-pong of 2 ranks, {options.mpi_rounds} rounds of runs in turns:")
    for line in per_call([mpirun, "--allow-run-as-root", "-np", "2", mpi_cost], base, modes,
                         options.mpi_rounds, trace_dir):
        print(f"  {line}")


def spinning_pair(base, traced):
    """BASE and TRACED at a team of 2, with libgomp's default wait policy."""
    pair = ({**env, "OMP_NUM_THREADS": "2"} for env in (base, traced))
    return [{name: value for name, value in env.items() if name != "OMP_WAIT_POLICY"}
            for env in pair]


def measure(options, figures, build, paths, envs):
    """Prints each of FIGURES."""
    base, untraced, traced = envs
    if "regions" in figures:
        print(f"per region, {options.regions} empty regions a run, {options.runs} runs each way:")
        for team in (2, 8):
            team_env = {"OMP_NUM_THREADS": str(team)}
            # As a run records until its table fills, then with the table
            # full (room for one event), as a run records after.
            for mode, extra in (("", {}), (", its table full", {"WATCH_REGION_EVENTS": "1"})):
                line = per_region([paths["cost"], str(options.regions)], {**base, **team_env},
                                  {**traced, **team_env, **extra}, options.runs)
                print(f"  team {team}{mode}: {line}")

    if "waits" in figures:
        spinning, traced_spinning = spinning_pair(base, traced)
        # The table of events keeps the first events, then only counts: a
        # wait costs more while the table fills than after. 17 samples of
        # 1,000 repetitions of every construct are some 240,000 events, which
        # the table holds. Keeping the last events, the tracer writes every
        # one in a ring; with room for one, it writes none.
        modes = {"writing its first events": traced_spinning,
                 "writing every event": {**traced_spinning, "WATCH_REGION_KEEP": "last"},
                 "its table full": {**traced_spinning, "WATCH_REGION_EVENTS": "1"}}
        print(f"per wait, team 2, OMP_WAIT_POLICY unset, {options.wait_rounds} rounds of runs in "
              "turns:")
        for line in per_wait([os.path.join(build, "scripts/sync_cost"), "1000", "17"], spinning,
                             modes, options.wait_rounds):
            print(f"  {line}")

    if "syncbench" in figures:
        spinning, traced_spinning = spinning_pair(base, traced)
        modes = {"the tracer": {**traced_spinning, "WATCH_REGION_KEEP": "report"},
                 "its table filled": traced_spinning,
                 "touched ahead": {**traced_spinning, "WATCH_REGION_PAGES": "touched"},
                 "small pages": {**traced_spinning, "WATCH_REGION_PAGES": "small"},
                 "huge pages": {**traced_spinning, "WATCH_REGION_PAGES": "huge"},
                 "asked ahead": {**traced_spinning, "WATCH_REGION_PAGES": "ahead"}}
        for number, library in enumerate(options.before, 1):
            modes[f"before {number}"] = {**traced_spinning, "LD_PRELOAD": library}
        print(f"per construct, syncbench's run, team 2, OMP_WAIT_POLICY unset, "
              f"{options.wait_rounds} rounds of fresh runs in turns; µs a construct, the "
              "median of traced less untraced (quartiles):")
        for line in per_construct([os.path.join(build, "scripts/sync_cost"), "syncbench"],
                                  spinning, modes, options.wait_rounds):
            print(f"  {line}")
        page_cost = os.path.join(build, "scripts/page_cost")
        done = subprocess.run([page_cost], capture_output=True, text=True, check=True)
        print("  first writes, µs a 4 KiB page (a record: a 40-byte record; a walk: a read of a "
              "page touched before, just after a system call, more than without one), median, "
              "90th percentile, largest:")
        for line in done.stdout.splitlines():
            print(f"    {line}")

    if "mpi" in figures:
        mpi_part(options, build, base, traced, paths["trace_dir"])

    process_figures(figures, build, paths, (base, untraced, traced), options.rounds)


if __name__ == "__main__":
    main()
