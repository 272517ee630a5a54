"""The OpenMP runtime's entries that the tools watch, read from the one list
that the tracer's interposers are also made from (tracer/entries.def): each
entry's symbol, symbol version and kind, and where its arguments are."""

import collections
import os
import re

# The folder that holds this package; the list is in its tracer/ folder, in
# the source tree as where the build installs it.
LIST = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                    "tracer", "entries.def")

Entry = collections.namedtuple("Entry", "name version kind body team_size flags")

KIND = re.compile(r"^\s*KIND\(\s*(\w+)\s*,\s*(-?\d+)\s*,\s*(-?\d+)\s*,\s*(-?\d+)\s*\)")
ENTRY = re.compile(r'^\s*ENTRY\(\s*(\w+)\s*,\s*"([^"]*)"\s*,\s*(\w+)\s*\)')


def parse(text):
    """The entries of TEXT, in its order; an argument position of -1 (none)
    is None. An entry of a kind that the text does not give is an error."""
    kinds, entries = {}, []
    for line in text.splitlines():
        line = line.split("//", 1)[0]
        kind = KIND.match(line)
        if kind:
            kinds[kind[1]] = [None if int(at) < 0 else int(at) for at in kind.groups()[1:]]
        entry = ENTRY.match(line)
        if entry:
            if entry[3] not in kinds:
                raise ValueError(f"{entry[1]}: no kind {entry[3]}")
            entries.append(Entry(entry[1], entry[2], entry[3], *kinds[entry[3]]))
    return entries


def read(path=LIST):
    with open(path, encoding="utf-8") as listed:
        return parse(listed.read())
