"""One clock for a run whose processes ran on several nodes. Each process
stamps its events with its node's monotonic clock, which counts from that
node's boot, so two nodes' clocks differ by hours. Each MPI rank's tracer
measures its clock against rank 0's, inside MPI_Init and again inside
MPI_Finalize (round trips with rank 0; the trace's mpi_clock lines), and
every timeline puts a rank's times on rank 0's clock: its own time plus
the offset, which moves linearly from one measurement to the other (and
on beyond them), as a clock that drifts at a steady rate does. A process
that is no rank (the launcher, a daemon) keeps its node's clock, put on
rank 0's as the lowest rank on the same host is; on a host without a rank
it is left as it is. The model factors need none of it: they are made of
durations, each on one clock."""

import collections

from ..report import microseconds

# Rank 0's clock read OFFSET ns more than this process's at AT (on its own
# clock), give or take UNCERTAINTY ns.
Offset = collections.namedtuple("Offset", "at offset uncertainty")


class Clock:  # pylint: disable=too-few-public-methods
    """The map from one process's nanoseconds to the run's: the time plus
    the offset, interpolated linearly between the first and the last of
    OFFSETS; none (the same time) without them."""

    def __init__(self, offsets=()):
        self.offsets = sorted(offsets)
        first, last = (self.offsets[0], self.offsets[-1]) if self.offsets else (None, None)
        self.slope = ((last.offset - first.offset) / (last.at - first.at)
                      if first and last.at != first.at else 0.0)
        self.base = first.offset - first.at * self.slope if first else 0.0

    def __call__(self, time):
        """TIME, in this process's nanoseconds, in the run's."""
        return time + round(self.base + time * self.slope)


def align(traces):
    """Gives each of TRACES the Clock that maps its times to rank 0's."""
    ranks = sorted((trace.mpi[0], at) for at, trace in enumerate(traces)
                   if trace.mpi is not None and trace.clock_offsets)
    on_host = {}
    for _, at in ranks:
        on_host.setdefault(traces[at].host, traces[at])
    for trace in traces:
        held = trace if trace.mpi is not None and trace.clock_offsets else (
            on_host.get(trace.host) if trace.host is not None else None)
        trace.clock = Clock(held.clock_offsets if held is not None else ())


def clock_account(trace):
    """A rank's offset from rank 0's clock at MPI_Init (what is added to its
    times), the largest uncertainty measured and the offset's change by
    MPI_Finalize (its drift), in µs; None where none was measured."""
    offsets = sorted(trace.clock_offsets)
    if not offsets:
        return None
    return {"offset": microseconds(offsets[0].offset),
            "uncertainty": microseconds(max(each.uncertainty for each in offsets)),
            "drift": microseconds(offsets[-1].offset - offsets[0].offset)}
