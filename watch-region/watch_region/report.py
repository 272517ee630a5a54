"""The report of a run, one for every form it is written in: its units and
names given here once. Times are the tracer's nanoseconds until the model
makes them microseconds (microseconds()); signals are numbers until a form
names them (signal_name()); the JSON's shape is report.schema.json's,
beside this module, whose version is SCHEMA_VERSION."""

import signal

# The version of report.schema.json that the JSON follows: raised when a key
# moves or changes its meaning, not when one is added.
SCHEMA_VERSION = 1


def signal_name(number):
    """SIGTERM for 15; None for None."""
    return None if number is None else signal.Signals(number).name


def json_tree(report, whole=True):
    """REPORT as the JSON gives it: every signal named, the program's as
    `signal`; the WHOLE run's stopped_by only where a signal stopped it."""
    tree = {}
    for key, value in report.items():
        if key == "signal_number":
            tree["signal"] = signal_name(value)
        elif key == "stopped_by":
            if value is not None or not whole:
                tree[key] = signal_name(value)
        elif key in ("processes", "scaling"):
            tree[key] = [json_tree(each, False) for each in value]
        else:
            tree[key] = value
    return tree
