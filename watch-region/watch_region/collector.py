"""Python's cycle collector paused while a stage makes hundreds of thousands
of objects (events, slices, MPI calls) that hold no cycles: as they pile
up, the collector would only go through them again and again."""

import contextlib
import gc


@contextlib.contextmanager
def paused():
    """The collector off inside, as it was after."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()
