"""The forms a run's findings are written in. Each is a module of this
package with one function, render(findings) -> str, that raises OSError
when it cannot make its form; the caller writes what it returns. Adding a
form is a module and a line of FORMS."""

import dataclasses
import importlib


@dataclasses.dataclass
class Findings:
    """What one run, or one merge of traces, found."""
    mode: str  # "gdb" or "timeline"
    report: dict  # the findings as --json gives them
    name: str = None  # the program's name; None for merged traces
    traces: list = dataclasses.field(default_factory=list)  # the timeline's traces
    title: str = ""  # a picture's title
    width: int = 120  # the columns a text may take


# The form's name, and the module that renders it.
FORMS = {"text": "text", "json": "json_report", "svg": "svg", "trace": "trace_event"}


def render(form, findings):
    """FINDINGS in FORM, as text."""
    return importlib.import_module(f".{FORMS[form]}", __name__).render(findings)
