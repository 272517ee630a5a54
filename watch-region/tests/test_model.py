"""The trace reader and the model of regions and threads, on small recorded
traces (traces/, in nanoseconds): what each thread's moments and the run's
phases come to, in microseconds from the tracer's load.

usage: test_model.py TRACES
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from watch_region.model import timeline  # noqa: E402
from watch_region.trace import TraceError, read_trace  # noqa: E402

TRACES = sys.argv.pop(1) if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "traces")

# (trace, events lost, thread entries as (thread, created by, body start,
# body end, joined), run phases)
MODELS = [
    ("libgomp_team_2.trace", 0,
     [(0, None, 120, 121, 130), (1, "thread 0", 100, 105, None)],
     {"load to launch": 10, "fork": 110, "work": 1, "join": 9, "return to exit": 30}),
    # libomp, a team of one: no closing barrier, so the task's end is both the
    # body's end and the join; no exit event, as when the table filled.
    ("libomp_team_1_lost.trace", 7,
     [(0, None, 5, 25, 25)],
     {"load to launch": 4, "fork": 1, "work": 20, "join": 1, "return to exit": 0}),
]

# (trace, what the error says)
REFUSED = [
    ("old_version.trace", "is not a trace of format 1"),
    ("short_line.trace", "short_line.trace:2: not an event"),
    ("no_such.trace", "the tracer wrote no trace"),
]


class Model(unittest.TestCase):
    def test_models(self):
        for name, lost, threads, phases in MODELS:
            with self.subTest(trace=name):
                trace = read_trace(os.path.join(TRACES, name))
                self.assertEqual(trace.lost_events, lost)
                model = timeline(trace.events)
                self.assertEqual([(t["thread"], t.get("created_by"), t["body_start"],
                                   t["body_end"], t.get("join")) for t in model["threads"]],
                                 threads)
                self.assertEqual({key: round(value, 3) for key, value in model["phases"].items()},
                                 phases)

    def test_created_thread(self):
        model = timeline(read_trace(os.path.join(TRACES, "libgomp_team_2.trace")).events)
        worker = model["threads"][1]
        self.assertEqual((worker["create_call"], worker["create_return"],
                          worker["first_instruction"], model["threads_created"]), (20, 60, 80, 1))

    def test_refused(self):
        for name, said in REFUSED:
            with self.subTest(trace=name), self.assertRaisesRegex(TraceError, said):
                read_trace(os.path.join(TRACES, name))


if __name__ == "__main__":
    unittest.main()
