"""Where an address of the process is: the file that holds it and where that
file is loaded, for naming call sites after the run as the timeline names
them; or the symbol that gdb knows there."""

import gdb  # pylint: disable=import-error


class Objects:
    """Which file holds an address of the process, and that file's load base
    (the start of its lowest mapping), from /proc/PID/maps while it lives."""

    def __init__(self):
        self.mappings = []  # (start, end, path)
        self.bases = {}

    def holding(self, address):
        """(path, base) of the file mapped at ADDRESS, or (None, None)."""
        for reread in (False, True):
            if reread:
                self.read()
            for start, end, path in self.mappings:
                if start <= address < end:
                    return path, self.bases[path]
        return None, None

    def read(self):
        with open(f"/proc/{gdb.selected_inferior().pid}/maps", encoding="utf-8",
                  errors="surrogateescape") as maps:
            listed = [line.split(None, 5) for line in maps]
        self.mappings = []
        for fields in listed:
            if len(fields) == 6 and fields[5].startswith("/"):
                start, end = (int(bound, 16) for bound in fields[0].split("-"))
                path = fields[5].rstrip("\n")
                self.mappings.append((start, end, path))
                self.bases[path] = min(start, self.bases.get(path, start))


def symbol_of(address):
    """function+offset where gdb knows the symbol, else the address."""
    said = gdb.execute(f"info symbol {address}", to_string=True)
    if said.startswith("No symbol"):
        return hex(address)
    return said.split(" in ")[0].strip().replace(" + ", "+")
