"""Watches one run of a program with the build's watch-region (its gdb mode)
and checks its parallel region against the fork-join design: one launch at the runtime's
default team size, every team thread running the body once after asking for
the team size and then its own number, and, in parallel_sum, one atomic
addition per thread of exactly the sum of its block of the static split.

usage: check_region.py WATCH_REGION PROGRAM TEAM BINARY
Exits 77 (skipped) when gdb is not installed.
"""

import os
import shutil
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir,
                                "watch-region", "tests"))
import report_schema  # noqa: E402  pylint: disable=wrong-import-position

SKIPPED = 77
SIZE = 100


def static_blocks(team):
    """The indices each thread owns: consecutive blocks in thread order, the
    first SIZE % team of them one index longer than the others."""
    blocks, start = [], 0
    for thread in range(team):
        length = SIZE // team + (1 if thread < SIZE % team else 0)
        blocks.append(range(start, start + length))
        start += length
    assert start == SIZE
    return blocks


def main():
    watch_region, program, team, binary = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4]
    if shutil.which("gdb") is None:
        print("SKIP: gdb is not installed, so the region cannot be watched")
        return SKIPPED
    with tempfile.NamedTemporaryFile("r", encoding="utf-8") as report:
        run = subprocess.run([watch_region, "--json", "-o", report.name, "--team", str(team),
                              binary], capture_output=True, text=True, check=False)
        if run.returncode != 0:
            print(f"FAIL: watch-region exited {run.returncode}:\n{run.stderr}")
            return 1
        try:
            report = report_schema.loads(report.read())
        except report_schema.SchemaError as error:
            print(f"FAIL: the JSON report: {error}")
            return 1
    seen = report["processes"][0]
    problems = []

    def expect(what, actual, expected):
        if actual != expected:
            problems.append(f"{what}: {actual!r}, expected {expected!r}")

    expect("exit status", report["exit_status"], 0)
    expect("launches", [(launch["entry"], launch["num_threads"], launch["flags"],
                         launch["data"] is not None)
                        for site in seen["call_sites"] for launch in site["launched"]],
           [("GOMP_parallel", 0, 0, program == "parallel_sum")])
    threads = seen["threads"]
    expect("thread numbers", [t["thread"] for t in threads], list(range(team)))
    blocks = static_blocks(team)
    for thread in threads:
        name = f"thread {thread['thread']}"
        expect(f"{name}: team size told", thread["team_size"], team)
        expect(f"{name}: team queries", thread["queries"],
               ["omp_get_num_threads", "omp_get_thread_num"])
        expect(f"{name}: body runs", thread["body_runs"], 1)
        if program == "parallel_sum" and thread["thread"] in range(team):
            block_sum = sum(index + 1 for index in blocks[thread["thread"]])
            expect(f"{name}: atomic additions", thread["atomic_additions"], [block_sum])
        else:
            expect(f"{name}: atomic additions", thread["atomic_additions"], [])
    if program == "parallel_sum":
        expect("shared total after the join", seen["total_after_join"], SIZE * (SIZE + 1) // 2)

    for problem in problems[:20]:
        print("FAIL:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
