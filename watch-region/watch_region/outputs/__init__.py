"""The forms a run's findings are written in. Each is a module of this
package with one function, render(findings) -> str, that raises OSError
when it cannot make its form; the caller writes what it returns. A form
that is a folder of files has write(findings, folder) instead, and writes
it, and refusal(folder), which says why it would refuse a folder before
the run. Adding a form is a module and a line of FORMS or FOLDERS."""

import errno
import importlib
import os


class Findings:  # pylint: disable=too-few-public-methods
    """What one run, or one merge of traces, found: the REPORT (report.py),
    whose mode is "gdb", "timeline" or, for a series of runs, one per team
    size, "scaling"; the program's NAME (None for merged traces), the
    timeline's TRACES, a picture's TITLE, the columns a text may take,
    WIDTH, and whether a text may be COLOURed (it goes to a terminal that
    does not refuse colours)."""

    def __init__(self, report, name=None, traces=(), title="", width=120):
        self.report, self.name, self.traces = report, name, list(traces)
        self.title, self.width, self.colour = title, width, False

    @property
    def mode(self):
        return self.report.mode


def traced_processes(findings):
    """Each of FINDINGS' traces with its process in the report, in the
    traces' order, joined by process id (where traces of several runs share
    one, the n-th trace of it with the n-th process of it)."""
    processes = {}
    for model in findings.report.processes:
        processes.setdefault(model.pid, []).append(model)
    pairs = []
    for trace in findings.traces:
        held = processes.get(trace.pid)
        if held:
            pairs.append((trace, held.pop(0)))
    return pairs


# The form's name, and the module that renders it.
FORMS = {"text": "text", "json": "json_report", "svg": "svg", "trace": "trace_event"}
FOLDERS = {"otf2": "otf2_archive"}


def render(form, findings):
    """FINDINGS in FORM, as text."""
    return importlib.import_module(f".{FORMS[form]}", __name__).render(findings)


def write(form, findings, folder):
    """Writes FINDINGS in FORM, a form of FOLDERS, into FOLDER."""
    importlib.import_module(f".{FOLDERS[form]}", __name__).write(findings, folder)


def refusal(form, path):
    """Why PATH could not take FINDINGS in FORM, told before the run: None
    where nothing stands in its way."""
    if form in FOLDERS:
        return importlib.import_module(f".{FOLDERS[form]}", __name__).refusal(path)
    if os.path.isdir(path):
        return os.strerror(errno.EISDIR)
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        return os.strerror(errno.ENOENT)
    if not os.access(path if os.path.exists(path) else folder, os.W_OK):
        return os.strerror(errno.EACCES)
    return None
