"""The trace reader and the model of a process, on small recorded traces
(traces/, times in nanoseconds): what the regions, their threads and
phases, and the run as a whole come to, in microseconds from the tracer's
load.

usage: test_model.py TRACES
"""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from watch_region.outputs.text import site_table, timeline_text  # noqa: E402
from watch_region.timeline.model import process_model  # noqa: E402
from watch_region.timeline.run import read_traces  # noqa: E402
from watch_region.timeline.trace import TraceError, read_trace  # noqa: E402

TRACES = sys.argv.pop(1) if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "traces")

# (trace, region asked for, region shown with (number, level, parent), its
# threads as (thread, kernel thread, created by, body start, body end,
# joined), its phases, and the run: regions launched, in and outside them,
# events lost and from when)
MODELS = [
    ("libgomp_team_2.trace", None, (1, 1, None),
     [(0, 500, None, 120, 121, 130), (1, 501, "thread 0", 100, 105, None)],
     {"fork": 110, "work": 1, "join": 9, "imbalance": 4}, (1, 120, 40, 0, None)),
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
    ("old_version.trace", "^a trace of format 1; this watch-region reads format 4$"),
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


class Model(unittest.TestCase):
    def test_models(self):
        for name, chosen, shown, threads, phases, run in MODELS:
            with self.subTest(trace=name, region=chosen):
                model = process_model(read_trace(os.path.join(TRACES, name)), chosen)
                region = model["region"]
                self.assertEqual((region["region"], region["level"], region["parent"]), shown)
                self.assertEqual([(t["thread"], t["kernel_thread"], t.get("created_by"),
                                   t["body_start"], t["body_end"], t.get("join"))
                                  for t in region["threads"]], threads)
                self.assertEqual({key: round(value, 3) for key, value in region["phases"].items()},
                                 phases)
                self.assertEqual((model["regions"], model["time_in_regions"],
                                  round(model["time_outside_regions"], 3), model["lost_events"],
                                  model["lost_from"]), run)

    def test_call_site(self):
        model = process_model(read_trace(os.path.join(TRACES, "libgomp_team_2.trace")))
        site = model["call_sites"][0]
        self.assertEqual((site["launches"], site["team_sizes"], site["time"], site["fork"]),
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
        self.assertEqual([(model["pid"], trace.path.endswith("500.trace"))
                          for model, trace in zip(report["processes"], traces)], [(500, True)])
        self.assertEqual(sorted((each["file"], each["reason"]) for each in report["unreadable"]),
                         sorted((name, why) for name, _, why in FOLDER if why))
        text = timeline_text(report, None, 120)
        self.assertEqual([name for name, _, why in FOLDER if f"{name}: {why}" in text],
                         [name for name, _, why in FOLDER if why])

    def test_site_table_width(self):
        """However long a site's name, no line is wider than asked for, and
        every number is still given."""
        stats = {"total": 123456.7, "median": 1234.5, "median_error": 1.5, "max": 99999.9}
        for function, width in (("f", 120), ("a" * 300, 120), ("b" * 90, 80)):
            site = {"site": f"lib.so!{function}+0x10", "object": "lib.so",
                    "function": function, "offset": 16, "source": "f.cpp:12", "launches": 7,
                    "team_sizes": {2: 7}, "time": 3.5, "fork": stats, "work": stats,
                    "imbalance": stats, "join": stats}
            with self.subTest(function=function[:8], width=width):
                lines = site_table([site], width)
                self.assertLessEqual(max(len(line) for line in lines), width)
                self.assertEqual(sum(line.count("123456.7/1234.5±1.5/99999.9") for line in lines),
                                 4)


if __name__ == "__main__":
    unittest.main()
