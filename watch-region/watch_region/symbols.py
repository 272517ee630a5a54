"""Names a call site as object!function+0xoffset, the one form of both
modes, and as file:line where the object has line information: the function
from the object's own symbol table, else a separate debug file's (a
distribution's -dbg package), else its dynamic symbols, demangled by
c++filt; the line from addr2line (binutils). An address in no known
function is object!@0xaddress, the address within the object. The object
is named by its soname where it has one (libgomp.so.1, not the file
libgomp.so.1.0.0 that the soname links to), else by its file's name: the
soname is what the program asked the loader for, whichever path found it,
and it stays the same across a library's minor releases, so that one site
has one name in both modes and in runs to be compared."""

import os
import shutil
import subprocess

from .elf import ET_EXEC, function_table


def begin(command, lines):
    """Starts COMMAND with LINES as its arguments; None if it cannot."""
    try:
        return subprocess.Popen(command + lines, stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True)
    except OSError:
        return None


def answers(started, lines):
    """What a command that BEGIN started said, a line per line given."""
    if started is None:
        return [None] * len(lines)
    said = started.communicate()[0].splitlines()
    return said if len(said) == len(lines) else [None] * len(lines)


def outermost(started, lines):
    """What addr2line -a -i, which BEGIN started, said of each of LINES: the
    line of the outermost function, not of those inlined into it."""
    if started is None:
        return [None] * len(lines)
    groups = []
    for line in started.communicate()[0].splitlines():
        if line.startswith("0x"):
            groups.append(None)
        elif groups:
            groups[-1] = line
    return groups if len(groups) == len(lines) else [None] * len(lines)


def object_name(elf, path):
    """How a site names the object at PATH (ELF, or None where it is not
    one): its soname, else its file's name."""
    return (elf.soname() if elf is not None else None) or os.path.basename(path)


def name_sites(sites, returns=True):
    """For each (address, base, object path): a dict with site, function,
    offset and source (None where unknown). A return address is named by
    the call before it, hence the address less one; a function's own
    address (RETURNS false) by itself, its line that of its own code, not
    that of a function inlined at its start: a region's body by the line of
    its construct, or of the construct's first statement."""
    back, lines_of = (1, answers) if returns else (0, outermost)
    tables, named = {}, []
    for address, base, path in sites:
        if path not in tables:
            elf, table, lines = function_table(path)
            tables[path] = elf, table, lines, object_name(elf, path)
        elf, table, _, name = tables[path]
        if elf is None or elf.kind == ET_EXEC:
            in_object = address
        else:
            in_object = address - base + elf.first_load()
        found = table.holding(in_object - back) if table else None
        function, start = found if found else (None, None)
        named.append({"object": name, "path": path, "address": in_object,
                      "function": function,
                      "offset": in_object - start if function else None})
    # c++filt and an addr2line per object with line information, at once.
    mangled = sorted({entry["function"] for entry in named
                      if entry["function"] and entry["function"].startswith("_Z")})
    demangling = begin(["c++filt"], mangled) if mangled and shutil.which("c++filt") else None
    finding = []
    if shutil.which("addr2line"):
        for path in {entry["path"] for entry in named if tables[entry["path"]][2]}:
            mine = [entry for entry in named if entry["path"] == path]
            addresses = [hex(entry["address"] - back) for entry in mine]
            finding.append((mine, addresses, begin(
                ["addr2line", *(() if returns else ("-a", "-i")), "-e", path], addresses)))
    if demangling is not None:
        plain = dict(zip(mangled, answers(demangling, mangled)))
        for entry in named:
            entry["function"] = plain.get(entry["function"]) or entry["function"]
    for mine, addresses, started in finding:
        for entry, line in zip(mine, lines_of(started, addresses)):
            entry["source"] = line if line and not line.startswith("??") else None
    for entry in named:
        where = f"+{entry['offset']:#x}" if entry["function"] else f"@{entry['address']:#x}"
        entry["site"] = f"{entry['object']}!{entry['function'] or ''}{where}"
        if entry["object"] == "?":  # the tracer's table of sites was full
            entry["site"] = "(the other call sites)"
        entry.setdefault("source", None)
        del entry["path"], entry["address"]
    return named


def scopes(function):
    """A C++ function's name without its return type, template arguments,
    parameters and qualifiers, as its scopes: [ns, Class, method] for
    `void ns::Class<int>::method(int) const`."""
    text = function.replace("(anonymous namespace)", "{anonymous}")
    depth, kept = 0, []
    for index, character in enumerate(text):
        if character == "<" and not text[:index].endswith("operator"):
            depth += 1
        elif character == ">" and depth:
            depth -= 1
        elif character == "(" and depth == 0 and not text[:index].endswith("operator"):
            break
        elif depth == 0:
            kept.append(character)
    return "".join(kept).strip().rsplit(" ", 1)[-1].split("::")


def short_names(functions):
    """The text report's name for each of FUNCTIONS: its last two scopes,
    Class::method (three where the class is a pimpl's Impl, which says
    nothing alone), and as many more as tell it apart from every other of
    FUNCTIONS. The JSON keeps the whole name."""
    paths = {function: scopes(function) for function in set(functions)}
    kept = {function: 3 if path[-2:-1] in (["Impl"], ["impl"]) else 2
            for function, path in paths.items()}
    while True:
        shown = {}
        for function, path in paths.items():
            shown.setdefault(tuple(path[-kept[function]:]), set()).add(tuple(path))
        clashing = [function for function, path in paths.items()
                    if len(shown[tuple(path[-kept[function]:])]) > 1 and kept[function] < len(path)]
        if not clashing:
            return {function: "::".join(path[-kept[function]:]) or function
                    for function, path in paths.items()}
        for function in clashing:
            kept[function] += 1
