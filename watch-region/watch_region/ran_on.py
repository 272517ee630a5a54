"""What a run ran on, which every report gives so that two runs can be
compared: the OpenMP runtime each process loaded (its name, path and build
id), the runtime's settings in force (the OMP_, GOMP_ and KMP_ variables),
and the host: its name, the CPUs online and those the run may use, this
tool's version, the command and when it started."""

import datetime
import os
import socket

from .elf import Elf

# The variables that set an OpenMP runtime: the standard's, libgomp's and
# libomp's own.
SETTING_PREFIXES = ("OMP_", "GOMP_", "KMP_")
ONLINE = "/sys/devices/system/cpu/online"
# The hexadecimal digits of a build id that the text shows: enough to tell
# two builds apart; the JSON gives it whole.
BUILD_ID_SHOWN = 12


def settings(environment):
    """The runtime's settings in ENVIRONMENT, by name."""
    return {name: value for name, value in sorted(environment.items())
            if name.startswith(SETTING_PREFIXES)}


def runtime_name(path):
    """libgomp or libomp, by the file's name; None for any other."""
    name = os.path.basename(path)
    if name.startswith("libgomp"):
        return "libgomp"
    if name.startswith(("libomp", "libiomp")):
        return "libomp"
    return None


def runtime(path):
    """The runtime at PATH, as the report gives it: its name, path and ELF
    build id (None where the file cannot be read, as on another machine's
    merged traces); None where no runtime was seen."""
    if not path or runtime_name(path) is None:
        return None
    elf = Elf.open(path)
    return {"name": runtime_name(path), "path": path,
            "build_id": elf.build_id() if elf is not None else None}


def cpu_list(text):
    """The CPUs of a kernel's list such as 0-3,6 ([] for an empty one)."""
    cpus = []
    for part in filter(None, text.strip().split(",")):
        low, _, high = part.partition("-")
        cpus += range(int(low), int(high or low) + 1)
    return cpus


def online():
    """The CPUs online, None where the kernel does not say."""
    try:
        with open(ONLINE, encoding="ascii") as listing:
            return cpu_list(listing.read())
    except (OSError, ValueError):
        return None


def host(version, command):
    """The host and the run's start, taken before the program runs: COMMAND
    is the program's argument vector as given (None where nothing runs)."""
    return {"name": socket.gethostname(), "cpus_online": online(),
            "cpus_allowed": sorted(os.sched_getaffinity(0)), "tool_version": version,
            "command": command,
            "start_time": datetime.datetime.now(datetime.timezone.utc).isoformat(
                timespec="seconds").replace("+00:00", "Z")}


def cpu_ranges(cpus):
    """0-3,6 for [0, 1, 2, 3, 6]."""
    ranges = []
    for cpu in cpus:
        if ranges and ranges[-1][1] == cpu - 1:
            ranges[-1][1] = cpu
        else:
            ranges.append([cpu, cpu])
    return ",".join(str(low) if low == high else f"{low}-{high}" for low, high in ranges)


def summary(report):
    """The report's one line of what the run ran on; None where it does not
    say (a merge of traces, which ran nothing here)."""
    if report.host is None:
        return None
    machine = report.host
    cpus = (f"CPUs {cpu_ranges(machine['cpus_allowed'])} of "
            f"{len(machine['cpus_online']) if machine['cpus_online'] else '?'}")
    loaded = {(os.path.basename(each.runtime["path"]), each.runtime["build_id"])
              for each in report.processes or () if getattr(each, "runtime", None)}
    runtimes = ", ".join(name + (f" {build_id[:BUILD_ID_SHOWN]}" if build_id else "")
                         for name, build_id in sorted(loaded, key=str))
    if report.processes is not None:  # a series' runs give no processes
        runtimes = runtimes or "runtime not seen"
    variables = " ".join(f"{name}={value}" for name, value in report.environment.items())
    return ", ".join(filter(None, [f"ran on: {machine['name']}", cpus, runtimes,
                                   variables or "no OMP_* set",
                                   f"watch-region {machine['tool_version']}",
                                   machine["start_time"]]))
