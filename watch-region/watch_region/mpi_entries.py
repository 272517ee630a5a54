"""MPI's entries that the tracer interposes, read from the one list that its
interposers are also made from (tracer/mpi_entries.def): each entry's name,
kind, a collective's edges, and its Fortran names; and the sets of
operations, as the tracer logs them, that the matching and the outputs
read."""

import collections
import os
import re

LIST = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                    "tracer", "mpi_entries.def")

MpiEntry = collections.namedtuple("MpiEntry", "name kind edges fortran")

KINDS = {"send", "receive", "receive_start", "two_sided", "probe", "completion", "collective",
         "posted", "world", "marker"}
EDGES = {"collective": {"every_to_every", "root_to_every", "every_to_root"},
         "world": {"init", "finalize"}}
EDGES["posted"] = EDGES["collective"]
ENTRY = re.compile(r"^\s*MPI_ENTRY\(\s*(\w+)\s*,\s*(\w+)\s*,\s*(\w+)\s*,\s*(\w+)\s*\)")
FORTRAN = re.compile(r"^\s*MPI_FORTRAN\(\s*(\w+)\s*,\s*(\w+)\s*,\s*(\d+)\s*\)")


def blocking(name):
    """The collective that the nonblocking one NAME (MPI_Ixyz) starts."""
    return f"MPI_{name[5].upper()}{name[6:]}"


def parse(text):
    """The entries of TEXT by name, in its order. An unknown kind, edges
    that do not fit the kind, a nonblocking collective whose collective is
    not listed with the same edges, or a Fortran name of no entry is an
    error."""
    entries = {}
    for line in text.splitlines():
        line = line.split("//", 1)[0]
        if entry := ENTRY.match(line):
            name, kind, edges = entry[1], entry[2], entry[3]
            if kind not in KINDS or edges not in EDGES.get(kind, {"none"}):
                raise ValueError(f"{name}: kind {kind} with edges {edges}")
            entries[name] = MpiEntry(name, kind, edges, [])
        elif fortran := FORTRAN.match(line):
            if fortran[2] not in entries:
                raise ValueError(f"{fortran[1]}: no entry {fortran[2]}")
            entries[fortran[2]].fortran.append(fortran[1])
    for entry in entries.values():
        if entry.kind == "posted" and (
                entries.get(blocking(entry.name), entry)[1:3] != ("collective", entry.edges)):
            raise ValueError(f"{entry.name}: no collective {blocking(entry.name)}")
    return entries


def read(path=LIST):
    with open(path, encoding="utf-8") as listed:
        return parse(listed.read())


ENTRIES = read()


def named(kind, edges=None):
    return {entry.name for entry in ENTRIES.values()
            if entry.kind == kind and edges in (None, entry.edges)}


# A two-sided call's halves, as the tracer logs them, and the one call they
# are to the matching.
SENT_HALF, RECEIVED_HALF, TWO_SIDED = "MPI_Sendrecv:send", "MPI_Sendrecv:recv", "MPI_Sendrecv"
SENDS = named("send") | {SENT_HALF}
RECEIVES = named("receive") | named("receive_start") | {RECEIVED_HALF}
# Receives whose request a completion call finished.
REQUESTED = named("receive_start")
EVERY_TO_EVERY = named("collective", "every_to_every")
ROOT_TO_EVERY = named("collective", "root_to_every")
EVERY_TO_ROOT = named("collective", "every_to_root")
# The nonblocking collectives, each as the collective it is: logged when a
# completion completes it, entered where it was started.
POSTED = {name: blocking(name) for name in named("posted")}
# MPI_COMM_WORLD's barriers, each matched only with its own kind; the
# Fortran entries are logged by their own names.
WORLD = {name: entry.edges for entry in ENTRIES.values() if entry.kind == "world"
         for name in (entry.name, *entry.fortran)}
BARRIER = "MPI_Barrier"
assert BARRIER in EVERY_TO_EVERY


def otf2_role(op):
    """An MPI call OP's kind of communication, as OTF2 names a region's
    role (None: a function's)."""
    entry = ENTRIES.get(op)
    if op == BARRIER:
        return "barrier"
    if op in SENDS | RECEIVES or (entry and entry.kind == "two_sided"):
        return "point2point"
    return {"every_to_every": "all2all", "root_to_every": "one2all",
            "every_to_root": "all2one"}.get(entry.edges) \
        if entry and entry.kind == "collective" else None


def otf2_operation(op):
    """The OTF2 collective operation of the collective OP: its name's
    upper case, MPI_ left out."""
    return op[4:].upper()
