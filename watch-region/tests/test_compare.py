"""The comparison of two reports without running anything: whether a change
lies outside the noise, the gate's verdict, how processes and regions are
matched, what differs in what the runs ran on, and reports refused."""

import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir))

# pylint: disable=wrong-import-position
from watch_region.compare import comparison, gate, reading  # noqa: E402
from watch_region.errors import CannotWatch  # noqa: E402

# (base, its spread, new, its spread) -> (change in percent, noise, outside it)
NOISE = [
    ((100, None, 200, None), (100.0, "unknown", True)),
    ((100, [90, 110], 105, [95, 120]), (5.0, "known", False)),
    ((100, [90, 110], 130, [120, 140]), (30.0, "known", True)),
    # The single run's noise taken as wide as the other's.
    ((100, [95, 105], 130, None), (30.0, "estimated", True)),
    ((100, [80, 120], 125, None), (25.0, "estimated", False)),
    ((100, None, 110, [100, 130]), (10.0, "estimated", False)),
    ((0, None, 5, None), (None, "unknown", True)),
]


def site(body, time, spread=None, offset=0x10):
    return {"site": f"p!f+{offset:#x}", "function": "f", "offset": offset, "source": "f.c:3",
            "time": time, "team_sizes": {"2": 1}, "body": body, "body_source": body and "f.c:4",
            **({"spread": {"time": spread}} if spread else {})}


def report(*sites, repeat=None, program="/b1/p", rank=None, environment=None, runtime=None):
    return {"mode": "timeline", "repeat": repeat, "environment": environment, "processes": [{
        "program": program, "interval": 1000.0, "call_sites": list(sites), "runtime": runtime,
        "mpi": None if rank is None else {"rank": rank}}]}


# (case, base, new, PCT) -> (status, what fails the gate)
GATE = [
    ("single runs, 60% slower", report(site("b", 100)), report(site("b", 160)), 50,
     (1, ["b (f.c:4)"])),
    ("single runs, 40% slower", report(site("b", 100)), report(site("b", 140)), 50, (0, [])),
    ("60% slower within the spreads", report(site("b", 100, [60, 200]), repeat=5),
     report(site("b", 160, [150, 170]), repeat=5), 50, (0, [])),
    ("a spread not given by a repeated report: none seen",
     report(site("b", 100), repeat=5), report(site("b", 160), repeat=5), 50, (1, ["b (f.c:4)"])),
    ("no gate asked for", report(site("b", 100)), report(site("b", 160)), None, (0, [])),
]
# (case, base, new) -> [(program, rank, region, presence, base time, new time)]
MATCHED = [
    ("sites moved, one body at two sites summed",
     report(site("b", 10), site("b", 20, offset=0x40)),
     report(site("b", 40, offset=0x99)), [("p", None, "b", "both", 30, 40)]),
    ("a body known only in one: gone and new", report(site("b", 10)), report(site("c", 10)),
     [("p", None, "b", "gone", 10, None), ("p", None, "c", "new", None, 10)]),
    ("bodies not known: by the site's function and line",
     report(site(None, 10, offset=1)), report(site(None, 30, offset=2)),
     [("p", None, "f", "both", 10, 30)]),
    ("a body one runtime names, by its site", report(site("b", 10)), report(site(None, 30)),
     [("p", None, "b", "both", 10, 30)]),
    ("ranks of a program rebuilt elsewhere apart", report(site("b", 10), rank=1),
     report(site("b", 10), rank=0, program="/b2/p"),
     [("p", 1, "b", "gone", 10, None), ("p", 0, "b", "new", None, 10)]),
]
GOMP = {"name": "libgomp", "path": "/l/libgomp.so.1", "build_id": "ab"}
# (base, new) -> what differs
DIFFERENCES = [
    (report(environment={"OMP_PROC_BIND": "close"}, runtime=GOMP),
     report(environment={"OMP_WAIT_POLICY": "passive"}, runtime={**GOMP, "build_id": "cd"}),
     [("OMP_PROC_BIND", "close", None), ("OMP_WAIT_POLICY", None, "passive"),
      ("runtime", "libgomp /l/libgomp.so.1 build id ab", "libgomp /l/libgomp.so.1 build id cd")]),
    (report(site("b", 1)), report(site("b", 1) | {"team_sizes": {"4": 1}},
                                  environment={"OMP_NUM_THREADS": "4"}),
     [("team size (p)", "2", "4")]),
]
# (the file's text, what is said of it)
REFUSED = [('{"mode": "gdb"}', "a report of mode gdb; --compare reads reports of --timeline runs"),
           ('{"mode": "timeline", "processes": [{"call_sites": 3}]}',
            "not a report this watch-region reads: 'int' object is not iterable")]


class Compare(unittest.TestCase):
    def test_noise(self):
        for (base, low, new, high), expected in NOISE:
            with self.subTest(base=base, new=new, spreads=(low, high)):
                said = gate.judged(reading.Figure(base, low), reading.Figure(new, high))
                self.assertEqual((said["change"], said["noise"], said["outside_noise"]),
                                 expected)

    def test_gate(self):
        for case, base, new, percent, expected in GATE:
            with self.subTest(case=case):
                said = gate.compared(reading.summary(base), reading.summary(new), percent)
                self.assertEqual((said["status"], said["slower"]), expected)

    def test_matching(self):
        for case, base, new, expected in MATCHED:
            with self.subTest(case=case):
                rows = gate.compared(reading.summary(base), reading.summary(new))["regions"]
                self.assertEqual([(row["program"], row["rank"], row["region"], row["presence"],
                                   row["time"]["base"], row["time"]["new"]) for row in rows],
                                 expected)

    def test_differences(self):
        for base, new, expected in DIFFERENCES:
            said = gate.differences(reading.summary(base), reading.summary(new))
            self.assertEqual([tuple(each.values()) for each in said], expected)

    def test_refused(self):
        for written, reason in REFUSED:
            with tempfile.NamedTemporaryFile("w") as bad, self.subTest(text=written):
                bad.write(written)
                bad.flush()
                with self.assertRaises(CannotWatch) as said:
                    comparison(bad.name, bad.name)
                self.assertEqual((said.exception.status, str(said.exception)),
                                 (2, f"{bad.name}: {reason}"))


if __name__ == "__main__":
    unittest.main()
