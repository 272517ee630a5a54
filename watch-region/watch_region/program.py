"""The program to watch: found as a shell finds it, checked to be an x86-64
ELF program, and its OpenMP runtimes and MPI read from the libraries it
needs (its dynamic section's DT_NEEDED entries, and theirs in turn)."""

import os
import shutil
import subprocess

from .elf import EM_X86_64, Elf
from .errors import CANNOT_WATCH, NOT_EXECUTABLE, NOT_FOUND, CannotWatch

# The loader's own folders on Debian's x86-64, looked in before its cache
# (whose listing costs a process).
DEFAULT = ["/lib/x86_64-linux-gnu", "/usr/lib/x86_64-linux-gnu", "/lib64", "/usr/lib64"]
# The runtimes by the file names of their libraries.
RUNTIMES = {"libgomp.so.1": "libgomp", "libomp.so.5": "libomp", "libomp.so": "libomp"}
# The MPIs, by their libraries' ABIs: Open MPI's (its launcher, orterun,
# needs its runtime's libraries), and MPICH's, which Intel MPI, MVAPICH and
# Cray MPICH share.
MPI_LIBRARIES = {"libmpi.so.40": "openmpi", "libopen-rte.so.40": "openmpi",
                 "libopen-pal.so.40": "openmpi", "libmpich.so.12": "mpich",
                 "libmpi.so.12": "mpich"}
# An MPI's launchers that need none of its libraries, by the names along the
# path to them (/usr/bin/mpiexec through /etc/alternatives): MPICH's Hydra.
MPI_LAUNCHERS = {"mpiexec.hydra": "mpich", "mpiexec.mpich": "mpich", "mpirun.mpich": "mpich",
                 "mpiexec.openmpi": "openmpi", "mpirun.openmpi": "openmpi", "orterun": "openmpi",
                 "prterun": "openmpi"}


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
        elf = Elf.open(path)
        if elf is None or elf.machine != EM_X86_64:
            raise CannotWatch(CANNOT_WATCH, f"{name}: not an x86-64 ELF program")
        if os.uname().machine != "x86_64":
            raise CannotWatch(CANNOT_WATCH, f"this machine is {os.uname().machine}, not x86-64")
    return os.path.abspath(path)


def dynamic_section(path):
    """(needed library names, search folders) of an ELF file; nothing for
    any other file."""
    elf = Elf.open(path)
    return elf.dynamic() if elf is not None else ([], [])


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
    libraries it needs, as the loader would find them; and its MPI
    ("openmpi" or "mpich") where it uses one, or is the launcher of one."""
    cache = None
    search = [folder for folder in environment.get("LD_LIBRARY_PATH", "").split(":") if folder]
    seen, queue, runtimes = set(), [program], set()
    while queue:
        needed, folders = dynamic_section(queue.pop())
        for name in needed:
            if name in RUNTIMES:
                runtimes.add(RUNTIMES[name])
            if name in MPI_LIBRARIES:
                runtimes.add(MPI_LIBRARIES[name])
            if name in seen:
                continue
            seen.add(name)
            path = next((os.path.join(folder, name) for folder in folders + search + DEFAULT
                         if os.path.exists(os.path.join(folder, name))), None)
            if path is None:
                cache = system_libraries() if cache is None else cache
                path = cache.get(name)
            if path is not None:
                queue.append(path)
    if not runtimes & {"openmpi", "mpich"}:
        runtimes |= {MPI_LAUNCHERS[name] for name in path_names(program) if name in MPI_LAUNCHERS}
    return runtimes


def path_names(path):
    """The file names along the links from PATH to the file it names."""
    names = [os.path.basename(path)]
    for _ in range(16):
        if not os.path.islink(path):
            break
        path = os.path.join(os.path.dirname(path), os.readlink(path))
        names.append(os.path.basename(path))
    return names
