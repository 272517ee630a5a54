"""Names a call site as object!function+offset, and as file:line where the
object has debug information: the function from the object's own symbol
table (demangled by c++filt), the line from addr2line (binutils)."""

import os
import shutil
import struct
import subprocess

ET_EXEC, SHT_SYMTAB, SHT_DYNSYM, STT_FUNC, PT_LOAD = 2, 2, 11, 2, 1


def functions(path):
    """(start, size, name) of the functions in an ELF file's symbol tables."""
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError:
        return ET_EXEC, 0, []
    if data[:6] != b"\x7fELF\x02\x01":
        return ET_EXEC, 0, []
    kind, = struct.unpack_from("<H", data, 0x10)
    phoff, shoff = struct.unpack_from("<QQ", data, 0x20)
    phentsize, phnum, shentsize, shnum = struct.unpack_from("<HHHH", data, 0x36)
    first_load = min((struct.unpack_from("<IIQQ", data, phoff + i * phentsize)[3]
                      for i in range(phnum)
                      if struct.unpack_from("<I", data, phoff + i * phentsize)[0] == PT_LOAD),
                     default=0)
    sections = [struct.unpack_from("<IIQQQQIIQQ", data, shoff + i * shentsize)
                for i in range(shnum)]
    found = []
    for _, kind_of, _, _, offset, size, link, _, _, entsize in sections:
        if kind_of not in (SHT_SYMTAB, SHT_DYNSYM) or not entsize:
            continue
        strings = sections[link][4]
        for at in range(offset, offset + size, entsize):
            name, info, _, shndx, value, length = struct.unpack_from("<IBBHQQ", data, at)
            if info & 0xF == STT_FUNC and shndx != 0 and value:
                end = data.index(b"\0", strings + name)
                found.append((value, length, data[strings + name:end].decode(errors="replace")))
    return kind, first_load, sorted(set(found))


def run(command, lines):
    try:
        done = subprocess.run(command + lines, capture_output=True, text=True, check=False)
    except OSError:
        return [None] * len(lines)
    said = done.stdout.splitlines()
    return said if len(said) == len(lines) else [None] * len(lines)


def name_sites(sites):
    """For each (address, base, object path): a dict with site, function,
    offset and source (None where unknown)."""
    tables, named = {}, []
    for address, base, path in sites:
        if path not in tables:
            tables[path] = functions(path)
        kind, first_load, table = tables[path]
        in_object = address if kind == ET_EXEC else address - base + first_load
        inside = [entry for entry in table if entry[0] <= in_object - 1
                  and (in_object - 1 < entry[0] + entry[1] or not entry[1])]
        start, _, function = max(inside) if inside else (None, None, None)
        named.append({"object": os.path.basename(path), "path": path, "address": in_object,
                      "function": function,
                      "offset": in_object - start if function else None})
    mangled = sorted({entry["function"] for entry in named
                      if entry["function"] and entry["function"].startswith("_Z")})
    if mangled and shutil.which("c++filt"):
        plain = dict(zip(mangled, run(["c++filt"], mangled)))
        for entry in named:
            entry["function"] = plain.get(entry["function"]) or entry["function"]
    if shutil.which("addr2line"):
        for path in {entry["path"] for entry in named}:
            mine = [entry for entry in named if entry["path"] == path]
            lines = run(["addr2line", "-e", path], [hex(entry["address"] - 1) for entry in mine])
            for entry, line in zip(mine, lines):
                entry["source"] = line if line and not line.startswith("??") else None
    for entry in named:
        where = f"+{entry['offset']:#x}" if entry["function"] else f"@{entry['address']:#x}"
        entry["site"] = f"{entry['object']}!{entry['function'] or ''}{where}"
        if entry["object"] == "?":  # the tracer's table of sites was full
            entry["site"] = "(the other call sites)"
        entry.setdefault("source", None)
        del entry["path"], entry["address"]
    return named
