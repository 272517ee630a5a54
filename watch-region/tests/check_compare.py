"""Checks --compare and its gate on runs of compare_regions.cpp built twice,
the second with its regions twice as slow, and what each run says it ran
on (its runtime and build id, the settings given, the CPUs, the command).

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
SETTINGS = {name: value for name, value in os.environ.items()
            if name.startswith(("OMP_", "GOMP_", "KMP_"))}


def check(problems, what, actual, expected):
    if actual != expected:
        problems.append(f"{what}: {actual!r}, expected {expected!r}")


def traced(problems, program, path, **settings):
    """PROGRAM's --timeline --json report at a team of 2 in PATH, with
    SETTINGS added to its environment; what it ran on checked."""
    subprocess.run([WATCH_REGION, "--timeline", "--team", "2", "--json", "-o", path, program],
                   capture_output=True, check=False, timeout=120, env={**os.environ, **settings})
    with open(path, encoding="utf-8") as file:
        said = reports.loads(file.read())
    host = said.get("host", {})
    check(problems, f"{program}: its runtime, the settings, the CPUs and the command", (
        [(each["runtime"]["name"], len(each["runtime"]["build_id"] or ""))
         for each in said.get("processes", ())], said.get("environment"),
        len(host.get("cpus_online") or ()), host.get("cpus_allowed"), host.get("command")),
          ([(RUNTIME, 40)], {**SETTINGS, "OMP_NUM_THREADS": "2", **settings}, os.cpu_count(),
           sorted(os.sched_getaffinity(0)), [program]))


def function(name):
    """first_phase, of (anonymous namespace)::first_phase() [clone ._omp_fn.0]."""
    return name if name == "the run" else re.search(r"(\w+)(?:\(|\._omp_fn|$)", name)[1]


def main():
    problems = []
    with tempfile.TemporaryDirectory() as work:
        base, again, slower, garbage, missing = (os.path.join(work, name) for name in (
            "base.json", "again.json", "slower.json", "garbage.json", "missing.json"))
        traced(problems, BASE, base)
        traced(problems, BASE, again, GOMP_SPINCOUNT="10000")
        traced(problems, SLOWER, slower)
        with open(garbage, "w", encoding="utf-8") as file:
            file.write("{not json")
        # (case, BASE.json, NEW.json, PCT) -> (status, standard error, what differs, what
        # fails the gate, the regions in both, the new ones, the gone). A sleep of 50 ms or
        # more overruns by less than 50% on a busy machine; the slower run is 80% slower.
        for case, old, new, percent, expected in [
                ("one build run twice", base, again, "50",
                 (0, "", [("GOMP_SPINCOUNT", None, "10000")], [],
                  ["first_phase", "in_base", "second_phase"], [], [])),
                ("every region twice as slow", base, slower, "30",
                 (1, "", [], ["first_phase", "second_phase", "the run"],
                  ["first_phase", "second_phase"], ["in_slower"], ["in_base"])),
                ("a report not there", missing, base, "50",
                 (2, f"watch-region: {missing}: No such file or directory\n")),
                ("a report not JSON", base, garbage, "50",
                 (2, f"watch-region: {garbage}: not a JSON report (watch-region --json)\n"))]:
            run = subprocess.run([WATCH_REGION, "--compare", old, new, "--fail-if-slower",
                                  percent, "--json"], capture_output=True, text=True,
                                 check=False, timeout=60)
            said = reports.loads(run.stdout, reports.COMPARISON) if run.returncode != 2 else {}
            regions = [[function(row["region"]) for row in said.get("regions", ())
                        if row["presence"] == presence] for presence in ("both", "new", "gone")]
            check(problems, case, (run.returncode, run.stderr, *([
                [tuple(each.values()) for each in said["differences"]],
                sorted(map(function, said["slower"])), *map(sorted, regions)] if said else [])),
                  expected)
    for problem in problems[:30]:
        print("FAIL:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
