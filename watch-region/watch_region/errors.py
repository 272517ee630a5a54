"""watch-region's own exit statuses, and the errors that end a run with one.
Otherwise it exits with the watched program's status, or 128 + N when
signal N killed it."""

WRITE_ERROR = 1  # the report, or a --trace or --svg file, could not be written
USAGE = 2
CANNOT_WATCH = 125  # gdb or the tracer is missing or failed; not x86-64 ELF
NOT_EXECUTABLE = 126  # a directory, or not executable
NOT_FOUND = 127


class CannotWatch(Exception):
    """A run that cannot be watched; carries its exit status."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


class Stopped(Exception):
    """watch-region received a signal that ends it."""

    def __init__(self, signum):
        super().__init__(signum)
        self.signum = signum
