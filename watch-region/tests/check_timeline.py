"""Checks `watch-region --timeline` and the region tracer it preloads, one
table of cases per group, on the build's own programs and tracer:

  teams       for both programs at teams of 1, 2, 3, 8 and 64: threads 0 to
              n - 1 each run the body once, after the launch and before the
              join (the join proven from time alone), the n - 1 workers are
              created by thread 0 in the first region, the run's phases add
              up, and the trace file holds one named track per thread
  body_time   a fixture whose body sleeps 20 ms on every thread is timed so
  unchanged   the tracer changes nothing the program does: the same output,
              standard error and exit status, also on /dev/full
  kept_apart  the slowest region's waits, task bodies and joins kept apart
              from the table of events as the table gives them; without
              --trace, none in the table and the region still whole
  files       --trace and --svg write what they say, and an unwritable path
              is one line on standard error, with the program's output still
              reported; --tracer names the library preloaded
  other_runtime  the fixture built by the other compiler, for the other
              runtime, is timed by the same tracer
  factors     the model factors of sleeping cases at teams of 2 and 4, each
              within 0.8 to 1.05 of its closed form, and the waits of each
              kind counted exactly; the chunks and iterations of loops handed
              out at run time, each thread's, summed to their closed forms
  cores       a team of 2 under taskset: oversubscribed on one CPU, every
              thread's bodies started there; not on two
  scaling     --scaling: its usage errors, a run per team size in its table,
              JSON and picture, the exit status it takes, a stop mid-series;
              each region's serial fraction, near 0 for one whose work is
              handed out in chunks and near 1 for one run inside a critical
              section; --repeat: medians within their spread, the runs of a
              series, a stop during the second run
  mpi         the model factors of sleeping ranks under mpirun at 2 and 4
              ranks, whole and their MPI and OpenMP parts, each within 0.8 to
              1.05 of its closed form, and MPI waits on every rank; with
              --otf2, a location group per rank
  mpich       the same for programs built with MPICH, under its launcher: a
              hybrid case's factors, the hybrid fixture's OTF2 calls, and a
              rank run alone
  clocks      two ranks an hour apart on their monotonic clocks, as on two
              nodes: the offset measured, and every timeline on one clock
  otf2        every MPI collective of the tracer's list an OTF2 operation;
              --otf2 archives by otf2-print: a location per thread, a group per
              process, an enter and leave per body and per wait the report
              counts, fork and join, the clock; a folder it cannot write

usage: check_timeline.py GROUP WATCH_REGION TRACER RUNTIME NAME=PATH...
  TRACER   the tracer the build made, which watch-region finds by itself
  RUNTIME  libgomp or libomp: the build's OpenMP runtime
"""

import collections
import json
import os
import pty
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import xml.etree.ElementTree

import report_schema as reports

SKIPPED = 77
GROUP, WATCH_REGION, TRACER, RUNTIME = sys.argv[1:5]
BUILT = dict(argument.split("=", 1) for argument in sys.argv[5:])
FIXTURE_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures",
                              "sleeping_body.cpp")


def check(problems, what, actual, expected):
    if actual != expected:
        problems.append(f"{what}: {actual!r}, expected {expected!r}")


def timeline(*arguments, env=None, prefix=()):
    """The run, with the report it wrote to a file (-o) as run.report;
    PREFIX, a command that runs watch-region."""
    with tempfile.NamedTemporaryFile("r", encoding="utf-8") as report:
        command = [*prefix, WATCH_REGION, "--timeline", "-o", report.name, *arguments]
        run = subprocess.run(command, capture_output=True, text=True, check=False, env=env,
                             timeout=120)
        run.report = report.read()
    return run


def teams(problems):
    with tempfile.TemporaryDirectory() as work:
        trace_path = os.path.join(work, "trace.json")
        for program in ("parallel_sum", "parallel_hello"):
            for team in (1, 2, 3, 8, 64):
                case = f"{program} team {team}"
                run = timeline("--json", "--team", str(team), "--trace", trace_path, BUILT[program])
                if run.returncode != 0:
                    problems.append(f"{case}: exit status {run.returncode}: {run.stderr}")
                    continue
                process = reports.loads(run.report)["processes"][0]
                seen = process["region"]
                threads = seen["threads"]
                check(problems, f"{case}: team threads", [t["thread"] for t in threads],
                      list(range(team)))
                check(problems, f"{case}: body runs", {t["body_runs"] for t in threads}, {1})
                # The join, from time alone: libgomp's launch returns only after
                # every body has ended; libomp's thread 0 leaves the closing
                # barrier only after every thread has reached it.
                joined = seen["launch_return"] if RUNTIME == "libgomp" else threads[0]["join"]
                for t in threads:
                    check(problems, f"{case}: thread {t['thread']} starts after the launch",
                          t["body_start"] >= seen["launch"], True)
                    check(problems, f"{case}: thread {t['thread']} ends before the join",
                          t["body_start"] <= t["body_end"] <= joined <= seen["launch_return"], True)
                check(problems, f"{case}: threads created in the region",
                      seen["threads_created"], team - 1)
                check(problems, f"{case}: workers created by thread 0, then started",
                      [(t["created_by"],
                        t["create_call"] <= t["first_instruction"] <= t["body_start"])
                       for t in threads[1:]], [("thread 0", True)] * (team - 1))
                phases = seen["phases"]
                check(problems, f"{case}: fork ends at the last body start",
                      round(phases["fork"], 3),
                      round(max(t["body_start"] for t in threads) - seen["launch"], 3))
                check(problems, f"{case}: the phases add up to the region",
                      round(phases["fork"] + phases["work"] + phases["join"], 3),
                      round(seen["launch_return"] - seen["launch"], 3))
                site = process["call_sites"][0]
                check(problems, f"{case}: one call site, in main, one launch of the team",
                      (len(process["call_sites"]), site["function"], site["launches"],
                       site["team_sizes"]), (1, "main", 1, {str(team): 1}))
                with open(trace_path, encoding="utf-8") as trace_file:
                    trace = json.load(trace_file)["traceEvents"]
                kernel_threads = sorted(t["kernel_thread"] for t in threads)
                check(problems, f"{case}: a named track per kernel thread",
                      sorted(e["tid"] for e in trace if e["name"] == "thread_name"),
                      kernel_threads)
                check(problems, f"{case}: one body on each track",
                      sorted(e["tid"] for e in trace if e["ph"] == "X" and e["name"] == "body"),
                      kernel_threads)


def body_time(problems, fixture=None):
    """Each body of the fixture sleeps 20 ms: a start or end recorded on the
    wrong side of the body would bring them together."""
    for team in (1, 3):
        run = timeline("--json", "--team", str(team), fixture or BUILT["sleeping_body"])
        threads = (reports.loads(run.report)["processes"][0]["region"]["threads"]
                   if run.returncode == 0 else [])
        check(problems, f"team {team}: bodies of at least 20 ms",
              [(t["thread"], t["body_end"] - t["body_start"] >= 20000) for t in threads],
              [(n, True) for n in range(team)])


def unchanged(problems):
    traced = {**os.environ, "LD_PRELOAD": TRACER}
    with tempfile.TemporaryDirectory() as work:
        traced["WATCH_REGION_TRACE"] = os.path.join(work, "trace")
        # Tasks whose data is copied every way: the tracer wraps each one.
        tasks = [("task_data", team, subprocess.PIPE) for team in (1, 3) if "task_data" in BUILT]
        for program, team, stdout in [("parallel_sum", 8, subprocess.PIPE),
                                      ("parallel_hello", 8, subprocess.PIPE),
                                      ("parallel_sum", 3, "/dev/full"),
                                      ("parallel_hello", 3, "/dev/full")] + tasks:
            runs = []
            for env in (dict(os.environ), traced):
                env["OMP_NUM_THREADS"] = str(team)
                target = (open(stdout, "w", encoding="ascii") if stdout != subprocess.PIPE
                          else stdout)
                run = subprocess.run([BUILT[program]], env=env, stdout=target,
                                     stderr=subprocess.PIPE,
                                     text=True, check=False)
                if target is not stdout:
                    target.close()
                lines = (run.stdout if program == "parallel_sum"
                         else sorted((run.stdout or "").splitlines()))
                runs.append((lines, run.stderr, run.returncode))
            target = "a pipe" if stdout == subprocess.PIPE else stdout
            case = f"{program} team {team}, output to {target}"
            check(problems, f"{case}: traced against untraced", runs[1], runs[0])


def files(problems):
    with tempfile.TemporaryDirectory() as work:
        svg = os.path.join(work, "t.svg")
        if shutil.which("gnuplot"):
            run = timeline("--team", "3", "--svg", svg, BUILT["parallel_sum"])
            check(problems, "--svg: status", run.returncode, 0)
            drawn = xml.etree.ElementTree.parse(svg).getroot()
            check(problems, "--svg: an SVG picture", drawn.tag, "{http://www.w3.org/2000/svg}svg")
        else:
            print("gnuplot is not installed: --svg is not checked")
        for option in ("--trace", "--svg"):
            unwritable = os.path.join(work, "no-such-folder", "file")
            run = timeline("--team", "2", option, unwritable, BUILT["parallel_sum"])
            check(problems, f"{option} unwritable: status", run.returncode, 1)
            check(problems, f"{option} unwritable: one line", run.stderr.count("\n"), 1)
            check(problems, f"{option} unwritable: names the file",
                  run.stderr.startswith(f"watch-region: {unwritable}: "), True)
            check(problems, f"{option} unwritable: refused before the program runs",
                  (run.stdout, run.report), ("", ""))
        missing = os.path.join(work, "none.so")
        run = timeline("--tracer", missing, BUILT["parallel_sum"])
        check(problems, "--tracer missing", (run.returncode, run.stderr),
              (125, f"watch-region: no region tracer at {missing}\n"))
        run = timeline("--json", "--team", "2", "--tracer", TRACER, BUILT["parallel_sum"])
        check(problems, "--tracer named: threads timed", run.returncode == 0
              and len(reports.loads(run.report)["processes"][0]["region"]["threads"]), 2)


def scaling(problems):
    """Each size run once, in the order given; the status of the first run
    that failed, else the last's; a stop ends the series with what it ran."""
    sum_of = BUILT["parallel_sum"]
    for given in ("1,x", "0,1", "-1", "2,2", "1,2 --team 2", "1,2 --trace t.json",
                  "1 --repeat 0", "1 --repeat 2 --trace-dir t"):
        run = timeline("--scaling", *given.split(), sum_of)
        check(problems, f"--scaling {given}: usage error", (run.returncode, run.stdout), (2, ""))
    run = subprocess.run([WATCH_REGION, "--repeat", "2", sum_of], capture_output=True,
                         check=False)
    check(problems, "--repeat without --timeline: usage error", (run.returncode, run.stdout),
          (2, b""))
    repeats(problems)
    with tempfile.TemporaryDirectory() as work:
        svg = os.path.join(work, "s.svg")
        run = timeline("--json", "--scaling", "2,1", "--svg", svg, sum_of)
        series = reports.loads(run.report)["scaling"] if run.returncode == 0 else []
        check(problems, "runs, each with its output", (run.returncode, run.stdout),
              (0, "Sum of array: 5050\n" * 2))
        check(problems, "JSON: sizes, keys, speedup of the first, and of the second",
              [(each["team"], sorted(each), sorted(each["model_factors"]), each["speedup"])
               for each in series[:1]] + [(each["team"], round(each["speedup"] * each["run_time"]))
                                          for each in series[1:]],
              [(2, ["exit_status", "model_factors", "run_time", "signal", "speedup", "team"],
                ["communication_efficiency", "load_balance", "parallel_efficiency",
                 "serialisation_efficiency", "transfer_efficiency"], 1.0),
               (1, round(series[0]["run_time"]) if series else None)])
        check(problems, "--svg: a picture", xml.etree.ElementTree.parse(svg).getroot().tag
              if os.path.exists(svg) else None, "{http://www.w3.org/2000/svg}svg")
        text = timeline("--scaling", "1,3", sum_of).report.splitlines()
        rows = ["team size", "run time", "speedup", "parallel efficiency", "  load balance",
                "  communication efficiency", "    serialisation efficiency",
                "    transfer efficiency"]
        check(problems, "the table's rows, a column per size",
              [line[2:2 + len(row) + 1] for line, row in zip(text[3:11], rows)]
              + text[3].split()[-2:], [row + " " for row in rows] + ["1", "3"])
        exits = os.path.join(work, "exits.sh")  # with status team - 1, or sleeps at 5
        with open(exits, "w", encoding="ascii") as file:
            file.write(f"#!/bin/sh\n{sum_of}\n[ $OMP_NUM_THREADS != 5 ] || exec sleep 30\n"
                       "exit $((OMP_NUM_THREADS - 1))\n")
        os.chmod(exits, 0o755)
        for sizes, status in (("1,3,2", 2), ("2,1", 1), ("1", 0)):
            check(problems, f"--scaling {sizes}: status", timeline("--scaling", sizes,
                                                                   exits).returncode, status)
        with tempfile.NamedTemporaryFile("r", encoding="utf-8") as report:
            watching = subprocess.Popen([WATCH_REGION, "--timeline", "--json", "-o", report.name,
                                         "--scaling", "1,5,3", exits], stdout=subprocess.PIPE)
            said = [watching.stdout.readline() for _ in range(2)]
            watching.send_signal(signal.SIGTERM)
            status, stopped = watching.wait(timeout=60), reports.loads(report.read())
        check(problems, "stopped: status, runs, what stopped it", (said[1], status, [
            each["team"] for each in stopped.get("scaling", [])], stopped.get("stopped_by"),
            stopped.get("stopped_during")), (b"Sum of array: 5050\n", 143, [1], "SIGTERM", 5))


def within_spread(tree, where="report"):
    """Every figure of TREE (a JSON report) that has a spread, where it lies
    outside its [least, largest] or they are out of order."""
    if isinstance(tree, list):
        return [out for at, each in enumerate(tree)
                for out in within_spread(each, f"{where}[{at}]")]
    if not isinstance(tree, dict):
        return []
    outside = [f"{where}.{name}: {tree.get(name)} not in {span}"
               for name, span in (tree.get("spread") or {}).items()
               if not span[0] <= tree.get(name, span[0] - 1) <= span[1] or span[0] == span[1]]
    return outside + [out for name, each in tree.items() if name != "spread"
                      for out in within_spread(each, f"{where}.{name}")]


def repeats(problems):
    """--repeat: each run's figures merged, each median within its spread;
    each region's serial fraction across team sizes (sleep_factors' scales:
    a region of 64 sleeps handed out in chunks, e near 0, then one of 32
    inside a critical section, e near 1); a stop during the second run."""
    env = {**os.environ, "OMP_WAIT_POLICY": "passive"}
    with tempfile.TemporaryDirectory() as work:
        svg = os.path.join(work, "s.svg")
        # Three runs a size, so that one run slowed by a loaded machine is not the median.
        run = timeline("--json", "--scaling", "1,2,4", "--repeat", "3", "--svg", svg,
                       BUILT["sleep_factors"], "scales", env=env)
        series = reports.loads(run.report) if run.returncode == 0 else {}
        sites = series.get("scaling_sites", [])
        # The two regions of the case take the longest at team size 1.
        spread, serial = sorted(sites, key=lambda each: -each["time"]["1"])[:2] or [{}, {}]
        check(problems, "--scaling --repeat: status, repeats, a spread on every run time, "
              "the critical region scaling worse, each median in its spread",
              (run.returncode, series.get("repeat"), [
                  "run_time" in each.get("spread", {}) for each in series.get("scaling", [])],
               sites.index(serial) < sites.index(spread) if sites else None,
               within_spread(series)), (0, 3, [True] * 3, True, []))
        fractions = [(name, team, round(region["serial_fraction"][team], 2))
                     for name, region, low, high in (("chunks", spread, -0.25, 0.25),
                                                     ("critical", serial, 0.75, 1.25))
                     for team in ("2", "4") if not low <= region.get(
                         "serial_fraction", {}).get(team, -9) <= high]
        check(problems, "serial fractions out of their closed forms' range", fractions, [])
        drawn = re.findall(r"<title>gnuplot_plot_\d+b</title>",
                           open(svg, encoding="utf-8").read() if os.path.exists(svg) else "")
        check(problems, "--svg: the run's speedup, team size and each region's", len(drawn),
              2 + min(6, len(sites)))
        run = timeline("--json", "--repeat", "3", "--team", "2", BUILT["sleep_factors"],
                       "scales", env=env)
        merged = reports.loads(run.report) if run.returncode == 0 else {}
        process = (merged.get("processes") or [{}])[0]
        check(problems, "--repeat 3: status, runs, spreads of the times, medians within",
              (run.returncode, merged.get("repeat"), run.stderr.count("longest overrun"),
               sorted(set(process.get("spread", {})) & {"time_in_regions", "interval"}),
               all("time" in site.get("spread", {}) for site in process.get("call_sites", [])),
               within_spread(merged)),
              (0, 3, 3, ["interval", "time_in_regions"], True, []))
        count, script = os.path.join(work, "count"), os.path.join(work, "second_sleeps.sh")
        with open(script, "w", encoding="ascii") as file:
            file.write(f"#!/bin/sh\nn=$(cat {count} 2>/dev/null || echo 0)\n"
                       f"echo $((n + 1)) > {count}\n{BUILT['parallel_sum']}\n"
                       "[ $n != 1 ] || exec sleep 30\n")
        os.chmod(script, 0o755)
        with tempfile.NamedTemporaryFile("r", encoding="utf-8") as report:
            watching = subprocess.Popen([WATCH_REGION, "--timeline", "--json", "-o", report.name,
                                         "--repeat", "3", script], stdout=subprocess.PIPE)
            said = [watching.stdout.readline() for _ in range(2)]
            watching.send_signal(signal.SIGTERM)
            status, stopped = watching.wait(timeout=60), reports.loads(report.read())
        check(problems, "stopped in run 2: status, what stopped it, when, the run before it",
              (said[1], status, stopped.get("stopped_by"), stopped.get("stopped_during_repeat"),
               stopped.get("repeat"), [os.path.basename(each["program"] or "") for each in
                                       stopped.get("processes", [])].count("parallel_sum")),
              (b"Sum of array: 5050\n", 143, "SIGTERM", 2, 3, 1))


def other_runtime(problems):
    """A user's program built for the runtime this build does not use: where
    that compiler can build it, the tracer has the runtime's half."""
    compiler = "clang++" if RUNTIME == "libgomp" else "g++"
    if shutil.which(compiler) is None:
        print(f"SKIP: {compiler} is not installed")
        sys.exit(SKIPPED)
    with tempfile.TemporaryDirectory() as work:
        fixture = os.path.join(work, "sleeping_body")
        built = subprocess.run([compiler, "-std=c++20", "-fopenmp", FIXTURE_SOURCE, "-o", fixture],
                               capture_output=True, text=True, check=False)
        if built.returncode != 0:
            print(f"SKIP: {compiler} cannot build an OpenMP program here:\n{built.stderr}")
            sys.exit(SKIPPED)
        body_time(problems, fixture)


def otf2_archive(folder):
    """otf2-print's definitions {(kind, ID): line}, events and lines of FOLDER's archive."""
    printed = [subprocess.run(["otf2-print", *option, os.path.join(folder, "traces.otf2")],
                              capture_output=True, text=True, check=False).stdout.splitlines()
               for option in (["-G"], [])]
    definitions = {tuple(line.split()[:2]): line for line in printed[0] if line[:1].isupper()}
    events = [(f[0], int(f[1]), int(f[2]), line.split('"')[1] if '"' in line else None)
              for line in printed[1] if (f := line.split()) and f[0][1:2].isupper()
              and f[1].isdigit()]
    return definitions, events, printed[1]


# hybrid's MPI calls on rank 0 and 1 ({o} the other) as mpi_calls shows them.
HYBRID_MPI = ["MPI_Send(SEND {o} {w} 3) MPI_Recv(RECV {o} {w} 4)",
              "MPI_Irecv() MPI_Wait(IRECV_REQUEST IRECV {o} {w} 3) MPI_Send(SEND {o} {w} 4)"]
HYBRID_ALL = ("MPI_Init_thread() {calls} MPI_Bcast(COLLECTIVE_BEGIN COLLECTIVE_END BCAST {w} 1) "
              "MPI_Barrier(COLLECTIVE_BEGIN COLLECTIVE_END BARRIER {w} NONE) MPI_Finalize()")


def mpi_calls(definitions, lines):
    """Per rank: its MPI calls, each its name with its MPI events in brackets
    (name, peer or root, communicator, tag, operation as printed)."""
    ranks = {key[1]: re.search(r'Group: "\S+ rank (\d+)', line)[1]
             for key, line in definitions.items() if key[0] == "LOCATION" and " rank " in line}
    calls = collections.defaultdict(list)
    for line in lines:
        kind, location = (line.split() + ["", ""])[:2]
        name = re.search(r'"(MPI_\w+) at', line)
        if location in ranks and (name or kind.startswith("MPI_")):
            calls[int(ranks[location])].append(
                f"{name[1]}(" if kind == "ENTER" else ")" if kind == "LEAVE" else " ".join([
                    kind[4:], *re.findall(
                        r'(?:Receiver|Sender|Root|Communicator|Tag|Operation): "?(\w+)', line)]))
    return {rank: " ".join(each).replace("( ", "(").replace(" )", ")")
            for rank, each in calls.items()}


def otf2_readable():
    """Whether otf2-print is here, and OTF2's Python binding for watch-region's interpreter."""
    interpreter = open(WATCH_REGION, encoding="utf-8").readline()[2:].strip()
    return shutil.which("otf2-print") and not subprocess.run(
        [interpreter, "-c", "import _otf2"], capture_output=True, check=False).returncode


def otf2(problems):
    if not otf2_readable():
        print("SKIP: otf2-print or OTF2's Python binding is missing (otf2-tools, python3-otf2)")
        sys.exit(SKIPPED)
    # Every collective of the tracer's list of MPI entries is an operation
    # that OTF2 names, as the archive's writer names it.
    interpreter = open(WATCH_REGION, encoding="utf-8").readline()[2:].strip()
    unnamed = subprocess.run([interpreter, "-c", (
        "import _otf2\nfrom watch_region import mpi_entries as m\n"
        "print(sorted(op for op in m.EVERY_TO_EVERY | m.ROOT_TO_EVERY | m.EVERY_TO_ROOT "
        "if not hasattr(_otf2, 'COLLECTIVE_OP_' + m.otf2_operation(op))))")],
        capture_output=True, text=True, check=False,
        cwd=os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    check(problems, "MPI collectives that OTF2 does not name", unnamed.stdout, "[]\n")
    with tempfile.TemporaryDirectory() as work:
        with open(script := os.path.join(work, "two.sh"), "w", encoding="ascii") as file:
            file.write(f"#!/bin/sh\n{BUILT['parallel_sum']}\n{BUILT['parallel_hello']}\n")
        os.chmod(script, 0o755)
        cases = [("parallel_sum team 1", ["--team", "1", BUILT["parallel_sum"]]),
                 ("every wait kind, team 2", ["--team", "2", BUILT["sleep_factors"], "counts"]),
                 ("two processes, merged", ["--team", "2", script])]
        if "every_entry" in BUILT:
            cases.append(("every entry, nested", ["--team", "2", BUILT["every_entry"], "3"]))
        if "hybrid" in BUILT:
            cases.append(("mpirun, 2 ranks", ["--team", "2", BUILT["mpiexec"], "-np", "2",
                                              "--allow-run-as-root", "--oversubscribe",
                                              BUILT["hybrid"]]))
        for number, (case, command) in enumerate(cases):
            folder = os.path.join(work, str(number))
            if "merged" in case:
                timeline("--trace-dir", folder + ".traces", *command)
                command = ["--merge", folder + ".traces"]
            run = timeline("--json", "--otf2", folder, *command,
                           env={**os.environ, "OMP_MAX_ACTIVE_LEVELS": "2"})
            report = reports.loads(run.report) if run.report else {"processes": []}
            definitions, events, printed = otf2_archive(folder)
            if (run.returncode, bool(events)) != (0, True):
                problems.append(f"{case}: status {run.returncode}, no events: {run.stderr}")
                continue
            lines = {kind: [line.split('"') for (each, _), line in definitions.items()
                            if each == kind] for kind in ("LOCATION_GROUP", "LOCATION")}
            groups = {fields[1]: [] for fields in lines["LOCATION_GROUP"]}
            for fields in lines["LOCATION"]:
                groups[fields[3]].append(int(fields[1].split()[2]))
            processes, ran = report["processes"], [p for p in report["processes"] if p["regions"]]
            names = [f"{os.path.basename(p['program'])}"
                     f"{' rank %d' % p['mpi']['rank'] if p.get('mpi') else ''} ({p['pid']})"
                     for p in processes]
            check(problems, f"{case}: a location group per process", sorted(groups), sorted(names))
            check(problems, f"{case}: a location per thread of the team, by kernel thread",
                  [sorted(groups.get(n, [])) for n, p in zip(names, processes)
                   if p["regions"] == 1],
                  [sorted(t["kernel_thread"] for t in p["region"]["threads"])
                   for p in processes if p["regions"] == 1])
            bodies, waits = collections.Counter(), collections.Counter()
            for p in ran:
                for site in p["call_sites"]:
                    bodies[site["site"]] += sum(int(size) * count
                                                for size, count in site["team_sizes"].items())
                for w in p["sync"]:
                    waits[f"{w['kind']} at {w['site']}"] += w["count"]
            for what in ("ENTER", "LEAVE"):
                check(problems, f"{case}: {what} per body and per wait", {site: sum(
                    kind == what and re.sub(r"^MPI_\w+ at", "mpi at", region or "") == site
                    for kind, *_, region in events)
                    for site in bodies + waits}, dict(bodies + waits))
            if "mpirun" in case:
                check(problems, f"{case}: sends, receives and collectives in their calls",
                      mpi_calls(definitions, printed), {rank: HYBRID_ALL.replace(
                          "{calls}", calls).format(o=1 - rank, w="MPI_COMM_WORLD")
                          for rank, calls in enumerate(HYBRID_MPI)})
            check(problems, f"{case}: MPI's waits named by the function called", [
                region for *_, region in events if (region or "").startswith("mpi at")], [])
            regions = sum(p["regions"] for p in ran)
            check(problems, f"{case}: a fork and a join per region, a team begin and end per body",
                  [sum(kind == what for kind, *_ in events) for what in (
                      "THREAD_FORK", "THREAD_JOIN", "THREAD_TEAM_BEGIN", "THREAD_TEAM_END")],
                  [regions, regions, sum(bodies.values()), sum(bodies.values())])
            clock = definitions.get(("CLOCK_PROPERTIES", "Ticks"), "").replace(",", "").split()
            first, length = int(clock[7]), int(clock[9])  # the first load; the run's length
            check(problems, f"{case}: nanoseconds, from the first load to the last event",
                  (clock[4], 0 <= min(e[2] for e in events) - first < 10**9, first + length),
                  ("1000000000", True, max(e[2] for e in events)))
        # Each refused before the program runs: it prints nothing.
        for case, option, path in (
                ("an --otf2 folder with a file on its path", "--otf2", os.path.join(script, "x")),
                ("an --otf2 folder with an archive in it", "--otf2", os.path.join(work, "0"))):
            run = timeline(option, path, BUILT["parallel_sum"])
            check(problems, f"{case}: status, one line naming it, the program not run",
                  (run.returncode, run.stderr.count("\n"),
                   run.stderr.startswith(f"watch-region: {path}: "), run.stdout), (1, 1, True, ""))


# Per function of every_entry: the libgomp entry it starts its team through,
# its launches (REPEATS for repeated) and the level of its regions.
EVERY_ENTRY = [
    ("dynamic_loop", "GOMP_parallel_loop_nonmonotonic_dynamic", 1, 1),
    ("monotonic_dynamic_loop", "GOMP_parallel_loop_dynamic", 1, 1),
    ("guided_loop", "GOMP_parallel_loop_nonmonotonic_guided", 1, 1),
    ("monotonic_guided_loop", "GOMP_parallel_loop_guided", 1, 1),
    ("runtime_loop", "GOMP_parallel_loop_maybe_nonmonotonic_runtime", 1, 1),
    ("monotonic_runtime_loop", "GOMP_parallel_loop_runtime", 1, 1),
    ("nonmonotonic_runtime_loop", "GOMP_parallel_loop_nonmonotonic_runtime", 1, 1),
    ("static_loop", "GOMP_parallel_loop_static", 1, 1),
    ("old_pair", "GOMP_parallel_start", 1, 1),
    ("sections", "GOMP_parallel_sections", 1, 1),
    ("task_reduction", "GOMP_parallel_reductions", 1, 1),
    ("nested", "GOMP_parallel", 1, 1),
    ("nested_inner", "GOMP_parallel", 2, 2),
    ("library_region_bodies", "GOMP_parallel", 1, 1),
    ("repeated", "GOMP_parallel", "REPEATS", 1),
]


def every_entry_run(repeats, work):
    trace_path = os.path.join(work, "trace.json")
    env = {**os.environ, "OMP_MAX_ACTIVE_LEVELS": "2"}
    run = timeline("--json", "--team", "2", "--trace", trace_path, BUILT["every_entry"],
                   str(repeats), env=env)
    if run.returncode != 0:
        return run, None, None
    with open(trace_path, encoding="utf-8") as trace_file:
        return run, reports.loads(run.report)["processes"][0], json.load(trace_file)["traceEvents"]


def every_entry(problems):
    """Each function's launches at its own call site, every body inside its
    region, and the nested regions inside theirs, at level 2."""
    with tempfile.TemporaryDirectory() as work:
        run, process, trace = every_entry_run(5, work)
    if process is None:
        problems.append(f"exit status {run.returncode}: {run.stderr}")
        return
    launches = {site["function"].split("(")[0]: site["launches"] for site in process["call_sites"]}
    for function, entry, expected, _ in EVERY_ENTRY:
        check(problems, f"{function} ({entry}): launches", launches.get(function),
              5 if expected == "REPEATS" else expected)
    check(problems, "regions launched", process["regions"], 20)
    check(problems, "the library's region is named by the library",
          [site["object"] for site in process["call_sites"]
           if site["function"] == "library_region_bodies"], ["libregion_library.so"])
    regions = {e["args"]["region"]: e for e in trace if e["ph"] == "X" and e["name"] != "body"
               and "region" in e["args"]}
    bodies = [e for e in trace if e["ph"] == "X" and e["name"] == "body"]
    check(problems, "every body inside its region",
          [b["args"]["region"] for b in bodies
           if not regions[b["args"]["region"]]["ts"] <= b["ts"] <= b["ts"] + b["dur"]
           <= regions[b["args"]["region"]]["ts"] + regions[b["args"]["region"]]["dur"]], [])
    inner = [r for r in regions.values() if r["name"].split("!")[1].startswith("nested_inner")]
    outer = [r for r in regions.values() if r["name"].split("!")[1].startswith("nested(")]
    check(problems, "nested regions: level 2, inside the outer region",
          [(r["args"]["level"], r["args"]["parent"]) for r in inner],
          [(2, outer[0]["args"]["region"] if outer else None)] * 2)
    check(problems, "nested regions: four kernel threads of the inner teams",
          len({b["tid"] for b in bodies if regions[b["args"]["region"]] in inner}), 4)


def kept_apart(problems):
    """The slowest region kept apart from the table of events, case by case:
    its waits, task bodies and joins as the table gives them, merged as the
    chart merges them (fibonacci's tasks merge in the tracer as well); and a
    run that asks for no events: nothing left out, one region kept, its
    waits and task bodies drawn."""
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    from watch_region.timeline.regions import regions_of  # pylint: disable=import-outside-toplevel
    from watch_region.timeline.trace import read_trace  # pylint: disable=import-outside-toplevel
    from watch_region.timeline.trace_table import kept_apart_spans  # pylint: disable=C0415
    env = {**os.environ, "OMP_WAIT_POLICY": "passive"}
    for case in ("tasks", "counts", "fibonacci"):
        with tempfile.TemporaryDirectory() as work:
            timeline("--team", "2", "--trace-dir", work, BUILT["sleep_factors"], case, env=env)
            traces = [read_trace(os.path.join(work, name)) for name in os.listdir(work)
                      if name.endswith(".trace")]
        trace = next((trace for trace in traces if trace.slowest), None)
        if trace is None:
            problems.append(f"{case}: no trace with a slowest region")
            continue
        region = next(event.region for event in trace.slowest if event.name == "launch")
        both = (regions_of(trace.region_events(region))[region], regions_of(trace.slowest)[region])
        gap = (both[0]["launch_return"] - both[0]["launch"]) / 2000
        spans = [{key: [[round(time, 3) for time in span] for span in held]
                  for key, held in found.items()}
                 for found in (trace.whole_spans(region, gap),
                               kept_apart_spans(trace.slowest, region, gap))]
        joins = [{tid: entry.get("join") for tid, entry in found["threads"].items()}
                 for found in both]
        check(problems, f"{case}: the spans kept apart, as the table's",
              (spans[1], bool(spans[0])), (spans[0], True))
        check(problems, f"{case}: the joins kept apart, as the table's", joins[1], joins[0])
    run = timeline("--json", "--team", "2", BUILT["sleep_factors"], "tasks", env=env)
    process = reports.loads(run.report)["processes"][0] if run.returncode == 0 else {}
    rows = process.get("region", {}).get("threads", [])
    check(problems, "no events asked for: left out, regions kept, the kinds of span drawn",
          (process.get("lost_events"), process.get("regions_kept"),
           sorted({kind for row in rows for kind in ("waits", "tasks") if row.get(kind)})),
          (0, 1, ["tasks", "waits"]))


def many_regions(problems):
    """100,000 regions: every one counted, the events left out said."""
    with tempfile.TemporaryDirectory() as work:
        run, process, _ = every_entry_run(100000, work)
    if process is None:
        problems.append(f"exit status {run.returncode}: {run.stderr}")
        return
    check(problems, "regions launched", process["regions"], 100015)
    check(problems, "repeated's launches",
          [site["launches"] for site in process["call_sites"]
           if site["function"] == "repeated(long)"],
          [100000])
    check(problems, "events left out, and from when",
          process["lost_events"] > 0 and process["lost_from"] > 0, True)


def late_runtime(problems):
    """libgomp loaded with dlopen, after the tracer: the region is traced and
    the program runs as it does alone."""
    run = timeline("--json", "--team", "2", BUILT["late_runtime"], BUILT["region_library"])
    report = reports.loads(run.report) if run.returncode == 0 else {}
    check(problems, "status and output", (run.returncode, run.stdout), (0, "2 bodies\n"))
    sites = report["processes"][0]["call_sites"] if report else []
    check(problems, "the library's call site",
          [(site["object"], site["function"], site["launches"]) for site in sites],
          [("libregion_library.so", "library_region_bodies", 1)])


def own_programs(problems):
    """Programs as users run them: their output live, every process that
    started a team reported, with its parent."""
    with tempfile.TemporaryDirectory() as work:
        script = os.path.join(work, "script.sh")
        with open(script, "w", encoding="ascii") as file:
            # parallel_sum by its name alone, found in PATH
            file.write(f"#!/bin/sh\nPATH={os.path.dirname(BUILT['parallel_sum'])}:$PATH\n"
                       f"parallel_sum\n{BUILT['parallel_hello']} | sort\n")
        os.chmod(script, 0o755)
        leaves = os.path.join(work, "leaves.sh")
        with open(leaves, "w", encoding="ascii") as file:
            file.write(f"#!/bin/sh\nsleep 2 &\nexec {BUILT['parallel_sum']}\n")
        os.chmod(leaves, 0o755)
        # (case, command, its output, the programs that started teams, and
        # how many each started, in order)
        cases = [
            ("a fork, a region, system()", [BUILT["family"], BUILT["parallel_sum"]],
             ["Sum of array: 5050", "alone: 1 threads", "child: 2 threads", "parent: 2 threads"],
             ["family", "family", "parallel_sum"], [1, 1, 2]),
            ("a shell script", [script],
             ["Hello from thread 0 of 2", "Hello from thread 1 of 2", "Sum of array: 5050"],
             ["parallel_hello", "parallel_sum"], [1, 1]),
            ("a child left running", [leaves], ["Sum of array: 5050"], ["parallel_sum"], [1]),
        ]
        if "hybrid" in BUILT:
            cases.append(("mpirun", [BUILT["mpiexec"], "--allow-run-as-root", "--oversubscribe",
                                     "-np", "2", BUILT["hybrid"]],
                          ["rank 0: 2 threads", "rank 1: 2 threads"], ["hybrid", "hybrid"],
                          [1, 1]))
        else:
            print("MPI is not installed (openmpi-bin, libopenmpi-dev): mpirun is not checked")
        for case, command, output, programs, regions in cases:
            kept = os.path.join(work, "traces of " + case)
            run = timeline("--json", "--team", "2", "--trace-dir", kept, *command)
            report = reports.loads(run.report) if run.report else {"processes": []}
            ran = [p for p in report["processes"] if p["regions"]]
            check(problems, f"{case}: status and output, live",
                  (run.returncode, sorted(run.stdout.splitlines())), (0, output))
            check(problems, f"{case}: the processes that started a team, and their regions",
                  (sorted(os.path.basename(p["program"]) for p in ran),
                   sorted(p["regions"] for p in ran)), (programs, regions))
            check(problems, f"{case}: every call site named in its program",
                  [site["site"] for p in ran for site in p["call_sites"] if not site["function"]],
                  [])
            check(problems, f"{case}: a process still running at the end is named",
                  len(report.get("still_running", [])), 1 if "left running" in case else 0)
            merged = subprocess.run([WATCH_REGION, "--merge", kept, "--json"], capture_output=True,
                                    text=True, check=False)
            check(problems, f"{case}: the traces kept, merged again",
                  [p["pid"] for p in reports.loads(merged.stdout).get("processes", [])
                   if p["regions"]], [p["pid"] for p in ran])
            pids = {p["pid"] for p in ran}
            check(problems, f"{case}: children of processes of the run",
                  len([p for p in ran if p["parent"] in pids]),
                  1 if case.startswith("a fork") else 0)
    one_folder_one_run(problems)
    # A wrapper of the user's, preloaded after the tracer, still sees each
    # launch (watch-region's own interpreter loads it too, and sees none).
    run = timeline("--team", "2", BUILT["parallel_sum"],
                   env={**os.environ, "LD_PRELOAD": BUILT["count_launches"]})
    check(problems, "a wrapper preloaded after the tracer: the launches it saw",
          sorted(re.findall(r"launches seen: (\d+)", run.stderr)), ["0", "1"])


def one_folder_one_run(problems):
    """A --trace-dir holds one run: another is refused before it starts,
    unless added, and a merge then says so; the ranks of one job, each under
    a watch-region of its own, are one run."""
    with tempfile.TemporaryDirectory() as work:
        sum_run = ["--team", "2", BUILT["parallel_sum"]]
        ranks = [BUILT["mpiexec"], "--allow-run-as-root", "--oversubscribe", "-np", "2",
                 WATCH_REGION, "--timeline", "--trace-dir", os.path.join(work, "job"),
                 "-o", os.devnull, BUILT["hybrid"]] if "hybrid" in BUILT else ["true"]
        # (case, command, its status, its output, what a merge of its folder says)
        cases = [
            ("a first run", ["--trace-dir", work + "/one", *sum_run], 0, 1, None),
            ("a second run", ["--trace-dir", work + "/one", *sum_run], 2, 0, None),
            ("a second run added", ["--trace-dir", work + "/one", "--add", *sum_run], 0, 1,
             "2 runs were added to it, read here as one"),
            ("the ranks of one job", ranks, 0, 2 if "hybrid" in BUILT else 0, None)]
        for case, command, status, lines, merged in cases:
            if command[0] == BUILT.get("mpiexec") or command == ["true"]:
                run = subprocess.run(command, capture_output=True, text=True, check=False)
                folder = os.path.join(work, "job")
            else:
                run, folder = timeline("--json", *command), os.path.join(work, "one")
            said = reports.loads(subprocess.run([WATCH_REGION, "--merge", folder, "--json"],
                                                capture_output=True, text=True,
                                                check=False).stdout)
            check(problems, f"{case}: status, the program's lines, what a merge says",
                  (run.returncode, len(run.stdout.splitlines()), said.get("several_runs")),
                  (status, lines, merged))


def below(pid):
    """The process ids of every process below PID, from /proc."""
    found, queue = [], [pid]
    while queue:
        parent = queue.pop()
        try:
            with open(f"/proc/{parent}/task/{parent}/children", encoding="ascii") as listed:
                below = [int(child) for child in listed.read().split()]
        except OSError:
            below = []
        found += below
        queue += below
    return found


def on_terminal(arguments, env):
    """What a run of watch-region shows on a pseudo-terminal."""
    pid, master = pty.fork()
    if pid == 0:
        os.execve(WATCH_REGION, [WATCH_REGION, *arguments], env)
    shown = b""
    try:
        while select.select([master], [], [], 60)[0] and (data := os.read(master, 4096)):
            shown += data
    except OSError:  # the terminal is gone once watch-region has ended
        pass
    os.close(master)
    os.waitpid(pid, 0)
    return shown


def terminal(problems):
    """A program that asks on the terminal, in both modes: the prompt shows,
    the answer reaches it, and the report follows. The report's colours: on
    a terminal, unless NO_COLOR is set to anything but empty; never in a
    file. A run that asks on the terminal ends within about 2 s; one still
    running 15 s later is stuck (stopped by the terminal, say) and fails."""
    plain = {name: value for name, value in os.environ.items() if name != "NO_COLOR"}
    for changes, colours in (({}, True), ({"NO_COLOR": "1"}, False), ({"NO_COLOR": ""}, True)):
        shown = on_terminal(["--timeline", "--team", "2", BUILT["parallel_sum"]],
                            {**plain, **changes})
        check(problems, f"{changes or 'terminal'}: the report, coloured",
              (b"parallel efficiency" in shown, b"\x1b[3" in shown), (True, colours))
    check(problems, "a file: not coloured",
          "\x1b[" in timeline("--team", "2", BUILT["parallel_sum"], env=plain).report, False)
    modes = [["--timeline"]] + ([[]] if shutil.which("gdb") else [])
    for mode in modes:
        pid, master = pty.fork()
        if pid == 0:
            os.execv(WATCH_REGION, [WATCH_REGION, *mode, "--team", "2", BUILT["ask_name"]])
        shown, answered, deadline = b"", False, time.monotonic() + 15
        while time.monotonic() < deadline:
            if select.select([master], [], [], 0.2)[0]:
                try:
                    data = os.read(master, 4096)
                except OSError:
                    break
                if not data:
                    break
                shown += data
            if not answered and b"name? " in shown:
                os.write(master, b"world\n")
                answered = True
        if time.monotonic() >= deadline:
            os.kill(pid, signal.SIGKILL)
        status = os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1])
        text = shown.decode(errors="replace")
        case = " ".join(mode) or "under gdb"
        check(problems, f"{case}: prompt, answer, greeting, report, status",
              (answered, "hello world" in text, "ask_name, OMP_NUM_THREADS=2 (--team)" in text,
               status), (True, True, True, 0))


def trust(problems):
    """What a user reads off a run: the name the program was called by, call
    sites and their bodies named from a separate debug file, medians within the launches'
    range, a usage error for a region past the last, a run stopped by a
    signal reported as far as it went (one stopped inside its only region
    too, that region drawn as far as it went), and a full table said in the Trace
    Event file, whichever events it keeps."""
    folder, program = os.path.split(BUILT["stripped_regions"])
    path = {**os.environ, "PATH": f"{folder}:{os.environ['PATH']}"}
    for typed, cwd in (("stripped_regions", None), ("./stripped_regions", folder)):
        run = subprocess.run([WATCH_REGION, "--timeline", "-o", os.devnull, typed],
                             capture_output=True, text=True, check=False, env=path, cwd=cwd)
        check(problems, f"argv[0] as typed: {typed}", run.stdout, f"called as {typed}\n")
    for regions, exact in (("10", True), ("200", False)):
        run = timeline("--json", "--team", "2", BUILT["stripped_regions"], regions)
        site = reports.loads(run.report)["processes"][0]["call_sites"][0] if run.report else {}
        # The compiler may give the function a suffix of its own: [clone .isra.0]
        fixture = FIXTURE_SOURCE.replace("sleeping_body", "stripped_regions")
        with open(fixture, encoding="utf-8") as source:
            construct = next(number for number, line in enumerate(source, start=1)
                             if line.startswith("#pragma omp parallel"))
        # The body's first instruction is the statement's, inlined code aside.
        check(problems, "named from the debug file, the body by its construct's line",
              (site.get("site", "").startswith(f"{program}!(anonymous namespace)::launch_team()"),
               (site.get("source") or "").split(":")[0], site.get("body"),
               site.get("body_source")),
              (True, fixture, "(anonymous namespace)::launch_team() [clone ._omp_fn.0]",
               f"{fixture}:{construct + 1}"))
        for phase in ("fork", "work", "join"):
            stats = site.get(phase, {})
            low, high = stats.get("min", 0) - 0.001, stats.get("max", 0) + 0.001  # rounded to ns
            check(problems, f"{regions} launches: {phase}'s median within the launches' range",
                  (low <= stats.get("median", -1) - stats.get("median_error", 0),
                   stats.get("median", 1) + stats.get("median_error", 0) <= high,
                   stats.get("median_error") == 0), (True, True, exact))
    run = timeline("--region", "21", BUILT["stripped_regions"], "20")
    check(problems, "--region past the last region", (run.returncode, "launched 20 regions"
                                                      in run.stderr), (2, True))
    with tempfile.NamedTemporaryFile("r", encoding="utf-8") as report:
        watching = subprocess.Popen([WATCH_REGION, "--timeline", "-o", report.name,
                                     BUILT["stripped_regions"], "3", "60"],
                                    stdout=subprocess.PIPE, text=True)
        said = watching.stdout.readline()
        watching.send_signal(signal.SIGTERM)
        status = watching.wait(timeout=60)
        text = report.read()
    check(problems, "stopped: the status, the regions recorded, the run said partial",
          (said, status, "3 regions launched" in text, "partial run" in text),
          ("called as " + BUILT["stripped_regions"] + "\n", 128 + signal.SIGTERM, True, True))
    # Ended by a signal inside its only region: that region as far as it went,
    # the body of thread 1, which raised it, started (thread 0's may not be).
    stop = str(int(signal.SIGTERM))
    run = timeline("--json", "--team", "2", BUILT["worker_signal"], stop)
    region = (reports.loads(run.report)["processes"][0]["region"] if run.report else None) or {}
    check(problems, "stopped in its only region: the status, the region as far as it went",
          (run.returncode, region.get("launch_return", "?"),
           [row["thread"] for row in region.get("threads", []) if "body_start" in row][-1:]),
          (128 + signal.SIGTERM, None, [1]))
    run = timeline("--team", "2", BUILT["worker_signal"], stop)
    check(problems, "stopped in its only region: drawn",
          "not returned as the process ended" in run.report, True)
    # A launcher that does not pass the signal on: the shell ends, and its
    # two children are stopped all the same, each writing its trace.
    with tempfile.NamedTemporaryFile("r", encoding="utf-8") as report:
        watching = subprocess.Popen([WATCH_REGION, "--timeline", "--json", "-o", report.name,
                                     "/bin/sh", "-c", '"$0" 3 60 & "$0" 3 60 & wait',
                                     BUILT["stripped_regions"]], stdout=subprocess.PIPE, text=True)
        said = [watching.stdout.readline() for _ in range(2)]
        pids = below(watching.pid)
        watching.send_signal(signal.SIGTERM)
        status = watching.wait(timeout=60)
        stopped = reports.loads(report.read())
    check(problems, "stopped through a launcher: the status, each child's trace, none left",
          (status, sorted(p.get("stopped_by") for p in stopped.get("processes", [])
                          if p["regions"]),
           [pid for pid in pids if os.path.exists(f"/proc/{pid}")], stopped.get("still_running")),
          (128 + signal.SIGTERM, ["SIGTERM"] * 2, [], []))
    with tempfile.TemporaryDirectory() as work:
        trace_path = os.path.join(work, "trace.json")
        for keep, first_region in (("first", 1), ("last", 50)):
            run = timeline("--keep", keep, "--events", "64", "--trace", trace_path,
                           BUILT["stripped_regions"], "50")
            with open(trace_path, encoding="utf-8") as trace_file:
                trace = json.load(trace_file)
            marks = [e for e in trace["traceEvents"] if e["ph"] == "i"]
            counts = list(trace["otherData"]["processes"].values())[0]
            regions = [e["args"]["region"] for e in trace["traceEvents"]
                       if e["ph"] == "X" and "team" in e["args"]]
            check(problems, f"--keep {keep}: the events left out marked and counted",
                  (len(marks), counts["events_kept"] <= 64, counts["events_left_out"] > 0),
                  (1, True, True))
            check(problems, f"--keep {keep}: a region kept", first_region in regions, True)


# The model factors of each case of sleep_factors (see there), U its unit of
# sleep (25 ms), T the team; the runtime's own time (microseconds a wait) is
# left out, as is the start of the process and, on libgomp, of its threads
# (a few ms against runs of 2U to 5U).
#   balanced    2U on every thread: everything 1.
#   imbalanced  thread i (i + 1)U; the run lasts TU: LB = (T + 1) / 2T.
#   ordered     U each, then the ordered parts, one after another from U on:
#               the run lasts (T + 1)U, each thread has 2U of it, and so does
#               the longest chain (a U, then T ordered parts, each started by
#               the previous one's end): SerE = 2 / (T + 1), TE = 1.
#   critical    T sections of U in turn: the run, and the chain, TU; useful
#               U each: SerE = 1 / T.
#   lock        as ordered, in whichever order the lock is taken.
#   tried       as lock, but trying the lock is the thread's own time: the
#               k-th to take it has (k + 2)U of the run's (T + 1)U, the
#               others' wait at the region's end aside: LB = (T + 3) / 2(T + 1).
#   swapped     1U | 2U then 2U | 1U: both phases 2U, useful 3U on every
#               thread: LB = 1, SerE = 3 / 4.
#   late        3 regions, thread T - 1 2U, the others U: LB = (T + 1) / 2T.
#   serial      U alone, then 2U on every thread (a worker not yet made is
#               idle): useful 3U on thread 0, 2U on the others, the run 3U:
#               LB = (3 + 2(T - 1)) / 3T.
#   tasks       T + 1 tasks of U: T at once, then one: a thread has 2U, the
#               others U, the run and the chain 2U: LB = (T + 1) / 2T.
#   treeD       a thread runs the root, then each thread one of its two
#               subtrees, whichever order their tasks run in: 2^(D-1)U and
#               (2^(D-1) - 1)U: LB = (2^D - 1) / 2^D, the run and the chain
#               the first's; untied, grouped, included and final likewise.
#   fibonacci   all work, in thousands of tasks that make tasks: LB 1; its
#               other factors are the runtime's cost per task (None: not
#               checked).
# (case, team, load balance, serialisation efficiency, transfer efficiency);
# communication efficiency is SerE x TE and parallel efficiency LB x CommE.
UNIT_MS = 25
FACTORS = [
    ("balanced", 2, 1, 1, 1), ("balanced", 4, 1, 1, 1),
    ("imbalanced", 2, 3 / 4, 1, 1), ("imbalanced", 4, 5 / 8, 1, 1),
    ("ordered", 2, 1, 2 / 3, 1), ("ordered", 4, 1, 2 / 5, 1),
    ("critical", 2, 1, 1 / 2, 1), ("critical", 4, 1, 1 / 4, 1),
    ("lock", 2, 1, 2 / 3, 1), ("lock", 4, 1, 2 / 5, 1),
    ("tried", 2, 5 / 6, 1, 1), ("tried", 4, 7 / 10, 1, 1),
    ("swapped", 2, 1, 3 / 4, 1), ("swapped", 4, 1, 3 / 4, 1),
    ("late", 2, 3 / 4, 1, 1), ("late", 4, 5 / 8, 1, 1),
    ("serial", 2, 5 / 6, 1, 1), ("serial", 4, 3 / 4, 1, 1),
    ("tasks", 2, 3 / 4, 1, 1), ("tasks", 4, 5 / 8, 1, 1),
    ("tree1", 2, 1 / 2, 1, 1), ("tree2", 2, 3 / 4, 1, 1), ("tree3", 2, 7 / 8, 1, 1),
    ("tree4", 2, 15 / 16, 1, 1), ("untied", 2, 7 / 8, 1, 1), ("grouped", 2, 7 / 8, 1, 1),
    ("included", 2, 7 / 8, 1, 1), ("final", 2, 7 / 8, 1, 1), ("fibonacci", 2, 1, None, None),
]


# The gain of a case's region (its call site, the longest) and the
# process's, by cause, in units: imbalanced (thread t (t + 1)U): the mean
# (T + 1)U / 2, the slowest thread T - 1 with TU, an imbalance of
# (T - 1)U / 2; critical (every thread U, in turn): the chain TU, a
# serialisation of (T - 1)U. The runtime's own time is left out, as above.
# (case, team, imbalance, serialisation, the slowest thread or None); the
# body, GCC's outlined function, is named on libgomp and not known on libomp.
GAINS = [("imbalanced", 2, 1 / 2, 0, 1), ("imbalanced", 4, 3 / 2, 0, 3),
         ("critical", 2, 0, 1, None), ("critical", 4, 0, 3, None)]


def gains_missed(process, case, team, spread):
    """What of the case's gains falls out of its closed form (GAINS): each
    within 0.8 to 1.05 of it, as the factors, and a tenth of a unit."""
    _, _, imbalance, serialisation, slowest = next(row for row in GAINS if row[:2] == (case, team))
    site = max(process["call_sites"], key=lambda site: site["time"])
    unit, slack = UNIT_MS * 1000, UNIT_MS * 100 + process["overrun"] * 1000
    checked = [(f"{whose} {cause}", gain[cause], units) for whose, gain in (
        ("site", site["gain"]), ("process", process["gain"])) for cause, units in (
            ("imbalance", imbalance), ("serialisation", serialisation))]
    checked += [("slowest thread's useful", site["slowest_thread"]["useful"], team)] * bool(slowest)
    missed = {name: round(value / unit, 3) for name, value, units in checked if not
              0.8 * spread * units * unit - slack <= value <= 1.05 * units * unit / spread + slack}
    body = f"(anonymous namespace)::{case}() [clone ._omp_fn.0]" if RUNTIME == "libgomp" else None
    if (site.get("body"), slowest and site["slowest_thread"]["thread"]) != (body, slowest):
        missed["body, slowest thread"] = (site.get("body"), site["slowest_thread"]["thread"])
    return missed


# Who kept the others waiting at a case's barrier: in late (thread T - 1 U
# after the others, 3 times) thread T - 1, each time the T - 1 others'
# waits of U. (case, team, the late thread, the instances it came
# last to, the delay it caused in units.)
LATE = [("late", 2, 1, 3, 3), ("late", 4, 3, 3, 9)]


def late_missed(process, case, team, spread):
    """What of the barrier's late one falls out of LATE's: the thread and
    its count exact, of as many instances, and its delay as a gain is, each
    of the T - 1 waits with a tenth of a unit and its overrun."""
    _, _, thread, count, units = next(row for row in LATE if row[:2] == (case, team))
    barrier = max((wait for wait in process["sync"] if wait["kind"] == "barrier"),
                  key=lambda wait: sum(late["delay"] for late in wait["late"]), default=None)
    late = barrier["late"] if barrier else []
    first = late[0] if late else {"thread": None, "count": 0, "delay": 0}
    unit = UNIT_MS * 1000
    slack = (team - 1) * (UNIT_MS * 100 + process["overrun"] * 1000)
    missed = {}
    if (first["thread"], first["count"], sum(each["count"] for each in late)) != (
            thread, count, count):
        missed["late thread, count, instances"] = late
    if not 0.8 * spread * units * unit - slack <= first["delay"] <= (
            1.05 * units * unit / spread + slack):
        missed["late delay"] = round(first["delay"] / unit, 3)
    return missed


# An efficiency is at most 1 by construction: past it by more than the
# clock's rounding is a fault, whatever the case.
ROUNDING = 1e-3


def beyond_one(factors, part="whole"):
    """The efficiencies in FACTORS (and their MPI and OpenMP parts) past 1."""
    beyond = {f"{part} {name}": round(value, 4) for name, value in (factors or {}).items()
              if not isinstance(value, dict) and value is not None and value > 1 + ROUNDING}
    for name in ("mpi", "openmp"):
        if isinstance((factors or {}).get(name), dict):
            beyond.update(beyond_one(factors[name], name))
    return beyond


def factors_run(case, team):
    # libgomp's threads spin while they wait, unless told not to: a team of 4
    # on 2 cores would then take cores from sleepers that have woken, and the
    # spin is the runtime's time, not the case's.
    env = {**os.environ, "OMP_WAIT_POLICY": "passive"}
    run = timeline("--json", "--team", str(team), BUILT["sleep_factors"], case, env=env)
    if run.returncode != 0:
        return None, f"{case} team {team}: exit status {run.returncode}: {run.stderr}"
    overrun = re.search(r"longest overrun: (\d+) us", run.stderr)
    process = reports.loads(run.report)["processes"][0]
    process["overrun"] = int(overrun[1]) / 1000 if overrun else 0
    return process, None


def factors(problems):
    """Each case's factors within 0.8 to 1.05 of its closed form, its
    gains by cause where GAINS gives them, and its late one where LATE does. A loaded
    machine oversleeps, on one thread more than on another: each sum of
    units is then within U / (U + the longest overrun) of the case's, and so
    is each factor, a ratio of two such sums; and a case has three runs to
    come within range, where a fault misses in every one."""
    for case, team, lb, ser, te in FACTORS:
        expected = {"load_balance": lb}
        if ser is not None:
            expected.update({"serialisation_efficiency": ser, "transfer_efficiency": te,
                             "communication_efficiency": ser * te,
                             "parallel_efficiency": lb * ser * te})
        missed = []
        for _ in range(3):
            process, failed = factors_run(case, team)
            if failed:
                problems.append(failed)
                break
            measured = process["model_factors"]
            check(problems, f"{case} team {team}: efficiencies past 1", beyond_one(measured), {})
            spread = UNIT_MS / (UNIT_MS + process["overrun"])
            missed.append({name: round(measured[name] or 0, 3)
                           for name, value in expected.items()
                           if not 0.8 * spread * value <= (measured[name] or 0)
                           <= 1.05 * value / spread})
            if any(row[:2] == (case, team) for row in GAINS):
                missed[-1].update(gains_missed(process, case, team, spread))
            if any(row[:2] == (case, team) for row in LATE):
                missed[-1].update(late_missed(process, case, team, spread))
            if not missed[-1]:
                break
        check(problems, f"{case} team {team}: factors out of 0.8 to 1.05 of "
              + ", ".join(f"{name} {value:.3f}" for name, value in expected.items())
              + ", run by run", missed if missed and missed[-1] else [], [])
    # Waits of each kind, each counted once per thread that made it.
    for team in (2, 4):
        process, failed = factors_run("counts", team)
        if failed:
            problems.append(failed)
            continue
        counted = {}
        for wait in process["sync"]:
            counted[wait["kind"]] = counted.get(wait["kind"], 0) + wait["count"]
        check(problems, f"counts team {team}: waits of each kind", counted,
              {"barrier": 3 * team, "critical": 2 * team, "lock": 5 * team, "ordered": 2 * team,
               "taskwait": 1, "taskgroup": 1, "task": 3})
    loops_counted(problems)


# Each loop of the loops case, by the number of loops in its body and its
# order there: its schedule, the chunk asked for, what runtime resolved to
# under OMP_SCHEDULE=dynamic,3, and the chunks and iterations that its
# threads took, summed (None: any).
LOOP_ITERATIONS = 1001
LOOPS = [
    (1, 0, "dynamic", 1, None, LOOP_ITERATIONS, LOOP_ITERATIONS),
    (3, 0, "dynamic", 4, None, -(-LOOP_ITERATIONS // 4), LOOP_ITERATIONS),
    (3, 1, "guided", None, None, None, LOOP_ITERATIONS),
    (3, 2, "runtime", None, {"schedule": "dynamic", "chunk": 3}, -(-LOOP_ITERATIONS // 3),
     LOOP_ITERATIONS),
]


def loops_counted(problems):
    """Every chunk of the loops case's loops counted, on every thread of
    its team, and the largest said where the time goes."""
    env = {**os.environ, "OMP_SCHEDULE": "dynamic,3"}
    for team in (2, 4):
        run = timeline("--json", "--team", str(team), BUILT["sleep_factors"], "loops", env=env)
        if run.returncode != 0:
            problems.append(f"loops team {team}: exit status {run.returncode}: {run.stderr}")
            continue
        found = {}
        for site in reports.loads(run.report)["processes"][0]["call_sites"]:
            for loop in site.get("loops", []):
                found[(len(site["loops"]), loop["order"])] = loop
        for body_loops, order, schedule, chunk, resolved, chunks, iterations in LOOPS:
            loop = found.get((body_loops, order), {})
            check(problems, f"loops team {team}: loop {order} of {body_loops}",
                  (loop.get("schedule"), chunk and loop.get("chunk"), loop.get("resolved"),
                   chunks and sum(loop.get("chunks", [])), sum(loop.get("iterations", [])),
                   len(loop.get("chunks", []))),
                  (schedule, chunk, resolved, chunks, iterations, team))
    text = timeline("--team", "2", BUILT["sleep_factors"], "loops", env=env).report
    check(problems, "loops: the largest where the time goes", re.search(
        r"dynamic loop in .*loops.*: 1001 chunks of 1, threads 0-1 took \d+ and \d+",
        " ".join(text.split())) is not None, True)


def cores(problems):
    """A team of 2 on the first CPU the tests may use alone is oversubscribed,
    every thread's bodies started there, and says so in one line; on the
    first two it is not, and says nothing."""
    env = {**os.environ, "OMP_WAIT_POLICY": "passive"}
    allowed = sorted(os.sched_getaffinity(0))
    for cpus in [allowed[:1], allowed[:2]][:len(allowed)]:
        case, over = f"a team of 2 on CPUs {cpus}", len(cpus) < 2
        prefix = ("taskset", "-c", ",".join(map(str, cpus)))
        runs = [timeline(*form, "--team", "2", BUILT["sleep_factors"], "balanced", env=env,
                         prefix=prefix) for form in (["--json"], [])]
        if any(run.returncode != 0 for run in runs):
            problems.append(f"{case}: exit status {[run.returncode for run in runs]}")
            continue
        process = reports.loads(runs[0].report)["processes"][0]
        check(problems, f"{case}: allowed, oversubscribed",
              (process.get("cpus_allowed"), process.get("oversubscribed")), (cpus, over))
        check(problems, f"{case}: each thread's CPUs within them",
              [bool(t.get("cpus")) and set(t["cpus"]) <= set(cpus) for t in process["useful"]],
              [True, True])
        said = [line for line in runs[1].report.split("\n") if "oversubscribed" in line]
        check(problems, f"{case}: the text's line", said,
              ["oversubscribed: 2 threads on 1 CPU"] if over else [])


# The model factors of each case of sleep_ranks (see there) under mpirun, U
# its unit of sleep, N the ranks, T the team; every case ends at a barrier, so
# the run measured ends together on every rank. The MPI part counts each
# rank's busiest thread's useful time (LB), the longest rank's own ideal run
# time over the run's (SerE), and the run's ideal run time over the one with
# OpenMP's waits alone zero (TE); the OpenMP part is the whole over the MPI
# part (docs/watch-region.md). MPI's own time (a few ms a wait on a loaded
# machine, whose ranks poll) is left out.
#   balanced    U, an allreduce, U on every rank: everything 1.
#   imbalanced  rank r (r + 1)U; the run lasts NU: LB = (N + 1) / 2N.
#   reduction   rank r (N - r)U: the same.
#   chain       U on each rank in turn: the run, and the chain through the
#               messages, NU; useful U each: SerE = 1 / N.
#   broadcast   U on the root, then U on every other rank: the run and the
#               chain 2U, useful U each: SerE = 1 / 2.
#   posted      the same.
#   ring        U on each rank in turn from rank 0, then U on rank 0 again:
#               the run and the chain (N + 1)U, useful 2U on rank 0 and U on
#               the others: LB = (N + 1) / 2N, SerE = 2 / (N + 1).
#   threads     every rank TU outside MPI, its initial thread inside the
#               region throughout: the MPI part 1; thread i of a rank
#               (i + 1)U: the OpenMP part's LB = (T + 1) / 2T, as the whole's.
#   serialised  every thread U, rank 0's one after another in a critical
#               section: the run TU, useful U on every thread, and rank 0's
#               own chain TU: the MPI part 1, the OpenMP part's SerE 1 / T
#               (counted by the initial thread's time outside MPI, TU on rank
#               0 and U on the others, the MPI part's LB would be
#               (T + N - 1) / NT and the OpenMP part's above 1).
#   exchange    rank r (r + 1)U, an MPI_Sendrecv round the ring, then U:
#               the run 3U, useful 2U and 3U: LB = 5 / 6; one call a rank,
#               its send and its receive each matched.
#   replaced    the same through MPI_Sendrecv_replace.
# With a team of 1 the whole is the MPI part, and the OpenMP part is 1.
# Unmarked (measured from MPI_Init's return, not from MPI_Pcontrol(1), and
# without rank 0's sleep before the mark) the closed forms are the same.
# (case, ranks, team, the MPI part's LB, SerE, TE, the OpenMP part's, the
# run in units); CommE is SerE x TE and PE LB x CommE, in each part and in
# the whole, which is their product. A loaded machine stretches the run
# (sleeps that overrun, ranks that wait for a core to see a message): each
# factor, a ratio of two sums of time, is then allowed the stretch, the run
# in units over the longest interval measured.
MPI_UNIT_MS = 50
MPI_FACTORS = [
    ("balanced", 2, 1, (1, 1, 1), (1, 1, 1), 2), ("balanced", 4, 1, (1, 1, 1), (1, 1, 1), 2),
    ("imbalanced", 2, 1, (3 / 4, 1, 1), (1, 1, 1), 2),
    ("imbalanced", 4, 1, (5 / 8, 1, 1), (1, 1, 1), 4),
    ("reduction", 2, 1, (3 / 4, 1, 1), (1, 1, 1), 2),
    ("reduction", 4, 1, (5 / 8, 1, 1), (1, 1, 1), 4),
    ("chain", 2, 1, (1, 1 / 2, 1), (1, 1, 1), 2), ("chain", 4, 1, (1, 1 / 4, 1), (1, 1, 1), 4),
    ("broadcast", 2, 1, (1, 1 / 2, 1), (1, 1, 1), 2),
    ("broadcast", 4, 1, (1, 1 / 2, 1), (1, 1, 1), 2),
    ("posted", 2, 1, (1, 1 / 2, 1), (1, 1, 1), 2),
    ("ring", 2, 1, (3 / 4, 2 / 3, 1), (1, 1, 1), 3),
    ("ring", 4, 1, (5 / 8, 2 / 5, 1), (1, 1, 1), 5),
    ("threads", 2, 4, (1, 1, 1), (5 / 8, 1, 1), 4), ("threads", 4, 2, (1, 1, 1), (3 / 4, 1, 1), 2),
    ("serialised", 2, 2, (1, 1, 1), (1, 1 / 2, 1), 2),
    ("exchange", 2, 1, (5 / 6, 1, 1), (1, 1, 1), 3),
    ("replaced", 2, 1, (5 / 6, 1, 1), (1, 1, 1), 3),
    ("--unmarked ring", 2, 1, (3 / 4, 2 / 3, 1), (1, 1, 1), 3),
    ("--unmarked threads", 4, 2, (1, 1, 1), (3 / 4, 1, 1), 2),
]


def all_factors(lb, ser, te):
    return {"load_balance": lb, "serialisation_efficiency": ser, "transfer_efficiency": te,
            "communication_efficiency": ser * te, "parallel_efficiency": lb * ser * te}


def mpi_run(case, ranks, team, *options, launcher=None, program="sleep_ranks"):
    """The report of the case run by mpirun (or LAUNCHER, a command that
    takes the count of ranks last) under watch-region, with its ranks (the
    processes that started a team), or why it failed."""
    env = {**os.environ, "OMP_WAIT_POLICY": "passive"}
    launcher = launcher or [BUILT["mpiexec"], "--allow-run-as-root", "--oversubscribe", "-np"]
    run = timeline("--json", "--team", str(team), *options, *launcher, str(ranks),
                   BUILT[program], *case.split(), env=env)
    if run.returncode != 0 or not run.report:
        return None, [], f"{case} at {ranks} ranks: exit status {run.returncode}: {run.stderr}"
    report = reports.loads(run.report)
    return report, [p for p in report["processes"] if p["regions"]], None


def factors_of_case(problems, row, **how):
    """The case of ROW (MPI_FACTORS's) run until its factors, whole and in
    parts, are within 0.8 to 1.05 of their closed forms, three runs at most
    as in factors; and every rank's waits include MPI's. Returns the last
    report."""
    case, ranks, team, mpi_part, openmp_part, units = row
    name = f"{case} at {ranks} ranks, team {team}"
    expected = {"whole": all_factors(*(m * o for m, o in zip(mpi_part, openmp_part))),
                "mpi": all_factors(*mpi_part), "openmp": all_factors(*openmp_part)}
    missed = []
    for _ in range(3):
        report, processes, failed = mpi_run(case, ranks, team, **how)
        if failed:
            problems.append(failed)
            break
        whole = report["model_factors"] or {}
        check(problems, f"{name}: efficiencies past 1", beyond_one(whole), {})
        measured = {"whole": whole, "mpi": whole.get("mpi") or {},
                    "openmp": whole.get("openmp") or {}}
        spread = min(1, units * MPI_UNIT_MS * 1000 / max(
            (p["interval"] or 1 for p in processes), default=1))
        missed.append({f"{part} {factor}": f"{measured[part].get(factor) or 0:.3f}, "
                       f"not {value:.3f}"
                       for part, factors in expected.items()
                       for factor, value in factors.items()
                       if not 0.8 * spread * value <= (measured[part].get(factor) or 0)
                       <= 1.05 * value / spread})
        if not missed[-1]:
            break
    check(problems, f"{name}: factors out of 0.8 to 1.05 of their closed forms, run by run",
          missed if missed and missed[-1] else [], [])
    if report:
        check(problems, f"{name}: ranks reported, those with MPI waits, time in MPI within "
              "the run measured", (len(processes), [
                  any(wait["kind"] == "mpi" for wait in p["sync"])
                  and p["mpi"]["time"] <= p["interval"] for p in processes]),
              (ranks, [True] * ranks))
    return report


def mpi(problems):
    """Each case's factors, whole and in parts, within 0.8 to 1.05 of their
    closed forms; and every rank's waits include MPI's. The first case that
    fails ends the group: a fault that fails one case fails most, each
    after three runs."""
    if "sleep_ranks" not in BUILT:
        print("SKIP: MPI is not installed (openmpi-bin, libopenmpi-dev)")
        sys.exit(SKIPPED)
    for row in MPI_FACTORS:
        factors_of_case(problems, row)
        if problems:
            return
    if not otf2_readable():
        print("otf2-print or OTF2's Python binding is missing (otf2-tools, python3-otf2): "
              "--otf2 is not checked")
        return
    with tempfile.TemporaryDirectory() as work:
        report, processes, failed = mpi_run("chain", 2, 1, "--otf2", work + "/archive")
        definitions = otf2_archive(work + "/archive")[0] if report else {}
        check(problems, "--otf2, 2 ranks: a location group per rank, named by it; the ranks",
              (failed, sorted(line.split('"')[1] for (kind, _), line in definitions.items()
                              if kind == "LOCATION_GROUP" and " rank " in line),
               sorted(p["mpi"]["rank"] for p in processes)),
              (None, sorted(f"sleep_ranks rank {p['mpi']['rank']} ({p['pid']})"
                            for p in processes), [0, 1]))


def mpich(problems):
    """The same for programs built with MPICH, whose handles and statuses
    are not Open MPI's, under its launcher: a hybrid case's factors, whole
    and in parts; the hybrid fixture's sends, receives and collectives in
    its OTF2 archive; and a rank run alone, without the launcher, also
    under the tracer for Open MPI, which must pass its calls on."""
    launcher = [BUILT["mpiexec_mpich"], "-n"]
    factors_of_case(problems, ("threads", 2, 2, (1, 1, 1), (3 / 4, 1, 1), 2),
                    launcher=launcher, program="sleep_ranks_mpich")
    with tempfile.TemporaryDirectory() as work:
        report, _, failed = mpi_run("", 2, 2, "--otf2", work, launcher=launcher,
                                    program="hybrid_mpich")
        check(problems, "hybrid: ranks, the MPI and OpenMP parts of the factors", (failed, sorted(
            p["mpi"]["rank"] for p in (report or {}).get("processes", []) if p.get("mpi")),
            {"mpi", "openmp"} <= set((report or {}).get("model_factors") or {})),
            (None, [0, 1], True))
        if otf2_readable() and report:
            definitions, _, printed = otf2_archive(work)
            check(problems, "hybrid: sends, receives and collectives in their calls",
                  mpi_calls(definitions, printed), {rank: HYBRID_ALL.replace(
                      "{calls}", calls).format(o=1 - rank, w="MPI_COMM_WORLD")
                      for rank, calls in enumerate(HYBRID_MPI)})
    run = timeline("--json", "--team", "2", BUILT["hybrid_mpich"])
    alone = json.loads(run.report)["processes"] if run.report else []
    check(problems, "a rank run alone: its status, output, rank and size",
          (run.returncode, run.stdout.splitlines(), [p.get("mpi", {}).get("size") for p in alone]),
          (0, ["rank 0: 2 threads"], [1]))
    # The tracer built for Open MPI passes MPICH's calls on untouched: the
    # run as without MPI.
    report, processes, failed = mpi_run("", 2, 2, "--tracer", TRACER, launcher=launcher,
                                        program="hybrid_mpich")
    check(problems, "under the tracer for Open MPI: the run, its ranks, their MPI parts",
          (failed, len(processes), [p.get("mpi") for p in processes]), (None, 2, [None, None]))


# Rank 1's monotonic clock set SHIFT seconds from rank 0's, as a node's that
# booted that much earlier would be; with or without a region before
# MPI_Init (without: the run's timeline is its MPI calls alone).
CLOCK_SHIFTS = (("an hour ahead", 3600, "exchange"),
                ("an hour behind, no region", -3600, "--no-region exchange"))
MESSAGE = re.compile(r"(MPI_SEND|MPI_RECV|MPI_IRECV) +\d+ +\d+ +(?:Receiver|Sender): (\d+)")


def messages(definitions, lines):
    """{(sender, receiver): [time, ...]} of the archive's sends and of its
    receives, and each rank's first event's time, the ranks as
    MPI_COMM_WORLD numbers them."""
    ranks = {key[1]: int(re.search(r'Group: "\S+ rank (\d+)', line)[1])
             for key, line in definitions.items() if key[0] == "LOCATION" and " rank " in line}
    sent, got, first = collections.defaultdict(list), collections.defaultdict(list), {}
    for fields, found in ((line.split(), MESSAGE.match(line)) for line in lines):
        if len(fields) > 2 and fields[1] in ranks and fields[2].isdigit():
            rank, time_ = ranks[fields[1]], int(fields[2])
            first.setdefault(rank, time_)
            if found and found[1] == "MPI_SEND":
                sent[(rank, int(found[2]))].append(time_)
            elif found:
                got[(int(found[2]), rank)].append(time_)
    return sent, got, first


def clocks(problems):
    """Two ranks an hour apart on their monotonic clocks (rank 1 in a time
    namespace of its own): rank 1's offset measured as the hour; in the
    OTF2 archive every receive after its send, within the uncertainty, and
    the ranks' first events within a second; in the Trace Event file the
    ranks' first slices within a second, an MPI call named by its function."""
    shifted = ["unshare", "--time", "--fork", "--monotonic"]
    if "sleep_ranks" not in BUILT:
        print("SKIP: MPI is not installed (openmpi-bin, libopenmpi-dev)")
        sys.exit(SKIPPED)
    for name, shift, case in CLOCK_SHIFTS:
        tried = subprocess.run([*shifted, str(shift), "true"], capture_output=True, text=True,
                               check=False)
        if tried.returncode != 0:
            print(f"SKIP: no time namespace {name} (unshare --time: Linux 5.6, root): "
                  f"{tried.stderr.strip()}")
            sys.exit(SKIPPED)
        with tempfile.TemporaryDirectory() as work:
            archive = ["--otf2", os.path.join(work, "archive")] if otf2_readable() else []
            run = timeline("--json", "--team", "1", "--trace", os.path.join(work, "t.json"),
                           *archive, BUILT["mpiexec"], "--allow-run-as-root", "--oversubscribe",
                           "-np", "1", BUILT["sleep_ranks"], *case.split(), ":", "-np", "1",
                           *shifted, str(shift), BUILT["sleep_ranks"], *case.split(),
                           env={**os.environ, "OMP_WAIT_POLICY": "passive"})
            if run.returncode != 0 or not run.report:
                problems.append(f"{name}: exit status {run.returncode}: {run.stderr}")
                continue
            ranks = {p["mpi"]["rank"]: p for p in reports.loads(run.report)["processes"]
                     if p.get("mpi")}
            pids, clock = [p["pid"] for p in ranks.values()], ranks.get(1, {}).get("mpi", {})
            clock = clock.get("clock") or {}
            check(problems, f"{name}: rank 1's offset within its uncertainty of the shift",
                  abs(clock.get("offset", 0) + shift * 1e6) <= clock.get("uncertainty", 0) + 5,
                  True)
            with open(os.path.join(work, "t.json"), encoding="utf-8") as file:
                slices = [e for e in json.load(file)["traceEvents"] if e.get("ph") == "X"]
            first = [min(e["ts"] for e in slices if e["pid"] == pid) for pid in pids]
            check(problems, f"{name}: the Trace Event file's ranks' first slices; MPI_Sendrecv's",
                  (max(first) - min(first) < 1e6, sorted(
                      e["pid"] for e in slices if e["name"] == "MPI_Sendrecv")),
                  (True, sorted(pids)))
            if archive:
                sent, got, first = messages(*otf2_archive(archive[1])[::2])
                late = [(pair, times) for pair, times in got.items() for out, back in zip(
                    sent[pair], times) if back < out - clock.get("uncertainty", 0) * 1000]
                check(problems, f"{name}: the archive's messages each way, none received before "
                      "sent; its ranks' first events a second apart",
                      (sorted(got), late, abs(first.get(0, 0) - first.get(1, 0)) < 10**9),
                      ([(0, 1), (1, 0)], [], True))


def main():
    problems = []
    {"teams": teams, "body_time": body_time, "unchanged": unchanged, "files": files,
     "other_runtime": other_runtime, "scaling": scaling, "every_entry": every_entry,
     "many_regions": many_regions, "late_runtime": late_runtime, "own_programs": own_programs,
     "terminal": terminal, "trust": trust, "factors": factors, "cores": cores, "mpi": mpi,
     "mpich": mpich, "otf2": otf2, "clocks": clocks, "kept_apart": kept_apart}[GROUP](problems)
    for problem in problems[:30]:
        print("FAIL:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
