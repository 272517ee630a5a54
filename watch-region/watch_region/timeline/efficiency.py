"""The efficiency of a run, as the model factors: each thread's useful time
(the program's own code, outside the runtime and its waits) over the
interval (the whole run, or what the program's markers set), and the ideal
run time, the longest chain of useful time through the order the runtime
imposes, which the tracer keeps as it goes. Over the threads counted (every
thread of the largest team, the initial thread included, and any other that
did useful work): load balance = mean useful / max useful; communication
efficiency = max useful / interval, which is serialisation efficiency (max
useful / ideal) times transfer efficiency (ideal / interval); parallel
efficiency = load balance x communication efficiency.

The same terms give, in µs, what mending each cause would give back: the
gain, the time less the mean useful time, which is the imbalance (max
useful - mean useful), the serialisation (ideal - max useful) and the
transfer (time - ideal); for a call site, each summed over its launches.
"""

from ..report import microseconds

# Each factor: its key in the report, its name, its depth in the tree (a
# factor is the product of those one level below it) and its short name.
FACTORS = (
    ("parallel_efficiency", "parallel efficiency", 0, "PE"),
    ("load_balance", "load balance", 1, "LB"),
    ("communication_efficiency", "communication efficiency", 1, "CommE"),
    ("serialisation_efficiency", "serialisation efficiency", 2, "SerE"),
    ("transfer_efficiency", "transfer efficiency", 2, "TE"),
)
FACTOR_KEYS = tuple(key for key, *_ in FACTORS)


def efficiency(useful, interval, ideal):
    """The model factors of threads with USEFUL times over INTERVAL, whose
    ideal run time is IDEAL; None for a factor that cannot be had."""
    mean = sum(useful) / len(useful) if useful else 0
    most = max(useful, default=0)

    def ratio(part, whole):
        return part / whole if whole else None
    balance, communication = ratio(mean, most), ratio(most, interval)
    return {"parallel_efficiency": None if None in (balance, communication)
            else balance * communication,
            "load_balance": balance, "communication_efficiency": communication,
            "serialisation_efficiency": ratio(most, ideal),
            "transfer_efficiency": ratio(ideal, interval)}


def gain(time, mean, most, ideal):
    """The gain of a TIME whose threads' MEAN and MOST useful time and ideal
    time are given, by cause; the parts add up to the total."""
    return {"total": time - mean, "imbalance": most - mean, "serialisation": ideal - most,
            "transfer": time - ideal}


def process_gain(counted):
    """The process's gain over the interval of COUNTED (counted_useful's)."""
    useful = [thread["useful"] for thread in counted["useful"]]
    return gain(counted["interval"], sum(useful) / len(useful) if useful else 0,
                max(useful, default=0), counted["ideal_run_time"])


def counted_useful(trace, use_marks=None):
    """The interval, each counted thread's useful time (the initial thread
    first, threads not seen as 0) and, from format 8, the CPUs its regions'
    bodies started on and how often a body started on another than the one
    before, and the ideal run time, in µs, along the markers' measure where
    the program set markers (or USE_MARKS says); None before format 4's
    lines."""
    if trace.interval is None:
        return None
    whole, marked, marks, largest = trace.interval
    use_marks = marks > 0 if use_marks is None else use_marks
    threads = [{"kernel_thread": used.tid, "initial": bool(used.initial),
                "useful": microseconds(used.marked if use_marks else used.all),
                "ideal": microseconds(used.ideal_marked if use_marks else used.ideal_all),
                "cpus": used.cpus or [], "migrations": used.migrations or 0}
               for used in trace.useful]
    counted = [thread for thread in threads if thread["initial"]] + sorted(
        (thread for thread in threads if not thread["initial"] and thread["useful"] > 0),
        key=lambda thread: -thread["useful"])
    counted += [{"kernel_thread": None, "useful": 0.0}] * max(0, largest - len(counted))
    ideal = max((thread["ideal"] for thread in threads), default=0.0)
    return {"interval": microseconds(marked if use_marks else whole), "marked": use_marks,
            "useful": [{"kernel_thread": thread["kernel_thread"], "useful": thread["useful"],
                        **({"cpus": thread.get("cpus", []), "migrations": thread.get(
                            "migrations", 0)} if trace.cpus_allowed is not None else {})}
                       for thread in counted],
            "ideal_run_time": ideal}


def site_efficiency(trace, entry, waits):
    """ENTRY, a team's call site, with its threads' useful time in its
    bodies, its slowest thread, its gain (from format 7) and its waits by
    kind."""
    useful = trace.site_useful.get(entry.index)
    if useful:
        mean, most = sum(useful) / len(useful), max(useful)
        entry.useful = {"mean": mean, "max": most,
                        "load_balance": mean / most if most else None}
        entry.slowest_thread = {"thread": useful.index(most), "useful": most}
    site = next(site for site in trace.sites if site.index == entry.index)
    if site.ideal is not None:
        entry.gain = gain(entry.time, site.mean_useful, site.most_useful, site.ideal)
    kinds = {}
    for wait in waits:
        count, total = wait["region_sites"].get(entry.index, (0, 0.0))
        if count:
            held = kinds.setdefault(wait["kind"], {"count": 0, "total": 0.0})
            held["count"] += count
            held["total"] += total
    entry.waits = kinds
