"""A --trace-dir folder holds one run: the run's identity is written beside
its traces, in RUNS, as the first watch-region of the run starts, and a
watch-region of another run is refused the folder unless it is told to add
its traces. The processes of one job that a job launcher starts, each
under a watch-region of its own (srun watch-region --trace-dir DIR ...), are
one run: the job's identity, as the launcher's environment gives it, or as
the user gives it (--run-id)."""

import os
import socket
import time

from ..errors import USAGE, CannotWatch
from ..process import RANK_VARIABLES

RUNS = "watch-region.runs"
# Where batch systems and MPI launchers say which job a process belongs to,
# the one that names the step, where there is one, after the job's.
JOB_VARIABLES = (("SLURM_JOB_ID", "SLURM_STEP_ID"), ("PBS_JOBID",), ("LSB_JOBID",),
                 ("FLUX_JOB_ID",), ("PMIX_NAMESPACE",), ("OMPI_MCA_orte_hnp_uri",))


def run_id(environment, given=None):
    """The run's identity: GIVEN, else, for one of the tasks a launcher
    started (it has a rank), the job's, else one of this watch-region's own
    (its host, process and start): two runs one after the other in one
    batch job are two runs."""
    if given:
        return given
    launched = any(name in environment for name in RANK_VARIABLES)
    for names in JOB_VARIABLES if launched else ():
        if names[0] in environment:
            return ":".join([names[0], *(environment[name] for name in names
                                         if name in environment)])
    return f"{socket.gethostname()}:{os.getpid()}:{time.time_ns()}"


def runs_of(folder):
    """The identities of the runs FOLDER holds, in the order they came."""
    try:
        with open(os.path.join(folder, RUNS), encoding="utf-8") as listed:
            return [line.rstrip("\n") for line in listed if line.strip()]
    except OSError:
        return []


def claim(folder, run, add=False):
    """Takes FOLDER for RUN before the program starts. A folder that holds
    another run's traces is refused (a usage error), unless ADD: then RUN is
    added to those it holds."""
    held = runs_of(folder)
    traces = any(name.endswith(".trace") for name in os.listdir(folder))
    if run in held:
        return
    if (held or traces) and not add:
        raise CannotWatch(USAGE, f"{folder} holds the traces of another run: name an empty "
                          "folder, or give --add to add this run's traces to them")
    # One line, written at once, so that the ranks of one job starting
    # together each find it whole.
    descriptor = os.open(os.path.join(folder, RUNS), os.O_WRONLY | os.O_CREAT | os.O_APPEND,
                         0o666)
    try:
        os.write(descriptor, f"{run}\n".encode())
    finally:
        os.close(descriptor)


def several_runs(folder, traces):
    """What tells that FOLDER's TRACES are of more than one run, or None:
    the runs listed beside them, or an MPI rank found twice."""
    held = sorted(set(runs_of(folder)))
    if len(held) > 1:
        return f"{len(held)} runs were added to it, read here as one"
    ranks = [trace.mpi for trace in traces if trace.mpi is not None]
    twice = sorted({rank for rank in ranks if ranks.count(rank) > 1})
    if twice:
        return (f"MPI rank {twice[0][0]} of {twice[0][1]} is there twice: its traces are of "
                "more than one run")
    return None
