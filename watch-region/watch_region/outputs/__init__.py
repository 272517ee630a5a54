"""The forms a run's findings are written in. Each is a module of this
package with one function, render(findings) -> str, that raises OSError
when it cannot make its form; the caller writes what it returns. Adding a
form is a module and a line of FORMS."""

import importlib


class Findings:  # pylint: disable=too-few-public-methods
    """What one run, or one merge of traces, found: in MODE ("gdb" or
    "timeline"), the REPORT as --json gives it, the program's NAME (None
    for merged traces), the timeline's TRACES, a picture's TITLE, the
    columns a text may take, WIDTH, and whether a text may be COLOURed
    (it goes to a terminal that does not refuse colours). A series of runs,
    one per team size, is in mode "scaling"."""

    def __init__(self, mode, report, name=None, traces=(), title="", width=120):
        self.mode, self.report, self.name, self.traces = mode, report, name, list(traces)
        self.title, self.width, self.colour = title, width, False


# The form's name, and the module that renders it.
FORMS = {"text": "text", "json": "json_report", "svg": "svg", "trace": "trace_event"}


def render(form, findings):
    """FINDINGS in FORM, as text."""
    return importlib.import_module(f".{FORMS[form]}", __name__).render(findings)
