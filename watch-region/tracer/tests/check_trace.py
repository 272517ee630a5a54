"""Has tracer_tests write a trace (trace_read_back) and reads it back with
the tool's reader: the sites, their phases, the events and the CPUs as
written.

usage: check_trace.py TRACER_TESTS TRACE
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
from watch_region.timeline.trace import read_trace  # noqa: E402

program, path = sys.argv[1:]
subprocess.run([program, "trace_read_back", path], check=True)
trace = read_trace(path)
failures = []


def expect(what, got, expected):
    if got != expected:
        failures.append(f"{what}: {got!r}, not {expected!r}")


sites = {site.launches: site for site in trace.sites}
expect("sites' launches", sorted(sites), [2, 3])
launched, given = sites.get(3), sites.get(2)
if launched and given:
    expect("team sizes", (launched.teams, given.teams), ({2: 3}, {3: 1, 5: 1}))
    expect("a site's object", launched.object, os.path.realpath(program))
    for phase, stats in launched.phases.items():
        expect(f"{phase} in order", stats["min"] <= stats["median"] <= stats["max"], True)
        expect(f"{phase}'s error", stats["median_error"], 0)
    # total, min, max, median, error
    expect("given phases", {phase: tuple(stats.values()) for phase, stats in given.phases.items()},
           {"fork": (24, 10, 14, 12, 0), "work": (460, 200, 260, 230, 0),
            "imbalance": (6300, 3000, 3300, 3150, 0), "join": (80008, 40000, 40008, 40004, 0)})
    # Ideal 150 + 90 ns; largest useful 100 + 60, mean 50 + 40; the body
    # given once, tracer_tests' own site_a, for the launches that name none.
    expect("sums for the gain", (given.ideal, given.most_useful, given.mean_useful),
           (0.24, 0.16, 0.09))
    expect("the body", given.body and given.body[0] == launched.address, True)
    expect("no body", launched.body, None)
kept = [(event.name, event.region, event.thread) for event in trace.events()
        if event.name in ("launch", "body_start", "body_end", "launch_return")]
expect("regions' events", kept,
       [(name, region, thread) for region in (1, 2, 3)
        for name, thread in (("launch", 1), ("body_start", 0), ("body_end", 0), ("body_start", 1),
                             ("body_end", 1), ("launch_return", -1))])
# Given at 123,456,789 ns (the other thread's a ns later), and times read as
# µs from the tracer's load.
expect("the events given", [
    event._replace(time=round(event.time * 1000 + trace.start), tid=event.tid == trace.pid)
    for event in trace.events() if event.name == "create_call"],
       [("create_call", 123456789, True, 3, 7, 9, 5),
        ("create_call", 123456790, False, 4, 8, 10, 6)])
# A whole wait, and a task's body as its begin and end: each read as both.
lock, task = (trace.wait_names.index(kind) for kind in ("lock", "task"))
expect("a wait and a task's body", [
    (event.name, round(event.time * 1000 + trace.start), event.thread, event.region, event.link,
     event.site) for event in trace.events() if event.name.startswith(("wait", "task"))],
       [("wait_begin", 200000000, -1, 7, 9, lock), ("wait_end", 200000500, -1, 7, 9, lock),
        ("task_begin", 300000000, -1, 7, 11, task),
        ("task_end", 300000000 + 2**31, -1, 7, 11, task)])
# The CPUs the process may use, as this one may; a thread's given ones
# (tracer_tests), the main thread's, where its launches ran, left aside.
expect("CPUs allowed", trace.cpus_allowed, sorted(os.sched_getaffinity(0)))
given = [(used.cpus, used.migrations) for used in trace.useful if not used.initial and used.cpus]
expect("a thread's CPUs and moves", given, [([5, 70], 3)])
expect("regions", trace.regions, 3)
expect("slowest's events", len(trace.slowest), 6)
if failures:
    sys.exit("\n".join(failures))
