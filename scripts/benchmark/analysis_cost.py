#!/usr/bin/env python3
"""Times watch-region's own analysis of an MPI run: `--merge DIR` of the
traces of a two-rank hybrid run (scripts/benchmark/mpi_analysis.cpp: REGIONS
regions and CALLS MPI calls a rank, a team of 2), then `--merge --otf2` and
`--merge --trace` of the same, each RUNS times in turns, and prints the
fastest and the median wall time and CPU time of each, in seconds. The
fastest is the figure a busy machine disturbs least.

usage: scripts/benchmark/analysis_cost.py [BUILD [REGIONS [CALLS [RUNS]]]]
       (default build/default 30000 20000 5)
       --profile FORM  runs one FORM (merge, otf2 or trace) under cProfile
                       instead and prints its 30 costliest functions.
       --against DIR   also times, in the same turns, the watch_region
                       package in DIR (another version's watch-region/
                       folder, say from `git archive COMMIT watch-region`).

It needs mpirun (openmpi-bin) and mpi_analysis, built by
`cmake --build --preset default --target mpi_analysis`; the otf2 row needs
OTF2's Python binding (python3-otf2)."""

import cProfile
import os
import pstats
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

FORMS = ("merge", "otf2", "trace")
# A package run as the launcher runs it, its folder the first argument.
PACKAGE_RUN = ("import sys; sys.dont_write_bytecode = True; sys.path.insert(0, sys.argv.pop(1)); "
               "from watch_region import cli; sys.exit(cli.main(version='benchmark', "
               "tracer='', tracer_runtimes='libgomp libomp'))")


def record(build, regions, calls, folder):
    """The traces of one run of mpi_analysis under mpirun, in FOLDER."""
    program = os.path.join(build, "scripts", "mpi_analysis")
    if shutil.which("mpirun") is None or not os.access(program, os.X_OK):
        sys.exit(f"analysis_cost.py: needs mpirun (openmpi-bin) and {program} "
                 "(cmake --build --preset default --target mpi_analysis)")
    environment = {**os.environ, "OMP_NUM_THREADS": "2", "OMP_WAIT_POLICY": "passive"}
    subprocess.run([os.path.join(build, "watch-region", "watch-region"), "--timeline",
                    "--trace-dir", folder, "-o", os.devnull, "mpirun", "--allow-run-as-root",
                    "--oversubscribe", "-np", "2", program, str(regions), str(calls)],
                   env=environment, check=True)


def command(build, form, folder, work, package=None):
    """The watch-region command of FORM on the traces in FOLDER, its files
    in WORK (removed before each run): the build's, or that of the package
    in the folder PACKAGE, run as the build's launcher runs its own."""
    launcher = os.path.join(build, "watch-region", "watch-region")
    line = [launcher]
    if package is not None:
        with open(launcher, encoding="utf-8") as script:
            interpreter = script.readline()[2:].strip()
        line = [interpreter, "-c", PACKAGE_RUN, os.path.abspath(package)]
    line += ["--merge", folder, "-o", os.devnull]
    if form == "otf2":
        line += ["--otf2", os.path.join(work, "archive")]
    elif form == "trace":
        line += ["--trace", os.path.join(work, "run.json")]
    return line


def timed(line, work):
    """Wall and CPU seconds of one run of LINE."""
    shutil.rmtree(os.path.join(work, "archive"), ignore_errors=True)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    subprocess.run(line, check=True)
    wall = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return wall, (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def profile(build, form, folder, work):
    """FORM's run in this process under cProfile: its costliest functions."""
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                    "watch-region"))
    from watch_region import cli  # pylint: disable=import-outside-toplevel
    sys.argv = command(build, form, folder, work)
    profiler = cProfile.Profile()
    profiler.enable()
    try:
        cli.main(version="benchmark", tracer="", tracer_runtimes="libgomp libomp")
    finally:
        profiler.disable()
    pstats.Stats(profiler, stream=sys.stderr).sort_stats("tottime").print_stats(30)


def main():
    arguments = sys.argv[1:]
    form = against = None
    if arguments[:1] == ["--profile"]:
        form, arguments = arguments[1], arguments[2:]
        if form not in FORMS:
            sys.exit(f"analysis_cost.py: --profile takes one of {', '.join(FORMS)}")
    if arguments[:1] == ["--against"]:
        against, arguments = arguments[1], arguments[2:]
    build = arguments[0] if arguments else "build/default"
    regions, calls, runs = (int(value) for value in (arguments[1:] + ["30000", "20000", "5"][
        len(arguments[1:]):])[:3])
    with tempfile.TemporaryDirectory(prefix="analysis_cost.") as work:
        folder = os.path.join(work, "traces")
        record(build, regions, calls, folder)
        sizes = sum(os.path.getsize(os.path.join(folder, name)) for name in os.listdir(folder))
        if form:
            profile(build, form, folder, work)
            return
        print(f"mpi_analysis {regions} regions, {calls} MPI calls a rank, 2 ranks of 2 "
              f"threads: traces {sizes / 2**20:.1f} MiB")
        # The other package first in each turn, so that the files left are the build's.
        packages = ([against] if against else []) + [None]
        measured = {(name, package): [] for name in FORMS for package in packages}
        for _ in range(runs):
            for name in FORMS:
                for package in packages:
                    measured[(name, package)].append(
                        timed(command(build, name, folder, work, package), work))
        extra = {"otf2": os.path.join(work, "archive"), "trace": os.path.join(work, "run.json")}
        print(f"{'form':<28} {'fastest s':>9} {'median s':>9} {'CPU s':>7}")
        for (name, package), runs_made in measured.items():
            walls = [wall for wall, _ in runs_made]
            cpus = [cpu for _, cpu in runs_made]
            label = "--merge" if name == "merge" else f"--merge --{name}"
            size = ""
            if package is not None:
                label += f" ({os.path.basename(os.path.dirname(os.path.abspath(package)))})"
            elif name in extra and os.path.exists(extra[name]):
                path = extra[name]
                total = os.path.getsize(path) if os.path.isfile(path) else sum(
                    os.path.getsize(os.path.join(top, file))
                    for top, _, files in os.walk(path) for file in files)
                size = f"  ({total / 2**20:.1f} MiB written)"
            print(f"{label:<28} {min(walls):9.3f} {statistics.median(walls):9.3f} "
                  f"{statistics.median(cpus):7.3f}{size}")


if __name__ == "__main__":
    main()
