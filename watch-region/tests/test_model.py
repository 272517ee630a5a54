"""The trace reader and the model of a process, on small recorded traces
(traces/, times in nanoseconds): what the regions, their threads and
phases, and the run as a whole come to, in microseconds from the tracer's
load.

usage: test_model.py TRACES
"""

import copy
import dataclasses
import glob
import os
import sys
import tempfile
import unittest
import unittest.mock

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import report_schema  # noqa: E402
from watch_region.outputs import Findings, json_report  # noqa: E402
from watch_region.outputs.gains import where_lines  # noqa: E402
from watch_region.outputs.gdb_table import table_text  # noqa: E402
from watch_region.report import CallSite, Report, TracedProcess, WatchedProcess  # noqa: E402
from watch_region.outputs.otf2_stretches import process_events  # noqa: E402
from watch_region.outputs.text import site_table, timeline_text  # noqa: E402
from watch_region.symbols import name_sites, short_names  # noqa: E402
from watch_region.timeline.clock import Clock, Offset, align  # noqa: E402
from watch_region.timeline.efficiency import FACTOR_KEYS  # noqa: E402
from watch_region.timeline.model import process_model  # noqa: E402
from watch_region.timeline.repeat import merge_findings, merged  # noqa: E402
from watch_region.timeline.run import read_traces  # noqa: E402
from watch_region.timeline.scaling import karp_flatt, scaling_sites  # noqa: E402
from watch_region.timeline.trace import Event, TraceError, read_trace  # noqa: E402
from watch_region.timeline.trace_table import merged_spans  # noqa: E402

SECOND = 10**9
TRACES = sys.argv.pop(1) if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "traces")

# (trace, region asked for, region shown with (number, level, parent), its
# threads as (thread, kernel thread, created by, body start, body end,
# joined), its phases, and the run: regions launched, in and outside them,
# events lost and from when)
MODELS = [
    ("libgomp_team_2.trace", None, (1, 1, None),
     [(0, 500, None, 120, 121, 130), (1, 501, "thread 0", 100, 105, None)],
     {"fork": 110, "work": 1, "join": 9, "imbalance": 4}, (1, 120, 40, 0, None)),
    # The same region kept apart as the slowest, thread 1's body before the launch.
    ("late_launch.trace", None, (1, 1, None),
     [(0, 500, None, 120, 121, 130), (1, 501, "thread 0", 100, 105, None)],
     {"fork": 110, "work": 1, "join": 9, "imbalance": 4}, (1, 120, 40, 0, None)),
    # The same again, the table full before the bodies: only its launch kept there.
    ("cut_short.trace", None, (1, 1, None),
     [(0, 500, None, 120, 121, 130), (1, 501, "thread 0", 100, 105, None)],
     {"fork": 110, "work": 1, "join": 9, "imbalance": 4}, (1, 120, 40, 5, 70)),
    # Region 2 runs inside region 1's thread 1; region 3, the slowest, is
    # known only from the slowest region's own events, the table having
    # filled from 50 µs on.
    ("nested_lost.trace", 2, (2, 2, 1),
     [(0, 701, None, 14, 17, 18), (1, 702, None, 15, 16, None)],
     {"fork": 2, "work": 2, "join": 1, "imbalance": 2}, (3, 62, 138, 7, 50)),
    ("nested_lost.trace", None, (3, 1, None), [(0, 700, None, 101, 150, 151)],
     {"fork": 1, "work": 49, "join": 1, "imbalance": 0}, (3, 62, 138, 7, 50)),
]

# (trace, what the error says)
REFUSED = [
    ("old_version.trace", "^a trace of format 1; this watch-region reads formats 4 to 10$"),
    ("short_line.trace", "^line 6 is not a line of a trace"),
    ("short_table.trace", "^truncated: its table holds 10 bytes, not 2 records of 40$"),
    ("no_such.trace", "^No such file or directory$"),
]

# A folder of traces as --merge finds it: (file, how it is made from
# libgomp_team_2.trace, why it is not read, or None for the one process).
FOLDER = [
    ("500.trace", lambda data: data, None),
    ("500-again.trace", lambda data: data, "a duplicate of 500.trace"),
    ("501.trace", lambda data: data[:300], "truncated: it ends before its table of events"),
    ("502.trace", lambda data: data.replace(b"table 0 40\n", b"table 1 40\n"),
     "truncated: its table holds 0 bytes, not 1 records of 40"),
    ("notes.trace", lambda data: b"shopping list\n", "not a trace"),
    ("empty.trace", lambda data: b"", "not a trace"),
]

# Waits past a thread's sites added to libgomp_team_2.trace: counted at
# their region's call site (3), the late ones with the line before; the
# text's lines of them.
OTHER_WAITS = (b"waits barrier critical ordered lock taskwait taskgroup single task mpi\n"
               b"wait 8 0x10 0x0 3 2 30000 15000 0 20000 MPI_Send object /nonexistent/program\n"
               b"other_waits 8 3 4 40000 10000 0 10000 MPI_Alltoall\nmpi 0 2\n"
               b"other_waits 8 -2 1 5000 5000 0 5000 -\nother_waits 0 3 2 6000 3000 0 3000 -\n"
               b"late 1:2:5000,other:1:700\n")
OTHER_LINES = ["  barrier at (other sites): thread 1 arrived last 2 times of 3; the others waited "
               "5.0 µs for it",
               "  waits at other sites, count (total):  mpi 5 (45.0 µs)  barrier 2 (6.0 µs)",
               "  MPI calls (0 logged), count (total):  MPI_Alltoall 4 (40.0 µs)",
               "  MPI_Send 2 (30.0 µs)  (other calls) 1 (5.0 µs)"]

# MPI runs of ranks made up in µs: a rank is (interval, time in MPI, its
# threads' (useful, ideal), its calls (op, peer, tag, entry, exit, ideal)),
# a number or (whole run, marked). Then the whole's, MPI part's and OpenMP
# part's (PE, LB, CommE, SerE, TE), and messages/unmatched/collectives.
R = None  # no root
RUNS = [
    ("chain: each rank waits for the last", [
        (30, 20, [(10, 10)], [("MPI_Send", 1, 5, 10, 10, 10),
                              ("MPI_Finalize", R, -1, 10, 30, 10)]),
        (30, 20, [(10, 10)], [("MPI_Recv", 0, 5, 0, 10, 0), ("MPI_Send", 2, 5, 20, 20, 10),
                              ("MPI_Finalize", R, -1, 20, 30, 10)]),
        (30, 20, [(10, 10)], [("MPI_Recv", 1, 5, 0, 20, 0), ("MPI_Finalize", R, -1, 30, 30, 10)])],
     (1 / 3, 1, 1 / 3, 1 / 3, 1), (1 / 3, 1, 1 / 3, 1 / 3, 1), (1, 1, 1, 1, 1), (2, 0, 1)),
    ("imbalanced pair, marked from MPI_Init to MPI_Finalize", [
        ((36, 30), (6, 0), [(30, 30)], [("MPI_Init", R, -1, 0, 5, 0),
                                        ("MPI_Finalize", R, -1, 35, 36, 30)]),
        ((36, 10), (24, 0), [((12, 10), (12, 10))],
         [("MPI_Init", R, -1, 2, 5, (2, 0)), ("MPI_Finalize", R, -1, 15, 36, (12, 10))])],
     (2 / 3, 2 / 3, 1, 1, 1), (2 / 3, 2 / 3, 1, 1, 1), (1, 1, 1, 1, 1), (0, 0, 2)),
    ("broadcast after the root's work; a late leaf does not hold the root", [
        (30, 0, [(30, 30)], [("MPI_Bcast", 0, -1, 20, 20, 20)]),
        (30, 20, [(10, 10)], [("MPI_Bcast", 0, -1, 0, 20, 0)]),
        (25, 0, [(25, 25)], [("MPI_Bcast", 0, -1, 25, 25, 25)])],
     (13 / 18, 13 / 18, 1, 1, 1), (13 / 18, 13 / 18, 1, 1, 1), (1, 1, 1, 1, 1), (0, 0, 1)),
    ("a ring of probes and receives of any tag", [
        (20, 0, [(20, 20)], [("MPI_Send", 1, 1, 10, 10, 10), ("MPI_Probe", 2, 3, 10, 10, 10),
                             ("MPI_Recv", 2, 3, 10, 10, 10)]),
        (20, 10, [(10, 10)], [("MPI_Send", 2, 2, 0, 0, 0), ("MPI_Probe", 0, 1, 0, 10, 0),
                              ("MPI_Recv", 0, 1, 10, 10, 0)]),
        (10, 0, [(10, 10)], [("MPI_Send", 0, 3, 0, 0, 0), ("MPI_Probe", 1, 2, 0, 0, 0),
                             ("MPI_Recv", 1, 2, 0, 0, 0)])],
     (2 / 3, 2 / 3, 1, 1, 1), (2 / 3, 2 / 3, 1, 1, 1), (1, 1, 1, 1, 1), (3, 0, 0)),
    ("hybrid pair, the second's threads imbalanced", [
        (30, 0, [(30, 30), (30, 30)], [("MPI_Finalize", R, -1, 30, 30, 30)]),
        (30, 20, [(10, 10), (2, 2)], [("MPI_Finalize", R, -1, 10, 30, 10)])],
     (0.6, 0.6, 1, 1, 1), (2 / 3, 2 / 3, 1, 1, 1), (0.9, 0.9, 1, 1, 1), (0, 0, 1)),
    # Each rank's busiest thread, not its initial thread's time outside MPI
    # (20 and 10 here, which would make the MPI part's LB 3/4 and the
    # OpenMP part's 4/3).
    ("hybrid pair, the first's threads serialised", [
        (20, 0, [(10, 20), (10, 20)], [("MPI_Finalize", R, -1, 20, 20, 20)]),
        (20, 10, [(10, 10), (10, 10)], [("MPI_Finalize", R, -1, 10, 20, 10)])],
     (0.5, 1, 0.5, 0.5, 1), (1, 1, 1, 1, 1), (0.5, 1, 0.5, 0.5, 1), (0, 0, 1)),
    ("MPI_Sendrecv both ways, logged as its two halves: one call, each half matched", [
        (30, 10, [(20, 20)], [("MPI_Sendrecv:send", 1, 5, 10, 20, 10),
                              ("MPI_Sendrecv:recv", 1, 5, 10, 20, 10),
                              ("MPI_Finalize", R, -1, 30, 30, 20)]),
        (30, 0, [(30, 30)], [("MPI_Sendrecv:send", 0, 5, 20, 20, 20),
                             ("MPI_Sendrecv:recv", 0, 5, 20, 20, 20),
                             ("MPI_Finalize", R, -1, 30, 30, 30)])],
     (5 / 6, 5 / 6, 1, 1, 1), (5 / 6, 5 / 6, 1, 1, 1), (1, 1, 1, 1, 1), (2, 0, 1)),
]
# One thread's stretches outside any region as (event, µs, site), and
# those an OTF2 archive gets, as (event, ns): only whole, nested pairs.
STRETCHES = [
    ("a wait left open inside another", [("wait_begin", 1, 1), ("wait_begin", 2, 2),
                                         ("wait_end", 3, 1)], [("wait_begin", 1), ("wait_end", 3)]),
    ("a wait never ended", [("wait_begin", 1, 1), ("create_call", 2, 9), ("create_return", 3, 9)],
     [("create_call", 2), ("create_return", 3)]),
    ("an end never begun", [("task_end", 1, 1), ("task_begin", 2, 2), ("task_end", 3, 2)],
     [("task_begin", 2), ("task_end", 3)]),
    ("a task inside a wait", [("wait_begin", 1, 1), ("task_begin", 2, 2), ("task_end", 3, 2),
                              ("wait_end", 4, 1)],
     [("wait_begin", 1), ("task_begin", 2), ("task_end", 3), ("wait_end", 4)]),
]
# An efficiency past 1 by more than rounding is a fault.
ROUNDING = 1e-9


def both(value):
    return value if isinstance(value, tuple) else (value, value)


def rank_trace(rank, size, interval, in_mpi, threads, calls):
    """A trace of format 4 of one MPI rank, its times in µs given."""
    pid, world = 100 + rank, ",".join(str(each) for each in range(size))

    def ns(*times):
        return " ".join(str(1000 * time) for pair in times for time in both(pair))
    lines = ["watch-region-trace 4", f"process {pid} 1 /ranks", "events load exit",
             "record time:q region:q link:q kernel_thread:i thread:i site:i event:B :3x",
             f"load 0 {pid} -1 0 0 0", f"mpi {rank} {size}", f"mpi_comm 0 {world}",
             f"interval {ns(interval)} {int(isinstance(interval, tuple))} {len(threads)}",
             f"mpi_time {ns(in_mpi)}"]
    lines += [f"useful {pid + at} {int(at == 0)} {ns(useful, ideal)}"
              for at, (useful, ideal) in enumerate(threads)]
    lines += [f"mpi_call {seq} {op} 0 {-1 if peer is None else peer} {tag} {entry * 1000} "
              f"{end * 1000} {ns(ideal, ideal)} {pid}" for seq, (op, peer, tag, entry, end, ideal)
              in enumerate(calls)]
    return "\n".join(lines + ["table 0 40", ""])


# A C++ name shortened is told apart from the others of its report.
SHORT_NAMES = [
    (["gmx::Constraints::Impl::apply(bool)", "void gmx::Update::Impl::update_coords(int)"],
     ["Constraints::Impl::apply", "Update::Impl::update_coords"]),
    (["a::B::f(int)", "B::f()", "x::y::B::f<int>(double)", "ns::Class<int>::method() const"],
     ["a::B::f", "B::f", "y::B::f", "Class::method"]),
]
LONG = "void gmx::Constraints::Impl::apply(bool, long, gmx::ArrayRef<gmx::BasicVector<float>>)"


def recorded(width):
    """Every recorded trace read together, its sites named at length and
    its times long."""
    report, _ = read_traces(TRACES, None)
    for each in report.processes:
        each.time_in_regions *= 10**6
        for site in each.call_sites:
            site.function, site.object, site.offset = LONG, "libgromacs_mpi.so.8", 0x1234
    return timeline_text(report, None, width)


def ranks_report():
    with tempfile.TemporaryDirectory() as folder:
        for rank, made in enumerate(RUNS[-1][1]):
            with open(os.path.join(folder, f"{100 + rank}.trace"), "w") as trace:
                trace.write(rank_trace(rank, 2, *made))
        return read_traces(folder, None)[0]


def ranks(width):
    return timeline_text(ranks_report(), None, width)


def stopped_report():
    """The recorded traces as a run that a signal stopped, its first
    process stopped by it too."""
    report = read_traces(TRACES, None)[0]
    report.processes[0].stopped_by = 15
    return dataclasses.replace(report, ran=True, stopped_by=15, still_running=[],
                               left_no_trace=[], team_origin="OMP_NUM_THREADS=2 (--team)")


def gdb_report():
    """A gdb mode's report: 9 launches at one site, a team of 3."""
    seen = {"team_size": 3, "queries": ["omp_get_num_threads", "omp_get_thread_num"],
            "body_runs": 1, "atomic_additions": [1191] * 12, "atomic_instructions": ["lock add"],
            "atomic_operations": 12}
    launch = {"entry": "GOMP_parallel", "body": "main._omp_fn.0", "data": "0x7fffffffe2e0",
              "num_threads": 0, "flags": 0}
    site = CallSite("parallel_sum!main+0x74", "main", 0x74, "parallel_sum", None, launches=9,
                    launched=[{"region": n, **launch} for n in range(1, 10)])
    return Report("gdb", team_origin="OMP_NUM_THREADS=3 (--team)", exit_status=0, processes=[
        WatchedProcess(pid=7, program="/bin/parallel_sum", regions=9, call_sites=[site],
                       threads=[{**seen, "thread": n} for n in range(3)], total_after_join=5050,
                       forks=0, lost_stops=0, lost_stop_reasons={}, runtime={
                           "name": "libgomp", "path": "/usr/lib/libgomp.so.1",
                           "build_id": "3856f0954e1931eebc020ca4a4e6bef40f4f7765"})],
                  environment={"OMP_NUM_THREADS": "3", "OMP_PROC_BIND": "close"},
                  host={"name": "a-host-with-a-rather-long-name.example.org",
                        "cpus_online": [0, 1, 2, 3], "cpus_allowed": [0, 1, 3],
                        "tool_version": "1.0.0", "command": ["parallel_sum"],
                        "start_time": "2026-12-10T19:07:20Z"})


def gdb_table(width):
    return table_text(gdb_report(), "parallel_sum", width)


def repeated_report():
    """The recorded traces read as three runs of --repeat 3, the second
    the median run (120 µs more in regions than the third, 120 µs less
    than the first), each its sites in another order, exiting 0, 3 and 5,
    their process ids 1240, 1120 and 1000."""
    runs = []
    for extra, status in ((240, 0), (120, 3), (0, 5)):
        report = read_traces(TRACES, None)[0]
        report.ran, report.exit_status = True, status
        for process in report.processes:
            process.pid, process.time_in_regions = 1000 + extra, process.time_in_regions + extra
            process.interval = (process.interval or 0) + extra
            process.call_sites.reverse()
        runs.append(Findings(report))
    return merge_findings(runs, 3).report


REPORTS = [("recorded traces", recorded), ("MPI ranks", ranks), ("gdb mode", gdb_table),
           ("repeated runs", lambda width: timeline_text(repeated_report(), None, width))]
# Each mode's report, as --json writes it: (mode, the report).
JSON_REPORTS = [("timeline", lambda: read_traces(TRACES, None)[0]), ("timeline", ranks_report),
                ("timeline", stopped_report), ("gdb", gdb_report), ("timeline", repeated_report)]


def site(body, time):
    return CallSite(f"p!{body}+0x10", body, 0x10, "p", None, body=body, body_source="p.c:1",
                    time=time)


def runs_of(*processes):
    """A run's report of PROCESSES, (program, rank, [(body, time)])."""
    return Report("timeline", processes=[TracedProcess(
        None, None, program, len(sites), len(sites), 0, None, 0.0, None, 0, None, None,
        mpi=None if rank is None else {"rank": rank},
        call_sites=[site(*each) for each in sites]) for program, rank, sites in processes])


# What each thing comes to over repeated runs (the median run's first):
# (its values in each run, its name, the merged value).
MERGED = [
    ([3, 1, 2], "launches", 2),
    ([2, 1, 4, 3], "launches", 2),  # a count: the lower of the middle two
    ([2.0, 1.0, 4.0, 3.0], "time", 2.5),
    ([7, 8, 9], "pid", 7),  # names a thing: the median run's
    ([{"total": 1.0, "max": 2.0, "n": 4}, {"total": 3.0, "max": 2.0, "n": 4},
      {"total": 2.0, "max": 2.0, "n": 5}], "fork",
     {"total": 2.0, "max": 2.0, "n": 4, "spread": {"total": [1.0, 3.0], "n": [4, 5]}}),
]
# Processes by program and rank, call sites by body, in any order: (the
# runs, each process's sites' merged times and their spreads).
MATCHED_RUNS = [
    ([runs_of(("a", None, [("x", 1.0), ("y", 10.0)])),
      runs_of(("a", None, [("y", 12.0), ("x", 3.0)])),
      runs_of(("a", None, [("x", 2.0), ("y", 11.0)]))],
     [[(2.0, [1.0, 3.0]), (11.0, [10.0, 12.0])]]),
    ([runs_of(("r", 0, [("x", 5.0)]), ("r", 1, [("x", 50.0)])),
      runs_of(("r", 1, [("x", 70.0)]), ("r", 0, [("x", 5.0)]))],
     [[(5.0, None)], [(60.0, [50.0, 70.0])]]),
]
# Karp and Flatt's serial fraction: (speedup, team size over the first's, e).
KARP_FLATT = [(2, 2, 0.0), (1, 2, 1.0), (1.6, 2, 0.25), (4, 4, 0.0), (2, 4, 1 / 3),
              (0.5, 2, 3.0), (None, 2, None), (3, 1, None)]
# A call site's object: (its path, as it is named).
OBJECTS = [("/nonexistent/libGraphicsMagick-Q16.so.3.24.2", "libGraphicsMagick-Q16.so.3.24.2"),
           (*glob.glob("/usr/lib/*/libgomp.so.1.*")[:1], "libgomp.so.1")]


# A thread's whole waits or task bodies as (start, length), in the order of
# their ends, and the gap: the spans drawn, (start, end).
SPANS = [
    ([(10, 5), (20, 5)], 0, [(10, 15), (20, 25)]),
    ([(10, 5), (17, 5)], 2, [(10, 22)]),
    # Tasks run inside a task's wait end first: the outer one holds them.
    ([(12, 2), (15, 1), (10, 10)], 0, [(10, 20)]),
    ([(1, 2), (12, 2), (15, 1), (10, 10), (30, 2)], 0, [(1, 3), (10, 20), (30, 32)]),
    ([(1, 4), (6, 1), (5, 3)], 0, [(1, 8)]),
    ([(1, 2), (5, 1), (0, 9)], 0, [(1, 3), (5, 6)]),  # time 0: never started
]


class Model(unittest.TestCase):
    def test_models(self):
        for name, chosen, shown, threads, phases, run in MODELS:
            with self.subTest(trace=name, region=chosen):
                model = process_model(read_trace(os.path.join(TRACES, name)), chosen)
                region = model.region
                self.assertEqual((region["region"], region["level"], region["parent"]), shown)
                self.assertEqual([(t["thread"], t["kernel_thread"], t.get("created_by"),
                                   t["body_start"], t["body_end"], t.get("join"))
                                  for t in region["threads"]], threads)
                self.assertEqual({key: round(value, 3) for key, value in region["phases"].items()},
                                 phases)
                self.assertEqual((model.regions, model.time_in_regions,
                                  round(model.time_outside_regions, 3), model.lost_events,
                                  model.lost_from), run)

    def test_merged_spans(self):
        for spans, gap, drawn in SPANS:
            with self.subTest(spans=spans, gap=gap):
                self.assertEqual(merged_spans([start for start, _ in spans],
                                              [length for _, length in spans], gap), drawn)

    def test_call_site(self):
        model = process_model(read_trace(os.path.join(TRACES, "libgomp_team_2.trace")))
        site = model.call_sites[0]
        self.assertEqual((site.launches, site.team_sizes, site.time, site.fork),
                         (1, {2: 1}, 120, {"total": 110, "min": 110, "median": 110,
                                           "median_error": 0, "max": 110}))

    def test_refused(self):
        for name, said in REFUSED:
            with self.subTest(trace=name), self.assertRaisesRegex(TraceError, said):
                read_trace(os.path.join(TRACES, name))

    def test_folder(self):
        with open(os.path.join(TRACES, "libgomp_team_2.trace"), "rb") as trace:
            data = trace.read()
        with tempfile.TemporaryDirectory() as folder:
            for name, made, _ in FOLDER:
                with open(os.path.join(folder, name), "wb") as copy:
                    copy.write(made(data))
            report, traces = read_traces(folder, None)
        self.assertEqual([(model.pid, trace.path.endswith("500.trace"))
                          for model, trace in zip(report.processes, traces)], [(500, True)])
        self.assertEqual(sorted((each["file"], each["reason"]) for each in report.unreadable),
                         sorted((name, why) for name, _, why in FOLDER if why))
        text = timeline_text(report, None, 120)
        self.assertEqual([name for name, _, why in FOLDER if f"{name}: {why}" in text],
                         [name for name, _, why in FOLDER if why])

    def test_other_sites(self):
        with open(os.path.join(TRACES, "libgomp_team_2.trace"), "rb") as trace, \
                tempfile.TemporaryDirectory() as folder:
            with open(os.path.join(folder, "500.trace"), "wb") as copy:
                copy.write(trace.read().replace(b"table 0", OTHER_WAITS + b"table 0"))
            report, _ = read_traces(folder, None)
        self.assertEqual(report.processes[0].call_sites[0].waits,
                         {"mpi": {"count": 6, "total": 70.0}, "barrier": {"count": 2, "total": 6}})
        self.assertEqual([(wait["kind"], wait["late"]) for wait in report.processes[0].sync
                          if wait["late"]],
                         [("barrier", [{"thread": 1, "count": 2, "delay": 5.0},
                                       {"thread": "other", "count": 1, "delay": 0.7}])])
        lines = timeline_text(report, None, 120).splitlines()
        self.assertEqual([line for line in lines if line in OTHER_LINES], OTHER_LINES)
        self.assertEqual([line.split(":")[0] for line in lines if line.startswith("process")],
                         ["process 500 (/nonexistent/program), rank 0 of 2"])

    def test_mpi_runs(self):
        for name, ranks, whole, mpi, openmp, counts in RUNS:
            with self.subTest(run=name), tempfile.TemporaryDirectory() as folder:
                for rank, made in enumerate(ranks):
                    with open(os.path.join(folder, f"{100 + rank}.trace"), "w") as trace:
                        trace.write(rank_trace(rank, len(ranks), *made))
                report, _ = read_traces(folder, None)
                factors = report.model_factors
                for got, wanted in ((factors, whole), (factors["mpi"], mpi),
                                    (factors["openmp"], openmp)):
                    self.assertLessEqual(max(got[key] for key in FACTOR_KEYS), 1 + ROUNDING)
                    self.assertEqual([round(got[key], 3) for key in FACTOR_KEYS],
                                     [round(value, 3) for value in wanted])
                self.assertEqual(tuple(report.mpi[key] for key in (
                    "messages", "unmatched_receives", "collectives")), counts)
                self.assertRegex(timeline_text(report, None, 120), " +".join(
                    ["\n  parallel efficiency", "PE"]
                    + [f"{100 * part[0]:.1f}%" for part in (whole, mpi, openmp)])
                    + r"(.|\n)*\nMPI matched: {0} messages, {2} collectives;  unmatched: "
                    r"\d+ sends, {1} receives\n".format(*counts))

    def test_archive_stretches(self):
        for name, events, written in STRETCHES:
            trace = unittest.mock.Mock(pid=7, start=0, slowest=[], clock=Clock(),
                                       events=lambda events=events: [
                    Event(what, time, 7, 0, 0, site, site) for what, time, site in events])
            with self.subTest(stretches=name):
                self.assertEqual([(what, time // 1000) for what, time, _ in
                                  process_events(trace)[7]], written)

    def test_clocks(self):
        # Rank 1 on node b, 5 s behind rank 0 at 1000 s and 5 s + 20 µs at
        # 2000 s; the launcher on b, a daemon on c; each time at 1500 s.
        drifting = [Offset(2000 * SECOND, 5 * SECOND + 20000, 90),
                    Offset(1000 * SECOND, 5 * SECOND, 70)]
        traces = [unittest.mock.Mock(mpi=mpi, host=host, clock_offsets=offsets)
                  for mpi, host, offsets in (((0, 2), "a", [Offset(SECOND, 0, 0)]),
                                             ((1, 2), "b", drifting), (None, "b", []),
                                             (None, "c", []))]
        align(traces)
        moved = 1500 * SECOND + 5 * SECOND + 10000
        for name, trace, time in (("rank 0", 0, 1500 * SECOND), ("rank 1, drift halfway", 1, moved),
                                  ("the launcher as its node's rank", 2, moved),
                                  ("a node without a rank", 3, 1500 * SECOND)):
            with self.subTest(name):
                self.assertEqual(traces[trace].clock(1500 * SECOND), time)

    def test_site_table_width(self):
        """However long a site's name, no line is wider than asked for, and
        every number is still given."""
        stats = {"total": 123456.7, "median": 1234.5, "median_error": 40, "max": 99999.9}
        for function, width in (("f", 120), ("a" * 300, 120), ("b" * 90, 80)):
            site = CallSite(f"lib.so!{function}+0x10", function, 16, "lib.so", "f.cpp:12",
                            launches=7, team_sizes={2: 7}, time=3.5, fork=stats, work=stats,
                            imbalance=stats, join=stats)
            with self.subTest(function=function[:8], width=width):
                lines = site_table([site], width)
                self.assertLessEqual(max(len(line) for line in lines), width)
                self.assertEqual(sum(line.count("123.46/1.23±0.04/100.00 ms") for line in lines),
                                 4)

    def test_where_time_goes(self):
        """Two sites of one body said as one region, by the function it was
        outlined from, its gains summed; a barrier's late one by the delay it
        caused; the largest five of ten, largest first; the table's sites
        under their body; an imbalance that no one thread is behind said so,
        in a body of no symbol named by its launcher; the largest loop handed
        out at run time the last line shown where its region's loss is not
        among them."""
        def site(name, body, time, mean, most, ideal, imbalance=None):
            stats = dict.fromkeys(("total", "median", "median_error", "max"), 0)
            return CallSite(name, name[2:].split("+")[0], int(name.split("+")[1], 16), "p", None,
                            launches=5, team_sizes={4: 5}, time=time, fork=stats, work=stats,
                            imbalance=stats, join=stats, body=body, useful={"mean": mean},
                            body_source="/src/gain.c:17" if body else None,
                            slowest_thread={"thread": 3, "useful": most},
                            gain={"total": time - mean, "imbalance": imbalance or most - mean,
                                  "serialisation": ideal - most, "transfer": time - ideal})
        sites = [site("p!main+0x10", "imbalanced._omp_fn.0", 70.5e3, 55.5e3, 69.3e3, 70e3),
                 site("p!g+0x8", None, 9e3, 1e3, 1e3, 1e3),
                 site("p!main+0x20", "imbalanced._omp_fn.0", 70.5e3, 55.5e3, 69.3e3, 70e3),
                 site("p!h+0x4", "p!@0x40", 10e3, 4e3, 4.5e3, 4.5e3, imbalance=5.5e3)] + [
                     site(f"p!f{at}+0x1", f"f{at}._omp_fn.0", 5e3 + at, 4e3, 4e3, 5e3)
                     for at in range(5)]
        sync = [{"kind": kind, "site": "p!late+0x9", "function": function,
                 "source": "/src/gain.c:35", "late": late} for kind, function, late in (
                     ("barrier", "late_arrival._omp_fn.1", [
                         {"thread": 3, "count": 5, "delay": 8.5e3},
                         {"thread": 0, "count": 1, "delay": 0.5e3}]),
                     ("taskwait", None, [{"thread": 1, "count": 2, "delay": 5.5e3}]))]
        lines = where_lines(unittest.mock.Mock(call_sites=sites, sync=sync), 200)
        self.assertEqual(lines[:5], [
            "where the time goes:",
            "  imbalanced (gain.c:17): 30.00 ms of 141.00 ms lost, 92% of it imbalance: "
            "thread 3 works 13.86 ms a launch, the mean 11.10 ms",
            "  barrier in late_arrival (gain.c:35): thread 3 arrived last 5 times of 6; the "
            "others waited 8.50 ms for it",
            "  p!g+0x8: 8.00 ms of 9.00 ms lost, 100% of it transfer: 1.80 ms a launch, of "
            "which the threads' work 200.0 µs; the rest is fork, join and the runtime",
            "  p!@0x40 (from h): 6.00 ms of 10.00 ms lost, 92% of it imbalance: a launch's slowest "
            "thread works 1.90 ms, the mean 800.0 µs; which thread varies (thread 3: 900.0 µs "
            "a launch)"])
        self.assertEqual(lines[5:], [
            "  taskwait at p!late+0x9 (gain.c:35): thread 1 ran the last task 2 times of 2; the "
            "waiting thread waited 5.50 ms for it"])
        sites[-1].loops = [{"order": 0, "schedule": "dynamic", "chunk": 1, "resolved": None,
                            "chunks": [31, 33], "iterations": [31, 33]}]
        self.assertEqual(where_lines(unittest.mock.Mock(call_sites=sites, sync=sync), 200)[4:], [
            lines[4],
            "  dynamic loop in f4 (gain.c:17): 64 chunks of 1, threads 0-1 took 31 and 33"])
        table = site_table(sites, 200)
        at = table.index("body imbalanced._omp_fn.0 (/src/gain.c:17):")
        self.assertEqual([line.split()[0] for line in table[at + 1:at + 3]],
                         ["p!main+0x10", "p!main+0x20"])

    def test_report_width(self):
        """Every line of each report within the width, at 80 columns and at 120."""
        for name, text in REPORTS:
            for width in (80, 120):
                with self.subTest(report=name, width=width):
                    wide = [line for line in text(width).splitlines() if len(line) > width]
                    self.assertEqual(wide, [])

    def test_json_schema(self):
        """Each mode's report as --json writes it is one the shipped schema
        allows (python3-jsonschema)."""
        for mode, made in JSON_REPORTS:
            with self.subTest(mode=mode, made=made.__name__):
                report = made()
                self.assertEqual(report.mode, mode)
                report_schema.loads(json_report.render(Findings(report)))

    def test_repeats(self):
        """Each figure its median over the runs, its least and largest in its
        object's spread where they differ; things matched by what they are."""
        for runs, name, expected in MERGED:
            with self.subTest(runs=runs):
                self.assertEqual(merged(copy.deepcopy(runs), name), expected)
        for runs, expected in MATCHED_RUNS:
            with self.subTest(expected=expected):
                processes = merged(runs).processes
                self.assertEqual([[(each.time, (each.spread or {}).get("time"))
                                   for each in process.call_sites] for process in processes],
                                 expected)
        report, process = repeated_report(), read_traces(TRACES, None)[0].processes[0]
        merged_process = report.processes[0]
        self.assertEqual((report.repeat, report.exit_status, merged_process.pid,
                          merged_process.time_in_regions - 120,
                          merged_process.spread["time_in_regions"]),
                         (3, 3, 1120, process.time_in_regions,
                          [process.time_in_regions, process.time_in_regions + 240]))
        self.assertRegex(timeline_text(report, None, 120), r"µs \(\d+\.\d–\d+\.\d\) in regions")

    def test_scaling_sites(self):
        """Each region's time, speedup and serial fraction by team size, the
        one that scales worst first, but for one that takes little of the
        time."""
        for speedup, relative, fraction in KARP_FLATT:
            with self.subTest(speedup=speedup, relative=relative):
                self.assertAlmostEqual(karp_flatt(speedup, relative), fraction)
        series = [(team, [runs_of(("a", None, [("spread", 64.0 / team), ("critical", 32.0),
                                               ("start", 0.25 * team)]))])
                  for team in (1, 2, 4)]
        series[1][1].extend(runs_of(("a", None, [("spread", time), ("critical", 32.0),
                                                 ("start", 0.5)]))
                            for time in (30.0, 34.0))
        sites = scaling_sites(series)
        self.assertEqual([(each.body, each.speedup, each.serial_fraction) for each in sites[:2]],
                         [("critical", {"1": 1.0, "2": 1.0, "4": 1.0}, {"2": 1.0, "4": 1.0}),
                          ("spread", {"1": 1.0, "2": 2.0, "4": 4.0}, {"2": 0.0, "4": 0.0})])
        self.assertEqual([each.body for each in sites[2:]], ["start"])
        self.assertEqual(sites[1].time, {"1": 64.0, "2": 32.0, "4": 16.0,
                                         "spread": {"2": [30.0, 34.0]}})

    def test_site_objects(self):
        """A site's object is named by its soname where it has one, the
        name the program asked the loader for, which minor releases keep."""
        for path, named in OBJECTS:
            with self.subTest(path=path):
                self.assertEqual(name_sites([(0x1000, 0, path)])[0]["object"], named)

    def test_short_names(self):
        for functions, shown in SHORT_NAMES:
            with self.subTest(functions=functions):
                self.assertEqual([short_names(functions)[each] for each in functions], shown)


if __name__ == "__main__":
    unittest.main()
