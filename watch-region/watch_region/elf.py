"""The one ELF reader of the tool: 64-bit little-endian files only (x86-64),
mapped rather than read, so that only the parts asked for are ever loaded:
the header, the segments, the sections by name, the dynamic section's
needed libraries, search folders and soname, the build id and debug link,
and the functions of a symbol table."""

import bisect
import mmap
import os
import struct

ET_EXEC = 2
EM_X86_64 = 62
PT_LOAD, PT_DYNAMIC = 1, 2
SHT_SYMTAB, SHT_NOBITS, SHT_DYNSYM = 2, 8, 11
STT_FUNC = 2
DT_NEEDED, DT_STRTAB, DT_SONAME, DT_RPATH, DT_RUNPATH = 1, 5, 14, 15, 29
NT_GNU_BUILD_ID = 3
SYMBOL = struct.Struct("<IBBHQQ")
# Where Debian's debug packages put the separate debug files.
DEBUG_ROOT = "/usr/lib/debug"


class Elf:
    """An ELF file, or None from Elf.open for anything else."""

    def __init__(self, data, path):
        self.data, self.path = data, path
        self.kind, self.machine = struct.unpack_from("<HH", data, 0x10)
        phoff, shoff = struct.unpack_from("<QQ", data, 0x20)
        phentsize, phnum, shentsize, shnum, shstrndx = struct.unpack_from("<HHHHH", data, 0x36)
        # (type, offset, address, size in the file)
        self.segments = [struct.unpack_from("<I4xQQ8xQ", data, phoff + index * phentsize)
                         for index in range(phnum)]
        # (name offset, type, offset, size, link, entry size)
        self.sections = [struct.unpack_from("<II16xQQI4x8xQ", data, shoff + index * shentsize)
                         for index in range(shnum if shoff else 0)]
        names = self.sections[shstrndx][2] if shstrndx < len(self.sections) else None
        self.by_name = {} if names is None else {
            self.string(names, section[0]): section for section in self.sections}

    @classmethod
    def open(cls, path):
        try:
            with open(path, "rb") as file:
                data = mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ)
        except (OSError, ValueError):  # missing, unreadable, or empty
            return None
        if data[:6] != b"\x7fELF\x02\x01":
            return None
        try:
            return cls(data, path)
        except struct.error:
            return None

    def string(self, table, at):
        end = self.data.find(b"\0", table + at)
        return self.data[table + at:end].decode(errors="replace")

    def first_load(self):
        """The address of the lowest loadable segment: where the file's
        addresses start once the loader has moved it."""
        return min((address for kind, _, address, _ in self.segments if kind == PT_LOAD),
                   default=0)

    def section_data(self, name):
        section = self.by_name.get(name)
        if section is None or section[1] == SHT_NOBITS:
            return None
        return self.data[section[2]:section[2] + section[3]]

    def dynamic_entries(self):
        """The dynamic section's (tag, value) entries and the file offset of
        its string table; ([], None) where it has none."""
        loads = [(address, offset, size) for kind, offset, address, size in self.segments
                 if kind == PT_LOAD]
        found = next(((offset, size) for kind, offset, _, size in self.segments
                      if kind == PT_DYNAMIC), None)
        if found is None:
            return [], None
        end = found[0] + found[1] // 16 * 16
        entries = list(struct.iter_unpack("<qQ", self.data[found[0]:end]))
        strtab = next((value for tag, value in entries if tag == DT_STRTAB), None)
        table = next((offset + strtab - address for address, offset, size in loads
                      if strtab is not None and address <= strtab < address + size), None)
        return (entries, table) if table is not None else ([], None)

    def dynamic(self):
        """(needed library names, search folders with $ORIGIN made whole)."""
        entries, table = self.dynamic_entries()
        needed = [self.string(table, value) for tag, value in entries if tag == DT_NEEDED]
        origin = os.path.dirname(os.path.abspath(self.path))
        folders = [folder.replace("$ORIGIN", origin).replace("${ORIGIN}", origin)
                   for tag, value in entries if tag in (DT_RPATH, DT_RUNPATH)
                   for folder in self.string(table, value).split(":") if folder]
        return needed, folders

    def soname(self):
        """The name the library gives itself (DT_SONAME), or None."""
        entries, table = self.dynamic_entries()
        return next((self.string(table, value) for tag, value in entries if tag == DT_SONAME),
                    None)

    def build_id(self):
        """The GNU build id as hexadecimal, or None."""
        note = self.section_data(".note.gnu.build-id")
        if note is None or len(note) < 16:
            return None
        name_size, description_size, kind = struct.unpack_from("<III", note)
        if kind != NT_GNU_BUILD_ID:
            return None
        start = 12 + (name_size + 3) // 4 * 4
        return note[start:start + description_size].hex()

    def debug_link(self):
        """The file name in .gnu_debuglink, or None."""
        link = self.section_data(".gnu_debuglink")
        return link[:link.find(b"\0")].decode(errors="replace") if link else None

    def functions(self, table_type):
        """The functions of the symbol table of TABLE_TYPE (SHT_SYMTAB or
        SHT_DYNSYM), or None when the file has none with entries."""
        table = next((section for section in self.sections
                      if section[1] == table_type and section[5] == SYMBOL.size), None)
        if table is None:
            return None
        strings = self.sections[table[4]][2]
        data = self.data[table[2]:table[2] + table[3] // SYMBOL.size * SYMBOL.size]
        return Functions(self, strings, [
            (value, size, name) for name, info, _, index, value, size in SYMBOL.iter_unpack(data)
            if info & 0xF == STT_FUNC and index != 0 and value])


class Functions:
    """A symbol table's functions, for finding the one that holds an
    address; names are read only for the functions found."""

    def __init__(self, elf, strings, entries):
        self.elf, self.strings = elf, strings
        self.entries = sorted(set(entries))
        self.starts = [entry[0] for entry in self.entries]

    def __bool__(self):
        return bool(self.entries)

    def holding(self, address):
        """(name, start) of the function that holds ADDRESS, or None; of
        several, the one that starts last."""
        at = bisect.bisect_right(self.starts, address)
        for start, size, name in reversed(self.entries[max(0, at - 16):at]):
            if address < start + size or not size:
                return self.elf.string(self.strings, name), start
        return None


def debug_files(elf):
    """Where a separate debug file of ELF may be, in the order a debugger
    looks: by build id under /usr/lib/debug, then by its debug link beside
    it, in .debug/ beside it and under /usr/lib/debug."""
    found = []
    build_id = elf.build_id()
    if build_id and len(build_id) > 2:
        found.append(os.path.join(DEBUG_ROOT, ".build-id", build_id[:2], build_id[2:] + ".debug"))
    link = elf.debug_link()
    if link:
        folder = os.path.dirname(os.path.realpath(elf.path))
        found += [os.path.join(folder, link), os.path.join(folder, ".debug", link),
                  DEBUG_ROOT + os.path.join(folder, link)]
    return found


def function_table(path):
    """(the ELF file, its functions, whether it has line information) for
    naming addresses in PATH: the functions of its own .symtab, else a
    separate debug file's, else its .dynsym. (None, None, False) when PATH
    is not an ELF file."""
    elf = Elf.open(path)
    if elf is None:
        return None, None, False
    table = elf.functions(SHT_SYMTAB)
    lines = ".debug_line" in elf.by_name
    for candidate in debug_files(elf) if not table or not lines else []:
        debug = Elf.open(candidate) if candidate != path else None
        if debug is not None:
            table = table or debug.functions(SHT_SYMTAB)
            lines = lines or ".debug_line" in debug.by_name
            break
    return elf, table or elf.functions(SHT_DYNSYM), lines
