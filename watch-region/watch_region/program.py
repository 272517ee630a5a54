"""The program to watch: found as a shell finds it, checked to be an x86-64
ELF program, and its OpenMP runtime read from the libraries it needs (its
dynamic section's DT_NEEDED entries, and theirs in turn)."""

import os
import platform
import shutil
import struct
import subprocess

from .errors import CANNOT_WATCH, NOT_EXECUTABLE, NOT_FOUND, CannotWatch

EM_X86_64 = 62
PT_LOAD, PT_DYNAMIC = 1, 2
DT_NEEDED, DT_STRTAB, DT_RPATH, DT_RUNPATH = 1, 5, 15, 29
# The runtimes by the file names of their libraries.
RUNTIMES = {"libgomp.so.1": "libgomp", "libomp.so.5": "libomp", "libomp.so": "libomp"}


def find_program(name, elf_only=True):
    """The program's absolute path: a name without a slash is looked up on
    PATH, as a shell does; otherwise the path as given. With ELF_ONLY, it
    must be an x86-64 ELF program, which is what gdb's breakpoints read."""
    path = name if "/" in name else shutil.which(name)
    if path is None or not os.path.exists(path):
        raise CannotWatch(NOT_FOUND, f"{name}: No such file or directory")
    if os.path.isdir(path):
        raise CannotWatch(NOT_EXECUTABLE, f"{name}: Is a directory")
    if not os.access(path, os.X_OK):
        raise CannotWatch(NOT_EXECUTABLE, f"{name}: Permission denied")
    if elf_only:
        with open(path, "rb") as program:
            header = program.read(20)
        # ELF magic, 64-bit class, and e_machine.
        if header[:5] != b"\x7fELF\x02" or int.from_bytes(header[18:20], "little") != EM_X86_64:
            raise CannotWatch(CANNOT_WATCH, f"{name}: not an x86-64 ELF program")
        if platform.machine() != "x86_64":
            raise CannotWatch(CANNOT_WATCH, f"this machine is {platform.machine()}, not x86-64")
    return os.path.abspath(path)


def dynamic_section(path):
    """(needed library names, search folders) from a 64-bit little-endian
    ELF file's dynamic section; nothing for any other file."""
    try:
        with open(path, "rb") as file:
            data = file.read()
    except OSError:
        return [], []
    if data[:6] != b"\x7fELF\x02\x01":
        return [], []
    phoff, = struct.unpack_from("<Q", data, 0x20)
    phentsize, phnum = struct.unpack_from("<HH", data, 0x36)
    loads, dynamic = [], None
    for index in range(phnum):
        kind, _, offset, vaddr, _, filesz, _, _ = struct.unpack_from(
            "<IIQQQQQQ", data, phoff + index * phentsize)
        if kind == PT_LOAD:
            loads.append((vaddr, offset, filesz))
        elif kind == PT_DYNAMIC:
            dynamic = (offset, filesz)
    if dynamic is None:
        return [], []
    entries = [struct.unpack_from("<qQ", data, dynamic[0] + at)
               for at in range(0, dynamic[1] - 15, 16)]
    strtab = next((value for tag, value in entries if tag == DT_STRTAB), None)
    table = next((offset + strtab - vaddr for vaddr, offset, size in loads
                  if strtab is not None and vaddr <= strtab < vaddr + size), None)
    if table is None:
        return [], []

    def string(at):
        return data[table + at:data.index(b"\0", table + at)].decode(errors="replace")

    needed = [string(value) for tag, value in entries if tag == DT_NEEDED]
    origin = os.path.dirname(os.path.abspath(path))
    folders = [folder.replace("$ORIGIN", origin).replace("${ORIGIN}", origin)
               for tag, value in entries if tag in (DT_RPATH, DT_RUNPATH)
               for folder in string(value).split(":") if folder]
    return needed, folders


def system_libraries():
    """The loader's cache: library file name to path, 64-bit x86 ones."""
    try:
        listing = subprocess.run(["/sbin/ldconfig", "-p"], capture_output=True, text=True,
                                 check=False).stdout
    except OSError:
        return {}
    found = {}
    for line in listing.splitlines():
        name, _, path = line.strip().partition(" => ")
        if "x86-64" in name:
            found.setdefault(name.split(" ", 1)[0], path)
    return found


def runtimes_of(program, environment):
    """The OpenMP runtimes that PROGRAM needs, directly or through the
    libraries it needs, as the loader would find them."""
    cache = None
    search = [folder for folder in environment.get("LD_LIBRARY_PATH", "").split(":") if folder]
    seen, queue, runtimes = set(), [program], set()
    while queue:
        needed, folders = dynamic_section(queue.pop())
        for name in needed:
            if name in RUNTIMES:
                runtimes.add(RUNTIMES[name])
            if name in seen:
                continue
            seen.add(name)
            path = next((os.path.join(folder, name) for folder in folders + search
                         if os.path.exists(os.path.join(folder, name))), None)
            if path is None:
                cache = system_libraries() if cache is None else cache
                path = cache.get(name)
            if path is not None:
                queue.append(path)
    return runtimes
