"""Checks `watch-region --compare` and its gate on runs of one fixture
source built twice (compare_regions.cpp), the second with every region
twice as slow and its addresses moved: one build run twice is not slower
by 50% (which a sleep of 50 ms or more overruns on no machine however
busy), the slower build (the run 80% slower, its regions twice as slow)
fails the gate at 30% with status 1 and names each slower region and the
run, a region only
in one build is new or gone, and a report that cannot be read is status 2
with its name. Each JSON comparison is checked against the schema shipped
with the tool. Each run's report says what it ran on: the build's runtime
with its build id, the settings given (a variable of libgomp's in one run,
told as the one difference), the CPUs.

usage: check_compare.py WATCH_REGION RUNTIME BASE_PROGRAM SLOWER_PROGRAM
  RUNTIME  libgomp or libomp: the build's OpenMP runtime
"""

import os
import re
import subprocess
import sys
import tempfile

import report_schema as reports

WATCH_REGION, RUNTIME, BASE, SLOWER = sys.argv[1:5]
# The settings every run is given: the caller's, and the team's.
SETTINGS = {**{name: value for name, value in os.environ.items()
               if name.startswith(("OMP_", "GOMP_", "KMP_"))}, "OMP_NUM_THREADS": "2"}
FIRST, SECOND = "first_phase", "second_phase"


def check(problems, what, actual, expected):
    if actual != expected:
        problems.append(f"{what}: {actual!r}, expected {expected!r}")


def traced(problems, program, path, **settings):
    """A --timeline --json report of PROGRAM at a team of 2, in PATH, with
    SETTINGS added to the environment; what it ran on checked."""
    run = subprocess.run([WATCH_REGION, "--timeline", "--team", "2", "--json", "-o", path,
                          program], capture_output=True, text=True, check=False, timeout=120,
                         env={**os.environ, **settings})
    if run.returncode != 0:
        problems.append(f"{program}: status {run.returncode}: {run.stderr}")
        return
    with open(path, encoding="utf-8") as file:
        said = reports.loads(file.read())
    host = said.get("host", {})
    check(problems, f"{program}: its runtime, the settings, the CPUs and the command", (
        [(each["runtime"]["name"], re.fullmatch("[0-9a-f]{40}", each["runtime"]["build_id"] or "")
          is not None) for each in said["processes"]], said.get("environment"),
        len(host.get("cpus_online") or ()), host.get("cpus_allowed"), host.get("command")),
          ([(RUNTIME, True)], {**SETTINGS, **settings}, os.cpu_count(),
           sorted(os.sched_getaffinity(0)), [program]))


def compare(*arguments):
    """--compare's status, its JSON comparison (checked) and its standard error."""
    run = subprocess.run([WATCH_REGION, "--compare", *arguments, "--json"], capture_output=True,
                         text=True, check=False, timeout=60)
    said = reports.loads(run.stdout, reports.COMPARISON) if run.returncode != 2 else {}
    return run.returncode, said, run.stderr


def function(name):
    """The function a region's NAME (a body or a call site's function) is
    in: first_phase for (anonymous namespace)::first_phase() [clone
    ._omp_fn.0]."""
    return "the run" if name == "the run" else re.search(r"(\w+)(?:\(|\._omp_fn|$)", name)[1]


def named(said, presence):
    """The functions of the regions that SAID lists with PRESENCE."""
    return sorted(function(row["region"]) for row in said.get("regions", ())
                  if row["presence"] == presence)


def main():
    problems = []
    with tempfile.TemporaryDirectory() as work:
        base, again, slower, garbage = (os.path.join(work, name) for name in (
            "base.json", "again.json", "slower.json", "garbage.json"))
        traced(problems, BASE, base)
        traced(problems, BASE, again, GOMP_SPINCOUNT="10000")
        traced(problems, SLOWER, slower)
        with open(garbage, "w", encoding="utf-8") as file:
            file.write("{not json")
        missing = os.path.join(work, "missing.json")
        # (case, BASE.json, NEW.json, the gate's PCT, status, what fails the gate, the
        # regions in both, the new, the gone)
        cases = [
            ("one build run twice", base, again, "50", 0, [],
             [FIRST, "in_base", SECOND], [], []),
            ("every region twice as slow", base, slower, "30", 1,
             ["the run", FIRST, SECOND], [FIRST, SECOND], ["in_slower"], ["in_base"]),
            ("faster is no failure", slower, base, "50", 0, [],
             [FIRST, SECOND], ["in_base"], ["in_slower"]),
        ]
        for case, old, new, percent, status, failing, both, added, gone in cases:
            code, said, error = compare(old, new, "--fail-if-slower", percent)
            check(problems, f"{case}: what differs", said.get("differences"), [
                {"what": "GOMP_SPINCOUNT", "base": None, "new": "10000"}] if new == again else [])
            check(problems, f"{case}: status, standard error", (code, error), (status, ""))
            check(problems, f"{case}: what fails the gate",
                  sorted(function(each) for each in said.get("slower", ())), sorted(failing))
            check(problems, f"{case}: regions in both, new, gone",
                  (named(said, "both"), named(said, "new"), named(said, "gone")),
                  (sorted(both), added, gone))
        for case, old, new, message in (
                ("a report not there", missing, base, f"{missing}: No such file or directory"),
                ("a report not JSON", base, garbage,
                 f"{garbage}: not a JSON report (watch-region --json)")):
            code, _, error = compare(old, new, "--fail-if-slower", "50")
            check(problems, f"{case}: status and message", (code, error),
                  (2, f"watch-region: {message}\n"))
    for problem in problems[:30]:
        print("FAIL:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
