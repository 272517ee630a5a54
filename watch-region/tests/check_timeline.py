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
  files       --trace and --svg write what they say, and an unwritable path
              is one line on standard error, with the program's output still
              reported; --tracer names the library preloaded
  other_runtime  the fixture built by the other compiler, for the other
              runtime, is timed by the same tracer

usage: check_timeline.py GROUP WATCH_REGION TRACER RUNTIME NAME=PATH...
  TRACER   the tracer the build made, which watch-region finds by itself
  RUNTIME  libgomp or libomp: the build's OpenMP runtime
"""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import xml.etree.ElementTree

SKIPPED = 77
GROUP, WATCH_REGION, TRACER, RUNTIME = sys.argv[1:5]
BUILT = dict(argument.split("=", 1) for argument in sys.argv[5:])
FIXTURE_SOURCE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures",
                              "sleeping_body.cpp")


def check(problems, what, actual, expected):
    if actual != expected:
        problems.append(f"{what}: {actual!r}, expected {expected!r}")


def timeline(*arguments, env=None):
    command = [WATCH_REGION, "--timeline", *arguments]
    return subprocess.run(command, capture_output=True, text=True, check=False, env=env,
                          timeout=120)


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
                seen = json.loads(run.stdout)
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
                check(problems, f"{case}: the phases end at the launch's return",
                      round(phases["load to launch"] + phases["fork"] + phases["work"]
                            + phases["join"], 3),
                      round(seen["launch_return"], 3))
                with open(trace_path, encoding="utf-8") as trace_file:
                    trace = json.load(trace_file)["traceEvents"]
                check(problems, f"{case}: named tracks",
                      sorted((e["tid"], e["args"]["name"]) for e in trace if e["ph"] == "M"),
                      [(n, f"thread {n}") for n in range(team)])
                check(problems, f"{case}: one body on each track",
                      sorted(e["tid"] for e in trace if e["ph"] == "X" and e["name"] == "body"),
                      list(range(team)))


def body_time(problems, fixture=None):
    """Each body of the fixture sleeps 20 ms: a start or end recorded on the
    wrong side of the body would bring them together."""
    for team in (1, 3):
        run = timeline("--json", "--team", str(team), fixture or BUILT["sleeping_body"])
        threads = json.loads(run.stdout)["threads"] if run.returncode == 0 else []
        check(problems, f"team {team}: bodies of at least 20 ms",
              [(t["thread"], t["body_end"] - t["body_start"] >= 20000) for t in threads],
              [(n, True) for n in range(team)])


def unchanged(problems):
    traced = {**os.environ, "LD_PRELOAD": TRACER}
    with tempfile.TemporaryDirectory() as work:
        traced["WATCH_REGION_TRACE"] = os.path.join(work, "trace")
        for program, team, stdout in [("parallel_sum", 8, subprocess.PIPE),
                                      ("parallel_hello", 8, subprocess.PIPE),
                                      ("parallel_sum", 3, "/dev/full"),
                                      ("parallel_hello", 3, "/dev/full")]:
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
            check(problems, f"{option} unwritable: the program's output reported",
                  "  Sum of array: 5050\n" in run.stdout, True)
        missing = os.path.join(work, "none.so")
        run = timeline("--tracer", missing, BUILT["parallel_sum"])
        check(problems, "--tracer missing", (run.returncode, run.stderr),
              (125, f"watch-region: no region tracer at {missing}\n"))
        run = timeline("--json", "--team", "2", "--tracer", TRACER, BUILT["parallel_sum"])
        check(problems, "--tracer named: threads timed",
              run.returncode == 0 and len(json.loads(run.stdout)["threads"]), 2)


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


def main():
    problems = []
    {"teams": teams, "body_time": body_time, "unchanged": unchanged, "files": files,
     "other_runtime": other_runtime}[GROUP](problems)
    for problem in problems[:30]:
        print("FAIL:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
